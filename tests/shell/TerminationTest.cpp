#include "shell/ShellFixture.h"
#include "shell/TerminationSignals.h"

#include <QAction>
#include <csignal>

using TerminationTest = ShellTest;

TEST_F(TerminationTest, QuitTellsTheDeviceBeforeTheLinkCloses) {
    makeDelegate();
    session->log.clear();
    delegate->statusItem().quitItem()->trigger();
    EXPECT_EQ(session->log, (QStringList{QStringLiteral("message:appWillTerminate"),
                                         QStringLiteral("applicationShouldTerminate")}));
    EXPECT_EQ(session->channels.last(), 4u);
    EXPECT_EQ(displays.callbackCount(), 0u);
    // The shut-down link gets its moment to finish closing; then the process ends with 0.
    clock.advance(AppDelegate::kLinkSettleTime - 0.01);
    EXPECT_TRUE(exits.empty());
    clock.advance(0.01);
    EXPECT_EQ(exits, std::vector<int>{0});
}

TEST_F(TerminationTest, TheLinkWaitsUntilTheMessageHasLeft) {
    makeDelegate();
    session->holdSends = true;
    session->log.clear();
    delegate->terminate();
    EXPECT_EQ(session->log, QStringList{QStringLiteral("message:appWillTerminate")});
    EXPECT_TRUE(exits.empty());
    // A second request while the first is under way sends nothing more.
    delegate->terminate();
    EXPECT_EQ(session->log.size(), 1);

    session->completeHeldSends();
    EXPECT_EQ(session->log.last(), QStringLiteral("applicationShouldTerminate"));
    clock.advance(AppDelegate::kLinkSettleTime);
    EXPECT_EQ(exits, std::vector<int>{0});
    // The time limit, still pending, must not end things a second time.
    clock.advance(AppDelegate::kAppWillTerminateTimeout);
    EXPECT_EQ(exits.size(), 1u);
    EXPECT_EQ(session->log.count(QStringLiteral("applicationShouldTerminate")), 1);
}

TEST_F(TerminationTest, AMessageThatCannotLeaveDelaysTheQuitByOneSecondAtMost) {
    makeDelegate();
    session->holdSends = true;
    delegate->terminate();
    clock.advance(AppDelegate::kAppWillTerminateTimeout - 0.01);
    EXPECT_TRUE(exits.empty());
    clock.advance(0.01);
    EXPECT_EQ(session->log.last(), QStringLiteral("applicationShouldTerminate"));
    clock.advance(AppDelegate::kLinkSettleTime);
    EXPECT_EQ(exits, std::vector<int>{0});
    session->completeHeldSends();
    clock.advance(AppDelegate::kLinkSettleTime);
    EXPECT_EQ(exits.size(), 1u);
}

TEST_F(TerminationTest, ACancelledQuitKeepsRunningAndCanBeAskedAgain) {
    makeDelegate();
    session->terminateReply = SessionControl::TerminateReply::Cancel;
    delegate->terminate();
    EXPECT_TRUE(exits.empty());
    session->terminateReply = SessionControl::TerminateReply::Now;
    delegate->terminate();
    clock.advance(AppDelegate::kLinkSettleTime);
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_EQ(session->log.count(QStringLiteral("message:appWillTerminate")), 2);
}

TEST_F(TerminationTest, WithoutASessionControllerTheQuitIsImmediate) {
    permissions.granted = false;
    hooks.touchBarWindow = true;
    makeDelegate();
    delegate->terminate();
    EXPECT_EQ(displays.callbackCount(), 0u);
    EXPECT_EQ(exits, std::vector<int>{0});
    EXPECT_EQ(log.last(), QStringLiteral("stopTouchBar"));
}

TEST_F(TerminationTest, EndSignalsTakeTheQuitPath) {
    for (int signalNumber : {SIGTERM, SIGINT, SIGHUP}) {
        makeDelegate();
        exits.clear();
        TerminationSignals endSignals{SIGTERM, SIGINT, SIGHUP};
        ASSERT_TRUE(endSignals.isInstalled());
        QObject::connect(&endSignals, &TerminationSignals::received, [&](int) { delegate->terminate(); });
        ::raise(signalNumber);
        ASSERT_TRUE(waitUntil([&] {
            return session->log.contains(QStringLiteral("applicationShouldTerminate"));
        })) << "signal "
            << signalNumber;
        EXPECT_EQ(session->log.first(), QStringLiteral("message:appWillTerminate"));
        clock.advance(AppDelegate::kLinkSettleTime);
        EXPECT_EQ(exits, std::vector<int>{0});
    }
}

TEST_F(TerminationTest, OnlyOneSignalHolderAtATime) {
    TerminationSignals first{SIGHUP};
    TerminationSignals second{SIGHUP};
    EXPECT_TRUE(first.isInstalled());
    EXPECT_FALSE(second.isInstalled());
}
