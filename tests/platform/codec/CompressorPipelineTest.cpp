#include "VideoDecoder.h"
#include "platform/codec/LinuxEncoderServices.h"
#include "video/AppleVTCompressor.h"
#include "video/OutputDestination.h"

#include <gtest/gtest.h>
#include <mutex>
#include <thread>

namespace {

class Controller final : public CompressorSettingsController {
public:
    double captureFPS() const override { return 30.0; }
    std::shared_ptr<CompressorBase> compressorNamed(const QString&) const override { return nullptr; }
    std::shared_ptr<CompressorBase> selectedCompressor() const override { return nullptr; }
};

struct Written {
    uint32_t type, tag;
    QByteArray payload;
};

// The encoder, its destination and the device's decoder, with real encoders and a frame clock of
// its own thread, the way the stream runs them.
struct Pipeline {
    Controller controller;
    std::shared_ptr<AppleVTCompressor> compressor;
    std::mutex mutex;
    std::vector<Written> written;
    std::shared_ptr<PTChannel> channel{reinterpret_cast<PTChannel*>(0x1), [](PTChannel*) {}};
    std::unique_ptr<OutputDestination> destination;

    explicit Pipeline(bool forceH264) {
        compressor = std::make_shared<AppleVTCompressor>(std::make_shared<LinuxEncoderServices>());
        compressor->setSettingsController(&controller);
        compressor->setPeerHardwareString(QStringLiteral("iPad8,1"));
        if (forceH264) compressor->setBH264HWCodec(true);
        destination = std::make_unique<OutputDestination>(
            QStringLiteral("file"), [this](const std::shared_ptr<PTChannel>&, uint32_t type, uint32_t tag,
                                           const QByteArray& payload, OutputDestination::Completion done) {
                {
                    std::lock_guard lock(mutex);
                    written.push_back({type, tag, payload});
                }
                done(std::nullopt);
            });
        destination->setDestination(QStringLiteral("/tmp/t.flv"));
        destination->setCompressor(compressor);
        destination->setChannel(1);
        destination->setActive(true);
        compressor->setPtChannel(channel);
    }
    ~Pipeline() {
        compressor->reset();
        destination.reset();
    }

    // Feeds `count` pictures from a clock thread, waiting `gapMs` between them.
    void stream(const std::vector<FramePtr>& pictures, int gapMs) {
        std::thread clock([&] {
            for (size_t i = 0; i < pictures.size(); ++i) {
                compressor->compressVideoFrame(pictures[i], MediaTime{int64_t(i) * 33333, 1000000},
                                               MediaTime{1000, 30000});
                std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            }
        });
        // Meanwhile the main thread changes the channel, as a reconnection would.
        compressor->setPtChannel(channel);
        clock.join();
        compressor->reset(); // the clock has stopped: the session ends, everything is delivered
    }
};

std::vector<FramePtr> movingSquares(int width, int height, int count) {
    std::vector<FramePtr> pictures;
    for (int i = 0; i < count; ++i) {
        auto p = PixelBuffer::create(width, height, PixelBuffer::kBGRA);
        for (int y = 0; y < height; ++y) {
            auto* row = reinterpret_cast<uint32_t*>(p->data() + y * p->bytesPerRow());
            for (int x = 0; x < width; ++x) {
                const bool inside = x >= 20 + i * 4 && x < 80 + i * 4 && y >= 30 && y < 90;
                row[x] = inside ? 0xFFE02020u : 0xFF204080u;
            }
        }
        pictures.push_back(p);
    }
    return pictures;
}

int differenceAt(const QImage& image, int x, int y, uint32_t bgra) {
    const QRgb c = image.pixel(x, y);
    return std::abs(qRed(c) - int((bgra >> 16) & 0xff)) + std::abs(qGreen(c) - int((bgra >> 8) & 0xff)) +
           std::abs(qBlue(c) - int(bgra & 0xff));
}

void expectDecodes(Pipeline& p, uint32_t expectedType, const std::vector<FramePtr>& pictures) {
    ASSERT_FALSE(p.written.empty());
    VideoDecoder decoder;
    for (const Written& w : p.written) {
        EXPECT_EQ(w.type, expectedType);
        ASSERT_FALSE(decoder.decodeFrame(w.type, w.tag, w.payload));
    }
    const QImage& last = decoder.lastPicture();
    ASSERT_EQ(last.size(), QSize(pictures[0]->width(), pictures[0]->height()));
    // The last picture sent is the last one given: its square sits at its place.
    const int shift = (int(pictures.size()) - 1) * 4;
    EXPECT_LT(differenceAt(last, 50 + shift, 60, 0xFFE02020u), 30);
    EXPECT_LT(differenceAt(last, 5, 5, 0xFF204080u), 30);
}

// H.264 forced through the capability flag, from BGRA and through the YUVS conversion, and JPEG where no
// hardware encoder opens: each arrives decodable, ending on the last picture given.
TEST(CompressorPipeline, EveryCodecAndPixelPathArrivesDecodable) {
    const struct { bool h264, bgra; } paths[] = {{true, true}, {true, false}, {false, true}};
    for (const auto& path : paths) {
        SCOPED_TRACE(path.h264 * 2 + path.bgra);
        Pipeline p(path.h264);
        if (!path.h264 && p.compressor->bH264HWCodec()) continue; // this machine has a hardware encoder
        if (!path.bgra) {
            p.compressor->setUseBGRAForJpecCodec(false);
            p.compressor->setBOSSupportBGRA(false);
        }
        const auto pictures = movingSquares(352, 240, 6);
        p.stream(pictures, 20);
        EXPECT_EQ(p.compressor->codecType(), uint32_t(path.h264 ? kCodecTypeH264 : kCodecTypeJPEG));
        if (path.h264) {
            EXPECT_EQ(p.written.front().tag, kKeyFrameTag);
        }
        expectDecodes(p, path.h264 ? 107 : 108, pictures);
    }
}

} // namespace
