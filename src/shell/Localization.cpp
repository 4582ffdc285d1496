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
        // The status menu: %1 is the program's name or the device's kind.
        {QStringLiteral("Preferences"), QStringLiteral("Preferences")},
        {QStringLiteral("Setup Stylus on %@"), QStringLiteral("Set Up Stylus on %1")},
        {QStringLiteral("LaunchAtLogin"), QStringLiteral("Start at Login")},
        {QStringLiteral("AutoUpdateApp"), QStringLiteral("Update Automatically")},
        {QStringLiteral("UseSystemMouseCursor"), QStringLiteral("Show the Desktop Cursor on the Tablet")},
        {QStringLiteral("Enable Touch Bar"), QStringLiteral("Show the Touch Bar")},
        {QStringLiteral("AboutOSXApp"), QStringLiteral("About %1")},
        {QStringLiteral("Uninstall"), QStringLiteral("Uninstall")},
        {QStringLiteral("Cancel"), QStringLiteral("Cancel")},
        {QStringLiteral("UninstallOSXApp"), QStringLiteral("Uninstall %1?")},
        {QStringLiteral("UninstallZubPadBody"),
         QStringLiteral("Zub Pad, its settings and its login entry will be removed from this computer.")},
        {QStringLiteral("Resolution"), QStringLiteral("Resolution")},
        {QStringLiteral("FrameRate"), QStringLiteral("Frame Rate")},
        {QStringLiteral("DisplayArrangement"), QStringLiteral("Display Arrangement")},
        {QStringLiteral("DisplaySettings..."), QStringLiteral("Display Settings...")},
        {QStringLiteral("30FPS"), QStringLiteral("30 frames per second")},
        {QStringLiteral("60FPS"), QStringLiteral("60 frames per second")},
        {QStringLiteral("HeavyResolution"),
         QStringLiteral("More than this device or encoder handles smoothly")},
        {QStringLiteral("WaitForConnection"), QStringLiteral("Waiting for the Zub Pad app")},
        {QStringLiteral("USBUnplugged"), QStringLiteral("No tablet plugged in")},
        {QStringLiteral("usbmuxd is not running"), QStringLiteral("usbmuxd is not running")},
        {QStringLiteral("PressureAndTiltOff"),
         QStringLiteral("Pressure and tilt off: /dev/uinput is not writable")},
        {QStringLiteral("How to enable pressure..."), QStringLiteral("How to enable pressure...")},
        {QStringLiteral("is connected"), QStringLiteral("is connected")},
        {QStringLiteral("is paired"), QStringLiteral("is paired")},
        {QStringLiteral("Battery"), QStringLiteral("Battery")},
        {QStringLiteral("Stylus"), QStringLiteral("Stylus")},
        {QStringLiteral("RestartZubPad"), QStringLiteral("Restart Zub Pad")},
        {QStringLiteral("RestartZubPadIsRequired"),
         QStringLiteral("Zub Pad may now record the screen. Quit it and start it again to use your tablet.")},
        {QStringLiteral("Quit Zub Pad"), QStringLiteral("Quit Zub Pad")},
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
