// What posting a pen drag costs through X11EventPoster, against the bare XTest request it comes down
// to, measured in the same run:
//  - the call: post() of a left-mouse-dragged event, which returns once the request is written;
//  - the road to the desktop: from post() to the moment another client of the server reads the
//    motion (XInput 2 raw motion on the root), the poster's share of the pen-to-desktop delay.
//  - the handler: a "PencilEvent" frame as the link hands it over, through the session's dispatch,
//    the pencil's routing and the poster (100,000 by default), against post() alone;
//  - the keys: a "KeyboardEvent" frame the same way, through the key table and the poster's
//    keystroke with its modifiers, against the bare XTest keystroke.
// Each as median and 99th percentile per event. Aim: ratios near 1 for the poster (it adds
// bookkeeping, no round trip); the handler's p99 under 0.2 ms.
//
//   bench_input [events] [handler messages]        (needs an X server in $DISPLAY; it types, so
//                                                   give it an Xvfb of its own)
#include "InputOnlyShell.h"
#include "base/PropertyList.h"
#include "base/UserDefaults.h"
#include "display/ZDVirtualScreenController.h"
#include "input/InputTranslation.h"
#include "link/PTData.h"
#include "platform/linux/LinuxSystemInfo.h"
#include "platform/linux/LinuxWorkspace.h"
#include "platform/x11/X11DisplayServices.h"
#include "platform/x11/X11EventMonitor.h"
#include "platform/x11/X11EventPoster.h"
#include "platform/x11/X11InputSources.h"
#include "platform/x11/XConnection.h"
#include "session/CaptureController.h"
#include "session/PeerMessage.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>
#include "../BenchTiming.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <poll.h>
#include <vector>

namespace {

using bench::Figures;
using bench::figures;
using bench::since;
using bench::SteadyClock;

// Microseconds of each of `count` calls of `step(i)`.
std::vector<double> timeEach(int count, const std::function<void(int)>& step) {
    std::vector<double> us;
    us.reserve(size_t(count));
    for (int i = 0; i < count; ++i) {
        const auto start = SteadyClock::now();
        step(i);
        us.push_back(since(start));
    }
    return us;
}

// A client of its own that hears every pointer motion of the server.
class MotionListener {
public:
    MotionListener() : dpy_(openXDisplay()) {
        int event = 0, error = 0;
        if (!dpy_ || !XQueryExtension(dpy_, "XInputExtension", &opcode_, &event, &error)) return;
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawMotion);
        XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
        XISelectEvents(dpy_, DefaultRootWindow(dpy_), &mask, 1);
        XSync(dpy_, False);
        ok_ = true;
    }
    ~MotionListener() {
        if (dpy_) XCloseDisplay(dpy_);
    }
    bool ok() const { return ok_; }
    // Forgets the motions heard so far.
    void drain() {
        XSync(dpy_, False);
        while (XPending(dpy_)) {
            XEvent e;
            XNextEvent(dpy_, &e);
        }
    }
    // Waits (up to a second) for the next motion.
    bool awaitMotion() {
        const auto deadline = SteadyClock::now() + std::chrono::seconds(1);
        while (SteadyClock::now() < deadline) {
            while (XPending(dpy_)) {
                XEvent e;
                XNextEvent(dpy_, &e);
                if (e.type == GenericEvent && e.xcookie.extension == opcode_ &&
                    e.xcookie.evtype == XI_RawMotion)
                    return true;
            }
            pollfd fd{ConnectionNumber(dpy_), POLLIN, 0};
            poll(&fd, 1, 100);
        }
        return false;
    }

private:
    Display* dpy_;
    int opcode_ = -1;
    bool ok_ = false;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int count = argc > 1 ? std::max(100, std::atoi(argv[1])) : 5000;
    OptError error;
    auto services = X11DisplayServices::open({}, &error);
    auto poster = services ? X11EventPoster::open(*services, nullptr, {}, &error) : nullptr;
    Display* bare = openXDisplay();
    MotionListener listener;
    if (!poster || !bare || !listener.ok()) {
        std::printf("bench_input: skipped, %s\n", error ? qPrintable(error->toString()) : "no X display");
        if (bare) XCloseDisplay(bare);
        return 0;
    }
    const QSizeF root(DisplayWidth(bare, DefaultScreen(bare)), DisplayHeight(bare, DefaultScreen(bare)));
    // A stroke across the middle of the root, a pixel a step, back and forth.
    const auto at = [&](int i) {
        const int span = int(root.width()) / 2;
        const int x = i / span % 2 ? span - i % span : i % span;
        return QPointF(root.width() / 4 + x, root.height() / 2);
    };
    Event drag;
    drag.type = EventType::kLeftMouseDragged;
    const auto postDrag = [&](int i) {
        drag.location = at(i);
        poster->post(drag, EventTap::kHID);
    };
    const auto bareMotion = [&](int i) {
        const QPointF p = at(i);
        XTestFakeMotionEvent(bare, DefaultScreen(bare), int(p.x()), int(p.y()), CurrentTime);
        XFlush(bare);
    };

    std::printf("%d events per figure on a %dx%d root\n", count, int(root.width()), int(root.height()));
    const auto line = [](const char* what, Figures ours, Figures baseline) {
        std::printf("%-28s post() median %7.2f us p99 %7.2f us | bare XTest median %7.2f us p99 %7.2f us"
                    " | ratio %.2f / %.2f\n",
                    what, ours.median, ours.p99, baseline.median, baseline.p99, ours.median / baseline.median,
                    ours.p99 / baseline.p99);
    };
    // Interleaved in blocks, so that a busy moment of the machine falls on both.
    std::vector<double> ours, baseline;
    for (int block = 0; block < 10; ++block) {
        const auto o = timeEach(count / 10, [&](int i) { postDrag(block * count + i); });
        const auto b = timeEach(count / 10, [&](int i) { bareMotion(block * count + i); });
        ours.insert(ours.end(), o.begin(), o.end());
        baseline.insert(baseline.end(), b.begin(), b.end());
        XSync(bare, False);
    }
    line("the call:", figures(ours), figures(baseline));

