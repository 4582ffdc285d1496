#include "ScriptRunner.h"

#include "session/PeerMessage.h"

ScriptRunner::ScriptRunner(std::vector<ScriptCommand> commands, FrameLink* link, Finished finished)
    : commands_(std::move(commands)), link_(link), onFinished_(std::move(finished)) {}

ScriptRunner::~ScriptRunner() {
    cancelTimer();
}

void ScriptRunner::start() {
    if (started_) return;
    started_ = true;
    step();
}

void ScriptRunner::frameReceived(uint32_t type, const QByteArray& payload) {
    if (finished_) return;
    // Only texts and events are ever matched by content; other frames are kept by type alone.
    const bool byContent = type == PeerMessage::kFrameTypeTextMessage || type == PeerMessage::kFrameTypeEvent;
    kept_.push_back({type, byContent ? payload : QByteArray()});
    if (kept_.size() > kMaxKept) kept_.pop_front();
    // A frame that arrives while the script is between steps is looked at when it gets there.
    if (expecting_ && !stepping_ && takeMatch(commands_[next_])) {
        expecting_ = false;
        cancelTimer();
        ++next_;
        step();
    }
}

void ScriptRunner::linkEnded(const OptError& error) {
    if (finished_) return;
    cancelTimer();
    const ScriptCommand* at = next_ < commands_.size() ? &commands_[next_] : nullptr;
    QString reason = QStringLiteral("the link ended");
    if (error) reason += QStringLiteral(" (%1)").arg(error->toString());
    if (!at) {
        finish(std::nullopt);
        return;
    }
    finish(failure(*at, reason));
}

void ScriptRunner::step() {
    stepping_ = true;
    while (!finished_ && next_ < commands_.size()) {
        const ScriptCommand& command = commands_[next_];
        switch (command.kind) {
        case ScriptCommand::SendFrame:
            link_->sendFrame(command.type, command.tag, command.payload);
            ++next_;
            break;
        case ScriptCommand::SendRaw:
            link_->sendRaw(command.payload);
            ++next_;
            break;
        case ScriptCommand::SavePicture:
            if (const OptError error = link_->savePicture(command.path)) {
                stepping_ = false;
                finish(failure(command, error->description));
                return;
            }
            ++next_;
            break;
        case ScriptCommand::SetTimeout:
            timeoutMs_ = command.milliseconds;
            ++next_;
            break;
        case ScriptCommand::Sleep:
            ++next_;
            timer_ = Clock::shared().after(command.milliseconds / 1000.0, [this] {
                timer_.reset();
                step();
            });
            stepping_ = false;
            return;
        case ScriptCommand::ExpectText:
        case ScriptCommand::ExpectEvent:
        case ScriptCommand::ExpectFrame:
            if (takeMatch(command)) {
                ++next_;
                break;
            }
            expecting_ = true;
            timer_ = Clock::shared().after(timeoutMs_ / 1000.0, [this] {
                timer_.reset();
                expecting_ = false;
                const ScriptCommand& waited = commands_[next_];
                finish(failure(waited, QStringLiteral("nothing matched within %1 ms").arg(timeoutMs_)));
            });
            stepping_ = false;
            return;
        case ScriptCommand::Disconnect:
            ++next_;
            stepping_ = false;
            // Finished first: the end of the link that follows is what the script asked for.
            finished_ = true;
            link_->disconnect();
            notify(std::nullopt);
            return;
        }
    }
    stepping_ = false;
    if (!finished_) finish(std::nullopt);
}

bool ScriptRunner::takeMatch(const ScriptCommand& command) {
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
        if (command.matches(it->type, it->payload)) {
            kept_.erase(kept_.begin(), it + 1);
            return true;
        }
    }
    return false;
}

void ScriptRunner::cancelTimer() {
    if (timer_) Clock::shared().cancel(*timer_);
    timer_.reset();
}

void ScriptRunner::finish(const OptError& error) {
    if (finished_) return;
    finished_ = true;
    cancelTimer();
    expecting_ = false;
    kept_.clear();
    notify(error);
}

void ScriptRunner::notify(const OptError& error) {
    // Last thing done, from a local copy: the owner may destroy this runner from inside the call.
    Finished finished = std::move(onFinished_);
    onFinished_ = nullptr;
    if (finished) finished(error);
}

Error ScriptRunner::failure(const ScriptCommand& command, const QString& reason) const {
    return Error::make(QStringLiteral("DeviceScript"), 1,
                       QStringLiteral("line %1 (%2): %3").arg(command.line).arg(command.source, reason));
}
