#include "platform/x11/X11DisplayStream.h"

#include "fakes/TestSupport.h"
#include "platform/x11/XConnection.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

// After gtest: Xlib's macros (None, Bool) clash with its names.
#include <X11/Xlib.h>

namespace {

// Collects what a stream hands to its handler, from the stream's thread.
struct Collector {
    std::mutex mutex;
    std::vector<FramePtr> kept; // every picture while keepAll, so that none goes back to the pool
    FramePtr newest;
    int frames = 0, stopped = 0, afterStop = 0;
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
    template <typename T> T read(T Collector::*field) {
        std::lock_guard lock(mutex);
        return this->*field;
    }
    bool waitForFrames(int n) {
        return waitUntil([&] { return read(&Collector::frames) >= n; });
    }
};

// 0xRRGGBB of a pixel of a BGRA picture.
uint32_t rgbAt(const FramePtr& f, int x, int y) {
    const uint8_t* p = f->data() + y * f->bytesPerRow() + x * 4;
    return (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}

bool near(uint32_t a, uint32_t b) {
    for (int shift : {0, 8, 16})
        if (std::abs(int((a >> shift) & 0xff) - int((b >> shift) & 0xff)) > 2) return false;
    return true;
}

int captureThreads() {
    int n = 0;
    for (const QString& task :
         QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile comm(QStringLiteral("/proc/self/task/%1/comm").arg(task));
        if (comm.open(QIODevice::ReadOnly) && comm.readAll().startsWith("ZubDesktop.capt")) ++n;
    }
    return n;
}

// A connection of the test's own to the X server in $DISPLAY, to draw on the root window and move the
// pointer while the streams watch through theirs.
class X11DisplayStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        dpy_ = openXDisplay();
        if (!dpy_) GTEST_SKIP() << "no X server in $DISPLAY";
        for (const char* name : {"DAMAGE", "MIT-SHM", "XFIXES"}) {
            int opcode = 0, event = 0, error = 0;
            if (!XQueryExtension(dpy_, name, &opcode, &event, &error))
                GTEST_SKIP() << "the X server lacks " << name;
        }
        root_ =
            QRect(0, 0, DisplayWidth(dpy_, DefaultScreen(dpy_)), DisplayHeight(dpy_, DefaultScreen(dpy_)));
        // Keep the pointer's own drawing out of pictures that do not ask for it: park it in a corner
        // far from the areas the tests watch.
        warpPointer(root_.right(), root_.bottom());
    }
    void TearDown() override {
        if (dpy_) XCloseDisplay(dpy_);
    }

    // Fills a rectangle of the root window with 0xRRGGBB and waits until the server has drawn it.
    void fill(const QRect& rect, uint32_t rgb) {
        const Window root = DefaultRootWindow(dpy_);
        GC gc = XCreateGC(dpy_, root, 0, nullptr);
        XSetForeground(dpy_, gc, rgb);
        XSetSubwindowMode(dpy_, gc, IncludeInferiors);
        XFillRectangle(dpy_, root, gc, rect.x(), rect.y(), unsigned(rect.width()), unsigned(rect.height()));
        XFreeGC(dpy_, gc);
        XSync(dpy_, False);
    }
    void warpPointer(int x, int y) {
        XWarpPointer(dpy_, 0, DefaultRootWindow(dpy_), 0, 0, 0, 0, x, y);
        XSync(dpy_, False);
    }

    std::shared_ptr<DisplayStream> make(const QRect& source, int w, int h, Collector& c, bool cursor = false,
                                        DisplayStream::Properties props = {}) {
        props.showCursor = cursor;
        if (props.minimumFrameTime == 0.0) props.minimumFrameTime = 1.0 / 60;
        return factory_.create(1, source, w, h, PixelBuffer::kBGRA, props, c.handler());
    }

    Display* dpy_ = nullptr;
    QRect root_;
    X11DisplayStreamFactory factory_;
};

