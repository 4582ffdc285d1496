#include "shell/LaunchAtLoginController.h"

#include "base/Logging.h"
#include "platform/LoginItems.h"

#include <QFileInfo>

LaunchAtLoginController::LaunchAtLoginController(LoginItems& loginItems, QString appPath)
    : loginItems_(loginItems), appPath_(std::move(appPath)) {}

bool LaunchAtLoginController::launchAtLogin() {
    return willLaunchAtLogin(appURL());
}

bool LaunchAtLoginController::willLaunchAtLogin(const QUrl& url) {
    return findItemWithURL(url);
}

bool LaunchAtLoginController::findItemWithURL(const QUrl& url) {
    const std::optional<QString> program = loginItems_.loginItemProgram();
    return program && !program->isEmpty() && *program == QFileInfo(url.toLocalFile()).fileName();
}

void LaunchAtLoginController::setLaunchAtLogin(bool enabled) {
    setLaunchAtLogin(enabled, appURL());
}

void LaunchAtLoginController::setLaunchAtLogin(bool enabled, const QUrl& url) {
    const bool present = findItemWithURL(url);
    OptError error;
    if (enabled && !present)
        error = loginItems_.insertLoginItem(url.toLocalFile());
    else if (!enabled && present)
        error = loginItems_.removeLoginItem();
    if (error) qCWarning(lcShell).noquote() << "the login item could not be changed:" << error->toString();
}
