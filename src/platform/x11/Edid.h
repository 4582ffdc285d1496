#pragma once

#include "base/Error.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <optional>

// What a monitor says about itself in the base block of its EDID: the maker's three-letter ID, the
// product code (the display's model number), the serial number and the product name.
struct EdidInfo {
    QString manufacturer;
    uint16_t productCode = 0;
    uint32_t serialNumber = 0;
    QString productName; // empty when the monitor names no product
    bool operator==(const EdidInfo&) const = default;
};

inline const QString kEdidErrorDomain = QStringLiteral("EDID");

// Reads the 128-byte base block at the start of `bytes` (extension blocks after it are ignored).
// Anything shorter, with another header or a wrong checksum is an error.
std::optional<EdidInfo> parseEdid(const QByteArray& bytes, OptError* error = nullptr);
