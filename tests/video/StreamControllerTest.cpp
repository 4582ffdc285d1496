#include "video/StreamController.h"

#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeDisplayStream.h"
#include "fakes/FakeEncoderServices.h"
#include "fakes/FakeStreamHost.h"
#include "fakes/FakeSystemInfo.h"
#include "fakes/ManualClock.h"
#include "fakes/MapStreamDefaults.h"
#include "fakes/TestSupport.h"
#include "video/AppleVTCompressor.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

namespace {

// Records what the stream asks of the display's power.
struct RecordingPower {
    std::vector<bool> calls;
    QString reason;
    bool preventDisplaySleep(bool prevent, const QString& why) {
        calls.push_back(prevent);
        reason = why;
        return true;
    }
};

QVariantMap liveResource() {
    return {{QStringLiteral("selectedVideoType"), QStringLiteral("Desktop")},
            {QStringLiteral("captureWidth"), 1920},
            {QStringLiteral("captureHeight"), 1080},
            {QStringLiteral("captureVideoAverageBitrate"), 8000},
            {QStringLiteral("captureVideoMaxKeyframeInterval"), 60},
            {QStringLiteral("use_cbr"), true},
            {QStringLiteral("captureFPS"), 24.0},
            {QStringLiteral("selectedCompressorType"), QStringLiteral("AppleVTCompressor")}};
}

class StreamControllerTest : public ::testing::Test {
protected:
    StreamControllerTest() {
        displays.addDisplay({.id = 5, .bounds = QRectF(0, 0, 1024, 768), .name = QStringLiteral("Main")});
        encoders->encoders = {{{kEncoderListEncoderID, QStringLiteral("x264")},
                               {kEncoderListEncoderName, QStringLiteral("H.264")}}};
    }
    ~StreamControllerTest() override { controller.reset(); }

    StreamController& make(QVariantMap resource = liveResource()) {
        controller = std::make_unique<StreamController>(
            StreamController::Services{
                streams, displays, system, defaults,
                [this](bool p, const QString& r) { return power.preventDisplaySleep(p, r); }, encoders,
                writer, resource},
            &host);
        return *controller;
    }
    // Starts a stream on display 5 with one captured picture, the clock asleep after the first frame.
    StreamController& streaming() {
        StreamController& c = make();
        c.resetResolution(5);
        streams.last()->deliver(DisplayStream::kFrameComplete, streams.last()->picture(1));
        c.startStream();
        EXPECT_TRUE(clock.waitForSleepers(1));
        return c;
    }
    std::vector<MediaTime> pts() const {
        auto session = encoders->lastSession();
        return session ? session->pts : std::vector<MediaTime>{};
    }
    // Moves time by `seconds` and waits until the frame clock sleeps again.
    void tick(double seconds) {
        clock.advance(seconds);
        ASSERT_TRUE(clock.waitForSleepers(1));
    }

