#include "video/DesktopCapture.h"

#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeDisplayStream.h"
#include "fakes/FakeSystemInfo.h"
#include "fakes/ManualClock.h"
#include "fakes/TestSupport.h"

#include <QStringList>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

namespace {

// Collects what the capture logs.
struct LogCapture {
    static inline QStringList lines;
    QtMessageHandler previous;
    LogCapture() {
        lines.clear();
        previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext&, const QString& text) { lines << text; });
    }
    ~LogCapture() { qInstallMessageHandler(previous); }
};

class DesktopCaptureTest : public ::testing::Test {
protected:
    DesktopCaptureTest() {
        displays.addDisplay({.id = 5, .bounds = QRectF(0, 0, 1366, 1024), .name = QStringLiteral("Main")});
        displays.addDisplay({.id = 9, .bounds = QRectF(1366, 0, 1024, 768), .name = QStringLiteral("Side")});
    }

    DesktopCapture::Services services() {
        return {streams, displays, system, [this](const QString& key) { return defaults[key]; }};
    }
    // A device naming display `id`, as the session looks it up.
    static std::optional<AbstractCaptureDevice> display(DisplayID id) {
        return AbstractCaptureDevice(QString(), id, AbstractCaptureDevice::uniqueIDForDisplay(id));
    }

    ManualClock clock;
    FakeDisplayServices displays;
    FakeDisplayStreamFactory streams;
    FakeSystemInfo system;
    std::map<QString, bool> defaults;
};

TEST_F(DesktopCaptureTest, ThePictureIsTwiceThePointsUnlessTheUserDefaultsAskForStandardResolution) {
    struct Case {
        bool cloneDisplay, cloneNoRetina, zubPadNoRetina;
        int width, height;
    } cases[] = {
        {false, false, false, 2732, 2048}, // nothing stored: Retina
        {false, false, true, 1366, 1024},  {false, true, false, 2732, 2048},
        {true, false, true, 2732, 2048}, // mirroring: zubPadNoRetina is not asked
        {true, true, false, 1366, 1024},
    };
    for (const Case& c : cases) {
        defaults = {{"cloneDisplay", c.cloneDisplay},
                    {"cloneNoRetina", c.cloneNoRetina},
                    {"zubPadNoRetina", c.zubPadNoRetina}};
        DesktopCapture capture(services());
        capture.setVideoCaptureFPS(30);
        capture.setActiveVideoDevice(display(5));
        ASSERT_TRUE(streams.last());
        EXPECT_EQ(capture.width(), c.width);
        EXPECT_EQ(capture.height(), c.height);
        EXPECT_EQ(streams.last()->width, c.width);
        EXPECT_EQ(streams.last()->height, c.height);
        EXPECT_EQ(streams.last()->source, QRect(0, 0, 1366, 1024)) << "the whole display is captured";
        EXPECT_EQ(streams.last()->display, 5u);
    }
}

TEST_F(DesktopCaptureTest, NoStreamWithoutADisplayOrAFrameRateAndNoChangeForANoneDevice) {
    DesktopCapture capture(services());
    EXPECT_FALSE(capture.setupDisplayStream()) << "no display chosen";
    capture.setActiveVideoDevice(display(9)); // rate still 0
    EXPECT_EQ(streams.creations(), 0);
    EXPECT_EQ(capture.width(), 2048);

    capture.setActiveVideoDevice(std::nullopt);
    EXPECT_EQ(capture.currentDisplay(), 9u);
    EXPECT_EQ(capture.width(), 2048);
    ASSERT_TRUE(capture.activeVideoDevice());
    EXPECT_EQ(capture.activeVideoDevice()->uniqueID(), QStringLiteral("9d"));

    capture.setVideoCaptureFPS(60);
    ASSERT_EQ(streams.creations(), 1);
    EXPECT_EQ(streams.last()->starts.load(), 1);
}

