// Pictures per second through the X11 display stream (Damage, shared-memory read, libyuv scaling to twice
// the size, delivery from the pool on the capture thread) against the same read and scaling done in a
// plain loop, measured in the same run. Each iteration draws a small change, then waits for the picture
// that shows it; the ratio is the share of the plain loop's rate the stream keeps.
//
//   bench_capture [iterations]        (needs an X server in $DISPLAY)
#include "platform/x11/X11DisplayStream.h"
#include "platform/x11/XConnection.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <libyuv/scale_argb.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

struct Painter {
    Display* dpy;
    GC gc;
    int n = 0;
    explicit Painter(Display* d) : dpy(d), gc(XCreateGC(d, DefaultRootWindow(d), 0, nullptr)) {}
    ~Painter() { XFreeGC(dpy, gc); }
    // Paints the rectangle (100,100)-(400,300) in the next colour and returns it.
    uint32_t change() {
        const uint32_t colour = (++n & 1) ? 0x3366aa : 0xaa6633;
        XSetForeground(dpy, gc, colour);
        XFillRectangle(dpy, DefaultRootWindow(dpy), gc, 100, 100, 300, 200);
        XSync(dpy, False);
        return colour;
    }
};

// Seconds per picture: draw, then read the screen through shared memory and scale it ourselves.
double bareRead(Display* dpy, int iterations, int w, int h) {
    std::vector<uint8_t> scaled(size_t(2 * w) * size_t(2 * h) * 4);
    const int screen = DefaultScreen(dpy);
    XShmSegmentInfo info{};
    XImage* image = XShmCreateImage(dpy, DefaultVisual(dpy, screen), unsigned(DefaultDepth(dpy, screen)),
                                    ZPixmap, nullptr, &info, unsigned(w), unsigned(h));
    info.shmid = shmget(IPC_PRIVATE, size_t(image->bytes_per_line) * size_t(h), IPC_CREAT | 0600);
    info.shmaddr = image->data = static_cast<char*>(shmat(info.shmid, nullptr, 0));
    shmctl(info.shmid, IPC_RMID, nullptr);
    XShmAttach(dpy, &info);
    Painter paint(dpy);
    std::vector<double> times;
    for (int i = 0; i < iterations; ++i) {
        const auto t0 = Clock::now();
        paint.change();
        XShmGetImage(dpy, DefaultRootWindow(dpy), image, 0, 0, AllPlanes);
        libyuv::ARGBScale(reinterpret_cast<const uint8_t*>(image->data), image->bytes_per_line, w, h,
                          scaled.data(), 4 * 2 * w, 2 * w, 2 * h, libyuv::kFilterNone);
        times.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    XShmDetach(dpy, &info);
    XSync(dpy, False);
    shmdt(info.shmaddr);
    image->data = nullptr;
    XDestroyImage(image);
    return median(times);
}

// Seconds per picture: draw, then wait for the stream to deliver a picture of twice the size.
double streamed(Display* dpy, int iterations, int w, int h, bool cursor) {
    std::mutex mutex;
    std::condition_variable arrived;
    int frames = 0;
    uint32_t shown = 0; // the colour inside the painted rectangle of the newest picture
    X11DisplayStreamFactory factory;
    DisplayStream::Properties props;
    props.showCursor = cursor;
    auto stream = factory.create(1, QRect(0, 0, w, h), 2 * w, 2 * h, PixelBuffer::kBGRA, props,
                                 [&](DisplayStream::FrameStatus status, uint64_t, FramePtr frame) {
                                     if (status != DisplayStream::kFrameComplete || !frame) return;
                                     const uint8_t* p = frame->data() + 300 * frame->bytesPerRow() + 500 * 4;
                                     std::lock_guard lock(mutex);
                                     ++frames;
                                     shown = (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
                                     arrived.notify_all();
                                 });
    if (!stream || stream->start() != DisplayStream::kSuccess) return 0;
    Painter paint(dpy);
    {
        std::unique_lock lock(mutex);
        arrived.wait_for(lock, std::chrono::seconds(5), [&] { return frames > 0; });
    }
    std::vector<double> times;
    for (int i = 0; i < iterations; ++i) {
        const auto t0 = Clock::now();
        const uint32_t colour = paint.change();
        std::unique_lock lock(mutex);
        if (!arrived.wait_for(lock, std::chrono::seconds(5), [&] { return shown == colour; })) break;
        times.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    }
    stream->stop();
    return median(times);
}

} // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    Display* dpy = openXDisplay();
    if (!dpy) {
        std::printf("bench_capture: skipped, no X server in $DISPLAY\n");
        return 0;
    }
    const int w = DisplayWidth(dpy, DefaultScreen(dpy)), h = DisplayHeight(dpy, DefaultScreen(dpy));
    const double bare = bareRead(dpy, iterations, w, h);
    const double ours = streamed(dpy, iterations, w, h, false);
    const double withCursor = streamed(dpy, iterations, w, h, true);
    std::printf("capture %dx%d -> %dx%d, median of %d pictures\n", w, h, 2 * w, 2 * h, iterations);
    std::printf("  baseline: draw, XShmGetImage, scale  %7.2f ms  %6.1f pictures/s\n", bare * 1e3, 1 / bare);
    std::printf(
        "  display stream (no cursor)           %7.2f ms  %6.1f pictures/s  ratio %.2f of baseline rate\n",
        ours * 1e3, 1 / ours, bare / ours);
    std::printf(
        "  display stream (cursor drawn in)     %7.2f ms  %6.1f pictures/s  ratio %.2f of baseline rate\n",
        withCursor * 1e3, 1 / withCursor, bare / withCursor);
    XCloseDisplay(dpy);
    return 0;
}
