#include "input/InputFixture.h"

#include <cmath>
#include <limits>

namespace {

struct Pen {
    double x = 0.5, y = 0.5, pressure = 0.5, altitude = M_PI / 2, azimuth = 0;
    bool start = false, end = false;

    QVariantMap message() const {
        QVariantMap m{
            {"x", x}, {"y", y}, {"pressure", pressure}, {"altitude", altitude}, {"azimuth", azimuth}};
        if (start) m["startOfDrag"] = true;
        if (end) m["endOfDrag"] = true;
        return m;
    }
};

Pen start(double x = 0.5, double pressure = 0.5) {
    return {.x = x, .pressure = pressure, .start = true};
}
Pen move(double x = 0.6, double pressure = 0.5) {
    return {.x = x, .pressure = pressure};
}
Pen end(double x = 0.6, double pressure = 0.5) {
    return {.x = x, .pressure = pressure, .end = true};
}

} // namespace

class PencilTest : public InputTest {
protected:
    void pen(std::initializer_list<Pen> samples) {
        for (const Pen& p : samples)
            input().handlePencilEvent(p.message());
    }
};

TEST_F(PencilTest, StrokesTakeThePathAndProximityRulesOfTheApplicationInFront) {
    const QStringList proximityIn{"moved 960,540", "proximity 960,540"};
    const QStringList proximityOut{"moved 1152,540", "proximity 1152,540"};
    const QStringList down{"down 960,540"}, drag{"dragged 1152,540"}, up{"up 1152,540"};
    const struct {
        const char* application;
        QStringList posted;
    } cases[] = {
        {"com.autodesk.sketchbook", QStringList{"down 960,540", "dragged 960,540"} + drag + up},
        {"org.inkscape.Inkscape", proximityIn + down + drag + proximityOut + up},
        {"com.github.xournalpp.xournalpp", proximityIn + down + drag + proximityOut + up},
        {"org.kde.krita", proximityIn + down + drag + up},
        {"com.escapemotions.rebelle", proximityIn + down + drag + up},
        {"com.autodesk.Maya", down + drag + up},
        {"google-chrome", down + drag + up},
        {"com.seriflabs.affinityphoto", proximityIn + down + drag + drag + drag + drag + drag + drag +
                                            proximityOut + up + QStringList{"moved 1152,540"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.application);
        clock.advance(10);
        activate(c.application);
        pen({start(), move(), end()});
        EXPECT_EQ(take(), c.posted);
    }
    // The path is the one of the application in front at the stroke's start.
    activate("com.autodesk.sketchbook");
    pen({start()});
    activate("org.inkscape.Inkscape");
    pen({move(), end()});
    EXPECT_EQ(take(), (QStringList{"down 960,540", "dragged 960,540"} + drag + up));
}

TEST_F(PencilTest, SamplesBeforeTheFirstStrokeStartAreDropped) {
    activate("org.inkscape.Inkscape");
    pen({move(), end()});
    EXPECT_TRUE(take().isEmpty());
}

TEST_F(PencilTest, PressureIsAdjustedPerApplicationAndTiltFollowsTheAngles) {
    const struct {
        const char* application;
        double pressure, azimuth, posted;
    } cases[] = {
        {"com.corel.Painter", 0.6, 0, 1.0},    {"com.corel.Painter", 0.3, 0, 0.6},
        {"com.microsoft.Word", 1.0, 0.0, 0.3}, {"com.microsoft.Word", 1.0, 0.01, 1.0},
        {"EXCEL.EXE", 1.0, 0.0, 0.3},          {"com.medibang.cloudalpaca", 0.0, 0, 0.0001},
        {"org.kde.krita", 0.0, 0, 0.0},        {"org.kde.krita", 0.4, 0, 0.4},
        {"org.kde.krita", -0.5, 0, 0.0},       {"org.kde.krita", 7.0, 0, 1.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.application << " " << c.pressure << " " << c.azimuth);
        activate(c.application);
        pen({start(), Pen{.x = 0.6, .pressure = c.pressure, .altitude = 0, .azimuth = c.azimuth}});
        const Event dragged = poster.posted().back();
        poster.records.clear();
        EXPECT_EQ(dragged.type, EventType::kLeftMouseDragged);
        EXPECT_DOUBLE_EQ(dragged.doubleField(EventField::kMouseEventPressure), c.posted);
        EXPECT_DOUBLE_EQ(dragged.doubleField(EventField::kTabletEventPointPressure), c.posted);
        EXPECT_EQ(dragged.integerField(EventField::kMouseEventSubtype), kEventSubtypeTabletPoint);
        EXPECT_EQ(dragged.integerField(EventField::kTabletEventDeviceID), 129);
        EXPECT_FALSE(dragged.doubleFields.count(EventField::kTabletEventPointButtons));
        pen({end()});
    }

    const struct {
        double altitude, azimuth, tiltX, tiltY;
    } tilts[] = {{M_PI / 2, 0, 0, 0}, {0, 0, 1, 0}, {0, M_PI / 2, 0, -1}, {M_PI / 3, M_PI, -0.5, 0}};
    activate("com.autodesk.Mudbox");
    take();
    for (const auto& t : tilts) {
        pen({start(), Pen{.x = 0.6, .altitude = t.altitude, .azimuth = t.azimuth}, end()});
        const Event dragged = poster.posted()[3]; // proximity twice, down, drag
        poster.records.clear();
        EXPECT_NEAR(dragged.doubleField(EventField::kTabletEventTiltX), t.tiltX, 1e-9);
        EXPECT_NEAR(dragged.doubleField(EventField::kTabletEventTiltY), t.tiltY, 1e-9);
        // Mudbox sees the pen's button down.
        EXPECT_EQ(dragged.doubleFields.at(EventField::kTabletEventPointButtons), 1.0);
    }
}

TEST_F(PencilTest, ProximityEventsCarryTheTabletsIdentity) {
    activate("org.inkscape.Inkscape");
    pen({start(), end(0.5)});
    const std::vector<Event> events = poster.posted();
    ASSERT_EQ(events.size(), 6u);
    for (const size_t i : {0u, 1u, 3u, 4u}) {
        const Event& e = events[i];
        EXPECT_EQ(e.type, i % 3 == 0 ? EventType::kMouseMoved : EventType::kTabletProximity);
        EXPECT_EQ(e.integerFields, (std::map<uint32_t, int64_t>{{7, 2},
                                                                {28, 0xBEEF},
                                                                {29, 1},
                                                                {30, 0},
                                                                {31, 129},
                                                                {32, 0},
                                                                {33, 0x802},
                                                                {34, 1},
                                                                {35, 0xDEADBEEF},
                                                                {36, 0x1581},
                                                                {37, 1},
                                                                {38, i < 3 ? 1 : 0}}));
    }
}

TEST_F(PencilTest, APencilTapFeedsTheDoubleTapAndClicksOnlyUndraggedAtFullPressure) {
    const QStringList stroke{"moved 960,540", "proximity 960,540", "down 960,540",
                             "moved 960,540", "proximity 960,540", "up 960,540"};
    const QStringList click{"warp 960,540", "down 960,540", "up 960,540"};
    const QStringList doubleClick{"down 960,540", "up 960,540", "down 960,540", "up 960,540"};
    const struct {
        const char* name;
        const char* application;
        std::vector<Pen> samples;
        QStringList posted;
    } cases[] = {
        {"full pressure", "org.inkscape.Inkscape", {start(0.5, 1.0), end(0.5, 1.0)}, stroke + click},
        {"lighter", "org.inkscape.Inkscape", {start(0.5, 0.8), end(0.5, 0.8)}, stroke},
        {"lighter, twice",
         "org.inkscape.Inkscape",
         {start(0.5, 0.8), end(0.5, 0.8), start(0.5, 0.8), end(0.5, 0.8)},
         stroke + stroke + doubleClick},
        {"drawn",
         "org.inkscape.Inkscape",
         {start(0.5, 1.0), move(0.5, 1.0), end(0.5, 1.0)},
         stroke.mid(0, 3) + QStringList{"dragged 960,540"} + stroke.mid(3)},
        {"MarginNote takes its own taps", "QReader.MarginStudyMac", {start(0.5, 1.0), end(0.5, 1.0)}, stroke},
        {"an end without a start at full pressure", "com.apple.finder", {end(0.5, 1.0)}, {}},
        {"Finder taps without a start",
         "com.apple.finder",
         {end(0.5, 0.5), end(0.5, 0.5)},
         stroke.mid(3) + stroke.mid(3) + doubleClick},
        {"elsewhere an end without a start is no tap",
         "org.inkscape.Inkscape",
         {end(0.5, 0.5), end(0.5, 0.5)},
         stroke.mid(3) + stroke.mid(3)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clock.advance(10);
        activate(c.application);
        // The path is chosen at a stroke's start: give the Finder cases one first.
        pen({start(0.5, 0.5), end(0.5, 0.5)});
        clock.advance(10);
        take();
        for (const Pen& p : c.samples)
            input().handlePencilEvent(p.message());
        EXPECT_EQ(take(), c.posted);
    }
}

TEST_F(PencilTest, StylusStatusIsStoredAndButtonPressesBecomeTheApplicationsShortcut) {
    const QStringList undoCmd{"key-down 6 0x100000", "key-up 6 0x100000", "key-up 55"};
    const QStringList redoY{"key-down 16 0x100000", "key-up 16 0x100000", "key-up 55"};
    const struct {
        int status;
        const char* application;
        const char* action;
        QStringList posted;
    } cases[] = {
        {101,
         "com.autodesk.Mudbox",
         "1",
         {"key-down 6 0x100000", "key-up 6", "key-up 58", "key-up 59", "key-up 56"}},
        {101,
         "com.autodesk.Mudbox",
         "2",
         {"key-down 6 0x20000", "key-up 6", "key-up 55", "key-up 58", "key-up 59"}},
        {106, "com.autodesk.Mudbox", "1", {}},
        {99, "com.autodesk.Mudbox", "1", {}},
        {100,
         "com.adobe.Photoshop",
         "2",
         {"key-down 6 0x120000", "key-up 6", "key-up 55", "key-up 58", "key-up 59", "key-up 56"}},
        {102, "com.corel.Painter", "2", redoY},
        {103, "com.autodesk.Maya", "1", undoCmd},
        {104,
         "com.pixologic.zbrush",
         "1",
         {"key-down 6 0x40001", "key-up 6", "key-up 55", "key-up 58", "key-up 59", "key-up 56"}},
        {105, "org.gimp.GIMP", "2", redoY},
        {105, "org.mypaint.MyPaint", "1", undoCmd},
        {105, "com.apple.finder", "1", undoCmd},
        {100, "com.apple.finder", "3", {}},
        {100, "com.apple.finder", "", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.status << " " << c.application << " " << c.action);
        activate(c.application);
        input().handleStylusStatusChanged(message({{"stylusStatus", c.status},
                                                   {"batteryLevel", 42},
                                                   {"stylusName", "Pencil"},
                                                   {"buttonAction", QString::fromLatin1(c.action)}}));
        EXPECT_EQ(take(), c.posted);
        EXPECT_EQ(input().stylusInfo().status, c.status);
    }
    EXPECT_EQ(input().stylusInfo().batteryLevel, 42);
    EXPECT_EQ(input().stylusInfo().name, "Pencil");
    input().handleStylusStatusChanged({});
    EXPECT_EQ(input().stylusInfo().status, 0);
    EXPECT_TRUE(input().stylusInfo().name.isNull());

    input().setupStylus();
    EXPECT_EQ(calls, QStringList{"setupStylus/4"});
}

// A pressure, angle or position that is not a number or lies far off every screen never reaches an
// event; an end carrying one still ends the stroke, where it was last drawn.
TEST_F(PencilTest, UnusableSamplesAreDroppedAndAnUnusableEndStillLiftsThePen) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    activate("org.inkscape.Inkscape");
    const std::pair<const char*, double Pen::*> fields[] = {{"x", &Pen::x},
                                                            {"y", &Pen::y},
                                                            {"pressure", &Pen::pressure},
                                                            {"altitude", &Pen::altitude},
                                                            {"azimuth", &Pen::azimuth}};
    for (const auto& [name, field] : fields) {
        for (const double bad : {nan, inf, -inf, 1e300}) {
            if (bad == 1e300 && (field != &Pen::x && field != &Pen::y)) continue;
            SCOPED_TRACE(testing::Message() << name << " " << bad);
            Pen badMove = move(0.7), badEnd = end(0.8), badStart = start();
            badMove.*field = bad;
            badEnd.*field = bad;
            badStart.*field = bad;
            pen({badStart, start(), move(), badMove, badEnd});
            const std::vector<Event> events = poster.posted();
            EXPECT_EQ(take(),
                      (QStringList{"moved 960,540", "proximity 960,540", "down 960,540", "dragged 1152,540",
                                   "moved 1152,540", "proximity 1152,540", "up 1152,540"}));
            ASSERT_EQ(events.size(), 7u);
            EXPECT_EQ(events[5].integerField(EventField::kTabletProximityEventEnterProximity), 0);
            for (const Event& e : events)
                for (const auto& [number, value] : e.doubleFields)
                    EXPECT_TRUE(std::isfinite(value)) << number;
            EXPECT_FALSE(input().pencil().bPencilStarted());
        }
    }
}

// The link ends or the stream stops in the middle of a stroke or drag: its button goes up, as the
// application's end of a stroke would, and the backend lets go of whatever it still holds.
TEST_F(PencilTest, ACutOffStrokeOrDragEndsWithItsButtonUp) {
    const struct {
        const char* name;
        const char* application;
        std::function<void(InputTranslation&)> begin;
        QStringList ending;
    } cases[] = {
        {"tablet stroke",
         "org.inkscape.Inkscape",
         [](InputTranslation& in) {
             in.handlePencilEvent(start().message());
             in.handlePencilEvent(move().message());
         },
         {"moved 1152,540", "proximity 1152,540", "up 1152,540", "release-held"}},
        {"Krita keeps the pen near",
         "org.kde.krita",
         [](InputTranslation& in) { in.handlePencilEvent(start().message()); },
         {"up 960,540", "release-held"}},
        {"pressure-only stroke",
         "com.autodesk.sketchbook",
         [](InputTranslation& in) {
             in.handlePencilEvent(start().message());
             in.handlePencilEvent(move(0.7).message());
         },
         {"up 1344,540", "release-held"}},
        {"finger drag",
         "org.inkscape.Inkscape",
         [](InputTranslation& in) {
             in.handleDragEvent(QVariantMap{{"startOfDrag", true}, {"x", 0.1}, {"y", 0.1}});
             in.handleDragEvent(QVariantMap{{"x", 0.2}, {"y", 0.1}});
         },
         {"up 384,108", "release-held"}},
        {"nothing open", "org.inkscape.Inkscape", [](InputTranslation&) {}, {"release-held"}},
        {"a finished stroke",
         "org.inkscape.Inkscape",
         [](InputTranslation& in) {
             in.handlePencilEvent(start().message());
             in.handlePencilEvent(end().message());
         },
         {"release-held"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clock.advance(10);
        activate(c.application);
        c.begin(input());
        take();
        input().releaseHeldInput();
        EXPECT_EQ(take(), c.ending);
        // Once ended, the stroke's late samples draw nothing that stays held, and no tap.
        input().releaseHeldInput();
        EXPECT_EQ(take(), QStringList{"release-held"});
    }
}

TEST_F(PencilTest, AMissingAccessibilityGrantIsAskedAgainAtAStrokesStart) {
    double closed = 0;
    int asked = 0;
    bool granted = false;
    hooks.alertCloseTime = [&] { return closed; };
    hooks.assistiveAccessGranted = [&](bool show) {
        EXPECT_TRUE(show);
        ++asked;
        return granted;
    };
    activate("org.inkscape.Inkscape");
    input().setBRequireAccessibilityGrant(true);
    closed = clock.uptime() - 0.4; // too soon after the alert closed
    pen({start(), end()});
    EXPECT_EQ(asked, 0);
    closed = clock.uptime() - 0.6;
    pen({move(), start(), end()}); // only a start asks
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(input().bRequireAccessibilityGrant());
    granted = true;
    pen({start(), end()});
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(input().bRequireAccessibilityGrant());
    pen({start(), end()});
    EXPECT_EQ(asked, 2);
}

TEST(PencilModelTest, ThePencilIsSupportedOnTheModelsThatTakeIt) {
    const std::pair<const char*, bool> models[] = {
        {"iPad6,7", true}, {"iPad6,11", false}, {"iPad6,12", false}, {"iPad7,3", true},
        {"iPad8,1", true}, {"iPad5,3", false},  {"iPad13,1", false}, {"", false}};
    for (const auto& [model, supported] : models)
        EXPECT_EQ(InputTranslation::supportApplePencil(QString::fromLatin1(model)), supported) << model;
}
