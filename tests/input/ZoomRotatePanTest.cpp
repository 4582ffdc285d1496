#include "input/InputFixture.h"

#include <QCoreApplication>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// A message at a desktop point of the 1920 x 1080 display; "s" starts, "e" ends, "se" both.
QVariantMap at(double px, double py, const char* phase, const QString& startKey, const QString& endKey) {
    const QString p = QString::fromLatin1(phase);
    return {{"x", px / 1920.0}, {"y", py / 1080.0}, {startKey, p.contains('s')}, {endKey, p.contains('e')}};
}
QVariantMap zoom(const char* phase, int32_t direction, double scale) {
    QVariantMap m = at(960, 540, phase, "startOfZoom", "endOfZoom");
    m.insert("zoom", direction);
    m.insert("scale", scale);
    return m;
}
QVariantMap rotation(const char* phase, double radians) {
    QVariantMap m = at(960, 540, phase, "startOfRotation", "endOfRotation");
    m.insert("rotation", radians);
    return m;
}
QVariantMap pan(double px, double py, const char* phase = "", double vx = 0.0) {
    QVariantMap m = at(px, py, phase, "startOfPan", "endOfPan");
    m.insert("vx", vx);
    return m;
}

} // namespace

class ZoomRotatePanTest : public InputTest {
protected:
    // What was posted, trackpad gestures included (they are posted from the main queue).
    QString posted() {
        QCoreApplication::processEvents();
        return take();
    }
    using Step = std::pair<QVariantMap, QString>;
    // Each message in turn, with what it posts.
    void play(const char* application, const char* name,
              void (InputTranslation::*handler)(const QVariantMap&), const std::vector<Step>& steps) {
        activate(application, name);
        posted();
        for (size_t i = 0; i < steps.size(); ++i) {
            (input().*handler)(steps[i].first);
            EXPECT_EQ(posted(), steps[i].second) << application << " step " << i;
        }
    }
};

TEST_F(ZoomRotatePanTest, PinchesZoomByTheStrategyOfTheApplicationInFront) {
    const QString warp = "warp@960,540";
    const std::vector<Step> optionAndWheel = {{zoom("s", 1, 1.0), warp + " kd58"},
                                              {zoom("", 1, 1.1), "wheel:1"},
                                              {zoom("", 2, 1.0), "wheel:-1"},
                                              {zoom("", 0, 1.0), ""},
                                              {zoom("", 3, 1.0), ""},
                                              {zoom("e", 1, 1.0), "ku58"}};
    const std::vector<Step> magnify = {{zoom("s", 1, 1.0), warp + " g8/1:0"},
                                       {zoom("", 1, 1.02), "g8/2:0.03"},
                                       {zoom("", 1, 1.10), "g8/2:0.05"},
                                       {zoom("", 2, 0.6), "g8/2:-0.05"},
                                       {zoom("e", 2, 0.6), "g8/4:0"}};
    const std::vector<Step> lines = {{zoom("s", 1, 1.0), warp},      {zoom("", 1, 1.2), "wheel:3"},
                                     {zoom("", 2, 1.0), "wheel:-3"}, {zoom("", 0, 1.0), ""},
                                     {zoom("", 3, 1.0), ""},         {zoom("e", 1, 1.0), ""}};
    // The start resets the stored scale to 0, so it posts at once; smaller changes add up.
    const QString plus = "kd69^100000 ku69^100000 ku55", minus = "kd78^100000 ku78^100000 ku55";
    const std::vector<Step> keyboard = {
        {zoom("s", 1, 1.0), plus}, {zoom("", 1, 1.1), ""}, {zoom("", 1, 1.2), plus}, {zoom("", 2, 1.1), ""},
        {zoom("", 2, 1.0), minus}, {zoom("", 0, 1.5), ""}, {zoom("", 3, 1.3), ""},   {zoom("e", 1, 1.3), ""}};
    const struct {
        const char* application;
        const char* name;
        const std::vector<Step>& steps;
    } cases[] = {
        {"com.adobe.Photoshop", "", optionAndWheel},
        {"com.adobe.illustrator", "", optionAndWheel},
        {"com.pixelmatorteam.pixelmator", "Pixelmator", magnify},
        {"jp.co.celsys.CLIPSTUDIO", "", optionAndWheel},
        {"com.corel.Painter", "", keyboard},
        {"com.autodesk.sketchbook", "", lines},
        {"com.autodesk.Mudbox", "", lines},
        {"org.kde.krita", "", magnify},
        {"org.gimp.GIMP", "", magnify},
        {"com.apple.finder", "", magnify},
    };
    for (const auto& c : cases)
        play(c.application, c.name, &InputTranslation::handleZoomEvent, c.steps);

    // Substance Painter zooms the other way round.
    play("com.allegorithmic.substance-painter", "", &InputTranslation::handleZoomEvent,
         {{zoom("s", 1, 1.0), warp}, {zoom("", 1, 1.2), "wheel:-3"}, {zoom("", 2, 1.0), "wheel:3"}});
    // The class is the one of the zoom's start, whatever comes to the front meanwhile.
    activate("com.adobe.Photoshop");
    input().handleZoomEvent(zoom("s", 1, 1.0));
    workspace.frontmost = {"com.apple.finder", ""};
    input().getCurrentApp();
    input().handleZoomEvent(zoom("", 1, 1.1));
    input().handleZoomEvent(zoom("e", 1, 1.1));
    EXPECT_EQ(posted(), warp + " kd58 wheel:1 ku58");
}

