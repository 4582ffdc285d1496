#include "VideoDecoder.h"
#include "platform/codec/EncoderSessions.h"
#include "platform/codec/H264Units.h"
#include "platform/codec/LinuxEncoderServices.h"
#include "video/OutputDestination.h"

#include <QtEndian>
#include <condition_variable>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace {

using namespace h264;

QByteArray bytes(std::initializer_list<int> values) {
    QByteArray out;
    for (int v : values)
        out.append(char(v));
    return out;
}

TEST(H264Units, SplitsStartCodeStreams) {
    const QByteArray stream =
        bytes({0xAA, 0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 0, 0, 3, 1, 9, 0, 0});
    const auto units = splitAnnexB(stream.constData(), stream.size());
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0], bytes({0x67, 1, 2}));
    EXPECT_EQ(units[1], bytes({0x68, 3}));
    EXPECT_EQ(units[2], bytes({0x65, 0, 0, 3, 1, 9})); // emulation-prevented bytes stay, trailing zeros go
    EXPECT_TRUE(splitAnnexB(stream.constData(), 2).empty());
    EXPECT_TRUE(splitAnnexB(nullptr, 0).empty());
    const QByteArray empties = bytes({0, 0, 1, 0, 0, 1, 0x41, 7});
    EXPECT_EQ(splitAnnexB(empties.constData(), empties.size()), std::vector<QByteArray>{bytes({0x41, 7})});
}

TEST(H264Units, ReadsParameterSetsFromEitherConfigurationLayout) {
    const QByteArray annexB = bytes({0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xce, 0, 0, 1, 0x06, 5});
    ParameterSets a = parameterSetsFromExtradata(annexB.constData(), annexB.size());
    ASSERT_EQ(a.sps.size(), 1u);
    ASSERT_EQ(a.pps.size(), 1u);
    EXPECT_EQ(a.sps[0], bytes({0x67, 0x42}));
    EXPECT_EQ(a.pps[0], bytes({0x68, 0xce}));

    const QByteArray avcC =
        bytes({1, 0x42, 0, 0x1f, 0xff, 0xe1, 0, 3, 0x67, 0x42, 0x1f, 1, 0, 2, 0x68, 0xce});
    ParameterSets b = parameterSetsFromExtradata(avcC.constData(), avcC.size());
    ASSERT_EQ(b.sps.size(), 1u);
    ASSERT_EQ(b.pps.size(), 1u);
    EXPECT_EQ(b.sps[0], bytes({0x67, 0x42, 0x1f}));
    EXPECT_EQ(b.pps[0], bytes({0x68, 0xce}));
    // A record cut short yields what was whole, never reads past its end.
    for (int cut = 0; cut < avcC.size(); ++cut) {
        ParameterSets c = parameterSetsFromExtradata(avcC.constData(), cut);
        EXPECT_LE(c.sps.size() + c.pps.size(), 1u) << cut;
    }
    EXPECT_EQ(lengthPrefixed({bytes({0x65, 1}), bytes({0x41})}),
              bytes({0, 0, 0, 2, 0x65, 1, 0, 0, 0, 1, 0x41}));
}

// A picture with flat blocks, a gradient and sharp edges, different for every `phase`.
std::shared_ptr<PixelBuffer> pattern(int width, int height, int phase = 0) {
    auto image = PixelBuffer::create(width, height, PixelBuffer::kBGRA);
    for (int y = 0; y < height; ++y) {
        uint8_t* row = image->data() + y * image->bytesPerRow();
        for (int x = 0; x < width; ++x) {
            const int block = ((x + phase * 8) / 32 + y / 32) % 4;
            row[4 * x + 0] = uint8_t(block == 0 ? 230 : x * 255 / width);
            row[4 * x + 1] = uint8_t(block == 1 ? 200 : y * 255 / height);
            row[4 * x + 2] = uint8_t(block == 2 ? 240 : 40);
            row[4 * x + 3] = 255;
        }
    }
    return image;
}

