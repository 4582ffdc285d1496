#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QVariant>
#include <cstdint>

// A JSON picture of any frame between the companion app and the agent, for records and logs.
namespace FrameJson {

// A property-list value as JSON. Data becomes {"data": size, "hex": bytes} (hex only for short data),
// dates ISO 8601 text, non-finite reals the texts "nan", "inf" and "-inf".
QJsonValue toJson(const QVariant& value);

// {"type", "tag", "size"} plus "text" for 101, "plist" for 100/104, "hex" for short payloads of other
// non-video types, and "error" (with "hex" when short) when the payload does not decode.
QJsonObject describeFrame(uint32_t type, uint32_t tag, const QByteArray& payload);

// One line of compact JSON, without the newline.
QByteArray line(const QJsonObject& object);

} // namespace FrameJson