    ours.clear();
    baseline.clear();
    int lost = 0;
    XSync(bare, False);
    listener.drain();
    for (int block = 0; block < 10; ++block) {
        const auto o = timeEach(count / 50, [&](int i) {
            postDrag(block * count + i + 1);
            lost += !listener.awaitMotion();
        });
        const auto b = timeEach(count / 50, [&](int i) {
            bareMotion(block * count + i + 2);
            lost += !listener.awaitMotion();
        });
        ours.insert(ours.end(), o.begin(), o.end());
        baseline.insert(baseline.end(), b.begin(), b.end());
    }
    line("to another client:", figures(ours), figures(baseline));
    if (lost) std::printf("%d motions never arrived (timed at one second each)\n", lost);

    // The handler: frames as the link delivers them, a stroke whose samples walk the mirrored screen.
    const int messages = argc > 2 ? std::max(100, std::atoi(argv[2])) : 100000;
    QTemporaryDir settings;
    UserDefaults defaults(settings.filePath(QStringLiteral("defaults.plist")));
    ZDVirtualScreenController screens(*services);
    LinuxWorkspace workspace(settings.path());
    X11EventMonitor monitor;
    X11InputSources layouts;
    InputTranslation input({*poster, monitor, layouts, workspace, defaults}, screens, {});
    InputOnlyShell shell(input);
    LinuxSystemInfo systemInfo;
    CaptureController session(systemInfo);
    session.setDelegate(&shell);
    const auto frame = [&](int i) {
        const QVariantMap sample{{QStringLiteral("eventName"), QStringLiteral("PencilEvent")},
                                 {QStringLiteral("x"), 0.25 + 0.5 * (i % 1000) / 1000.0},
                                 {QStringLiteral("y"), 0.5},
                                 {QStringLiteral("pressure"), 0.5},
                                 {QStringLiteral("altitude"), 1.0},
                                 {QStringLiteral("azimuth"), 0.5},
                                 {QStringLiteral("startOfDrag"), i == 0},
                                 {QStringLiteral("endOfDrag"), i == messages - 1}};
        return PTData(PropertyList::serialize(sample, PropertyList::Format::Binary));
    };
    std::vector<PTData> frames;
    frames.reserve(size_t(messages));
    for (int i = 0; i < messages; ++i)
        frames.push_back(frame(i));
    // Each frame through the dispatch, against `alone` of the same index, interleaved in blocks.
    const auto handlerLine = [&](const char* what, std::vector<PTData>& messageFrames,
                                 const std::function<void(int)>& alone, const char* baselineName) {
        const int n = int(messageFrames.size());
        std::vector<double> handled, aloneUs;
        for (int block = 0; block < 10; ++block) {
            const int first = block * n / 10;
            const auto o = timeEach(n / 10, [&](int i) {
                session.ioFrameChannelDidReceiveFrameOfType(nullptr, PeerMessage::kFrameTypeEvent, 0,
                                                            &messageFrames[size_t(first + i)]);
            });
            const auto b = timeEach(n / 10, [&](int i) { alone(first + i); });
            handled.insert(handled.end(), o.begin(), o.end());
            aloneUs.insert(aloneUs.end(), b.begin(), b.end());
            XSync(bare, False);
        }
        const Figures h = figures(handled), p = figures(aloneUs);
        std::printf("%-28s median %7.2f us p99 %7.2f us | %s median %7.2f us p99 %7.2f us"
                    " | ratio %.2f / %.2f (%d messages)\n",
                    what, h.median, h.p99, baselineName, p.median, p.p99, h.median / p.median, h.p99 / p.p99,
                    n);
    };
    handlerLine("the handler:", frames, postDrag, "post() alone");

    // -- keys: letters, digits, named keys and modifiers as a keyboard on the device sends them.
    static const char* const kInputs[] = {"A", "Z", "7", "ENTER", "TAB", "\u2191", "Q", "M"};
    static const char* const kModifiers[] = {"", "SHIFT", "\u2318", "", "\u2318SHIFT", "", "\u2325", ""};
    std::vector<PTData> keyFrames;
    keyFrames.reserve(size_t(messages));
    for (int i = 0; i < messages; ++i) {
        const QVariantMap key{{QStringLiteral("eventName"), QStringLiteral("KeyboardEvent")},
                              {QStringLiteral("inputString"), QString::fromUtf8(kInputs[i % 8])},
                              {QStringLiteral("modifiers"), QString::fromUtf8(kModifiers[i % 7])},
                              {QStringLiteral("keyboardLayout"), QStringLiteral("en_US")}};
        keyFrames.push_back(PTData(PropertyList::serialize(key, PropertyList::Format::Binary)));
    }
    const unsigned keyA = XKeysymToKeycode(bare, XK_a);
    const auto bareKeystroke = [&](int) {
        XTestFakeKeyEvent(bare, keyA, True, CurrentTime);
        XTestFakeKeyEvent(bare, keyA, False, CurrentTime);
        XFlush(bare);
    };
    handlerLine("the keys:", keyFrames, bareKeystroke, "bare keystroke");
    std::printf("aim: ratios near 1 for the poster; the handler's and the keys' p99 under 200 us\n");
    XCloseDisplay(bare);
    return 0;
}