// Mean absolute difference per colour channel between a BGRA buffer and a decoded picture.
double meanDifference(const PixelBuffer& a, const QImage& b) {
    if (b.width() < a.width() || b.height() < a.height()) return 1e9;
    double total = 0;
    for (int y = 0; y < a.height(); ++y) {
        const uint8_t* p = a.data() + y * a.bytesPerRow();
        const auto* q = reinterpret_cast<const uint8_t*>(b.constScanLine(y));
        for (int x = 0; x < a.width() * 4; ++x)
            if (x % 4 != 3) total += std::abs(int(p[x]) - int(q[x]));
    }
    return total / (double(a.width()) * a.height() * 3);
}

// Collects what a session hands back, from its thread.
struct Collector {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<SamplePtr> samples;
    std::vector<OptError> errors;
    std::vector<std::thread::id> threads;

    EncoderSession::OutputCallback callback() {
        return [this](std::shared_ptr<const void>, const OptError& status, SamplePtr sample) {
            std::lock_guard lock(mutex);
            samples.push_back(std::move(sample));
            errors.push_back(status);
            threads.push_back(std::this_thread::get_id());
            changed.notify_all();
        };
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return samples.size();
    }
};

MediaTime micros(int64_t v) {
    return MediaTime{v, 1000000};
}

OptError decode(VideoDecoder& decoder, int32_t frameType, const EncodedSample& sample) {
    uint32_t tag = 0;
    const QByteArray payload = OutputDestination::videoPayload(frameType, sample, &tag);
    return decoder.decodeFrame(uint32_t(frameType), tag, payload);
}

TEST(LinuxEncoder, JpegRoundTripAtBothQualities) {
    LinuxEncoderServices services;
    Collector out;
    OptError error;
    auto session = services.createCompressionSession(640, 480, kCodecTypeJPEG, {}, out.callback(), &error);
    ASSERT_TRUE(session) << error->toString().toStdString();
    const auto picture = pattern(640, 480);
    ASSERT_FALSE(session->encodeFrame(picture, micros(0), micros(33333), nullptr));
    session->completeFrames();
    ASSERT_FALSE(session->setProperty(kCompressionPropertyQuality, 0.1));
    EXPECT_DOUBLE_EQ(session->copyProperty(kCompressionPropertyQuality).toDouble(), 0.1);
    EXPECT_TRUE(session->setProperty(kCompressionPropertyQuality, 1.5));
    EXPECT_TRUE(session->setProperty(kCompressionPropertyAllowFrameReordering, true));
    ASSERT_FALSE(session->encodeFrame(picture, micros(33333), micros(33333), nullptr));
    session->completeFrames();
    ASSERT_EQ(out.count(), 2u);
    ASSERT_TRUE(out.samples[0] && out.samples[1]);
    EXPECT_NE(out.threads[0], std::this_thread::get_id());
    EXPECT_EQ(out.samples[1]->pts.value, 33333);
    EXPECT_LT(out.samples[1]->data.size() * 4, out.samples[0]->data.size() * 3);

    VideoDecoder decoder;
    ASSERT_FALSE(decode(decoder, kFrameTypeJPEGVideo, *out.samples[0]));
    EXPECT_LT(meanDifference(*picture, decoder.lastPicture()), 4.0);
    ASSERT_FALSE(decode(decoder, kFrameTypeJPEGVideo, *out.samples[1]));
    EXPECT_LT(meanDifference(*picture, decoder.lastPicture()), 15.0);
    EXPECT_EQ(decoder.codecName(), QStringLiteral("JPEG"));
}

