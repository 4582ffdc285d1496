#include "platform/x11/X11CursorSource.h"

#include "base/Logging.h"
#include "platform/x11/XConnection.h"
#include "platform/x11/XCursorImage.h"

#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <utility>

// Xlib last: its macros (None, Bool, Status) would break the Qt headers.
#include <X11/Xlib.h>
#include <X11/extensions/Xfixes.h>

X11CursorSource::X11CursorSource(const QString& displayName) : displayName_(displayName) {}

X11CursorSource::~X11CursorSource() {
    notifier_.reset();
    if (display_) XCloseDisplay(display_);
}

bool X11CursorSource::open() {
    if (opened_) return fixesEventBase_ >= 0;
    opened_ = true;
    display_ = openXDisplay(displayName_);
    if (!display_) return false;
    int errorBase = 0, major = 0, minor = 0;
    if (!XFixesQueryExtension(display_, &fixesEventBase_, &errorBase) ||
        !XFixesQueryVersion(display_, &major, &minor) || major < 2) {
        fixesEventBase_ = -1;
        qCWarning(lcPlatform, "the X server has no XFixes 2: the cursor cannot be sent to the device");
        return false;
    }
    XFixesSelectCursorInput(display_, DefaultRootWindow(display_), XFixesDisplayCursorNotifyMask);
    XFlush(display_);
    notifier_ = std::make_unique<QSocketNotifier>(ConnectionNumber(display_), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &X11CursorSource::processEvents);
    return true;
}

bool X11CursorSource::takeNotices() {
    bool changed = false;
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (event.type == fixesEventBase_ + XFixesCursorNotify) changed = true;
    }
    if (changed) stale_ = noticePending_ = true;
    return changed;
}

void X11CursorSource::processEvents() {
    takeNotices();
    if (!std::exchange(noticePending_, false) || !handler_) return;
    handler_();
}

void X11CursorSource::refresh() {
    if (!open()) {
        cursor_.reset();
        return;
    }
    takeNotices();
    if (!stale_) return;
    stale_ = false;
    std::optional<XCursorImage> image = readXCursorImage(display_);
    // Notices taken here, or come in with the answer into Xlib's queue (where the socket notifier
    // cannot see them), still reach the handler, after this call.
    if (noticePending_ || XEventsQueued(display_, QueuedAlready) > 0)
        QTimer::singleShot(0, this, &X11CursorSource::processEvents);
    if (!image) {
        cursor_.reset();
        visible_ = true;
        return;
    }
    visible_ = std::any_of(image->pixels.begin(), image->pixels.end(), [](uint32_t p) { return p >> 24; });
    if (image->size.isEmpty()) {
        cursor_ = Cursor{QImage(), QPointF(image->hotSpot), image->serial};
        return;
    }
    const QImage premultiplied(reinterpret_cast<const uchar*>(image->pixels.data()), image->size.width(),
                               image->size.height(), image->size.width() * 4,
                               QImage::Format_ARGB32_Premultiplied);
    // Converting makes a copy that owns its pixels.
    cursor_ =
        Cursor{premultiplied.convertToFormat(QImage::Format_ARGB32), QPointF(image->hotSpot), image->serial};
}

std::optional<CursorSource::Cursor> X11CursorSource::currentCursor() {
    refresh();
    return cursor_;
}

bool X11CursorSource::isCursorVisible() {
    refresh();
    return visible_;
}
