#pragma once

#include "base/Error.h"

#include <QByteArray>
#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <optional>

// The messages exchanged with the companion app, in their wire forms, and the lenient reading of
// the values inside them.
namespace PeerMessage {

// Frame types.
enum FrameType : uint32_t {
    kFrameTypeEndOfStream = 0,
    kFrameTypeDeviceInfo = 100, // the app's introduction, a dictionary
    kFrameTypeTextMessage = 101,
    kFrameTypePing = 102,
    kFrameTypePong = 103,
    kFrameTypeEvent = 104, // a dictionary with "eventName"
    kFrameTypeH264Video = 107,
    kFrameTypeJPEGVideo = 108,
};

// Whether the device may send a frame of this type; anything else ends the channel.
bool isAcceptedFromDevice(uint32_t type);

// Channel numbers. kChannelCurrent is not a channel: it means the current one when sending.
enum Channel : int32_t { kChannelNone = 0, kChannelUSB = 1, kChannelAir = 2, kChannelCurrent = 4 };
// Connection modes; only USB is used.
enum ConnectionMode : int32_t { kConnectionModeUSB = 0, kConnectionModeAir = 1, kConnectionModeAuto = 2 };

// A text message: 4-byte big-endian length, then the UTF-8 text without terminator.
QByteArray encodeText(const QString& text);
// The text of a text-message payload; an error when the length does not match the payload.
std::optional<QString> decodeText(const QByteArray& payload, OptError* error = nullptr);

// A dictionary as one binary property list (introduction and event frames).
QByteArray encodeDictionary(const QVariantMap& dictionary, OptError* error = nullptr);
// A dictionary from a property list of any format; nullopt and an error when it is not one.
std::optional<QVariantMap> decodeDictionary(const QByteArray& payload, OptError* error = nullptr);

// Lenient reading of a dictionary's values: a missing key or a value of the wrong type reads as NO,
// 0 or a null string. Property-list booleans and numbers stand for each other (YES is 1, non-zero
// is YES); texts never stand for numbers.
bool boolValue(const QVariantMap& dictionary, const QString& key);
int32_t intValue(const QVariantMap& dictionary, const QString& key);
int64_t integerValue(const QVariantMap& dictionary, const QString& key);
double doubleValue(const QVariantMap& dictionary, const QString& key);
// A value read as single precision and widened back, as the device's float fields are.
double floatValue(const QVariantMap& dictionary, const QString& key);
QString stringValue(const QVariantMap& dictionary, const QString& key);

} // namespace PeerMessage
