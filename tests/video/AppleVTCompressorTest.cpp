#include "CompressorHarness.h"

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

struct Harness : CompressorHarness {
    using CompressorHarness::CompressorHarness;
    uint32_t codecFor(int width, int height, const QString& hardware = QStringLiteral("iPad8,1")) {
        compressor->setPeerHardwareString(hardware);
        compressor->setSize(width, height);
        return compressor->getCodecType();
    }
};

TEST(AppleVTCompressorCodec, DecisionFollowsMachineDeviceAndSize) {
    Harness h;
    EXPECT_TRUE(h.compressor->bH264HWCodec());
    EXPECT_EQ(h.codecFor(2048, 1536, QStringLiteral("iPad3,4")), kCodecTypeJPEG);
    EXPECT_EQ(h.codecFor(2048, 1536, QStringLiteral("iPad2,5")), kCodecTypeJPEG);
    EXPECT_EQ(h.codecFor(1920, 1080, QStringLiteral("iPad3,4")), kCodecTypeJPEG);
    EXPECT_EQ(h.codecFor(1900, 1000, QStringLiteral("iPad3,4")), kCodecTypeH264);
    EXPECT_EQ(h.codecFor(2048, 1536, QStringLiteral("iPad5,1")), kCodecTypeH264);
    for (int width : {480, 320, 568})
        EXPECT_EQ(h.codecFor(width, 320), kCodecTypeJPEG) << width;
    h.fps = 60;
    EXPECT_EQ(h.codecFor(3840, 2400), kCodecTypeJPEG);
    EXPECT_EQ(h.codecFor(3839, 2400), kCodecTypeH264);
    EXPECT_EQ(h.codecFor(3840, 2399), kCodecTypeH264);
    EXPECT_EQ(h.codecFor(4100, 2310), kCodecTypeJPEG);
    h.fps = 30;
    EXPECT_EQ(h.codecFor(3840, 2400), kCodecTypeH264);
    EXPECT_EQ(h.codecFor(4100, 2310), kCodecTypeJPEG);
    EXPECT_EQ(h.codecFor(4097, 2304), kCodecTypeH264);

    h.compressor->setBH264HWCodec(false);
    EXPECT_EQ(h.codecFor(2048, 1536, QStringLiteral("iPad5,1")), kCodecTypeJPEG);
}

TEST(AppleVTCompressorCodec, HardwareTestReadsTheEncoderList) {
    auto services = std::make_shared<FakeEncoderServices>();
    EXPECT_FALSE(AppleVTCompressor(services).supportHWH264());
    services->encoders = {{{kEncoderListEncoderID, QStringLiteral("org.videolan.x264")},
                           {kEncoderListEncoderName, QStringLiteral("H.264 (libx264)")}}};
    EXPECT_FALSE(AppleVTCompressor(services).supportHWH264());
    services->encoders.push_back({{kEncoderListEncoderName, QStringLiteral("H.264 (HW) VAAPI")}});
    EXPECT_TRUE(AppleVTCompressor(services).supportHWH264());
    services->encoders = {hardwareEncoder()};
    EXPECT_TRUE(AppleVTCompressor(services).bH264HWCodec());
}

TEST(AppleVTCompressorSession, SessionFollowsTheFirstFrame) {
    Harness h;
    h.open();
    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(1920, 1080), micros(0), micros(33333)));
    auto s = h.services->lastSession();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->codec, kCodecTypeH264);
    EXPECT_EQ(s->width, 1920);
    EXPECT_EQ(s->height, 1080);
    EXPECT_TRUE(s->specification.value(kEncoderSpecificationEnableHardwareAcceleratedVideoEncoder).toBool());
    EXPECT_TRUE(s->specification.value(kEncoderSpecificationRealTime).toBool());
    EXPECT_TRUE(s->properties.value(kCompressionPropertyRealTime).toBool());
    EXPECT_EQ(s->properties.value(kCompressionPropertyAllowFrameReordering), QVariant(false));
    EXPECT_EQ(s->images.size(), 1u);

    // A second frame goes into the same session; the frame type was fixed by the first sample.
    h.services->produce = [](const PixelBuffer&) { return makeSample(10, true); };
    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(1920, 1080), micros(33333), micros(33333)));
    EXPECT_EQ(h.services->sessions.size(), 1u);
    ASSERT_EQ(h.sent.size(), 2u);
    EXPECT_EQ(h.sent[0].type, 107u);
    EXPECT_EQ(h.sent[1].type, 107u);
    EXPECT_EQ(h.sent[1].tag, 0u);

    // After a reset the next frame decides afresh, here at another size.
    h.compressor->reset();
    EXPECT_TRUE(s->invalidated);
    EXPECT_EQ(s->completed, 1);
    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(1366, 1024), micros(0), micros(33333)));
    ASSERT_EQ(h.services->sessions.size(), 2u);
    EXPECT_EQ(h.services->lastSession()->width, 1366);
    EXPECT_EQ(h.services->lastSession()->height, 1024);
}

