#include "shell/ShellFixture.h"

// The shell's mode reactions on the real session: what the device is told, in order, and what the
// display side's parts are asked, in `log`.
using DisplayModeTest = ShellTest;

TEST_F(DisplayModeTest, AnIntroducedDeviceGetsItsModeThenTheSizeOfTheMirroredDisplayBeforeTheAnswer) {
    launch();
    log.clear();
    auto peer = introducedDevice();
    ASSERT_TRUE(waitUntil([&] { return peer->texts().size() == 5; }));
    // The mode change restarts the stream through the controller's notice, all before the
    // introduction is answered.
    EXPECT_EQ(peer->texts().mid(0, 4),
              (QStringList{"waitASec", "sizeIndex:0", "size:2732x2048", "videoSource:1"}));
    EXPECT_TRUE(peer->texts()[4].startsWith("Version:"));
    EXPECT_EQ(log, (QStringList{"adjustInitialMode(iPad7,3)", "updateMenu(0)", "hiResAlert(1)"}));
    EXPECT_EQ(display.prevCloneDisplayRect(), QRectF(0, 0, 1366, 1024));

    // A running stream is stopped, and the device told, before it hears to wait.
    peer->sendEvent({{"eventName", "ReadyToReceive"}});
    ASSERT_TRUE(waitUntil([&] { return stream().captureRunning(); }));
    delegate->channelChanged(1);
    ASSERT_TRUE(waitUntil([&] { return peer->texts().count("videoSource:1") == 2; }));
    const QStringList said = peer->texts();
    EXPECT_EQ(said.mid(said.indexOf("stopStream")),
              (QStringList{"stopStream", "waitASec", "sizeIndex:0", "size:2732x2048", "videoSource:1"}));
    EXPECT_FALSE(stream().captureRunning()) << "a 1.0.10 device asks for pictures itself";
}

TEST_F(DisplayModeTest, ADroppedDeviceClearsTheFramebuffer) {
    launch();
    auto peer = introducedDevice();
    ASSERT_TRUE(waitUntil([&] { return !peer->texts().isEmpty(); }));
    display.setIsFramebufferActive(true);
    peer->close();
    ASSERT_TRUE(waitUntil([&] { return controller->currentChannel() == 0; }));
    EXPECT_FALSE(display.isFramebufferActive());
}

// Without a device a mode change only stops the stream; with one in extended mode the device's own
// display is streamed, the size index is the one the mode is listed under for this device, and the
// Touch Bar strip shows.
TEST_F(DisplayModeTest, AModeChangeRestartsTheStreamOnlyForADevice) {
    launch();
    stream().startStream();
    log.clear();
    display.postModeChangeNotificationToRestartStream();
    EXPECT_FALSE(stream().captureRunning());
    EXPECT_EQ(log, (QStringList{"updateMenu(0)", "hiResAlert(1)"}));

    auto peer = introducedDevice();
    // The answer to the introduction comes last; only what follows it is counted.
    ASSERT_TRUE(waitUntil([&] { return !peer->texts().filter("Version:").isEmpty(); }));
    const qsizetype answered = peer->texts().size();
    display.setBCloneDisplay(false);
    touchBar = true;
    log.clear();
    modes.changeDisplayMode(17);
    NotificationCenter::defaultCenter().post(ZDVirtualScreenController::kModeWasChangedNotification, &display,
                                             {{"mode", 17}});
    ASSERT_TRUE(waitUntil([&] { return peer->texts().size() == answered + 5; }));
    EXPECT_EQ(peer->texts().mid(answered),
              (QStringList{"waitASec", "sizeIndex:0", "videoSource:0", "sizeIndex:2", "videoSource:0"}));
    EXPECT_EQ(log, (QStringList{"hiResAlert(1)", "showTouchBar", "hiResAlert(1)", "showTouchBar"}));
}

TEST_F(DisplayModeTest, UnpluggingTheMirroredDisplayRetargetsAndUnpluggingTheLastOneExtends) {
    launch();
    display.setCloneDisplayID(9);
    ASSERT_TRUE(display.cloneScreen());
    log.clear();
    displays.removeDisplay(9);
    displays.fire(9, DisplayServices::kRemoveFlag);
    EXPECT_EQ(display.cloneDisplayID(), 4u);
    EXPECT_EQ(log, (QStringList{"cloneDisplay()", "updateMenu(0)"}));

    log.clear();
    displays.fire(7, DisplayServices::kAddFlag); // another display came: the target stays
    EXPECT_EQ(log, QStringList{"updateMenu(0)"});

    log.clear();
    displays.removeDisplay(4);
    displays.fire(4, DisplayServices::kRemoveFlag);
    EXPECT_EQ(log, (QStringList{"extendDisplaySelected()", "updateMenu(0)"}));
}