TEST_F(ZoomRotatePanTest, TwistsRotateTheOtherWayInDegreesWhateverTheApplication) {
    for (const char* application : {"com.apple.finder", "com.adobe.Photoshop", "com.corel.Painter"})
        play(application, "", &InputTranslation::handleTwoFingerRotationEvent,
             {{rotation("s", 0.0), "warp@960,540 g5/1:0"},
              {rotation("", 0.1), "g5/2:-5.72958"},
              {rotation("", -0.1), "g5/2:11.4592"},
              {rotation("e", -0.1), "g5/4:0"},
              // A new twist counts from its own start.
              {rotation("s", 0.5), "warp@960,540 g5/1:-28.6479"}});
}

TEST_F(ZoomRotatePanTest, PansScrollOrDragWithTheHeldKeyOfTheApplicationInFront) {
    // Moves under 4 points post nothing; the button goes up at the last anchor, not where the
    // fingers left.
    const auto drag = [](const QString& keyDown, const QString& down, const QString& dragged,
                         const QString& end) -> std::vector<Step> {
        return {{pan(960, 540, "s"), keyDown},
                {pan(963, 542, ""), ""},
                {pan(965, 540, ""), (down + "@965,540 " + dragged + "@965,540")},
                {pan(967, 543, ""), ""},
                {pan(965, 545, ""), dragged + "@965,545"},
                {pan(1200, 700, "e"), end}};
    };
    const std::vector<Step> space = drag("kd49", "down", "drag", "ku49 up@965,545");
    const std::vector<Step> lines = {
        {pan(960, 540, "s"), "warp@960,540"},       {pan(960, 545, ""), "wheel:1"}, {pan(960, 548, ""), ""},
        {pan(954, 540, ""), "wheel:-1 wheel:0,-1"}, // one tick per axis, whatever the distance
        {pan(900, 900, ""), "wheel:1 wheel:0,-1"},  {pan(900, 900, "e"), ""}};
    const struct {
        const char* application;
        const std::vector<Step> steps;
    } cases[] = {
        {"com.corel.Painter", space},
        {"jp.co.celsys.CLIPSTUDIO", space},
        {"com.autodesk.sketchbook", space},
        {"com.toonboom.harmony", space},
        {"com.autodesk.Maya", drag("", "down", "drag", "up@965,545")},
        {"com.allegorithmic.substance-painter", drag("kd58", "odown", "odrag", "oup@965,545 ku58")},
        {"com.adobe.Photoshop", lines},
        {"com.adobe.illustrator", lines},
        // The one-finger scroll: the vertical distance in pixels.
        {"org.gimp.GIMP",
         {{pan(960, 540, "s"), "warp@960,540"}, {pan(960, 675, ""), "wheel:135"}, {pan(960, 675, "e"), ""}}},
    };
    for (const auto& c : cases)
        play(c.application, "", &InputTranslation::handleTwoFingerPanEvent, c.steps);
}

