#include "VideoDecoder.h"
#include "platform/codec/EncoderSessions.h"
#include "platform/codec/H264Units.h"
#include "platform/codec/LinuxEncoderServices.h"
#include "video/AppleVTCompressor.h"
#include "video/OutputDestination.h"

#include <QtEndian>
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

TEST(H264Units, SplitsStartCodeStreamsAndReadsParameterSetsFromEitherLayout) {
    const QByteArray stream =
        bytes({0xAA, 0, 0, 0, 1, 0x67, 1, 2, 0, 0, 1, 0x68, 3, 0, 0, 0, 1, 0x65, 0, 0, 3, 1, 9, 0, 0});
    // Bytes before the first start code and empty units go; emulation-prevented bytes stay, trailing
    // zeros go.
    EXPECT_EQ(splitAnnexB(stream.constData(), stream.size()),
              (std::vector{bytes({0x67, 1, 2}), bytes({0x68, 3}), bytes({0x65, 0, 0, 3, 1, 9})}));
    EXPECT_TRUE(splitAnnexB(stream.constData(), 2).empty());
    EXPECT_TRUE(splitAnnexB(nullptr, 0).empty());
    const QByteArray empties = bytes({0, 0, 1, 0, 0, 1, 0x41, 7});
    EXPECT_EQ(splitAnnexB(empties.constData(), empties.size()), std::vector<QByteArray>{bytes({0x41, 7})});

    const QByteArray annexB = bytes({0, 0, 0, 1, 0x67, 0x42, 0, 0, 0, 1, 0x68, 0xce, 0, 0, 1, 0x06, 5});
    const QByteArray avcC =
        bytes({1, 0x42, 0, 0x1f, 0xff, 0xe1, 0, 3, 0x67, 0x42, 0x1f, 1, 0, 2, 0x68, 0xce});
    for (const auto& [extradata, sps] :
         {std::pair{annexB, bytes({0x67, 0x42})}, std::pair{avcC, bytes({0x67, 0x42, 0x1f})}}) {
        const ParameterSets sets = parameterSetsFromExtradata(extradata.constData(), extradata.size());
        EXPECT_EQ(sets.sps, std::vector{sps});
        EXPECT_EQ(sets.pps, std::vector{bytes({0x68, 0xce})}) << "the SEI is left out";
    }
    // A record cut short yields what was whole, never reads past its end.
    for (int cut = 0; cut < avcC.size(); ++cut) {
        const ParameterSets c = parameterSetsFromExtradata(avcC.constData(), cut);
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

// Mean absolute difference per colour channel between a BGRA buffer and a decoded picture at least
// as large.
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
    std::vector<SamplePtr> samples;
    std::vector<OptError> errors;
    std::vector<std::thread::id> threads;

    EncoderSession::OutputCallback callback() {
        return [this](std::shared_ptr<const void>, const OptError& status, SamplePtr sample) {
            std::lock_guard lock(mutex);
            samples.push_back(std::move(sample));
            errors.push_back(status);
            threads.push_back(std::this_thread::get_id());
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

int32_t frameTypeOf(CodecType codec) {
    return codec == kCodecTypeH264 ? kFrameTypeH264Video : kFrameTypeJPEGVideo;
}

OptError decode(VideoDecoder& decoder, CodecType codec, const EncodedSample& sample) {
    uint32_t tag = 0;
    const QByteArray payload = OutputDestination::videoPayload(frameTypeOf(codec), sample, &tag);
    return decoder.decodeFrame(uint32_t(frameTypeOf(codec)), tag, payload);
}

// H.264 samples travel length-prefixed all through, without parameter sets or start codes inside;
// the parameter sets ride beside them.
void expectLengthPrefixedUnits(const EncodedSample& s) {
    ASSERT_EQ(s.parameterSets.size(), 2u);
    EXPECT_EQ(unitType(s.parameterSets[0]), kSPS);
    EXPECT_EQ(unitType(s.parameterSets[1]), kPPS);
    qsizetype pos = 0;
    while (pos + 4 <= s.data.size()) {
        const quint32 length = qFromBigEndian<quint32>(s.data.constData() + pos);
        ASSERT_GT(length, 0u);
        ASSERT_LE(pos + 4 + qsizetype(length), s.data.size());
        const int type = uint8_t(s.data[pos + 4]) & 0x1f;
        EXPECT_NE(type, kSPS);
        EXPECT_NE(type, kPPS);
        pos += 4 + qsizetype(length);
    }
    EXPECT_EQ(pos, s.data.size());
}

// Each codec from BGRA and from video-range 4:2:2 (which must not come out washed out), at even and
// odd sizes: every picture gets its sample, in order, from the encoder's thread, decodable by the
// device's decoder at its size and colours; H.264 marks only its first picture a key frame.
TEST(LinuxEncoder, EveryCodecAndPixelLayoutComesBackDecodableWithItsColours) {
    LinuxEncoderServices services;
    auto transfer = services.createPixelTransferSession();
    // The compressor's conversion scales on the way; a format it does not know is refused.
    EXPECT_FALSE(
        transfer->transferImage(*pattern(320, 240), *PixelBuffer::create(160, 120, PixelBuffer::kYUVS)));
    EXPECT_TRUE(
        transfer->transferImage(*pattern(4, 4), *PixelBuffer::create(4, 4, PixelBuffer::Format(0x31323334))));
    const QVariantMap preferHardware{{kEncoderSpecificationEnableHardwareAcceleratedVideoEncoder, true},
                                     {kEncoderSpecificationRealTime, true}};
    const struct {
        CodecType codec;
        PixelBuffer::Format format;
        int width, height, count;
        double tolerance;
    } rows[] = {
        {kCodecTypeJPEG, PixelBuffer::kBGRA, 640, 480, 1, 4.0},
        {kCodecTypeJPEG, PixelBuffer::kYUVS, 320, 240, 1, 6.0},
        {kCodecTypeH264, PixelBuffer::kBGRA, 640, 360, 6, 8.0},
        {kCodecTypeH264, PixelBuffer::kYUVS, 320, 240, 2, 8.0},
        {kCodecTypeH264, PixelBuffer::kBGRA, 101, 75, 2, 10.0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.codec << " " << row.format << " " << row.width);
        Collector out;
        OptError error;
        auto session = services.createCompressionSession(
            row.width, row.height, row.codec, row.codec == kCodecTypeH264 ? preferHardware : QVariantMap{},
            out.callback(), &error);
        ASSERT_TRUE(session) << error->toString().toStdString();
        std::vector<std::shared_ptr<PixelBuffer>> pictures;
        for (int i = 0; i < row.count; ++i) {
            pictures.push_back(pattern(row.width, row.height, i));
            FramePtr input = pictures.back();
            if (row.format == PixelBuffer::kYUVS) {
                auto yuvs = PixelBuffer::create(row.width, row.height, PixelBuffer::kYUVS);
                ASSERT_FALSE(transfer->transferImage(*pictures.back(), *yuvs));
                input = yuvs;
            }
            ASSERT_FALSE(session->encodeFrame(input, micros(i * 33333), micros(33333), nullptr));
            session->completeFrames(); // one at a time: none is dropped for falling behind
        }
        ASSERT_EQ(out.count(), size_t(row.count));
        EXPECT_NE(out.threads[0], std::this_thread::get_id());
        VideoDecoder decoder;
        for (size_t i = 0; i < out.samples.size(); ++i) {
            SCOPED_TRACE(i);
            const SamplePtr& s = out.samples[i];
            ASSERT_TRUE(s) << out.errors[i]->toString().toStdString();
            EXPECT_EQ(s->pts.value, int64_t(i) * 33333);
            if (row.codec == kCodecTypeH264) {
                EXPECT_EQ(OutputDestination::isKeyFrame(*s), i == 0);
                expectLengthPrefixedUnits(*s);
            }
            ASSERT_FALSE(decode(decoder, row.codec, *s));
            // H.264 encodes an odd size with its last column and row repeated.
            EXPECT_EQ(decoder.lastPicture().size(), QSize((row.width + 1) & ~1, (row.height + 1) & ~1));
            EXPECT_LT(meanDifference(*pictures[i], decoder.lastPicture()), row.tolerance);
        }
    }
}

// Quality is JPEG's own and changes its pictures; frame reordering is refused; a picture of another
// size than its session's, an empty size and an unknown codec are errors, not crashes.
TEST(LinuxEncoder, PropertiesAndMisuseAreAnsweredWithErrors) {
    LinuxEncoderServices services;
    Collector out;
    auto jpeg = services.createCompressionSession(640, 480, kCodecTypeJPEG, {}, out.callback(), nullptr);
    auto h264 = services.createCompressionSession(64, 64, kCodecTypeH264, {}, out.callback(), nullptr);
    ASSERT_TRUE(jpeg && h264);
    const auto picture = pattern(640, 480);
    ASSERT_FALSE(jpeg->encodeFrame(picture, micros(0), micros(1), nullptr));
    jpeg->completeFrames();
    ASSERT_FALSE(jpeg->setProperty(kCompressionPropertyQuality, 0.1));
    EXPECT_DOUBLE_EQ(jpeg->copyProperty(kCompressionPropertyQuality).toDouble(), 0.1);
    ASSERT_FALSE(jpeg->encodeFrame(picture, micros(1), micros(1), nullptr));
    jpeg->completeFrames();
    ASSERT_EQ(out.count(), 2u);
    ASSERT_TRUE(out.samples[0] && out.samples[1]);
    EXPECT_LT(out.samples[1]->data.size() * 4, out.samples[0]->data.size() * 3);
    VideoDecoder decoder;
    ASSERT_FALSE(decode(decoder, kCodecTypeJPEG, *out.samples[1]));
    EXPECT_LT(meanDifference(*picture, decoder.lastPicture()), 15.0);

    EXPECT_TRUE(jpeg->setProperty(kCompressionPropertyQuality, 1.5));
    EXPECT_FALSE(h264->setProperty(kCompressionPropertyRealTime, true));
    for (EncoderSession* session : {jpeg.get(), h264.get()}) {
        EXPECT_FALSE(session->setProperty(kCompressionPropertyAllowFrameReordering, false));
        EXPECT_TRUE(session->setProperty(kCompressionPropertyAllowFrameReordering, true));
        ASSERT_FALSE(session->encodeFrame(pattern(101, 75), micros(2), micros(1), nullptr));
        session->completeFrames();
        ASSERT_FALSE(out.samples.back());
        EXPECT_EQ(out.errors.back()->code, kEncoderErrorInvalidArgument);
    }
    OptError error;
    EXPECT_FALSE(services.createCompressionSession(0, 10, kCodecTypeJPEG, {}, out.callback(), &error));
    EXPECT_TRUE(error);
    error.reset();
    EXPECT_FALSE(
        services.createCompressionSession(10, 10, CodecType(0x12345678), {}, out.callback(), &error));
    EXPECT_TRUE(error);
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
        // Every picture got its callback; the encoder kept up with some at most.
        EXPECT_EQ(out.count(), 8u);
        EXPECT_TRUE(watch.expired());
        size_t dropped = 0;
        for (const OptError& e : out.errors)
            dropped += e && e->code == kEncoderErrorFrameDropped;
        EXPECT_GE(dropped, 1u);
        EXPECT_TRUE(session->encodeFrame(picture, micros(9), micros(1), nullptr));
        EXPECT_EQ(out.count(), 8u);
        session->completeFrames(); // returns at once on an ended session
    }
}

class NoController final : public CompressorSettingsController {
public:
    double captureFPS() const override { return 30.0; }
    std::shared_ptr<CompressorBase> compressorNamed(const QString&) const override { return nullptr; }
    std::shared_ptr<CompressorBase> selectedCompressor() const override { return nullptr; }
};

// The compressor and its destination around the real encoders, fed from a frame clock thread while the
// main thread sets the channel again, as a reconnection does: H.264 (forced through the capability
// flag) from BGRA and through the YUVS conversion, and JPEG where no hardware encoder opens, each
// arrive decodable and end on the last picture given once the session is reset.
TEST(CompressorPipeline, EveryCodecAndPixelPathArrivesDecodableEndingOnTheLastPicture) {
    const struct { bool h264, bgra; } paths[] = {{true, true}, {true, false}, {false, true}};
    for (const auto& path : paths) {
        SCOPED_TRACE(path.h264 * 2 + path.bgra);
        NoController controller;
        auto compressor = std::make_shared<AppleVTCompressor>(std::make_shared<LinuxEncoderServices>());
        compressor->setSettingsController(&controller);
        compressor->setPeerHardwareString(QStringLiteral("iPad8,1"));
        if (path.h264)
            compressor->setBH264HWCodec(true);
        else if (compressor->bH264HWCodec())
            continue; // this machine has a hardware encoder
        if (!path.bgra) {
            compressor->setUseBGRAForJpecCodec(false);
            compressor->setBOSSupportBGRA(false);
        }
        std::mutex mutex;
        std::vector<std::tuple<uint32_t, uint32_t, QByteArray>> written;
        OutputDestination destination(QStringLiteral("file"),
                                      [&](const std::shared_ptr<PTChannel>&, uint32_t type, uint32_t tag,
                                          const QByteArray& payload, OutputDestination::Completion done) {
                                          {
                                              std::lock_guard lock(mutex);
                                              written.emplace_back(type, tag, payload);
                                          }
                                          done(std::nullopt);
                                      });
        destination.setDestination(QStringLiteral("/tmp/t.flv"));
        destination.setCompressor(compressor);
        destination.setChannel(1);
        destination.setActive(true);
        const std::shared_ptr<PTChannel> channel{reinterpret_cast<PTChannel*>(0x1), [](PTChannel*) {}};
        compressor->setPtChannel(channel);

        std::vector<FramePtr> pictures;
        for (int i = 0; i < 6; ++i)
            pictures.push_back(pattern(352, 240, i));
        std::thread clock([&] {
            for (size_t i = 0; i < pictures.size(); ++i) {
                // The last one comes right before the reset, still in the encoder.
                if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
                compressor->compressVideoFrame(pictures[i], MediaTime{int64_t(i) * 33333, 1000000},
                                               MediaTime{1000, 30000});
            }
        });
        compressor->setPtChannel(channel);
        clock.join();
        compressor->reset(); // the clock has stopped: the session ends, everything is delivered

        const CodecType codec = path.h264 ? kCodecTypeH264 : kCodecTypeJPEG;
        EXPECT_EQ(compressor->codecType(), uint32_t(codec));
        ASSERT_FALSE(written.empty());
        if (path.h264) {
            EXPECT_EQ(std::get<1>(written.front()), kKeyFrameTag);
        }
        VideoDecoder decoder;
        for (const auto& [type, tag, payload] : written) {
            EXPECT_EQ(type, uint32_t(frameTypeOf(codec)));
            ASSERT_FALSE(decoder.decodeFrame(type, tag, payload));
        }
        EXPECT_EQ(decoder.lastPicture().size(), QSize(352, 240));
        EXPECT_LT(meanDifference(*pictures.back(), decoder.lastPicture()), 8.0) << "not the last picture";
    }
}

} // namespace
