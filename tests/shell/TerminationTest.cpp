#include "shell/ShellFixture.h"
#include "shell/TerminationSignals.h"

#include <QAction>
#include <csignal>

using TerminationTest = ShellTest;

TEST_F(TerminationTest, QuitTellsTheDeviceBeforeTheLinkClosesThenEndsWithZero) {
    launch();
    auto peer = introducedDevice();
    const qsizetype answered = peer->texts().size();
    delegate->statusItem().quitItem()->trigger();
    EXPECT_EQ(displays.callbackCount(), 0u);
    // The message leaves on the event loop; until then the link stays.
    EXPECT_TRUE(controller->ptChannelConnected());
    delegate->terminate(); // a second request while the first is under way sends nothing more

    // The link goes once the message has left, and gets a moment to finish closing.
    ASSERT_TRUE(waitUntil([&] { return peer->ended(); }));
    EXPECT_EQ(peer->texts().mid(answered), QStringList{"appWillTerminate"});
    clock.advance(AppDelegate::kLinkSettleTime - 0.01);
    EXPECT_TRUE(exits.empty());
    clock.advance(0.01);
    EXPECT_EQ(exits, std::vector<int>{0});
    // The time limit, still pending, must not end things a second time.
    clock.advance(AppDelegate::kAppWillTerminateTimeout);
    EXPECT_EQ(exits.size(), 1u);
}

// No event loop runs here, so the message cannot leave: the link is shut down, and the stream
// stopped, when the time limit is up.
TEST_F(TerminationTest, AMessageThatCannotLeaveDelaysTheQuitByOneSecondAtMost) {
    launch();
    auto peer = introducedDevice();
    peer->sendEvent({{"eventName", "ReadyToReceive"}});
    ASSERT_TRUE(waitUntil([&] { return stream().captureRunning(); }));
    delegate->terminate();
    clock.advance(AppDelegate::kAppWillTerminateTimeout - 0.01);
    EXPECT_TRUE(controller->ptChannelConnected());
    clock.advance(0.01);
    EXPECT_FALSE(controller->ptChannelConnected());
    EXPECT_FALSE(stream().captureRunning());
    EXPECT_TRUE(exits.empty());
    clock.advance(AppDelegate::kLinkSettleTime);
    EXPECT_EQ(exits, std::vector<int>{0});
    // The message leaving late changes nothing.
    ASSERT_TRUE(waitUntil([&] { return peer->ended(); }));
    clock.advance(AppDelegate::kLinkSettleTime);
    EXPECT_EQ(exits.size(), 1u);
}

TEST_F(TerminationTest, WithoutASessionControllerTheQuitIsImmediate) {
    permissions.granted = false;
    recorded.touchBarWindow = true;
    launch();
    delegate->terminate();
    EXPECT_EQ(displays.callbackCount(), 0u);
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_EQ(log.last(), "stopTouchBar");
}

TEST_F(TerminationTest, EndSignalsTakeTheQuitPathAndOnlyOneHolderGetsThem) {
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        launch();
        exits.clear();
        TerminationSignals endSignals{SIGTERM, SIGINT, SIGHUP};
        ASSERT_TRUE(endSignals.isInstalled());
        TerminationSignals second{SIGHUP};
        EXPECT_FALSE(second.isInstalled());
        QObject::connect(&endSignals, &TerminationSignals::received, [&](int) { delegate->terminate(); });
        ::raise(signalNumber);
        // Without a device the message is refused at once and the link goes: the exit follows the
        // settling moment.
        EXPECT_TRUE(waitUntil([&] {
            clock.advance(AppDelegate::kLinkSettleTime);
            return !exits.empty();
        })) << "signal "
            << signalNumber;
        EXPECT_EQ(exits, std::vector<int>{0});
    }
}
