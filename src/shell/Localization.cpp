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
    };
    return texts;
}

} // namespace

QString localizedString(const QString& key) {
    return englishTexts().value(key, key);
}
