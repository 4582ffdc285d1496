// The pen tablet on a real kernel, as the desktop's input stack sees it; runs inside the guest that
// run-uinput-guest.sh boots (it writes the udev database, which outside a guest is the host's own). The
// tablet is made through uinput, its node opened with libinput's path backend, and every step of a
// stroke is checked against what libinput reports. One line per step with libinput's figures, then
// "N passed, N failed".
#include "platform/linux/UinputTablet.h"

#include <libinput.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

constexpr QSize kRoot(1000, 800);

const libinput_interface kInterface = {[](const char* path, int flags, void*) {
                                           const int fd = ::open(path, flags | O_CLOEXEC);
                                           return fd < 0 ? -errno : fd;
                                       },
                                       [](int fd, void*) { ::close(fd); }};

// What udev would have recorded for a tablet's node; libinput ignores a node without it.
bool registerWithUdev(const QString& node) {
    struct stat st;
    if (::stat(node.toLocal8Bit().constData(), &st) != 0) return false;
    ::mkdir("/run/udev", 0755);
    ::mkdir("/run/udev/data", 0755);
    const std::string path =
        "/run/udev/data/c" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
    FILE* f = std::fopen(path.c_str(), "w");
    return f && std::fputs("E:ID_INPUT=1\nE:ID_INPUT_TABLET=1\n", f) >= 0 && std::fclose(f) == 0;
}

// What libinput reported over a while: the proximity and tip changes in order ("in out down up"),
// and the axes of the last tablet event.
struct Report {
    std::string changes;
    bool seen = false, pen = true, removed = false;
    double x = 0, y = 0, pressure = 0, tiltX = 0, tiltY = 0;
};

Report collect(libinput* li, int ms) {
    Report r;
    pollfd p{libinput_get_fd(li), POLLIN, 0};
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (long left = ms; left >= 0;) {
        ::poll(&p, 1, int(left));
        libinput_dispatch(li);
        while (libinput_event* event = libinput_get_event(li)) {
            const libinput_event_type type = libinput_event_get_type(event);
            r.removed = r.removed || type == LIBINPUT_EVENT_DEVICE_REMOVED;
            if (type >= LIBINPUT_EVENT_TABLET_TOOL_AXIS && type <= LIBINPUT_EVENT_TABLET_TOOL_BUTTON) {
                libinput_event_tablet_tool* t = libinput_event_get_tablet_tool_event(event);
                const char* change = type == LIBINPUT_EVENT_TABLET_TOOL_PROXIMITY
                                         ? (libinput_event_tablet_tool_get_proximity_state(t) ? "in" : "out")
                                     : type == LIBINPUT_EVENT_TABLET_TOOL_TIP
                                         ? (libinput_event_tablet_tool_get_tip_state(t) ? "down" : "up")
                                         : nullptr;
                if (change) r.changes += (r.changes.empty() ? "" : " ") + std::string(change);
                r.seen = true;
                r.pen = r.pen && libinput_tablet_tool_get_type(libinput_event_tablet_tool_get_tool(t)) ==
                                     LIBINPUT_TABLET_TOOL_TYPE_PEN;
                r.x = libinput_event_tablet_tool_get_x_transformed(t, uint32_t(kRoot.width()));
                r.y = libinput_event_tablet_tool_get_y_transformed(t, uint32_t(kRoot.height()));
                r.pressure = libinput_event_tablet_tool_get_pressure(t);
                r.tiltX = libinput_event_tablet_tool_get_tilt_x(t);
                r.tiltY = libinput_event_tablet_tool_get_tilt_y(t);
            }
            libinput_event_destroy(event);
        }
        left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                   .count();
    }
    return r;
}

PenSample pen(double x, double y, double pressure, double tiltX, double tiltY, bool tip) {
    return PenSample{QPointF(x, y), pressure, tiltX, tiltY, tip};
}

} // namespace

