#include "display/ZDUtil.h"

#include "platform/SystemInfo.h"

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
