#include "VideoReceiver.h"
#include "fakes/ManualClock.h"
#include "platform/codec/LinuxEncoderServices.h"
#include "video/OutputDestination.h"

#include <QImage>
#include <gtest/gtest.h>

namespace {

struct Frame {
    uint32_t type, tag;
    QByteArray payload;
};

// Real frames as the agent sends them: `count` pictures of `width` x `height`, filled with a grey that
// brightens from one to the next.
std::vector<Frame> encodedFrames(CodecType codec, int width, int height, int count) {
    LinuxEncoderServices services;
    std::vector<SamplePtr> samples;
    auto session = services.createCompressionSession(
        width, height, codec, {},
        [&](std::shared_ptr<const void>, const OptError&, SamplePtr s) { samples.push_back(s); }, nullptr);
    EXPECT_TRUE(session);
    if (!session) return {};
    auto picture = PixelBuffer::create(width, height, PixelBuffer::kBGRA);
    for (int i = 0; i < count; ++i) {
        memset(picture->data(), 0x30 + 0x20 * i, size_t(picture->bytesPerRow()) * height);
        EXPECT_FALSE(session->encodeFrame(picture, MediaTime{i, 30}, MediaTime{1, 30}, nullptr));
        session->completeFrames();
    }
    session->invalidate();
    const int32_t type = codec == kCodecTypeJPEG ? kFrameTypeJPEGVideo : kFrameTypeH264Video;
    std::vector<Frame> frames;
    for (const SamplePtr& sample : samples) {
        uint32_t tag = 0;
        QByteArray payload = OutputDestination::videoPayload(type, *sample, &tag);
        frames.push_back({uint32_t(type), tag, payload});
    }
    return frames;
}

} // namespace

// Each frame's record line, the link's summary and its rate on the clock; a new link starts its counts
// afresh and keeps the picture, and its H.264 must open with a key frame although the previous link's did.
TEST(VideoReceiver, RecordsEachFrameAndCountsTheLinksRate) {
    ManualClock clock;
    VideoReceiver receiver;
    const std::vector<Frame> jpeg = encodedFrames(kCodecTypeJPEG, 64, 48, 3);
    const std::vector<Frame> h264 = encodedFrames(kCodecTypeH264, 96, 64, 2);
    ASSERT_EQ(jpeg.size(), 3u);
    ASSERT_EQ(h264.size(), 2u);
    auto receive = [&](const Frame& f, int cut = 0) {
        return receiver.receive(f.type, f.tag, f.payload.chopped(cut));
    };
    QJsonObject line = receive(jpeg[0]);
    EXPECT_EQ(line.value("codec"), QStringLiteral("JPEG"));
    EXPECT_EQ(line.value("width"), 64);
    EXPECT_EQ(line.value("height"), 48);
    EXPECT_TRUE(line.value("decodeMs").isDouble());
    clock.advance(0.5);
    line = receive(jpeg[1], 1);
    EXPECT_TRUE(line.value("error").toString().startsWith("VideoPayloadError 3:"));
    EXPECT_FALSE(line.contains("codec"));
    receive(jpeg[1]);
    clock.advance(0.5);
    receive(jpeg[2]);
    const QJsonObject summary = receiver.summary();
    EXPECT_EQ(summary.value("frames"), 3);
    EXPECT_EQ(summary.value("errors"), 1);
    EXPECT_EQ(summary.value("fps"), 2.0) << "three pictures in one second are two intervals";
    EXPECT_NEAR(qGreen(receiver.lastPicture().pixel(5, 5)), 0x70, 4);

    ASSERT_EQ(h264[0].tag, 100u);
    receive(h264[0]);
    receiver.startLink();
    EXPECT_EQ(receiver.summary(), QJsonObject({{"frames", 0}, {"errors", 0}}));
    EXPECT_FALSE(receiver.lastPicture().isNull());
    EXPECT_TRUE(receive(h264[1]).contains("error"));
    line = receive(h264[0]);
    EXPECT_EQ(line.value("codec"), QStringLiteral("H.264"));
    EXPECT_EQ(line.value("width"), 96);
    EXPECT_TRUE(receiver.summary().value("fps").isNull()) << "one picture gives no rate";
}
