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
//  - stalled device (--stall): with the picture moving, the receiver stops reading for that long and
//    then reads again. The agent's resident size each second, against its size before the stall;
//    and the time from the receiver reading again to the first picture encoded after that arriving
//    whole, against the frame interval. Pictures that waited in the socket or in the agent are told
//    apart from new ones by their place in the stream: the n-th frame written is the n-th read.
//
//   bench_stream [seconds moving] [seconds still]
//   bench_stream --stall [seconds stalled]
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
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
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

// ---- the painter: changes the whole screen 60 times a second (or as often as asked) until stopped ----

int painter(const char* display, double perSecond) {
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
        usleep(useconds_t(1e6 / perSecond));
    }
}

// ---- the receiver: the device's side, decoding every picture ----

bool readExactly(int fd, char* buffer, size_t n) {
    while (n > 0) {
        const ssize_t got = ::read(fd, buffer, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        buffer += got;
        n -= size_t(got);
    }
    return true;
}

uint64_t monotonicNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

volatile std::sig_atomic_t stallAsked = 0;

// Listens on 127.0.0.1, prints the port, takes one connection and decodes every video frame; prints
// "arrived N T" when the N-th video frame has been read whole (T: monotonic clock, ns) and
// "pictures N W H codec" once it is decoded. SIGUSR1 makes it stop reading for `stallMs` once the
// frame it is reading is whole, with "stalled T" and "resumed T" around the pause.
int receiver(int stallMs) {
    struct sigaction action {};
    action.sa_handler = [](int) { stallAsked = 1; };
    action.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &action, nullptr);
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
    int videoFrames = 0;
    for (;;) {
        if (stallAsked) {
            stallAsked = 0;
            std::printf("stalled %llu\n", (unsigned long long)monotonicNs());
            std::fflush(stdout);
            usleep(useconds_t(stallMs) * 1000);
            std::printf("resumed %llu\n", (unsigned long long)monotonicNs());
        }
        if (!readExactly(fd, header, sizeof header)) break;
        const uint32_t type = qFromBigEndian<quint32>(header + 4), tag = qFromBigEndian<quint32>(header + 8);
        QByteArray payload(qsizetype(qFromBigEndian<quint32>(header + 12)), Qt::Uninitialized);
        if (!readExactly(fd, payload.data(), size_t(payload.size()))) break;
        if (type != 107 && type != 108) continue;
        std::printf("arrived %d %llu\n", ++videoFrames, (unsigned long long)monotonicNs());
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

// Times every picture from the capture seeing its change to the last byte of its frame written, and
// each leg of that road: the capture (change seen to picture delivered), the clock (delivered to handed
// to the encoder), the encoder (handed over to encoded) and the channel (encoded to written).
struct PictureTimes {
    uint64_t seen = 0;                                // when the change was seen (ns); 0: unknown
    double delivered = 0, submitted = 0, encoded = 0; // seconds
};
struct Timeline {
    using Times = PictureTimes;
    std::mutex mutex;
    std::map<const PixelBuffer*, Times> seen;     // picture -> its times so far
    std::map<int64_t, Times> submitted;           // presentation time -> its times so far
    std::vector<double> latencies;                // seconds
    std::vector<double> legs[4];                  // seconds: capture, clock, encoder, channel
    static inline thread_local Times current;     // the change the frame being written shows
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
                                    t_.seen[frame.get()] = {time, now()};
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
            if (it != t_.seen.end()) {
                Timeline::Times times = it->second;
                times.submitted = now();
                t_.submitted[pts.value] = times;
            }
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
                    Timeline::current = it == t->submitted.end() ? Timeline::Times{} : it->second;
                    Timeline::current.encoded = now();
                }
                callback(std::move(context), status, std::move(sample));
                Timeline::current = {};
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

// What the stall measurement needs of both sides, from the writer (agent) and the receiver's lines.
struct StallRecord {
    std::mutex mutex;
    std::vector<uint64_t> written;     // n-th video frame handed to the channel: when (ns)
    std::map<int, uint64_t> arrived;   // n-th video frame read whole by the receiver: when
    std::map<int, uint64_t> decoded;   // ... and decoded
    uint64_t stalled = 0, resumed = 0; // the receiver's pause
};

int agent(const char* self, int argc, char** argv) {
    const bool stallMode = argc > 1 && std::strcmp(argv[1], "--stall") == 0;
    const double stallSeconds = stallMode ? (argc > 2 ? std::atof(argv[2]) : 60) : 0;
    const double movingSeconds = !stallMode && argc > 1 ? std::atof(argv[1]) : 10;
    const double stillSeconds = !stallMode && argc > 2 ? std::atof(argv[2]) : 30;

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
    const pid_t receiverPid = spawn({self, "--receiver", std::to_string(int(stallSeconds * 1000))}, out[1]);
    ::close(out[1]);
    FILE* receiverOut = fdopen(out[0], "r");
    int port = 0;
    if (std::fscanf(receiverOut, "port %d", &port) != 1) die("the receiver did not start");
    std::atomic<int> pictures{0};
    std::atomic<int> receiverErrors{0};
    QSize pictureSize;
    QString codec;
    std::mutex outMutex;
    StallRecord stall;
    std::thread reader([&] {
        char line[256];
        while (std::fgets(line, sizeof line, receiverOut)) {
            int n = 0, w = 0, h = 0;
            char name[32] = {};
            unsigned long long t = 0;
            if (std::sscanf(line, "arrived %d %llu", &n, &t) == 2) {
                std::lock_guard lock(stall.mutex);
                stall.arrived[n] = t;
            } else if (std::sscanf(line, "stalled %llu", &t) == 1) {
                std::lock_guard lock(stall.mutex);
                stall.stalled = t;
            } else if (std::sscanf(line, "resumed %llu", &t) == 1) {
                std::lock_guard lock(stall.mutex);
                stall.resumed = t;
            } else if (std::sscanf(line, "pictures %d %d %d %31s", &n, &w, &h, name) == 4) {
                {
                    std::lock_guard lock(stall.mutex);
                    stall.decoded[n] = monotonicNs();
                }
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
                                       const Timeline::Times times = Timeline::current;
                                       if (type == 107 || type == 108) {
                                           std::lock_guard lock(stall.mutex);
                                           stall.written.push_back(monotonicNs());
                                       }
                                       write(channel, type, tag, payload,
                                             [&timeline, times, done](const OptError& e) {
                                                 if (!e && times.seen) {
                                                     const double written = now();
                                                     const double seen = double(times.seen) / 1e9;
                                                     std::lock_guard lock(timeline.mutex);
                                                     timeline.latencies.push_back(written - seen);
                                                     timeline.legs[0].push_back(times.delivered - seen);
                                                     timeline.legs[1].push_back(times.submitted -
                                                                                times.delivered);
                                                     timeline.legs[2].push_back(times.encoded -
                                                                                times.submitted);
                                                     timeline.legs[3].push_back(written - times.encoded);
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
        for (auto& leg : timeline.legs)
            leg.clear();
    }
    if (stallMode) {
        const double interval = 1.0 / stream.captureFPS();
        const long before = statusKB("VmRSS:");
        kill(receiverPid, SIGUSR1);
        const double start = now();
        std::vector<long> rss; // kB, one sample a second from the stall on
        uint64_t stalledAt = 0, resumedAt = 0;
        int firstNew = 0;         // the place of the first frame written after the receiver read again
        double settledSince = -1; // when that frame had arrived
        while (now() - start < stallSeconds + 180) {
            runEventLoop(1.0);
            rss.push_back(statusKB("VmRSS:"));
            std::lock_guard lock(stall.mutex);
            stalledAt = stall.stalled;
            resumedAt = stall.resumed;
            if (!resumedAt) continue;
            if (!firstNew) {
                auto after = std::upper_bound(stall.written.begin(), stall.written.end(), resumedAt);
                if (after != stall.written.end()) firstNew = int(after - stall.written.begin()) + 1;
            }
            if (firstNew && stall.decoded.count(firstNew) && settledSince < 0) settledSince = now();
            if (settledSince >= 0 && now() - settledSince > 3) break; // a few samples after it
        }
        stopChild(painterPid);
        stream.stopStream();
        channel->close();
        stopChild(receiverPid);
        reader.join();
        fclose(receiverOut);

        const int status = [&] {
            std::printf(
                "stall: Xvfb %dx%d captured at the default scale, %s %dx%d, %.0f frames per second; the "
                "receiver stopped reading for %.0f s\n",
                kWidth, kHeight, qPrintable(codec), pictureSize.width(), pictureSize.height(),
                stream.captureFPS(), stallSeconds);
            std::printf("  resident size each second from the stall on (MB; %.1f MB before it):",
                        before / 1024.0);
            for (size_t i = 0; i < rss.size(); ++i)
                std::printf("%s%.1f", i % 15 ? " " : "\n    ", rss[i] / 1024.0);
            std::printf("\n");
            long highest = before;
            const size_t stalledSamples = std::min(rss.size(), size_t(stallSeconds));
            for (size_t i = 0; i < stalledSamples; ++i)
                highest = std::max(highest, rss[i]);
            std::printf("  while stalled: highest %.1f MB, growth %.1f MB (aim under 10 MB: ratio %.2f)\n",
                        highest / 1024.0, (highest - before) / 1024.0, (highest - before) / 1024.0 / 10);
            if (!stalledAt || !resumedAt || !firstNew || !stall.arrived.count(firstNew)) {
                std::printf("  no picture written after the receiver read again arrived\n");
                return 1;
            }
            int readBefore = 0; // video frames read before the pause
            for (const auto& [n, t] : stall.arrived)
                if (t <= stalledAt) readBefore = std::max(readBefore, n);
            int writtenStalled = 0;
            for (uint64_t t : stall.written)
                if (t > stalledAt && t <= resumedAt) ++writtenStalled;
            const double arrival = double(stall.arrived[firstNew] - resumedAt) / 1e9;
            const double decoded = double(stall.decoded[firstNew] - resumedAt) / 1e9;
            std::printf(
                "  pictures written while stalled: %d; read after the pause before the first new one: %d\n",
                writtenStalled, firstNew - 1 - readBefore);
            std::printf(
                "  first picture encoded after reading again: arrived whole %.1f ms after, decoded %.1f "
                "ms after; arrival / frame interval (%.1f ms) = %.2f\n",
                arrival * 1e3, decoded * 1e3, interval * 1e3, arrival / interval);
            return 0;
        }();
        // Xvfb goes last and the process ends at once: the capture's X connections are still open,
        // and Xlib ends the process when their server goes away.
        std::fflush(stdout);
        stopChild(xvfb);
        std::_Exit(status);
    }
    const int picturesBefore = pictures.load();
    const double movingStart = now();
    runEventLoop(movingSeconds);
    const double movingElapsed = now() - movingStart;
    const double fps = (pictures.load() - picturesBefore) / movingElapsed;
    std::vector<double> latencies, legs[4];
    {
        std::lock_guard lock(timeline.mutex);
        latencies = timeline.latencies;
        for (int i = 0; i < 4; ++i)
            legs[i] = timeline.legs[i];
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
    std::printf("    legs, median (99th percentile): capture %.1f (%.1f) ms, clock %.1f (%.1f) ms, "
                "encoder %.1f (%.1f) ms, channel %.1f (%.1f) ms\n",
                percentile(legs[0], 0.5) * 1e3, percentile(legs[0], 0.99) * 1e3, percentile(legs[1], 0.5) * 1e3,
                percentile(legs[1], 0.99) * 1e3, percentile(legs[2], 0.5) * 1e3, percentile(legs[2], 0.99) * 1e3,
                percentile(legs[3], 0.5) * 1e3, percentile(legs[3], 0.99) * 1e3);
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
    if (argc > 1 && std::strcmp(argv[1], "--painter") == 0)
        return painter(argc > 2 ? argv[2] : nullptr, argc > 3 ? std::atof(argv[3]) : 60);
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--receiver") == 0)
        return receiver(argc > 2 ? std::atoi(argv[2]) : 0);
    if (access("/usr/bin/Xvfb", X_OK) != 0) {
        std::printf("bench_stream: skipped, no Xvfb\n");
        return 0;
    }
    return agent("/proc/self/exe", argc, argv);
}
