#pragma once

#include "base/NotificationCenter.h"

#include <QPointF>
#include <functional>
#include <vector>

class CaptureController;
class Power;
class SystemEvents;

// What the device is told when the desktop's screen saver, lock or display power changes, and the
// status item's refresh when the appearance changes.
class SystemEventReactions {
public:
    // `isInZubScreen` tells whether a global point lies on the streamed screen.
    SystemEventReactions(SystemEvents& systemEvents, Power& power, std::function<QPointF()> mouseLocation,
                         std::function<bool(QPointF)> isInZubScreen);
    ~SystemEventReactions();

    // Null while there is none; every reaction that reaches the device is then a no-op.
    void setSession(CaptureController* session) { session_ = session; }
    void setThemeChangedHandler(std::function<void()> handler) { themeChanged_ = std::move(handler); }

    // The screen-saver and lock notices, then the appearance notice, on the distributed centre.
    void registerObservers();
    void removeObservers();
    // Installs the display-power watcher; false when the system cannot tell display sleep.
    bool setupDisplayWrangler();

    void handleScreenSaverEvent(const Notification& notification);
    void interfaceThemeDidChange(const Notification& notification);
    void handleDisplayPowerMessage(uint32_t message);

private:
    void sendEvent(const QString& eventName);

    SystemEvents& systemEvents_;
    Power& power_;
    std::function<QPointF()> mouseLocation_;
    CaptureController* session_ = nullptr;
    std::function<bool(QPointF)> isInZubScreen_;
    std::function<void()> themeChanged_;
    std::vector<NotificationCenter::ObserverId> observers_;
};
