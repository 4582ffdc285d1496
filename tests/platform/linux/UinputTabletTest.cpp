#include "platform/linux/UinputTablet.h"

#include "fakes/TestSupport.h"

#include <gtest/gtest.h>
#include <libevdev/libevdev.h>

#include <QDir>

#include <cerrno>
#include <cmath>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <map>
#include <unistd.h>

namespace {

struct Ev {
    int type;
    int code;
    int value;
    bool operator==(const Ev&) const = default;
};
void PrintTo(const Ev& e, std::ostream* os) {
    *os << '{' << libevdev_event_type_get_name(e.type) << ' ' << libevdev_event_code_get_name(e.type, e.code)
        << ' ' << e.value << '}';
}
Ev abs(int code, int value) {
    return {EV_ABS, code, value};
}
Ev key(int code, int value) {
    return {EV_KEY, code, value};
}
const Ev syn{EV_SYN, SYN_REPORT, 0};

// The read end of a pipe the writer writes into: what a uinput device would be handed.
class EventPipe {
public:
    EventPipe() {
        EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
        ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    }
    ~EventPipe() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    int writeEnd() const { return fds_[1]; }
    std::vector<Ev> take() {
        std::vector<Ev> events;
        input_event e;
        while (::read(fds_[0], &e, sizeof e) == ssize_t(sizeof e))
            events.push_back({e.type, e.code, e.value});
        return events;
    }

private:
    int fds_[2] = {-1, -1};
};

PenSample hover(double x, double y, double tiltX = 0, double tiltY = 0) {
    return PenSample{QPointF(x, y), 0, tiltX, tiltY, false};
}
PenSample touch(double x, double y, double pressure, double tiltX = 0, double tiltY = 0) {
    return PenSample{QPointF(x, y), pressure, tiltX, tiltY, true};
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

} // namespace

// Over a 1000x800 root one device unit is 1000/65536 pixel across and 800/65536 down: (250, 200) is
// (16384, 16384).
TEST(PenEventWriter, WritesAStrokeAsTheDeviceReportsIt) {
    EventPipe pipe;
    std::optional<PenEventWriter> writer(std::in_place, pipe.writeEnd(), QSize(1000, 800));
    using Step = std::function<OptError()>;
    const auto in = [&](PenSample s) -> Step { return [&writer, s] { return writer->proximityIn(s); }; };
    const auto to = [&](PenSample s) -> Step { return [&writer, s] { return writer->move(s); }; };
    const Step out = [&] { return writer->proximityOut(); };
    const auto area = [&](QSize size, PenSample s) -> Step {
        return [&writer, size, s] { return writer->setArea(size), writer->move(s); };
    };
    const Step gone = [&] { return writer.reset(), OptError(); };
    const struct Case {
        const char* what;
        Step step;
        std::vector<Ev> expected;
    } cases[] = {
        {"first proximity in, hovering: every axis, no pressure whatever the sample says, and once out and "
         "in again so that libinput learns that the pen says when it leaves",
         in(PenSample{QPointF(250, 200), 0.4, 10, -5, false}),
         {abs(ABS_X, 16384), abs(ABS_Y, 16384), abs(ABS_TILT_X, 10), abs(ABS_TILT_Y, -5),
          abs(ABS_PRESSURE, 0), key(BTN_TOOL_PEN, 1), syn, key(BTN_TOOL_PEN, 0), syn, key(BTN_TOOL_PEN, 1),
          syn}},
        {"hovering on: what changed", to(hover(500, 200, 10, -5)), {abs(ABS_X, 32768), syn}},
        {"tip down with pressure and tilt",
         to(touch(500, 200, 0.5, 30, -20)),
         {abs(ABS_TILT_X, 30), abs(ABS_TILT_Y, -20), abs(ABS_PRESSURE, 4096), key(BTN_TOUCH, 1), syn}},
        {"pressure beyond 1 is the device's maximum",
         to(touch(750, 400, 1.7, 30, -20)),
         {abs(ABS_X, 49152), abs(ABS_Y, 32768), abs(ABS_PRESSURE, PenLayout::kPressureMax), syn}},
        {"a NaN position is dropped", to(touch(kNaN, 400, 0.5)), {}},
        {"an infinite tilt is dropped", to(touch(100, 400, 0.5, -kInf)), {}},
        {"a touch under libinput's contact threshold stays a touch",
         to(touch(750, 400, -0.5, 30, -20)),
         {abs(ABS_PRESSURE, PenLayout::kContactPressure), syn}},
        {"beyond the root and past 90 degrees: the device's limits",
         to(touch(1200, -5, 0.5, 120, -200)),
         {abs(ABS_X, PenLayout::kPositionMax), abs(ABS_Y, 0), abs(ABS_TILT_X, 90), abs(ABS_TILT_Y, -90),
          abs(ABS_PRESSURE, 4096), syn}},
        {"tip up: pressure falls to 0 with it",
         to(hover(1200, -5, 90, -90)),
         {abs(ABS_PRESSURE, 0), key(BTN_TOUCH, 0), syn}},
        {"the same sample again writes nothing", to(hover(1200, -5, 90, -90)), {}},
        {"proximity out said outright, once", out, {key(BTN_TOOL_PEN, 0), syn}},
        {"out again: nothing", out, {}},
        {"a touch out of proximity comes in hovering first",
         to(touch(250, 200, 0.25)),
         {abs(ABS_X, 16384), abs(ABS_Y, 16384), abs(ABS_TILT_X, 0), abs(ABS_TILT_Y, 0), abs(ABS_PRESSURE, 0),
          key(BTN_TOOL_PEN, 1), syn, abs(ABS_PRESSURE, 2048), key(BTN_TOUCH, 1), syn}},
        {"proximity in while in is a move", in(touch(250, 200, 0.5)), {abs(ABS_PRESSURE, 4096), syn}},
        {"a root twice as large rescales",
         area(QSize(2000, 1600), touch(250, 200, 0.5)),
         {abs(ABS_X, 8192), abs(ABS_Y, 8192), syn}},
        {"an empty root keeps the mapping",
         area(QSize(0, 0), touch(500, 400, 0.5)),
         {abs(ABS_X, 16384), abs(ABS_Y, 16384), syn}},
        {"a writer that goes away while touching lifts the tip, then takes the pen out",
         gone,
         {abs(ABS_PRESSURE, 0), key(BTN_TOUCH, 0), syn, key(BTN_TOOL_PEN, 0), syn}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.step(), std::nullopt);
        EXPECT_EQ(pipe.take(), c.expected);
    }
}

// A proximity change the device never received must be tried again, or the desktop would ignore the
// pen (no proximity in) or keep it touching (no proximity out).
TEST(PenEventWriter, FollowsOnlyTheWritesThatSucceeded) {
    int gone[2];
    ASSERT_EQ(::pipe2(gone, O_CLOEXEC), 0);
    ::close(gone[0]); // a reader that went away: EPIPE
    const int fd = gone[1];
    PenEventWriter writer(fd, QSize(1000, 800));
    const OptError refused = writer.proximityIn(touch(250, 200, 0.5));
    EXPECT_EQ(refused.value_or(Error()).code, EPIPE);

    EventPipe good;
    ASSERT_GE(::dup2(good.writeEnd(), fd), 0);
    EXPECT_EQ(writer.move(touch(250, 200, 0.5)), std::nullopt);
    const std::vector<Ev> events = good.take(); // the whole proximity in, not just what moved
    EXPECT_EQ(std::count(events.begin(), events.end(), abs(ABS_X, 16384)), 1);
    EXPECT_EQ(std::count(events.begin(), events.end(), key(BTN_TOUCH, 1)), 1);

    const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC); // ENOSPC from now on
    ASSERT_GE(::dup2(full, fd), 0);
    ::close(full);
    EXPECT_TRUE(writer.proximityOut().has_value());
    EXPECT_TRUE(writer.inProximity() && writer.tipDown());
    ::close(fd);
}

