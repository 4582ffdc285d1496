// Synthetic input, keyboard layouts and the global key monitor against an X server of the test's own:
// a root wider than one laptop display (2560x1024), a pointer client (scribble) that reports what X
// delivered, and layouts switched with setxkbmap without disturbing anyone else's display.
#include "platform/linux/PenTablet.h"
#include "platform/x11/X11DisplayServices.h"
#include "platform/x11/X11EventMonitor.h"
#include "platform/x11/X11EventPoster.h"
#include "platform/x11/X11InputSources.h"
#include "platform/x11/XConnection.h"

#include "fakes/ChildProcess.h"
#include "fakes/PrivateXvfb.h"
#include "fakes/TestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/Xrandr.h>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Strings = std::vector<std::string>;

Event mouse(int32_t type, QPointF at, int32_t button = MouseButton::kLeft) {
    Event e;
    e.type = type;
    e.location = at;
    e.mouseButton = button;
    return e;
}

Event wheel(int32_t units, std::initializer_list<int32_t> values) {
    Event e;
    e.type = EventType::kScrollWheel;
    e.scrollUnits = units;
    e.wheelCount = int32_t(values.size());
    std::copy(values.begin(), values.end(), e.wheels);
    return e;
}

Event key(int32_t type, uint16_t code, uint64_t flags = 0) {
    Event e;
    e.type = type;
    e.keyCode = code;
    e.flags = flags;
    return e;
}

Event pen(int32_t type, QPointF at, double pressure, double tiltX = 0, double tiltY = 0) {
    Event e = mouse(type, at);
    e.integerFields[EventField::kMouseEventSubtype] = kEventSubtypeTabletPoint;
    e.doubleFields[EventField::kTabletEventPointPressure] = pressure;
    e.doubleFields[EventField::kTabletEventTiltX] = tiltX;
    e.doubleFields[EventField::kTabletEventTiltY] = tiltY;
    return e;
}

Event proximity(int32_t type, QPointF at, bool near) {
    Event e = mouse(type, at);
    if (type == EventType::kMouseMoved)
        e.integerFields[EventField::kMouseEventSubtype] = kEventSubtypeTabletProximity;
    e.integerFields[EventField::kTabletProximityEventEnterProximity] = near;
    return e;
}

// A pen that writes down what it is asked.
class RecordingPen final : public PenTablet {
public:
    explicit RecordingPen(QString name = QStringLiteral("Zub Test Pen")) : name_(std::move(name)) {}
    void proximityIn(const PenSample& s) override { calls.push_back("in " + text(s)); }
    void move(const PenSample& s) override { calls.push_back("move " + text(s)); }
    void proximityOut() override { calls.push_back("out"); }
    void setArea(QSize size) override {
        calls.push_back("area " + std::to_string(size.width()) + "x" + std::to_string(size.height()));
    }
    QString deviceName() const override { return name_; }
    Strings calls;

private:
    static std::string text(const PenSample& s) {
        return QStringLiteral("%1,%2 %3 p%4 t%5,%6")
            .arg(s.position.x())
            .arg(s.position.y())
            .arg(s.tip ? "tip" : "air")
            .arg(s.pressure, 0, 'f', 2)
            .arg(s.tiltX, 0, 'f', 0)
            .arg(s.tiltY, 0, 'f', 0)
            .toStdString();
    }
    QString name_;
};

// The raw key presses and releases of the test's connection, as "+keysym" and "-keysym".
class RawKeys {
public:
    explicit RawKeys(Display* dpy) : dpy_(dpy) {
        int event = 0, error = 0;
        XQueryExtension(dpy_, "XInputExtension", &opcode_, &event, &error);
        unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
        XISetMask(bits, XI_RawKeyPress);
        XISetMask(bits, XI_RawKeyRelease);
        XIEventMask mask{XIAllMasterDevices, int(sizeof bits), bits};
        XISelectEvents(dpy_, DefaultRootWindow(dpy_), &mask, 1);
        XSync(dpy_, False);
    }
    // The keys seen once `count` have come (and a moment more for any extra), from the last call on.
    Strings await(size_t count) {
        Strings keys;
        waitUntil(
            [&] {
                readInto(keys);
                return keys.size() >= count;
            },
            3000);
        spinEventLoop(100);
        readInto(keys);
        return keys;
    }

private:
    void readInto(Strings& keys) {
        XSync(dpy_, False);
        while (XPending(dpy_)) {
            XEvent e;
            XNextEvent(dpy_, &e);
            if (e.type != GenericEvent || e.xcookie.extension != opcode_ || !XGetEventData(dpy_, &e.xcookie))
                continue;
            const auto* raw = static_cast<const XIRawEvent*>(e.xcookie.data);
            const char* name = XKeysymToString(XkbKeycodeToKeysym(dpy_, KeyCode(raw->detail), 0, 0));
            keys.push_back((e.xcookie.evtype == XI_RawKeyPress ? "+" : "-") + std::string(name ? name : "?"));
            XFreeEventData(dpy_, &e.xcookie);
        }
    }

