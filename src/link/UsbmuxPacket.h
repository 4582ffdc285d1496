#pragma once

#include "base/Error.h"

#include <QByteArray>
#include <QVariantMap>
#include <cstdint>
#include <optional>

// The usbmux daemon's packet: a 16-byte header of four little-endian 32-bit words (whole length,
// protocol, message type, tag) and a property-list payload. Shared by the daemon client and the
// daemon simulator, so both sides read and write the same bytes.
namespace UsbmuxPacket {

inline constexpr uint32_t kHeaderSize = 16;
// The daemon's packets are small dictionaries; a length beyond this is a broken or hostile stream,
// refused before anything is allocated for it.
inline constexpr uint32_t kMaxLength = 16u * 1024u * 1024u;
inline constexpr uint32_t kPlistProtocol = 1;
inline constexpr uint32_t kPlistMessage = 8;

struct Header {
    uint32_t length = 0;
    uint32_t protocol = 0;
    uint32_t type = 0;
    uint32_t tag = 0;
};

// What one packet held: an error, or the dictionary (absent for a packet without payload), and its tag.
struct Decoded {
    OptError error;
    std::optional<QVariantMap> dictionary;
    uint32_t tag = 0;
};

// Header and payload in one buffer, so the packet goes out with one write.
QByteArray encode(uint32_t protocol, uint32_t type, uint32_t tag, const QByteArray& payload);
// A property-list request or answer: protocol 1, message type 8.
QByteArray encodePlist(uint32_t tag, const QByteArray& plistPayload);

// `bytes` holds at least 4 (length) or 16 (header) bytes.
uint32_t decodeLength(const char* bytes);
Header decodeHeader(const char* bytes);

bool lengthIsValid(uint32_t length);
// "PTUSBHubError" code 0 naming the refused length.
Error invalidLengthError(uint32_t length);

// Checks protocol and message type and parses the payload (the bytes after the header) as a
// dictionary of any property-list format; an empty payload gives no dictionary.
Decoded decode(const Header& header, const QByteArray& payload);

// Binary property lists start with this magic; anything else is taken for XML.
bool payloadIsBinary(const QByteArray& payload);

} // namespace UsbmuxPacket
