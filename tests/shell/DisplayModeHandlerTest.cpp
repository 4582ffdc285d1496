#include "shell/DisplayModeHandler.h"

#include "display/ZDVirtualScreenController.h"
#include "fakes/FakeDisplayServices.h"

#include <QStringList>
#include <gtest/gtest.h>

namespace {

// The display controller on fake displays, the handler observing its notices as the shell does, and
// every call into the other parts written to one log, in order.
class DisplayModeHandlerTest : public ::testing::Test {
protected:
    DisplayModeHandlerTest() {
        displays.addDisplay({.id = 4, .bounds = QRectF(0, 0, 1366, 1024), .name = QStringLiteral("Left")});
        displays.addDisplay(
            {.id = 9, .bounds = QRectF(1366, 0, 1920, 1080), .name = QStringLiteral("Right")});
        controller.setModeTable({{QStringLiteral("iPadProLandscapeRegular2"), 17}});
        controller.registerDisplayCallback();
        NotificationCenter& center = NotificationCenter::defaultCenter();
        observers = {center.addObserver(ZDVirtualScreenController::kModeWasChangedNotification, nullptr,
                                        [this](const Notification& n) { handler.handleModeChanged(n); }),
                     center.addObserver(ZDVirtualScreenController::kUpdateMenuNotification, nullptr,
                                        [this](const Notification& n) { handler.handleUpdateMenu(n); })};
    }
    ~DisplayModeHandlerTest() override {
        for (auto id : observers)
            NotificationCenter::defaultCenter().removeObserver(id);
        controller.unregisterDisplayCallback();
    }

    DisplayModeHandler::Parts parts() {
        return {
            .currentChannel = [this] { return channel; },
            .sendMessage = [this](const QString& m) { log << m; },
            .stopStream = [this] { log << QStringLiteral("stopStream()"); },
            .resetResolution = [this](DisplayID d) { log << QStringLiteral("resetResolution(%1)").arg(d); },
            .peerDeviceInfo =
                [] {
                    return QVariantMap{{QStringLiteral("hardwareString"), QStringLiteral("iPad7,3")}};
                },
            .hideCursor = [this] { log << QStringLiteral("hideCursor()"); },
            .checkProtocolVersion = [this] { return compatible; },
            .adjustInitialMode =
                [this](const QVariantMap& info) {
                    log << QStringLiteral("adjustInitialMode(%1)")
                               .arg(info.value(QStringLiteral("hardwareString")).toString());
                    return 17;
                },
            .showZubPadOrCloneHiResAlert =
                [this](bool show) {
                    log << QStringLiteral("hiResAlert(%1)").arg(show);
                    return false;
                },
            .cloneDisplay = [this] { log << QStringLiteral("cloneDisplay()"); },
            .extendDisplaySelected = [this] { log << QStringLiteral("extendDisplaySelected()"); },
            .updateMenu = [this](bool active) { log << QStringLiteral("updateMenu(%1)").arg(active); },
            .touchBarEnabled = [this] { return touchBar; },
            .showTouchBar = [this] { log << QStringLiteral("showTouchBar()"); },
        };
    }

    // The log as one line, so that a failure shows it readably.
    std::string said() const { return log.join(QStringLiteral(", ")).toStdString(); }

    FakeDisplayServices displays;
    ZDVirtualScreenController controller{displays};
    int32_t channel = 1;
    bool compatible = true;
    bool touchBar = false;
    QStringList log;
    DisplayModeHandler handler{controller, parts()};
    std::vector<NotificationCenter::ObserverId> observers;
};

TEST_F(DisplayModeHandlerTest, AnIntroducedDeviceGetsItsModeThenTheSizeOfTheMirroredDisplay) {
    handler.channelChanged(1);
    // The mode change restarts the stream through the controller's notice, all before channelChanged
    // returns, so that these messages precede the answer to the introduction.
    EXPECT_EQ(said(), "adjustInitialMode(iPad7,3), hideCursor(), stopStream(), waitASec, updateMenu(0), "
                      "hiResAlert(1), sizeIndex:0, resetResolution(4), videoSource:1");
    EXPECT_EQ(controller.prevCloneDisplayRect(), QRectF(0, 0, 1366, 1024));
}

TEST_F(DisplayModeHandlerTest, AnIncompatibleDeviceGetsNoModeAndADroppedOneClearsTheFramebuffer) {
    compatible = false;
    handler.channelChanged(1);
    EXPECT_EQ(said(), "");

    controller.setIsFramebufferActive(true);
    handler.channelChanged(0);
    EXPECT_FALSE(controller.isFramebufferActive());
    EXPECT_EQ(said(), "");
}

TEST_F(DisplayModeHandlerTest, WithNoDeviceAModeChangeOnlyStopsTheStream) {
    channel = 0;
    controller.postModeChangeNotificationToRestartStream();
    EXPECT_EQ(said(), "updateMenu(0), hiResAlert(1), stopStream()");
}

TEST_F(DisplayModeHandlerTest, InExtendedModeTheDevicesOwnDisplayIsStreamedAndTheTouchBarShown) {
    controller.setBCloneDisplay(false);
    touchBar = true;
    handler.changeDisplayMode(17);
    EXPECT_EQ(said(), "hideCursor(), stopStream(), waitASec, hiResAlert(1), sizeIndex:0, resetResolution(0), "
                      "videoSource:0, showTouchBar()");
}

TEST_F(DisplayModeHandlerTest, TheSizeIndexIsTheOneTheModeIsListedUnderForThisDevice) {
    NotificationCenter::defaultCenter().post(ZDVirtualScreenController::kModeWasChangedNotification,
                                             &controller, {{QStringLiteral("mode"), 17}});
    EXPECT_TRUE(log.contains(QStringLiteral("sizeIndex:2"))) << said();
}

TEST_F(DisplayModeHandlerTest, UnpluggingTheMirroredDisplayRetargetsAndUnpluggingTheLastOneExtends) {
    controller.setCloneDisplayID(9);
    ASSERT_TRUE(controller.cloneScreen());
    displays.removeDisplay(9);
    displays.fire(9, DisplayServices::kRemoveFlag);
    EXPECT_EQ(controller.cloneDisplayID(), 4u);
    EXPECT_EQ(said(), "cloneDisplay(), updateMenu(0)");

    log.clear();
    displays.fire(7, DisplayServices::kAddFlag); // another display came: the target stays
    EXPECT_EQ(said(), "updateMenu(0)");

    log.clear();
    displays.removeDisplay(4);
    displays.fire(4, DisplayServices::kRemoveFlag);
    EXPECT_EQ(said(), "extendDisplaySelected(), updateMenu(0)");
}

} // namespace
