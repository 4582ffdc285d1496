#pragma once

#include "base/Error.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVariant>
#include <cstdint>

// The frames the companion app and the agent exchange, as the simulator sees them: the type numbers,
// the text-message wire form and a JSON picture of any frame for records and logs.
namespace PeerFrames {

enum Type : uint32_t {
    kEndOfStream = 0,
    kIntroduction = 100,
    kText = 101,
    kPing = 102,
    kPong = 103,
    kEvent = 104,
    kH264Video = 107,
    kJPEGVideo = 108,
};

// A text message: 4-byte big-endian length, then the UTF-8 bytes, no terminator.
QByteArray encodeText(const QString& text);
// The text of a text-message payload; an error when the length does not match the bytes that follow
// or the bytes are not UTF-8 (the text then holds what could be read, for the record).
QString decodeText(const QByteArray& payload, OptError* error);

// A dictionary as one binary property list (introduction and event payloads).
QByteArray encodeDictionary(const QVariantMap& dictionary, OptError* error = nullptr);

// A property-list value as JSON. Data becomes {"data": size, "hex": bytes} (hex only for short data),
// dates ISO 8601 text, non-finite reals the texts "nan", "inf" and "-inf".
QJsonValue toJson(const QVariant& value);

// {"type", "tag", "size"} plus "text" for 101, "plist" for 100/104, "hex" for short payloads of other
// non-video types, and "error" when the payload does not decode.
QJsonObject describeFrame(uint32_t type, uint32_t tag, const QByteArray& payload);

// One line of compact JSON, without the newline.
QByteArray jsonLine(const QJsonObject& object);

} // namespace PeerFrames
