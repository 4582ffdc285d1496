#include "platform/x11/X11DisplayStream.h"

#include "XTestSupport.h"
#include "fakes/TestSupport.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace {

// Collects what a stream hands to its handler, from the stream's thread.
struct Collector {
    std::mutex mutex;
    std::vector<FramePtr> kept; // every picture when keepAll, else only the newest
    FramePtr newest;
    int frames = 0;
    int stopped = 0;
    int afterStop = 0;
    bool keepAll = false;

    DisplayStream::Handler handler() {
        return [this](DisplayStream::FrameStatus status, uint64_t, FramePtr frame) {
            std::lock_guard lock(mutex);
            if (stopped) ++afterStop;
            if (status == DisplayStream::kStopped) ++stopped;
            if (status != DisplayStream::kFrameComplete) return;
            ++frames;
            newest = frame;
            if (keepAll) kept.push_back(std::move(frame));
        };
    }
    int frameCount() {
        std::lock_guard lock(mutex);
        return frames;
    }
    int stopCount() {
        std::lock_guard lock(mutex);
        return stopped;
    }
    FramePtr latest() {
        std::lock_guard lock(mutex);
        return newest;
    }
    bool waitForFrames(int n, int timeoutMs = 5000) {
        return waitUntil([&] { return frameCount() >= n; }, timeoutMs);
    }
};

int captureThreads() {
    int n = 0;
    for (const QString& task :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().startsWith("ZubDesktop.capt")) ++n;
    }
    return n;
}

class X11DisplayStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        const QString why = x_.missing({"DAMAGE", "MIT-SHM", "XFIXES"});
        if (!why.isEmpty()) GTEST_SKIP() << why.toStdString();
        root_ = x_.rootRect();
        // Hide the pointer's own drawing from pictures that do not ask for it: park it in a corner
        // far from the areas the tests watch.
        x_.warpPointer(root_.right(), root_.bottom());
    }

    std::shared_ptr<DisplayStream> make(const QRect& source, int w, int h, Collector& c,
                                        DisplayStream::Properties props = {}) {
        if (props.minimumFrameTime == 0.0) props.minimumFrameTime = 1.0 / 60;
        return factory_.create(1, source, w, h, PixelBuffer::kBGRA, props, c.handler());
    }

    static DisplayStream::Properties withoutCursor() {
        DisplayStream::Properties p;
        p.showCursor = false;
        return p;
    }

    XTestDisplay x_;
    QRect root_;
    X11DisplayStreamFactory factory_;
};

// One stream's life: the picture arrives scaled to the output size, on a thread of its own; a still
// display sends nothing, nor does a change beside the watched area, a change inside it does, and
// refresh() sends again; start and stop each work once, the thread ends, and after the stopped status
// nothing reaches the handler.
TEST_F(X11DisplayStreamTest, APatternArrivesScaledAndOnlyChangesInTheAreaSendMore) {
    const QRect area(40, 60, 200, 120);
    x_.fill(area, 0x202020);
    x_.fill(QRect(40, 60, 100, 60), 0xff0000);
    x_.fill(QRect(140, 60, 100, 60), 0x00ff00);
    x_.fill(QRect(40, 120, 100, 60), 0x0000ff);
    x_.fill(QRect(140, 120, 100, 60), 0xffffff);
    const int threadsBefore = captureThreads();
    Collector c;
    auto stream = make(area, 400, 240, c, withoutCursor());
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->stop(), DisplayStream::kInvalidOperation) << "not started";
    ASSERT_EQ(stream->start(), DisplayStream::kSuccess);
    EXPECT_EQ(stream->start(), DisplayStream::kInvalidOperation);
    ASSERT_TRUE(c.waitForFrames(1));
    EXPECT_EQ(captureThreads(), threadsBefore + 1) << "its own thread, named after the capture queue";
    FramePtr f = c.latest();
    ASSERT_EQ(f->width(), 400);
    ASSERT_EQ(f->height(), 240);
    ASSERT_EQ(f->format(), PixelBuffer::kBGRA);
    const struct {
        int x, y;
        uint32_t rgb;
    } probes[] = {{10, 10, 0xff0000},  {190, 110, 0xff0000}, {210, 10, 0x00ff00},  {390, 110, 0x00ff00},
                  {10, 130, 0x0000ff}, {199, 239, 0x0000ff}, {200, 120, 0xffffff}, {399, 239, 0xffffff}};
    for (const auto& p : probes)
        EXPECT_TRUE(closeColour(rgbAt(f->data(), f->bytesPerRow(), p.x, p.y), p.rgb, 2))
            << "at " << p.x << "," << p.y << ": " << std::hex << rgbAt(f->data(), f->bytesPerRow(), p.x, p.y);

    spinEventLoop(300);
    EXPECT_EQ(c.frameCount(), 1) << "nothing changed, nothing sent";
    x_.fill(QRect(area.right() + 20, area.top(), 40, 40), 0xff00ff); // beside the area
    spinEventLoop(300);
    EXPECT_EQ(c.frameCount(), 1) << "a change elsewhere on the screen is not ours";
    x_.fill(QRect(area.x() + 10, area.y() + 10, 20, 20), 0xffff00);
    ASSERT_TRUE(c.waitForFrames(2));
    f = c.latest();
    EXPECT_TRUE(closeColour(rgbAt(f->data(), f->bytesPerRow(), 40, 40), 0xffff00, 2));
    EXPECT_TRUE(closeColour(rgbAt(f->data(), f->bytesPerRow(), 390, 230), 0xffffff, 2));
    stream->refresh(); // the same picture again without a change
    ASSERT_TRUE(c.waitForFrames(3));

    EXPECT_EQ(stream->stop(), DisplayStream::kSuccess);
    EXPECT_EQ(stream->stop(), DisplayStream::kInvalidOperation);
    ASSERT_TRUE(waitUntil([&] { return c.stopCount() == 1; }));
    ASSERT_TRUE(waitUntil([&] { return captureThreads() == threadsBefore; }));
    spinEventLoop(50);
    std::lock_guard lock(c.mutex);
    EXPECT_EQ(c.afterStop, 0) << "nothing reaches the handler after the stopped status";
}

