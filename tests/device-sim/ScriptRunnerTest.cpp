#include "ScriptRunner.h"
#include "fakes/ManualClock.h"
#include "session/PeerMessage.h"

#include <gtest/gtest.h>

namespace {

struct Sent {
    uint32_t type;
    uint32_t tag;
    QByteArray bytes;
    bool raw;
};

class FakeLink : public FrameLink {
public:
    void sendFrame(uint32_t type, uint32_t tag, const QByteArray& payload) override {
        sent.push_back({type, tag, payload, false});
    }
    void sendRaw(const QByteArray& bytes) override { sent.push_back({0, 0, bytes, true}); }
    void disconnect() override { ++disconnects; }
    OptError savePicture(const QString& path) override {
        saved.push_back(path);
        return saveError;
    }

    std::vector<Sent> sent;
    int disconnects = 0;
    QStringList saved;
    OptError saveError;
};

std::vector<ScriptCommand> script(const char* text) {
    OptError error;
    auto commands = DeviceScript::parse(QString::fromUtf8(text), &error);
    EXPECT_FALSE(error) << error->toString().toStdString();
    return commands;
}

QByteArray text(const char* s) {
    return PeerMessage::encodeText(QString::fromUtf8(s));
}

class ScriptRunnerTest : public ::testing::Test {
protected:
    void run(const char* text) {
        finishedCount = 0;
        result.reset();
        runner = std::make_unique<ScriptRunner>(script(text), &link, [this](const OptError& error) {
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

TEST_F(ScriptRunnerTest, SendsUntilAnExpectationThenWaitsForItsMatch) {
    run("intro protocolVersion=1.0.9\n"
        "expect-text Version:.*\n"
        "send-event ReadyToReceive\n"
        "send-raw 00\n");
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].type, 100u);

    runner->frameReceived(101, text("size:10x10"));
    runner->frameReceived(104, PeerMessage::encodeDictionary({{"eventName", "Version:1"}}));
    EXPECT_EQ(link.sent.size(), 1u) << "neither a different text nor an event is the expected text";
    runner->frameReceived(101, text("Version:1.0 OS:Linux"));
    ASSERT_EQ(link.sent.size(), 3u);
    EXPECT_EQ(link.sent[1].type, 104u);
    EXPECT_TRUE(link.sent[2].raw);
    EXPECT_TRUE(succeeded());
    EXPECT_EQ(clock.pendingCount(), 0u) << "the timeout is gone once matched";
}

// Replies that come while the script sleeps count, each expectation taking its match and what came
// before it, but do not cut the sleep short; an expectation fails at its timeout with its line, and
// nothing after it runs.
TEST_F(ScriptRunnerTest, EarlyRepliesAreTakenInOrderAfterTheSleepAndAnExpectationFailsAtItsTimeout) {
    run("timeout 250\n"
        "sleep 500\n"
        "expect-text b\n"
        "ping\n"
        "expect-text a\n"
        "ping\n");
    runner->frameReceived(101, text("a"));
    runner->frameReceived(101, text("b"));
    clock.advance(0.499);
    EXPECT_TRUE(link.sent.empty());
    clock.advance(0.002);
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].type, 102u);
    clock.advance(0.248);
    runner->frameReceived(108, {});
    EXPECT_EQ(finishedCount, 0) << "'a' came before 'b' and was used up with it";
    clock.advance(0.01);
    EXPECT_EQ(failure(), QStringLiteral("line 5 (expect-text a): nothing matched within 250 ms"));
    runner->frameReceived(101, text("a"));
    clock.advance(10);
    EXPECT_EQ(finishedCount, 1);
    EXPECT_EQ(link.sent.size(), 1u) << "nothing after a failed expectation runs";
}

TEST_F(ScriptRunnerTest, TheLinkEndingEarlyFailsTheScriptButNotAfterItsEndOrADisconnect) {
    run("expect-event ReadyToReceive\n");
    runner->linkEnded(Error::posix(ECONNRESET));
    EXPECT_TRUE(failure().startsWith(
        QStringLiteral("line 1 (expect-event ReadyToReceive): the link ended (NSPOSIXErrorDomain")))
        << failure().toStdString();
    EXPECT_EQ(clock.pendingCount(), 0u);

    for (const char* text : {"ping\n", "pong tag=3\ndisconnect\n"}) {
        run(text);
        EXPECT_TRUE(succeeded()) << text;
        runner->linkEnded(std::nullopt);
        runner->frameReceived(101, ::text("late"));
        EXPECT_TRUE(succeeded()) << "a link that ends after the script is no failure";
    }
    EXPECT_EQ(link.disconnects, 1);
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
    EXPECT_EQ(link.sent.size(), 1u);

    link.saveError = Error::make("VideoDecodeError", 10, "no picture yet");
    run("ping\nsave-picture x.png\nping\n");
    EXPECT_EQ(failure(), QStringLiteral("line 2 (save-picture x.png): no picture yet"));
    EXPECT_EQ(link.sent.size(), 2u) << "nothing after the failed save is sent";
}

TEST(ScriptRunner, MayBeDestroyedFromItsOwnFinishedCall) {
    ManualClock clock;
    FakeLink link;
    std::unique_ptr<ScriptRunner> runner;
    int calls = 0;
    auto make = [&](const char* text) {
        runner = std::make_unique<ScriptRunner>(script(text), &link, [&](const OptError&) {
            ++calls;
            runner.reset();
        });
        runner->start();
    };
    const std::vector<std::pair<const char*, std::function<void()>>> endings{
        {"ping\n", [] {}},
        {"disconnect\n", [] {}},
        {"expect-text x\n", [&] { runner->frameReceived(101, text("x")); }},
        {"expect-text x\n", [&] { clock.advance(6); }},
        {"expect-text x\n", [&] { runner->linkEnded(std::nullopt); }},
    };
    for (const auto& [script, end] : endings) {
        make(script);
        if (runner) end();
        EXPECT_FALSE(runner) << script;
    }
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(clock.pendingCount(), 0u);
}
