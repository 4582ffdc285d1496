#include "video/StreamController.h"

#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeDisplayStream.h"
#include "fakes/FakeEncoderServices.h"
#include "fakes/FakeStreamHost.h"
#include "fakes/FakeSystemInfo.h"
#include "fakes/ManualClock.h"
#include "fakes/MapStreamDefaults.h"
#include "fakes/TestSupport.h"
#include "link/PTChannel.h"
#include "video/AppleVTCompressor.h"

#include <QStringList>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>

namespace {

constexpr double kInterval = 1.0 / 30;

class StreamControllerTest : public ::testing::Test {
protected:
    StreamControllerTest() {
        displays.addDisplay({.id = 5, .bounds = QRectF(0, 0, 1024, 768), .name = QStringLiteral("Main")});
        encoders->encoders = {{{kEncoderListEncoderID, QStringLiteral("x264")},
                               {kEncoderListEncoderName, QStringLiteral("H.264")}}};
    }
    ~StreamControllerTest() override { controller.reset(); }

    StreamController& make(MapStreamDefaults& settings) {
        controller = std::make_unique<StreamController>(
            StreamController::Services{streams, displays, system, settings,
                                       [this](bool p, const QString& r) {
                                           power << QStringLiteral("%1 %2").arg(p).arg(r);
                                           return true;
                                       },
                                       encoders, writer, QVariantMap{{"selectedVideoType", "Desktop"}}},
            &host);
        return *controller;
    }
    StreamController& make() { return make(defaults); }
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
    // Moves time by `intervals` frame intervals and waits until the frame clock sleeps again.
    void tick(double intervals) {
        clock.advance(intervals * kInterval);
        ASSERT_TRUE(clock.waitForSleepers(1));
    }
    // The capture stores a new picture; waits until the frame clock, woken by it, sleeps again.
    void show(uint8_t fill) {
        streams.last()->deliver(DisplayStream::kFrameComplete, streams.last()->picture(fill));
        ASSERT_TRUE(clock.waitForSleepers(1));
    }

    ManualClock clock;
    FakeDisplayServices displays;
    FakeDisplayStreamFactory streams;
    FakeSystemInfo system;
    MapStreamDefaults defaults;
    QStringList power;
    std::shared_ptr<FakeEncoderServices> encoders = std::make_shared<FakeEncoderServices>();
    FakeStreamHost host;
    // How pictures leave; empty: the channel's own send (no channel is linked in most tests).
    OutputDestination::FrameWriter writer;
    std::unique_ptr<StreamController> controller;
};

// The first launch stores 30 frames a second, and standard resolution only for a first screen larger than
// 2048x1152; a later launch keeps the stored rate. Compressors of one name are told apart by a number.
TEST_F(StreamControllerTest, FirstLaunchStoresThirtyFramesAndStandardResolutionOnlyForALargeFirstScreen) {
    displays.setBounds(5, QRectF(0, 0, 2560, 1440));
    EXPECT_EQ(make().captureFPS(), 30.0);
    EXPECT_EQ(defaults.doubleForKey(QStringLiteral("FPS")), 30.0);
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("zubPadNoRetina")));
    MapStreamDefaults fresh;
    displays.setBounds(5, QRectF(0, 0, 1920, 1080));
    make(fresh);
    EXPECT_EQ(fresh.doubleForKey(QStringLiteral("FPS")), 30.0);
    EXPECT_FALSE(fresh.containsKey(QStringLiteral("zubPadNoRetina")));
    defaults.setDouble(24, QStringLiteral("FPS"));
    StreamController& c = make();
    EXPECT_DOUBLE_EQ(c.frameInterval(), 1.0 / 24);
}