TEST_F(X11DisplayStreamTest, ThePointerIsDrawnInOnlyWhenAskedAndItsMovesSendPictures) {
    const QRect area(500, 60, 160, 160);
    x_.fill(area, 0x406080);
    x_.warpPointer(area.x() + 60, area.y() + 60);

    auto differing = [](const FramePtr& f) {
        int n = 0;
        for (int y = 0; y < f->height(); ++y)
            for (int x = 0; x < f->width(); ++x)
                if (!closeColour(rgbAt(f->data(), f->bytesPerRow(), x, y), 0x406080, 2)) ++n;
        return n;
    };

    Collector plain;
    auto without = make(area, 160, 160, plain, withoutCursor());
    ASSERT_EQ(without->start(), DisplayStream::kSuccess);
    ASSERT_TRUE(plain.waitForFrames(1));
    EXPECT_EQ(differing(plain.latest()), 0) << "the pointer must stay out of the picture";
    x_.warpPointer(area.x() + 100, area.y() + 100);
    spinEventLoop(200);
    EXPECT_EQ(plain.frameCount(), 1) << "pointer moves do not concern a picture without pointer";
    without->stop();

    Collector drawn;
    auto with = make(area, 160, 160, drawn);
    ASSERT_EQ(with->start(), DisplayStream::kSuccess);
    ASSERT_TRUE(drawn.waitForFrames(1));
    const int before = differing(drawn.latest());
    EXPECT_GT(before, 10) << "the pointer is drawn into the picture";
    x_.warpPointer(area.x() + 20, area.y() + 20);
    ASSERT_TRUE(drawn.waitForFrames(2)) << "moving the pointer sends a new picture";
    FramePtr f = drawn.latest();
    EXPECT_TRUE(closeColour(rgbAt(f->data(), f->bytesPerRow(), 150, 150), 0x406080, 2))
        << "the old pointer position is clean again";
    with->stop();
}

TEST_F(X11DisplayStreamTest, KeepsTheAspectRatioWithBlackBarsOrStretchesWhenToldTo) {
    const QRect area(40, 300, 200, 100);
    x_.fill(area, 0xc0c0c0);
    Collector kept, stretched;
    auto a = make(area, 200, 200, kept, withoutCursor());
    DisplayStream::Properties p = withoutCursor();
    p.preserveAspectRatio = false;
    auto b = make(area, 200, 200, stretched, p);
    ASSERT_EQ(a->start(), DisplayStream::kSuccess);
    ASSERT_EQ(b->start(), DisplayStream::kSuccess);
    ASSERT_TRUE(kept.waitForFrames(1));
    ASSERT_TRUE(stretched.waitForFrames(1));
    FramePtr k = kept.latest(), s = stretched.latest();
    EXPECT_EQ(rgbAt(k->data(), k->bytesPerRow(), 100, 10), 0u) << "bar above";
    EXPECT_EQ(rgbAt(k->data(), k->bytesPerRow(), 0, 0), 0u);
    EXPECT_EQ(rgbAt(k->data(), k->bytesPerRow(), 199, 199), 0u);
    EXPECT_EQ(rgbAt(k->data(), k->bytesPerRow(), 100, 190), 0u) << "bar below";
    EXPECT_TRUE(closeColour(rgbAt(k->data(), k->bytesPerRow(), 100, 100), 0xc0c0c0, 2));
    EXPECT_TRUE(closeColour(rgbAt(s->data(), s->bytesPerRow(), 100, 10), 0xc0c0c0, 2));
    EXPECT_TRUE(closeColour(rgbAt(s->data(), s->bytesPerRow(), 100, 190), 0xc0c0c0, 2));
}

