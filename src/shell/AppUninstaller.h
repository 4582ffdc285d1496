#pragma once

#include "shell/ShellHooks.h"

#include <QString>
#include <functional>

class Alerts;
class BLAuthentication;
class Packages;
class UserDefaults;

// Where the program lives: what the uninstall script removes.
struct Installation {
    // The program itself.
    QString agentPath;
    // The install prefix: the folder above the program's own (/usr/local for /usr/local/bin/zubpad).
    QString prefix;
    // The user's configuration folder: $XDG_CONFIG_HOME, else ~/.config.
    QString configHome;

    // This process's installation.
    static Installation current();
};

// The whole removal of the program, once the user confirmed it: the administrator's rights for the
// shell, the uninstall script run with them, the login item and the settings forgotten, and the end
// of the process. Installed by the package manager, the program is removed there instead: the user
// is told how, and nothing changes. Main thread only.
class AppUninstaller final : public Uninstaller {
public:
    static constexpr const char* kShell = "/bin/sh";

    struct Parts {
        BLAuthentication& authentication;
        Packages& packages;
        UserDefaults& defaults;
        Alerts& alerts;
        // The login item; null: there is none to remove.
        LoginItemState* loginItems = nullptr;
        // Ends the process with the status.
        std::function<void(int status)> exitProcess;
    };

    AppUninstaller(Parts parts, Installation installation);

    void uninstall() override;
    bool inProgress() const { return inProgress_; }

private:
    void scriptEnded(bool refused);

    Parts parts_;
    Installation installation_;
    bool inProgress_ = false;
};