    Display* dpy_;
    int opcode_ = -1;
};

bool anyKeyDown(Display* dpy) {
    char keys[32] = {};
    XQueryKeymap(dpy, keys);
    return std::any_of(std::begin(keys), std::end(keys), [](char c) { return c != 0; });
}

class X11InputTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { xvfb = new PrivateXvfb(2560, 1024); }
    static void TearDownTestSuite() {
        delete scribble;
        scribble = nullptr;
        delete xvfb;
        xvfb = nullptr;
    }

    void SetUp() override {
        if (!xvfb->running()) GTEST_SKIP() << xvfb->failure().toStdString();
        name = xvfb->displayName();
        dpy = openXDisplay(name);
        ASSERT_NE(dpy, nullptr);
        int op = 0, ev = 0, err = 0;
        for (const char* ext : {"XTEST", "XInputExtension", "XKEYBOARD"})
            if (!XQueryExtension(dpy, ext, &op, &ev, &err)) GTEST_SKIP() << "the X server lacks " << ext;
        services = X11DisplayServices::open(name);
        ASSERT_TRUE(services);
    }
    void TearDown() override {
        if (dpy) XCloseDisplay(dpy);
    }

    std::unique_ptr<X11EventPoster> openPoster(PenTablet* tablet = nullptr) {
        OptError error;
        auto poster = X11EventPoster::open(*services, tablet, name, &error);
        EXPECT_TRUE(poster) << (error ? error->toString().toStdString() : "");
        return poster;
    }

    // What the pointer client received since `mark` lines: presses and releases as "press B X,Y",
    // moves as "motion X,Y" (a move that did not move is no news).
    Strings seenSince(int mark) {
        Strings seen;
        QFile file(scribblePath);
        if (!file.open(QIODevice::ReadOnly)) return seen;
        const QList<QByteArray> lines = file.readAll().split('\n');
        QPoint at(-1, -1);
        for (int i = 0; i < lines.size(); ++i) {
            const QJsonObject o = QJsonDocument::fromJson(lines[i]).object();
            const QString type = o.value("type").toString();
            if (type.isEmpty() || type == "ready") continue;
            const QJsonArray root = o.value("root").toArray();
            const QPoint p(int(root.at(0).toDouble()), int(root.at(1).toDouble()));
            const bool moved = p != at;
            at = p;
            if (i < mark + 1) continue;
            const std::string where = std::to_string(p.x()) + "," + std::to_string(p.y());
            if (type == "motion") {
                if (moved) seen.push_back("motion " + where);
            } else {
                seen.push_back(type.toStdString() + " " + std::to_string(o.value("button").toInt()) + " " +
                               where);
            }
        }
        return seen;
    }
    // Pointer events the client has reported so far; -1 until it is ready.
    int scribbleLines() {
        QFile file(scribblePath);
        if (!file.open(QIODevice::ReadOnly)) return -1;
        const QByteArray all = file.readAll();
        return all.startsWith("{\"type\":\"ready\"") ? int(all.count('\n')) - 1 : -1;
    }
    // Starts the pointer client once for the suite; whether it is catching events.
    bool startScribble() {
        if (scribble) return scribbleLines() >= 0;
        scribblePath = freshTempPath(QStringLiteral("scribble-events-"));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("DISPLAY", name);
        env.insert("QT_QPA_PLATFORM", "xcb");
        scribble = new ChildProcess(QStringLiteral("scribble"), {"--events", scribblePath}, env);
        return waitUntil([&] { return scribbleLines() >= 0; }, 30000);
    }
    // Waits for `count` new pointer events after `mark` (only presses and releases with
    // `buttonsOnly`), and a little longer for any extra.
    Strings awaitSeen(int mark, size_t count, bool buttonsOnly = false) {
        const auto seen = [&] {
            Strings all = seenSince(mark);
            if (buttonsOnly) std::erase_if(all, [](const std::string& s) { return s.starts_with("motion"); });
            return all;
        };
        waitUntil([&] { return seen().size() >= count; }, 5000);
        spinEventLoop(150);
        return seen();
    }

    static inline PrivateXvfb* xvfb = nullptr;
    static inline ChildProcess* scribble = nullptr;
    static inline QString scribblePath;
    QString name;
    Display* dpy = nullptr;
    std::unique_ptr<X11DisplayServices> services;
};

