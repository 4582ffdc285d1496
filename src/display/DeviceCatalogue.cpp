#include "display/DeviceCatalogue.h"

#include <algorithm>
#include <initializer_list>
#include <limits>

namespace DeviceCatalogue {
namespace {

bool startsWithAny(const QString& text, std::initializer_list<const char*> prefixes) {
    for (const char* prefix : prefixes)
        if (text.startsWith(QLatin1String(prefix))) return true;
    return false;
}

bool isAnyOf(const QString& text, std::initializer_list<const char*> values) {
    for (const char* value : values)
        if (text == QLatin1String(value)) return true;
    return false;
}

// Where the size class starts in a "ModeTable" key, -1 when it has none.
qsizetype sizeClassStart(const QString& key) {
    const qsizetype landscape = key.indexOf(QLatin1String("Landscape"));
    const qsizetype portrait = key.indexOf(QLatin1String("Portrait"));
    if (landscape < 0) return portrait;
    if (portrait < 0) return landscape;
    return std::min(landscape, portrait);
}

struct SizeClassRow {
    double width;
    std::initializer_list<double> heights;
    const char* sizeClass;
};

const char* matchRows(const QSizeF& size, std::initializer_list<SizeClassRow> rows) {
    for (const SizeClassRow& row : rows) {
        if (size.width() != row.width) continue;
        for (double height : row.heights)
            if (size.height() == height) return row.sizeClass;
    }
    return nullptr;
}

} // namespace

QString getDeviceCategory(const QString& hardwareString) {
    return startsWithAny(hardwareString, {"iPhone", "iPod"}) ? QStringLiteral("iPhone")
                                                             : QStringLiteral("iPad");
}

QString getDeviceKey(const QString& hw) {
    if (!supportHighResolutions(hw))
        return hw.startsWith(QLatin1String("iPad")) ? QStringLiteral("iPad2") : QStringLiteral("iPhone4");
    if (hw.startsWith(QLatin1String("iPhone4"))) return QStringLiteral("iPhone4");
    if (startsWithAny(hw, {"iPhone7,2", "iPhone8,1", "iPhone9,1", "iPhone9,3", "iPhone10,1", "iPhone10,4"}))
        return QStringLiteral("iPhone6");
    if (startsWithAny(hw, {"iPhone7,1", "iPhone8,2", "iPhone9,2", "iPhone9,4", "iPhone10,2", "iPhone10,5"}))
        return QStringLiteral("iPhone6p");
    if (hw.startsWith(QLatin1String("iPhone6"))) return QStringLiteral("iPhone5s");
    if (startsWithAny(hw, {"iPhone5", "iPod"})) return QStringLiteral("iPhone5");
    if (hw.startsWith(QLatin1String("iPhone8,4"))) return QStringLiteral("iPhone5s");
    if (startsWithAny(hw, {"iPhone10,3", "iPhone10,6"})) return QStringLiteral("iPhone6");
    if (hw.startsWith(QLatin1String("iPhone"))) return QStringLiteral("iPhone6");
    if (startsWithAny(hw, {"iPad6,7", "iPad6,8", "iPad7,1", "iPad7,2", "iPad7,3", "iPad7,4"}))
        return QStringLiteral("iPadPro");
    return QStringLiteral("iPad");
}

QString getSizeClass(const QSizeF& size, const QString& deviceKey) {
    const char* sizeClass = nullptr;
    if (deviceKey.startsWith(QLatin1String("iPadPro"))) {
        sizeClass = matchRows(size, {
                                        {1366, {1024}, "Landscape"},
                                        {1024, {1366}, "Portrait"},
                                        {981, {1024}, "LandscapeRegular"},
                                        {639, {1366}, "PortraitRegular"},
                                        {678, {1024}, "LandscapeHalf"},
                                        {375, {984, 1024}, "LandscapeCompact"},
                                        {375, {1326, 1366}, "PortraitCompact"},
                                        {1112, {834}, "Landscape"},
                                        {834, {1112}, "Portrait"},
                                        {782, {834}, "LandscapeRegular"},
                                        {504, {1112}, "PortraitRegular"},
                                        {551, {834}, "LandscapeHalf"},
                                        {320, {794, 834}, "LandscapeCompact"},
                                        {320, {1072, 1112}, "PortraitCompact"},
                                    });
    } else if (deviceKey.startsWith(QLatin1String("iPad"))) {
        sizeClass = matchRows(size, {
                                        {1024, {768}, "Landscape"},
                                        {768, {1024}, "Portrait"},
                                        {694, {768}, "LandscapeRegular"},
                                        {438, {1024}, "PortraitRegular"},
                                        {507, {768}, "LandscapeHalf"},
                                        {320, {728, 768}, "LandscapeCompact"},
                                        {320, {984, 1024}, "PortraitCompact"},
                                    });
    }
    if (sizeClass) return QLatin1String(sizeClass);
    return size.width() > size.height() ? QStringLiteral("Landscape") : QStringLiteral("Portrait");
}

QString parseDeviceKey(const QString& key) {
    const qsizetype start = sizeClassStart(key);
    return start < 0 ? QString() : key.left(start);
}

QString parseSizeClass(const QString& key) {
    const qsizetype start = sizeClassStart(key);
    if (start < 0) return QString();
    // The last character is the size index.
    return key.mid(start, key.size() - start - 1);
}

int32_t getSizeIndex(const QVariantMap& modeTable, int32_t mode, const QString& deviceKey) {
    int32_t sizeIndex = 0;
    for (auto it = modeTable.cbegin(); it != modeTable.cend(); ++it) {
        if (parseDeviceKey(it.key()) != deviceKey) continue;
        bool isNumber = false;
        const int value = it.value().toInt(&isNumber);
        if (!isNumber || value != mode) continue;
        sizeIndex = leadingInt(QStringView(it.key()).right(1));
    }
    return sizeIndex;
}

int32_t getMode(const QVariantMap& modeTable, const QString& deviceKey, const QString& sizeClass,
                int32_t sizeIndex, int32_t /*currentMode*/) {
    if (sizeIndex == 0) return 0;
    const QVariant value = modeTable.value(QStringLiteral("%1%2%3").arg(deviceKey, sizeClass).arg(sizeIndex));
    return value.isValid() ? value.toInt() : 0;
}

QSize getSizeFromString(const QString& label) {
    const qsizetype mark = label.indexOf(QLatin1String(" x"));
    if (mark < 0) return QSize(0, 0);
    qint64 width = leadingInt(QStringView(label).left(mark));
    const QStringView rest = QStringView(label).mid(std::min(mark + 3, label.size()));
    qint64 height = 0;
    const qsizetype blank = rest.indexOf(u' ');
    if (blank >= 0) {
        height = leadingInt(rest.left(blank));
        width *= 2;
        height *= 2;
    } else {
        height = leadingInt(rest);
    }
    const auto clamp = [](qint64 v) {
        return int(std::clamp<qint64>(v, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()));
    };
    return QSize(clamp(std::max(width, height)), clamp(std::min(width, height)));
}

bool supportHighResolutions(const QString& hw) {
    return !isAnyOf(hw,
                    {"iPad",      "iPad1,1", "iPhone1,1", "iPhone1,2", "iPhone2,1", "iPhone3,1", "iPhone3,2",
                     "iPhone3,3", "iPod1,1", "iPod2,1",   "iPod2,2",   "iPod3,1",   "iPod4,1",   "iPad2,1",
                     "iPad2,2",   "iPad2,3", "iPad2,4",   "iPad2,5",   "iPad2,6",   "iPad2,7"});
}

bool cloneHiResByDefault(const QString& hw) {
    return !isAnyOf(hw, {"iPhone1,1", "iPhone1,2", "iPhone2,1", "iPhone3,1", "iPhone3,2", "iPhone3,3",
                         "iPhone4,1", "iPhone5,1", "iPhone5,2", "iPhone5,3", "iPhone5,4", "iPod1,1",
                         "iPod2,1",   "iPod2,2",   "iPod3,1",   "iPod4,1",   "iPad1,1",   "iPad2,1",
                         "iPad2,2",   "iPad2,3",   "iPad2,4",   "iPad3,1",   "iPad3,2",   "iPad3,3",
                         "iPad2,5",   "iPad2,6",   "iPad2,7",   "iPad3,4",   "iPad3,5",   "iPad3,6",
                         "iPad5,1",   "iPad5,2"});
}

int32_t leadingInt(QStringView text) {
    qsizetype i = 0;
    while (i < text.size() && text[i].isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
    qint64 value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i].unicode() - u'0');
        if (value > qint64(std::numeric_limits<int32_t>::max()) + 1) break;
    }
    if (negative) value = -value;
    return int32_t(
        std::clamp<qint64>(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

} // namespace DeviceCatalogue
