#include "platform/linux/XdgAutostart.h"

#include "platform/linux/DesktopEntries.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <cerrno>

namespace {

// The program as one Exec argument: quoted, with the characters that are special inside quotes
// escaped, then the string-value escape applied to the backslashes, and '%' doubled as field codes
// would otherwise take it.
QString execArgument(const QString& path) {
    QString quoted;
    for (const QChar c : path) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\') quoted += u'\\';
        quoted += c;
    }
    quoted.replace(u'\\', QStringLiteral("\\\\"));
    quoted.replace(u'%', QStringLiteral("%%"));
    return u'"' + quoted + u'"';
}

Error autostartError(int code, const QString& description) {
    return Error{QStringLiteral("NSPOSIXErrorDomain"), code, description};
}

} // namespace

QString XdgAutostart::defaultDirectory() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/autostart");
}

XdgAutostart::XdgAutostart(QString name, QString directory, QString fileName)
    : name_(std::move(name)), directory_(std::move(directory)), fileName_(std::move(fileName)) {}

QString XdgAutostart::entryPath() const {
    return directory_ + u'/' + fileName_;
}

std::optional<QString> XdgAutostart::loginItemProgram() {
    const std::optional<QByteArray> bytes = readDesktopEntryFile(entryPath());
    if (!bytes) return std::nullopt;
    const std::optional<DesktopEntry> entry = parseDesktopEntry(*bytes);
    if (!entry || entry->hidden || entry->program.isEmpty()) return std::nullopt;
    static const QRegularExpression kTurnedOff(
        QStringLiteral("^\\s*X-GNOME-Autostart-enabled\\s*=\\s*false\\s*$"),
        QRegularExpression::MultilineOption);
    if (kTurnedOff.match(QString::fromUtf8(*bytes)).hasMatch()) return std::nullopt;
    return entry->program;
}

OptError XdgAutostart::insertLoginItem(const QString& programPath) {
    // A desktop entry's value is one line: a path with a line break in it cannot be written as one.
    if (programPath.isEmpty() || programPath.contains(u'\n') || programPath.contains(u'\r'))
        return autostartError(EINVAL, QStringLiteral("cannot start \"%1\" at login").arg(programPath));
    if (!QDir().mkpath(directory_))
        return autostartError(EACCES, QStringLiteral("cannot make %1").arg(directory_));
    QString name = name_;
    name.remove(u'\n').remove(u'\r');
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=%1\n"
                                        "Exec=%2\n"
                                        "Icon=zubpad\n"
                                        "Terminal=false\n"
                                        "NoDisplay=true\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(name, execArgument(programPath));
    QSaveFile file(entryPath());
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit())
        return autostartError(EIO,
                              QStringLiteral("cannot write %1: %2").arg(entryPath(), file.errorString()));
    return std::nullopt;
}

OptError XdgAutostart::removeLoginItem() {
    QFile file(entryPath());
    if (!file.exists() || file.remove()) return std::nullopt;
    return autostartError(EACCES,
                          QStringLiteral("cannot remove %1: %2").arg(entryPath(), file.errorString()));
}
