// The device's reading of video frames: payload form checks, then decoding, on arbitrary bytes.
#include "VideoDecoder.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // First byte: frame type and tag; the rest is the payload.
    const uint32_t type = (data[0] & 1) ? 107 : 108;
    const uint32_t tag = (data[0] & 2) ? 100 : 0;
    const QByteArray payload(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    static VideoDecoder decoder; // keeps its state across inputs, as on a real stream
    (void)decoder.decodeFrame(type, tag, payload);
    return 0;
}
