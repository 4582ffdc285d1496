// Our encoder path against the reference it is built on, measured in the same run:
//  - JPEG: a 2732x2048 desktop-like picture through the compressor, session and payload framing,
//    against one direct TurboJPEG call with the same settings. Aim: 0.95 of its rate or better.
//  - H.264: 1920x1080 frames through the same path, against the ffmpeg command line with libx264
//    (ultrafast, zerolatency) on the same frames. Aim: 1.2 times its frame rate or better.
#include "link/PTChannel.h"
#include "platform/codec/LinuxEncoderServices.h"
#include "video/AppleVTCompressor.h"
#include "video/OutputDestination.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <turbojpeg.h>

#include <condition_variable>
#include <map>
#include <mutex>

namespace {

// Windows with title bars, text-like strokes, a gradient wallpaper and a photo-like area: what a
// desktop looks like to an encoder. `phase` moves a window, so consecutive frames differ.
std::shared_ptr<PixelBuffer> desktopPicture(int width, int height, int phase = 0) {
    auto p = PixelBuffer::create(width, height, PixelBuffer::kBGRA);
    uint32_t noise = 12345;
    for (int y = 0; y < height; ++y) {
        auto* row = reinterpret_cast<uint32_t*>(p->data() + y * p->bytesPerRow());
        for (int x = 0; x < width; ++x) {
            uint32_t c =
                0xFF000000u | uint32_t(40 + 60 * y / height) << 16 | uint32_t(60 + 80 * x / width) << 8 | 140;
            const int wx = x - width / 8 - phase * 6, wy = y - height / 8;
            if (wx >= 0 && wx < width / 2 && wy >= 0 && wy < height / 2) {
                c = wy < 28 ? 0xFFD8D8D8u : 0xFFFFFFFFu;
                // Lines of "text": short dark runs on a regular baseline.
                if (wy > 40 && (wy % 18) < 11 && ((wx / 7 + wy / 18) % 5) != 0 && (wx % 7) < 5)
                    c = 0xFF202020u;
            }
            const int px = x - width * 5 / 8, py = y - height / 2;
            if (px >= 0 && px < width / 4 && py >= 0 && py < height / 3) {
                noise = noise * 1103515245u + 12345u;
                const uint32_t n = (noise >> 16) & 0x1f;
                c = 0xFF000000u | (uint32_t(120 + n + px % 64) << 16) | (uint32_t(90 + n + py % 48) << 8) |
                    (60 + n);
            }
            row[x] = c;
        }
    }
    return p;
}

class Controller final : public CompressorSettingsController {
public:
    double captureFPS() const override { return 30.0; }
    std::shared_ptr<CompressorBase> compressorNamed(const QString&) const override { return nullptr; }
    std::shared_ptr<CompressorBase> selectedCompressor() const override { return nullptr; }
};

// Compressor, session and destination as the stream runs them; each frame is waited for until its
// payload is ready to be written, so the time is the whole road to the channel.
class Path {
public:
    explicit Path(bool h264) {
        compressor_ = std::make_shared<AppleVTCompressor>(std::make_shared<LinuxEncoderServices>());
        compressor_->setSettingsController(&controller_);
        compressor_->setPeerHardwareString(QStringLiteral("iPad8,1"));
        compressor_->setBH264HWCodec(h264);
        destination_ = std::make_unique<OutputDestination>(
            QStringLiteral("file"), [this](const std::shared_ptr<PTChannel>&, uint32_t, uint32_t,
                                           const QByteArray& payload, OutputDestination::Completion) {
                std::lock_guard lock(mutex_);
                bytes_ += payload.size();
                ++written_;
                done_.notify_all();
            });
        destination_->setDestination(QStringLiteral("/tmp/t.flv"));
        destination_->setCompressor(compressor_);
        destination_->setChannel(1);
        destination_->setActive(true);
        // The recording writer never touches the channel; a real closed one stands for it.
        compressor_->setPtChannel(PTChannel::channelWithDelegate(nullptr));
    }
    ~Path() {
        compressor_->reset();
        destination_.reset();
    }
    void encode(const FramePtr& frame, int64_t index) {
        std::unique_lock lock(mutex_);
        const int64_t before = written_;
        lock.unlock();
        compressor_->compressVideoFrame(frame, MediaTime{index * 33333, 1000000}, MediaTime{1000, 30000});
        lock.lock();
        done_.wait(lock, [&] { return written_ > before; });
    }
    int64_t bytes() const { return bytes_; }

private:
    Controller controller_;
    std::shared_ptr<AppleVTCompressor> compressor_;
    std::unique_ptr<OutputDestination> destination_;
    std::mutex mutex_;
    std::condition_variable done_;
    int64_t written_ = 0, bytes_ = 0;
};

constexpr int kJpegWidth = 2732, kJpegHeight = 2048;
constexpr int kH264Width = 1920, kH264Height = 1080, kH264Frames = 90;

void BM_JpegOurPath(benchmark::State& state) {
    const FramePtr picture = desktopPicture(kJpegWidth, kJpegHeight);
    Path path(false);
    int64_t i = 0;
    for (auto _ : state)
        path.encode(picture, i++);
    state.counters["bytes_per_frame"] = double(path.bytes()) / double(i);
    state.SetItemsProcessed(i);
}
BENCHMARK(BM_JpegOurPath)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

void BM_JpegDirectTurboJPEG(benchmark::State& state) {
    const auto picture = desktopPicture(kJpegWidth, kJpegHeight);
    tjhandle handle = tjInitCompress();
    unsigned long capacity = tjBufSize(kJpegWidth, kJpegHeight, TJSAMP_420);
    unsigned char* out = tjAlloc(int(capacity));
    int64_t bytes = 0, i = 0;
    for (auto _ : state) {
        unsigned long size = capacity;
        // The settings our path uses above 1024x768: quality 10, 4:2:0, fast DCT.
        tjCompress2(handle, picture->data(), kJpegWidth, picture->bytesPerRow(), kJpegHeight, TJPF_BGRA, &out,
                    &size, TJSAMP_420, 10, TJFLAG_NOREALLOC | TJFLAG_FASTDCT);
        bytes += int64_t(size);
        ++i;
    }
    tjFree(out);
    tjDestroy(handle);
    state.counters["bytes_per_frame"] = double(bytes) / double(i);
    state.SetItemsProcessed(i);
}
BENCHMARK(BM_JpegDirectTurboJPEG)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

std::vector<FramePtr> h264Frames() {
    std::vector<FramePtr> frames;
    for (int i = 0; i < kH264Frames; ++i)
        frames.push_back(desktopPicture(kH264Width, kH264Height, i));
    return frames;
}

void BM_H264OurPath(benchmark::State& state) {
    static const std::vector<FramePtr> frames = h264Frames();
    for (auto _ : state) {
        Path path(true);
        for (int i = 0; i < kH264Frames; ++i)
            path.encode(frames[size_t(i)], i);
    }
    state.counters["fps"] =
        benchmark::Counter(double(kH264Frames) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_H264OurPath)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_H264FfmpegLibx264(benchmark::State& state) {
    static const std::vector<FramePtr> frames = h264Frames();
    QTemporaryDir dir;
    const QString raw = dir.filePath(QStringLiteral("frames.bgra"));
    {
        QFile file(raw);
        if (!file.open(QIODevice::WriteOnly)) {
            state.SkipWithError("cannot write the frames");
            return;
        }
        for (const FramePtr& f : frames)
            for (int y = 0; y < kH264Height; ++y)
                file.write(reinterpret_cast<const char*>(f->data() + y * f->bytesPerRow()), kH264Width * 4);
    }
    const QStringList arguments{QStringLiteral("-nostdin"),
                                QStringLiteral("-loglevel"),
                                QStringLiteral("error"),
                                QStringLiteral("-f"),
                                QStringLiteral("rawvideo"),
                                QStringLiteral("-pix_fmt"),
                                QStringLiteral("bgra"),
                                QStringLiteral("-s"),
                                QStringLiteral("%1x%2").arg(kH264Width).arg(kH264Height),
                                QStringLiteral("-i"),
                                raw,
                                QStringLiteral("-c:v"),
                                QStringLiteral("libx264"),
                                QStringLiteral("-preset"),
                                QStringLiteral("ultrafast"),
                                QStringLiteral("-tune"),
                                QStringLiteral("zerolatency"),
                                QStringLiteral("-f"),
                                QStringLiteral("null"),
                                QStringLiteral("-")};
    for (auto _ : state) {
        QProcess ffmpeg;
        ffmpeg.start(QStringLiteral("ffmpeg"), arguments);
        if (!ffmpeg.waitForFinished(120000) || ffmpeg.exitCode() != 0) {
            state.SkipWithError("ffmpeg did not run");
            return;
        }
    }
    state.counters["fps"] =
        benchmark::Counter(double(kH264Frames) * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_H264FfmpegLibx264)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

// Prints what it is given, and keeps the time per frame of each benchmark for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            const double perRun = run.GetAdjustedRealTime();
            const auto fps = run.counters.find("fps");
            rates[run.benchmark_name()] = fps != run.counters.end() ? double(fps->second) : 1.0 / perRun;
        }
    }
    std::map<std::string, double> rates;
};

void printRatio(const RatioReporter& r, const char* what, const char* ours, const char* baseline,
                double aim) {
    auto rate = [&](const char* prefix) {
        for (const auto& [name, value] : r.rates)
            if (name.rfind(prefix, 0) == 0) return value;
        return 0.0;
    };
    const double a = rate(ours), b = rate(baseline);
    if (a <= 0 || b <= 0) return;
    const double ratio = a / b;
    std::printf("%-40s %.3f (aim %.2f or better) %s\n", what, ratio, aim, ratio >= aim ? "met" : "NOT met");
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nratios, measured in this run:\n");
    printRatio(reporter, "JPEG 2732x2048, ours / TurboJPEG", "BM_JpegOurPath", "BM_JpegDirectTurboJPEG",
               0.95);
    printRatio(reporter, "H.264 1920x1080 fps, ours / ffmpeg libx264", "BM_H264OurPath",
               "BM_H264FfmpegLibx264", 1.2);
    benchmark::Shutdown();
    return 0;
}