    ManualClock clock;
    FakeDisplayServices displays;
    FakeDisplayStreamFactory streams;
    FakeSystemInfo system;
    MapStreamDefaults defaults;
    RecordingPower power;
    std::shared_ptr<FakeEncoderServices> encoders = std::make_shared<FakeEncoderServices>();
    FakeStreamHost host;
    // How pictures leave; empty: the channel's own send (no channel is linked in most tests).
    OutputDestination::FrameWriter writer;
    std::unique_ptr<StreamController> controller;
};

TEST_F(StreamControllerTest, SettingsMakeTheDefaultCompressorAndBindItToTheOneDestination) {
    StreamController& c = make();
    auto* vt = qobject_cast<AppleVTCompressor*>(c.compressors().value(QStringLiteral("AppleVT")).get());
    ASSERT_TRUE(vt);
    EXPECT_EQ(vt->average_bitrate(), 8000);
    EXPECT_EQ(vt->keyframe_interval(), 60);
    EXPECT_EQ(vt->width(), 1920);
    EXPECT_TRUE(vt->use_cbr());
    ASSERT_EQ(c.captureDestinations().size(), 1u);
    EXPECT_EQ(c.captureDestinations().front()->compressor().get(), vt);
    EXPECT_EQ(c.activeCompressor(), vt);
    EXPECT_EQ(c.resolutionOption(), QStringLiteral("None"));
}

TEST_F(StreamControllerTest, FirstLaunchStoresThirtyFramesAndStandardResolutionOnlyForALargeFirstScreen) {
    displays.removeDisplay(5);
    displays.addDisplay({.id = 7, .bounds = QRectF(0, 0, 2560, 1440), .name = QStringLiteral("Big")});
    EXPECT_EQ(make().captureFPS(), 30.0);
    EXPECT_EQ(defaults.doubleForKey(QStringLiteral("FPS")), 30.0);
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("zubPadNoRetina")));

    MapStreamDefaults fresh;
    displays.setBounds(7, QRectF(0, 0, 1920, 1080));
    controller = std::make_unique<StreamController>(
        StreamController::Services{streams, displays, system, fresh, {}, encoders, {}, liveResource()},
        &host);
    EXPECT_EQ(fresh.doubleForKey(QStringLiteral("FPS")), 30.0);
    EXPECT_FALSE(fresh.containsKey(QStringLiteral("zubPadNoRetina")));

    defaults.setDouble(60, QStringLiteral("FPS")); // a later launch keeps the stored rate
    EXPECT_DOUBLE_EQ(make().frameInterval(), 1.0 / 60);
}

TEST_F(StreamControllerTest, CompressorsWithTheSameNameAreNumbered) {
    StreamController& c = make();
    auto second = std::make_shared<AppleVTCompressor>(encoders);
    second->setName(QStringLiteral("AppleVT"));
    auto third = std::make_shared<AppleVTCompressor>(encoders);
    third->setName(QStringLiteral("AppleVT"));
    EXPECT_EQ(c.addCompressor(second), QStringLiteral("AppleVT#1"));
    EXPECT_EQ(c.addCompressor(third), QStringLiteral("AppleVT#2"));
    EXPECT_EQ(third->name(), QStringLiteral("AppleVT#2"));
    EXPECT_EQ(c.compressorNamed(QStringLiteral("AppleVT#1")), second);
    EXPECT_EQ(c.compressors().size(), 3);
}

TEST_F(StreamControllerTest, TheFrameIntervalFollowsTheCaptureRate) {
    StreamController& c = make();
    c.videoCaptureSession()->setVideoCaptureFPS(60);
    EXPECT_DOUBLE_EQ(c.frameInterval(), 1.0 / 60);
    c.videoCaptureSession()->setVideoCaptureFPS(30);
    EXPECT_DOUBLE_EQ(c.frameInterval(), 1.0 / 30);
    c.videoCaptureSession()->setVideoCaptureFPS(0);
    EXPECT_DOUBLE_EQ(c.frameInterval(), 0.016666666666666666);
}

TEST_F(StreamControllerTest, AResolutionResetAnnouncesTwiceThePointsUnlessStandardResolutionIsAsked) {
    StreamController& c = make();
    c.resetResolution(0);
    EXPECT_TRUE(host.sent().isEmpty());
    EXPECT_EQ(streams.creations(), 0) << "display 0 is no display: nothing happens";

    c.resetResolution(5);
    EXPECT_EQ(host.sent(), QStringList{QStringLiteral("size:2048x1536")});
    EXPECT_EQ(c.prevSize(), QSize(2048, 1536));
    ASSERT_EQ(streams.creations(), 1);
    EXPECT_EQ(streams.last()->width, 2048);
    EXPECT_TRUE(streams.last()->properties.showCursor == false) << "the device draws the cursor";

    host.clear();
    defaults.setBool(true, QStringLiteral("zubPadNoRetina"));
    c.resetResolution(5);
    EXPECT_EQ(host.sent(), QStringList{QStringLiteral("size:1024x768")});

    host.clear();
    c.resetResolution(99);
    EXPECT_TRUE(host.sent().isEmpty()) << "an unknown display gets no size";

    // Mirroring at standard resolution: the size announced is the size of the pictures captured.
    host.clear();
    defaults.setBool(false, QStringLiteral("zubPadNoRetina"));
    defaults.setBool(true, QStringLiteral("cloneDisplay"));
    defaults.setBool(true, QStringLiteral("cloneNoRetina"));
    c.resetResolution(5);
    EXPECT_EQ(host.sent(), QStringList{QStringLiteral("size:1024x768")});
    EXPECT_EQ(streams.last()->width, 1024);
}

