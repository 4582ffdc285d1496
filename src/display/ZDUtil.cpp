#include "display/ZDUtil.h"

#include "display/DeviceCatalogue.h"
#include "platform/SystemInfo.h"

#include <QProcess>

#include <QList>
#include <QStringView>

QString ZDUtil::getMacOSVersionString(const SystemInfo& systemInfo) {
    return systemInfo.osVersionString();
}

namespace {

// Compares two runs of digits as numbers of any length.
int compareDigits(QStringView a, QStringView b) {
    while (a.size() > 1 && a.front() == u'0')
        a = a.mid(1);
    while (b.size() > 1 && b.front() == u'0')
        b = b.mid(1);
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

int comparePart(QStringView a, QStringView b) {
    qsizetype da = 0, db = 0;
    while (da < a.size() && a[da].isDigit())
        ++da;
    while (db < b.size() && b[db].isDigit())
        ++db;
    const QStringView numA = da ? a.left(da) : QStringView(u"0");
    const QStringView numB = db ? b.left(db) : QStringView(u"0");
    if (const int c = compareDigits(numA, numB); c != 0) return c;
    return a.mid(da).compare(b.mid(db));
}

} // namespace

int ZDUtil::compareVersion(const QString& a, const QString& b) {
    const QList<QStringView> partsA = QStringView(a).split(u'.');
    const QList<QStringView> partsB = QStringView(b).split(u'.');
    const qsizetype n = std::max(partsA.size(), partsB.size());
    for (qsizetype i = 0; i < n; ++i) {
        const QStringView pa = i < partsA.size() ? partsA[i] : QStringView();
        const QStringView pb = i < partsB.size() ? partsB[i] : QStringView();
        if (const int c = comparePart(pa, pb); c != 0) return c < 0 ? -1 : 1;
    }
    return 0;
}

void ZDUtil::parseVersionString(const QString& version, int32_t* major, int32_t* minor, int32_t* patch) {
    *major = *minor = *patch = 0;
    const auto part = [](QStringView text) { return text.isEmpty() ? 0 : DeviceCatalogue::leadingInt(text); };
    const QStringView all(version);
    const qsizetype firstDot = all.indexOf(u'.');
    if (firstDot < 0) {
        *major = part(all);
        return;
    }
    *major = part(all.left(firstDot));
    const QStringView rest = all.mid(firstDot + 1);
    const qsizetype secondDot = rest.indexOf(u'.');
    if (secondDot < 0) {
        *minor = part(rest);
        return;
    }
    *minor = part(rest.left(secondDot));
    *patch = part(rest.mid(secondDot + 1));
}

void ZDUtil::getMacOSVersionCode(const SystemInfo& systemInfo, int32_t* major, int32_t* minor,
                                 int32_t* patch) {
    parseVersionString(getMacOSVersionString(systemInfo), major, minor, patch);
}

bool ZDUtil::isMacOSVersionAboveOrEqualTo(const QString& version, const SystemInfo& systemInfo) {
    return compareVersion(version, getMacOSVersionString(systemInfo)) <= 0;
}

bool ZDUtil::isMacOSVersionAboveTo(const QString& version, const SystemInfo& systemInfo) {
    return compareVersion(version, getMacOSVersionString(systemInfo)) < 0;
}

QString ZDUtil::runCommand(const QString& command) {
    QProcess process;
    process.setProgram(QStringLiteral("/bin/sh"));
    process.setArguments({QStringLiteral("-c"), command});
    // A command that reads its input must see it end rather than wait for us forever.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start();
    if (!process.waitForStarted(-1)) return QString();
    // The output is collected while waiting; it ends with the shell (a command it left running in the
    // background does not hold the caller).
    process.waitForFinished(-1);
    return QString::fromUtf8(process.readAllStandardOutput());
}

bool ZDUtil::isM1Mac(const SystemInfo& systemInfo) {
    const QString machine = systemInfo.machineArchitecture();
    // "arm64" is what macOS calls the architecture, "aarch64" what Linux calls it.
    if (machine == QLatin1String("arm64") || machine == QLatin1String("aarch64")) return true;
    if (machine == QLatin1String("x86_64")) return isProcessTranslated(systemInfo);
    return false;
}

bool ZDUtil::isProcessTranslated(const SystemInfo& systemInfo) {
    return systemInfo.processTranslated();
}
