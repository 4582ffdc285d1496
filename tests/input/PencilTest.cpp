#include "input/InputFixture.h"

#include <cmath>
#include <limits>

namespace {

struct Pen {
    double x = 0.5, pressure = 0.5, altitude = M_PI / 2, azimuth = 0, y = 0.5;
    bool start = false, end = false;
    QVariantMap message() const {
        return {{"x", x},
                {"y", y},
                {"pressure", pressure},
                {"altitude", altitude},
                {"azimuth", azimuth},
                {"startOfDrag", start},
                {"endOfDrag", end}};
    }
};
Pen start(double pressure = 0.5, double x = 0.5) {
    return {.x = x, .pressure = pressure, .start = true};
}
Pen move(double pressure = 0.5, double x = 0.6) {
    return {.x = x, .pressure = pressure};
}
Pen end(double pressure = 0.5, double x = 0.6) {
    return {.x = x, .pressure = pressure, .end = true};
}

} // namespace

class PencilTest : public InputTest {
protected:
    void pen(const std::vector<Pen>& samples) {
        for (const Pen& p : samples)
            input().handlePencilEvent(p.message());
    }
};

TEST_F(PencilTest, StrokesTakeThePathAndProximityRulesOfTheApplicationInFront) {
    const QString drag = "drag@1152,540", in = "pmove+ prox+ ", out = "pmove- prox- ";
    const std::pair<const char*, QString> cases[] = {
        {"com.autodesk.sketchbook", "down@960,540 drag@960,540 drag@1152,540 up@1152,540"},
        {"org.inkscape.Inkscape", in + "down@960,540 drag@1152,540 " + out + "up@1152,540"},
        {"org.kde.krita", in + "down@960,540 drag@1152,540 up@1152,540"},
        {"com.escapemotions.rebelle", in + "down@960,540 drag@1152,540 up@1152,540"},
        {"com.autodesk.Maya", "down@960,540 drag@1152,540 up@1152,540"},
        {"google-chrome", "down@960,540 drag@1152,540 up@1152,540"},
        {"com.seriflabs.affinityphoto",
         in + "down@960,540 " + QStringList(6, drag).join(' ') + " " + out + "up@1152,540 move@1152,540"},
    };
    pen({move(), end()}); // before the first stroke's start there is no path
    for (const auto& [application, posted] : cases) {
        clock.advance(10);
        activate(application);
        pen({start(), move(), end()});
        EXPECT_EQ(take(), posted) << application;
    }
    // The path is the one of the application in front when the stroke started.
    activate("com.autodesk.sketchbook");
    pen({start()});
    activate("org.inkscape.Inkscape");
    pen({move(), end()});
    EXPECT_EQ(take(), "down@960,540 drag@960,540 drag@1152,540 up@1152,540");
}

TEST_F(PencilTest, PressureIsAdjustedPerApplicationAndTiltFollowsTheAngles) {
    // In front, pressure, azimuth, the pressure posted.
    const std::tuple<const char*, double, double, double> cases[] = {
        {"com.corel.Painter", 0.6, 0, 1.0},  {"com.corel.Painter", 0.3, 0, 0.6},
        {"com.microsoft.Word", 1.0, 0, 0.3}, {"com.microsoft.Word", 1.0, 0.01, 1.0},
        {"EXCEL.EXE", 1.0, 0, 0.3},          {"com.medibang.cloudalpaca", 0, 0, 0.0001},
        {"org.kde.krita", 0, 0, 0},          {"org.kde.krita", -0.5, 0, 0},
        {"org.kde.krita", 7, 0, 1},
    };
    for (const auto& [application, pressure, azimuth, posted] : cases) {
        activate(application);
        pen({start(), Pen{.x = 0.6, .pressure = pressure, .azimuth = azimuth}});
        const Event dragged = poster.posted().back();
        take();
        pen({end()});
        EXPECT_DOUBLE_EQ(dragged.doubleField(EventField::kMouseEventPressure), posted) << application;
        EXPECT_DOUBLE_EQ(dragged.doubleField(EventField::kTabletEventPointPressure), posted);
        EXPECT_EQ(dragged.integerFields, (std::map<uint32_t, int64_t>{{7, 1}, {24, 129}}));
    }
    // Altitude, azimuth, tilt.
    const double tilts[][4] = {
        {M_PI / 2, 0, 0, 0}, {0, 0, 1, 0}, {0, M_PI / 2, 0, -1}, {M_PI / 3, M_PI, -0.5, 0}};
    activate("com.autodesk.Mudbox");
    for (const auto& [altitude, azimuth, tiltX, tiltY] : tilts) {
        take();
        pen({start(), Pen{.x = 0.6, .altitude = altitude, .azimuth = azimuth}, end()});
        const std::vector<Event> events = poster.posted(); // proximity pair, down, drag...
        EXPECT_NEAR(events[3].doubleField(EventField::kTabletEventTiltX), tiltX, 1e-9);
        EXPECT_NEAR(events[3].doubleField(EventField::kTabletEventTiltY), tiltY, 1e-9);
        EXPECT_EQ(events[3].doubleFields.at(EventField::kTabletEventPointButtons), 1.0); // Mudbox only
    }
}

