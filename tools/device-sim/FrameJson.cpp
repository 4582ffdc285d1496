#include "FrameJson.h"

#include "session/PeerMessage.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>

namespace FrameJson {

namespace {

// Payloads up to this size are shown in hex where they have no other reading; larger ones only by size,
// so a record line stays readable.
constexpr qsizetype kHexLimit = 64;

} // namespace

QJsonValue toJson(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::QVariantMap: {
        QJsonObject object;
        const QVariantMap map = value.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it)
            object.insert(it.key(), toJson(it.value()));
        return object;
    }
    case QMetaType::QVariantList: {
        QJsonArray array;
        for (const QVariant& element : value.toList())
            array.append(toJson(element));
        return array;
    }
    case QMetaType::QString:
        return value.toString();
    case QMetaType::Bool:
        return value.toBool();
    case QMetaType::LongLong:
    case QMetaType::Int:
        return value.toLongLong();
    case QMetaType::Double: {
        const double d = value.toDouble();
        if (std::isnan(d)) return QStringLiteral("nan");
        if (std::isinf(d)) return d > 0 ? QStringLiteral("inf") : QStringLiteral("-inf");
        return d;
    }
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        QJsonObject object{{QStringLiteral("data"), bytes.size()}};
        if (bytes.size() <= kHexLimit)
            object.insert(QStringLiteral("hex"), QString::fromLatin1(bytes.toHex()));
        return object;
    }
    case QMetaType::QDateTime:
        return value.toDateTime().toString(Qt::ISODateWithMs);
    default:
        return QJsonValue::fromVariant(value);
    }
}

QJsonObject describeFrame(uint32_t type, uint32_t tag, const QByteArray& payload) {
    QJsonObject object{{QStringLiteral("type"), qint64(type)},
                       {QStringLiteral("tag"), qint64(tag)},
                       {QStringLiteral("size"), payload.size()}};
    OptError error;
    switch (type) {
    case PeerMessage::kFrameTypeTextMessage:
        if (const std::optional<QString> text = PeerMessage::decodeText(payload, &error)) {
            object.insert(QStringLiteral("text"), *text);
            // Bytes that are not UTF-8 show as replacement characters; say so.
            if (text->toUtf8() != payload.mid(4))
                error = Error::make(kPTProtocolErrorDomain, 0, QStringLiteral("text is not valid UTF-8"));
        }
        break;
    case PeerMessage::kFrameTypeDeviceInfo:
    case PeerMessage::kFrameTypeEvent:
        if (const std::optional<QVariantMap> dictionary = PeerMessage::decodeDictionary(payload, &error))
            object.insert(QStringLiteral("plist"), toJson(*dictionary));
        break;
    case PeerMessage::kFrameTypeH264Video:
    case PeerMessage::kFrameTypeJPEGVideo:
        break;
    default:
        if (!payload.isEmpty() && payload.size() <= kHexLimit)
            object.insert(QStringLiteral("hex"), QString::fromLatin1(payload.toHex()));
        break;
    }
    if (error) {
        object.insert(QStringLiteral("error"), error->description);
        if (payload.size() <= kHexLimit)
            object.insert(QStringLiteral("hex"), QString::fromLatin1(payload.toHex()));
    }
    return object;
}

QByteArray line(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace FrameJson
