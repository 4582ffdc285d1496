#include "platform/x11/DisplayLayout.h"

#include <gtest/gtest.h>

namespace {

using F = DisplayServices::ReconfigurationFlag;
using Changes = std::vector<std::pair<DisplayID, uint32_t>>;

const DisplayConfiguration twoSideBySide{{{60, {0, 0, 1920, 1080}}, {61, {1920, 0, 1280, 1024}}}};

TEST(DisplayLayout, NothingChangedNothingReported) {
    EXPECT_TRUE(reconfigurationFlags(twoSideBySide, twoSideBySide).empty());
}

TEST(DisplayLayout, AddedAndRemovedDisplays) {
    const DisplayConfiguration one{{{60, {0, 0, 1920, 1080}}}};
    EXPECT_EQ(reconfigurationFlags(one, twoSideBySide), (Changes{{61, F::kAddFlag | F::kEnabledFlag}}));
    EXPECT_EQ(reconfigurationFlags(twoSideBySide, one), (Changes{{61, F::kRemoveFlag | F::kDisabledFlag}}));
    EXPECT_EQ(reconfigurationFlags(one, {}), (Changes{{60, F::kRemoveFlag | F::kDisabledFlag}}));
}

TEST(DisplayLayout, ModeChangesAndMovesChangeTheDesktopShape) {
    DisplayConfiguration after = twoSideBySide;
    after.displays[0].bounds = {0, 0, 1024, 768};
    after.displays[1].bounds = {1024, 0, 1280, 1024};
    EXPECT_EQ(reconfigurationFlags(twoSideBySide, after),
              (Changes{{60, F::kSetModeFlag | F::kDesktopShapeChangedFlag},
                       {61, F::kMovedFlag | F::kDesktopShapeChangedFlag}}));
}

TEST(DisplayLayout, NewMainDisplay) {
    const DisplayConfiguration swapped{{twoSideBySide.displays[1], twoSideBySide.displays[0]}};
    EXPECT_EQ(reconfigurationFlags(twoSideBySide, swapped),
              (Changes{{61, F::kSetMainFlag}, {60, F::kSetMainFlag}}));
}

TEST(DisplayLayout, MirrorSetsAreDisplaysStartingAtTheSamePoint) {
    const DisplayConfiguration mirrored{
        {{60, {0, 0, 1920, 1080}}, {61, {0, 0, 1280, 1024}}, {62, {1920, 0, 800, 600}}}};
    EXPECT_EQ(mirrored.mirrorsDisplay(61), 60u);
    EXPECT_EQ(mirrored.mirrorsDisplay(60), 0u);
    EXPECT_EQ(mirrored.mirrorsDisplay(62), 0u);
    EXPECT_EQ(mirrored.mirrorsDisplay(99), 0u);
    EXPECT_TRUE(mirrored.inMirrorSet(60));
    EXPECT_FALSE(mirrored.inMirrorSet(62));

    const DisplayConfiguration before{
        {{60, {0, 0, 1920, 1080}}, {61, {1920, 0, 1280, 1024}}, {62, {1920, 0, 800, 600}}}};
    // 61 moves onto 60 and so shows its picture; 62, left alone, is no longer mirrored.
    EXPECT_EQ(reconfigurationFlags(before, mirrored),
              (Changes{{61, F::kMovedFlag | F::kDesktopShapeChangedFlag | F::kMirrorFlag},
                       {62, F::kUnMirrorFlag}}));
}

TEST(DisplayLayout, LeavingAMirrorSetMovesRightOfEveryOtherDisplay) {
    const DisplayConfiguration mirrored{
        {{60, {0, 0, 1920, 1080}}, {61, {0, 0, 1280, 1024}}, {62, {1920, 40, 800, 600}}}};
    EXPECT_EQ(unmirrorOrigin(mirrored, 61), QPoint(2720, 0));
    EXPECT_EQ(unmirrorOrigin(mirrored, 60), QPoint(2720, 0));
    EXPECT_FALSE(unmirrorOrigin(mirrored, 62)); // in no set: nothing moves
    EXPECT_FALSE(unmirrorOrigin(mirrored, 7));
    const DisplayConfiguration below{{{60, {0, 300, 1920, 1080}}, {61, {0, 300, 1280, 1024}}}};
    EXPECT_EQ(unmirrorOrigin(below, 61), QPoint(1920, 300));

    EXPECT_EQ(desktopSize({{0, 0, 1920, 1080}, {2720, 0, 1280, 1024}}), QSize(4000, 1080));
    EXPECT_EQ(desktopSize({}), QSize(0, 0));
}

} // namespace