TEST_F(X11DisplayStreamTest, AStreamReleasedFromItsOwnHandlerFinishesCleanly) {
    std::shared_ptr<DisplayStream> stream;
    std::mutex mutex;
    std::atomic<int> stops{0};
    DisplayStream::Properties p = withoutCursor();
    stream = factory_.create(1, QRect(100, 500, 32, 32), 32, 32, PixelBuffer::kBGRA, p,
                             [&](DisplayStream::FrameStatus status, uint64_t, FramePtr) {
                                 if (status != DisplayStream::kStopped) return;
                                 std::shared_ptr<DisplayStream> last;
                                 {
                                     std::lock_guard lock(mutex);
                                     last = std::move(stream);
                                 }
                                 last.reset(); // the last reference goes on the stream's own thread
                                 ++stops;
                             });
    ASSERT_TRUE(stream);
    ASSERT_EQ(stream->start(), DisplayStream::kSuccess);
    {
        std::lock_guard lock(mutex);
        stream->stop();
    }
    ASSERT_TRUE(waitUntil([&] { return stops.load() == 1; }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(stream, nullptr);
}

TEST_F(X11DisplayStreamTest, DestroyingARunningStreamStopsItAndWaits) {
    const int threadsBefore = captureThreads();
    Collector c;
    {
        auto stream = make(QRect(200, 500, 32, 32), 32, 32, c, withoutCursor());
        ASSERT_EQ(stream->start(), DisplayStream::kSuccess);
        ASSERT_TRUE(c.waitForFrames(1));
    }
    EXPECT_EQ(c.stopCount(), 1) << "the stopped status came before the destructor returned";
    EXPECT_EQ(captureThreads(), threadsBefore);
}

TEST_F(X11DisplayStreamTest, TheMinimumFrameTimeSpacesThePictures) {
    const QRect area(300, 300, 64, 64);
    Collector c;
    DisplayStream::Properties p = withoutCursor();
    p.minimumFrameTime = 0.25;
    auto stream = make(area, 64, 64, c, p);
    ASSERT_EQ(stream->start(), DisplayStream::kSuccess);
    ASSERT_TRUE(c.waitForFrames(1));
    // Change the area continuously for one second: at most one picture per quarter second follows.
    for (int i = 0; i < 50; ++i) {
        x_.fill(area, (i & 1) ? 0x808080 : 0x707070);
        spinEventLoop(20);
    }
    EXPECT_GE(c.frameCount(), 2);
    EXPECT_LE(c.frameCount(), 1 + 5);
}

TEST_F(X11DisplayStreamTest, PicturesHeldDownstreamPauseCaptureUntilTheyComeBack) {
    const QRect area(400, 300, 48, 48);
    Collector c;
    c.keepAll = true;
    auto stream = make(area, 48, 48, c, withoutCursor());
    ASSERT_EQ(stream->start(), DisplayStream::kSuccess);
    for (int i = 0; c.frameCount() < X11DisplayStreamFactory::kPoolSize && i < 200; ++i) {
        x_.fill(area, uint32_t(0x010101 * (i % 200)));
        spinEventLoop(20);
    }
    ASSERT_EQ(c.frameCount(), X11DisplayStreamFactory::kPoolSize);
    x_.fill(area, 0xabcdef);
    spinEventLoop(200);
    EXPECT_EQ(c.frameCount(), X11DisplayStreamFactory::kPoolSize) << "no buffer free, no picture";
    {
        std::lock_guard lock(c.mutex);
        c.keepAll = false;
        c.kept.clear();
    }
    ASSERT_TRUE(c.waitForFrames(X11DisplayStreamFactory::kPoolSize + 1)) << "the pending change goes out";
    FramePtr f = c.latest();
    EXPECT_TRUE(closeColour(rgbAt(f->data(), f->bytesPerRow(), 10, 10), 0xabcdef, 2));
}

TEST(X11DisplayStreamFactoryTest, RefusesWhatItCannotCapture) {
    XTestDisplay x;
    if (!x.isOpen()) GTEST_SKIP() << "no X server in $DISPLAY";
    X11DisplayStreamFactory factory;
    auto handler = [](DisplayStream::FrameStatus, uint64_t, FramePtr) {};
    const QRect root = x.rootRect();
    EXPECT_FALSE(factory.create(1, root, 0, 100, PixelBuffer::kBGRA, {}, handler));
    EXPECT_FALSE(factory.create(1, root, 100, 100, PixelBuffer::kYUVS, {}, handler));
    EXPECT_FALSE(
        factory.create(1, QRect(root.width() + 10, 0, 100, 100), 100, 100, PixelBuffer::kBGRA, {}, handler));
    EXPECT_FALSE(factory.create(1, root, 100000, 100, PixelBuffer::kBGRA, {}, handler));
    EXPECT_FALSE(factory.create(1, root, 100, 100, PixelBuffer::kBGRA, {}, nullptr));
    X11DisplayStreamFactory nowhere(":987");
    EXPECT_FALSE(nowhere.create(1, root, 100, 100, PixelBuffer::kBGRA, {}, handler));
    EXPECT_TRUE(factory.create(1, root, 100, 100, PixelBuffer::kBGRA, {}, handler));
}

} // namespace
