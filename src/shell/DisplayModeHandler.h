#pragma once

#include "base/NotificationCenter.h"
#include "platform/DisplayServices.h"
#include "shell/ShellHooks.h"

#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <functional>

class ZDVirtualScreenController;

// The shell's reactions that put a device's picture on the right display at the right size: a device
// introduced gets the display mode that suits it (`channelChanged:`), a mode change restarts the stream
// on the streamed display and tells the device its new size (`handleModeChanged:`), and a display added
// or removed re-targets mirroring and refreshes the menu (`handleUpdateMenu:`). Main thread only.
//
// The session, the display arrangement, the resolution catalogue, the status menu and the Touch Bar
// relay are reached through the calls in Parts; a call left empty is a part not in this program (yet),
// and its step is skipped.
class DisplayModeHandler final : public DisplayModeReactions {
public:
    struct Parts {
        // -- The session controller.
        std::function<int32_t()> currentChannel;
        // A text message to the device on the current channel.
        std::function<void(const QString&)> sendMessage;
        std::function<void()> stopStream;
        std::function<void(DisplayID)> resetResolution;
        // The device's introduction.
        std::function<QVariantMap()> peerDeviceInfo;
        // Cursor forwarding: the device stops drawing its cursor while the mode changes.
        std::function<void()> hideCursor;
        // -- The version service: whether both sides speak compatible protocol versions (and, when not,
        // the side that is too old has been told). Empty: compatible.
        std::function<bool()> checkProtocolVersion;
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

    DisplayModeHandler(ZDVirtualScreenController& displayController, Parts parts);

    // A device was introduced (channel 1) or dropped (0); the version checks that come between are the
    // version service's.
    void channelChanged(int32_t channel) override;
    // Stops the stream and asks the display controller for `mode`; the "ZDModeWasChangedNotification"
    // that follows restarts the stream (handleModeChanged).
    void changeDisplayMode(int32_t mode);

    void handleModeChanged(const Notification& notification) override;
    void handleUpdateMenu(const Notification& notification) override;

    // Whether `display` has an entry in the display directory.
    bool isOnline(DisplayID display);

private:
    void send(const QString& message);

    ZDVirtualScreenController& displayController_;
    Parts parts_;
};