TEST(LinuxEncoder, YuvsPicturesKeepTheirColours) {
    // Video-range 4:2:2 must come out of the JPEG decoder at full range, not washed out.
    LinuxEncoderServices services;
    auto transfer = services.createPixelTransferSession();
    const auto picture = pattern(320, 240);
    auto yuvs = PixelBuffer::create(320, 240, PixelBuffer::kYUVS);
    ASSERT_FALSE(transfer->transferImage(*picture, *yuvs));
    auto back = PixelBuffer::create(320, 240, PixelBuffer::kBGRA);
    ASSERT_FALSE(transfer->transferImage(*yuvs, *back));
    QImage backImage(back->data(), 320, 240, back->bytesPerRow(), QImage::Format_RGB32);
    EXPECT_LT(meanDifference(*picture, backImage), 4.0);

    Collector out;
    auto jpeg = services.createCompressionSession(320, 240, kCodecTypeJPEG, {}, out.callback(), nullptr);
    auto h264 = services.createCompressionSession(320, 240, kCodecTypeH264, {}, out.callback(), nullptr);
    ASSERT_TRUE(jpeg && h264);
    ASSERT_FALSE(jpeg->encodeFrame(yuvs, micros(0), micros(1), nullptr));
    jpeg->completeFrames();
    ASSERT_FALSE(h264->encodeFrame(yuvs, micros(0), micros(1), nullptr));
    h264->completeFrames();
    ASSERT_EQ(out.count(), 2u);
    VideoDecoder jpegDecoder, h264Decoder;
    ASSERT_FALSE(decode(jpegDecoder, kFrameTypeJPEGVideo, *out.samples[0]));
    EXPECT_LT(meanDifference(*picture, jpegDecoder.lastPicture()), 6.0);
    ASSERT_FALSE(decode(h264Decoder, kFrameTypeH264Video, *out.samples[1]));
    EXPECT_LT(meanDifference(*picture, h264Decoder.lastPicture()), 8.0);

    // Scaling on the way.
    auto half = PixelBuffer::create(160, 120, PixelBuffer::kYUVS);
    EXPECT_FALSE(transfer->transferImage(*picture, *half));
    EXPECT_TRUE(transfer->transferImage(*yuvs, *PixelBuffer::create(4, 4, PixelBuffer::Format(0x31323334))));
}

TEST(LinuxEncoder, H264SamplesAreLengthPrefixedWithKeyFramesMarked) {
    LinuxEncoderServices services;
    Collector out;
    OptError error;
    const QVariantMap preferHardware{{kEncoderSpecificationEnableHardwareAcceleratedVideoEncoder, true},
                                     {kEncoderSpecificationRealTime, true}};
    auto session =
        services.createCompressionSession(640, 360, kCodecTypeH264, preferHardware, out.callback(), &error);
    ASSERT_TRUE(session) << error->toString().toStdString();
    EXPECT_FALSE(session->setProperty(kCompressionPropertyRealTime, true));
    EXPECT_FALSE(session->setProperty(kCompressionPropertyAllowFrameReordering, false));
    EXPECT_TRUE(session->setProperty(kCompressionPropertyAllowFrameReordering, true));
    std::vector<std::shared_ptr<PixelBuffer>> pictures;
    for (int i = 0; i < 6; ++i) {
        pictures.push_back(pattern(640, 360, i));
        ASSERT_FALSE(session->encodeFrame(pictures.back(), micros(i * 33333), micros(33333), nullptr));
        session->completeFrames(); // one at a time: none is dropped for falling behind
    }
    ASSERT_EQ(out.count(), 6u);
    VideoDecoder decoder;
    for (size_t i = 0; i < out.samples.size(); ++i) {
        SCOPED_TRACE(i);
        const SamplePtr& s = out.samples[i];
        ASSERT_TRUE(s);
        EXPECT_EQ(s->pts.value, int64_t(i) * 33333);
        EXPECT_EQ(OutputDestination::isKeyFrame(*s), i == 0);
        ASSERT_EQ(s->parameterSets.size(), 2u);
        EXPECT_EQ(unitType(s->parameterSets[0]), kSPS);
        EXPECT_EQ(unitType(s->parameterSets[1]), kPPS);
        // Length-prefixed all through, no parameter sets or start codes inside.
        qsizetype pos = 0;
        while (pos + 4 <= s->data.size()) {
            const quint32 length = qFromBigEndian<quint32>(s->data.constData() + pos);
            ASSERT_GT(length, 0u);
            ASSERT_LE(pos + 4 + qsizetype(length), s->data.size());
            const int type = uint8_t(s->data[pos + 4]) & 0x1f;
            EXPECT_NE(type, kSPS);
            EXPECT_NE(type, kPPS);
            pos += 4 + qsizetype(length);
        }
        EXPECT_EQ(pos, s->data.size());
        ASSERT_FALSE(decode(decoder, kFrameTypeH264Video, *s));
        EXPECT_EQ(decoder.lastPicture().size(), QSize(640, 360));
        EXPECT_LT(meanDifference(*pictures[i], decoder.lastPicture()), 8.0);
    }
}

