#pragma once

#include "DeviceScript.h"
#include "base/Clock.h"

#include <deque>
#include <functional>
#include <optional>

// The device's end of one link, as a script drives it.
class FrameLink {
public:
    virtual ~FrameLink() = default;
    virtual void sendFrame(uint32_t type, uint32_t tag, const QByteArray& payload) = 0;
    virtual void sendRaw(const QByteArray& bytes) = 0;
    virtual void disconnect() = 0;
    // Writes the last picture the link brought as PNG; an empty path means the link's own choice.
    virtual OptError savePicture(const QString& path) {
        (void)path;
        return Error::make(QStringLiteral("DeviceScript"), 2, QStringLiteral("this link keeps no pictures"));
    }
};

// Plays one script over one link: sends, pauses and waits for what the agent sends back. Time goes
// through the shared Clock. Received frames that no expectation has taken yet are kept, in order, so a
// reply that arrives before the script asks for it still counts; an expectation takes its match and
// everything received before it.
class ScriptRunner {
public:
    // Called once: no error when the script ran to its end (or to "disconnect"), otherwise what failed,
    // as "line N (command): reason". The runner may be destroyed from inside the call.
    using Finished = std::function<void(const OptError&)>;

    ScriptRunner(std::vector<ScriptCommand> commands, FrameLink* link, Finished finished);
    ~ScriptRunner();
    ScriptRunner(const ScriptRunner&) = delete;
    ScriptRunner& operator=(const ScriptRunner&) = delete;

    void start();
    void frameReceived(uint32_t type, const QByteArray& payload);
    void linkEnded(const OptError& error);
    bool isFinished() const { return finished_; }

    // Unclaimed frames kept at most; older ones are dropped (a video stream nobody waits for must not
    // fill the memory).
    static constexpr size_t kMaxKept = 4096;

private:
    struct Received {
        uint32_t type;
        QByteArray payload;
    };

    void step();
    bool takeMatch(const ScriptCommand& command);
    void cancelTimer();
    void finish(const OptError& error);
    void notify(const OptError& error);
    Error failure(const ScriptCommand& command, const QString& reason) const;

    std::vector<ScriptCommand> commands_;
    FrameLink* link_;
    Finished onFinished_;
    std::deque<Received> kept_;
    size_t next_ = 0;
    int timeoutMs_ = DeviceScript::kDefaultTimeoutMs;
    std::optional<Clock::TimerId> timer_;
    bool started_ = false;
    bool stepping_ = false;
    bool expecting_ = false; // an expectation at next_ waits, with its timeout armed
    bool finished_ = false;
};