TEST(AppleVTCompressorSession, LargeJpegPicturesGetLowQuality) {
    Harness h(false);
    h.open();
    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(1024, 768), micros(0), micros(1)));
    EXPECT_FALSE(h.services->lastSession()->properties.contains(kCompressionPropertyQuality));
    EXPECT_TRUE(h.services->lastSession()->specification.isEmpty());
    EXPECT_EQ(h.sent.at(0).type, 108u);
    h.compressor->reset();
    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(1025, 768), micros(0), micros(1)));
    EXPECT_DOUBLE_EQ(h.services->lastSession()->properties.value(kCompressionPropertyQuality).toDouble(),
                     0.1);
    h.compressor->reset();
    h.compressor->setBFineTune(true);
    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(0), micros(1)));
    EXPECT_DOUBLE_EQ(h.services->lastSession()->properties.value(kCompressionPropertyQuality).toDouble(),
                     0.1);
}

TEST(AppleVTCompressorSession, FailuresMarkTheCompressorErrored) {
    Harness h;
    h.open();
    std::vector<bool> reported;
    QObject::connect(h.compressor.get(), &CompressorBase::erroredChanged,
                     [&](bool e) { reported.push_back(e); });

    EXPECT_FALSE(h.compressor->setupCompressor(
        std::make_shared<PixelBuffer>(0, 10, 0, PixelBuffer::kBGRA, nullptr, std::function<void()>())));
    EXPECT_TRUE(h.compressor->errored());

    h.services->failCreate = true;
    EXPECT_FALSE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(0), micros(1)));
    EXPECT_FALSE(h.compressor->hasSession());
    // The next frame tries again; success alone does not clear the flag, a reset does.
    h.services->failCreate = false;
    EXPECT_TRUE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(0), micros(1)));
    EXPECT_TRUE(h.compressor->errored());
    h.compressor->reset();
    EXPECT_FALSE(h.compressor->errored());
    EXPECT_EQ(reported, (std::vector<bool>{true, false}));

    // No settings controller: no session at all, and not errored.
    h.compressor->setSettingsController(nullptr);
    EXPECT_FALSE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(0), micros(1)));
    EXPECT_FALSE(h.compressor->errored());
}

TEST(AppleVTCompressorSession, PicturesAreConvertedWhereTheEncoderWantsYuvs) {
    Harness h(false);
    h.open();
    h.services->jpegTakesBGRA = false;
    std::weak_ptr<const PixelBuffer> converted;
    h.services->produce = [&](const PixelBuffer& image) {
        EXPECT_EQ(image.format(), PixelBuffer::kYUVS);
        EXPECT_EQ(image.data()[0], 0x5a); // filled from the captured picture
        return makeSample(10);
    };
    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(320, 240, 0x5a), micros(0), micros(1)));
    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(320, 240, 0x5a), micros(1), micros(1)));
    EXPECT_EQ(h.services->transfers, 2);
    EXPECT_EQ(h.services->transferSessionsMade, 1);
    auto s = h.services->lastSession();
    ASSERT_EQ(s->images.size(), 2u);
    EXPECT_EQ(s->images[0]->format(), PixelBuffer::kYUVS);
    EXPECT_EQ(s->images[0]->width(), 320);
    // Released after its callback: only the session's record still holds it.
    EXPECT_EQ(s->images[0].use_count(), 1);

    // A system without BGRA input converts for H.264 too.
    Harness h264;
    h264.open();
    h264.compressor->setBOSSupportBGRA(false);
    ASSERT_TRUE(h264.compressor->compressVideoFrame(frameOf(640, 480), micros(0), micros(1)));
    EXPECT_EQ(h264.services->lastSession()->codec, kCodecTypeH264);
    EXPECT_EQ(h264.services->lastSession()->images.at(0)->format(), PixelBuffer::kYUVS);

    // Where BGRA goes in, the captured picture itself reaches the encoder.
    Harness direct;
    direct.open();
    const FramePtr frame = frameOf(640, 480);
    ASSERT_TRUE(direct.compressor->compressVideoFrame(frame, micros(0), micros(1)));
    EXPECT_EQ(direct.services->lastSession()->images.at(0), frame);
    EXPECT_EQ(direct.services->transfers, 0);
}

