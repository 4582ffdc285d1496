#pragma once

#include "base/Lifetime.h"
#include "base/NotificationCenter.h"
#include "input/InputTranslation.h"
#include "session/CursorForwarder.h" // kZDAutoHideTouchBarNotification
#include "session/ZDAppDelegate.h"
#include "shell/ScreenRecordingGate.h"
#include "shell/Settings.h"
#include "shell/ShellHooks.h"
#include "shell/SingleInstance.h"
#include "shell/StatusItem.h"
#include "shell/SystemEventReactions.h"

#include <QPointF>
#include <QSizeF>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class Alerts;
class Clipboard;
class CaptureController;
class EventMonitor;
class EventPoster;
class InputSources;
class Permissions;
class Power;
class SystemEvents;
class UserDefaults;
class Workspace;
class ZDVirtualScreenController;

// The application shell: start-up, settings, system events, the status item and the orderly quit,
// and the session's delegate. A facade over one object per concern; the operations keep their names
// here. Main thread only.
class AppDelegate final : public ZDAppDelegate {
public:
    struct Services {
        UserDefaults& defaults;
        Workspace& workspace;
        SystemEvents& systemEvents;
        Power& power;
        Permissions& permissions;
        Alerts& alerts;
        // The pointer's position in the global desktop space.
        std::function<QPointF()> mouseLocation;
        // Makes the session controller, with the shell as its delegate, and starts its link.
        std::function<std::unique_ptr<CaptureController>(AppDelegate&)> makeCaptureController;
        // Leaves the run loop; the process then ends with `status`.
        std::function<void(int status)> exitProcess;
        // Where the device's input goes; without all three the device's input is not translated.
        EventPoster* eventPoster = nullptr;
        EventMonitor* eventMonitor = nullptr;
        InputSources* inputSources = nullptr;
        // Where the on-screen keyboard's text is pasted from.
        Clipboard* clipboard = nullptr;
        // False when the pen tablet could not be made: the pen then has no pressure and no tilt.
        bool pressureAvailable = true;
    };

    AppDelegate(Services services, ZDVirtualScreenController& displayController, ShellHooks hooks = {});
    ~AppDelegate() override;
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // The start-up sequence, in order.
    void applicationDidFinishLaunching();
    void loadDefaults();
    bool quitApplicationWithBundleID(const QString& bundleIdentifier);

    bool screenRecordingGranted() { return screenRecordingGate_.screenRecordingGranted(); }
    void alertForScreenRecording() { screenRecordingGate_.alertForScreenRecording(); }
    bool alertShowHelp() { return screenRecordingGate_.alertShowHelp(); }

    void handleModeChanged(const Notification& notification);
    void handleUpdateMenu(const Notification& notification);
    void handleAutoHideTouchBar(const Notification& notification);
    // The Touch Bar relay: absent where the system has no Touch Bar.
    bool isOSSupportTouchBar() const { return hooks_.touchBar && hooks_.touchBar->isOSSupportTouchBar(); }
    // The "Enable Touch Bar" item: stores the choice, then shows or hides the strip.
    void enableTouchBar(bool on);
    // Whether a tap at a point of the top-left-origin space lands on the strip of an enabled relay.
    bool isTapInTouchBar(QPointF point);
    void handleScreenSaverEvent(const Notification& notification) {
        reactions_.handleScreenSaverEvent(notification);
    }
    void interfaceThemeDidChange(const Notification& notification) {
        reactions_.interfaceThemeDidChange(notification);
    }
    bool setupDisplayWrangler() { return reactions_.setupDisplayWrangler(); }
    bool isDarkMode() const;
    // The application in front: read at launch, and again whenever another one comes to the front.
    int32_t getCurrentApp();
    void foremostAppChanged();

    // The application's answer to a request to quit.
    enum class TerminateReply { Now, Later };

    // The Quit item and the end signals: asks applicationShouldTerminate, and when the answer is
    // yes, applicationWillTerminate and the exit with status 0.
    void terminate();
    // Removes the display callback; tells the device "appWillTerminate" and, once that has left,
    // lets the session controller shut the link down, and a moment later replies. Answers Later
    // while this is under way (replyToApplicationShouldTerminate follows), Now when there is no
    // session controller.
    TerminateReply applicationShouldTerminate();
    void replyToApplicationShouldTerminate(bool shouldTerminate);
    void applicationWillTerminate();

