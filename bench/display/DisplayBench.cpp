// What looking at the displays costs through X11DisplayServices, against the same XRandR requests made
// by hand in the same run. The services read the arrangement afresh on every question (so an answer is
// never stale), which is only affordable while that costs about what the bare requests cost.
//
//   bench_display [iterations]        (needs an X server in $DISPLAY)
#include "display/ZDVirtualScreenController.h"
#include "platform/x11/X11DisplayServices.h"
#include "platform/x11/XConnection.h"

#include <QCoreApplication>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

namespace {

using SteadyClock = std::chrono::steady_clock;

// Microseconds per call, the best of three runs.
double microsecondsPerCall(int iterations, const std::function<void()>& call) {
    double best = 1e300;
    for (int run = 0; run < 3; ++run) {
        const auto start = SteadyClock::now();
        for (int i = 0; i < iterations; ++i)
            call();
        const double us = std::chrono::duration<double, std::micro>(SteadyClock::now() - start).count();
        best = std::min(best, us / iterations);
    }
    return best;
}

// The main display's bounds with the bare requests: resources, primary, each output and its CRTC.
QRect bareBounds(Display* dpy, bool withEdid) {
    const Window root = DefaultRootWindow(dpy);
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(dpy, root);
    const RROutput primary = XRRGetOutputPrimary(dpy, root);
    const Atom edid = XInternAtom(dpy, "EDID", False);
    QRect main;
    for (int i = 0; res && i < res->noutput; ++i) {
        XRROutputInfo* info = XRRGetOutputInfo(dpy, res, res->outputs[i]);
        if (info && info->connection == RR_Connected && info->crtc) {
            XRRCrtcInfo* crtc = XRRGetCrtcInfo(dpy, res, info->crtc);
            if (crtc && (main.isNull() || res->outputs[i] == primary))
                main = QRect(crtc->x, crtc->y, int(crtc->width), int(crtc->height));
            if (crtc) XRRFreeCrtcInfo(crtc);
            if (withEdid) {
                Atom type;
                int format;
                unsigned long count, remaining;
                unsigned char* data = nullptr;
                XRRGetOutputProperty(dpy, res->outputs[i], edid, 0, 256, False, False, AnyPropertyType, &type,
                                     &format, &count, &remaining, &data);
                if (data) XFree(data);
            }
        }
        if (info) XRRFreeOutputInfo(info);
    }
    if (res) XRRFreeScreenResources(res);
    return main;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;
    OptError error;
    auto services = X11DisplayServices::open({}, &error);
    Display* dpy = openXDisplay();
    if (!services || !dpy) {
        std::printf("bench_display: skipped, %s\n",
                    services ? "no X display" : qPrintable(error->toString()));
        return 0;
    }
    const DisplayID main = services->mainDisplayID();
    std::printf("%zu display(s), %d calls per run, best of 3 runs\n", services->onlineDisplayList(15).size(),
                iterations);

    volatile int sink = 0;
    const double bare =
        microsecondsPerCall(iterations, [&] { sink = sink + bareBounds(dpy, false).width(); });
    const double ours =
        microsecondsPerCall(iterations, [&] { sink = sink + int(services->bounds(main).width()); });
    std::printf("bounds of the main display: bare XRandR %8.1f us | DisplayServices %8.1f us | ratio %.2f\n",
                bare, ours, ours / bare);

    // The directory: every online display with its model, serial number and name from the EDID.
    const double bareDirectory =
        microsecondsPerCall(iterations, [&] { sink = sink + bareBounds(dpy, true).width(); });
    const double directory = microsecondsPerCall(iterations, [&] {
        ZDVirtualScreenController controller(*services);
        sink = sink + int(controller.onlineDisplays().size());
    });
    std::printf("display directory:          bare XRandR %8.1f us | controller     %8.1f us | ratio %.2f\n",
                bareDirectory, directory, directory / bareDirectory);
    std::printf("aim: ratios <= 2 (one arrangement read per question)\n");
    XCloseDisplay(dpy);
    return 0;
}
