#include "base/PropertyList.h"

#include <QDateTime>
#include <QTimeZone>
#include <plist/plist.h>

#include <cstring>
#include <memory>
#include <optional>

namespace {

// Nesting deeper than this is refused: the peer's dictionaries are flat, and recursion must stay bounded.
constexpr int kMaxDepth = 128;

// Property-list dates count seconds from 2001-01-01 UTC.
const QDateTime& referenceDate() {
    static const QDateTime d(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());
    return d;
}

struct PlistFree {
    void operator()(plist_t p) const { plist_free(p); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

Error plistError(const QString& what) { return Error::make(kPropertyListErrorDomain, 0, what); }

plist_t fromVariant(const QVariant& v, int depth, QString* failure) {
    if (depth > kMaxDepth) {
        *failure = QStringLiteral("nesting too deep");
        return nullptr;
    }
    switch (v.typeId()) {
    case QMetaType::QVariantMap: {
        PlistPtr dict(plist_new_dict());
        const QVariantMap map = v.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            plist_t item = fromVariant(it.value(), depth + 1, failure);
            if (!item) return nullptr;
            plist_dict_set_item(dict.get(), it.key().toUtf8().constData(), item);
        }
        return dict.release();
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        PlistPtr array(plist_new_array());
        for (const QVariant& element : v.toList()) {
            plist_t item = fromVariant(element, depth + 1, failure);
            if (!item) return nullptr;
            plist_array_append_item(array.get(), item);
        }
        return array.release();
    }
    case QMetaType::QString: {
        const QByteArray utf8 = v.toString().toUtf8();
        return plist_new_string(utf8.constData());
    }
    case QMetaType::QByteArray: {
        const QByteArray bytes = v.toByteArray();
        return plist_new_data(bytes.constData(), static_cast<uint64_t>(bytes.size()));
    }
    case QMetaType::Bool:
        return plist_new_bool(v.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::LongLong:
    case QMetaType::Char:
    case QMetaType::SChar:
        return plist_new_uint(static_cast<uint64_t>(v.toLongLong()));
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
    case QMetaType::UChar:
        return plist_new_uint(v.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(v.toDouble());
    case QMetaType::QDateTime: {
        const qint64 ms = referenceDate().msecsTo(v.toDateTime());
        const qint64 sec = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
        return plist_new_date(static_cast<int32_t>(sec), static_cast<int32_t>((ms - sec * 1000) * 1000));
    }
    default:
        *failure = QStringLiteral("no property-list form for %1").arg(QString::fromLatin1(v.typeName()));
        return nullptr;
    }
}

QVariant toVariant(plist_t node, int depth, QString* failure) {
    if (depth > kMaxDepth) {
        *failure = QStringLiteral("nesting too deep");
        return {};
    }
    switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        for (;;) {
            char* key = nullptr;
            plist_t value = nullptr;
            plist_dict_next_item(node, it, &key, &value);
            if (!value) {
                free(key);
                break;
            }
            QVariant converted = toVariant(value, depth + 1, failure);
            const QString k = QString::fromUtf8(key);
            free(key);
            if (!converted.isValid()) {
                free(it);
                return {};
            }
            map.insert(k, converted);
        }
        free(it);
        return map;
    }
    case PLIST_ARRAY: {
        QVariantList list;
        const uint32_t n = plist_array_get_size(node);
        list.reserve(static_cast<qsizetype>(n));
        for (uint32_t i = 0; i < n; ++i) {
            QVariant converted = toVariant(plist_array_get_item(node, i), depth + 1, failure);
            if (!converted.isValid()) return {};
            list.append(converted);
        }
        return list;
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        char* s = nullptr;
        if (plist_get_node_type(node) == PLIST_KEY)
            plist_get_key_val(node, &s);
        else
            plist_get_string_val(node, &s);
        QString str = QString::fromUtf8(s ? s : "");
        free(s);
        return str;
    }
    case PLIST_DATA: {
        char* bytes = nullptr;
        uint64_t length = 0;
        plist_get_data_val(node, &bytes, &length);
        QByteArray data(bytes ? bytes : "", static_cast<qsizetype>(bytes ? length : 0));
        free(bytes);
        return data;
    }
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return bool(b);
    }
    case PLIST_UINT: {
        uint64_t u = 0;
        plist_get_uint_val(node, &u);
        // This libplist keeps every integer as 64 unsigned bits; negative numbers come back two's complement.
        return static_cast<qlonglong>(u);
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return d;
    }
    case PLIST_DATE: {
        int32_t sec = 0, usec = 0;
        plist_get_date_val(node, &sec, &usec);
        return referenceDate().addMSecs(qint64(sec) * 1000 + usec / 1000);
    }
    case PLIST_UID: {
        uint64_t u = 0;
        plist_get_uid_val(node, &u);
        return static_cast<qlonglong>(u);
    }
    default:
        *failure = QStringLiteral("unsupported property-list node");
        return {};
    }
}

uint64_t readBigEndian(const uchar* p, unsigned width) {
    uint64_t v = 0;
    for (unsigned i = 0; i < width; ++i)
        v = (v << 8) | p[i];
    return v;
}

// libplist aborts the whole process (a failed assertion) when a string or dictionary key it parsed
// has a NUL character inside and is read back. Outside input like that is refused before libplist
// parses it. Returns a reason, or nothing when the bytes may be parsed.
std::optional<QString> refusedBeforeParsing(const QByteArray& bytes) {
    const auto* d = reinterpret_cast<const uchar*>(bytes.constData());
    const uint64_t n = uint64_t(bytes.size());
    const QString nulInside = QStringLiteral("a string with a NUL character inside");
    if (!bytes.startsWith("bplist00")) {
        // XML: a NUL may only end the text.
        const qsizetype nul = bytes.indexOf('\0');
        if (nul < 0) return std::nullopt;
        for (qsizetype i = nul; i < bytes.size(); ++i)
            if (bytes[i] != '\0') return nulInside;
        return std::nullopt;
    }
    // Binary: check every string object the offset table names (ASCII, UTF-16 and UTF-8 strings).
    if (n < 8 + 32) return std::nullopt; // too short: the parser refuses it
    const uchar* trailer = d + n - 32;
    const unsigned offsetSize = trailer[6];
    const uint64_t count = readBigEndian(trailer + 8, 8);
    const uint64_t table = readBigEndian(trailer + 24, 8);
    if (offsetSize == 0 || offsetSize > 8 || table >= n || count > (n - table) / offsetSize)
        return std::nullopt;
    // Writers never overlap objects, so the strings together are shorter than the whole; anything
    // more is a crafted list that would make this check quadratic.
    uint64_t budget = n;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t at = readBigEndian(d + table + i * offsetSize, offsetSize);
        if (at >= n) continue;
        const unsigned type = d[at] >> 4;
        if (type != 0x5 && type != 0x6 && type != 0x7) continue;
        uint64_t length = d[at] & 0xf;
        uint64_t start = at + 1;
        if (length == 0xf) {
            if (start >= n || (d[start] >> 4) != 0x1) continue;
            const unsigned width = 1u << (d[start] & 0xf);
            if (width > 8 || start + 1 + width > n) continue;
            length = readBigEndian(d + start + 1, width);
            start += 1 + width;
        }
        const uint64_t unit = type == 0x6 ? 2 : 1;
        if (length > (n - start) / unit) continue; // runs past the end: the parser refuses it
        const uint64_t size = length * unit;
        if (size > budget) return QStringLiteral("overlapping string objects");
        budget -= size;
        if (unit == 1) {
            if (std::memchr(d + start, 0, size_t(size))) return nulInside;
        } else {
            for (uint64_t j = start; j < start + size; j += 2)
                if (d[j] == 0 && d[j + 1] == 0) return nulInside;
        }
    }
    return std::nullopt;
}

} // namespace

