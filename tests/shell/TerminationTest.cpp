#include "shell/ShellFixture.h"
#include "shell/TerminationSignals.h"

#include <QAction>
#include <csignal>

using TerminationTest = ShellTest;

TEST_F(TerminationTest, QuitTellsTheDeviceBeforeTheLinkClosesThenEndsWithZero) {
    launch();
    session->holdSends = true;
    session->log.clear();
    delegate->statusItem().quitItem()->trigger();
    EXPECT_EQ(displays.callbackCount(), 0u);
    EXPECT_EQ(session->log, QStringList{"message:appWillTerminate/4"});
    // A second request while the first is under way sends nothing more.
    delegate->terminate();
    EXPECT_EQ(session->log.size(), 1);

    // The link goes once the message has left, and gets a moment to finish closing.
    session->completeHeldSends();
    EXPECT_EQ(session->log.last(), "applicationShouldTerminate");
    clock.advance(AppDelegate::kLinkSettleTime - 0.01);
    EXPECT_TRUE(exits.empty());
    clock.advance(0.01);
    EXPECT_EQ(exits, std::vector<int>{0});
    // The time limit, still pending, must not end things a second time.
    clock.advance(AppDelegate::kAppWillTerminateTimeout);
    EXPECT_EQ(exits.size(), 1u);
    EXPECT_EQ(session->log.count("applicationShouldTerminate"), 1);
}

TEST_F(TerminationTest, AMessageThatCannotLeaveDelaysTheQuitByOneSecondAtMost) {
    launch();
    session->holdSends = true;
    delegate->terminate();
    clock.advance(AppDelegate::kAppWillTerminateTimeout - 0.01);
    EXPECT_TRUE(exits.empty());
    clock.advance(0.01);
    EXPECT_EQ(session->log.last(), "applicationShouldTerminate");
    clock.advance(AppDelegate::kLinkSettleTime);
    EXPECT_EQ(exits, std::vector<int>{0});
    // The message leaving late changes nothing.
    session->completeHeldSends();
    clock.advance(AppDelegate::kLinkSettleTime);
    EXPECT_EQ(exits.size(), 1u);
}

TEST_F(TerminationTest, ACancelledQuitKeepsRunningAndCanBeAskedAgain) {
    launch();
    session->terminateReply = SessionControl::TerminateReply::Cancel;
    delegate->terminate();
    clock.advance(AppDelegate::kAppWillTerminateTimeout);
    EXPECT_TRUE(exits.empty());
    session->terminateReply = SessionControl::TerminateReply::Now;
    delegate->terminate();
    clock.advance(AppDelegate::kLinkSettleTime);
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_EQ(session->log.count("message:appWillTerminate/4"), 2);
}

TEST_F(TerminationTest, WithoutASessionControllerTheQuitIsImmediate) {
    permissions.granted = false;
    hooks.touchBarWindow = true;
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
        ASSERT_TRUE(waitUntil([&] { return session->log.contains("applicationShouldTerminate"); }))
            << "signal " << signalNumber;
        EXPECT_EQ(session->log.first(), "message:appWillTerminate/4");
        clock.advance(AppDelegate::kLinkSettleTime);
        EXPECT_EQ(exits, std::vector<int>{0});
    }
}