TEST_F(StreamControllerTest, OlderDevicesStartBySelfAfterTheSizeAndNewerOnesWaitForReady) {
    StreamController& c = make();
    host.protocolVersion = QStringLiteral("1.0.8");
    c.resetResolution(5);
    clock.advance(0.39);
    EXPECT_FALSE(c.captureRunning());
    clock.advance(0.01);
    EXPECT_TRUE(c.captureRunning()) << "0.4 s after the size over USB";
    EXPECT_EQ(host.sent(), (QStringList{QStringLiteral("size:2048x1536"), QStringLiteral("startStream:0")}));
    c.stopStream();

    host.air = true;
    c.resetResolution(5);
    clock.advance(0.45);
    EXPECT_FALSE(c.captureRunning());
    clock.advance(0.05);
    EXPECT_TRUE(c.captureRunning()) << "0.5 s over the network";
    c.stopStream();

    host.air = false;
    c.resetResolution(5);
    clock.advance(0.2);
    c.resetStream(); // the device went before its stream started
    clock.advance(1);
    EXPECT_FALSE(c.captureRunning()) << "no stream for a device that is gone";

    host.protocolVersion = QStringLiteral("1.0.9");
    c.resetResolution(5);
    clock.advance(5);
    EXPECT_FALSE(c.captureRunning()) << "1.0.9 says ReadyToReceive itself";
}

TEST_F(StreamControllerTest, StartAndStopTalkToTheDeviceThePowerAndTheCursor) {
    defaults.setBool(true, QStringLiteral("preventDisplaySleep"));
    StreamController& c = make();
    c.resetResolution(5);
    host.clear();
    EXPECT_TRUE(c.startStream());
    EXPECT_TRUE(c.startStream()) << "a second start is a no-op";
    EXPECT_EQ(host.sent(), QStringList{QStringLiteral("startStream:0")});
    EXPECT_EQ(host.registered, 1);
    EXPECT_EQ(power.calls, std::vector<bool>{true});
    EXPECT_EQ(power.reason, StreamController::kActivityReason);
    EXPECT_TRUE(c.captureDestinations().front()->active());
    EXPECT_EQ(c.streamsActiveCount(), 1);
    auto* vt = c.activeCompressor();
    EXPECT_EQ(vt->peerHardwareString(), QStringLiteral("iPad7,3"));
    EXPECT_EQ(vt->settingsController(), &c);

    c.stopStream();
    EXPECT_FALSE(c.captureRunning());
    EXPECT_EQ(host.sent().last(), QStringLiteral("stopStream"));
    EXPECT_EQ(power.calls, (std::vector<bool>{true, false}));
    EXPECT_GE(host.unregistered, 1);
    EXPECT_TRUE(c.captureDestinations().front()->stopped());

    host.clear();
    c.stopStream();
    EXPECT_TRUE(host.sent().isEmpty()) << "stopping a stopped stream says nothing";

    c.startStream();
    host.clear();
    c.resetStream();
    EXPECT_TRUE(host.sent().isEmpty()) << "the device is gone: nothing is sent";
    EXPECT_FALSE(c.captureRunning());
}