TEST(LinuxEncoder, HardwarePreferenceFallsBackToSoftware) {
    LinuxEncoderServices services;
    bool anyHardware = false;
    for (const QString& name : hardwareH264Encoders())
        anyHardware |= h264EncoderOpens(name);
    if (anyHardware) GTEST_SKIP() << "this machine has a hardware H.264 encoder";
    Collector out;
    auto session = services.createCompressionSession(
        320, 240, kCodecTypeH264, {{kEncoderSpecificationEnableHardwareAcceleratedVideoEncoder, true}},
        out.callback(), nullptr);
    ASSERT_TRUE(session);
    EXPECT_EQ(session->copyProperty(kCompressionPropertyUsingHardwareAcceleratedVideoEncoder),
              QVariant(false));
    OptError error;
    EXPECT_FALSE(createH264Session(320, 240, hardwareH264Encoders(), out.callback(), &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kEncoderErrorNoEncoder);
}

TEST(LinuxEncoder, OddSizesAndWrongPicturesAreHandled) {
    LinuxEncoderServices services;
    Collector out;
    auto session = services.createCompressionSession(101, 75, kCodecTypeH264, {}, out.callback(), nullptr);
    ASSERT_TRUE(session);
    const auto picture = pattern(101, 75);
    ASSERT_FALSE(session->encodeFrame(picture, micros(0), micros(1), nullptr));
    session->completeFrames();
    ASSERT_FALSE(session->encodeFrame(pattern(64, 64), micros(1), micros(1), nullptr));
    session->completeFrames();
    ASSERT_EQ(out.count(), 2u);
    ASSERT_TRUE(out.samples[0]);
    VideoDecoder decoder;
    ASSERT_FALSE(decode(decoder, kFrameTypeH264Video, *out.samples[0]));
    EXPECT_LT(meanDifference(*picture, decoder.lastPicture()), 10.0);
    EXPECT_FALSE(out.samples[1]);
    ASSERT_TRUE(out.errors[1]);
    EXPECT_EQ(out.errors[1]->code, kEncoderErrorInvalidArgument);

    OptError error;
    EXPECT_FALSE(services.createCompressionSession(0, 10, kCodecTypeJPEG, {}, out.callback(), &error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(
        services.createCompressionSession(10, 10, CodecType(0x12345678), {}, out.callback(), &error));
}

TEST(LinuxEncoder, InvalidateDropsWaitingPicturesAndEndsCallbacks) {
    for (CodecType codec : {kCodecTypeJPEG, kCodecTypeH264}) {
        SCOPED_TRACE(codec);
        LinuxEncoderServices services;
        Collector out;
        auto session = services.createCompressionSession(1280, 720, codec, {}, out.callback(), nullptr);
        ASSERT_TRUE(session);
        auto context = std::make_shared<int>(1);
        std::weak_ptr<int> watch = context;
        const auto picture = pattern(1280, 720);
        for (int i = 0; i < 8; ++i)
            ASSERT_FALSE(session->encodeFrame(picture, micros(i), micros(1), i == 3 ? context : nullptr));
        context.reset();
        session->invalidate();
        const size_t seen = out.count();
        // Every picture got its callback, each in order; the encoder kept up with some at most.
        EXPECT_EQ(seen, 8u);
        EXPECT_TRUE(watch.expired());
        size_t dropped = 0;
        for (const OptError& e : out.errors)
            dropped += e && e->code == kEncoderErrorFrameDropped;
        EXPECT_GE(dropped, 1u);
        EXPECT_TRUE(session->encodeFrame(picture, micros(9), micros(1), nullptr));
        EXPECT_EQ(out.count(), seen);
        session->completeFrames(); // returns at once on an ended session
    }
}

} // namespace