// Frames that have nowhere to go: no output at all opens no session; without a channel, or when the
// encoder drops the frame, the session runs and nothing is sent.
TEST(AppleVTCompressorSession, FramesWithNowhereToGoSendNothing) {
    Harness h;
    EXPECT_FALSE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(0), micros(1)));
    EXPECT_TRUE(h.services->sessions.empty());
    h.open();
    h.services->produce = [](const PixelBuffer&) { return SamplePtr(); };
    EXPECT_TRUE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(0), micros(1)));
    EXPECT_TRUE(h.sent.empty());
    EXPECT_EQ(h.compressor->outputDest(), nullptr);
    h.services->produce = nullptr;
    h.compressor->setPtChannel(nullptr);
    EXPECT_TRUE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(1), micros(1)));
    EXPECT_TRUE(h.sent.empty());
    h.compressor->setPtChannel(h.channel);
    EXPECT_TRUE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(2), micros(1)));
    EXPECT_EQ(h.sent.size(), 1u);
}

// With two outputs, the one receiving frames leaves: no frame may reach it any more. The last one
// leaving ends the session, and one that comes back is bound again.
TEST(AppleVTCompressorOutputs, AnOutputLeavingEndsItsSession) {
    Harness h;
    h.open();
    int otherSent = 0;
    OutputDestination other(QStringLiteral("file"), [&](auto&&...) { ++otherSent; });
    other.setName(QStringLiteral("-other")); // sorts before "/tmp/t.flv"
    other.setChannel(1);
    other.setCompressor(h.compressor);
    other.setActive(true);
    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(0), micros(1)));
    ASSERT_EQ(h.compressor->outputDest(), &h.destination); // the last in name order
    h.destination.setActive(false);
    EXPECT_FALSE(h.compressor->hasSession());
    EXPECT_TRUE(h.services->lastSession()->invalidated);
    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(1), micros(1)));
    EXPECT_EQ(h.compressor->outputDest(), &other);
    EXPECT_EQ(otherSent, 1);

    other.setActive(false);
    EXPECT_FALSE(h.compressor->hasOutputs());
    EXPECT_FALSE(h.compressor->hasSession());
    EXPECT_EQ(h.compressor->outputDest(), nullptr);
    EXPECT_TRUE(h.services->lastSession()->invalidated);
    h.destination.setActive(true);
    ASSERT_TRUE(h.compressor->compressVideoFrame(frameOf(64, 64), micros(2), micros(1)));
    EXPECT_EQ(h.services->sessions.size(), 3u);
    EXPECT_EQ(h.sent.size(), 2u);
}

TEST(AppleVTCompressorSettings, ValidationFollowsTheResolutionOption) {
    Harness h;
    AppleVTCompressor& c = *h.compressor;
    Error error;
    c.setResolutionOption(QStringLiteral("None"));
    c.setWidth(1280);
    EXPECT_FALSE(c.validate(&error));
    EXPECT_EQ(error.code, 150);
    EXPECT_EQ(error.domain, QStringLiteral("videoCapture"));
    c.setResolutionOption(QStringLiteral("Preserve AR"));
    EXPECT_TRUE(c.validate(&error));
    c.setWidth(0);
    EXPECT_FALSE(c.validate(&error));
    EXPECT_EQ(error.code, 160);
    c.setResolutionOption(QStringLiteral("Use Source"));
    EXPECT_TRUE(c.validate(&error));
}

} // namespace
