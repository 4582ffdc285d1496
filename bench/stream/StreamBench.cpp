// The picture's whole road on this machine, on a private Xvfb of 1366x1024 captured at the default
// scale (2732x2048): the stream controller with the X11 capture and the Linux encoders writes through a
// PTChannel on 127.0.0.1 to a receiver process that decodes every picture, as the device does.
//
//  - moving picture: a painter process changes the whole screen 60 times a second; figures are the
//    pictures per second the receiver decoded, against the rate the encoder alone reaches on the same
//    pictures in this run (the ceiling of the road), and glass to wire: from the capture seeing the
//    change to the last byte of its frame written, median and 99th percentile, against the frame
//    interval; and the agent's peak memory.
//  - still picture: the agent's processor use over 30 s with nothing changing.
//
//   bench_stream [seconds moving] [seconds still]
#include "VideoDecoder.h"
#include "base/Clock.h"
#include "base/MainQueue.h"
#include "link/PTChannel.h"
#include "platform/codec/LinuxEncoderServices.h"
#include "platform/linux/LinuxSystemInfo.h"
#include "platform/x11/X11DisplayServices.h"
#include "platform/x11/X11DisplayStream.h"
#include "platform/x11/XConnection.h"
#include "video/AppleVTCompressor.h"
#include "video/StreamController.h"
#include "video/StreamDefaults.h"
#include "video/StreamHost.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QTimer>
#include <QtEndian>

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <X11/Xlib.h>

extern char** environ;

namespace {

constexpr int kWidth = 1366, kHeight = 1024;

double now() {
    return Clock::shared().uptime();
}

[[noreturn]] void die(const char* what) {
    std::fprintf(stderr, "bench_stream: %s\n", what);
    std::exit(2);
}

pid_t spawn(std::vector<std::string> args, int stdoutFd = -1) {
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, 1);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) die("cannot start a child");
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

