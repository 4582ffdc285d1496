#include "platform/x11/X11SystemEvents.h"

#include "base/Logging.h"
#include "platform/x11/XConnection.h"

#include <QSocketNotifier>

// Xlib last: its macros (Status, Bool, None...) would clash with Qt's names.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

namespace {
Display* display(void* p) {
    return static_cast<Display*>(p);
}
} // namespace

X11SystemEvents::X11SystemEvents() : X11SystemEvents(LinuxSystemEvents::userSources()) {}

X11SystemEvents::X11SystemEvents(LinuxSystemEvents::Sources sources, QString xDisplayName, bool watchX)
    : desktop_(std::move(sources)) {
    if (!desktop_.screenSaverOverDBus() && watchX) watchScreenSaverOverX(xDisplayName);
    if (xDisplay_) qCDebug(lcPlatform, "screen saver from the X screen saver extension");
}

X11SystemEvents::~X11SystemEvents() {
    xNotifier_.reset();
    if (xDisplay_) XCloseDisplay(display(xDisplay_));
}

void X11SystemEvents::watchScreenSaverOverX(const QString& displayName) {
    Display* dpy = openXDisplay(displayName);
    if (!dpy) return;
    int errorBase = 0;
    if (!XScreenSaverQueryExtension(dpy, &xEventBase_, &errorBase)) {
        XCloseDisplay(dpy);
        return;
    }
    XScreenSaverSelectInput(dpy, DefaultRootWindow(dpy), ScreenSaverNotifyMask);
    // A round trip, not a flush: the server serves its clients in any order, and a saver started by
    // another client before it took this selection would go unheard.
    XSync(dpy, False);
    xDisplay_ = dpy;
    xNotifier_ = std::make_unique<QSocketNotifier>(ConnectionNumber(dpy), QSocketNotifier::Read);
    connect(xNotifier_.get(), &QSocketNotifier::activated, this, &X11SystemEvents::xEventsReady);
}

void X11SystemEvents::xEventsReady() {
    Display* dpy = display(xDisplay_);
    while (XPending(dpy) > 0) {
        XEvent event;
        XNextEvent(dpy, &event);
        if (event.type != xEventBase_ + ScreenSaverNotify) continue;
        const auto* notify = reinterpret_cast<const XScreenSaverNotifyEvent*>(&event);
        if (notify->state == ScreenSaverOn)
            distributedCenter().post(kScreenSaverDidStartNotification, this);
        else if (notify->state == ScreenSaverOff)
            distributedCenter().post(kScreenSaverDidStopNotification, this);
    }
}
