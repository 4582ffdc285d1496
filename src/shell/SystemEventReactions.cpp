#include "shell/SystemEventReactions.h"

#include "platform/Power.h"
#include "platform/SystemEvents.h"
#include "session/CaptureController.h"

SystemEventReactions::SystemEventReactions(SystemEvents& systemEvents, Power& power,
                                           std::function<QPointF()> mouseLocation,
                                           std::function<bool(QPointF)> isInZubScreen)
    : systemEvents_(systemEvents), power_(power), mouseLocation_(std::move(mouseLocation)),
      isInZubScreen_(std::move(isInZubScreen)) {}

SystemEventReactions::~SystemEventReactions() {
    removeObservers();
    power_.stopWatchingDisplayPower();
}

void SystemEventReactions::registerObservers() {
    NotificationCenter& center = systemEvents_.distributedCenter();
    for (const QString& name : {kScreenSaverDidStartNotification, kScreenSaverDidStopNotification,
                                kScreenIsLockedNotification, kScreenIsUnlockedNotification})
        observers_.push_back(
            center.addObserver(name, nullptr, [this](const Notification& n) { handleScreenSaverEvent(n); }));
    observers_.push_back(center.addObserver(kInterfaceThemeChangedNotification, nullptr,
                                            [this](const Notification& n) { interfaceThemeDidChange(n); }));
}

void SystemEventReactions::removeObservers() {
    for (NotificationCenter::ObserverId id : observers_)
        systemEvents_.distributedCenter().removeObserver(id);
    observers_.clear();
}

bool SystemEventReactions::setupDisplayWrangler() {
    return power_.watchDisplayPower([this](uint32_t message) { handleDisplayPowerMessage(message); });
}

void SystemEventReactions::sendEvent(const QString& eventName) {
    if (!session_) return;
    session_->sendEvent(QVariantMap{{QStringLiteral("eventName"), eventName}}, PeerMessage::kFrameTypeEvent,
                        PeerMessage::kChannelCurrent);
}

void SystemEventReactions::handleScreenSaverEvent(const Notification& notification) {
    const QString& name = notification.name;
    if (name == kScreenSaverDidStartNotification || name == kScreenSaverDidStopNotification) {
        sendEvent(QStringLiteral("CursorHidden"));
        return;
    }
    const bool locked = name == kScreenIsLockedNotification;
    if (!locked && name != kScreenIsUnlockedNotification) return;
    // The device hears of the lock only when the pointer is on the screen it shows.
    if (!mouseLocation_ || !isInZubScreen_ || !isInZubScreen_(mouseLocation_())) return;
    sendEvent(locked ? QStringLiteral("ScreenLocked") : QStringLiteral("ScreenUnlocked"));
}

void SystemEventReactions::interfaceThemeDidChange(const Notification&) {
    if (themeChanged_) themeChanged_();
}

void SystemEventReactions::handleDisplayPowerMessage(uint32_t message) {
    if (!session_) return;
    switch (message) {
    case Power::kMessageCanDevicePowerOff:
    case Power::kMessageDeviceWillPowerOff:
        session_->setBScreenOff(true);
        session_->sendMessage(QStringLiteral("screenOff"), PeerMessage::kChannelCurrent);
        break;
    case Power::kMessageDeviceHasPoweredOn:
        session_->setBScreenOff(false);
        session_->enqueueConnectToLocalIPv4Port();
        session_->enqueueConnectToUSBDevice();
        session_->sendMessage(QStringLiteral("screenOn"), PeerMessage::kChannelCurrent);
        break;
    default:
        break;
    }
}
