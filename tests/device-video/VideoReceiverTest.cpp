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

// The rate over a link's pictures on the clock; a new link starts its counts afresh and keeps the
// picture, and its H.264 must open with a key frame although the previous link's did. (Each frame's
// record line and the summary's counts are read by tests/integration/DeviceSimTest.)
TEST(VideoReceiver, CountsEachLinksRateAndStartsEachLinkAfresh) {
    ManualClock clock;
    VideoReceiver receiver;
    const std::vector<Frame> jpeg = encodedFrames(kCodecTypeJPEG, 64, 48, 3);
    const std::vector<Frame> h264 = encodedFrames(kCodecTypeH264, 96, 64, 2);
    ASSERT_EQ(jpeg.size(), 3u);
    ASSERT_EQ(h264.size(), 2u);
    ASSERT_EQ(h264[0].tag, 100u);
    auto receive = [&](const Frame& f) { return receiver.receive(f.type, f.tag, f.payload); };
    for (const Frame& f : jpeg) {
        EXPECT_FALSE(receive(f).contains("error"));
        clock.advance(0.5);
    }
    EXPECT_EQ(receiver.summary().value("fps"), 2.0) << "three pictures in one second are two intervals";
    receive(h264[0]);
    receiver.startLink();
    EXPECT_EQ(receiver.summary(), QJsonObject({{"frames", 0}, {"errors", 0}}));
    EXPECT_EQ(receiver.lastPicture().size(), QSize(96, 64));
    EXPECT_TRUE(receive(h264[1]).contains("error"));
    EXPECT_EQ(receive(h264[0]).value("codec"), QStringLiteral("H.264"));
    EXPECT_TRUE(receiver.summary().value("fps").isNull()) << "one picture gives no rate";
}
