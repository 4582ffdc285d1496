#include "platform/x11/X11EventMonitor.h"

#include "base/Logging.h"
#include "platform/x11/XConnection.h"
#include "platform/x11/XkbLayout.h"

#include <QSocketNotifier>
#include <QTimer>
#include <vector>

// Xlib last: its macros (None, Bool, Status) would break the Qt headers.
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

X11EventMonitor::X11EventMonitor(const QString& displayName) : displayName_(displayName) {}

X11EventMonitor::~X11EventMonitor() {
    notifier_.reset();
    layout_.reset();
    if (display_) XCloseDisplay(display_);
}

bool X11EventMonitor::open() {
    if (display_) return xiOpcode_ >= 0;
    display_ = openXDisplay(displayName_);
    if (!display_) return false;
    int event = 0, error = 0, major = 2, minor = 2;
    if (!XQueryExtension(display_, "XInputExtension", &xiOpcode_, &event, &error) ||
        XIQueryVersion(display_, &major, &minor) != Success || major < 2) {
        xiOpcode_ = -1;
        qCWarning(lcPlatform, "the X server has no XInput 2: keys pressed elsewhere cannot be watched");
        return false;
    }
    layout_ = std::make_unique<XkbLayout>(display_);
    notifier_ = std::make_unique<QSocketNotifier>(ConnectionNumber(display_), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &X11EventMonitor::processEvents);
    return true;
}

void X11EventMonitor::selectKeys(bool on) {
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    if (on) XISetMask(bits, XI_RawKeyPress);
    // The master keyboard alone: each key press comes once, whichever device made it.
    XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
    XISelectEvents(display_, DefaultRootWindow(display_), &mask, 1);
    XFlush(display_);
}

std::optional<EventMonitor::MonitorId> X11EventMonitor::addGlobalKeyDownMonitor(KeyDownHandler handler) {
    if (!handler || !open()) return std::nullopt;
    if (handlers_.empty()) selectKeys(true);
    const MonitorId id = nextId_++;
    handlers_.emplace(id, std::move(handler));
    return id;
}

void X11EventMonitor::removeMonitor(MonitorId monitor) {
    if (handlers_.erase(monitor) && handlers_.empty()) selectKeys(false);
}

void X11EventMonitor::processEvents() {
    std::vector<QString> pressed;
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        if (layout_->handleEvent(event)) continue;
        if (event.type != GenericEvent || event.xcookie.extension != xiOpcode_ ||
            !XGetEventData(display_, &event.xcookie))
            continue;
        if (event.xcookie.evtype == XI_RawKeyPress) {
            const auto* raw = static_cast<const XIRawEvent*>(event.xcookie.data);
            if (const auto characters = layout_->characters(unsigned(raw->detail));
                characters && !characters->isEmpty())
                pressed.push_back(*characters);
        }
        XFreeEventData(display_, &event.xcookie);
    }
    // A handler may add or remove monitors: call the ones there were when the keys came.
    const auto current = handlers_;
    for (const QString& characters : pressed)
        for (const auto& [id, handler] : current)
            if (handlers_.contains(id)) handler(characters);
}
