#pragma once

#include <QPointF>
#include <QSizeF>
#include <QString>
#include <QVariantMap>
#include <cstdint>

class DisplayModeHandler;
class ResolutionController;
class VersionChecker;

// The start-up, the system-event reactions and the session's delegate calls reach into parts that
// stand apart from the shell: the version service, permissions and updates, the Touch Bar relay, the
// resolution catalogue and the display-mode reactions. Each is a small interface here or its own
// class; either is a null pointer while absent (in tests, or where the desktop lacks it), and its
// step is then skipped.

// Accessibility permission that synthetic input needs.
class AccessibilityPermission {
public:
    virtual ~AccessibilityPermission() = default;
    // `assistiveAccessGranted:`; with `prompt` it shows its own alert when the permission is missing.
    virtual bool assistiveAccessGranted(bool prompt) = 0;
};

// The application updater.
class AutoUpdater {
public:
    virtual ~AutoUpdater() = default;
    virtual void setAutoUpdateConfig() = 0;
    virtual void checkForUpdatesInBackground() = 0;
    // The user's own check, from the menu: its answer is shown whatever it is.
    virtual void checkForUpdates() = 0;
    // The newer version the last check found, which the menu announces; empty when none.
    virtual QString newVersion() const = 0;
};

// The login item's real state, asked off the main thread at start.
class LoginItemState {
public:
    virtual ~LoginItemState() = default;
    virtual bool launchAtLogin() = 0;
    // Adds or removes the login item; called off the main thread.
    virtual void setLaunchAtLogin(bool enabled) = 0;
};

// The whole removal of the program, after the user confirmed it: authorise, remove, forget, quit.
class Uninstaller {
public:
    virtual ~Uninstaller() = default;
    virtual void uninstall() = 0;
};

// The Touch Bar strip.
class TouchBarRelay {
public:
    virtual ~TouchBarRelay() = default;
    virtual void showTouchBar() = 0;
    virtual void hideTouchBar() = 0;
    virtual void stopTouchBar() = 0;
    virtual bool hasTouchBarWindow() const = 0;
    // Whether the system has a Touch Bar to relay; without one the strip and its menu item are absent.
    virtual bool isOSSupportTouchBar() const = 0;
    // Whether a point of the top-left-origin global space lies on the strip.
    virtual bool isTapInTouchBar(QPointF point) = 0;
};

struct ShellHooks {
    // The version document, the protocol check and the device-side checks and notice.
    VersionChecker* versionService = nullptr;
    AccessibilityPermission* accessibility = nullptr;
    AutoUpdater* updater = nullptr;
    LoginItemState* loginItems = nullptr;
    Uninstaller* uninstaller = nullptr;
    TouchBarRelay* touchBar = nullptr;
    // The device's size and the display mode that suits it.
    ResolutionController* resolutions = nullptr;
    // The reactions to the display controller's notices and to a device introduced or dropped.
    DisplayModeHandler* displayModes = nullptr;
};
