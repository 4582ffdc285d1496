#pragma once

#include "shell/ShellHooks.h"

#include <QString>
#include <QUrl>

class LoginItems;

// Whether the program starts with the user's session, and the switch for it. Holds no state of its
// own: each call reads or writes the login items afresh, so it may be used from any thread.
class LaunchAtLoginController final : public LoginItemState {
public:
    LaunchAtLoginController(LoginItems& loginItems, QString appPath);

    // `willLaunchAtLogin:` of appURL.
    bool launchAtLogin() override;
    // Enabling adds the item when it is not there, disabling removes it; anything else changes nothing.
    void setLaunchAtLogin(bool enabled) override;

    QUrl appURL() const { return QUrl::fromLocalFile(appPath_); }
    bool willLaunchAtLogin(const QUrl& url);
    void setLaunchAtLogin(bool enabled, const QUrl& url);
    // Whether the login item starts the program at `url` (the same program name).
    bool findItemWithURL(const QUrl& url);

private:
    LoginItems& loginItems_;
    QString appPath_;
};