int main() {
    if (qEnvironmentVariable("ZUB_GUEST") != "1") {
        std::fprintf(stderr, "pen: runs only inside the guest of run-uinput-guest.sh\n");
        return 2;
    }
    OptError error;
    std::unique_ptr<UinputTablet> tablet = UinputTablet::open(kRoot, &error);
    const QString node = tablet ? tablet->devicePath() : QString();
    libinput* li = libinput_path_create_context(&kInterface, nullptr);
    libinput_device* device = tablet && registerWithUdev(node)
                                  ? libinput_path_add_device(li, node.toLocal8Bit().constData())
                                  : nullptr;
    if (!device || !libinput_device_has_capability(device, LIBINPUT_DEVICE_CAP_TABLET_TOOL)) {
        std::printf("pen: FAIL libinput has no tablet at \"%s\" (%s)\n", qPrintable(node),
                    error ? qPrintable(error->toString()) : "made");
        return 1;
    }
    std::printf("pen: libinput takes \"%s\" at %s for a tablet\n", libinput_device_get_name(device),
                qPrintable(node));
    collect(li, 50);

    // Position in root pixels; pressure 0..1 counted by libinput from its 1% threshold up; tilt in degrees.
    struct Expect {
        std::optional<QPointF> position;
        std::optional<double> pressure;
        std::optional<QPointF> tilt;
    };
    const struct Step {
        const char* what;
        std::function<void()> play;
        int waitMs;
        std::string changes;
        Expect last; // of the step's last event
    } steps[] = {
        // The first time, out and in again at once: what stops libinput guessing a proximity out below.
        {"first proximity in, hovering",
         [&] { tablet->proximityIn(pen(100, 100, 0, 30, -20, false)); },
         30,
         "in out in",
         {QPointF(100, 100), 0.0, QPointF(30, -20)}},
        {"hovering still for 150 ms: no proximity out guessed", [] {}, 150, "", {}},
        {"hovering on", [&] { tablet->move(pen(200, 150, 0, 30, -20, false)); }, 30, "", {{}, 0.0, {}}},
        {"tip down lightly, under libinput's contact threshold",
         [&] { tablet->move(pen(200, 150, 0.02, 30, -20, true)); },
         30,
         "down",
         {}},
        {"half pressure",
         [&] { tablet->move(pen(200, 150, 0.5, 30, -20, true)); },
         30,
         "",
         {{}, 0.5, QPointF(30, -20)}},
        {"drawing harder", [&] { tablet->move(pen(300, 200, 0.8, 30, -20, true)); }, 30, "", {{}, 0.8, {}}},
        {"resting on the glass for 150 ms", [] {}, 150, "", {}},
        {"tip up", [&] { tablet->move(pen(300, 200, 0, 30, -20, false)); }, 30, "up", {{}, 0.0, {}}},
        {"proximity out", [&] { tablet->proximityOut(); }, 30, "out", {}},
        {"in again, landing at once",
         [&] { tablet->proximityIn(pen(500, 400, 0.6, -45, 10, true)); },
         30,
         "in down",
         {QPointF(500, 400), 0.6, QPointF(-45, 10)}},
        {"the tablet goes away while touching: the desktop sees it lifted and out",
         [&] { tablet.reset(); },
         100,
         "up out",
         {}},
    };
    int passed = 0, failed = 0;
    for (const Step& step : steps) {
        step.play();
        const Report r = collect(li, step.waitMs);
        const Expect& e = step.last;
        const bool near =
            (!e.position ||
             (std::abs(r.x - e.position->x()) < 0.5 && std::abs(r.y - e.position->y()) < 0.5)) &&
            (!e.pressure || std::abs(r.pressure - *e.pressure) < 0.02) &&
            (!e.tilt || (std::abs(r.tiltX - e.tilt->x()) < 1 && std::abs(r.tiltY - e.tilt->y()) < 1));
        const bool ok = r.changes == step.changes && r.pen && near &&
                        (r.seen || !(e.position || e.pressure || e.tilt)) && (tablet || r.removed);
        std::printf("pen: %s %s: [%s]", ok ? "ok" : "FAIL", step.what, r.changes.c_str());
        if (r.seen)
            std::printf(" at %.2f,%.2f pressure %.4f tilt %.2f,%.2f", r.x, r.y, r.pressure, r.tiltX, r.tiltY);
        std::printf("%s\n", tablet || r.removed ? "" : " (device not removed)");
        (ok ? passed : failed)++;
    }
    libinput_unref(li);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
