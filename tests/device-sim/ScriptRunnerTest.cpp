#include "ScriptRunner.h"
#include "fakes/ManualClock.h"
#include "session/PeerMessage.h"

#include <gtest/gtest.h>

namespace {

// Records what the script does: "type/tag" per frame, "raw" for raw bytes, "save:path" per picture.
class FakeLink : public FrameLink {
public:
    void sendFrame(uint32_t type, uint32_t tag, const QByteArray&) override {
        done << QStringLiteral("%1/%2").arg(type).arg(tag);
    }
    void sendRaw(const QByteArray&) override { done << QStringLiteral("raw"); }
    void disconnect() override { done << QStringLiteral("disconnect"); }
    OptError savePicture(const QString& path) override {
        done << QStringLiteral("save:") + path;
        return saveError;
    }
    QStringList done;
    OptError saveError;
};

QByteArray text(const char* s) {
    return PeerMessage::encodeText(QString::fromUtf8(s));
}

class ScriptRunnerTest : public ::testing::Test {
protected:
    // Plays `script`; with `destroy`, the owner destroys the runner from its finished call.
    void run(const char* script, bool destroy = false) {
        OptError error;
        auto commands = DeviceScript::parse(QString::fromUtf8(script), &error);
        ASSERT_FALSE(error) << error->toString().toStdString();
        finishedCount = 0;
        result.reset();
        link.done.clear();
        runner =
            std::make_unique<ScriptRunner>(std::move(commands), &link, [this, destroy](const OptError& e) {
                ++finishedCount;
                result = e;
                if (destroy) runner.reset();
            });
        runner->start();
    }
    std::string failure() const { return result ? result->description.toStdString() : std::string(); }

    ManualClock clock;
    FakeLink link;
    std::unique_ptr<ScriptRunner> runner;
    int finishedCount = 0;
    OptError result;
};

} // namespace

// Sends run until an expectation, which waits for its match (the introduction's road, and an expectation
// failing at its timeout with nothing after it sent, are driven by tests/integration/DeviceSimTest).
// Replies that come while the script sleeps count, each expectation taking its match and what came
// before it, but do not cut the sleep short.
TEST_F(ScriptRunnerTest, RepliesThatComeEarlyAreTakenInOrderAfterTheSleep) {
    run("timeout 250\n"
        "sleep 500\n"
        "expect-text b\n"
        "ping\n"
        "expect-text a\n"
        "ping\n");
    runner->frameReceived(101, text("a"));
    runner->frameReceived(101, text("b"));
    clock.advance(0.499);
    EXPECT_TRUE(link.done.isEmpty());
    clock.advance(0.002);
    EXPECT_EQ(link.done, QStringList{"102/0"});
    clock.advance(0.248);
    runner->frameReceived(108, {});
    EXPECT_EQ(finishedCount, 0) << "'a' came before 'b' and was used up with it";
    clock.advance(0.01);
    EXPECT_EQ(failure(), "line 5 (expect-text a): nothing matched within 250 ms");
}

// Every way a script ends is told once, with its reason; what comes after (the link's end, a late frame)
// changes nothing, no timer is left, and the owner may destroy the runner from the call.
TEST_F(ScriptRunnerTest, EachEndingIsToldOnceWithItsReason) {
    enum Then { kNothing, kMatch, kTimeout, kLinkError, kLinkEnd };
    const struct {
        const char* script;
        bool saveFails;
        Then then;
        const char* failure;
        const char* done;
    } cases[] = {
        {"ping\n", false, kNothing, "", "102/0"},
        {"pong tag=3\ndisconnect\n", false, kNothing, "", "103/3 disconnect"},
        {"save-picture /tmp/a b.png\nsave-picture\nping\n", false, kNothing, "",
         "save:/tmp/a b.png save: 102/0"},
        {"ping\nsave-picture x.png\nping\n", true, kNothing, "line 2 (save-picture x.png): no picture yet",
         "102/0 save:x.png"},
        {"expect-text x\nsend-raw 00\n", false, kMatch, "", "raw"},
        {"expect-text x\n", false, kTimeout, "line 1 (expect-text x): nothing matched within 5000 ms", ""},
        {"expect-event ReadyToReceive\n", false, kLinkError,
         "line 1 (expect-event ReadyToReceive): the link ended (NSPOSIXErrorDomain", ""},
        {"expect-text x\n", false, kLinkEnd, "line 1 (expect-text x): the link ended", ""},
    };
    for (const bool destroy : {false, true})
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.script) + (destroy ? " (destroyed)" : ""));
            link.saveError =
                c.saveFails ? OptError(Error::make("VideoDecodeError", 10, "no picture yet")) : std::nullopt;
            run(c.script, destroy);
            if (runner && c.then == kMatch) runner->frameReceived(101, text("x"));
            if (runner && c.then == kTimeout) clock.advance(6);
            if (runner && c.then == kLinkError) runner->linkEnded(Error::posix(ECONNRESET));
            if (runner && c.then == kLinkEnd) runner->linkEnded(std::nullopt);
            EXPECT_EQ(runner == nullptr, destroy);
            if (runner) {
                runner->linkEnded(std::nullopt);
                runner->frameReceived(101, text("x"));
            }
            EXPECT_EQ(finishedCount, 1);
            EXPECT_EQ(failure().rfind(c.failure, 0), 0u) << failure();
            EXPECT_EQ(c.failure[0] == 0, !result);
            EXPECT_EQ(link.done.join(u' ').toStdString(), c.done);
            EXPECT_EQ(clock.pendingCount(), 0u);
        }
}

TEST_F(ScriptRunnerTest, OnlyTheNewestUnclaimedFramesAreKept) {
    run("sleep 1\nexpect-text first\n");
    runner->frameReceived(101, text("first"));
    for (size_t i = 0; i < ScriptRunner::kMaxKept; ++i)
        runner->frameReceived(107, QByteArray(16, 'v'));
    clock.advance(0.001);
    clock.advance(5);
    EXPECT_NE(failure().find("nothing matched"), std::string::npos) << "the oldest frame made room";
}
