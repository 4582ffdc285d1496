// Monitor identification data comes from whatever is plugged in: no block may crash the parser, and
// a name taken from one must be fit for a menu.
#include "platform/x11/Edid.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    OptError error;
    const auto info = parseEdid(bytes, &error);
    if (!info && !error) std::abort(); // a refusal always says why
    if (info) {
        if (info->productName.size() > 13 || info->manufacturer.size() != 3) std::abort();
        for (QChar c : info->productName)
            if (c.unicode() < 0x20 || c.unicode() >= 0x7f) std::abort();
    }
    return 0;
}
