#include "shell/AppUninstaller.h"

#include "base/Bundle.h"
#include "base/Logging.h"
#include "base/UserDefaults.h"
#include "platform/Alerts.h"
#include "platform/Packages.h"
#include "shell/BLAuthentication.h"
#include "shell/Localization.h"
#include "shell/Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

Installation Installation::current() {
    Installation installation;
    installation.agentPath = QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath();
    installation.prefix = QFileInfo(QFileInfo(installation.agentPath).absolutePath()).absolutePath();
    installation.configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (installation.configHome.isEmpty() || !QDir::isAbsolutePath(installation.configHome))
        installation.configHome = QDir::homePath() + QStringLiteral("/.config");
    return installation;
}

AppUninstaller::AppUninstaller(Parts parts, Installation installation)
    : parts_(std::move(parts)), installation_(std::move(installation)) {}

void AppUninstaller::uninstall() {
    if (inProgress_) return;
    // Files a package manager installed are its to remove: deleting them under it would leave it
    // believing they are there.
    if (const std::optional<QString> package = parts_.packages.owningPackage(installation_.agentPath)) {
        Alert alert;
        alert.style = Alert::Style::Informational;
        alert.messageText = localizedString(QStringLiteral("UninstallWithPackageManager"));
        alert.informativeText =
            localizedString(QStringLiteral("UninstallWithPackageManagerBody")).arg(*package);
        parts_.alerts.runModal(alert);
        return;
    }
    // 1. What goes: the program under its prefix, the settings file, and the script that removes them.
    const QString script = QString::fromUtf8(
        Bundle::main().resourceData(QStringLiteral("uninstall_zubpad"), QStringLiteral("sh")));
    if (script.isEmpty()) {
        qCWarning(lcShell) << "the uninstall script is missing from the program";
        return;
    }
    // 2. A refused authorisation changes nothing.
    const QString shell = QString::fromLatin1(kShell);
    if (!parts_.authentication.authenticate(shell)) {
        qCInfo(lcShell) << "uninstall cancelled: the administrator's rights were refused";
        return;
    }
    // 3. X11 keeps no record of a screen-recording permission: there is nothing to withdraw.
    // 4. The script, with the administrator's rights. Its end is awaited, so that a refusal at this
    // step too leaves everything in place.
    inProgress_ = true;
    parts_.authentication.executeCommand(
        shell,
        {QStringLiteral("-c"), script, QStringLiteral("uninstall_zubpad"), installation_.prefix,
         installation_.configHome, installation_.agentPath, parts_.defaults.filePath()},
        [this](Privileged::Result result) { scriptEnded(result.outcome == Privileged::Outcome::Refused); });
}

void AppUninstaller::scriptEnded(bool refused) {
    if (refused) {
        inProgress_ = false;
        qCInfo(lcShell) << "uninstall cancelled: the administrator's rights were refused";
        return;
    }
    // 5. Whatever the script managed, the program forgets itself.
    if (parts_.defaults.boolForKey(DefaultsKey::launchAtLogin) && parts_.loginItems)
        parts_.loginItems->setLaunchAtLogin(false);
    // 6. Forgetting the defaults writes the file afresh, empty: it goes once more.
    parts_.defaults.removePersistentDomain();
    parts_.defaults.synchronize();
    QFile::remove(parts_.defaults.filePath());
    QDir().rmdir(QFileInfo(parts_.defaults.filePath()).absolutePath());
    // 7.
    inProgress_ = false;
    parts_.exitProcess(0);
}