// The device is told the size of the pictures it will get: twice the points, unless the user asked for
// standard resolution ("zubPadNoRetina", or "cloneNoRetina" while mirroring), of the whole display, with
// the cursor left out (the device draws it). Display 0 and a display that is not there get nothing.
TEST_F(StreamControllerTest, TheSizeAnnouncedIsTheSizeCapturedWhichFollowsTheResolutionSettings) {
    const struct {
        bool cloneDisplay, cloneNoRetina, zubPadNoRetina;
        int width, height;
    } cases[] = {
        {false, false, false, 2048, 1536}, {false, false, true, 1024, 768}, {false, true, false, 2048, 1536},
        {true, false, true, 2048, 1536},   {true, true, false, 1024, 768},
    };
    StreamController& c = make();
    c.resetResolution(0);
    c.resetResolution(99);
    EXPECT_TRUE(host.sent().isEmpty());
    EXPECT_EQ(streams.creations(), 0);
    for (const auto& row : cases) {
        defaults.setBool(row.cloneDisplay, QStringLiteral("cloneDisplay"));
        defaults.setBool(row.cloneNoRetina, QStringLiteral("cloneNoRetina"));
        defaults.setBool(row.zubPadNoRetina, QStringLiteral("zubPadNoRetina"));
        host.clear();
        c.resetResolution(5);
        const QString size = QStringLiteral("size:%1x%2").arg(row.width).arg(row.height);
        EXPECT_EQ(host.sent(), QStringList{size});
        const auto stream = streams.last();
        ASSERT_TRUE(stream);
        EXPECT_EQ(QStringLiteral("size:%1x%2").arg(stream->width).arg(stream->height), size);
        EXPECT_EQ(stream->source, QRect(0, 0, 1024, 768));
        EXPECT_EQ(stream->display, 5u);
        EXPECT_FALSE(stream->properties.showCursor);
    }
}

// Devices before protocol 1.0.9 never say "ReadyToReceive": their stream starts by itself 0.4 s after the
// size over USB, 0.5 s over the network, unless the device went meanwhile.
TEST_F(StreamControllerTest, OlderDevicesStartBySelfAfterTheSizeAndNewerOnesWaitForReady) {
    StreamController& c = make();
    const struct {
        const char* protocol;
        bool air, goneMeanwhile;
        double before, after; // not started yet, started
    } cases[] = {
        {"1.0.8", false, false, 0.39, 0.401},
        {"1.0.8", true, false, 0.45, 0.501},
        {"1.0.8", false, true, 0.2, 5},
        {"1.0.9", false, false, 0.4, 5},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.protocol + std::string(row.air ? " air" : "") + (row.goneMeanwhile ? " gone" : ""));
        host.protocolVersion = QString::fromLatin1(row.protocol);
        host.air = row.air;
        c.resetResolution(5);
        clock.advance(row.before);
        EXPECT_FALSE(c.captureRunning());
        if (row.goneMeanwhile) c.resetStream();
        clock.advance(row.after - row.before);
        EXPECT_EQ(c.captureRunning(), row.protocol == QLatin1String("1.0.8") && !row.goneMeanwhile);
        c.stopStream();
    }
}

// A start tells the device, keeps the display awake when asked and watches the cursor; a second start
// changes nothing. A stop undoes each of them once; a stream reset for a device that went says nothing.
TEST_F(StreamControllerTest, StartAndStopTalkToTheDeviceThePowerAndTheCursor) {
    defaults.setBool(true, QStringLiteral("preventDisplaySleep"));
    StreamController& c = make();
    c.resetResolution(5);
    host.clear();
    EXPECT_TRUE(c.startStream());
    EXPECT_TRUE(c.startStream());
    EXPECT_EQ(host.sent(), QStringList{QStringLiteral("startStream:0")});
    EXPECT_EQ(host.registered, 1);
    EXPECT_EQ(power, QStringList{"1 " + StreamController::kActivityReason});
    EXPECT_TRUE(c.captureDestinations().front()->active());
    EXPECT_EQ(c.activeCompressor()->peerHardwareString(), QStringLiteral("iPad7,3"));

    c.stopStream();
    c.stopStream();
    EXPECT_FALSE(c.captureRunning());
    EXPECT_EQ(host.sent(), (QStringList{QStringLiteral("startStream:0"), QStringLiteral("stopStream")}));
    EXPECT_EQ(power.size(), 2);
    EXPECT_TRUE(power.last().startsWith("0 "));
    EXPECT_GE(host.unregistered, 1);
    EXPECT_TRUE(c.captureDestinations().front()->stopped());

    c.startStream();
    host.clear();
    c.resetStream();
    EXPECT_TRUE(host.sent().isEmpty()) << "the device is gone: nothing is sent";
    EXPECT_FALSE(c.captureRunning());
}

