#pragma once

#include "platform/SystemEvents.h"

#include <QDBusConnection>
#include <QDBusVariant>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>

class QFileSystemWatcher;

// The desktop session's notices on Linux, from whatever the desktop offers, whatever its window system:
// - screen saver: org.freedesktop.ScreenSaver's ActiveChanged on the session bus when that service
//   runs (a backend may watch its window system's screen saver otherwise, and post on the same centre);
// - screen lock: logind's Lock and Unlock signals for this session on the system bus;
// - appearance: the desktop portal's org.freedesktop.appearance color-scheme, or else the GTK theme
//   (GTK_THEME, gtk-application-prefer-dark-theme, a theme name containing "dark").
// Whatever is missing stays silent.
class LinuxSystemEvents final : public QObject, public SystemEvents {
    Q_OBJECT
public:
    struct Sources {
        std::optional<QDBusConnection> sessionBus;
        std::optional<QDBusConnection> systemBus;
        // Where GTK keeps its settings.ini files; empty: $XDG_CONFIG_HOME or ~/.config.
        QString gtkConfigHome;
        QString gtkThemeEnvironment; // the value of GTK_THEME
    };

    // The user's session and system buses and the user's GTK settings.
    static Sources userSources();
    LinuxSystemEvents();
    explicit LinuxSystemEvents(Sources sources);
    ~LinuxSystemEvents() override;

    NotificationCenter& distributedCenter() override { return center_; }
    bool isDarkMode() const override { return dark_; }

    // Which sources are in use.
    bool screenSaverOverDBus() const { return screenSaverOverDBus_; }
    bool lockOverLogind() const { return !sessionPath_.isEmpty(); }
    bool appearanceFromPortal() const { return portalColorScheme_.has_value(); }

    // The GTK answer alone (exposed for the tests).
    static bool gtkPrefersDark(const QString& configHome, const QString& gtkThemeEnvironment);

private slots:
    void screenSaverActiveChanged(bool active);
    void sessionLock();
    void sessionUnlock();
    void portalSettingChanged(const QString& nameSpace, const QString& key, const QDBusVariant& value);
    void gtkSettingsChanged();

private:
    void watchScreenSaverOverDBus();
    void watchLogind();
    void watchAppearance();
    bool computeDarkMode() const;
    // Posts the appearance notice when the answer changed.
    void updateDarkMode();

    Sources sources_;
    NotificationCenter center_;
    bool dark_ = false;
    bool screenSaverOverDBus_ = false;
    std::optional<uint> portalColorScheme_;
    QString sessionPath_;
    std::unique_ptr<QFileSystemWatcher> gtkWatcher_;
};
