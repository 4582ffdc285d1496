#include "platform/Power.h"
#include "session/ConnectionManager.h"
#include "shell/ShellFixture.h"

using SystemEventsTest = ShellTest;

TEST_F(SystemEventsTest, ScreenSaverAndLockReachTheDeviceAsEventsLockOnlyFromTheStreamedScreen) {
    launch();
    auto peer = introducedDevice();
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

// A tap counts as one on the Touch Bar strip only while the option is on: then the click there puts the
// pointer back where it was. The option's item shows or hides the strip and is kept for the next start.
TEST_F(SystemEventsTest, TheTouchBarOptionGatesTapsOnTheStripAndIsKept) {
    launch();
    struct Row {
        bool enabled, onStrip, warpedBack;
    };
    for (const Row& row : {Row{false, true, false}, Row{true, false, false}, Row{true, true, true}}) {
        delegate->enableTouchBar(row.enabled);
        recorded.tapInTouchBar = row.onStrip;
        poster.records.clear();
        poster.pointer = QPointF(300, 400);
        delegate->handleTapEvent(QPointF(0.5, 0.5), false);
        ASSERT_FALSE(poster.records.empty());
        EXPECT_EQ(poster.records.back().kind == RecordingEventPoster::Record::Warp, row.warpedBack)
            << row.enabled << row.onStrip;
        clock.advance(1.0); // no double tap with the next row's
    }
    log.clear();
    delegate->enableTouchBar(false);
    delegate->enableTouchBar(true);
    EXPECT_EQ(log, (QStringList{"hideTouchBar", "showTouchBar"}));
    launch();
    EXPECT_TRUE(delegate->isTouchBarEnabled());
    delegate->enableTouchBar(false);
    launch();
    EXPECT_FALSE(delegate->isTouchBarEnabled());
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