TEST_F(StreamControllerTest, TheFirstFrameHasTimeZeroAndLaterOnesFollowAbsoluteDeadlines) {
    streaming();
    ASSERT_EQ(pts().size(), 1u) << "the first picture goes out at once";
    EXPECT_EQ(pts()[0].value, 0);
    EXPECT_EQ(pts()[0].timescale, 1000000);
    EXPECT_EQ(encoders->lastSession()->durations[0].value, 1000);
    EXPECT_EQ(encoders->lastSession()->durations[0].timescale, 30000);

    tick(1.0 / 30);
    ASSERT_EQ(pts().size(), 2u);
    EXPECT_EQ(pts()[1].value, 33333);
    // Keep the picture fresh and run to 1.5 s: 45 slots in all.
    for (int i = 2; i <= 45; ++i) {
        if (i % 10 == 0)
            streams.last()->deliver(DisplayStream::kFrameComplete, streams.last()->picture(uint8_t(i)));
        tick(1.0 / 30);
    }
    ASSERT_EQ(pts().size(), 46u);
    EXPECT_NEAR(double(pts()[45].value), 1500000, 1) << "scheduled 1.5 s after the first";
}

TEST_F(StreamControllerTest, ALateClockSkipsTheSlotsItMissedInsteadOfSendingABurst) {
    streaming();
    tick(3.5 / 30); // wakes for slot 1 late; slots 2 and 3 have passed
    ASSERT_EQ(pts().size(), 2u);
    EXPECT_EQ(pts()[1].value, 33333);
    tick(0.6 / 30);
    ASSERT_EQ(pts().size(), 3u);
    EXPECT_EQ(pts()[2].value, 133333) << "slot 4 keeps its place on the schedule";
}

TEST_F(StreamControllerTest, AStillDisplayDropsTheClockToIdleAndTheNextPictureGoesOutAtOnce) {
    StreamController& c = streaming();
    for (int i = 0; i < 25; ++i)
        tick(1.0 / 30);
    EXPECT_DOUBLE_EQ(c.frameInterval(), 1.0 / 30);
    for (int i = 0; i < 10; ++i) // the picture becomes a second old
        tick(1.0 / 30);
    EXPECT_DOUBLE_EQ(c.frameInterval(), StreamController::kIdleInterval);
    const size_t sent = pts().size();
    for (int i = 0; i < 10; ++i)
        tick(0.1);
    EXPECT_EQ(pts().size(), sent) << "idle: nothing is encoded";

    streams.last()->deliver(DisplayStream::kFrameComplete, streams.last()->picture(2));
    tick(0.1);
    EXPECT_DOUBLE_EQ(c.frameInterval(), 1.0 / 30) << "the earlier interval is back";
    ASSERT_EQ(pts().size(), sent + 1) << "the fresh picture went out when seen";
    tick(1.0 / 30);
    EXPECT_EQ(pts().size(), sent + 2);
}

int frameClockThreads() {
    int n = 0;
    for (const QString& task :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().startsWith("ZubDisplay.capt")) ++n;
    }
    return n;
}

TEST_F(StreamControllerTest, StopWhileTheClockSleepsEndsTheLoopBeforeReturningWithoutWaitingForTheDeadline) {
    StreamController& c = streaming();
    EXPECT_EQ(frameClockThreads(), 1) << "the clock runs on its own thread";
    c.stopStream(); // no time passes: the sleep is cut short
    EXPECT_EQ(frameClockThreads(), 0) << "the loop has ended when stop returns";
    EXPECT_EQ(clock.sleeperCount(), 0u);
    EXPECT_TRUE(encoders->lastSession()->invalidated);
    EXPECT_EQ(pts().size(), 1u);
}