TEST_F(PencilTest, APencilTapFeedsTheDoubleTapAndClicksOnlyUndraggedAtFullPressure) {
    const QString lift = "pmove- prox- up@960,540", stroke = "pmove+ prox+ down@960,540 " + lift;
    const QString click = " warp@960,540 down@960,540 up@960,540";
    const QString twice = " down@960,540 up@960,540 down@960,540#2 up@960,540#2";
    const std::tuple<const char*, std::vector<Pen>, QString> cases[] = {
        {"org.inkscape.Inkscape", {start(1, 0.5), end(1, 0.5)}, stroke + click},
        {"org.inkscape.Inkscape", {start(0.8, 0.5), end(0.8, 0.5)}, stroke},
        {"org.inkscape.Inkscape",
         {start(0.8, 0.5), end(0.8, 0.5), start(0.8, 0.5), end(0.8, 0.5)},
         stroke + " " + stroke + twice},
        {"org.inkscape.Inkscape",
         {start(1, 0.5), move(1, 0.5), end(1, 0.5)},
         "pmove+ prox+ down@960,540 drag@960,540 " + lift},
        {"QReader.MarginStudyMac", {start(1, 0.5), end(1, 0.5)}, stroke},
        {"com.apple.finder", {end(1, 0.5)}, ""},
        {"com.apple.finder", {end(0.5, 0.5), end(0.5, 0.5)}, lift + " " + lift + twice},
        {"org.inkscape.Inkscape", {end(0.5, 0.5), end(0.5, 0.5)}, lift + " " + lift},
    };
    for (const auto& [application, samples, posted] : cases) {
        activate(application);
        pen({start(), end()}); // the path is chosen at a stroke's start
        clock.advance(10);
        take();
        pen(samples);
        EXPECT_EQ(take(), posted) << application << " " << samples.size();
    }
}

TEST_F(PencilTest, StylusStatusIsStoredAndButtonPressesBecomeTheApplicationsShortcut) {
    const QString undo = "kd6^100000 ku6^100000 ku55", redoY = "kd16^100000 ku16^100000 ku55";
    // Status, in front, button action, what is posted.
    const std::tuple<int, const char*, const char*, QString> cases[] = {
        {101, "com.autodesk.Mudbox", "1", "kd6^100000 ku6 ku58 ku59 ku56"},
        {101, "com.autodesk.Mudbox", "2", "kd6^20000 ku6 ku55 ku58 ku59"},
        {106, "com.autodesk.Mudbox", "1", ""},
        {100, "com.adobe.Photoshop", "2", "kd6^120000 ku6 ku55 ku58 ku59 ku56"},
        {102, "com.corel.Painter", "2", redoY},
        {103, "com.autodesk.Maya", "1", undo},
        {104, "com.pixologic.zbrush", "1", "kd6^40001 ku6 ku55 ku58 ku59 ku56"},
        {105, "org.gimp.GIMP", "2", redoY},
        {105, "com.apple.finder", "1", undo},
        {100, "com.apple.finder", "3", ""},
    };
    for (const auto& [status, application, action, posted] : cases) {
        activate(application);
        input().handleStylusStatusChanged({{"stylusStatus", status},
                                           {"batteryLevel", 42},
                                           {"stylusName", "Pencil"},
                                           {"buttonAction", action}});
        EXPECT_EQ(take(), posted) << status << " " << application;
        EXPECT_EQ(input().stylusInfo().status, status);
    }
    EXPECT_EQ(input().stylusInfo().batteryLevel, 42);
    EXPECT_EQ(input().stylusInfo().name, "Pencil");
}