void stopChild(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// ---- the painter: changes the whole screen 60 times a second until stopped ----

int painter(const char* display) {
    Display* dpy = openXDisplay(display);
    if (!dpy) return 1;
    const Window root = DefaultRootWindow(dpy);
    GC gc = XCreateGC(dpy, root, 0, nullptr);
    for (unsigned n = 0;; ++n) {
        // A desktop-like picture that moves: bands of colour shifted every frame.
        for (int band = 0; band < 16; ++band) {
            XSetForeground(dpy, gc,
                           ((band * 37 + n * 3) & 0xff) << 16 | ((band * 91 + n) & 0xff) << 8 |
                               (band * 13 & 0xff));
            XFillRectangle(dpy, root, gc, 0, band * kHeight / 16, kWidth, kHeight / 16 + 1);
        }
        XSetForeground(dpy, gc, 0xffffff);
        XFillRectangle(dpy, root, gc, int(n * 7 % (kWidth - 200)), 300, 200, 150);
        XSync(dpy, False);
        usleep(16667);
    }
}

// ---- the receiver: the device's side, decoding every picture ----

bool readExactly(int fd, char* buffer, size_t n) {
    while (n > 0) {
        const ssize_t got = ::read(fd, buffer, n);
        if (got <= 0) return false;
        buffer += got;
        n -= size_t(got);
    }
    return true;
}

// Listens on 127.0.0.1, prints the port, takes one connection and decodes every video frame; prints
// "pictures N W H codec" after each picture.
int receiver() {
    const int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(server, 1) != 0 ||
        ::getsockname(server, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 1;
    std::printf("port %d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    const int fd = ::accept(server, nullptr, nullptr);
    VideoDecoder decoder;
    char header[16];
    while (readExactly(fd, header, sizeof header)) {
        const uint32_t type = qFromBigEndian<quint32>(header + 4), tag = qFromBigEndian<quint32>(header + 8);
        QByteArray payload(qsizetype(qFromBigEndian<quint32>(header + 12)), Qt::Uninitialized);
        if (!readExactly(fd, payload.data(), size_t(payload.size()))) break;
        if (type != 107 && type != 108) continue;
        if (OptError e = decoder.decodeFrame(type, tag, payload)) {
            std::printf("error %s\n", qPrintable(e->toString()));
        } else {
            std::printf("pictures %d %d %d %s\n", decoder.picturesDecoded(), decoder.lastPicture().width(),
                        decoder.lastPicture().height(), qPrintable(decoder.codecName()));
        }
        std::fflush(stdout);
    }
    return 0;
}

// ---- the agent ----

// A first launch's settings, kept in memory: 30 frames per second, the default (doubled) scale.
class BenchDefaults final : public StreamDefaults {
public:
    bool boolForKey(const QString& key) const override { return values_.value(key).toBool(); }
    double doubleForKey(const QString& key) const override { return values_.value(key).toDouble(); }
    bool containsKey(const QString& key) const override { return values_.contains(key); }
    void setBool(bool value, const QString& key) override { values_.insert(key, value); }
    void setDouble(double value, const QString& key) override { values_.insert(key, value); }

private:
    QVariantMap values_;
};

class BenchHost final : public StreamHost {
public:
    void sendMessage(const QString&) override {}
    bool checkPeerProtocolVersion(const QString&) const override { return true; }
    // As the agent runs today: the picture carries the cursor.
    bool simulateCursorPos() const override { return false; }
    void registerMouseEvent() override {}
    void unregisterMouseEvent() override {}
    QVariantMap peerDeviceInfo() const override {
        return {{QStringLiteral("hardwareString"), QStringLiteral("iPad8,1")}};
    }
};

// Times every picture from the capture seeing its change to the last byte of its frame written.
struct Timeline {
    std::mutex mutex;
    std::map<const PixelBuffer*, uint64_t> seen;     // picture -> when its change was seen (ns)
    std::map<int64_t, uint64_t> submitted;           // presentation time -> when its change was seen
    std::vector<double> latencies;                   // seconds
    static inline thread_local uint64_t current = 0; // the change the frame being written shows
};

class TimedStreams final : public DisplayStreamFactory {
public:
    TimedStreams(DisplayStreamFactory& real, Timeline& t) : real_(real), t_(t) {}
    std::shared_ptr<DisplayStream> create(uint32_t id, const QRect& source, int w, int h,
                                          PixelBuffer::Format f, const DisplayStream::Properties& p,
                                          DisplayStream::Handler handler) override {
        return real_.create(id, source, w, h, f, p,
                            [this, handler](DisplayStream::FrameStatus s, uint64_t time, FramePtr frame) {
                                if (frame) {
                                    std::lock_guard lock(t_.mutex);
                                    t_.seen[frame.get()] = time;
                                }
                                handler(s, time, std::move(frame));
                            });
    }

private:
    DisplayStreamFactory& real_;
    Timeline& t_;
};

class TimedSession final : public EncoderSession {
public:
    TimedSession(Timeline& t) : t_(t) {}
    std::unique_ptr<EncoderSession> real;
    OptError setProperty(const QString& k, const QVariant& v) override { return real->setProperty(k, v); }
    QVariant copyProperty(const QString& k) const override { return real->copyProperty(k); }
    OptError encodeFrame(FramePtr image, MediaTime pts, MediaTime duration,
                         std::shared_ptr<const void> c) override {
        {
            std::lock_guard lock(t_.mutex);
            auto it = t_.seen.find(image.get());
            if (it != t_.seen.end()) t_.submitted[pts.value] = it->second;
        }
        return real->encodeFrame(std::move(image), pts, duration, std::move(c));
    }
    void completeFrames() override { real->completeFrames(); }
    void invalidate() override { real->invalidate(); }

private:
    Timeline& t_;
};

class TimedEncoders final : public EncoderServices {
public:
    explicit TimedEncoders(Timeline& t) : t_(t) {}
    LinuxEncoderServices real;
    std::vector<QVariantMap> copyVideoEncoderList() override { return real.copyVideoEncoderList(); }
    std::unique_ptr<EncoderSession> createCompressionSession(int w, int h, CodecType codec,
                                                             const QVariantMap& encoderOptions,
                                                             EncoderSession::OutputCallback callback,
                                                             OptError* error) override {
        auto session = std::make_unique<TimedSession>(t_);
        Timeline* t = &t_;
        session->real = real.createCompressionSession(
            w, h, codec, encoderOptions,
            [t, callback](std::shared_ptr<const void> context, const OptError& status, SamplePtr sample) {
                if (sample) {
                    std::lock_guard lock(t->mutex);
                    auto it = t->submitted.find(sample->pts.value);
                    Timeline::current = it == t->submitted.end() ? 0 : it->second;
                }
                callback(std::move(context), status, std::move(sample));
                Timeline::current = 0;
            },
            error);
        if (!session->real) return nullptr;
        return session;
    }
    std::unique_ptr<PixelTransferSession> createPixelTransferSession() override {
        return real.createPixelTransferSession();
    }
    bool acceptsBGRA(CodecType c) const override { return real.acceptsBGRA(c); }

private:
    Timeline& t_;
};

struct Usage {
    double cpu = 0; // seconds of processor time of this process
    static Usage read() {
        rusage u{};
        getrusage(RUSAGE_SELF, &u);
        return {double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
                double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6};
    }
};

long statusKB(const char* field) {
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly)) return 0;
    for (const QByteArray& line : f.readAll().split('\n'))
        if (line.startsWith(field)) return line.mid(int(strlen(field))).trimmed().split(' ').first().toLong();
    return 0;
}

// Runs the event loop, asleep between events, so that the agent's processor use is its own.
void runEventLoop(double seconds) {
    QEventLoop loop;
    QTimer::singleShot(int(seconds * 1000), &loop, &QEventLoop::quit);
    loop.exec();
}

// The rate the encoder alone reaches on `picture`, through the same encoder services and codec choice.
double encoderAloneRate(const FramePtr& picture, CodecType codec, int count) {
    LinuxEncoderServices services;
    std::mutex mutex;
    int done = 0;
    OptError error;
    QVariantMap encoderOptions;
    if (codec == kCodecTypeH264)
        encoderOptions = {{kEncoderSpecificationEnableHardwareAcceleratedVideoEncoder, true},
                          {kEncoderSpecificationRealTime, true}};
    auto session = services.createCompressionSession(
        picture->width(), picture->height(), codec, encoderOptions,
        [&](std::shared_ptr<const void>, const OptError&, SamplePtr) {
            std::lock_guard lock(mutex);
            ++done;
        },
        &error);
    if (!session) return 0;
    session->setProperty(kCompressionPropertyRealTime, true);
    if (codec == kCodecTypeJPEG)
        session->setProperty(kCompressionPropertyQuality, 0.1);
    else
        session->setProperty(kCompressionPropertyAllowFrameReordering, false);
    const double start = now();
    for (int i = 0; i < count; ++i) {
        session->encodeFrame(picture, MediaTime{i * 33333, 1000000}, MediaTime{1000, 30000}, nullptr);
        session->completeFrames(); // one at a time, as the clock hands them over
    }
    const double elapsed = now() - start;
    session->invalidate();
    return count / elapsed;
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}

int agent(const char* self, int argc, char** argv) {
    const double movingSeconds = argc > 1 ? std::atof(argv[1]) : 10;
    const double stillSeconds = argc > 2 ? std::atof(argv[2]) : 30;

    // A private display, so nothing else draws on it.
    int displayNumber = 0;
    pid_t xvfb = -1;
    for (int n = 700; n < 720 && xvfb < 0; ++n) {
        if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n))) continue;
        xvfb = spawn({"/usr/bin/Xvfb", ":" + std::to_string(n), "-screen", "0", "1366x1024x24", "-nolisten",
                      "tcp", "-noreset"});
        for (int i = 0; i < 100 && !QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)); ++i)
            QThread::msleep(50);
        displayNumber = n;
    }
    const std::string display = ":" + std::to_string(displayNumber);

    // The receiver, whose standard output tells the port and every decoded picture.
    int out[2];
    if (pipe(out) != 0) die("pipe");
    const pid_t receiverPid = spawn({self, "--receiver"}, out[1]);
    ::close(out[1]);
    FILE* receiverOut = fdopen(out[0], "r");
    int port = 0;
    if (std::fscanf(receiverOut, "port %d", &port) != 1) die("the receiver did not start");
    std::atomic<int> pictures{0};
    std::atomic<int> receiverErrors{0};
    QSize pictureSize;
    QString codec;
    std::mutex outMutex;
    std::thread reader([&] {
        char line[256];
        while (std::fgets(line, sizeof line, receiverOut)) {
            int n = 0, w = 0, h = 0;
            char name[32] = {};
            if (std::sscanf(line, "pictures %d %d %d %31s", &n, &w, &h, name) == 4) {
                pictures = n;
                std::lock_guard lock(outMutex);
                pictureSize = QSize(w, h);
                codec = QString::fromLatin1(name);
            } else if (std::strncmp(line, "error", 5) == 0) {
                ++receiverErrors;
            }
        }
    });

    Timeline timeline;
    auto realStreams = std::make_unique<X11DisplayStreamFactory>(QByteArray::fromStdString(display));
    TimedStreams streams(*realStreams, timeline);
    std::unique_ptr<X11DisplayServices> displays = X11DisplayServices::open(QString::fromStdString(display));
    if (!displays) die("cannot read the private display");
    LinuxSystemInfo systemInfo;
    BenchDefaults defaults;
    BenchHost host;
    auto encoders = std::make_shared<TimedEncoders>(timeline);
    const OutputDestination::FrameWriter write = OutputDestination::channelWriter();
    StreamController stream(
        StreamController::Services{streams,
                                   *displays,
                                   systemInfo,
                                   defaults,
                                   {},
                                   encoders,
                                   [&](const std::shared_ptr<PTChannel>& channel, uint32_t type, uint32_t tag,
                                       const QByteArray& payload, OutputDestination::Completion done) {
                                       const uint64_t seen = Timeline::current;
                                       write(channel, type, tag, payload,
                                             [&timeline, seen, done](const OptError& e) {
                                                 if (!e && seen) {
                                                     const double l = now() - double(seen) / 1e9;
                                                     std::lock_guard lock(timeline.mutex);
                                                     timeline.latencies.push_back(l);
                                                 }
                                                 done(e);
                                             });
                                   },
                                   {}},
        &host);

    std::shared_ptr<PTChannel> channel = PTChannel::channelWithDelegate(nullptr);
    bool connected = false;
    channel->connectToPort(uint16_t(port), INADDR_LOOPBACK,
                           [&](const OptError& e, const PTAddress&) { connected = !e; });
    for (int i = 0; i < 200 && !connected; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    if (!connected) die("cannot reach the receiver");
    stream.activeCompressor()->setPtChannel(channel);
    stream.captureDestinations().back()->setChannel(1);

    // Moving picture.
    const pid_t painterPid = spawn({self, "--painter", display});
    runEventLoop(0.5);
    stream.resetResolution(displays->mainDisplayID());
    stream.startStream();
    runEventLoop(2.0); // warm up: first key frame, pool filled
    {
        std::lock_guard lock(timeline.mutex);
        timeline.latencies.clear();
    }
    const int picturesBefore = pictures.load();
    const double movingStart = now();
    runEventLoop(movingSeconds);
    const double movingElapsed = now() - movingStart;
    const double fps = (pictures.load() - picturesBefore) / movingElapsed;
    std::vector<double> latencies;
    {
        std::lock_guard lock(timeline.mutex);
        latencies = timeline.latencies;
    }
    const long peakKB = statusKB("VmHWM:");
    const uint32_t codecType = stream.activeCompressor()->codecType();
    FramePtr sample = stream.videoCaptureSession()->getCurrentFrame();

    // Still picture.
    stopChild(painterPid);
    runEventLoop(2.0); // the clock drops to idle
    const int stillBefore = pictures.load();
    const Usage cpuBefore = Usage::read();
    const double stillStart = now();
    runEventLoop(stillSeconds);
    const double cpu = (Usage::read().cpu - cpuBefore.cpu) / (now() - stillStart);
    const int stillPictures = pictures.load() - stillBefore;
    stream.stopStream();

    const double ceiling = sample ? encoderAloneRate(sample, CodecType(codecType), 30) : 0;
    channel->close();
    stopChild(receiverPid);
    reader.join();
    fclose(receiverOut);
    stopChild(xvfb);

    const double interval = 1.0 / stream.captureFPS();
    std::printf("stream: Xvfb %dx%d captured at the default scale, %s %dx%d, %.0f frames per second asked\n",
                kWidth, kHeight, qPrintable(codec), pictureSize.width(), pictureSize.height(),
                stream.captureFPS());
    std::printf("  moving picture (%.0f s): %.1f pictures/s decoded by the receiver; encoder alone %.1f/s: "
                "ratio %.2f;"
                " aim 30/s: ratio %.2f\n",
                movingElapsed, fps, ceiling, ceiling > 0 ? fps / ceiling : 0, fps / 30);
    std::printf("  glass to wire over %zu frames: median %.1f ms, 99th percentile %.1f ms; "
                "median / frame interval (%.1f ms) = %.2f\n",
                latencies.size(), percentile(latencies, 0.5) * 1e3, percentile(latencies, 0.99) * 1e3,
                interval * 1e3, percentile(latencies, 0.5) / interval);
    std::printf("  agent peak memory while streaming: %.1f MB (aim 150 MB: ratio %.2f)\n", peakKB / 1024.0,
                peakKB / 1024.0 / 150);
    std::printf("  still picture (%.0f s): agent processor use %.2f %% of one core (aim 1 %%: ratio %.2f), "
                "%d pictures sent\n",
                stillSeconds, cpu * 100, cpu * 100, stillPictures);
    if (receiverErrors.load()) std::printf("  receiver: %d frames did not decode\n", receiverErrors.load());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc > 1 && std::strcmp(argv[1], "--painter") == 0) return painter(argc > 2 ? argv[2] : nullptr);
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--receiver") == 0) return receiver();
    if (access("/usr/bin/Xvfb", X_OK) != 0) {
        std::printf("bench_stream: skipped, no Xvfb\n");
        return 0;
    }
    return agent("/proc/self/exe", argc, argv);
}
