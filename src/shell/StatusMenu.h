#pragma once

#include "display/ResolutionController.h"
#include "input/StylusInfo.h"

#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <memory>
#include <vector>

class QAction;
class QLabel;
class QMenu;
class QWidgetAction;

// What the status menu shows, read from the session, the settings and the version service each time
// the menu opens or one of its submenus is about to show.
struct MenuState {
    // -- The link.
    bool bNotSupportedVersion = false;
    // Set when a newer version of the program is out.
    QString newVersion;
    bool bUSBConnected = false;
    // A device is linked over USB or the network (the current channel is not 0).
    bool connected = false;
    bool bUSBAttached = false;
    // False while nothing listens on the usbmux daemon's socket.
    bool usbmuxdRunning = true;
    // False when the pen tablet could not be made (no writable /dev/uinput).
    bool pressureAvailable = true;
    // The app's introduction: "name", "hardwareString", "supportApplePencil".
    QVariantMap deviceInfo;
    StylusInfo stylus;
    // -- The picture.
    bool mirrorMode = true;
    // Each entry with its tick and dimming, in the order the catalogue lists them.
    std::vector<std::pair<ResolutionEntry, ResolutionItemState>> resolutions;
    double videoCaptureFPS = 0.0;
    // -- Preferences.
    bool useSystemCursor = false;
    // The device speaks a protocol that knows the desktop's own cursor (1.0.2 and later).
    bool systemCursorSupported = false;
    bool launchAtLogin = false;
    bool autoUpdateApp = false;
    // The Touch Bar strip: offered only where the system has a Touch Bar to show.
    bool touchBarSupported = false;
    bool enableTouchBar = false;
};

// The status menu: the status line, "Preferences", updates, about, uninstall and Quit, and while a
// device is linked in mirror mode the "Resolution" and "FrameRate" submenus. The status line and the
// submenus are rebuilt each time the menu opens; the ticks and enabled states of a submenu are set
// again each time it is about to show. Main thread only.
class StatusMenu final : public QObject {
    Q_OBJECT
public:
    // What the items do. An action left empty hides its item ("CheckForUpdate...", "Uninstall",
    // "AboutOSXApp") or leaves it disabled (the toggles).
    struct Actions {
        std::function<void()> quit;
        std::function<void()> checkForUpdates;
        std::function<void()> aboutTheApp;
        std::function<void()> uninstall;
        std::function<void()> setupStylus;
        std::function<void()> launchAtLogin;
        std::function<void()> autoUpdateApp;
        std::function<void()> useSystemCursor;
        std::function<void()> enableTouchBar;
        std::function<void()> launchDisplaySettings;
        std::function<void()> howToEnablePressure;
        std::function<void(int32_t tag)> changeResolutionSelected;
        std::function<void(int32_t tag)> setFrameRate;
        // The opening of the menu, after its items were rebuilt.
        std::function<void()> menuWillOpen;
    };

    StatusMenu(std::function<MenuState()> state, Actions actions);
    ~StatusMenu() override;

    // The fixed items, once.
    void setupMenu();
    // Rewrites the status line and rebuilds the "Resolution" and "FrameRate" submenus; nothing while
    // the menu is closed. The argument is the display controller's framebuffer flag (never set here).
    void updateMenu(bool framebufferActive);
    void menuWillOpen();
    void menuDidClose();
    // Sets the ticks and enabled states of the item's submenu.
    void menuWillHighlightItem(QAction* item);

    QMenu* menu() const { return menu_.get(); }
    bool bMenuOpen() const { return bMenuOpen_; }
    QAction* statusLineItem() const;
    // The status line as shown, one entry per line.
    QStringList statusLines() const { return statusLines_; }
    // The line spacing of the status line, in pixels.
    int statusLineSpacing() const { return statusLineSpacing_; }
    QAction* quitItem() const { return quit_; }
    QAction* preferencesItem() const { return preferences_; }

    // The stylus part of the status line; it begins with the quote that closes the device's name.
    static QString getLocationString(const StylusInfo& stylus);
    // The status line of a state, line by line.
    static QStringList statusLineText(const MenuState& state);
    // "iPad", "iPhone" or "iPod" from the hardware string.
    static QString deviceWord(const QString& hardwareString);
    // Whether the device's pencil pairs by itself, so that it needs no setting up.
    static bool hasPencilSupport(const MenuState& state);

    // A name the device chose, made safe for one menu line: control, format and bidirectional
    // characters removed, runs of white space one blank, at most `maxLength` characters (an
    // ellipsis marks a cut).
    static QString menuSafeText(const QString& text, int maxLength = kMaxNameLength);
    static constexpr int kMaxNameLength = 40;

private:
    void setStatusLine(const QStringList& lines, int spacing);
    void addOrUpdateMenuItem(QMenu* menu, const QString& title, const std::function<void()>& action,
                             bool state, bool enabled);
    void refreshPreferences(const MenuState& state);
    void refreshFrameRate(QMenu* submenu, const MenuState& state);
    void refreshResolution(QMenu* submenu, const MenuState& state);
    QAction* addAction(QMenu* menu, const QString& title, const std::function<void()>& action);

    std::function<MenuState()> state_;
    Actions actions_;
    std::unique_ptr<QMenu> menu_;
    QWidgetAction* statusLine_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QAction* pressureHelp_ = nullptr;
    QAction* preferences_ = nullptr;
    QAction* checkForUpdate_ = nullptr;
    QAction* quit_ = nullptr;
    QStringList statusLines_;
    int statusLineSpacing_ = 4;
    bool bMenuOpen_ = false;
};
