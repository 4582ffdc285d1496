#include "display/ZDVirtualScreenController.h"
#include "base/NotificationCenter.h"
#include "fakes/FakeDisplayServices.h"

#include <gtest/gtest.h>

namespace {

using Flag = DisplayServices::ReconfigurationFlag;

// Counts the two notifications the controller posts and keeps the last mode announced.
class Posts {
public:
    Posts() {
        auto& center = NotificationCenter::defaultCenter();
        ids_[0] = center.addObserver(ZDVirtualScreenController::kUpdateMenuNotification, nullptr,
                                     [this](const Notification&) { ++updateMenu; });
        ids_[1] = center.addObserver(ZDVirtualScreenController::kModeWasChangedNotification, nullptr,
                                     [this](const Notification& n) {
                                         ++modeChanged;
                                         lastUserInfo = n.userInfo;
                                     });
    }
    ~Posts() {
        for (auto id : ids_)
            NotificationCenter::defaultCenter().removeObserver(id);
    }
    int updateMenu = 0;
    int modeChanged = 0;
    QVariantMap lastUserInfo;

private:
    NotificationCenter::ObserverId ids_[2];
};

class ControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        displays.addDisplay({.id = 69, .bounds = {0, 0, 1440, 900}, .name = QStringLiteral("Color LCD")});
        displays.addDisplay({.id = 5, .bounds = {1440, 0, 1920, 1080}});
        controller.registerDisplayCallback();
    }
    FakeDisplayServices displays;
    ZDVirtualScreenController controller{displays};
};

TEST_F(ControllerTest, StartsInMirrorModeWithNoModeAndNoDeviceDisplay) {
    EXPECT_TRUE(controller.bCloneDisplay());
    EXPECT_EQ(controller.currentMode(), -1);
    EXPECT_EQ(controller.zubDisplayID(), 0u);
    EXPECT_FALSE(controller.zubScreen());
    EXPECT_FALSE(controller.zubScreenHasMenuBar());
    EXPECT_FALSE(controller.isFramebufferActive());
    EXPECT_FALSE(controller.bMirrorOptimizeForBuiltinDisplay());
}

TEST(ZDVirtualScreenController, UnnamedDisplaysAreNumberedInListOrder) {
    FakeDisplayServices displays;
    displays.addDisplay({.id = 7});
    displays.addDisplay({.id = 3, .name = QStringLiteral("DELL U2720Q")});
    displays.addDisplay({.id = 9});
    ZDVirtualScreenController controller(displays);
    const std::vector<DisplayDirectoryEntry> expected{{7, QStringLiteral("Display 1")},
                                                      {3, QStringLiteral("DELL U2720Q")},
                                                      {9, QStringLiteral("Display 2")}};
    EXPECT_EQ(controller.onlineDisplays(), expected);
    EXPECT_TRUE(controller.displayName(7).isNull());
    EXPECT_EQ(controller.displayName(3), QStringLiteral("DELL U2720Q"));
}

TEST(ZDVirtualScreenController, Model256WithoutSerialIsListedOnlyWhenAlone) {
    FakeDisplayServices displays;
    displays.addDisplay({.id = 4, .model = 256, .serial = 0});
    ZDVirtualScreenController alone(displays);
    ASSERT_EQ(alone.onlineDisplays().size(), 1u);
    EXPECT_EQ(alone.onlineDisplays()[0].displayID, 4u);

    displays.addDisplay({.id = 8, .model = 256, .serial = 17}); // a serial number makes it a real monitor
    ZDVirtualScreenController two(displays);
    ASSERT_EQ(two.onlineDisplays().size(), 1u);
    EXPECT_EQ(two.onlineDisplays()[0].displayID, 8u);
    // The skipped display used up its number.
    EXPECT_EQ(two.onlineDisplays()[0].name, QStringLiteral("Display 2"));
}

