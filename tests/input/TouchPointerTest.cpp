#include "input/InputFixture.h"

#include <limits>

using TouchPointerTest = InputTest;

TEST_F(TouchPointerTest, TapsCloserThanTheDoubleTapIntervalMakeADoubleClick) {
    const QString click = "warp@960,540 down@960,540 up@960,540";
    const QString doubleClick = "down@960,540 up@960,540 down@960,540#2 up@960,540#2";
    // The gap after a first tap, whether single taps are ignored, what the second tap posts.
    const std::tuple<double, bool, QString> cases[] = {
        {0.19, false, doubleClick}, {0.2, false, click}, {0.19, true, doubleClick}, {0.5, true, ""}};
    for (const auto& [gap, ignoreSingleTap, second] : cases) {
        clock.advance(10);
        input().handleTapEvent({0.5, 0.5}, false);
        EXPECT_EQ(take(), click);
        clock.advance(gap);
        input().handleTapEvent({0.5, 0.5}, ignoreSingleTap);
        EXPECT_EQ(take(), second) << gap;
    }
    EXPECT_EQ(calls.count("cursorMoved"), 5); // every single click tells the device

    // On the Touch Bar's picture the click happens and the cursor goes back where it was.
    hooks.isTapInTouchBar = [](QPointF p) { return p.y() > 1000; };
    input_.reset();
    poster.pointer = {100, 200};
    input().handleTapEvent({0.5, 0.95}, false);
    EXPECT_EQ(take(), "warp@960,1026 down@960,1026 up@960,1026 warp@100,200");
}

TEST_F(TouchPointerTest, TwoFingerTapsClickSecondaryZoomOrUndoByDeviceAndApplication) {
    const QString stepBack = "kd6^180000 ku6 ku55 ku58 ku59 ku56 ";
    // Whether the device speaks 1.0.7, in front, the gap before a second tap (0: a lone tap), what is
    // posted and what else is asked.
    const std::tuple<bool, const char*, double, QString, QStringList> cases[] = {
        {false, "com.adobe.Photoshop", 0, "rdown@300,400 rup@300,400", {}},
        {false, "com.adobe.Photoshop", 0.25, "", {"smartZoom"}},
        {false, "com.adobe.Photoshop", 0.35, "rdown@300,400 rup@300,400 rdown@300,400 rup@300,400", {}},
        {true, "com.apple.finder", 0.25, "", {"smartZoom"}},
        {true, "com.adobe.Photoshop", 0.25, (stepBack + stepBack).trimmed(), {}},
        {true, "org.kde.krita", 0, "kd6^100000 ku6^100000 ku55", {}},
    };
    for (const auto& [newPeer, application, gap, posted, asked] : cases) {
        clock.advance(10);
        peerIsNew = newPeer;
        activate(application);
        poster.pointer = {300, 400};
        calls.clear();
        input().handleTwoFingerTapEvent({0.5, 0.5});
        if (gap > 0) {
            clock.advance(gap);
            input().handleTwoFingerTapEvent({0.5, 0.5});
        }
        clock.advance(1);
        EXPECT_EQ(take(), posted) << application << " " << gap;
        EXPECT_EQ(calls, asked);
    }
    // Three fingers redo, where the application has shortcuts, whatever the device.
    const std::pair<const char*, QString> redo[] = {
        {"com.apple.finder", ""},
        {"org.kde.krita", "kd6^120000 ku6 ku55 ku58 ku59 ku56"},
        {"com.pixologic.zbrush", "kd6^60000 ku6 ku55 ku58 ku59 ku56"},
        {"com.corel.Painter", "kd16^100000 ku16^100000 ku55"},
        {"org.gimp.GIMP", "kd16^100000 ku16^100000 ku55"},
    };
    for (const auto& [application, posted] : redo) {
        activate(application);
        input().handleThreeFingerTapEvent({0.5, 0.5});
        EXPECT_EQ(take(), posted) << application;
    }
}

TEST_F(TouchPointerTest, OneFingerScrollsByTheVerticalDistanceOrTenPixelsSideways) {
    displays.setBounds(1, QRectF(0, 0, 1280, 800));
    const std::tuple<QPointF, QPointF, QString> cases[] = {
        {{0.5, 0.5}, {0.5, 0.75}, "wheel:200"}, {{0.5, 0.5}, {0.5, 0.4999}, "wheel:0"},
        {{0.5, 0.5}, {0.6, 0.6}, "wheel:0,10"}, {{0.5, 0.5}, {0.1, 0.45}, "wheel:0,-10"},
        {{0.5, 0.5}, {0.5, 0.5}, ""},           {{0.5, -2e6}, {0.5, 2e6}, "wheel:2147483647"},
    };
    for (const auto& [from, to, posted] : cases) {
        input().handleScrollEvent({{"startOfScroll", true}, {"x", from.x()}, {"y", from.y()}});
        EXPECT_TRUE(take().startsWith("warp@"));
        input().handleScrollEvent({{"x", to.x()}, {"y", to.y()}});
        input().handleScrollEvent({{"endOfPan", true}, {"x", 0.0}, {"y", 0.0}});
        EXPECT_EQ(take(), posted) << to.x() << "," << to.y();
    }
    EXPECT_TRUE(calls.isEmpty());                        // a scroll's warp is hidden from the device
    input().handleScrollEvent({{"x", 0.0}, {"y", 0.5}}); // without a start: from the last end
    EXPECT_EQ(take(), "wheel:400");
}

// Positions come from the device: one that is not a number, or lies far beyond every screen, is not
// posted, and a drag whose end carries one still lets its button go where the drag last was.
TEST_F(TouchPointerTest, DragsAndHoverPostOnlyPostablePositionsAndNeverLeaveTheButtonDown) {
    input().handleDragEvent({{"startOfDrag", true}, {"x", 0.1}, {"y", 0.1}});
    input().handleDragEvent({{"x", 0.2}, {"y", 0.1}});
    input().handleDragEvent({{"endOfDrag", true}, {"x", 0.3}, {"y", 0.1}});
    input().handleHoverEvent({{"x", 0.5}, {"y", 0.5}});
    EXPECT_EQ(take(), "warp@192,108 down@192,108 drag@384,108 up@576,108 move@960,540");
    EXPECT_EQ(calls, QStringList{"cursorMoved"});

    const double inf = std::numeric_limits<double>::infinity();
    for (const double bad : {std::numeric_limits<double>::quiet_NaN(), inf, -inf, 3e6}) {
        input().handleTapEvent({bad, 0.5}, false);
        input().handleHoverEvent({{"x", 0.5}, {"y", bad}});
        input().handleScrollEvent({{"x", bad}, {"y", 0.5}});
        input().handleDragEvent({{"startOfDrag", true}, {"x", 0.1}, {"y", 0.1}});
        input().handleDragEvent({{"x", bad}, {"y", 0.1}});
        input().handleDragEvent({{"endOfDrag", true}, {"x", bad}, {"y", bad}});
        EXPECT_EQ(take(), "warp@192,108 down@192,108 up@192,108") << bad;
    }
}