namespace PropertyList {

QByteArray serialize(const QVariant& value, Format format, OptError* error) {
    QString failure;
    PlistPtr root(fromVariant(value, 0, &failure));
    if (!root) {
        if (error) *error = plistError(failure);
        return {};
    }
    char* out = nullptr;
    uint32_t length = 0;
    if (format == Format::Binary)
        plist_to_bin(root.get(), &out, &length);
    else
        plist_to_xml(root.get(), &out, &length);
    if (!out) {
        if (error) *error = plistError(QStringLiteral("serialisation failed"));
        return {};
    }
    QByteArray bytes(out, static_cast<qsizetype>(length));
    if (format == Format::Binary)
        plist_to_bin_free(out);
    else
        plist_to_xml_free(out);
    if (error) error->reset();
    return bytes;
}

QVariant parse(const QByteArray& bytes, OptError* error) {
    if (error) error->reset();
    if (bytes.isEmpty()) {
        if (error) *error = plistError(QStringLiteral("empty property list"));
        return {};
    }
    if (const auto reason = refusedBeforeParsing(bytes)) {
        if (error) *error = plistError(*reason);
        return {};
    }
    plist_t raw = nullptr;
    plist_from_memory(bytes.constData(), static_cast<uint32_t>(bytes.size()), &raw);
    PlistPtr root(raw);
    if (!root) {
        if (error) *error = plistError(QStringLiteral("not a property list"));
        return {};
    }
    QString failure;
    QVariant v = toVariant(root.get(), 0, &failure);
    if (!v.isValid() && error) *error = plistError(failure);
    return v;
}

QVariantMap parseDictionary(const QByteArray& bytes, OptError* error) {
    OptError e;
    const QVariant v = parse(bytes, &e);
    if (!e && v.typeId() != QMetaType::QVariantMap) e = plistError(QStringLiteral("top-level object is not a dictionary"));
    if (error) *error = e;
    return e ? QVariantMap{} : v.toMap();
}

} // namespace PropertyList
