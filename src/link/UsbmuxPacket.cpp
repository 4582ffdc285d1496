#include "link/UsbmuxPacket.h"

#include "base/PropertyList.h"

#include <QtEndian>

#include <cstring>

namespace UsbmuxPacket {

QByteArray encode(uint32_t protocol, uint32_t type, uint32_t tag, const QByteArray& payload) {
    QByteArray packet(qsizetype(kHeaderSize) + payload.size(), Qt::Uninitialized);
    char* p = packet.data();
    qToLittleEndian<quint32>(quint32(packet.size()), p);
    qToLittleEndian<quint32>(protocol, p + 4);
    qToLittleEndian<quint32>(type, p + 8);
    qToLittleEndian<quint32>(tag, p + 12);
    if (!payload.isEmpty()) std::memcpy(p + kHeaderSize, payload.constData(), size_t(payload.size()));
    return packet;
}

QByteArray encodePlist(uint32_t tag, const QByteArray& plistPayload) {
    return encode(kPlistProtocol, kPlistMessage, tag, plistPayload);
}

uint32_t decodeLength(const char* bytes) {
    return qFromLittleEndian<quint32>(bytes);
}

Header decodeHeader(const char* bytes) {
    return Header{qFromLittleEndian<quint32>(bytes), qFromLittleEndian<quint32>(bytes + 4),
                  qFromLittleEndian<quint32>(bytes + 8), qFromLittleEndian<quint32>(bytes + 12)};
}

bool lengthIsValid(uint32_t length) {
    return length >= kHeaderSize && length <= kMaxLength;
}

Error invalidLengthError(uint32_t length) {
    return Error::make(kPTUSBHubErrorDomain, 0, QStringLiteral("Invalid packet length %1").arg(length));
}

Decoded decode(const Header& header, const QByteArray& payload) {
    Decoded out;
    out.tag = header.tag;
    if (header.protocol != kPlistProtocol) {
        out.error = Error::make(kPTUSBHubErrorDomain, 0, QStringLiteral("Unexpected package protocol"));
        return out;
    }
    if (header.type != kPlistMessage) {
        out.error = Error::make(kPTUSBHubErrorDomain, 0, QStringLiteral("Unexpected package type"));
        return out;
    }
    if (payload.isEmpty()) return out;
    OptError parseError;
    QVariantMap dict = PropertyList::parseDictionary(payload, &parseError);
    if (parseError)
        out.error = parseError;
    else
        out.dictionary = std::move(dict);
    return out;
}

bool payloadIsBinary(const QByteArray& payload) {
    return payload.startsWith("bplist");
}

} // namespace UsbmuxPacket