    // -- The session's delegate.
    void resizeEventFromDevice(QSizeF size) override;
    // A device was introduced or dropped: the protocol check, then for a compatible device its display
    // mode and the version service's checks.
    void channelChanged(int32_t channel) override;
    // The link state: the status icons by channel and appearance.
    void updateUI(int32_t channel, int32_t connectionMode) override;
    int32_t adjustInitialMode(const QVariantMap& deviceInfo) override;
    void handleTapEvent(QPointF point, bool ignoreSingleTap) override;
    void handleTwoFingerTapEvent(QPointF point) override;
    void handleThreeFingerTapEvent(QPointF point) override;
    void handleScrollEvent(const QVariantMap& event) override;
    void handleDragEvent(const QVariantMap& event) override;
    void handlePencilEvent(const QVariantMap& event) override;
    void handleZoomEvent(const QVariantMap& event) override;
    void handleTwoFingerRotationEvent(const QVariantMap& event) override;
    void handleTwoFingerPanEvent(const QVariantMap& event) override;
    void handleStylusStatusChanged(const QVariantMap& event) override;
    void handleKeyboardEvent(const QVariantMap& event) override;
    void handleVirtualKeyboardEvent(const QVariantMap& event) override;
    void handleVirtualKeyboardSourceEvent(const QVariantMap& event) override;
    void handleHoverEvent(const QVariantMap& event) override;
    void inputInterrupted() override;
    // -1 for x when the point is off the streamed screen (always, until the input part is there).
    QPointF getRelativePoint(QPointF globalPoint) override;
    bool isInZubScreen(QPointF globalPoint) override;
    bool isInMirrorModeForBuiltinDisplay() override;
    bool isTouchBarEnabled() override { return settings_.enableTouchBar(); }

    // -- The status menu.
    // Rewrites the status line and the resolution and frame-rate submenus of the open menu.
    void updateMenu(bool framebufferActive);
    // What the menu shows now; rebuilds the resolution list while a device is linked in mirror mode.
    MenuState menuState();
    // Screen recording granted since launch: the program must restart to capture.
    void menuWillOpen();
    // The Preferences toggles, each the opposite of the stored choice.
    void launchAtLogin();
    void autoUpdateApp();
    void useSystemCursor();
    void checkForUpdates();
    void aboutTheApp();
    void setupStylus();
    // Asks for confirmation; the removal itself is the uninstaller's.
    void uninstall();
    // Opens the README's section on pressure: how to make /dev/uinput writable.
    void howToEnablePressure();

    Settings& settings() { return settings_; }
    bool bScreenRecordingGranted() const { return screenRecordingGate_.bScreenRecordingGranted(); }
    bool bRequireAccessibilityGrant() const {
        return input_ ? input_->bRequireAccessibilityGrant() : bRequireAccessibilityGrant_;
    }
    const QString& protocolVersion() const { return settings_.protocolVersion(); }
    CaptureController* captureController() const { return captureController_.get(); }
    ZDVirtualScreenController& displayController() const { return displayController_; }
    StatusItem& statusItem() { return statusItem_; }
    // None when the program was given nothing to post input with.
    InputTranslation* input() const { return input_.get(); }

    // How long the last message to the device may take before the link is shut down regardless.
    static constexpr double kAppWillTerminateTimeout = 1.0;
    // How long the shut-down link is given to finish closing before the process ends.
    static constexpr double kLinkSettleTime = 0.1;

private:
    void registerObservers();
    void removeObservers();
    StatusMenu::Actions menuActions();
    void openInfoURL(const QString& key);
    void finishTermination();

    Services services_;
    ZDVirtualScreenController& displayController_;
    ShellHooks hooks_;
    Settings settings_;
    SingleInstance singleInstance_;
    ScreenRecordingGate screenRecordingGate_;
    SystemEventReactions reactions_;
    StatusItem statusItem_;
    std::unique_ptr<CaptureController> captureController_;
    std::unique_ptr<InputTranslation> input_;
    bool followsFrontmostApplication_ = false;
    std::vector<NotificationCenter::ObserverId> observers_;
    bool bRequireAccessibilityGrant_ = false;
    bool terminating_ = false;
    std::optional<Clock::TimerId> terminationTimer_;
    Lifetime<AppDelegate> lifetime_{this};
};
