// The capture on a fake display stream. The size it captures at, from the user's resolution settings, is
// checked with the size the stream announces (StreamControllerTest); the X11 stream itself in
// tests/platform/x11. Pictures stored on the capture thread and pulled on the frame clock's are raced by
// the frame clock's tests, which run under ThreadSanitizer.
#include "video/DesktopCapture.h"

#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeDisplayStream.h"
#include "fakes/FakeSystemInfo.h"
#include "fakes/ManualClock.h"
#include "fakes/TestSupport.h"

#include <QStringList>
#include <gtest/gtest.h>

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
    // A capture at `fps` of display `id` (none for 0), as the session chooses it: by its unique ID.
    std::unique_ptr<DesktopCapture> capture(double fps = 30, DisplayID id = 5) {
        auto c = std::make_unique<DesktopCapture>(DesktopCapture::Services{
            streams, displays, system, [this](const QString& key) { return defaults[key]; }});
        c->setVideoCaptureFPS(fps);
        if (id) {
            for (const AbstractCaptureDevice& device : c->availableVideoDevices())
                if (device.isEqual(AbstractCaptureDevice(QString(), 0, QStringLiteral("%1d").arg(id))))
                    c->setActiveVideoDevice(device);
        }
        return c;
    }

    ManualClock clock;
    FakeDisplayServices displays;
    FakeDisplayStreamFactory streams;
    FakeSystemInfo system;
    std::map<QString, bool> defaults;
};

// No stream without a display and a rate; a device of none changes nothing. The stream is rebuilt for a
// new rate or a new size in whole pixels, the old one stopped first, the observer told of the rate; the
// cursor switch waits for the next set-up.
TEST_F(DesktopCaptureTest, TheStreamIsMadeForADisplayAndARateAndRebuiltWhenEitherChanges) {
    EXPECT_FALSE(capture(30, 0)->setupDisplayStream()) << "no display chosen";
    auto c = capture(0, 9);
    EXPECT_EQ(streams.creations(), 0);
    c->setActiveVideoDevice(std::nullopt);
    EXPECT_EQ(c->activeVideoDevice()->uniqueID(), QStringLiteral("9d"));
    EXPECT_EQ(AbstractCaptureDevice::uniqueIDForDisplay(4000000000u), QStringLiteral("4000000000d"));

    std::vector<double> heard;
    c->setVideoCaptureFPSObserver([&](double fps) { heard.push_back(fps); });
    c->setSimulateCursor(true);
    c->setVideoCaptureFPS(30);
    ASSERT_EQ(streams.creations(), 1);
    const auto first = streams.last();
    EXPECT_EQ(first->starts.load(), 1);
    EXPECT_FLOAT_EQ(float(first->properties.minimumFrameTime), 1.0f / 30);
    EXPECT_FALSE(first->properties.showCursor) << "the device draws the cursor itself";
    EXPECT_TRUE(first->properties.preserveAspectRatio);
    c->setVideoCaptureFPS(30);
    c->setSimulateCursor(false);
    c->setResolution(QSizeF(2048.7, 1536.2));
    EXPECT_EQ(streams.creations(), 1) << "the same rate and the same whole pixels rebuild nothing";
    c->setVideoCaptureFPS(60);
    ASSERT_EQ(streams.creations(), 2);
    EXPECT_EQ(first->stops.load(), 1);
    EXPECT_TRUE(streams.last()->properties.showCursor);
    EXPECT_FLOAT_EQ(float(streams.last()->properties.minimumFrameTime), 1.0f / 60);
    EXPECT_EQ(heard, (std::vector<double>{30, 60}));
    c->setResolution(QSizeF(1024, 768));
    ASSERT_EQ(streams.creations(), 3);
    EXPECT_EQ(QSize(streams.last()->width, streams.last()->height), QSize(1024, 768));
}

