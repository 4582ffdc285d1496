#include "platform/x11/X11Power.h"

#include "base/MainQueue.h"
#include "platform/x11/XConnection.h"

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>

namespace {
Display* display(void* p) {
    return static_cast<Display*>(p);
}
} // namespace

X11Power::X11Power(QString displayName, double pollInterval)
    : displayName_(std::move(displayName)), pollInterval_(pollInterval) {
    Display* dpy = openXDisplay(displayName_);
    if (!dpy) return;
    display_ = dpy;
    int eventBase = 0, errorBase = 0;
    hasDpms_ = DPMSQueryExtension(dpy, &eventBase, &errorBase) && DPMSCapable(dpy);
}

X11Power::~X11Power() {
    stopWatchingDisplayPower();
    if (display_) {
        if (suspended_) XScreenSaverSuspend(display(display_), False);
        XCloseDisplay(display(display_));
    }
}

std::vector<uint32_t> X11Power::displayPowerMessages(Level from, Level to) {
    if (from == to) return {};
    if (to == Level::On) return {kMessageDeviceHasPoweredOn};
    if (to == Level::Off) return {kMessageDeviceWillPowerOff};
    // Standby and suspend dim the display on its way to off: the system may power it off now.
    if (from == Level::On) return {kMessageCanDevicePowerOff};
    return {};
}

std::optional<X11Power::Level> X11Power::currentLevel() const {
    if (!display_ || !hasDpms_) return std::nullopt;
    CARD16 level = DPMSModeOn;
    BOOL enabled = False;
    if (!DPMSInfo(display(display_), &level, &enabled)) return std::nullopt;
    // With DPMS switched off the display never sleeps.
    if (!enabled) return Level::On;
    switch (level) {
    case DPMSModeStandby:
        return Level::Standby;
    case DPMSModeSuspend:
        return Level::Suspend;
    case DPMSModeOff:
        return Level::Off;
    default:
        return Level::On;
    }
}

bool X11Power::watchDisplayPower(DisplayPowerHandler handler) {
    stopWatchingDisplayPower();
    const std::optional<Level> level = currentLevel();
    if (!level) return false;
    handler_ = std::move(handler);
    lastLevel_ = *level;
    pollTimer_ = mainQueue().after(pollInterval_, [this] { poll(); });
    return true;
}

void X11Power::stopWatchingDisplayPower() {
    if (pollTimer_) Clock::shared().cancel(*pollTimer_);
    pollTimer_.reset();
    handler_ = nullptr;
}

void X11Power::poll() {
    pollTimer_.reset();
    if (const std::optional<Level> level = currentLevel()) {
        const Level from = lastLevel_;
        lastLevel_ = *level;
        // The handler may stop the watch; hold a copy for the messages of this change.
        const DisplayPowerHandler handler = handler_;
        for (uint32_t message : displayPowerMessages(from, *level))
            if (handler) handler(message);
    }
    if (handler_ && !pollTimer_) pollTimer_ = mainQueue().after(pollInterval_, [this] { poll(); });
}

bool X11Power::preventDisplaySleep(bool prevent, const QString& /*reason*/) {
    if (!display_) return false;
    int eventBase = 0, errorBase = 0;
    if (!XScreenSaverQueryExtension(display(display_), &eventBase, &errorBase)) return false;
    if (prevent == suspended_) return true;
    // Suspending the screen saver also holds DPMS off, until released or this connection closes.
    XScreenSaverSuspend(display(display_), prevent ? True : False);
    XFlush(display(display_));
    suspended_ = prevent;
    return true;
}
