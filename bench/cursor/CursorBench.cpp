// What forwarding the cursor costs while the pointer moves without pause over the streamed screen
// (the whole root here), against what the pointer itself does in the same run:
//  - position messages a second, against the movements posted (XTest motions at 250 a second, a
//    mouse's usual rate): the forwarder sends at most one per display refresh (aim: 60 a second);
//  - bytes a second of cursor messages, frame headers included;
//  - pictures sent, against the cursor changes made (the root's cursor shape changes every 5 s):
//    a picture only on change (still shapes: an animated one, as themes make the watch, changes with
//    every frame of its own);
//  - messages while the pointer stands still for 3 s afterwards (aim: none);
//  - the main thread's CPU time (where all of the forwarding runs: the X notices, the pointer reads,
//    the encoding and the messages) as a share of one core (aim: under 2 %).
//
//   bench_cursor [seconds]        (30 by default; needs an X server in $DISPLAY)
#include "platform/x11/X11CursorSource.h"
#include "platform/x11/X11EventMonitor.h"
#include "platform/x11/XConnection.h"
#include "session/CursorForwarder.h"
#include "session/PeerMessage.h"
#include "../QuietShell.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QTimer>

#include <X11/Xlib.h>
#include <X11/cursorfont.h>
#include <X11/extensions/XTest.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <time.h>

namespace {

constexpr int kMotionsPerSecond = 250;
constexpr double kShapeInterval = 5.0;
constexpr double kStillSeconds = 3.0;

// The root is the streamed screen.
class WholeRootShell final : public QuietShell {
public:
    explicit WholeRootShell(QSizeF root) : root_(root) {}
    QPointF getRelativePoint(QPointF p) override {
        if (!isInZubScreen(p)) return {-1, -1};
        return {p.x() / root_.width(), 1.0 - p.y() / root_.height()};
    }
    bool isInZubScreen(QPointF p) override {
        return p.x() >= 0 && p.y() >= 0 && p.x() <= root_.width() && p.y() <= root_.height();
    }

private:
    QSizeF root_;
};

double threadCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

struct Tally {
    long positions = 0, pictures = 0, others = 0, bytes = 0;
    void add(const QVariantMap& event) {
        // The frame's 16-byte header and its property list.
        bytes += 16 + PeerMessage::encodeDictionary(event).size();
        if (event.value("eventName") != "CursorPosChanged")
            ++others;
        else if (++positions; event.contains("cursorData"))
            ++pictures;
    }
};

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const double seconds = argc > 1 ? std::max(1.0, std::atof(argv[1])) : 30.0;

    Display* reader = openXDisplay();
    Display* mover = openXDisplay();
    if (!reader || !mover) {
        std::fprintf(stderr, "bench_cursor: no X server in $DISPLAY\n");
        return 1;
    }
    const int width = DisplayWidth(reader, DefaultScreen(reader));
    const int height = DisplayHeight(reader, DefaultScreen(reader));
    WholeRootShell shell(QSizeF(width, height));
    X11CursorSource cursor;
    X11EventMonitor monitor;
    const auto location = [&] {
        Window root = 0, child = 0;
        int x = 0, y = 0, wx = 0, wy = 0;
        unsigned mask = 0;
        XQueryPointer(reader, DefaultRootWindow(reader), &root, &child, &x, &y, &wx, &wy, &mask);
        return QPointF(x, height - y);
    };
    Tally moving, still;
    Tally* tally = &moving;
    CursorForwarder forwarder({cursor, monitor, location},
                              [&](const QVariantMap& event) { tally->add(event); });
    forwarder.setDelegate(&shell);
    forwarder.registerMouseEvent();

    // Circles over the root at a mouse's rate; the root's cursor changes shape now and then.
    std::atomic<bool> moving_{true};
    std::atomic<long> posted{0}, shapes{0};
    std::thread pointer([&] {
        const unsigned fonts[] = {XC_left_ptr, XC_crosshair, XC_hand2, XC_xterm, XC_fleur, XC_pencil};
        const auto start = std::chrono::steady_clock::now();
        long i = 0;
        double nextShape = 0;
        while (moving_.load()) {
            const double t = double(i) / kMotionsPerSecond;
            const int x = int(width / 2 + width / 3 * std::cos(t * 2));
            const int y = int(height / 2 + height / 3 * std::sin(t * 3));
            XTestFakeMotionEvent(mover, -1, x, y, CurrentTime);
            if (t >= nextShape) {
                Cursor shape = XCreateFontCursor(mover, fonts[shapes.load() % std::size(fonts)]);
                XDefineCursor(mover, DefaultRootWindow(mover), shape);
                XFreeCursor(mover, shape);
                ++shapes;
                nextShape += kShapeInterval;
            }
            XFlush(mover);
            ++posted;
            ++i;
            std::this_thread::sleep_until(start + std::chrono::microseconds(i * 1000000 / kMotionsPerSecond));
        }
        XUndefineCursor(mover, DefaultRootWindow(mover));
        XSync(mover, False);
    });

    const double cpuStart = threadCpuSeconds();
    QElapsedTimer elapsed;
    elapsed.start();
    QTimer::singleShot(int(seconds * 1000), [&] {
        moving_.store(false);
        pointer.join();
        // What was sent meanwhile came from the motion, the last coalesced movement (due within a
        // refresh) included; what follows while still counts apart.
        QTimer::singleShot(100, [&] {
            tally = &still;
            QTimer::singleShot(int(kStillSeconds * 1000), &app, &QCoreApplication::quit);
        });
    });
    const double wallMoving = seconds;
    app.exec();
    const double cpu = threadCpuSeconds() - cpuStart;
    const double wall = double(elapsed.elapsed()) / 1000.0;
    forwarder.unregisterMouseEvent();

    std::printf("cursor forwarding, %.0f s moving then %.0f s still, %dx%d root\n", wallMoving, kStillSeconds,
                width, height);
    std::printf("  motions posted           %8.1f /s\n", double(posted.load()) / wallMoving);
    std::printf("  position messages        %8.1f /s   (%.3f of the motions; aim <= 60 /s)\n",
                double(moving.positions) / wallMoving, double(moving.positions) / double(posted.load()));
    std::printf("  bytes                    %8.0f /s\n", double(moving.bytes) / wallMoving);
    std::printf("  pictures sent            %8ld      (cursor shapes set: %ld; aim: one per change)\n",
                moving.pictures, shapes.load());
    std::printf("  other messages           %8ld\n", moving.others);
    std::printf("  messages while still     %8ld      (aim: none)\n", still.positions + still.others);
    std::printf("  main-thread CPU          %8.2f %%   of one core (aim < 2 %%)\n", 100.0 * cpu / wall);
    XCloseDisplay(mover);
    XCloseDisplay(reader);
    return 0;
}
