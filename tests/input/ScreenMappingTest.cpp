#include "input/InputFixture.h"

using ScreenMappingTest = InputTest;

// The streamed screen beside, below or above the main one: a normalised position lands on it in the
// top-left space events are posted in, and the cursor's place there maps back to the same position.
TEST_F(ScreenMappingTest, PositionsLandOnTheMirroredScreenWhereverItIs) {
    // The streamed display's bounds (empty: the main one), a position, where it lands.
    const std::tuple<QRectF, QPointF, QPointF> cases[] = {
        {{}, {0.5, 0.5}, {960, 540}},
        {{}, {0, 0}, {0, 0}},
        {{}, {1.5, -0.5}, {2880, -540}}, // off the screen stays off
        {{1920, 0, 1280, 800}, {0.5, 0.5}, {2560, 400}},
        {{0, 1080, 1366, 768}, {0.5, 0.5}, {683, 1464}},
        {{0, -900, 1600, 900}, {0.25, 0.75}, {400, -225}},
    };
    for (const auto& [streamed, position, expected] : cases) {
        FakeDisplayServices layout;
        layout.addDisplay({.id = 1, .bounds = QRectF(0, 0, 1920, 1080)});
        if (!streamed.isEmpty()) layout.addDisplay({.id = 2, .bounds = streamed});
        ZDVirtualScreenController displayController(layout);
        if (!streamed.isEmpty()) displayController.setCloneDisplayID(2);
        ScreenMapping mapping(displayController);

        const QPointF point = mapping.getScreenPoint(position);
        EXPECT_EQ(point, expected);
        if (!QRectF(0, 0, 1, 1).contains(position)) continue;
        const QPointF back = mapping.getRelativePoint({point.x(), 1080 - point.y()}); // the mouse there
        EXPECT_NEAR(back.x(), position.x(), 1e-6);
        EXPECT_NEAR(back.y(), position.y(), 1e-6);
    }
}

TEST_F(ScreenMappingTest, RelativePointsAndTheStreamedScreenHaveInclusiveEdges) {
    const double third = double(float(640.0 / 1920.0)); // single precision, as the device reads it
    // A mouse location (bottom-left space), its normalised position, whether it is on the screen.
    const std::tuple<QPointF, QPointF, bool> cases[] = {
        {{960, 540}, {0.5, 0.5}, true},  {{0, 0}, {0, 1}, true},         {{1920, 1080}, {1, 0}, true},
        {{640, 1080}, {third, 0}, true}, {{1921, 540}, {-1, -1}, false}, {{-1, 540}, {-1, -1}, false},
        {{960, 1081}, {-1, -1}, false},  {{960, -1}, {-1, -1}, false},
    };
    for (const auto& [mouse, relative, onScreen] : cases) {
        EXPECT_EQ(input().getRelativePoint(mouse), relative) << mouse.x() << "," << mouse.y();
        EXPECT_EQ(input().isInZubScreen(mouse), onScreen);
    }
    // No screen at all: nothing to map onto, and nothing divided by its zero size.
    FakeDisplayServices none;
    ZDVirtualScreenController empty(none);
    EXPECT_EQ(ScreenMapping(empty).getRelativePoint({0, 0}), QPointF(-1, -1));
    EXPECT_EQ(ScreenMapping(empty).getScreenPoint({0.5, 0.5}), QPointF(0, 0));
}