// One stream's life: the picture arrives scaled to the output size, on a thread of its own; a still
// display sends nothing, nor does a change beside the watched area, a change inside it does, and
// refresh() sends again; start and stop each work once, the thread ends, and after the stopped status
// nothing reaches the handler.
TEST_F(X11DisplayStreamTest, APatternArrivesScaledAndOnlyChangesInTheAreaSendMore) {
    const QRect area(40, 60, 200, 120);
    fill(QRect(40, 60, 100, 60), 0xff0000);
    fill(QRect(140, 60, 100, 60), 0x00ff00);
    fill(QRect(40, 120, 100, 60), 0x0000ff);
    fill(QRect(140, 120, 100, 60), 0xffffff);
    const int threadsBefore = captureThreads();
    Collector c;
    auto stream = make(area, 400, 240, c);
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->stop(), DisplayStream::kInvalidOperation) << "not started";
    ASSERT_EQ(stream->start(), DisplayStream::kSuccess);
    EXPECT_EQ(stream->start(), DisplayStream::kInvalidOperation);
    ASSERT_TRUE(c.waitForFrames(1));
    EXPECT_EQ(captureThreads(), threadsBefore + 1) << "its own thread, named after the capture queue";
    FramePtr f = c.read(&Collector::newest);
    ASSERT_EQ(QSize(f->width(), f->height()), QSize(400, 240));
    ASSERT_EQ(f->format(), PixelBuffer::kBGRA);
    const struct {
        int x, y;
        uint32_t rgb;
    } probes[] = {{10, 10, 0xff0000},  {190, 110, 0xff0000}, {210, 10, 0x00ff00},  {390, 110, 0x00ff00},
                  {10, 130, 0x0000ff}, {199, 239, 0x0000ff}, {200, 120, 0xffffff}, {399, 239, 0xffffff}};
    for (const auto& p : probes)
        EXPECT_TRUE(near(rgbAt(f, p.x, p.y), p.rgb))
            << p.x << "," << p.y << ": " << std::hex << rgbAt(f, p.x, p.y);

    spinEventLoop(300);
    EXPECT_EQ(c.read(&Collector::frames), 1) << "nothing changed, nothing sent";
    fill(QRect(area.right() + 20, area.top(), 40, 40), 0xff00ff); // beside the area
    spinEventLoop(300);
    EXPECT_EQ(c.read(&Collector::frames), 1) << "a change elsewhere on the screen is not ours";
    fill(QRect(area.x() + 10, area.y() + 10, 20, 20), 0xffff00);
    ASSERT_TRUE(c.waitForFrames(2));
    f = c.read(&Collector::newest);
    EXPECT_TRUE(near(rgbAt(f, 40, 40), 0xffff00));
    EXPECT_TRUE(near(rgbAt(f, 390, 230), 0xffffff));
    stream->refresh(); // the same picture again without a change
    ASSERT_TRUE(c.waitForFrames(3));

    EXPECT_EQ(stream->stop(), DisplayStream::kSuccess);
    EXPECT_EQ(stream->stop(), DisplayStream::kInvalidOperation);
    ASSERT_TRUE(waitUntil([&] { return c.read(&Collector::stopped) == 1; }));
    ASSERT_TRUE(waitUntil([&] { return captureThreads() == threadsBefore; }));
    spinEventLoop(50);
    EXPECT_EQ(c.read(&Collector::afterStop), 0) << "nothing reaches the handler after the stopped status";
}

TEST_F(X11DisplayStreamTest, ThePointerIsDrawnInOnlyWhenAskedAndItsMovesSendPictures) {
    const QRect area(500, 60, 160, 160);
    fill(area, 0x406080);
    warpPointer(area.x() + 60, area.y() + 60);
    const auto differing = [](const FramePtr& f) {
        int n = 0;
        for (int y = 0; y < f->height(); ++y)
            for (int x = 0; x < f->width(); ++x)
                n += !near(rgbAt(f, x, y), 0x406080);
        return n;
    };

    Collector plain;
    auto without = make(area, 160, 160, plain);
    ASSERT_EQ(without->start(), DisplayStream::kSuccess);
    ASSERT_TRUE(plain.waitForFrames(1));
    EXPECT_EQ(differing(plain.read(&Collector::newest)), 0) << "the pointer must stay out of the picture";
    warpPointer(area.x() + 100, area.y() + 100);
    spinEventLoop(200);
    EXPECT_EQ(plain.read(&Collector::frames), 1) << "pointer moves do not concern a picture without pointer";
    without->stop();

    Collector drawn;
    auto with = make(area, 160, 160, drawn, true);
    ASSERT_EQ(with->start(), DisplayStream::kSuccess);
    ASSERT_TRUE(drawn.waitForFrames(1));
    EXPECT_GT(differing(drawn.read(&Collector::newest)), 10) << "the pointer is drawn into the picture";
    warpPointer(area.x() + 20, area.y() + 20);
    ASSERT_TRUE(drawn.waitForFrames(2)) << "moving the pointer sends a new picture";
    EXPECT_TRUE(near(rgbAt(drawn.read(&Collector::newest), 150, 150), 0x406080))
        << "the old pointer position is clean again";
}

