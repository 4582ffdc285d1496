#include "PeerFrames.h"

#include "base/PropertyList.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringDecoder>
#include <QtEndian>

#include <cmath>

namespace PeerFrames {

namespace {

// Payloads up to this size are shown in hex where they have no other reading; larger ones only by size,
// so a record line stays readable.
constexpr qsizetype kHexLimit = 64;

Error frameError(const QString& what) {
    return Error::make(QStringLiteral("PeerFrames"), 0, what);
}

} // namespace

QByteArray encodeText(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    QByteArray payload(4, Qt::Uninitialized);
    qToBigEndian<quint32>(static_cast<quint32>(utf8.size()), payload.data());
    payload += utf8;
    return payload;
}

QString decodeText(const QByteArray& payload, OptError* error) {
    if (error) error->reset();
    if (payload.size() < 4) {
        if (error)
            *error = frameError(
                QStringLiteral("text payload of %1 bytes has no 4-byte length").arg(payload.size()));
        return {};
    }
    const quint64 declared = qFromBigEndian<quint32>(payload.constData());
    const QByteArray bytes = payload.mid(4);
    if (declared != quint64(bytes.size())) {
        if (error)
            *error = frameError(QStringLiteral("text length %1 does not match the %2 bytes that follow")
                                    .arg(declared)
                                    .arg(bytes.size()));
        // Keep what is there (up to the declared length) so the record shows what came.
        return QString::fromUtf8(bytes.left(qsizetype(std::min<quint64>(declared, quint64(bytes.size())))));
    }
    // Stateless: a sequence cut off at the end is an error here, not something to wait for.
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder(bytes);
    if (decoder.hasError() && error) *error = frameError(QStringLiteral("text is not valid UTF-8"));
    return text;
}

QByteArray encodeDictionary(const QVariantMap& dictionary, OptError* error) {
    return PropertyList::serialize(dictionary, PropertyList::Format::Binary, error);
}

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
    case kText: {
        const QString text = decodeText(payload, &error);
        object.insert(QStringLiteral("text"), text);
        break;
    }
    case kIntroduction:
    case kEvent: {
        const QVariantMap dictionary = PropertyList::parseDictionary(payload, &error);
        if (!error) object.insert(QStringLiteral("plist"), toJson(dictionary));
        break;
    }
    case kH264Video:
    case kJPEGVideo:
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

QByteArray jsonLine(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace PeerFrames
