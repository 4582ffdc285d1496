#include "platform/Power.h"
#include "shell/ShellFixture.h"

using SystemEventsTest = ShellTest;

TEST_F(SystemEventsTest, ScreenSaverStartAndStopHideTheDevicesCursor) {
    makeDelegate();
    mouse = QPointF(5000, 5000); // wherever the pointer is
    events.post(kScreenSaverDidStartNotification);
    events.post(kScreenSaverDidStopNotification);
    EXPECT_EQ(session->log,
              (QStringList{QStringLiteral("event:CursorHidden"), QStringLiteral("event:CursorHidden")}));
    EXPECT_EQ(session->eventTypes, (QList<int32_t>{104, 104}));
    EXPECT_EQ(session->channels, (QList<int32_t>{4, 4}));
    EXPECT_EQ(session->eventKeys, (QStringList{QStringLiteral("eventName"), QStringLiteral("eventName")}));
}

TEST_F(SystemEventsTest, LockAndUnlockReachTheDeviceOnlyWhileThePointerIsOnTheStreamedScreen) {
    makeDelegate();
    events.post(kScreenIsLockedNotification);
    events.post(kScreenIsUnlockedNotification);
    EXPECT_EQ(session->log,
              (QStringList{QStringLiteral("event:ScreenLocked"), QStringLiteral("event:ScreenUnlocked")}));

    session->log.clear();
    mouse = QPointF(2500, 300); // on another display
    events.post(kScreenIsLockedNotification);
    events.post(kScreenIsUnlockedNotification);
    EXPECT_TRUE(session->log.isEmpty());
}

TEST_F(SystemEventsTest, DisplaySleepThenWakeRequeuesBothAttemptsBeforeScreenOn) {
    makeDelegate();
    power.deliver(Power::kMessageCanDevicePowerOff);
    power.deliver(Power::kMessageDeviceWillPowerOff);
    power.deliver(Power::kMessageDeviceHasPoweredOn);
    power.deliver(0xE0000280); // other display messages mean nothing here
    const QStringList expected = {
        QStringLiteral("setBScreenOff:1"),           QStringLiteral("message:screenOff"),
        QStringLiteral("setBScreenOff:1"),           QStringLiteral("message:screenOff"),
        QStringLiteral("setBScreenOff:0"),           QStringLiteral("enqueueConnectToLocalIPv4Port"),
        QStringLiteral("enqueueConnectToUSBDevice"), QStringLiteral("message:screenOn"),
    };
    EXPECT_EQ(session->log, expected);
    EXPECT_EQ(session->channels, (QList<int32_t>{4, 4, 4}));
}

TEST_F(SystemEventsTest, NoticesAfterTheShellIsGoneReachNothing) {
    makeDelegate();
    delegate.reset();
    // The observers and the display-power watcher left with the shell.
    events.post(kScreenSaverDidStartNotification);
    events.setDarkMode(true);
    EXPECT_EQ(power.handler, nullptr);
    EXPECT_EQ(events.center.observerCount(), 0u);
}

TEST_F(SystemEventsTest, AppearanceChangeSwapsTheStatusIconsAtOnce) {
    makeDelegate();
    EXPECT_EQ(delegate->statusItem().images().image, QStringLiteral("zubpad_off"));
    session->channel = 0;
    events.setDarkMode(true);
    EXPECT_EQ(delegate->statusItem().images().image, QStringLiteral("zubpad_off_dark"));
    EXPECT_EQ(delegate->statusItem().images().alternateImage, QStringLiteral("zubpad_dark"));

    session->channel = 1;
    events.setDarkMode(false);
    EXPECT_EQ(delegate->statusItem().images().image, QStringLiteral("zubpad"));
    EXPECT_TRUE(delegate->statusItem().images().alternateImage.isEmpty());
}

