#include "input/InputFixture.h"

#include <cmath>
#include <limits>

using TouchPointerTest = InputTest;

TEST_F(TouchPointerTest, TapsCloserThanTheDoubleTapIntervalMakeADoubleClick) {
    struct Case {
        const char* name;
        double gap;
        bool ignoreSecond;
        QStringList second;
    };
    const QStringList doubleClick{"down 960,540", "up 960,540", "down 960,540 i1=2", "up 960,540 i1=2"};
    const QStringList singleClick{"warp 960,540", "down 960,540", "up 960,540"};
    const Case cases[] = {
        {"0.19 s apart", 0.19, false, doubleClick},
        {"0.2 s apart", 0.2, false, singleClick},
        {"0.19 s apart, single taps ignored", 0.19, true, doubleClick},
        {"0.5 s apart, single taps ignored", 0.5, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clock.advance(10);
        input().handleTapEvent({0.5, 0.5}, false);
        EXPECT_EQ(take(true), singleClick);
        clock.advance(c.gap);
        input().handleTapEvent({0.5, 0.5}, c.ignoreSecond);
        EXPECT_EQ(take(true), c.second);
    }
    // Every single click tells the device where the cursor went.
    EXPECT_EQ(calls.count("mouseCursorMoved"), 5);
}

TEST_F(TouchPointerTest, ATapOnTheTouchBarClicksThereAndPutsTheCursorBack) {
    hooks.isTapInTouchBar = [](QPointF p) { return p.y() > 1000; };
    poster.pointer = {100, 200};
    input().handleTapEvent({0.5, 0.95}, false);
    EXPECT_EQ(take(), (QStringList{"warp 960,1026", "down 960,1026", "up 960,1026", "warp 100,200"}));
    EXPECT_EQ(calls, QStringList{"mouseCursorMoved"});
}

TEST_F(TouchPointerTest, TwoFingerTapsClickSecondaryZoomOrUndoByDeviceAndApplication) {
    struct Case {
        const char* name;
        bool peerIsNew;
        QString application;
        double gap; // before a second tap; 0: a lone tap
        QStringList posted;
        QStringList calls;
    };
    const QStringList rightClick{"right-down 300,400", "right-up 300,400"};
    const Case cases[] = {
        {"older device, lone tap", false, "com.adobe.Photoshop", 0, rightClick, {}},
        {"older device, double tap", false, "com.adobe.Photoshop", 0.25, {}, {"smartZoom"}},
        {"older device, taps 0.35 s apart", false, "com.adobe.Photoshop", 0.35, rightClick + rightClick, {}},
        {"new device, no shortcuts", true, "com.apple.finder", 0.25, {}, {"smartZoom"}},
        // Photoshop without a settings folder keeps its older shortcuts: step backward.
        {"new device, Photoshop",
         true,
         "com.adobe.Photoshop",
         0.25,
         QStringList{"key-down 6 0x180000", "key-up 6", "key-up 55", "key-up 58", "key-up 59", "key-up 56"} +
             QStringList{"key-down 6 0x180000", "key-up 6", "key-up 55", "key-up 58", "key-up 59",
                         "key-up 56"},
         {}},
        {"new device, Krita",
         true,
         "org.kde.krita",
         0,
         {"key-down 6 0x100000", "key-up 6 0x100000", "key-up 55"},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        clock.advance(10);
        peerIsNew = c.peerIsNew;
        activate(c.application);
        poster.pointer = {300, 400};
        calls.clear();
        input().handleTwoFingerTapEvent({0.5, 0.5});
        if (c.gap > 0) {
            clock.advance(c.gap);
            input().handleTwoFingerTapEvent({0.5, 0.5});
        }
        clock.advance(1);
        EXPECT_EQ(take(), c.posted);
        EXPECT_EQ(calls, c.calls);
    }
}

TEST_F(TouchPointerTest, ThreeFingerTapsRedoOnlyWhereTheApplicationHasShortcuts) {
    const QStringList commandShiftZ{"key-down 6 0x120000", "key-up 6",  "key-up 55",
                                    "key-up 58",           "key-up 59", "key-up 56"};
    const struct {
        QString application;
        QStringList posted;
    } cases[] = {
        {"com.apple.finder", {}},
        {"someone.else", {}},
        {"org.kde.krita", commandShiftZ},
        {"com.pixologic.zbrush",
         {"key-down 6 0x60000", "key-up 6", "key-up 55", "key-up 58", "key-up 59", "key-up 56"}},
        {"com.corel.Painter", {"key-down 16 0x100000", "key-up 16 0x100000", "key-up 55"}},
        {"org.gimp.GIMP", {"key-down 16 0x100000", "key-up 16 0x100000", "key-up 55"}},
        {"com.github.flxzt.rnote", commandShiftZ},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.application.toStdString());
        activate(c.application);
        input().handleThreeFingerTapEvent({0.5, 0.5});
        EXPECT_EQ(take(), c.posted);
    }
}

TEST_F(TouchPointerTest, OneFingerScrollsByTheVerticalDistanceOrTenPixelsSideways) {
    displays.setBounds(1, QRectF(0, 0, 1280, 800));
    struct Case {
        const char* name;
        QPointF from, to;
        QStringList posted;
    };
    const Case cases[] = {
        {"down a quarter", {0.5, 0.5}, {0.5, 0.75}, {"scroll 200"}},
        {"up a hair", {0.5, 0.5}, {0.5, 0.4999}, {"scroll 0"}},
        {"diagonal", {0.5, 0.5}, {0.6, 0.6}, {"scroll 0 10"}},
        {"left, fast", {0.5, 0.5}, {0.1, 0.45}, {"scroll 0 -10"}},
        {"still", {0.5, 0.5}, {0.5, 0.5}, {}},
        {"a jump no wheel can carry", {0.5, -2e6}, {0.5, 2e6}, {"scroll 2147483647"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        input().handleScrollEvent(message({{"startOfScroll", true}, {"x", c.from.x()}, {"y", c.from.y()}}));
        const QStringList start = take();
        ASSERT_EQ(start.size(), 1);
        EXPECT_TRUE(start[0].startsWith("warp"));
        input().handleScrollEvent(message({{"x", c.to.x()}, {"y", c.to.y()}}));
        input().handleScrollEvent(message({{"endOfPan", true}, {"x", 0.0}, {"y", 0.0}}));
        EXPECT_EQ(take(), c.posted);
    }
    // A start hides the move from the device; a scroll without a start measures from the last end.
    EXPECT_TRUE(calls.isEmpty());
    input().handleScrollEvent(message({{"x", 0.0}, {"y", 0.5}}));
    EXPECT_EQ(take(), QStringList{"scroll 400"});
}

TEST_F(TouchPointerTest, DragsHoldTheLeftButtonAndHoverMovesTheCursor) {
    input().handleDragEvent(message({{"startOfDrag", true}, {"x", 0.1}, {"y", 0.1}}));
    input().handleDragEvent(message({{"x", 0.2}, {"y", 0.1}}));
    input().handleDragEvent(message({{"endOfDrag", true}, {"x", 0.3}, {"y", 0.1}}));
    input().handleHoverEvent(message({{"x", 0.5}, {"y", 0.5}}));
    EXPECT_EQ(take(), (QStringList{"warp 192,108", "down 192,108", "dragged 384,108", "up 576,108",
                                   "moved 960,540"}));
    EXPECT_EQ(calls, QStringList{"mouseCursorMoved"});
}

// Positions come from the device: a value that is not a number or lies far beyond any screen is not
// posted, and a drag whose end is such a value still lets its button go.
TEST_F(TouchPointerTest, UnpostablePositionsAreDroppedWithoutLeavingTheButtonDown) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    for (const double bad : {nan, inf, -inf, 3e6}) {
        SCOPED_TRACE(bad);
        input().handleTapEvent({bad, 0.5}, false);
        input().handleHoverEvent(message({{"x", 0.5}, {"y", bad}}));
        input().handleScrollEvent(message({{"x", bad}, {"y", 0.5}}));
        input().handleDragEvent(message({{"startOfDrag", true}, {"x", 0.1}, {"y", 0.1}}));
        input().handleDragEvent(message({{"x", bad}, {"y", 0.1}}));
        input().handleDragEvent(message({{"endOfDrag", true}, {"x", bad}, {"y", bad}}));
        EXPECT_EQ(take(), (QStringList{"warp 192,108", "down 192,108", "up 192,108"}));
    }
}
