#include "platform/x11/DisplayLayout.h"

#include <gtest/gtest.h>

namespace {

using F = DisplayServices::ReconfigurationFlag;
using Changes = std::vector<std::pair<DisplayID, uint32_t>>;

// Two arrangements of the outputs and the flags each display's change is reported with.
TEST(DisplayLayout, EachChangeIsReportedWithItsFlags) {
    const DisplayConfiguration one{{{60, {0, 0, 1920, 1080}}}};
    const DisplayConfiguration two{{{60, {0, 0, 1920, 1080}}, {61, {1920, 0, 1280, 1024}}}};
    const DisplayConfiguration smaller{{{60, {0, 0, 1024, 768}}, {61, {1024, 0, 1280, 1024}}}};
    const DisplayConfiguration swapped{{two.displays[1], two.displays[0]}};
    const DisplayConfiguration apart{
        {{60, {0, 0, 1920, 1080}}, {61, {1920, 0, 1280, 1024}}, {62, {1920, 0, 800, 600}}}};
    const DisplayConfiguration mirrored{
        {{60, {0, 0, 1920, 1080}}, {61, {0, 0, 1280, 1024}}, {62, {1920, 0, 800, 600}}}};
    const struct {
        const DisplayConfiguration &before, &after;
        Changes expected;
    } rows[] = {
        {two, two, {}},
        {one, two, {{61, F::kAddFlag | F::kEnabledFlag}}},
        {two, one, {{61, F::kRemoveFlag | F::kDisabledFlag}}},
        {one, {}, {{60, F::kRemoveFlag | F::kDisabledFlag}}},
        {two,
         smaller,
         {{60, F::kSetModeFlag | F::kDesktopShapeChangedFlag},
          {61, F::kMovedFlag | F::kDesktopShapeChangedFlag}}},
        {two, swapped, {{61, F::kSetMainFlag}, {60, F::kSetMainFlag}}},
        // 61 moves onto 60 and so shows its picture; 62, left alone, is no longer mirrored.
        {apart,
         mirrored,
         {{61, F::kMovedFlag | F::kDesktopShapeChangedFlag | F::kMirrorFlag}, {62, F::kUnMirrorFlag}}},
    };
    for (const auto& row : rows)
        EXPECT_EQ(reconfigurationFlags(row.before, row.after), row.expected) << &row - rows;

    // Mirror sets are displays starting at the same point.
    EXPECT_EQ(mirrored.mirrorsDisplay(61), 60u);
    for (DisplayID id : {60, 62, 99})
        EXPECT_EQ(mirrored.mirrorsDisplay(id), 0u) << id;
    EXPECT_TRUE(mirrored.inMirrorSet(60));
    EXPECT_FALSE(mirrored.inMirrorSet(62));
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