TEST(X11EventPosterMath, LocationsBecomeRootPixelsWithinTheRoot) {
    const QSize root(2560, 1024);
    const struct {
        QPointF location;
        std::optional<QPoint> pixel;
    } cases[] = {
        {{1500.7, 600.2}, QPoint(1500, 600)}, // a display right of the first one
        {{-0.5, 3}, QPoint(0, 3)},            // left of the root: its edge
        {{70000, 500}, QPoint(2559, 500)},    // past X's 16 bits: the edge, not a wrap to 4464
        {{2560, 1024}, QPoint(2559, 1023)},   // one past the last pixel
        {{kNaN, 5}, std::nullopt},            // no number
        {{5, INFINITY}, std::nullopt},        // no place
        {{1e12, 5}, std::nullopt},            // beyond the integers: no defined conversion
        {{double(INT_MIN) - 2, 5}, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(X11EventPoster::rootPixel(c.location, root), c.pixel)
            << c.location.x() << "," << c.location.y();
}

TEST(X11EventPosterMath, TiltFieldsBecomeDegreesFromTheVertical) {
    // The fields as a pen at altitude a and azimuth z gives them: cos(a)cos(z), -cos(a)sin(z).
    const auto fields = [](double altitude, double azimuth) {
        return std::pair(std::cos(altitude) * std::cos(azimuth), -std::cos(altitude) * std::sin(azimuth));
    };
    const struct {
        std::pair<double, double> tilt;
        double x, y;
    } cases[] = {
        {fields(M_PI / 2, 0), 0, 0},  // upright
        {fields(0, 0), 90, 0},        // flat, pointing right
        {fields(0, M_PI / 2), 0, 90}, // flat, towards the user
        {fields(M_PI / 4, 0), 45, 0},
        {fields(M_PI / 4, M_PI), -45, 0},
        {{0.5, 0}, 30, 0},
        {{kNaN, 0.5}, 0, -30}, // no number: no tilt on that axis
        {{3, 0}, 90, 0},       // beyond the range: held at it
    };
    for (const auto& c : cases) {
        const QPointF degrees = X11EventPoster::tiltDegrees(c.tilt.first, c.tilt.second);
        EXPECT_NEAR(degrees.x(), c.x, 1e-4) << c.tilt.first << "," << c.tilt.second;
        EXPECT_NEAR(degrees.y(), c.y, 1e-4) << c.tilt.first << "," << c.tilt.second;
    }
}

TEST_F(X11InputTest, PointerEventsReachAClientAtTheirRootPixels) {
    ASSERT_TRUE(startScribble()) << scribble->transcript().toStdString();
    auto poster = openPoster();
    ASSERT_TRUE(poster);
    const struct {
        Event event;
        Strings seen;
    } steps[] = {
        {mouse(EventType::kMouseMoved, {1500.7, 600.2}), {"motion 1500,600"}},
        {mouse(EventType::kLeftMouseDown, {1600, 700}), {"motion 1600,700", "press 1 1600,700"}},
        {mouse(EventType::kLeftMouseDragged, {1700, 720}), {"motion 1700,720"}},
        {mouse(EventType::kLeftMouseDown, {1700, 720}), {}}, // held already
        {mouse(EventType::kLeftMouseUp, {1700, 720}), {"release 1 1700,720"}},
        {mouse(EventType::kLeftMouseUp, {1700, 720}), {}}, // not held
        {mouse(EventType::kRightMouseDown, {2400, 1000}, 1), {"motion 2400,1000", "press 3 2400,1000"}},
        {mouse(EventType::kRightMouseUp, {2400, 1000}, 1), {"release 3 2400,1000"}},
        {mouse(EventType::kOtherMouseDown, {2400, 1000}, 2), {"press 2 2400,1000"}},
        {mouse(EventType::kOtherMouseUp, {2400, 1000}, 2), {"release 2 2400,1000"}},
        {mouse(EventType::kMouseMoved, {70000, 500}), {"motion 2559,500"}},
        {mouse(EventType::kMouseMoved, {kNaN, 5}), {}},
        {mouse(EventType::kLeftMouseDragged, {1e300, 5}), {}},
        {mouse(EventType::kLeftMouseDown, {100, 100}), {"motion 100,100", "press 1 100,100"}},
        // An up with no place still lets go.
        {mouse(EventType::kLeftMouseUp, {kNaN, kNaN}), {"release 1 100,100"}},
        // Without a pen, tablet proximity has nothing to show, and a pen sample is a plain event.
        {proximity(EventType::kTabletProximity, {5, 5}, true), {}},
        {pen(EventType::kLeftMouseDown, {2000, 900}, 0.5), {"motion 2000,900", "press 1 2000,900"}},
        {pen(EventType::kLeftMouseUp, {2000, 900}, 0.5), {"release 1 2000,900"}},
    };
    Strings expected;
    const int mark = scribbleLines();
    for (const auto& step : steps) {
        poster->post(step.event, EventTap::kHID);
        expected.insert(expected.end(), step.seen.begin(), step.seen.end());
    }
    EXPECT_EQ(awaitSeen(mark, expected.size()), expected);

    // The drag was drawn where it went.
    const auto pixel = [&](int x, int y) {
        XImage* image = XGetImage(dpy, DefaultRootWindow(dpy), x, y, 1, 1, AllPlanes, ZPixmap);
        const unsigned long value = image ? XGetPixel(image, 0, 0) & 0xffffff : 0x123456;
        if (image) XDestroyImage(image);
        return value;
    };
    EXPECT_TRUE(waitUntil([&] { return pixel(1650, 710) == 0; })) << std::hex << pixel(1650, 710);
    EXPECT_EQ(pixel(1650, 800), 0xffffffu);
}

TEST_F(X11InputTest, WheelDistancesBecomeClicksAndKeepTheirRemainder) {
    ASSERT_TRUE(startScribble()) << scribble->transcript().toStdString();
    auto poster = openPoster();
    ASSERT_TRUE(poster);
    const int notch = int(X11EventPoster::kPixelsPerWheelClick);
    const auto clicks = [](int button, int n) { return Strings(size_t(n), std::to_string(button)); };
    const struct {
        Event event;
        Strings buttons;
    } steps[] = {
        {wheel(Event::kScrollUnitPixel, {notch * 6 / 10}), {}},
        {wheel(Event::kScrollUnitPixel, {notch * 6 / 10}), clicks(4, 1)},   // 1.2 notches
        {wheel(Event::kScrollUnitPixel, {-notch * 26 / 10}), clicks(5, 2)}, // -2.4 with 0.2 kept
        {wheel(Event::kScrollUnitPixel, {notch * 4 / 10}), {}},             // back to 0
        {wheel(Event::kScrollUnitLine, {3}), clicks(4, 3)},
        {wheel(Event::kScrollUnitLine, {-1}), clicks(5, 1)},
        {wheel(Event::kScrollUnitPixel, {0, notch * 2}), clicks(6, 2)},
        {wheel(Event::kScrollUnitPixel, {0, -notch}), clicks(7, 1)},
        // A wild distance is cut short, and leaves nothing behind for the next one.
        {wheel(Event::kScrollUnitPixel, {INT32_MAX}), clicks(4, X11EventPoster::kMaxWheelClicksPerEvent)},
        {wheel(Event::kScrollUnitPixel, {notch - 1}), {}},
    };
    poster->warpMouseCursorPosition({2000, 500});
    Strings expected;
    const int mark = scribbleLines();
    for (const auto& step : steps) {
        poster->post(step.event, EventTap::kHID);
        for (const std::string& b : step.buttons) {
            expected.push_back("press " + b + " 2000,500");
            expected.push_back("release " + b + " 2000,500");
        }
    }
    EXPECT_EQ(awaitSeen(mark, expected.size(), true), expected);
}

TEST_F(X11InputTest, KeysGoDownByPositionWithTheirModifiersAndNothingStaysHeld) {
    auto poster = openPoster();
    ASSERT_TRUE(poster);
    RawKeys raw(dpy);
    const uint64_t command = EventFlag::kMaskCommand, shift = EventFlag::kMaskShift;
    const struct {
        const char* what;
        std::vector<Event> events;
        Strings keys;
    } cases[] = {
        {"a letter", {key(EventType::kKeyDown, 6), key(EventType::kKeyUp, 6)}, {"+z", "-z"}},
        {"Command is Control",
         {key(EventType::kKeyDown, 6, command | 0x8)},
         {"+Control_L", "+z", "-z", "-Control_L"}},
        {"Command-Shift-Z, the Command up after",
         {key(EventType::kKeyDown, 6, command | shift), key(EventType::kKeyUp, 6),
          key(EventType::kKeyUp, 55)},
         {"+Control_L", "+Shift_L", "+z", "-z", "-Shift_L", "-Control_L"}},
        {"Option-Escape",
         {key(EventType::kKeyDown, 53, EventFlag::kMaskAlternate)},
         {"+Alt_L", "+Escape", "-Escape", "-Alt_L"}},
        {"a modifier held across a key",
         {key(EventType::kKeyDown, 55), key(EventType::kKeyDown, 48, command), key(EventType::kKeyUp, 48),
          key(EventType::kKeyUp, 55)},
         {"+Control_L", "+Tab", "-Tab", "-Control_L"}},
        {"an up of a key not held", {key(EventType::kKeyUp, 56), key(EventType::kKeyUp, 6)}, {}},
        {"a modifier left down, then everything let go",
         {key(EventType::kKeyDown, 56), key(EventType::kKeyDown, 56)},
         {"+Shift_L", "-Shift_L"}},
        {"flags changed",
         {key(EventType::kFlagsChanged, 58, EventFlag::kMaskAlternate), key(EventType::kFlagsChanged, 58)},
         {"+Alt_L", "-Alt_L"}},
        {"no key at the position", {key(EventType::kKeyDown, 63), key(EventType::kKeyDown, 200)}, {}},
    };
    for (const auto& c : cases) {
        for (const Event& e : c.events)
            poster->post(e, EventTap::kHID);
        poster->releaseHeldInput();
        EXPECT_EQ(raw.await(c.keys.size()), c.keys) << c.what;
        EXPECT_FALSE(anyKeyDown(dpy)) << c.what;
    }
    // Going away lets go of what is still held.
    poster->post(key(EventType::kKeyDown, 59), EventTap::kHID);
    poster.reset();
    EXPECT_EQ(raw.await(2), (Strings{"+Control_L", "-Control_L"}));
}

TEST_F(X11InputTest, LayoutsTranslateKeysByPositionAndTheMonitorSeesKeys) {
    auto poster = openPoster();
    ASSERT_TRUE(poster);
    X11InputSources sources(name);
    X11EventMonitor monitor(name);
    QStringList typed;
    const auto id = monitor.addGlobalKeyDownMonitor([&](const QString& c) { typed << c; });
    ASSERT_TRUE(id);
    ASSERT_TRUE(sources.hasCurrentKeyLayout());
    // The first key code that types `c`, as the shortcut lookup searches.
    const auto codeFor = [&](QChar c) -> int {
        for (uint16_t code = 0; code < 128; ++code)
            if (const auto s = sources.translateKeyCode(code); s && !s->isEmpty() && s->at(0) == c)
                return code;
        return -1;
    };
    const struct {
        const char* layout;
        int z, y, a;
        QString keyOfZ; // what the monitor reads when the key of "z" goes down
    } cases[] = {
        {"us", 6, 16, 0, "z"},
        {"de", 16, 6, 0, "y"},
        {"fr", 13, 16, 12, "w"},
        {"us", 6, 16, 0, "z"}, // and back, for whoever comes next
    };
    for (const auto& c : cases) {
        ASSERT_EQ(QProcess::execute("setxkbmap", {"-display", name, c.layout}), 0) << c.layout;
        EXPECT_EQ(codeFor('z'), c.z) << c.layout;
        EXPECT_EQ(codeFor('y'), c.y) << c.layout;
        EXPECT_EQ(codeFor('a'), c.a) << c.layout;
        typed.clear();
        poster->post(key(EventType::kKeyDown, 6), EventTap::kHID);
        poster->post(key(EventType::kKeyDown, 56), EventTap::kHID); // types nothing: no key-down
        poster->releaseHeldInput();
        EXPECT_TRUE(waitUntil([&] { return !typed.isEmpty(); })) << c.layout;
        spinEventLoop(100);
        EXPECT_EQ(typed, QStringList{c.keyOfZ}) << c.layout;
    }
    EXPECT_EQ(sources.translateKeyCode(36), QStringLiteral("\r"));
    EXPECT_EQ(sources.translateKeyCode(56), QString());    // Shift types nothing
    EXPECT_EQ(sources.translateKeyCode(63), std::nullopt); // no PC key there

    monitor.removeMonitor(*id);
    typed.clear();
    poster->post(key(EventType::kKeyDown, 6), EventTap::kHID);
    spinEventLoop(200);
    EXPECT_TRUE(typed.isEmpty());
}

TEST_F(X11InputTest, TabletEventsGoToThePenAndNothingStaysPressed) {
    RecordingPen tablet;
    auto poster = openPoster(&tablet);
    ASSERT_TRUE(poster);
    poster->warpMouseCursorPosition({5, 5});
    const struct {
        Event event;
        Strings calls;
    } steps[] = {
        {proximity(EventType::kMouseMoved, {1500, 500}, true), {"in 1500,500 air p0.00 t0,0"}},
        {proximity(EventType::kTabletProximity, {1500, 500}, true), {}},
        {pen(EventType::kLeftMouseDown, {1500, 500}, 0.5), {"move 1500,500 tip p0.50 t0,0"}},
        {pen(EventType::kLeftMouseDragged, {1510, 505}, 0.7, 0.5), {"move 1510,505 tip p0.70 t30,0"}},
        {pen(EventType::kLeftMouseDragged, {kNaN, 505}, 0.7), {}},
        {pen(EventType::kLeftMouseDragged, {1520, 505}, kNaN, 0, -0.5), {"move 1520,505 tip p0.00 t0,30"}},
        {pen(EventType::kLeftMouseDragged, {1530, 505}, 7), {"move 1530,505 tip p1.00 t0,0"}},
        {pen(EventType::kLeftMouseUp, {kNaN, 0}, 1), {"move 1530,505 air p0.00 t0,0"}},
        {proximity(EventType::kMouseMoved, {1530, 505}, false), {"out"}},
        {proximity(EventType::kTabletProximity, {1530, 505}, false), {}},
        // A stroke with no proximity first brings the pen near itself.
        {pen(EventType::kLeftMouseDown, {2500, 1000}, 0.25),
         {"in 2500,1000 air p0.00 t0,0", "move 2500,1000 tip p0.25 t0,0"}},
    };
    tablet.calls.clear();
    for (const auto& step : steps) {
        poster->post(step.event, EventTap::kHID);
        EXPECT_EQ(tablet.calls, step.calls) << step.event.type << " at " << step.event.location.x();
        tablet.calls.clear();
    }
    // A stroke cut short: the tip comes up and the pen goes away.
    poster->releaseHeldInput();
    EXPECT_EQ(tablet.calls, (Strings{"move 2500,1000 air p0.00 t0,0", "out"}));
    // None of it went through the pointer.
    EXPECT_EQ(poster->nullEventLocation(), QPointF(5, 5));

    // The pen maps the whole root, whatever size it takes.
    tablet.calls.clear();
    XRRScreenResources* res = XRRGetScreenResourcesCurrent(dpy, DefaultRootWindow(dpy));
    ASSERT_TRUE(res && res->ncrtc > 0);
    XRRCrtcInfo* crtc = XRRGetCrtcInfo(dpy, res, res->crtcs[0]);
    XRRSetCrtcConfig(dpy, res, res->crtcs[0], CurrentTime, 0, 0, 0, RR_Rotate_0, nullptr, 0);
    XRRSetScreenSize(dpy, DefaultRootWindow(dpy), 2000, 1000, 500, 250);
    XRRSetScreenSize(dpy, DefaultRootWindow(dpy), 2560, 1024, 650, 260);
    XRRSetCrtcConfig(dpy, res, res->crtcs[0], CurrentTime, 0, 0, crtc->mode, RR_Rotate_0, crtc->outputs,
                     crtc->noutput);
    XSync(dpy, False);
    XRRFreeCrtcInfo(crtc);
    XRRFreeScreenResources(res);
    EXPECT_TRUE(waitUntil([&] { return tablet.calls.size() >= 2; }));
    EXPECT_EQ(tablet.calls, (Strings{"area 2000x1000", "area 2560x1024"}));
}

TEST_F(X11InputTest, ThePensDeviceKeepsRootCoordinates) {
    Atom matrix = XInternAtom(dpy, "Coordinate Transformation Matrix", False);
    Atom floatType = XInternAtom(dpy, "FLOAT", False);
    // The slave pointer of a master device made for the test stands for the pen's device.
    const auto addDevice = [&](const char* master) -> int {
        XIAddMasterInfo add{XIAddMaster, const_cast<char*>(master), True, True};
        XIChangeHierarchy(dpy, reinterpret_cast<XIAnyHierarchyChangeInfo*>(&add), 1);
        XSync(dpy, False);
        int count = 0, id = 0;
        XIDeviceInfo* devices = XIQueryDevice(dpy, XIAllDevices, &count);
        for (int i = 0; i < count; ++i)
            if (devices[i].use == XISlavePointer && QByteArray(devices[i].name).startsWith(master))
                id = devices[i].deviceid;
        XIFreeDeviceInfo(devices);
        return id;
    };
    const auto readMatrix = [&](int device) {
        std::vector<float> values;
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XIGetProperty(dpy, device, matrix, 0, 9, False, floatType, &type, &format, &count, &after,
                          &data) == Success &&
            data && format == 32)
            values.assign(reinterpret_cast<float*>(data), reinterpret_cast<float*>(data) + count);
        if (data) XFree(data);
        return values;
    };
    const std::vector<float> identity{1, 0, 0, 0, 1, 0, 0, 0, 1};

    // There when the poster starts, with a matrix that fits one display of two.
    const int early = addDevice("Zub Test Pen A");
    ASSERT_GT(early, 0);
    float half[9] = {0.5f, 0, 0, 0, 1, 0, 0, 0, 1};
    XIChangeProperty(dpy, early, matrix, floatType, 32, PropModeReplace,
                     reinterpret_cast<unsigned char*>(half), 9);
    XSync(dpy, False);
    ASSERT_NE(readMatrix(early), identity);
    RecordingPen tabletA(QStringLiteral("Zub Test Pen A"));
    auto posterA = openPoster(&tabletA);
    EXPECT_TRUE(waitUntil([&] { return readMatrix(early) == identity; }));

    // Coming later: the poster writes the matrix (a new device's own making sends no notice).
    unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
    XISetMask(bits, XI_PropertyEvent);
    XIEventMask mask{XIAllDevices, int(sizeof bits), bits};
    XISelectEvents(dpy, DefaultRootWindow(dpy), &mask, 1);
    RecordingPen tabletB(QStringLiteral("Zub Test Pen B"));
    auto posterB = openPoster(&tabletB);
    const int late = addDevice("Zub Test Pen B");
    ASSERT_GT(late, 0);
    std::vector<int> written;
    int opcode = 0, ev = 0, err = 0;
    XQueryExtension(dpy, "XInputExtension", &opcode, &ev, &err);
    waitUntil([&] {
        while (XPending(dpy)) {
            XEvent e;
            XNextEvent(dpy, &e);
            if (e.type == GenericEvent && e.xcookie.extension == opcode && XGetEventData(dpy, &e.xcookie)) {
                const auto* p = static_cast<const XIPropertyEvent*>(e.xcookie.data);
                if (p->property == matrix) written.push_back(p->deviceid);
                XFreeEventData(dpy, &e.xcookie);
            }
        }
        return !written.empty();
    });
    EXPECT_EQ(written, std::vector<int>{late}); // and no other device's
    EXPECT_EQ(readMatrix(late), identity);
}

TEST_F(X11InputTest, TheMouseLocationIsThePointerInBothSpaces) {
    auto poster = openPoster();
    ASSERT_TRUE(poster);
    poster->warpMouseCursorPosition({2000.9, 300});
    EXPECT_EQ(poster->nullEventLocation(), QPointF(2000, 300));
    const std::vector<DisplayScreen> screens = services->screens();
    ASSERT_FALSE(screens.empty());
    const QRectF main = screens.front().frame;
    EXPECT_EQ(poster->mouseLocation(), QPointF(2000, main.y() + main.height() - 300));
    EXPECT_TRUE(main.contains(poster->mouseLocation()));
}

} // namespace
