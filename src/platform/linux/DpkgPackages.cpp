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
    const QString text = QString::fromUtf8(output);
    const QString suffix = QStringLiteral(": ") + path;
    for (qsizetype at = text.indexOf(suffix); at >= 0; at = text.indexOf(suffix, at + 1)) {
        const qsizetype end = at + suffix.size();
        if (end != text.size() && text[end] != u'\n') continue;
        const qsizetype start = at == 0 ? 0 : text.lastIndexOf(u'\n', at - 1) + 1;
        const QString packages = text.mid(start, at - start);
        if (packages.startsWith(QLatin1String("diversion by"))) continue;
        // "a, b: path" when several packages share the file: the first one is named.
        const QString first = packages.section(u',', 0, 0).trimmed();
        // "name:arch" for a multi-arch package: apt takes the name alone.
        const QString name = first.section(u':', 0, 0);
        if (!name.isEmpty() && !name.contains(u' ')) return name;
    }
    return std::nullopt;
}
