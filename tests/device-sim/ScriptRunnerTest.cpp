#include "ScriptRunner.h"
#include "fakes/ManualClock.h"
#include "session/PeerMessage.h"

#include <gtest/gtest.h>

namespace {

// Records what the script sends: "type/tag" per frame, "raw" for raw bytes.
class FakeLink : public FrameLink {
public:
    void sendFrame(uint32_t type, uint32_t tag, const QByteArray&) override {
        sent << QStringLiteral("%1/%2").arg(type).arg(tag);
    }
    void sendRaw(const QByteArray&) override { sent << QStringLiteral("raw"); }
    void disconnect() override { sent << QStringLiteral("disconnect"); }
    OptError savePicture(const QString& path) override {
        saved << path;
        return saveError;
    }
    QStringList sent, saved;
    OptError saveError;
};

QByteArray text(const char* s) {
    return PeerMessage::encodeText(QString::fromUtf8(s));
}

class ScriptRunnerTest : public ::testing::Test {
protected:
    void run(const char* script) {
        OptError error;
        auto commands = DeviceScript::parse(QString::fromUtf8(script), &error);
        ASSERT_FALSE(error) << error->toString().toStdString();
        finishedCount = 0;
        result.reset();
        link.sent.clear();
        runner = std::make_unique<ScriptRunner>(std::move(commands), &link, [this](const OptError& error) {
            ++finishedCount;
            result = error;
        });
        runner->start();
    }
    bool succeeded() const { return finishedCount == 1 && !result; }
    QString failure() const { return result ? result->description : QString(); }

    ManualClock clock;
    FakeLink link;
    std::unique_ptr<ScriptRunner> runner;
    int finishedCount = 0;
    OptError result;
};

} // namespace

// Sends run until an expectation, which waits for its match (the introduction's road is driven by
// tests/integration). Replies that come while the script sleeps
// count, each expectation taking its match and what came before it, but do not cut the sleep short; an
// expectation fails at its timeout with its line, and nothing after it runs.
TEST_F(ScriptRunnerTest, ExpectationsTakeTheirMatchInOrderOrFailAtTheirTimeout) {
    run("expect-text x\nsend-raw 00\n");
    runner->frameReceived(101, text("x"));
    EXPECT_EQ(link.sent, QStringList{"raw"});
    EXPECT_TRUE(succeeded());
    EXPECT_EQ(clock.pendingCount(), 0u) << "the timeout is gone once matched";

    run("timeout 250\n"
        "sleep 500\n"
        "expect-text b\n"
        "ping\n"
        "expect-text a\n"
        "ping\n");
    runner->frameReceived(101, text("a"));
    runner->frameReceived(101, text("b"));
    clock.advance(0.499);
    EXPECT_TRUE(link.sent.isEmpty());
    clock.advance(0.002);
    EXPECT_EQ(link.sent, QStringList{"102/0"});
    clock.advance(0.248);
    runner->frameReceived(108, {});
    EXPECT_EQ(finishedCount, 0) << "'a' came before 'b' and was used up with it";
    clock.advance(0.01);
    EXPECT_EQ(failure(), QStringLiteral("line 5 (expect-text a): nothing matched within 250 ms"));
    runner->frameReceived(101, text("a"));
    clock.advance(10);
    EXPECT_EQ(finishedCount, 1);
    EXPECT_EQ(link.sent.size(), 1) << "nothing after a failed expectation runs";
}

TEST_F(ScriptRunnerTest, TheLinkEndingEarlyFailsTheScriptButNotAfterItsEndOrADisconnect) {
    run("expect-event ReadyToReceive\n");
    runner->linkEnded(Error::posix(ECONNRESET));
    EXPECT_TRUE(failure().startsWith(
        QStringLiteral("line 1 (expect-event ReadyToReceive): the link ended (NSPOSIXErrorDomain")))
        << failure().toStdString();
    EXPECT_EQ(clock.pendingCount(), 0u);
    for (const char* script : {"ping\n", "pong tag=3\ndisconnect\n"}) {
        run(script);
        EXPECT_TRUE(succeeded()) << script;
        runner->linkEnded(std::nullopt);
        runner->frameReceived(101, text("late"));
        EXPECT_TRUE(succeeded()) << "a link that ends after the script is no failure";
    }
    EXPECT_EQ(link.sent, (QStringList{"103/3", "disconnect"}));
}

TEST_F(ScriptRunnerTest, OnlyTheNewestUnclaimedFramesAreKept) {
    run("sleep 1\nexpect-text first\n");
    runner->frameReceived(101, text("first"));
    for (size_t i = 0; i < ScriptRunner::kMaxKept; ++i)
        runner->frameReceived(107, QByteArray(16, 'v'));
    clock.advance(0.001);
    clock.advance(5);
    EXPECT_TRUE(failure().contains(QStringLiteral("nothing matched"))) << "the oldest frame made room";
}

TEST_F(ScriptRunnerTest, ASavedPictureThatFailsStopsTheScriptWithItsReason) {
    run("save-picture /tmp/a b.png\nsave-picture\nping\n");
    EXPECT_TRUE(succeeded());
    EXPECT_EQ(link.saved, QStringList({"/tmp/a b.png", ""}));
    link.saveError = Error::make("VideoDecodeError", 10, "no picture yet");
    run("ping\nsave-picture x.png\nping\n");
    EXPECT_EQ(failure(), QStringLiteral("line 2 (save-picture x.png): no picture yet"));
    EXPECT_EQ(link.sent, QStringList{"102/0"}) << "nothing after the failed save is sent";
}

// Every way a script ends calls its owner once, and the owner may destroy the runner from that call.
TEST_F(ScriptRunnerTest, MayBeDestroyedFromItsOwnFinishedCall) {
    int calls = 0;
    const std::vector<std::pair<const char*, std::function<void()>>> endings{
        {"ping\n", [] {}},
        {"disconnect\n", [] {}},
        {"expect-text x\n", [&] { runner->frameReceived(101, text("x")); }},
        {"expect-text x\n", [&] { clock.advance(6); }},
        {"expect-text x\n", [&] { runner->linkEnded(std::nullopt); }},
    };
    for (const auto& [script, end] : endings) {
        OptError error;
        runner = std::make_unique<ScriptRunner>(DeviceScript::parse(QString::fromUtf8(script), &error), &link,
                                                [&](const OptError&) {
                                                    ++calls;
                                                    runner.reset();
                                                });
        runner->start();
        if (runner) end();
        EXPECT_FALSE(runner) << script;
    }
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(clock.pendingCount(), 0u);
}
