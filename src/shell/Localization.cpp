#include "shell/Localization.h"

#include <QHash>

namespace {

const QHash<QString, QString>& englishTexts() {
    static const QHash<QString, QString> texts = {
        {QStringLiteral("Open System Preferences"), QStringLiteral("Open Settings")},
        {QStringLiteral("Quit"), QStringLiteral("Quit")},
        {QStringLiteral("AskScreenRecordingTitle"), QStringLiteral("Zub Pad needs to record the screen")},
        {QStringLiteral("AskScreenRecording"),
         QStringLiteral("To show your desktop on the tablet, Zub Pad needs permission to record the screen. "
                        "Grant it in the system settings, then start Zub Pad again.")},
        // The version and notice service: %1 is the program's name, %2 a version.
        {QStringLiteral("ForceUpdateOSXApp"),
         QStringLiteral("This version of %1 is no longer supported. Please update it to keep using your "
                        "tablet.")},
        {QStringLiteral("ForceUpdateProtocolOSXApp"),
         QStringLiteral("The app on your tablet is newer than %1 can work with. Please update %1.")},
        {QStringLiteral("OSXAppUpdate"), QStringLiteral("A new version of %1 is available")},
        {QStringLiteral("OSXAppUpdateExist"),
         QStringLiteral("%1 %2 is ready to install. Would you like to update now?")},
        {QStringLiteral("Ok"), QStringLiteral("OK")},
        {QStringLiteral("NotNow"), QStringLiteral("Not Now")},
        {QStringLiteral("CheckForUpdate..."), QStringLiteral("Check for Updates...")},
        {QStringLiteral("CheckForUpdate..!"), QStringLiteral("Check for Updates... (new version)")},
        // The updater: %1 is the program's name, %2 a version, %3 the running one.
        {QStringLiteral("UpToDate"), QStringLiteral("You're up to date")},
        {QStringLiteral("UpToDateBody"), QStringLiteral("%1 %2 is the newest version available.")},
        {QStringLiteral("UpdateAvailableBody"),
         QStringLiteral("%1 %2 is available; you have %3. Install it with your package manager or from its "
                        "release page.")},
        {QStringLiteral("OpenReleasePage"), QStringLiteral("Open Release Page")},
        {QStringLiteral("UpdateCheckFailed"), QStringLiteral("Update check failed")},
        {QStringLiteral("UpdateCheckFailedBody"),
         QStringLiteral("The update information could not be read. Please try again later.")},
        // The pen's pressure, where the desktop asks for no accessibility permission.
        {QStringLiteral("ZubPadAccessibilityTitle"), QStringLiteral("Pen pressure and tilt are off")},
        {QStringLiteral("ZubPadAccessibilityBody"),
         QStringLiteral(
             "Zub Pad passes the pen's pressure, tilt and hover on through a virtual drawing tablet, "
             "which needs write access to /dev/uinput. Install Zub Pad's udev rule and module entry "
             "(sudo cmake --install), run \"sudo modprobe uinput\", then log out and in again. The "
             "guide explains each step.")},
        {QStringLiteral("OpenPressureGuide"), QStringLiteral("Open the Guide")},
        // Uninstall: %1 is the package.
        {QStringLiteral("UninstallWithPackageManager"),
         QStringLiteral("Remove Zub Pad with your package manager")},
        {QStringLiteral("UninstallWithPackageManagerBody"),
         QStringLiteral("Zub Pad was installed as the package \"%1\". Remove it the same way, for example "
                        "with \"sudo apt remove %1\" in a terminal.")},
    };
    return texts;
}

} // namespace

QString localizedString(const QString& key) {
    return englishTexts().value(key, key);
}