TEST_F(ZoomRotatePanTest, UnknownApplicationsSwipeOrScrollByTheSpeedOfTheThirdMessage) {
    const QString start = "warp@900,540 warp@900,540";
    // The device, the third message's speed, how far and how soon the pan ends, what the end posts.
    const struct {
        QString category;
        double vx, dx, seconds;
        QString end;
        int32_t mode;
    } cases[] = {
        {"iPad", 0.6, 150, 0.25, "g16/0:4", ZoomRotatePan::kPanSwipe},
        {"iPad", -0.6, -150, 0.25, "g16/0:8", ZoomRotatePan::kPanSwipe},
        {"iPad", 0.6, 150, 0.35, "", ZoomRotatePan::kPanSwipe},
        {"iPad", 0.6, 99, 0.1, "", ZoomRotatePan::kPanSwipe},
        {"iPad", 0.5, 150, 0.25, "", ZoomRotatePan::kPanScroll},
        {"iPhone", 0.6, 150, 0.25, "", ZoomRotatePan::kPanScroll},
        {"iPhone", 0.81, 150, 0.25, "g16/0:4", ZoomRotatePan::kPanSwipe},
    };
    for (const auto& c : cases) {
        hooks.deviceCategory = [&] { return c.category; };
        input_.reset();
        activate("com.apple.finder");
        posted();
        clock.advance(1);
        input().handleTwoFingerPanEvent(pan(900, 540, "s", 0.1));
        EXPECT_EQ(posted(), start);
        input().handleTwoFingerPanEvent(pan(900 + c.dx / 3, 540, "", 0.1)); // undecided: nothing
        EXPECT_EQ(posted(), "");
        input().handleTwoFingerPanEvent(pan(900 + c.dx / 2, 540, "", c.vx));
        EXPECT_EQ(input().gestures().panMode(), c.mode) << c.category.toStdString() << " " << c.vx;
        const QString scrolled = posted();
        clock.advance(c.seconds);
        input().handleTwoFingerPanEvent(pan(900 + c.dx, 540, "e", c.vx));
        // A scroll posts sideways ticks as the fingers go; a swipe only at its end.
        EXPECT_EQ(scrolled.isEmpty(), c.mode == ZoomRotatePan::kPanSwipe) << scrolled.toStdString();
        EXPECT_EQ(posted(), c.end) << c.category.toStdString() << " " << c.vx << " " << c.seconds;
    }
}

TEST_F(ZoomRotatePanTest, GesturesCutOffLetGoOfEverythingTheyHeld) {
    // A gesture whose end never comes, and what the link's end posts in its place.
    const struct {
        const char* what;
        const char* application;
        std::vector<QVariantMap> zooms, pans;
        QString release;
    } cases[] = {
        {"a Corel Painter pan",
         "com.corel.Painter",
         {},
         {pan(960, 540, "s"), pan(970, 540)},
         "ku49 up@970,540 released"},
        {"a Substance Painter pan",
         "com.allegorithmic.substance-painter",
         {},
         {pan(960, 540, "s"), pan(970, 540)},
         "oup@970,540 ku58 released"},
        {"a Maya pan", "com.autodesk.Maya", {}, {pan(960, 540, "s"), pan(970, 540)}, "up@970,540 released"},
        {"a Photoshop zoom", "com.adobe.Photoshop", {zoom("s", 1, 1.0)}, {}, "ku58 released"},
        {"a trackpad zoom", "com.apple.finder", {zoom("s", 1, 1.0), zoom("", 1, 1.1)}, {}, "released g8/4:0"},
        {"a finished pan",
         "com.corel.Painter",
         {},
         {pan(960, 540, "s"), pan(970, 540), pan(970, 540, "e")},
         "released"},
        {"a scroll", "org.gimp.GIMP", {}, {pan(960, 540, "s"), pan(960, 600)}, "released"},
    };
    for (const auto& c : cases) {
        activate(c.application);
        for (const QVariantMap& m : c.zooms)
            input().handleZoomEvent(m);
        for (const QVariantMap& m : c.pans)
            input().handleTwoFingerPanEvent(m);
        posted();
        input().releaseHeldInput();
        EXPECT_EQ(posted(), c.release) << c.what;
        input().releaseHeldInput();
        EXPECT_EQ(posted(), "released") << c.what << ": a second time";
    }

    // The application changes under a pan that holds Space: Space and the button go up before the
    // pan goes on as the new application wants; a new start of a pan that never ended does the same.
    activate("com.corel.Painter");
    input().handleTwoFingerPanEvent(pan(960, 540, "s"));
    input().handleTwoFingerPanEvent(pan(970, 540));
    workspace.frontmost = {"com.adobe.Photoshop", ""};
    input().getCurrentApp();
    posted();
    input().handleTwoFingerPanEvent(pan(970, 560));
    EXPECT_EQ(posted(), "ku49 up@970,540 wheel:1");
    activate("com.allegorithmic.substance-painter");
    input().handleTwoFingerPanEvent(pan(960, 540, "s"));
    input().handleTwoFingerPanEvent(pan(970, 540));
    input().handleTwoFingerPanEvent(pan(960, 540, "s"));
    EXPECT_EQ(posted(), "kd58 odown@970,540 odrag@970,540 oup@970,540 ku58 kd58");
    // A pan the device abandons ends by itself once it has not been heard of for a while, and so
    // does one whose link went; until the next start its moves are dropped, not dragged without
    // the key. A move keeps it alive.
    input().releaseHeldInput();
    posted();
    activate("com.corel.Painter");
    input().handleTwoFingerPanEvent(pan(960, 540, "s"));
    input().handleTwoFingerPanEvent(pan(970, 540));
    clock.advance(ZoomRotatePan::kAbandonedGestureTimeout - 1);
    input().handleTwoFingerPanEvent(pan(980, 540));
    clock.advance(ZoomRotatePan::kAbandonedGestureTimeout - 1);
    EXPECT_EQ(posted(), "kd49 down@970,540 drag@970,540 drag@980,540");
    clock.advance(1);
    EXPECT_EQ(posted(), "ku49 up@980,540");
    for (const bool link : {false, true}) {
        if (link) {
            input().handleTwoFingerPanEvent(pan(960, 540, "s"));
            input().releaseHeldInput();
            EXPECT_EQ(posted(), "kd49 ku49 up@960,540 released");
        }
        input().handleTwoFingerPanEvent(pan(1000, 540));
        input().handleTwoFingerPanEvent(pan(1000, 540, "e"));
        EXPECT_EQ(posted(), "") << link;
    }
    input().handleTwoFingerPanEvent(pan(960, 540, "s"));
    EXPECT_EQ(posted(), "kd49");
    input().handleTwoFingerPanEvent(pan(960, 540, "e"));
    posted();
    // So does a Photoshop zoom that holds Option.
    activate("com.adobe.Photoshop");
    input().handleZoomEvent(zoom("s", 1, 1.0));
    clock.advance(ZoomRotatePan::kAbandonedGestureTimeout - 1);
    input().handleZoomEvent(zoom("", 1, 1.1));
    clock.advance(ZoomRotatePan::kAbandonedGestureTimeout);
    EXPECT_EQ(posted(), "warp@960,540 kd58 wheel:1 ku58");
    // A zoom that holds Option whose class changed before its end still lets Option go.
    activate("com.adobe.Photoshop");
    input().handleZoomEvent(zoom("s", 1, 1.0));
    activate("com.corel.Painter");
    input().handleTwoFingerPanEvent(pan(960, 540)); // refreshes the stored class
    posted();
    input().handleZoomEvent(zoom("e", 0, 1.0));
    EXPECT_EQ(posted(), "ku58");
    // A zoom that starts and ends in one message does not leave Option down.
    activate("com.adobe.Photoshop");
    input().handleZoomEvent(zoom("se", 1, 1.0));
    EXPECT_EQ(posted(), "warp@960,540 kd58 ku58");
}