// The frame clock, played step by step: "p" the capture stores a new picture, "+x" time moves by x
// intervals, "=n" n pictures have been encoded so far. At the end, the times stamped on the pictures,
// in intervals after the first. The first picture goes out at once with time 0; later ones follow
// absolute deadlines; a picture before its slot waits for it, one arriving after its slot is due goes
// out at once and the schedule follows it; a slot with nothing new gets the unchanged picture once its
// window has closed unused; a clock that wakes late skips the slots it missed instead of a burst.
TEST_F(StreamControllerTest, TheFrameClockFollowsItsDeadlinesAndThePicturesArrivals) {
    QString steady;
    for (int i = 2; i <= 45; ++i)
        steady += QStringLiteral(" p +1");
    std::vector<double> everySlot;
    for (int i = 0; i <= 46; ++i)
        everySlot.push_back(i);
    const struct {
        const char* what;
        QString steps;
        std::vector<double> times;
    } cases[] = {
        {"a new picture for every slot for 1.5 s, then none", "p =1 +1 =2" + steady + " =46 +1 =46 +1 =47",
         everySlot},
        {"a picture arriving after its slot", "+1 +0.4 =1 p =2 p =2 +0.6 =2 +0.4 =3", {0, 1.4, 2.4}},
        {"a clock that wakes late", "+3.5 =2 +0.6 =3", {0, 1, 3}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        streaming();
        uint8_t fill = 1;
        for (const QString& step : c.steps.split(u' ', Qt::SkipEmptyParts)) {
            SCOPED_TRACE(step.toStdString());
            if (step == u"p") {
                ASSERT_NO_FATAL_FAILURE(show(++fill));
            } else if (step.startsWith(u'+')) {
                ASSERT_NO_FATAL_FAILURE(tick(step.mid(1).toDouble()));
            } else {
                ASSERT_EQ(pts().size(), step.mid(1).toULongLong());
            }
        }
        const std::vector<MediaTime> sent = pts();
        ASSERT_EQ(sent.size(), c.times.size());
        for (size_t i = 0; i < sent.size(); ++i)
            EXPECT_NEAR(double(sent[i].value), c.times[i] * kInterval * 1e6, 1) << "picture " << i;
        EXPECT_EQ(sent[0].timescale, 1000000);
        EXPECT_EQ(encoders->lastSession()->durations[0].value, 1000);
        EXPECT_EQ(encoders->lastSession()->durations[0].timescale, 30000);
        controller.reset();
    }
}

// Arrivals at uneven gaps (in intervals), two within one interval at times, none for two at others;
// time moves in tenths of an interval, so the clock is never late by more.
TEST_F(StreamControllerTest, PicturesArrivingAtAnyPaceGoOutAnIntervalApartAtLeast) {
    streaming();
    const double gaps[] = {0.31, 0.47, 1.73, 0.17, 0.93, 2.21, 0.61, 1.13};
    uint8_t fill = 1;
    for (int round = 0; round < 3; ++round)
        for (double gap : gaps) {
            for (int step = 0; step < int(gap * 10); ++step)
                tick(0.1);
            tick(gap - int(gap * 10) * 0.1);
            show(++fill);
        }
    const std::vector<MediaTime> sent = pts();
    int atArrival = 0;
    for (size_t i = 1; i < sent.size(); ++i) {
        EXPECT_GE(sent[i].value - sent[i - 1].value, 33333) << "pictures " << i - 1 << " and " << i;
        const double apart = double(sent[i].value - sent[i - 1].value) / 1e6 / kInterval;
        if (std::abs(apart - std::round(apart)) > 0.001) ++atArrival;
    }
    EXPECT_EQ(sent.size(), 21u) << "the first picture and one for each slot that came";
    EXPECT_EQ(atArrival, 6) << "pictures that found their slot due went out as they arrived";
}

// A picture a second old drops the clock to its idle interval, which encodes nothing; the next picture
// goes out at once and brings the earlier interval back.
TEST_F(StreamControllerTest, AStillDisplayDropsTheClockToIdleAndTheNextPictureGoesOutAtOnce) {
    StreamController& c = streaming();
    for (int i = 0; i < 25; ++i)
        tick(1);
    EXPECT_DOUBLE_EQ(c.frameInterval(), kInterval);
    for (int i = 0; i < 10; ++i)
        tick(1);
    EXPECT_DOUBLE_EQ(c.frameInterval(), StreamController::kIdleInterval);
    const size_t sent = pts().size();
    for (int i = 0; i < 10; ++i)
        tick(3);
    EXPECT_EQ(pts().size(), sent);
    show(2);
    EXPECT_DOUBLE_EQ(c.frameInterval(), kInterval);
    ASSERT_EQ(pts().size(), sent + 1);
    show(3);
    tick(1);
    EXPECT_EQ(pts().size(), sent + 2);
}

// A stop cuts the clock's sleep short and returns once its loop has ended; a frame being encoded meanwhile
// finishes before the compressor is reset. A stream the device stopped captures again on its next start.
TEST_F(StreamControllerTest, StopEndsTheClockWithoutWaitingForItsDeadlineOrTearingDownAFrame) {
    std::atomic<bool> open{true};
    std::atomic<int> encoding{0};
    std::atomic<bool> released{false}, resetBeforeRelease{false};
    encoders->produce = [&](const PixelBuffer&) {
        ++encoding;
        while (!open) // the frame stays in the encoder until the test lets go
            std::this_thread::yield();
        if (encoders->lastSession()->invalidated) resetBeforeRelease = true;
        return makeSample(100);
    };
    StreamController& c = streaming();
    c.stopStream(); // no time passes: the sleep is cut short
    EXPECT_EQ(clock.sleeperCount(), 0u) << "the loop has ended when stop returns";
    EXPECT_TRUE(encoders->lastSession()->invalidated);
    EXPECT_EQ(streams.last()->stops.load(), 1);

    c.startStream(); // "ReadyToReceive" after "ErrorDecoding"
    ASSERT_EQ(streams.creations(), 2) << "the display is captured again";
    EXPECT_EQ(streams.last()->starts.load(), 1);
    open = false;
    show(2);
    const int before = encoding.load();
    clock.advance(kInterval); // the frame starts and blocks in the encoder
    ASSERT_TRUE(waitUntil([&] { return encoding.load() == before + 1; }));
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
    const std::shared_ptr<PTChannel> channel = PTChannel::channelWithDelegate(nullptr);
    c.activeCompressor()->setPtChannel(channel);
    c.captureDestinations().back()->setChannel(1);
    streams.last()->deliver(DisplayStream::kFrameComplete, streams.last()->picture(1));
    c.startStream();
    ASSERT_TRUE(clock.waitForSleepers(1));
    for (int i = 0; i < 15; ++i) {
        show(uint8_t(i + 2));
        tick(1);
    }
    for (int i = 0; i < 60; ++i) // two seconds of a still screen
        tick(1);
    std::vector<OutputDestination::Completion> written;
    {
        std::lock_guard lock(mutex);
        written.swap(held);
    }
    EXPECT_EQ(written.size(), size_t(OutputDestination::kMaxFramesInFlight));
    EXPECT_EQ(pts().size(), size_t(OutputDestination::kMaxFramesInFlight)) << "the encoder is not fed";
    EXPECT_TRUE(encoders->lastSession()->keyFrames.empty());
    for (auto& done : written) // the device reads again
        done(std::nullopt);
    tick(1);
    ASSERT_EQ(pts().size(), size_t(OutputDestination::kMaxFramesInFlight) + 1);
    EXPECT_EQ(encoders->lastSession()->keyFrames, std::vector<size_t>{pts().size() - 1});
    c.stopStream();
}

} // namespace