TEST_F(DesktopCaptureTest, AFrameRateChangeRebuildsTheStreamWithItsPropertiesAndTellsTheObserver) {
    DesktopCapture capture(services());
    std::vector<double> heard;
    capture.setVideoCaptureFPSObserver([&](double fps) { heard.push_back(fps); });
    capture.setSimulateCursor(true);
    capture.setActiveVideoDevice(display(5));
    capture.setVideoCaptureFPS(30);
    ASSERT_EQ(streams.creations(), 1);
    const auto first = streams.last();
    EXPECT_FLOAT_EQ(float(first->properties.minimumFrameTime), 1.0f / 30);
    EXPECT_FALSE(first->properties.showCursor) << "the device draws the cursor itself";
    EXPECT_TRUE(first->properties.preserveAspectRatio);

    capture.setVideoCaptureFPS(30);
    EXPECT_EQ(streams.creations(), 1) << "the same rate rebuilds nothing";

    capture.setSimulateCursor(false);
    EXPECT_EQ(streams.creations(), 1) << "the cursor switch waits for the next set-up";
    capture.setVideoCaptureFPS(60);
    ASSERT_EQ(streams.creations(), 2);
    EXPECT_EQ(first->stops.load(), 1) << "the old stream stops before the new one starts";
    EXPECT_TRUE(streams.last()->properties.showCursor);
    EXPECT_FLOAT_EQ(float(streams.last()->properties.minimumFrameTime), 1.0f / 60);
    EXPECT_EQ(heard, (std::vector<double>{30, 60}));
}

TEST_F(DesktopCaptureTest, ANewSizeRebuildsTheStreamAndTheSameWholePixelsDoNot) {
    DesktopCapture capture(services());
    capture.setVideoCaptureFPS(30);
    capture.setActiveVideoDevice(display(5));
    ASSERT_EQ(streams.creations(), 1);
    capture.setResolution(QSizeF(2732.7, 2048.2));
    EXPECT_EQ(streams.creations(), 1);
    capture.setResolution(QSizeF(1366, 1024));
    ASSERT_EQ(streams.creations(), 2);
    EXPECT_EQ(streams.last()->width, 1366);
    EXPECT_EQ(streams.last()->height, 1024);
}

TEST_F(DesktopCaptureTest, KeepsOnlyTheNewestPictureWithItsTimeUntilStopped) {
    DesktopCapture capture(services());
    capture.setVideoCaptureFPS(30);
    capture.setActiveVideoDevice(display(5));
    auto stream = streams.last();
    EXPECT_EQ(capture.getCurrentFrame(), nullptr) << "nothing captured yet";
    EXPECT_EQ(capture.currentIOSurfaceTime(), 0u);

    FramePtr a = stream->picture(1), b = stream->picture(2);
    stream->deliver(DisplayStream::kFrameComplete, a);
    EXPECT_EQ(capture.getCurrentFrame(), a);
    EXPECT_EQ(capture.currentIOSurfaceTime(), uint64_t(clock.uptime() * 1e9));

    clock.advance(0.5);
    stream->deliver(DisplayStream::kFrameComplete, b);
    FramePtr held = capture.getCurrentFrame();
    EXPECT_EQ(held, b);
    EXPECT_EQ(a.use_count(), 1) << "the older picture is let go";
    const uint64_t time = capture.currentIOSurfaceTime();
    EXPECT_EQ(time, uint64_t(clock.uptime() * 1e9));

    clock.advance(0.5);
    stream->deliver(DisplayStream::kFrameIdle);
    stream->deliver(DisplayStream::kFrameBlank);
    EXPECT_EQ(capture.getCurrentFrame(), b) << "idle and blank carry no picture";
    EXPECT_EQ(capture.currentIOSurfaceTime(), time);

    EXPECT_TRUE(capture.isStreaming());
    EXPECT_TRUE(capture.stopDisplayStream());
    EXPECT_FALSE(capture.isStreaming());
    EXPECT_EQ(capture.getCurrentFrame(), nullptr);
    EXPECT_EQ(held->data()[0], 2) << "a picture handed out stays valid after the stop";
}

