#include "platform/x11/X11EventMonitor.h"

#include "base/Logging.h"
#include "base/MainQueue.h"
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
    if (pendingMouseDelivery_) Clock::shared().cancel(*pendingMouseDelivery_);
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

void X11EventMonitor::selectEvents() {
    const bool keys = !handlers_.empty(), motion = !mouseHandlers_.empty();
    if (keys == selectedKeys_ && motion == selectedMotion_) return;
    selectedKeys_ = keys;
    selectedMotion_ = motion;
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    if (keys) XISetMask(bits, XI_RawKeyPress);
    if (motion) XISetMask(bits, XI_RawMotion);
    // The master devices alone: each key press or movement comes once, whichever device made it.
    XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
    XISelectEvents(display_, DefaultRootWindow(display_), &mask, 1);
    XFlush(display_);
}

std::optional<EventMonitor::MonitorId> X11EventMonitor::addGlobalKeyDownMonitor(KeyDownHandler handler) {
    if (!handler || !open()) return std::nullopt;
    const MonitorId id = nextId_++;
    handlers_.emplace(id, std::move(handler));
    selectEvents();
    return id;
}

std::optional<EventMonitor::MonitorId>
X11EventMonitor::addGlobalMouseMovedMonitor(MouseMovedHandler handler) {
    if (!handler || !open()) return std::nullopt;
    const MonitorId id = nextId_++;
    mouseHandlers_.emplace(id, std::move(handler));
    selectEvents();
    return id;
}

void X11EventMonitor::removeMonitor(MonitorId monitor) {
    handlers_.erase(monitor);
    mouseHandlers_.erase(monitor);
    if (mouseHandlers_.empty() && pendingMouseDelivery_) {
        Clock::shared().cancel(*pendingMouseDelivery_);
        pendingMouseDelivery_.reset();
    }
    if (display_) selectEvents();
}

void X11EventMonitor::deliverMouseMoved() {
    lastMouseDelivery_ = Clock::shared().uptime();
    // A handler may add or remove monitors: call the ones there were when the pointer moved.
    const auto current = mouseHandlers_;
    for (const auto& [id, handler] : current)
        if (mouseHandlers_.contains(id)) handler();
}

void X11EventMonitor::processEvents() {
    std::vector<QString> pressed;
    bool moved = false;
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
        } else if (event.xcookie.evtype == XI_RawMotion) {
            moved = true;
        }
        XFreeEventData(display_, &event.xcookie);
    }
    // A handler may add or remove monitors: call the ones there were when the keys came.
    const auto current = handlers_;
    for (const QString& characters : pressed)
        for (const auto& [id, handler] : current)
            if (handlers_.contains(id)) handler(characters);
    // A mouse reports hundreds of movements a second; the handlers hear of them at the display's
    // refresh at most, and always of the last.
    if (!moved || mouseHandlers_.empty() || pendingMouseDelivery_) return;
    const double due = lastMouseDelivery_ + kMouseMovedInterval - Clock::shared().uptime();
    if (lastMouseDelivery_ < 0 || due <= 0) {
        deliverMouseMoved();
        return;
    }
    pendingMouseDelivery_ = mainQueue().after(due, [this] {
        pendingMouseDelivery_.reset();
        deliverMouseMoved();
    });
}
