#include "DisplayFixture.h"

namespace {

using Flag = DisplayServices::ReconfigurationFlag;
using ControllerTest = DisplayTest;

TEST(ZDVirtualScreenController, DirectoryNamesAndThe256RuleAndNoDisplayAtAll) {
    FakeDisplayServices displays;
    displays.addDisplay({.id = 7});
    displays.addDisplay({.id = 3, .name = QStringLiteral("DELL U2720Q")});
    displays.addDisplay({.id = 4, .model = 256, .serial = 0}); // no real monitor: skipped, but numbered
    displays.addDisplay({.id = 9, .model = 256, .serial = 17});
    ZDVirtualScreenController controller(displays);
    const std::vector<DisplayDirectoryEntry> expected{{7, QStringLiteral("Display 1")},
                                                      {3, QStringLiteral("DELL U2720Q")},
                                                      {9, QStringLiteral("Display 3")}};
    EXPECT_EQ(controller.onlineDisplays(), expected);
    EXPECT_TRUE(controller.displayName(7).isNull());

    // No display means zero IDs until one appears, and the only display is listed whatever it reports.
    FakeDisplayServices alone;
    ZDVirtualScreenController single(alone);
    EXPECT_EQ(single.builtinDisplayID(), 0u);
    EXPECT_EQ(single.cloneDisplayID(), 0u);
    EXPECT_FALSE(single.builtinScreen());
    EXPECT_FALSE(single.cloneScreen());
    alone.addDisplay({.id = 4, .model = 256, .serial = 0});
    EXPECT_EQ(single.onlineDisplays(),
              (std::vector<DisplayDirectoryEntry>{{4, QStringLiteral("Display 1")}}));
    EXPECT_EQ(single.builtinDisplayID(), 4u);
    EXPECT_EQ(single.cloneDisplayID(), 4u);
}

TEST_F(ControllerTest, PlugsAndUnplugsRebuildTheDirectoryOnEachAnnouncedChange) {
    EXPECT_EQ(controller.builtinDisplayID(), 1u);
    EXPECT_EQ(controller.cloneDisplayID(), 1u);
    displays.addDisplay({.id = 11, .bounds = {0, 1024, 1024, 768}, .name = QStringLiteral("Projector")});
    EXPECT_EQ(controller.onlineDisplays().size(), 2u); // cached until the system says something changed
    displays.fire(11, Flag::kAddFlag | Flag::kEnabledFlag);
    EXPECT_EQ(menuUpdates, 1);
    ASSERT_EQ(controller.onlineDisplays().size(), 3u);
    EXPECT_EQ(controller.onlineDisplays()[2], (DisplayDirectoryEntry{11, QStringLiteral("Projector")}));

    displays.removeDisplay(1);
    displays.fire(1, Flag::kAddFlag | Flag::kRemoveFlag); // both flags: told twice
    EXPECT_EQ(menuUpdates, 3);
    EXPECT_EQ(controller.onlineDisplays().size(), 2u);
    // The primary display is chosen once; the mirror target changes only when the shell says so.
    EXPECT_EQ(controller.builtinDisplayID(), 1u);
    EXPECT_EQ(controller.cloneDisplayID(), 1u);
    EXPECT_TRUE(modes.empty());
}

TEST_F(ControllerTest, OnlyASizeChangeOfTheMirrorTargetRestartsTheStream) {
    controller.setModeForCloneDisplay(); // records the current bounds, as every restart does
    EXPECT_EQ(modes, std::vector<QVariant>{QVariant(-1)});
    const auto change = [this](DisplayID id, const QRectF& bounds) {
        displays.setBounds(id, bounds);
        displays.fire(id, Flag::kSetModeFlag | Flag::kDesktopShapeChangedFlag);
    };
    change(1, {100, 50, 1366, 1024}); // moved, same size
    change(2, {1366, 0, 2560, 1440}); // another display
    EXPECT_EQ(modes.size(), 1u);
    change(1, {0, 0, 1680, 1050});
    EXPECT_EQ(modes.size(), 2u);
    EXPECT_EQ(controller.prevCloneDisplayRect(), QRectF(0, 0, 1680, 1050));
    displays.fire(1, Flag::kDesktopShapeChangedFlag); // the same arrangement told twice
    EXPECT_EQ(modes.size(), 2u);
    controller.setBCloneDisplay(false); // extended mode follows no mirror target
    change(1, {0, 0, 1024, 768});
    EXPECT_EQ(modes.size(), 2u);
    // setMode ignores its argument: the mode announced stays the controller's.
    controller.setMode(812);
    EXPECT_EQ(modes.back(), QVariant(-1));
}

TEST_F(ControllerTest, AnUnmirrorEventTakesThePrimaryDisplayOutOfItsMirrorSet) {
    displays.fire(2, Flag::kUnMirrorFlag);
    displays.failConfigurations = true; // one that cannot begin is skipped without a word
    displays.fire(1, Flag::kUnMirrorFlag);
    EXPECT_EQ(displays.mirrorCalls, (std::vector<FakeDisplayServices::MirrorCall>{{1, 0}, {1, 0}}));
    EXPECT_EQ(menuUpdates + int(modes.size()), 0);
}

TEST_F(ControllerTest, ScreensAreCachedUntilTheNextConfigurationEvent) {
    EXPECT_EQ(controller.builtinScreen()->screenNumber, 1u);
    controller.setCloneDisplayID(2);
    EXPECT_EQ(*controller.cloneScreen(), (DisplayScreen{2, QRectF(1366, -56, 1920, 1080)}));
    displays.setBounds(2, {1366, 0, 1280, 900});
    EXPECT_EQ(controller.cloneScreen()->frame.width(), 1920);
    displays.fire(2, Flag::kSetModeFlag);
    EXPECT_EQ(controller.cloneScreen()->frame, QRectF(1366, 124, 1280, 900));
    displays.setBounds(2, {1366, 0, 800, 600});
    controller.setCloneScreen(std::nullopt);
    EXPECT_EQ(controller.cloneScreen()->frame.width(), 800);
    controller.setCloneDisplayID(1234); // not online: no screen
    controller.setCloneScreen(std::nullopt);
    EXPECT_FALSE(controller.cloneScreen());
}

TEST_F(ControllerTest, TheCallbackGoesWithTheControllerAndTheFlagNotifiesEverySet) {
    EXPECT_TRUE(controller.registerDisplayCallback()); // a second registration installs nothing more
    EXPECT_EQ(displays.callbackCount(), 1u);
    {
        ZDVirtualScreenController other(displays);
        other.registerDisplayCallback();
        EXPECT_EQ(displays.callbackCount(), 2u);
    }
    EXPECT_EQ(displays.callbackCount(), 1u);
    controller.unregisterDisplayCallback();
    displays.fire(2, Flag::kAddFlag);
    EXPECT_EQ(menuUpdates, 0);

    std::vector<bool> seen;
    QObject::connect(&controller, &ZDVirtualScreenController::isFramebufferActiveChanged,
                     [&seen](bool active) { seen.push_back(active); });
    controller.setIsFramebufferActive(false);
    controller.setIsFramebufferActive(false);
    EXPECT_EQ(seen, (std::vector<bool>{false, false}));
}

} // namespace