TEST_F(DesktopCaptureTest, ASetUpOverARunningStreamSaysSoStopsItAndStartsAnother) {
    DesktopCapture capture(services());
    capture.setVideoCaptureFPS(30);
    capture.setActiveVideoDevice(display(5));
    auto old = streams.last();
    LogCapture log;
    EXPECT_TRUE(capture.setupDisplayStream());
    EXPECT_EQ(log.lines, QStringList{DesktopCapture::kNotStoppedLog});
    EXPECT_EQ(old->stops.load(), 1);
    ASSERT_EQ(streams.creations(), 2);
    EXPECT_EQ(streams.last()->starts.load(), 1);

    log.lines.clear();
    capture.stopDisplayStream();
    EXPECT_TRUE(capture.setupDisplayStream());
    EXPECT_TRUE(log.lines.isEmpty()) << "a stopped stream is no reason to log";
}

TEST_F(DesktopCaptureTest, AStreamThatCannotBeMadeOrStartedLeavesNoPicture) {
    DesktopCapture capture(services());
    streams.refuse = true;
    capture.setVideoCaptureFPS(30);
    capture.setActiveVideoDevice(display(5));
    EXPECT_FALSE(capture.setupDisplayStream());
    EXPECT_EQ(capture.getCurrentFrame(), nullptr);

    streams.refuse = false;
    streams.startResult = DisplayStream::kFailure;
    LogCapture log;
    EXPECT_TRUE(capture.setupDisplayStream()) << "made, though not started";
    EXPECT_EQ(log.lines, QStringList{QStringLiteral("[Zub Pad] Error: CGDisplayStreamStart: 1000")});
    auto stream = streams.last();
    capture.stopDisplayStream();
    EXPECT_EQ(stream->stops.load(), 1) << "the stream stayed stored and is stopped";
}

TEST_F(DesktopCaptureTest, AStreamThatNeverConfirmsItsStopIsAbandonedAndItsLateReportHarmsNothing) {
    DesktopCapture capture(services());
    capture.setVideoCaptureFPS(30);
    capture.setActiveVideoDevice(display(5));
    auto stuck = streams.last();
    stuck->stopReply = FakeDisplayStream::StopReply::kNever;
    const double before = SystemClock().uptime();
    EXPECT_TRUE(capture.stopDisplayStream());
    EXPECT_GE(SystemClock().uptime() - before, 2.0) << "it waited for the confirmation";

    EXPECT_TRUE(capture.setupDisplayStream());
    auto fresh = streams.last();
    ASSERT_NE(fresh, stuck);
    FramePtr current = fresh->picture(7);
    fresh->deliver(DisplayStream::kFrameComplete, current);

    // The abandoned stream wakes up: its picture is not taken, and its stop does not end the new stream.
    stuck->deliver(DisplayStream::kFrameComplete, stuck->picture(9));
    EXPECT_EQ(capture.getCurrentFrame(), current);
    stuck->deliverStopped();
    LogCapture log;
    capture.setupDisplayStream();
    EXPECT_EQ(log.lines, QStringList{DesktopCapture::kNotStoppedLog}) << "the new stream was still stored";
    EXPECT_EQ(fresh->stops.load(), 1);
}

TEST_F(DesktopCaptureTest, AStreamThatReportsItsStopFromAnotherThreadIsWaitedFor) {
    DesktopCapture capture(services());
    capture.setVideoCaptureFPS(30);
    capture.setActiveVideoDevice(display(5));
    auto stream = streams.last();
    stream->stopReply = FakeDisplayStream::StopReply::kLater;
    std::thread reporter([&] {
        while (stream->stops.load() == 0)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        stream->deliverStopped();
    });
    const double before = SystemClock().uptime();
    capture.stopDisplayStream();
    reporter.join();
    EXPECT_LT(SystemClock().uptime() - before, 2.0) << "the confirmation ended the wait";
    LogCapture log;
    capture.setupDisplayStream();
    EXPECT_TRUE(log.lines.isEmpty());
}

