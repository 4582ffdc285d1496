#include "input/InputFixture.h"

using ScreenMappingTest = InputTest;

// The streamed screen beside, below or above the main one: a normalised position lands on it in the
// top-left space events are posted in, and the cursor's place there maps back to the same position.
TEST_F(ScreenMappingTest, PositionsLandOnTheMirroredScreenWhereverItIs) {
    struct Case {
        const char* layout;
        QRectF secondBounds; // empty: the main display is streamed
        QPointF position;
        QPointF expected;
    };
    const Case cases[] = {
        {"main", {}, {0.5, 0.5}, {960, 540}},
        {"main, corner", {}, {0, 0}, {0, 0}},
        {"main, off the screen stays off", {}, {1.5, -0.5}, {2880, -540}},
        {"right of main, shorter", {1920, 0, 1280, 800}, {0.5, 0.5}, {2560, 400}},
        {"below main", {0, 1080, 1366, 768}, {0.5, 0.5}, {683, 1464}},
        {"above main", {0, -900, 1600, 900}, {0.25, 0.75}, {400, -225}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layout);
        FakeDisplayServices layout;
        layout.addDisplay({.id = 1, .bounds = QRectF(0, 0, 1920, 1080)});
        if (!c.secondBounds.isEmpty()) layout.addDisplay({.id = 2, .bounds = c.secondBounds});
        ZDVirtualScreenController displayController(layout);
        if (!c.secondBounds.isEmpty()) displayController.setCloneDisplayID(2);
        ScreenMapping mapping(displayController);

        const QPointF point = mapping.getScreenPoint(c.position);
        EXPECT_EQ(point, c.expected);
        // The toolkit's mouse location there is the same point in the bottom-left space.
        const QPointF mouse(point.x(), 1080 - point.y());
        if (QRectF(0, 0, 1, 1).contains(c.position)) {
            const QPointF back = mapping.getRelativePoint(mouse);
            EXPECT_NEAR(back.x(), c.position.x(), 1e-6);
            EXPECT_NEAR(back.y(), c.position.y(), 1e-6);
        }
    }
}

TEST_F(ScreenMappingTest, RelativePointsAndTheStreamedScreenHaveInclusiveEdges) {
    struct Case {
        QPointF mouse; // bottom-left space
        QPointF relative;
        bool inZubScreen;
    };
    const double third = double(float(640.0 / 1920.0));
    const Case cases[] = {
        {{960, 540}, {0.5, 0.5}, true},  {{0, 0}, {0, 1}, true},         {{1920, 1080}, {1, 0}, true},
        {{640, 1080}, {third, 0}, true}, {{1921, 540}, {-1, -1}, false}, {{-1, 540}, {-1, -1}, false},
        {{960, 1081}, {-1, -1}, false},  {{960, -1}, {-1, -1}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.mouse.x() << "," << c.mouse.y());
        EXPECT_EQ(input().getRelativePoint(c.mouse), c.relative);
        EXPECT_EQ(input().isInZubScreen(c.mouse), c.inZubScreen);
    }

    // With a streamed screen to the right, the cursor there is on the device but not on the main screen.
    displays.addDisplay({.id = 2, .bounds = QRectF(1920, 0, 1280, 800)});
    ZDVirtualScreenController second(displays);
    second.setCloneDisplayID(2);
    ScreenMapping mapping(second);
    EXPECT_EQ(mapping.getRelativePoint({2560, 680}), QPointF(0.5, 0.5));
    EXPECT_FALSE(mapping.isInZubScreen({2560, 680}));

    // No screen at all: nothing to map onto, and nothing divided by its zero size.
    FakeDisplayServices none;
    ZDVirtualScreenController empty(none);
    ScreenMapping nowhere(empty);
    EXPECT_EQ(nowhere.getRelativePoint({0, 0}), QPointF(-1, -1));
    EXPECT_EQ(nowhere.getScreenPoint({0.5, 0.5}), QPointF(0, 0));
}
