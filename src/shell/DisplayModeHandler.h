#pragma once

#include "base/NotificationCenter.h"
#include "display/DisplayHost.h"
#include "platform/DisplayServices.h"

#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <functional>

class CaptureController;
class ZDVirtualScreenController;

// The shell's reactions that put a device's picture on the right display at the right size: a device
// introduced gets the display mode that suits it (`channelChanged:`), a mode change restarts the stream
// on the streamed display and tells the device its new size (`handleModeChanged:`), and a display added
// or removed re-targets mirroring and refreshes the menu (`handleUpdateMenu:`). It is also what the
// display side asks of the session when the user or the system changes the mode. Main thread only.
//
// The session is the shell's controller (none until it is made: the device is then not connected).
// The display arrangement, the resolution catalogue, the status menu and the Touch Bar relay are
// reached through the calls in Parts, as they are made after this handler or not in this program yet;
// a call left empty skips its step.
class DisplayModeHandler final : public DisplayHost {
public:
    struct Parts {
        // -- The resolution catalogue.
        std::function<int32_t(const QVariantMap& deviceInfo)> adjustInitialMode;
        std::function<bool(bool show)> showZubPadOrCloneHiResAlert;
        // -- The display arrangement.
        std::function<void()> cloneDisplay;
        std::function<void()> extendDisplaySelected;
        // -- The status menu and the Touch Bar relay.
        std::function<void(bool framebufferActive)> updateMenu;
        std::function<bool()> touchBarEnabled;
        std::function<void()> showTouchBar;
    };

    explicit DisplayModeHandler(ZDVirtualScreenController& displayController, Parts parts = {});

    void setParts(Parts parts) { parts_ = std::move(parts); }
    void setSession(CaptureController* session) { session_ = session; }

    // A device was introduced (channel 1; the shell has found its protocol compatible) or dropped (0).
    void channelChanged(int32_t channel);
    void handleModeChanged(const Notification& notification);
    void handleUpdateMenu(const Notification& notification);

    // Whether `display` has an entry in the display directory.
    bool isOnline(DisplayID display);

    // -- DisplayHost
    bool isDeviceConnected() const override;
    void sendMessage(const QString& message) override;
    void stopStream() override;
    // Stops the stream and asks the display controller for `mode`; the "ZDModeWasChangedNotification"
    // that follows restarts the stream (handleModeChanged).
    void changeDisplayMode(int32_t mode) override;
    void resetResolution(DisplayID display) override;
    double videoCaptureFPS() const override;
    void setVideoCaptureFPS(double fps) override;
    bool hardwareEncodingAvailable() const override;
    QVariantMap peerDeviceInfo() const override;
    void setPeerDeviceInfo(const QVariantMap& info) override;
    QString localizedString(const QString& key) const override;

private:
    ZDVirtualScreenController& displayController_;
    Parts parts_;
    CaptureController* session_ = nullptr;
};
