#include "platform/linux/DpkgPackages.h"

#include <QProcess>

namespace {

// dpkg-query answers from its local database; one that takes longer than this is not answering.
constexpr int kQueryTimeoutMs = 5000;

} // namespace

std::optional<QString> DpkgPackages::owningPackage(const QString& path) {
    QProcess query;
    query.setStandardInputFile(QProcess::nullDevice());
    query.setProcessChannelMode(QProcess::SeparateChannels);
    // "--" so that a path is never read as an option.
    query.start(dpkgQuery_, {QStringLiteral("--search"), QStringLiteral("--"), path});
    if (!query.waitForFinished(kQueryTimeoutMs)) {
        query.kill();
        query.waitForFinished();
        return std::nullopt;
    }
    if (query.exitStatus() != QProcess::NormalExit || query.exitCode() != 0) return std::nullopt;
    return packageInSearchOutput(query.readAllStandardOutput(), path);
}

std::optional<QString> DpkgPackages::packageInSearchOutput(const QByteArray& output, const QString& path) {
    const QString suffix = QStringLiteral(": ") + path;
    for (const QString& line : QString::fromUtf8(output).split(u'\n')) {
        if (line.startsWith(QLatin1String("diversion by")) || !line.endsWith(suffix)) continue;
        // "a, b: path" when several packages share the file: the first one is named.
        const QString packages = line.chopped(suffix.size());
        const QString first = packages.section(u',', 0, 0).trimmed();
        // "name:arch" for a multi-arch package: apt takes the name alone.
        const QString name = first.section(u':', 0, 0);
        if (!name.isEmpty() && !name.contains(u' ')) return name;
    }
    return std::nullopt;
}
