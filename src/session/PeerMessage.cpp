#include "session/PeerMessage.h"

#include "base/PropertyList.h"

#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <limits>

namespace PeerMessage {

bool isAcceptedFromDevice(uint32_t type) {
    return type == kFrameTypeEndOfStream || (type >= kFrameTypeDeviceInfo && type <= kFrameTypeEvent);
}

QByteArray encodeText(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    QByteArray payload(4, '\0');
    qToBigEndian<quint32>(quint32(utf8.size()), payload.data());
    payload.append(utf8);
    return payload;
}

std::optional<QString> decodeText(const QByteArray& payload, OptError* error) {
    if (payload.size() < 4) {
        if (error)
            *error = Error::make(kPTProtocolErrorDomain, 0,
                                 QStringLiteral("Text message shorter than its length"));
        return std::nullopt;
    }
    const quint32 length = qFromBigEndian<quint32>(payload.constData());
    if (quint64(length) != quint64(payload.size() - 4)) {
        if (error)
            *error = Error::make(kPTProtocolErrorDomain, 0,
                                 QStringLiteral("Text message length %1 does not match its %2 bytes")
                                     .arg(length)
                                     .arg(payload.size() - 4));
        return std::nullopt;
    }
    return QString::fromUtf8(payload.constData() + 4, qsizetype(length));
}

QByteArray encodeDictionary(const QVariantMap& dictionary, OptError* error) {
    return PropertyList::serialize(dictionary, PropertyList::Format::Binary, error);
}

std::optional<QVariantMap> decodeDictionary(const QByteArray& payload, OptError* error) {
    OptError parseError;
    QVariantMap map = PropertyList::parseDictionary(payload, &parseError);
    if (parseError) {
        if (error) *error = parseError;
        return std::nullopt;
    }
    return map;
}

namespace {

// The value as a number when it is a property-list number or boolean.
std::optional<double> numberOf(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool() ? 1.0 : 0.0;
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
        return value.toDouble();
    default:
        return std::nullopt;
    }
}

std::optional<int64_t> integerOf(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Bool:
        return value.toBool() ? 1 : 0;
    case QMetaType::Int:
    case QMetaType::LongLong:
        return value.toLongLong();
    case QMetaType::UInt:
    case QMetaType::ULongLong: {
        const qulonglong v = value.toULongLong();
        return v > qulonglong(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                                   : int64_t(v);
    }
    case QMetaType::Double:
    case QMetaType::Float: {
        // Truncated towards zero like a C conversion, but clamped instead of undefined when out of range.
        const double d = value.toDouble();
        if (std::isnan(d)) return 0;
        if (d >= 9.2233720368547758e18) return std::numeric_limits<int64_t>::max();
        if (d <= -9.2233720368547758e18) return std::numeric_limits<int64_t>::min();
        return int64_t(d);
    }
    default:
        return std::nullopt;
    }
}

} // namespace

bool boolValue(const QVariantMap& dictionary, const QString& key) {
    const std::optional<double> n = numberOf(dictionary.value(key));
    return n && *n != 0.0;
}

int64_t integerValue(const QVariantMap& dictionary, const QString& key) {
    return integerOf(dictionary.value(key)).value_or(0);
}

int32_t intValue(const QVariantMap& dictionary, const QString& key) {
    const int64_t v = integerValue(dictionary, key);
    return int32_t(
        std::clamp<int64_t>(v, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

double doubleValue(const QVariantMap& dictionary, const QString& key) {
    return numberOf(dictionary.value(key)).value_or(0.0);
}

double floatValue(const QVariantMap& dictionary, const QString& key) {
    const double d = doubleValue(dictionary, key);
    if (std::isnan(d)) return d;
    // Beyond single precision's range the value becomes infinite, as the device's own conversion does.
    if (std::fabs(d) > double(std::numeric_limits<float>::max())) return std::copysign(HUGE_VAL, d);
    return double(float(d));
}

QString stringValue(const QVariantMap& dictionary, const QString& key) {
    const QVariant value = dictionary.value(key);
    return value.typeId() == QMetaType::QString ? value.toString() : QString();
}

} // namespace PeerMessage