// What libinput and the X server need of the device, and that its ranges are exactly what the writer
// can write: the extremes of every axis, and a corner beyond the root.
TEST(UinputTablet, DeclaresATabletWhoseRangesAreWhatIsWritten) {
    const UinputTablet::DeviceTemplate device = UinputTablet::deviceTemplate();
    libevdev* dev = device.get();
    EXPECT_TRUE(QString::fromUtf8(libevdev_get_name(dev)).contains("Pen")); // Qt's test for a tablet
    EXPECT_TRUE(libevdev_has_property(dev, INPUT_PROP_DIRECT));
    for (int button : {BTN_TOOL_PEN, BTN_TOUCH, BTN_STYLUS, BTN_STYLUS2})
        EXPECT_TRUE(libevdev_has_event_code(dev, EV_KEY, button)) << button;
    EXPECT_GT(libevdev_get_abs_resolution(dev, ABS_X) * libevdev_get_abs_resolution(dev, ABS_Y), 0);
    for (int code : {ABS_TILT_X, ABS_TILT_Y}) // units per radian, read as degrees
        EXPECT_NEAR(libevdev_get_abs_resolution(dev, code), 180 / M_PI, 0.5);

    EventPipe pipe;
    PenEventWriter writer(pipe.writeEnd(), QSize(1366, 1024));
    writer.proximityIn(hover(-10, -10, -400, -400));
    writer.move(touch(5000, 5000, 80, 400, 400));
    std::map<int, std::pair<int, int>> seen; // code: lowest, highest
    for (const Ev& e : pipe.take()) {
        if (e.type != EV_ABS) continue;
        auto [it, fresh] = seen.try_emplace(e.code, e.value, e.value);
        it->second = {std::min(it->second.first, e.value), std::max(it->second.second, e.value)};
    }
    EXPECT_EQ(seen.size(), 5u);
    for (const auto& [code, range] : seen) {
        EXPECT_EQ(range.first, libevdev_get_abs_minimum(dev, code))
            << libevdev_event_code_get_name(EV_ABS, code);
        EXPECT_EQ(range.second, libevdev_get_abs_maximum(dev, code))
            << libevdev_event_code_get_name(EV_ABS, code);
    }
}

// Without uinput the program runs on without pressure, and the log says why and where to read on.
TEST(UinputTablet, OpeningSaysWhyPressureAndTiltAreOff) {
    const QString file = tempPath("not-uinput");
    ASSERT_TRUE(writeFile(file, "x"));
    const struct {
        QString path;
        int code;
        const char* says;
    } cases[] = {
        {tempPath("no-such-node"), ENOENT, "is missing (the uinput module is not loaded)"},
        {QDir::tempPath(), EISDIR, "cannot be opened"},
        {file, ENOTTY, "the kernel refused the pen device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        OptError error;
        EXPECT_EQ(UinputTablet::open(QSize(1000, 800), &error, c.path), nullptr);
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(*error, Error::make(kPOSIXErrorDomain, c.code));
        EXPECT_TRUE(error->description.contains(c.says)) << error->description.toStdString();
        EXPECT_TRUE(error->description.endsWith("pressure and tilt are off; see README, Pressure"));
    }
}