TEST_F(StreamControllerTest, StopWaitsForAFrameBeingEncodedBeforeTheCompressorIsReset) {
    std::atomic<bool> open{false};
    std::atomic<int> encoding{0};
    std::atomic<bool> released{false};
    std::atomic<bool> resetBeforeRelease{false};
    encoders->produce = [&](const PixelBuffer&) {
        if (++encoding == 2) {
            while (!open) // the second frame stays in the encoder until the test lets go
                std::this_thread::yield();
            if (encoders->lastSession()->invalidated) resetBeforeRelease = true;
        }
        return makeSample(100);
    };
    StreamController& c = streaming();
    clock.advance(1.0 / 30); // the second frame starts and blocks in the encoder
    ASSERT_TRUE(waitUntil([&] { return encoding.load() == 2; }));
    std::thread releaser([&] {
        while (c.captureRunning())
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        released = true;
        open = true;
    });
    c.stopStream();
    EXPECT_TRUE(released.load()) << "stop returned while a frame was still in the encoder";
    releaser.join();
    EXPECT_FALSE(resetBeforeRelease.load()) << "the session was torn down under a frame being encoded";
    EXPECT_TRUE(encoders->lastSession()->invalidated);
}

TEST_F(StreamControllerTest, AStreamStoppedByTheDeviceCapturesAgainWhenTheDeviceIsReady) {
    StreamController& c = streaming();
    c.stopStream(); // "ErrorDecoding": the display stream stops too
    ASSERT_EQ(streams.creations(), 1);
    EXPECT_GE(streams.last()->stops.load(), 1);

    c.startStream(); // "ReadyToReceive"
    ASSERT_EQ(streams.creations(), 2) << "the display is captured again";
    EXPECT_EQ(streams.last()->starts.load(), 1);
    streams.last()->deliver(DisplayStream::kFrameComplete, streams.last()->picture(4));
    tick(1.0 / 30);
    tick(1.0 / 30);
    EXPECT_FALSE(pts().empty()) << "pictures flow again";
    c.stopStream();
}

// A device that stops reading must cost neither memory nor latency: at most two pictures are in
// flight, the clock skips meanwhile, and once the channel drains the newest picture goes out at the
// next slot as a key frame, also when the screen has been still since.
TEST_F(StreamControllerTest, AChannelThatIsBehindIsNotFedAndTheNextPictureAfterItIsAKeyFrame) {
    std::mutex mutex;
    std::vector<OutputDestination::Completion> held; // writes the device has not taken yet
    writer = [&](const std::shared_ptr<PTChannel>&, uint32_t, uint32_t, const QByteArray&,
                 OutputDestination::Completion done) {
        std::lock_guard lock(mutex);
        held.push_back(std::move(done));
    };
    StreamController& c = make();
    c.resetResolution(5);
    const std::shared_ptr<PTChannel> channel{reinterpret_cast<PTChannel*>(0x1), [](PTChannel*) {}};
    c.activeCompressor()->setPtChannel(channel);
    c.captureDestinations().back()->setChannel(1);
    streams.last()->deliver(DisplayStream::kFrameComplete, streams.last()->picture(1));
    c.startStream();
    ASSERT_TRUE(clock.waitForSleepers(1));
    for (int i = 0; i < 15; ++i) {
        streams.last()->deliver(DisplayStream::kFrameComplete, streams.last()->picture(uint8_t(i + 2)));
        tick(1.0 / 30);
    }
    for (int i = 0; i < 60; ++i) // two seconds of a still screen
        tick(1.0 / 30);
    std::vector<OutputDestination::Completion> written;
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(held.size(), size_t(OutputDestination::kMaxFramesInFlight));
        written.swap(held);
    }
    EXPECT_EQ(pts().size(), size_t(OutputDestination::kMaxFramesInFlight)) << "the encoder is not fed";
    EXPECT_TRUE(encoders->lastSession()->keyFrames.empty());

    for (auto& done : written) // the device reads again
        done(std::nullopt);
    tick(1.0 / 30);
    ASSERT_EQ(pts().size(), size_t(OutputDestination::kMaxFramesInFlight) + 1);
    EXPECT_EQ(encoders->lastSession()->keyFrames, std::vector<size_t>{pts().size() - 1});
    c.stopStream();
}

} // namespace
