// The device's reading of the video payload. Well-formed payloads of every form are read by the picture
// road (tests/video/StreamEndToEndTest, tests/platform/codec) and by VideoReceiverTest; here every way a
// payload can be malformed, each with its own code, and broken pictures inside well-formed payloads.
#include "VideoDecoder.h"
#include "fakes/FakeEncoderServices.h"
#include "video/OutputDestination.h"

#include <QtEndian>
#include <gtest/gtest.h>

namespace {

QByteArray build(int32_t type, const EncodedSample& sample) {
    uint32_t tag = 0;
    return OutputDestination::videoPayload(type, sample, &tag);
}

// A JPEG-looking sample (starts with the image marker) of `size` bytes.
SamplePtr jpegSample(int size) {
    auto s = std::make_shared<EncodedSample>(*makeSample(size));
    s->data[0] = char(0xFF);
    s->data[1] = char(0xD8);
    return s;
}

// One length-prefixed unit of `size` bytes in all, a key frame with its parameter sets or not.
SamplePtr h264Sample(int size, bool key) {
    const std::vector<QByteArray> sets{QByteArray("\x67\x42\x00\x1f", 4), QByteArray("\x68\xce\x3c\x80", 4)};
    auto s = std::make_shared<EncodedSample>(*makeSample(size, !key, key ? sets : std::vector<QByteArray>{}));
    qToBigEndian<quint32>(quint32(size - 4), s->data.data());
    s->data[4] = char(key ? 0x65 : 0x41);
    return s;
}

QByteArray patched(QByteArray bytes, int at, char value) {
    bytes[at] = value;
    return bytes;
}

} // namespace

TEST(VideoPayloadParse, RejectsEveryMalformedPayload) {
    const QByteArray jpeg = build(kFrameTypeJPEGVideo, *jpegSample(64));
    const QByteArray key = build(kFrameTypeH264Video, *h264Sample(64, true));
    QByteArray splitUnits = build(kFrameTypeH264Video, *h264Sample(64, false));
    qToBigEndian<quint32>(100, splitUnits.data() + 13); // first unit claims more than there is
    const struct {
        const char* what;
        uint32_t type, tag;
        QByteArray payload;
        int code;
    } cases[] = {
        {"not video", 104, 0, jpeg, 1},
        {"too short", 108, 0, jpeg.left(12), 2},
        {"length off by one", 108, 0, patched(jpeg, 0, char(jpeg[0] + 1)), 3},
        {"cut short", 108, 0, jpeg.left(jpeg.size() - 1), 3},
        {"second word", 108, 0, patched(jpeg, 4, 2), 4},
        {"JPEG with key tag", 108, 100, jpeg, 5},
        {"wrong unit type", 108, 0, patched(jpeg, 12, 0x25), 6},
        {"start code", 108, 0, patched(jpeg, 11, 2), 6},
        {"not a JPEG", 108, 0, patched(jpeg, 13, 0), 7},
        {"units overrun", 107, 0, splitUnits, 8},
        {"key frame without SPS unit", 107, 100, patched(key, 12, 0x21), 9},
        {"key frame without PPS unit", 107, 100, patched(key, 21, 0x27), 10},
        {"key frame without data unit", 107, 100, patched(key, 30, 0x21), 11},
        {"SPS of the wrong type", 107, 100, patched(key, 13, 0x68), 13},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Error error;
        EXPECT_FALSE(parseVideoPayload(c.type, c.tag, c.payload, &error));
        EXPECT_EQ(error.code, c.code) << error.toString().toStdString();
    }
}

TEST(VideoDecoder, BrokenPicturesAreErrorsNotCrashes) {
    VideoDecoder decoder;
    EXPECT_TRUE(decoder.decodeFrame(108, 0, build(kFrameTypeJPEGVideo, *jpegSample(500))));
    EXPECT_TRUE(decoder.decodeFrame(107, 100, build(kFrameTypeH264Video, *h264Sample(200, true))));
    EXPECT_EQ(decoder.picturesDecoded(), 0);
    EXPECT_TRUE(decoder.lastPicture().isNull());
}
