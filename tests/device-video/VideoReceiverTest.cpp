#include "VideoReceiver.h"
#include "fakes/ManualClock.h"
#include "fakes/TestSupport.h"
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
    const int32_t frameType = codec == kCodecTypeJPEG ? kFrameTypeJPEGVideo : kFrameTypeH264Video;
    std::vector<Frame> frames;
    for (const SamplePtr& sample : samples) {
        uint32_t tag = 0;
        QByteArray payload = OutputDestination::videoPayload(frameType, *sample, &tag);
        frames.push_back({uint32_t(frameType), tag, payload});
    }
    return frames;
}

TEST(VideoReceiver, RecordsEachFrameAndCountsTheLinksRate) {
    ManualClock clock;
    VideoReceiver receiver;
    const std::vector<Frame> jpeg = encodedFrames(kCodecTypeJPEG, 64, 48, 3);
    ASSERT_EQ(jpeg.size(), 3u);

    QJsonObject line = receiver.receive(jpeg[0].type, jpeg[0].tag, jpeg[0].payload);
    EXPECT_EQ(line.value("codec"), QStringLiteral("JPEG"));
    EXPECT_EQ(line.value("width"), 64);
    EXPECT_EQ(line.value("height"), 48);
    EXPECT_TRUE(line.value("decodeMs").isDouble());
    EXPECT_FALSE(line.contains("error"));

    // A payload cut short is that frame's error; the frames around it still decode.
    clock.advance(0.5);
    line = receiver.receive(jpeg[1].type, jpeg[1].tag, jpeg[1].payload.chopped(1));
    EXPECT_TRUE(line.value("error").toString().startsWith("VideoPayloadError 3:"))
        << line.value("error").toString().toStdString();
    EXPECT_FALSE(line.contains("codec"));
    receiver.receive(jpeg[1].type, jpeg[1].tag, jpeg[1].payload);
    clock.advance(0.5);
    receiver.receive(jpeg[2].type, jpeg[2].tag, jpeg[2].payload);

    const QJsonObject summary = receiver.summary();
    EXPECT_EQ(summary.value("frames"), 3);
    EXPECT_EQ(summary.value("errors"), 1);
    EXPECT_EQ(summary.value("fps"), 2.0) << "three pictures in one second are two intervals";
    EXPECT_NEAR(qGreen(receiver.lastPicture().pixel(5, 5)), 0x70, 4);

    // A new link starts its counts afresh and keeps the picture; its H.264 must open with a key frame,
    // although the previous link's stream did.
    const std::vector<Frame> h264 = encodedFrames(kCodecTypeH264, 96, 64, 2);
    ASSERT_EQ(h264.size(), 2u);
    ASSERT_EQ(h264[0].tag, 100u);
    receiver.receive(h264[0].type, h264[0].tag, h264[0].payload);
    receiver.startLink();
    EXPECT_EQ(receiver.summary(), QJsonObject({{"frames", 0}, {"errors", 0}}));
    EXPECT_FALSE(receiver.lastPicture().isNull());
    EXPECT_TRUE(receiver.receive(h264[1].type, h264[1].tag, h264[1].payload).contains("error"));
    line = receiver.receive(h264[0].type, h264[0].tag, h264[0].payload);
    EXPECT_EQ(line.value("codec"), QStringLiteral("H.264"));
    EXPECT_EQ(line.value("width"), 96);
    EXPECT_TRUE(receiver.summary().value("fps").isNull()) << "one picture gives no rate";
}

} // namespace
