// What a pinch or a two-finger pan costs in the agent: "Zoomed" and "TwoFingerPanned" frames as the
// link hands them over, through the session's dispatch, the strategy of the application in front and
// X11EventPoster (the trackpad's magnify included, which is posted from the main queue), against a
// bare post() of a drag measured in the same run. Median and 99th percentile per message, for each
// strategy and over all. Aim: p99 under 0.2 ms.
//
//   bench_gestures [messages]        (100,000 by default; needs an X server in $DISPLAY)
#include "../input/InputOnlyShell.h"
#include "base/PropertyList.h"
#include "base/UserDefaults.h"
#include "display/ZDVirtualScreenController.h"
#include "input/InputTranslation.h"
#include "link/PTData.h"
#include "platform/Workspace.h"
#include "platform/linux/LinuxSystemInfo.h"
#include "platform/x11/X11DisplayServices.h"
#include "platform/x11/X11EventMonitor.h"
#include "platform/x11/X11EventPoster.h"
#include "platform/x11/X11InputSources.h"
#include "session/CaptureController.h"
#include "session/PeerMessage.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <algorithm>
#include "../BenchTiming.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

using bench::Figures;
using bench::figures;
using bench::since;
using bench::SteadyClock;

// The application in front, as the bench says.
class ChosenWorkspace final : public Workspace {
public:
    FrontmostApplicationInfo frontmost;
    FrontmostApplicationInfo frontmostApplication() override { return frontmost; }
    OptError registerRunningApplication(const QString&) override { return std::nullopt; }
    std::vector<RunningApplication> runningApplicationsWithBundleIdentifier(const QString&) override {
        return {};
    }
    qint64 currentProcessIdentifier() const override { return 1; }
    bool forceTerminate(const RunningApplication&) override { return false; }
    bool openURL(const QUrl&) override { return false; }
};

// Message i of a gesture of `length`: a pinch that opens and closes again, or a pan that wanders
// across the middle of the screen.
PTData frame(bool zoom, int i, int length) {
    const bool start = i == 0, end = i == length - 1;
    const double t = double(i) / length;
    QVariantMap m{{QStringLiteral("x"), 0.3 + 0.4 * t}, {QStringLiteral("y"), 0.5 + 0.1 * std::sin(t * 6)}};
    if (zoom) {
        const double scale = 1.0 + 0.8 * std::sin(t * 3.14159);
        m.insert(QStringLiteral("eventName"), QStringLiteral("Zoomed"));
        m.insert(QStringLiteral("scale"), scale);
        m.insert(QStringLiteral("zoom"), t < 0.5 ? 1 : 2);
        m.insert(QStringLiteral("startOfZoom"), start);
        m.insert(QStringLiteral("endOfZoom"), end);
    } else {
        m.insert(QStringLiteral("eventName"), QStringLiteral("TwoFingerPanned"));
        m.insert(QStringLiteral("vx"), 0.2);
        m.insert(QStringLiteral("startOfPan"), start);
        m.insert(QStringLiteral("endOfPan"), end);
    }
    return PTData(PropertyList::serialize(m, PropertyList::Format::Binary));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int messages = argc > 1 ? std::max(1000, std::atoi(argv[1])) : 100000;
    OptError error;
    auto services = X11DisplayServices::open({}, &error);
    auto poster = services ? X11EventPoster::open(*services, nullptr, {}, &error) : nullptr;
    if (!poster) {
        std::printf("bench_gestures: skipped, %s\n", error ? qPrintable(error->toString()) : "no X display");
        return 0;
    }
    QTemporaryDir settings;
    UserDefaults defaults(settings.filePath(QStringLiteral("defaults.plist")));
    ZDVirtualScreenController screens(*services);
    ChosenWorkspace workspace;
    X11EventMonitor monitor;
    X11InputSources layouts;
    InputTranslation input({*poster, monitor, layouts, workspace, defaults}, screens, {});
    InputOnlyShell shell(input);
    LinuxSystemInfo systemInfo;
    CaptureController session(systemInfo);
    session.setDelegate(&shell);

    // One application per strategy family: trackpad magnify and the one-finger scroll; Option and
    // the wheel with wheel lines; stepped Control-plus and a drag with Space held.
    const struct {
        const char* name;
        const char* identifier;
    } applications[] = {
        {"Krita (magnify, scroll)", "org.kde.krita"},
        {"Photoshop (Option+wheel, lines)", "com.adobe.Photoshop"},
        {"Corel Painter (keys, Space+drag)", "com.corel.Painter"},
    };
    constexpr int kGestureLength = 100;
    std::vector<PTData> zooms, pans;
    for (int i = 0; i < kGestureLength; ++i) {
        zooms.push_back(frame(true, i, kGestureLength));
        pans.push_back(frame(false, i, kGestureLength));
    }
    Event drag;
    drag.type = EventType::kLeftMouseDragged;
    const int count = int(std::size(applications));
    std::vector<double> all, baseline;
    std::printf("%d zoom and pan messages, in gestures of %d\n", messages, kGestureLength);
    for (int k = 0; k < count; ++k) {
        const auto& application = applications[k];
        const int perApplication = messages * (k + 1) / count - messages * k / count;
        workspace.frontmost = {QString::fromLatin1(application.identifier), {}};
        input.getCurrentApp();
        std::vector<double> ours;
        ours.reserve(size_t(perApplication));
        for (int i = 0; i < perApplication; ++i) {
            const bool zoom = i / kGestureLength % 2 == 0;
            PTData& data = (zoom ? zooms : pans)[size_t(i % kGestureLength)];
            const auto start = SteadyClock::now();
            session.ioFrameChannelDidReceiveFrameOfType(nullptr, PeerMessage::kFrameTypeEvent, 0, &data);
            // The trackpad's gestures go out from the main queue: their posting is the message's.
            QCoreApplication::processEvents();
            ours.push_back(since(start));
            const auto bare = SteadyClock::now();
            drag.location = QPointF(400 + i % 400, 300);
            poster->post(drag, EventTap::kHID);
            baseline.push_back(since(bare));
        }
        input.releaseHeldInput();
        const Figures f = figures(ours);
        std::printf("%-34s median %7.2f us p99 %7.2f us\n", application.name, f.median, f.p99);
        all.insert(all.end(), ours.begin(), ours.end());
    }
    const Figures f = figures(all), b = figures(baseline);
    std::printf("%-34s median %7.2f us p99 %7.2f us | post() of a drag alone median %7.2f us p99 %7.2f us"
                " | ratio %.2f / %.2f\n",
                "all:", f.median, f.p99, b.median, b.p99, f.median / b.median, f.p99 / b.p99);
    std::printf("aim: p99 under 200 us\n");
    return 0;
}
