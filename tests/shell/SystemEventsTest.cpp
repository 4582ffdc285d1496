#include "platform/Power.h"
#include "shell/ShellFixture.h"

using SystemEventsTest = ShellTest;

TEST_F(SystemEventsTest, ScreenSaverAndLockReachTheDeviceAsEventsLockOnlyFromTheStreamedScreen) {
    launch();
    events.post(kScreenSaverDidStartNotification);
    events.post(kScreenSaverDidStopNotification);
    events.post(kScreenIsLockedNotification);
    events.post(kScreenIsUnlockedNotification);
    EXPECT_EQ(session->log, (QStringList{"event:CursorHidden/104/4", "event:CursorHidden/104/4",
                                         "event:ScreenLocked/104/4", "event:ScreenUnlocked/104/4"}));

    // With the pointer on another display the lock is not the device's business; the screen saver is.
    session->log.clear();
    mouse = QPointF(2500, 300);
    events.post(kScreenIsLockedNotification);
    events.post(kScreenIsUnlockedNotification);
    events.post(kScreenSaverDidStartNotification);
    EXPECT_EQ(session->log, QStringList{"event:CursorHidden/104/4"});
}

TEST_F(SystemEventsTest, DisplaySleepThenWakeRequeuesBothAttemptsBeforeScreenOn) {
    launch();
    power.deliver(Power::kMessageCanDevicePowerOff);
    power.deliver(Power::kMessageDeviceWillPowerOff);
    power.deliver(Power::kMessageDeviceHasPoweredOn);
    power.deliver(0xE0000280); // other display messages mean nothing here
    EXPECT_EQ(session->log,
              (QStringList{"setBScreenOff:1", "message:screenOff/4", "setBScreenOff:1", "message:screenOff/4",
                           "setBScreenOff:0", "enqueueConnectToLocalIPv4Port", "enqueueConnectToUSBDevice",
                           "message:screenOn/4"}));
}

TEST_F(SystemEventsTest, InProcessNoticesReachTheirHandlersWhileTheShellLives) {
    defaults.setBool(true, "enableTouchBar");
    launch();
    log.clear();
    NotificationCenter& center = NotificationCenter::defaultCenter();
    center.post(ZDVirtualScreenController::kModeWasChangedNotification, &display, {{"mode", 2}});
    center.post(ZDVirtualScreenController::kUpdateMenuNotification, &display);
    center.post(kZDAutoHideTouchBarNotification, nullptr, {{"hide", 1}});
    center.post(kZDAutoHideTouchBarNotification, nullptr, {{"hide", 0}});
    EXPECT_EQ(log, (QStringList{"handleModeChanged:2", "handleUpdateMenu", "hideTouchBar", "showTouchBar"}));

    // Without the Touch Bar option the strip is left alone.
    defaults.setBool(false, "enableTouchBar");
    launch();
    log.clear();
    center.post(kZDAutoHideTouchBarNotification, nullptr, {{"hide", 1}});
    EXPECT_TRUE(log.isEmpty());

    // A gone shell hears nothing, and left no observer or display-power watcher behind.
    delegate.reset();
    center.post(ZDVirtualScreenController::kModeWasChangedNotification, &display, {{"mode", 2}});
    events.post(kScreenSaverDidStartNotification);
    events.setDarkMode(true);
    EXPECT_TRUE(log.isEmpty());
    EXPECT_EQ(power.handler, nullptr);
    EXPECT_EQ(events.center.observerCount(), 0u);
}

TEST_F(SystemEventsTest, TheStatusIconsFollowTheLinkAndTheAppearance) {
    defaults.setBool(true, "enableTouchBar");
    launch();
    const StatusItem& item = delegate->statusItem();
    EXPECT_EQ(item.images().image, "zubpad_off");

    log.clear();
    delegate->updateUI(1, 0);
    EXPECT_EQ(item.images().image, "zubpad");
    EXPECT_TRUE(item.images().alternateImage.isEmpty());
    EXPECT_TRUE(log.isEmpty());
    // The link gone: the dimmed icon, and the Touch Bar strip hidden.
    delegate->updateUI(0, 0);
    EXPECT_EQ(item.images().image, "zubpad_off");
    EXPECT_EQ(log, QStringList{"hideTouchBar"});

    // An appearance change re-reads the link state at once.
    session->channel = 0;
    events.setDarkMode(true);
    EXPECT_EQ(item.images().image, "zubpad_off_dark");
    EXPECT_EQ(item.images().alternateImage, "zubpad_dark");
    session->channel = 1;
    events.setDarkMode(false);
    events.setDarkMode(true);
    EXPECT_EQ(item.images().image, "zubpad_dark");
    EXPECT_EQ(item.images().alternateImage, "zubpad_dark");
}
