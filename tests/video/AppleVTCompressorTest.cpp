#include "CompressorHarness.h"

#include <QSize>
#include <gtest/gtest.h>

namespace {

FramePtr frameOf(int width, int height, uint8_t fill = 0x40) {
    std::shared_ptr<PixelBuffer> frame = PixelBuffer::create(width, height, PixelBuffer::kBGRA);
    memset(frame->data(), fill, size_t(frame->bytesPerRow()) * size_t(height));
    return frame;
}

MediaTime micros(int64_t value) {
    return MediaTime{value, 1000000};
}

// H.264 only with a hardware encoder; JPEG for the small phone widths, for the oldest iPads above 1919
// pixels, and for the largest pictures (4K and more at more than 30 frames a second).
TEST(AppleVTCompressorCodec, DecisionFollowsMachineDeviceSizeAndRate) {
    const struct {
        bool hardware;
        const char* device;
        int width, height;
        double fps;
        uint32_t codec;
    } cases[] = {
        {true, "iPad3,4", 2048, 1536, 30, kCodecTypeJPEG}, {true, "iPad2,5", 2048, 1536, 30, kCodecTypeJPEG},
        {true, "iPad3,4", 1920, 1080, 30, kCodecTypeJPEG}, {true, "iPad3,4", 1900, 1000, 30, kCodecTypeH264},
        {true, "iPad5,1", 2048, 1536, 30, kCodecTypeH264}, {true, "iPad8,1", 480, 320, 30, kCodecTypeJPEG},
        {true, "iPad8,1", 320, 320, 30, kCodecTypeJPEG},   {true, "iPad8,1", 568, 320, 30, kCodecTypeJPEG},
        {true, "iPad8,1", 3840, 2400, 60, kCodecTypeJPEG}, {true, "iPad8,1", 3839, 2400, 60, kCodecTypeH264},
        {true, "iPad8,1", 3840, 2399, 60, kCodecTypeH264}, {true, "iPad8,1", 4100, 2310, 60, kCodecTypeJPEG},
        {true, "iPad8,1", 3840, 2400, 30, kCodecTypeH264}, {true, "iPad8,1", 4100, 2310, 30, kCodecTypeJPEG},
        {true, "iPad8,1", 4097, 2304, 30, kCodecTypeH264}, {false, "iPad5,1", 2048, 1536, 30, kCodecTypeJPEG},
    };
    CompressorHarness h;
    EXPECT_TRUE(h.compressor->bH264HWCodec()) << "an encoder of the hardware's name was listed";
    for (const auto& c : cases) {
        h.compressor->setBH264HWCodec(c.hardware);
        h.compressor->setPeerHardwareString(QString::fromLatin1(c.device));
        h.compressor->setSize(c.width, c.height);
        h.fps = c.fps;
        EXPECT_EQ(h.compressor->getCodecType(), c.codec)
            << c.hardware << ' ' << c.device << ' ' << c.width << 'x' << c.height << '@' << c.fps;
    }
    auto services = std::make_shared<FakeEncoderServices>();
    EXPECT_FALSE(AppleVTCompressor(services).supportHWH264());
    services->encoders = {{{kEncoderListEncoderID, QStringLiteral("org.videolan.x264")},
                           {kEncoderListEncoderName, QStringLiteral("H.264 (libx264)")}}};
    EXPECT_FALSE(AppleVTCompressor(services).supportHWH264());
    services->encoders.push_back({{kEncoderListEncoderName, QStringLiteral("H.264 (HW) VAAPI")}});
    EXPECT_TRUE(AppleVTCompressor(services).supportHWH264());
}

// The first frame makes the session at its size (H.264 real time, without reordering); the frame type
// is fixed by it, later frames go into the same session; after a reset the next frame decides afresh.
TEST(AppleVTCompressorSession, SessionFollowsTheFirstFrame) {
    CompressorHarness h;
    h.open();
    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(1920, 1080), micros(0), micros(33333)));
    auto s = h.services->lastSession();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->codec, kCodecTypeH264);
    EXPECT_EQ(QSize(s->width, s->height), QSize(1920, 1080));
    EXPECT_TRUE(s->specification.value(kEncoderSpecificationEnableHardwareAcceleratedVideoEncoder).toBool());
    EXPECT_TRUE(s->properties.value(kCompressionPropertyRealTime).toBool());
    EXPECT_EQ(s->properties.value(kCompressionPropertyAllowFrameReordering), QVariant(false));
    h.services->produce = [](const PixelBuffer&) { return makeSample(10, true); };
    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(1920, 1080), micros(33333), micros(33333)));
    EXPECT_EQ(h.services->sessions.size(), 1u);
    ASSERT_EQ(h.sent.size(), 2u);
    EXPECT_EQ(h.sent[0].type, 107u);
    EXPECT_EQ(h.sent[1].type, 107u);
    EXPECT_EQ(h.sent[1].tag, 0u);
    h.compressor->reset();
    EXPECT_TRUE(s->invalidated);
    EXPECT_EQ(s->completed, 1);
    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(1366, 1024), micros(0), micros(33333)));
    ASSERT_EQ(h.services->sessions.size(), 2u);
    EXPECT_EQ(h.services->lastSession()->width, 1366);
}