// Two streams of one wide area into square pictures, one with bars and one stretched; a stream destroyed
// while running stops first (its stopped status is in before the destructor returns) and its thread ends.
TEST_F(X11DisplayStreamTest, KeepsTheAspectRatioWithBlackBarsOrStretchesAndStopsWhenDestroyed) {
    const QRect area(40, 300, 200, 100);
    fill(area, 0xc0c0c0);
    const int threadsBefore = captureThreads();
    Collector kept, stretched;
    {
        auto a = make(area, 200, 200, kept);
        auto b = make(area, 200, 200, stretched, false, {.preserveAspectRatio = false});
        ASSERT_EQ(a->start(), DisplayStream::kSuccess);
        ASSERT_EQ(b->start(), DisplayStream::kSuccess);
        ASSERT_TRUE(kept.waitForFrames(1));
        ASSERT_TRUE(stretched.waitForFrames(1));
    }
    EXPECT_EQ(kept.read(&Collector::stopped) + stretched.read(&Collector::stopped), 2);
    EXPECT_EQ(captureThreads(), threadsBefore);
    const FramePtr k = kept.read(&Collector::newest), s = stretched.read(&Collector::newest);
    for (const QPoint& bar : {QPoint(100, 10), QPoint(0, 0), QPoint(199, 199), QPoint(100, 190)})
        EXPECT_EQ(rgbAt(k, bar.x(), bar.y()), 0u) << bar.x() << "," << bar.y();
    EXPECT_TRUE(near(rgbAt(k, 100, 100), 0xc0c0c0));
    EXPECT_TRUE(near(rgbAt(s, 100, 10), 0xc0c0c0));
    EXPECT_TRUE(near(rgbAt(s, 100, 190), 0xc0c0c0));
}

TEST_F(X11DisplayStreamTest, AStreamReleasedFromItsOwnHandlerFinishesCleanly) {
    std::mutex mutex;
    std::shared_ptr<DisplayStream> stream;
    std::atomic<int> stops{0};
    stream = factory_.create(1, QRect(100, 500, 32, 32), 32, 32, PixelBuffer::kBGRA, {.showCursor = false},
                             [&](DisplayStream::FrameStatus status, uint64_t, FramePtr) {
                                 if (status != DisplayStream::kStopped) return;
                                 std::unique_lock lock(mutex);
                                 std::shared_ptr<DisplayStream> last = std::move(stream);
                                 lock.unlock();
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

// Changing the area continuously for a second, at most one picture per quarter second follows; and
// while every buffer of the pool is held downstream capture pauses, then sends the pending change.
TEST_F(X11DisplayStreamTest, TheMinimumFrameTimeAndHeldPicturesHoldCaptureBack) {
    const QRect area(300, 300, 64, 64);
    Collector c;
    auto stream = make(area, 64, 64, c, false, {.minimumFrameTime = 0.25});
    ASSERT_EQ(stream->start(), DisplayStream::kSuccess);
    ASSERT_TRUE(c.waitForFrames(1));
    for (int i = 0; i < 50; ++i) {
        fill(area, (i & 1) ? 0x808080 : 0x707070);
        spinEventLoop(20);
    }
    EXPECT_GE(c.read(&Collector::frames), 2);
    EXPECT_LE(c.read(&Collector::frames), 1 + 5);

    const QRect held(400, 300, 48, 48);
    Collector h;
    h.keepAll = true;
    auto holding = make(held, 48, 48, h);
    ASSERT_EQ(holding->start(), DisplayStream::kSuccess);
    for (int i = 0; h.read(&Collector::frames) < X11DisplayStreamFactory::kPoolSize && i < 200; ++i) {
        fill(held, uint32_t(0x010101 * (i % 200)));
        spinEventLoop(20);
    }
    ASSERT_EQ(h.read(&Collector::frames), X11DisplayStreamFactory::kPoolSize);
    fill(held, 0xabcdef);
    spinEventLoop(200);
    EXPECT_EQ(h.read(&Collector::frames), X11DisplayStreamFactory::kPoolSize) << "no buffer free, no picture";
    {
        std::lock_guard lock(h.mutex);
        h.keepAll = false;
        h.kept.clear();
    }
    ASSERT_TRUE(h.waitForFrames(X11DisplayStreamFactory::kPoolSize + 1)) << "the pending change goes out";
    EXPECT_TRUE(near(rgbAt(h.read(&Collector::newest), 10, 10), 0xabcdef));
}

TEST_F(X11DisplayStreamTest, RefusesWhatItCannotCapture) {
    const auto handler = [](DisplayStream::FrameStatus, uint64_t, FramePtr) {};
    const struct {
        QRect source;
        int width;
        PixelBuffer::Format format;
        bool withHandler;
    } refused[] = {
        {root_, 0, PixelBuffer::kBGRA, true},
        {root_, 100, PixelBuffer::kYUVS, true},
        {QRect(root_.width() + 10, 0, 100, 100), 100, PixelBuffer::kBGRA, true},
        {root_, 100000, PixelBuffer::kBGRA, true},
        {root_, 100, PixelBuffer::kBGRA, false},
    };
    for (const auto& r : refused)
        EXPECT_FALSE(factory_.create(1, r.source, r.width, 100, r.format, {},
                                     r.withHandler ? DisplayStream::Handler(handler) : nullptr))
            << &r - refused;
    EXPECT_FALSE(X11DisplayStreamFactory(":987").create(1, root_, 100, 100, PixelBuffer::kBGRA, {}, handler));
    EXPECT_TRUE(factory_.create(1, root_, 100, 100, PixelBuffer::kBGRA, {}, handler));
}

} // namespace