TEST(ZDVirtualScreenController, NoDisplayMeansZeroIDsAndNoScreens) {
    FakeDisplayServices displays;
    ZDVirtualScreenController controller(displays);
    EXPECT_TRUE(controller.onlineDisplays().empty());
    EXPECT_EQ(controller.builtinDisplayID(), 0u);
    EXPECT_EQ(controller.cloneDisplayID(), 0u);
    EXPECT_FALSE(controller.builtinScreen());
    EXPECT_FALSE(controller.cloneScreen());
    // Once a display appears the IDs are chosen from it.
    displays.addDisplay({.id = 2, .bounds = {0, 0, 800, 600}});
    EXPECT_EQ(controller.builtinDisplayID(), 2u);
    EXPECT_EQ(controller.cloneDisplayID(), 2u);
}

TEST_F(ControllerTest, BuiltinIsChosenOnceAndCloneOnlyChangesWhenSet) {
    EXPECT_EQ(controller.builtinDisplayID(), 69u);
    EXPECT_EQ(controller.cloneDisplayID(), 69u);
    displays.removeDisplay(69);
    displays.fire(69, Flag::kRemoveFlag);
    EXPECT_EQ(controller.onlineDisplays().size(), 1u);
    EXPECT_EQ(controller.builtinDisplayID(), 69u);
    EXPECT_EQ(controller.cloneDisplayID(), 69u);
    controller.setCloneDisplayID(5);
    EXPECT_EQ(controller.cloneDisplayID(), 5u);
}

TEST_F(ControllerTest, AddingOrRemovingADisplayRebuildsTheDirectoryAndUpdatesTheMenu) {
    Posts posts;
    ASSERT_EQ(controller.onlineDisplays().size(), 2u);
    displays.addDisplay({.id = 11, .bounds = {0, 900, 1024, 768}, .name = QStringLiteral("Projector")});
    EXPECT_EQ(controller.onlineDisplays().size(), 2u); // cached until the system says something changed
    displays.fire(11, Flag::kAddFlag | Flag::kEnabledFlag);
    EXPECT_EQ(posts.updateMenu, 1);
    EXPECT_EQ(posts.modeChanged, 0);
    ASSERT_EQ(controller.onlineDisplays().size(), 3u);
    EXPECT_EQ(controller.onlineDisplays()[2], (DisplayDirectoryEntry{11, QStringLiteral("Projector")}));

    displays.fire(11, Flag::kAddFlag | Flag::kRemoveFlag);
    EXPECT_EQ(posts.updateMenu, 3);
}

TEST_F(ControllerTest, OnlyASizeChangeOfTheMirrorTargetRestartsTheStream) {
    Posts posts;
    controller.setModeForCloneDisplay(); // records the current bounds, as every restart does
    ASSERT_EQ(posts.modeChanged, 1);
    EXPECT_EQ(posts.lastUserInfo.value(QStringLiteral("mode")), QVariant(-1));
    EXPECT_EQ(controller.prevCloneDisplayRect(), QRectF(0, 0, 1440, 900));

    displays.setBounds(69, {100, 50, 1440, 900}); // moved, same size
    displays.fire(69, Flag::kMovedFlag | Flag::kDesktopShapeChangedFlag);
    EXPECT_EQ(posts.modeChanged, 1);

    displays.setBounds(5, {1440, 0, 2560, 1440}); // the other display changed size
    displays.fire(5, Flag::kSetModeFlag | Flag::kDesktopShapeChangedFlag);
    EXPECT_EQ(posts.modeChanged, 1);

    displays.setBounds(69, {0, 0, 1680, 1050});
    displays.fire(69, Flag::kSetModeFlag | Flag::kDesktopShapeChangedFlag);
    EXPECT_EQ(posts.modeChanged, 2);
    EXPECT_EQ(controller.prevCloneDisplayRect(), QRectF(0, 0, 1680, 1050));
    displays.fire(69, Flag::kDesktopShapeChangedFlag); // the same configuration told twice
    EXPECT_EQ(posts.modeChanged, 2);

    controller.setBCloneDisplay(false); // extended mode follows no mirror target
    displays.setBounds(69, {0, 0, 1024, 768});
    displays.fire(69, Flag::kDesktopShapeChangedFlag);
    EXPECT_EQ(posts.modeChanged, 2);
}

TEST_F(ControllerTest, SetModeIgnoresItsArgumentAndKeepsTheCurrentMode) {
    Posts posts;
    EXPECT_TRUE(controller.setMode(812));
    EXPECT_EQ(posts.modeChanged, 1);
    EXPECT_EQ(posts.lastUserInfo.value(QStringLiteral("mode")).toInt(), -1);
    EXPECT_EQ(controller.currentMode(), -1);
}