TEST_F(SystemEventsTest, InProcessNoticesReachTheirHandlers) {
    defaults.setBool(true, QStringLiteral("enableTouchBar"));
    makeDelegate();
    log.clear();
    NotificationCenter& center = NotificationCenter::defaultCenter();
    center.post(ZDVirtualScreenController::kModeWasChangedNotification, &display,
                {{QStringLiteral("mode"), 2}});
    center.post(ZDVirtualScreenController::kUpdateMenuNotification, &display);
    center.post(kZDAutoHideTouchBarNotification, nullptr, {{QStringLiteral("hide"), 1}});
    center.post(kZDAutoHideTouchBarNotification, nullptr, {{QStringLiteral("hide"), 0}});
    const QStringList expected = {QStringLiteral("handleModeChanged:2"), QStringLiteral("handleUpdateMenu"),
                                  QStringLiteral("hideTouchBar"), QStringLiteral("showTouchBar")};
    EXPECT_EQ(log, expected);

    // Without the Touch Bar option the strip is left alone, and a gone shell hears nothing.
    defaults.setBool(false, QStringLiteral("enableTouchBar"));
    makeDelegate();
    log.clear();
    center.post(kZDAutoHideTouchBarNotification, nullptr, {{QStringLiteral("hide"), 1}});
    EXPECT_TRUE(log.isEmpty());
    delegate.reset();
    center.post(ZDVirtualScreenController::kModeWasChangedNotification, &display,
                {{QStringLiteral("mode"), 2}});
    EXPECT_TRUE(log.isEmpty());
}

TEST_F(SystemEventsTest, TheLinkStateSelectsTheStatusIcons) {
    makeDelegate();
    delegate->updateUI(1, 0);
    EXPECT_EQ(delegate->statusItem().images().image, QStringLiteral("zubpad"));
    delegate->channelChanged(1);
    EXPECT_TRUE(log.contains(QStringLiteral("channelChanged:1")));

    defaults.setBool(true, QStringLiteral("enableTouchBar"));
    makeDelegate();
    log.clear();
    delegate->updateUI(0, 0);
    EXPECT_EQ(delegate->statusItem().images().image, QStringLiteral("zubpad_off"));
    EXPECT_EQ(log, QStringList{QStringLiteral("hideTouchBar")});
}

TEST_F(SystemEventsTest, TheSessionsDelegateCallsReachTheirParts) {
    defaults.setBool(true, QStringLiteral("enableTouchBar"));
    makeDelegate();
    log.clear();
    ZDAppDelegate& asDelegate = *delegate;
    asDelegate.resizeEventFromDevice(QSizeF(1024, 768));
    EXPECT_EQ(asDelegate.adjustInitialMode({{QStringLiteral("mode"), 3}}), 3);
    asDelegate.handleTapEvent(QPointF(0.5, 0.5), false);
    asDelegate.handlePencilEvent({});
    asDelegate.handleVirtualKeyboardSourceEvent({});
    EXPECT_EQ(log, (QStringList{QStringLiteral("resizeEventFromDevice:1024x768"),
                                QStringLiteral("handleTapEvent:0"), QStringLiteral("handlePencilEvent"),
                                QStringLiteral("handleVirtualKeyboardSourceEvent")}));
    EXPECT_EQ(asDelegate.getRelativePoint(QPointF(960, 540)), QPointF(0.5, 0.5));
    EXPECT_TRUE(asDelegate.isTouchBarEnabled());
    EXPECT_FALSE(asDelegate.isInMirrorModeForBuiltinDisplay());

    // Before the input and catalogue parts exist: every point is off the streamed screen, mode 0.
    makeDelegate(true, false);
    ZDAppDelegate& bare = *delegate;
    EXPECT_EQ(bare.getRelativePoint(QPointF(960, 540)).x(), -1.0);
    EXPECT_FALSE(bare.isInZubScreen(QPointF(960, 540)));
    EXPECT_EQ(bare.adjustInitialMode({{QStringLiteral("mode"), 3}}), 0);
}