// A pressure, angle or position that is not a number or lies far off every screen never reaches an
// event; an end carrying one still lifts the pen, where it was last drawn.
TEST_F(PencilTest, UnusableSamplesAreDroppedAndAnUnusableEndStillLiftsThePen) {
    activate("org.inkscape.Inkscape");
    const double inf = std::numeric_limits<double>::infinity();
    for (double Pen::*field : {&Pen::x, &Pen::y, &Pen::pressure, &Pen::altitude, &Pen::azimuth}) {
        for (const double bad : {std::numeric_limits<double>::quiet_NaN(), inf, -inf}) {
            Pen badStart = start(), badMove = move(0.5, 0.7), badEnd = end(0.5, 0.8);
            badStart.*field = badMove.*field = badEnd.*field = bad;
            pen({badStart, start(), move(), badMove, badEnd});
            const std::vector<Event> events = poster.posted();
            EXPECT_EQ(take(), "pmove+ prox+ down@960,540 drag@1152,540 pmove- prox- up@1152,540") << bad;
            for (const Event& e : events)
                for (const auto& [number, value] : e.doubleFields)
                    EXPECT_TRUE(std::isfinite(value)) << number;
        }
    }
    pen({start(), Pen{.x = 1e300}, end()});
    EXPECT_EQ(take(), "pmove+ prox+ down@960,540 pmove- prox- up@1152,540");
}

// The link ends or the stream stops mid-stroke or mid-drag: the button goes up as the application's
// end of a stroke would, and the backend lets go of whatever it still holds.
TEST_F(PencilTest, ACutOffStrokeOrDragEndsWithItsButtonUp) {
    // In front, the samples of the stroke (none: a finger drag), how it ends.
    const std::tuple<const char*, std::vector<Pen>, QString> cases[] = {
        {"org.inkscape.Inkscape", {start(), move()}, "pmove- prox- up@1152,540"},
        {"org.kde.krita", {start()}, "up@960,540"},
        {"com.autodesk.sketchbook", {start(), move()}, "up@1152,540"},
        {"org.inkscape.Inkscape", {}, "up@384,108"},
        {"org.inkscape.Inkscape", {start(), end()}, ""},
    };
    for (const auto& [application, samples, ending] : cases) {
        activate(application);
        pen(samples);
        if (samples.empty()) input().handleDragEvent({{"startOfDrag", true}, {"x", 0.2}, {"y", 0.1}});
        take();
        input().releaseHeldInput();
        input().releaseHeldInput();
        EXPECT_EQ(take(), (ending + " released released").trimmed()) << application;
    }
}

TEST_F(PencilTest, AMissingAccessibilityGrantIsAskedAgainAtAStrokesStart) {
    double closed = 0;
    int asked = 0;
    bool granted = false;
    hooks.alertCloseTime = [&] { return closed; };
    hooks.assistiveAccessGranted = [&](bool show) { return ++asked, show && granted; };
    activate("org.inkscape.Inkscape");
    input().setBRequireAccessibilityGrant(true);
    const std::tuple<double, bool, int, bool> steps[] = {
        // since the alert closed, granted, asked, still required
        {0.4, true, 0, true},
        {0.6, false, 1, true},
        {0.6, true, 2, false},
        {0.6, true, 2, false}};
    for (const auto& [since, grant, timesAsked, required] : steps) {
        closed = clock.uptime() - since;
        granted = grant;
        pen({move(), start(), end()}); // only a start asks
        EXPECT_EQ(asked, timesAsked);
        EXPECT_EQ(input().bRequireAccessibilityGrant(), required);
    }
    for (const auto& [model, supported] :
         std::initializer_list<std::pair<const char*, bool>>{{"iPad6,7", true},
                                                             {"iPad6,11", false},
                                                             {"iPad6,12", false},
                                                             {"iPad8,1", true},
                                                             {"iPad5,3", false}})
        EXPECT_EQ(InputTranslation::supportApplePencil(model), supported) << model;
}
