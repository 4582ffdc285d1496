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
    };
    return texts;
}

} // namespace

QString localizedString(const QString& key) {
    return englishTexts().value(key, key);
}