TEST_F(DesktopCaptureTest, PicturesArrivingOnTheCaptureThreadArePulledSafelyFromAnother) {
    DesktopCapture capture(services());
    capture.setVideoCaptureFPS(60);
    capture.setActiveVideoDevice(display(9));
    auto stream = streams.last();
    std::vector<FramePtr> pictures;
    for (int i = 0; i < 4; ++i)
        pictures.push_back(stream->picture(uint8_t(i + 1)));
    std::atomic<bool> done{false};
    std::atomic<long> pulled{0};
    std::thread captureQueue([&] {
        // Deliver until the puller has seen plenty, however the two threads are scheduled.
        for (int i = 0; i < 5000 || pulled.load() < 1000; ++i)
            stream->deliver(DisplayStream::kFrameComplete, pictures[size_t(i) % 4]);
        stream->deliver(DisplayStream::kFrameComplete, pictures[3]);
        done = true;
    });
    while (!done) {
        if (FramePtr f = capture.getCurrentFrame()) {
            EXPECT_GE(f->data()[0], 1);
            ++pulled;
        }
        (void)capture.currentIOSurfaceTime();
    }
    captureQueue.join();
    EXPECT_EQ(capture.getCurrentFrame(), pictures[3]);
}

TEST_F(DesktopCaptureTest, ListsOneDeviceForEveryOnlineDisplayFoundByUniqueID) {
    DesktopCapture capture(services());
    const auto devices = capture.availableVideoDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].uniqueID(), QStringLiteral("5d"));
    EXPECT_EQ(devices[0].captureDevice(), 5u);
    EXPECT_TRUE(devices[0].captureName().isEmpty());
    EXPECT_EQ(devices[1].uniqueID(), QStringLiteral("9d"));
    // Equality is by unique ID alone.
    const AbstractCaptureDevice probe(QStringLiteral("whatever"), 1234, QStringLiteral("9d"));
    EXPECT_EQ(std::find(devices.begin(), devices.end(), probe) - devices.begin(), 1);
    EXPECT_EQ(AbstractCaptureDevice::uniqueIDForDisplay(4000000000u), QStringLiteral("4000000000d"));
    EXPECT_TRUE(capture.providesVideo());
    EXPECT_FALSE(capture.providesAudio());
}

TEST_F(DesktopCaptureTest, TheRefreshTimerRunsOnlyWhereThePlatformNeedsIt) {
    {
        DesktopCapture capture(services());
        capture.setVideoCaptureFPS(30);
        capture.setActiveVideoDevice(display(5));
        spinEventLoop(20);
        EXPECT_FALSE(capture.hasRefreshTimer());
        clock.advance(3.0);
        EXPECT_EQ(streams.last()->refreshes.load(), 0);
    }
    system.needsRefresh = true;
    DesktopCapture capture(services());
    capture.setVideoCaptureFPS(30);
    capture.setActiveVideoDevice(display(5));
    ASSERT_TRUE(waitUntil([&] { return capture.hasRefreshTimer(); }));
    auto stream = streams.last();
    clock.advance(1.0);
    EXPECT_EQ(stream->refreshes.load(), 1);
    clock.advance(2.0);
    EXPECT_EQ(stream->refreshes.load(), 3) << "once a second";

    displays.removeDisplay(5); // no screen for the captured display: nothing to stir
    clock.advance(1.0);
    EXPECT_EQ(stream->refreshes.load(), 3);
}

TEST_F(DesktopCaptureTest, AStreamOutlivingItsSourceReportsIntoNothingFreed) {
    std::shared_ptr<FakeDisplayStream> stuck;
    {
        DesktopCapture capture(services());
        capture.setVideoCaptureFPS(30);
        capture.setActiveVideoDevice(display(5));
        stuck = streams.last();
        stuck->stopReply = FakeDisplayStream::StopReply::kLater;
        stuck->stopResult = DisplayStream::kFailure; // the stop request itself fails: nothing to wait for
    }
    // AddressSanitizer would report the capture's state if the late calls reached freed memory.
    stuck->deliver(DisplayStream::kFrameComplete, stuck->picture(3));
    stuck->deliverStopped();
    EXPECT_EQ(stuck->stops.load(), 1);
}

} // namespace
