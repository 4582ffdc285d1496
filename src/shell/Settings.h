#pragma once

#include <QSizeF>
#include <QString>
#include <QThreadPool>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

class LoginItemState;
class UserDefaults;

// User-defaults keys of the application.
namespace DefaultsKey {
inline const QString autoUpdateApp = QStringLiteral("autoUpdateApp");
inline const QString preventDisplaySleep = QStringLiteral("preventDisplaySleep");
inline const QString useSystemCursor = QStringLiteral("useSystemCursor");
inline const QString enableTouchBar = QStringLiteral("enableTouchBar");
inline const QString launchAtLogin = QStringLiteral("launchAtLogin");
inline const QString FPS = QStringLiteral("FPS");
inline const QString photoshopNeedGrant = QStringLiteral("photoshopNeedGrant");
inline const QString srAlertShown = QStringLiteral("srAlertShown");
inline const QString cloneDisplay = QStringLiteral("cloneDisplay");
inline const QString cloneNoRetina = QStringLiteral("cloneNoRetina");
inline const QString zubPadNoRetina = QStringLiteral("zubPadNoRetina");
inline const QString lastNoticeId = QStringLiteral("lastNoticeId");
inline const QString askReview = QStringLiteral("askReview");
} // namespace DefaultsKey

// The shell's settings: read from user defaults once at start-up, written back by the menu toggles.
class Settings {
public:
    explicit Settings(UserDefaults& defaults);
    // Waits for the login-item reconciliation, which writes into this object.
    ~Settings();

    // Reads the toggles; on first launch (no "FPS" stored yet) stores "photoshopNeedGrant" = YES; then
    // reconciles "launchAtLogin" with the login item's real state on a background thread (the real
    // state wins). `loginItems` null: nothing to reconcile with yet.
    void loadDefaults(LoginItemState* loginItems);
    // The peer-protocol version this build speaks, from the "Defaults" resource; null when missing.
    void loadProtocolVersion();

    // The menu's toggles: each stores the choice at once.
    void setAutoUpdateApp(bool value);
    void setUseSystemCursor(bool value);
    // Also adds or removes the login item, off the main thread (`loginItems` null: only stored).
    void setLaunchAtLogin(bool value, LoginItemState* loginItems);

    bool isFirstLaunch() const;
    void waitForBackgroundWork();

    UserDefaults& defaults() const { return defaults_; }
    bool autoUpdateApp() const { return autoUpdateApp_; }
    bool preventDisplaySleep() const { return preventDisplaySleep_; }
    bool useSystemCursor() const { return useSystemCursor_; }
    bool enableTouchBar() const { return enableTouchBar_; }
    // Stores "enableTouchBar".
    void setEnableTouchBar(bool on);
    bool launchAtLogin() const { return launchAtLogin_.load(); }
    const QString& protocolVersion() const { return protocolVersion_; }

private:
    // Runs `work` off the main thread, after the work given before it; the destructor waits for it.
    void runInBackground(std::function<void()> work);

    UserDefaults& defaults_;
    bool autoUpdateApp_ = false;
    bool preventDisplaySleep_ = false;
    bool useSystemCursor_ = false;
    bool enableTouchBar_ = false;
    std::atomic<bool> launchAtLogin_{false};
    // How often the user has chosen in the menu; the start's reconciliation yields to any choice.
    std::atomic<int> launchAtLoginChoices_{0};
    QString protocolVersion_;
    // Background blocks still to finish (they write into this object).
    std::mutex backgroundMutex_;
    std::condition_variable backgroundDone_;
    int backgroundPending_ = 0;
    // One thread: login-item changes happen in the order the user asked for them, so the last wins.
    QThreadPool serialPool_;
};
