#include "platform/Power.h"
#include "session/ConnectionManager.h"
#include "shell/ShellFixture.h"

using SystemEventsTest = ShellTest;

TEST_F(SystemEventsTest, ScreenSaverAndLockReachTheDeviceAsEventsLockOnlyFromTheStreamedScreen) {
    launch();
    auto peer = introducedDevice();
    // The answer to the introduction comes last; only what follows it is counted.
    ASSERT_TRUE(waitUntil([&] { return !peer->said().filter("Version:").isEmpty(); }));
    const qsizetype answered = peer->said().size();
    events.post(kScreenSaverDidStartNotification);
    events.post(kScreenSaverDidStopNotification);
    events.post(kScreenIsLockedNotification);
    events.post(kScreenIsUnlockedNotification);
    // With the pointer on another display the lock is not the device's business; the screen saver is.
    mouse = QPointF(2500, 300);
    events.post(kScreenIsLockedNotification);
    events.post(kScreenIsUnlockedNotification);
    events.post(kScreenSaverDidStartNotification);
    const QStringList expected{"event:CursorHidden", "event:CursorHidden", "event:ScreenLocked",
                               "event:ScreenUnlocked", "event:CursorHidden"};
    ASSERT_TRUE(waitUntil([&] { return peer->said().size() >= answered + expected.size(); }));
    spinEventLoop(20);
    EXPECT_EQ(peer->said().mid(answered), expected);
}

// Display sleep holds every attempt to link and tells a linked device; wake queues both attempts at
// once and tells the device again.
TEST_F(SystemEventsTest, DisplaySleepPausesTheLinkAndWakeResumesItAtOnce) {
    launch();
    link->attach(7);
    settle();
    power.deliver(Power::kMessageCanDevicePowerOff);
    link->fail(openAttempt(kUSB));
    refuseLoopback();
    clock.advance(5);
    settle();
    EXPECT_TRUE(link->open(kUSB).empty());
    EXPECT_TRUE(link->open(kLoopback).empty());
    power.deliver(Power::kMessageDeviceHasPoweredOn);
    settle();
    auto peer = link->succeed(openAttempt(kUSB));
    openAttempt(kLoopback);
    refuseLoopback();
    introduce(*peer);

    power.deliver(Power::kMessageCanDevicePowerOff);
    power.deliver(Power::kMessageDeviceWillPowerOff);
    EXPECT_TRUE(controller->connectionManager().bScreenOff());
    power.deliver(Power::kMessageDeviceHasPoweredOn);
    power.deliver(0xE0000280); // other display messages mean nothing here
    EXPECT_FALSE(controller->connectionManager().bScreenOff());
    ASSERT_TRUE(peer->waitFor("screenOn"));
    spinEventLoop(20);
    EXPECT_EQ(peer->texts().filter("screen"), (QStringList{"screenOff", "screenOff", "screenOn"}));
}

// The Touch Bar strip follows its notice only with its option; a gone shell hears nothing, and leaves
// no observer or display-power watcher behind.
TEST_F(SystemEventsTest, InProcessNoticesReachTheShellOnlyWhileItLives) {
    NotificationCenter& center = NotificationCenter::defaultCenter();
    for (bool enabled : {true, false}) {
        defaults.setBool(enabled, "enableTouchBar");
        launch();
        log.clear();
        center.post(kZDAutoHideTouchBarNotification, nullptr, {{"hide", 1}});
        center.post(kZDAutoHideTouchBarNotification, nullptr, {{"hide", 0}});
        EXPECT_EQ(log, (enabled ? QStringList{"hideTouchBar", "showTouchBar"} : QStringList{}));
    }
    defaults.setBool(true, "enableTouchBar");
    delegate.reset();
    center.post(ZDVirtualScreenController::kModeWasChangedNotification, &display, {{"mode", 2}});
    center.post(ZDVirtualScreenController::kUpdateMenuNotification, &display);
    center.post(kZDAutoHideTouchBarNotification, nullptr, {{"hide", 1}});
    events.post(kScreenSaverDidStartNotification);
    events.setDarkMode(true);
    EXPECT_TRUE(log.isEmpty());
    EXPECT_EQ(power.handler, nullptr);
    EXPECT_EQ(events.center.observerCount(), 0u);
}

// A tap counts as one on the Touch Bar strip only while the option is on; the option's item shows or
// hides the strip and is kept for the next start.
TEST_F(SystemEventsTest, TheTouchBarOptionGatesTapsOnTheStripAndIsKept) {
    launch();
    recorded.tapInTouchBar = true;
    EXPECT_FALSE(delegate->isTapInTouchBar({10, 1000}));
    delegate->enableTouchBar(true);
    EXPECT_TRUE(delegate->isTapInTouchBar({10, 1000}));
    delegate->enableTouchBar(false);
    EXPECT_EQ(log.filter("TouchBar"), (QStringList{"showTouchBar", "hideTouchBar"}));
    for (bool enabled : {true, false}) {
        delegate->enableTouchBar(enabled);
        launch();
        EXPECT_EQ(delegate->isTouchBarEnabled(), enabled);
    }
}

TEST_F(SystemEventsTest, TheStatusIconsFollowTheLinkAndTheAppearance) {
    defaults.setBool(true, "enableTouchBar");
    launch();
    const StatusItem& item = delegate->statusItem();
    EXPECT_EQ(item.images().image, "zubpad_off");
    // An appearance change re-reads the link state at once.
    events.setDarkMode(true);
    EXPECT_EQ(item.images().image, "zubpad_off_dark");
    EXPECT_EQ(item.images().alternateImage, "zubpad_dark");
    events.setDarkMode(false);

    log.clear();
    auto peer = introducedDevice();
    EXPECT_EQ(item.images().image, "zubpad");
    EXPECT_TRUE(item.images().alternateImage.isEmpty());
    EXPECT_FALSE(log.contains("hideTouchBar"));
    events.setDarkMode(true);
    EXPECT_EQ(item.images().image, "zubpad_dark");
    EXPECT_EQ(item.images().alternateImage, "zubpad_dark");
    // The link gone: the dimmed icon, and the Touch Bar strip hidden.
    events.setDarkMode(false);
    peer->close();
    ASSERT_TRUE(waitUntil([&] { return controller->currentChannel() == 0; }));
    EXPECT_EQ(item.images().image, "zubpad_off");
    EXPECT_TRUE(log.contains("hideTouchBar"));
}
