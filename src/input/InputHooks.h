#pragma once

#include <QPointF>
#include <QString>
#include <cstdint>
#include <functional>

// What the input translation asks of parts that live elsewhere: the session controller, the trackpad
// simulator, the Touch Bar strip and the permission dialogs. Whoever owns the input fills what it
// has; an empty hook is a part that is not there, and the input behaves as without it: an older
// device, nothing sent, no smart zoom, no tap on the Touch Bar, access granted.
struct InputHooks {
    // The session controller: whether the device speaks this protocol version or a later one.
    std::function<bool(const QString& version)> checkPeerProtocolVersion;
    // The session controller: a text message to the device (channel 4 is the current one).
    std::function<void(const QString& message, int32_t channel)> sendMessage;
    // The session controller's cursor forwarding: the cursor moved or changed, tell the device now.
    std::function<void()> mouseCursorMoved;
    // The trackpad simulator: the two-finger double tap that zooms to fit.
    std::function<void()> simulateSmartZoomEvent;
    // The Touch Bar strip: whether a point (top-left global space) falls on its picture.
    std::function<bool(QPointF point)> isTapInTouchBar;
    // The accessibility permission: whether synthetic input is allowed; with `showAlert` it asks the
    // user when it is not. Empty on desktops that have no such permission.
    std::function<bool(bool showAlert)> assistiveAccessGranted;
    // When the accessibility alert was last closed, in seconds of the shared Clock; empty: never.
    std::function<double()> alertCloseTime;
    // The advice to let Photoshop be controlled by this program.
    std::function<void()> alertForPhotoshopAccessibility;
    // The resolution catalogue: the linked device's category ("iPad", "iPhone"); empty: not known.
    std::function<QString()> deviceCategory;

    bool peerSpeaks(const QString& version) const {
        return checkPeerProtocolVersion && checkPeerProtocolVersion(version);
    }
    void cursorMoved() const {
        if (mouseCursorMoved) mouseCursorMoved();
    }
};