TEST_F(DesktopCaptureTest, KeepsOnlyTheNewestPictureWithItsTimeUntilStopped) {
    auto c = capture();
    auto stream = streams.last();
    EXPECT_EQ(c->getCurrentFrame(), nullptr) << "nothing captured yet";
    EXPECT_EQ(c->currentIOSurfaceTime(), 0u);
    FramePtr a = stream->picture(1), b = stream->picture(2);
    stream->deliver(DisplayStream::kFrameComplete, a);
    EXPECT_EQ(c->getCurrentFrame(), a);
    clock.advance(0.5);
    stream->deliver(DisplayStream::kFrameComplete, b);
    FramePtr held = c->getCurrentFrame();
    EXPECT_EQ(held, b);
    EXPECT_EQ(a.use_count(), 1) << "the older picture is let go";
    const uint64_t time = c->currentIOSurfaceTime();
    EXPECT_EQ(time, uint64_t(clock.uptime() * 1e9));
    clock.advance(0.5);
    stream->deliver(DisplayStream::kFrameIdle);
    stream->deliver(DisplayStream::kFrameBlank);
    EXPECT_EQ(c->getCurrentFrame(), b) << "idle and blank carry no picture";
    EXPECT_EQ(c->currentIOSurfaceTime(), time);
    EXPECT_TRUE(c->stopDisplayStream());
    EXPECT_FALSE(c->isStreaming());
    EXPECT_EQ(c->getCurrentFrame(), nullptr);
    EXPECT_EQ(held->data()[0], 2) << "a picture handed out stays valid after the stop";
}

// A set-up over a running stream says so, stops it and starts another; over a stopped one it says
// nothing. A stream that cannot be made leaves no picture; one made but not started is said and kept, so
// that it is stopped.
TEST_F(DesktopCaptureTest, SetUpsSayWhatWentWrongAndKeepWhatMustBeStopped) {
    auto c = capture();
    auto old = streams.last();
    LogCapture log;
    EXPECT_TRUE(c->setupDisplayStream());
    EXPECT_EQ(log.lines, QStringList{DesktopCapture::kNotStoppedLog});
    EXPECT_EQ(old->stops.load(), 1);
    EXPECT_EQ(streams.last()->starts.load(), 1);
    log.lines.clear();
    c->stopDisplayStream();
    streams.refuse = true;
    EXPECT_FALSE(c->setupDisplayStream());
    EXPECT_EQ(c->getCurrentFrame(), nullptr);
    streams.refuse = false;
    streams.startResult = DisplayStream::kFailure;
    EXPECT_TRUE(c->setupDisplayStream()) << "made, though not started";
    EXPECT_EQ(log.lines.last(), QStringLiteral("[Zub Pad] Error: CGDisplayStreamStart: 1000"));
    EXPECT_FALSE(log.lines.contains(DesktopCapture::kNotStoppedLog)) << "a stopped stream is no reason";
    auto stream = streams.last();
    c->stopDisplayStream();
    EXPECT_EQ(stream->stops.load(), 1) << "the stream stayed stored and is stopped";
}

// A stop waits for the stream to confirm it, from any thread; one that never does is abandoned after a
// while, and its late picture and late stop touch neither the new stream nor its picture.
TEST_F(DesktopCaptureTest, AStopIsWaitedForAndAStreamThatNeverConfirmsItIsAbandonedHarmlessly) {
    auto c = capture();
    auto later = streams.last();
    later->stopReply = FakeDisplayStream::StopReply::kLater;
    std::thread reporter([&] {
        while (later->stops.load() == 0)
            std::this_thread::yield();
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        later->deliverStopped();
    });
    double before = SystemClock().uptime();
    c->stopDisplayStream();
    reporter.join();
    EXPECT_LT(SystemClock().uptime() - before, 2.0) << "the confirmation ended the wait";

    EXPECT_TRUE(c->setupDisplayStream());
    auto stuck = streams.last();
    stuck->stopReply = FakeDisplayStream::StopReply::kNever;
    before = SystemClock().uptime();
    EXPECT_TRUE(c->stopDisplayStream());
    EXPECT_GE(SystemClock().uptime() - before, 2.0) << "it waited for the confirmation";
    LogCapture log;
    EXPECT_TRUE(c->setupDisplayStream());
    EXPECT_TRUE(log.lines.isEmpty()) << "the abandoned stream is not the stream any more";
    auto fresh = streams.last();
    FramePtr current = fresh->picture(7);
    fresh->deliver(DisplayStream::kFrameComplete, current);
    stuck->deliver(DisplayStream::kFrameComplete, stuck->picture(9));
    EXPECT_EQ(c->getCurrentFrame(), current);
    stuck->deliverStopped();
    c->setupDisplayStream();
    EXPECT_EQ(log.lines, QStringList{DesktopCapture::kNotStoppedLog}) << "the new stream was still stored";
    EXPECT_EQ(fresh->stops.load(), 1);
}

TEST_F(DesktopCaptureTest, AStreamOutlivingItsSourceReportsIntoNothingFreed) {
    std::shared_ptr<FakeDisplayStream> stuck;
    {
        auto c = capture();
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