TEST_F(ControllerTest, AnUnmirrorEventTakesThePrimaryDisplayOutOfItsMirrorSet) {
    displays.fire(5, Flag::kUnMirrorFlag);
    ASSERT_EQ(displays.mirrorCalls.size(), 1u);
    EXPECT_EQ(displays.mirrorCalls[0], (FakeDisplayServices::MirrorCall{69, 0}));

    // A configuration that cannot begin is skipped without any other effect.
    Posts posts;
    displays.failConfigurations = true;
    displays.fire(69, Flag::kUnMirrorFlag);
    EXPECT_EQ(displays.mirrorCalls.size(), 2u);
    EXPECT_EQ(posts.updateMenu + posts.modeChanged, 0);
}

TEST_F(ControllerTest, ScreensAreCachedUntilTheNextConfigurationEvent) {
    ASSERT_TRUE(controller.builtinScreen());
    EXPECT_EQ(controller.builtinScreen()->screenNumber, 69u);
    controller.setCloneDisplayID(5);
    ASSERT_TRUE(controller.cloneScreen());
    EXPECT_EQ(*controller.cloneScreen(), (DisplayScreen{5, QRectF(1440, -180, 1920, 1080)}));

    displays.setBounds(5, {1440, 0, 1280, 1024});
    EXPECT_EQ(controller.cloneScreen()->frame.width(), 1920); // still the cached screen
    displays.fire(5, Flag::kSetModeFlag);
    EXPECT_EQ(controller.cloneScreen()->frame, QRectF(1440, -124, 1280, 1024));

    displays.setBounds(5, {1440, 0, 800, 600});
    controller.setCloneScreen(std::nullopt);
    EXPECT_EQ(controller.cloneScreen()->frame.width(), 800);

    controller.setCloneDisplayID(1234); // not online: no screen
    controller.setCloneScreen(std::nullopt);
    EXPECT_FALSE(controller.cloneScreen());
}

TEST_F(ControllerTest, EventsForTheDeviceDisplayAreIgnored) {
    Posts posts;
    displays.fire(0, Flag::kAddFlag | Flag::kUnMirrorFlag | Flag::kDesktopShapeChangedFlag);
    EXPECT_EQ(posts.updateMenu + posts.modeChanged, 0);
    EXPECT_TRUE(displays.mirrorCalls.empty());
}

TEST_F(ControllerTest, CallbackIsRemovedOnRequestAndOnDestruction) {
    EXPECT_EQ(displays.callbackCount(), 1u);
    EXPECT_TRUE(controller.registerDisplayCallback()); // a second registration installs nothing more
    EXPECT_EQ(displays.callbackCount(), 1u);
    controller.unregisterDisplayCallback();
    EXPECT_EQ(displays.callbackCount(), 0u);
    Posts posts;
    displays.fire(5, Flag::kAddFlag);
    EXPECT_EQ(posts.updateMenu, 0);
    {
        ZDVirtualScreenController other(displays);
        other.registerDisplayCallback();
        EXPECT_EQ(displays.callbackCount(), 1u);
    }
    EXPECT_EQ(displays.callbackCount(), 0u);
}

TEST_F(ControllerTest, FramebufferFlagNotifiesOnEverySet) {
    std::vector<bool> seen;
    QObject::connect(&controller, &ZDVirtualScreenController::isFramebufferActiveChanged,
                     [&seen](bool active) { seen.push_back(active); });
    controller.setIsFramebufferActive(false);
    controller.setIsFramebufferActive(true);
    EXPECT_EQ(seen, (std::vector<bool>{false, true}));
    EXPECT_TRUE(controller.isFramebufferActive());
}

TEST_F(ControllerTest, ModeTableComesFromTheBundleUnlessReplaced) {
    EXPECT_EQ(controller.modeTable().value(QStringLiteral("iPadProLandscape1")).toInt(), 811);
    controller.setModeTable({});
    EXPECT_TRUE(controller.modeTable().isEmpty());
}

} // namespace