// JPEG pictures above 1024x768 pixels, or any when fine-tuned, are sent at low quality.
TEST(AppleVTCompressorSession, LargeJpegPicturesGetLowQuality) {
    CompressorHarness h(false);
    h.open();
    for (const auto& [width, fineTune, quality] :
         {std::tuple{1024, false, -1.0}, std::tuple{1025, false, 0.1}, std::tuple{64, true, 0.1}}) {
        h.compressor->setBFineTune(fineTune);
        ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(width, 768), micros(0), micros(1)));
        EXPECT_DOUBLE_EQ(
            h.services->lastSession()->properties.value(kCompressionPropertyQuality, -1.0).toDouble(),
            quality)
            << width;
        EXPECT_EQ(h.sent.back().type, 108u);
        h.compressor->reset();
    }
}

// A frame the session cannot be made for marks the compressor errored;
// the next frame tries again, and only a reset clears the flag. Without a settings controller, no session
// at all.
TEST(AppleVTCompressorSession, FailuresMarkTheCompressorErrored) {
    CompressorHarness h;
    h.open();
    EXPECT_FALSE(h.compressor->setupCompressor(
        std::make_shared<PixelBuffer>(0, 10, 0, PixelBuffer::kBGRA, nullptr, std::function<void()>())));
    EXPECT_TRUE(h.compressor->errored());
    h.services->failCreate = true;
    EXPECT_FALSE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(0), micros(1)));
    EXPECT_FALSE(h.compressor->hasSession());
    h.services->failCreate = false;
    EXPECT_TRUE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(0), micros(1)));
    EXPECT_TRUE(h.compressor->errored());
    h.compressor->reset();
    EXPECT_FALSE(h.compressor->errored());
    h.compressor->setSettingsController(nullptr);
    EXPECT_FALSE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(0), micros(1)));
    EXPECT_FALSE(h.compressor->errored());
}

// Where the encoder takes BGRA the captured picture itself reaches it; otherwise (JPEG without BGRA, or a
// system without BGRA at all) it is converted once per frame through one transfer session, and the
// converted picture is released after its callback.
TEST(AppleVTCompressorSession, PicturesAreConvertedWhereTheEncoderWantsYuvs) {
    for (const auto& [hardware, jpegBGRA, systemBGRA, converted] :
         {std::tuple{true, true, true, false}, std::tuple{false, false, true, true},
          std::tuple{true, true, false, true}}) {
        SCOPED_TRACE(hardware * 4 + jpegBGRA * 2 + systemBGRA);
        CompressorHarness h(hardware);
        h.open();
        h.services->jpegTakesBGRA = jpegBGRA;
        h.compressor->setBOSSupportBGRA(systemBGRA);
        const FramePtr frame = frameOf(320, 240, 0x5a);
        ASSERT_TRUE(h.compressor->compressVideoFrame(frame, micros(0), micros(1)));
        ASSERT_TRUE(h.compressor->compressVideoFrame(frame, micros(1), micros(1)));
        auto s = h.services->lastSession();
        ASSERT_EQ(s->images.size(), 2u);
        EXPECT_EQ(h.services->transfers, converted ? 2 : 0);
        if (!converted) {
            EXPECT_EQ(s->images[0], frame);
            continue;
        }
        EXPECT_EQ(h.services->transferSessionsMade, 1);
        EXPECT_EQ(s->images[0]->format(), PixelBuffer::kYUVS);
        EXPECT_EQ(s->images[0]->width(), 320);
        EXPECT_EQ(s->images[0]->data()[0], 0x5a) << "filled from the captured picture";
        EXPECT_EQ(s->images[0].use_count(), 1) << "only the session's record still holds it";
    }
}

// No output at all opens no session; without a channel, or when the encoder drops the frame, the session
// runs and nothing is sent. The output leaving ends the session, so no frame reaches it any more, and
// when it comes back it is bound again.
TEST(AppleVTCompressorOutputs, FramesGoOnlyWhereAnOutputAndAChannelAre) {
    CompressorHarness h;
    EXPECT_FALSE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(0), micros(1)));
    EXPECT_TRUE(h.services->sessions.empty());
    h.open();
    h.services->produce = [](const PixelBuffer&) { return SamplePtr(); };
    EXPECT_TRUE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(0), micros(1)));
    h.services->produce = nullptr;
    h.compressor->setPtChannel(nullptr);
    EXPECT_TRUE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(1), micros(1)));
    EXPECT_TRUE(h.sent.empty());
    h.compressor->setPtChannel(h.channel);

    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(2), micros(1)));
    ASSERT_EQ(h.compressor->outputDest(), &h.destination);
    EXPECT_EQ(h.sent.size(), 1u);
    h.destination.setActive(false);
    EXPECT_FALSE(h.compressor->hasOutputs());
    EXPECT_FALSE(h.compressor->hasSession());
    EXPECT_TRUE(h.services->lastSession()->invalidated);
    EXPECT_EQ(h.compressor->outputDest(), nullptr);
    h.destination.setActive(true);
    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(4), micros(1)));
    EXPECT_EQ(h.sent.size(), 2u);
}

} // namespace
