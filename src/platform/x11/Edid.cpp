#include "platform/x11/Edid.h"

namespace {

constexpr int kBlockSize = 128;
constexpr unsigned char kHeader[8] = {0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x00};
// Display descriptors: four 18-byte slots; a slot starting with a zero pixel clock holds a descriptor
// whose tag (byte 3) says what it is.
constexpr int kDescriptorOffsets[] = {54, 72, 90, 108};
constexpr unsigned char kProductNameTag = 0xfc;

std::optional<EdidInfo> fail(OptError* error, int code, const QString& text) {
    if (error) *error = Error::make(kEdidErrorDomain, code, text);
    return std::nullopt;
}

} // namespace

std::optional<EdidInfo> parseEdid(const QByteArray& bytes, OptError* error) {
    if (bytes.size() < kBlockSize)
        return fail(error, 1,
                    QStringLiteral("EDID of %1 bytes is shorter than its base block").arg(bytes.size()));
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.constData());
    for (int i = 0; i < 8; ++i)
        if (b[i] != kHeader[i]) return fail(error, 2, QStringLiteral("EDID header missing"));
    unsigned sum = 0;
    for (int i = 0; i < kBlockSize; ++i)
        sum += b[i];
    if (sum % 256 != 0) return fail(error, 3, QStringLiteral("EDID checksum wrong"));

    EdidInfo info;
    // Three 5-bit letters, 1 = 'A', big-endian in bytes 8 and 9.
    const unsigned id = (unsigned(b[8]) << 8) | b[9];
    for (int shift : {10, 5, 0}) {
        const unsigned letter = (id >> shift) & 0x1f;
        info.manufacturer += (letter >= 1 && letter <= 26) ? QChar(u'A' + letter - 1) : QChar(u'?');
    }
    info.productCode = uint16_t(b[10] | (b[11] << 8));
    info.serialNumber =
        uint32_t(b[12]) | (uint32_t(b[13]) << 8) | (uint32_t(b[14]) << 16) | (uint32_t(b[15]) << 24);

    for (int offset : kDescriptorOffsets) {
        const unsigned char* d = b + offset;
        if (d[0] != 0 || d[1] != 0 || d[3] != kProductNameTag) continue;
        // Up to 13 characters, ended by a line feed and padded with blanks; only printable ASCII is
        // taken, so a broken monitor cannot put control characters into menus.
        QString name;
        for (int i = 5; i < 18 && d[i] != 0x0a; ++i)
            if (d[i] >= 0x20 && d[i] < 0x7f) name += QChar(d[i]);
        info.productName = name.trimmed();
        break;
    }
    return info;
}