TEST_F(ZoomRotatePanTest, ValuesThatAreNoNumbersAreDroppedAndEndsStillEnd) {
    QVariantMap noPlace = zoom("s", 1, 1.0);
    noPlace.remove("x");
    QVariantMap farAway = pan(960, 540, "s");
    farAway["x"] = kInf;
    const struct {
        const char* what;
        const char* application;
        void (InputTranslation::*handler)(const QVariantMap&);
        std::vector<Step> steps;
    } cases[] = {
        {"scale",
         "com.apple.finder",
         &InputTranslation::handleZoomEvent,
         {{zoom("s", 1, kNaN), ""},
          {zoom("s", 1, 1.0), "warp@960,540 g8/1:0"},
          {zoom("", 1, kNaN), ""},
          {zoom("", 1, -kInf), ""},
          {zoom("", 1, 1.02), "g8/2:0.03"},
          {zoom("e", 1, kNaN), "g8/4:0"}}},
        {"keyboard scale",
         "com.corel.Painter",
         &InputTranslation::handleZoomEvent,
         {{zoom("s", 1, kInf), ""},
          {zoom("", 1, kNaN), ""},
          {zoom("", 1, 1.0), "kd69^100000 ku69^100000 ku55"}}},
        {"rotation",
         "com.apple.finder",
         &InputTranslation::handleTwoFingerRotationEvent,
         {{rotation("s", 0.0), "warp@960,540 g5/1:0"},
          {rotation("", kNaN), ""},
          {rotation("e", kInf), "g5/4:0"}}},
        {"place",
         "com.adobe.Photoshop",
         &InputTranslation::handleZoomEvent,
         {{noPlace, ""}, {zoom("", 1, 1.0), "wheel:1"}, {zoom("e", 1, 1.0), "ku58"}}},
        {"pan place",
         "com.corel.Painter",
         &InputTranslation::handleTwoFingerPanEvent,
         {{farAway, ""}, {pan(kNaN, 540), ""}, {pan(1e300, 540, "e"), ""}}},
        {"speed",
         "com.apple.finder",
         &InputTranslation::handleTwoFingerPanEvent,
         {{pan(900, 540, "s", kNaN), ""},
          {pan(900, 540, "s", 0.0), "warp@900,540 warp@900,540"},
          {pan(920, 540, "", 0.0), ""},
          {pan(940, 540, "", kNaN), ""}, // not counted: the next one decides
          {pan(1100, 540, "", 2.0), ""},
          {pan(1100, 540, "e", kInf), "g16/0:4"}}},
    };
    for (const auto& c : cases) {
        input_.reset();
        play(c.application, "", c.handler, c.steps);
    }
}
