#include "DeviceSim.h"

#include "base/MainQueue.h"
#include "link/IoChannel.h"
#include "session/PeerMessage.h"

#include <QJsonObject>

#include <netinet/in.h>

namespace {

QJsonObject statusLine(const char* event) {
    return QJsonObject{{QStringLiteral("event"), QLatin1String(event)}};
}

QJsonValue errorValue(const OptError& error) {
    return error ? QJsonValue(error->toString()) : QJsonValue();
}

} // namespace

// The script's hold on the open connection: sends go out on the channel and into the record.
class DeviceSim::Link : public FrameLink {
public:
    Link(DeviceSim* sim, std::shared_ptr<PTChannel> channel, FrameRecorder* recorder, Status status)
        : sim_(sim), channel_(std::move(channel)), recorder_(recorder), status_(std::move(status)) {}

    void sendFrame(uint32_t type, uint32_t tag, const QByteArray& payload) override {
        if (recorder_) recorder_->record(FrameRecorder::Sent, type, tag, payload);
        channel_->sendFrameOfType(type, tag, payload, failureReporter(type));
    }

    void sendRaw(const QByteArray& bytes) override {
        if (recorder_)
            recorder_->write(QJsonObject{{QStringLiteral("dir"), QStringLiteral("out")},
                                         {QStringLiteral("raw"), QString::fromLatin1(bytes.toHex())},
                                         {QStringLiteral("size"), bytes.size()}});
        const std::shared_ptr<IoChannel>& io = channel_->dispatchChannel();
        if (!io) {
            reportFailure(-1, Error::posix(ENOTCONN));
            return;
        }
        // Written on the channel's own I/O queue, so raw bytes keep their place among the frames.
        auto report = failureReporter(-1);
        io->write(QByteArray(), bytes,
                  [report](int err) { report(err ? OptError(Error::posix(err)) : std::nullopt); });
    }

    void disconnect() override { channel_->cancel(); }
    OptError savePicture(const QString& path) override { return sim_->savePicture(path); }

private:
    PTChannel::Callback failureReporter(qint64 type) {
        return [status = status_, type](const OptError& error) {
            if (!error || !status) return;
            QJsonObject line = statusLine("send-failed");
            if (type >= 0) line.insert(QStringLiteral("type"), type);
            line.insert(QStringLiteral("error"), error->toString());
            status(line);
        };
    }
    void reportFailure(qint64 type, const Error& error) { failureReporter(type)(error); }

    DeviceSim* sim_;
    std::shared_ptr<PTChannel> channel_;
    FrameRecorder* recorder_;
    Status status_;
};

DeviceSim::DeviceSim(std::vector<ScriptCommand> script, FrameRecorder* recorder, Status status)
    : script_(std::move(script)), recorder_(recorder), status_(std::move(status)) {}

DeviceSim::~DeviceSim() {
    controls_.clear();
    runner_.reset();
    link_.reset();
    for (const auto& channel : refused_)
        channel->setDelegate(nullptr);
    if (current_) {
        current_->setDelegate(nullptr);
        current_->close();
    }
    if (listener_) {
        listener_->setDelegate(nullptr);
        listener_->close();
    }
}

void DeviceSim::listen(uint16_t port, std::function<void(const OptError&, uint16_t)> callback) {
    listener_ = PTChannel::channelWithDelegate(this);
    listener_->listenOnPort(port, INADDR_LOOPBACK, [this, callback](const OptError& error) {
        const uint16_t bound = error ? 0 : listener_->localPort();
        if (!error && status_) {
            QJsonObject line = statusLine("listening");
            line.insert(QStringLiteral("port"), bound);
            status_(line);
        }
        if (callback) callback(error, bound);
    });
}

void DeviceSim::ioFrameChannelDidAcceptConnection(PTChannel*, std::shared_ptr<PTChannel> channel,
                                                  const PTAddress& address) {
    if (current_) {
        if (status_) {
            QJsonObject line = statusLine("refused");
            line.insert(QStringLiteral("peer"), address.description());
            status_(line);
        }
        refused_.insert(channel);
        channel->close();
        return;
    }
    current_ = std::move(channel);
    scriptSucceeded_ = false;
    if (status_) {
        QJsonObject line = statusLine("connected");
        line.insert(QStringLiteral("peer"), address.description());
        status_(line);
    }
    video_.startLink();
    link_ = std::make_unique<Link>(this, current_, recorder_, status_);
    runner_ = std::make_unique<ScriptRunner>(script_, link_.get(), [this](const OptError& error) {
        scriptSucceeded_ = !error;
        if (!status_) return;
        QJsonObject line = statusLine(error ? "script-failed" : "script-finished");
        if (error) line.insert(QStringLiteral("error"), error->description);
        status_(line);
    });
    runner_->start();
}

void DeviceSim::control(std::vector<ScriptCommand> commands) {
    if (!current_ || !link_) {
        if (status_) {
            QJsonObject line = statusLine("control-failed");
            line.insert(QStringLiteral("error"), QStringLiteral("no connection"));
            status_(line);
        }
        return;
    }
    std::erase_if(controls_, [](const std::unique_ptr<ScriptRunner>& r) { return r->isFinished(); });
    auto runner =
        std::make_unique<ScriptRunner>(std::move(commands), link_.get(), [this](const OptError& error) {
            if (status_) {
                QJsonObject line = statusLine(error ? "control-failed" : "control-finished");
                if (error) line.insert(QStringLiteral("error"), error->description);
                status_(line);
            }
        });
    // Kept from before it starts: frames that come while it waits go to it too.
    ScriptRunner* started = runner.get();
    controls_.push_back(std::move(runner));
    started->start();
}

void DeviceSim::ioFrameChannelDidReceiveFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                                    const PTData* payload) {
    if (channel != current_.get()) return;
    const QByteArray bytes = payload ? payload->dispatchData() : QByteArray();
    // Decoded before the script sees the frame: a `save-picture` after `expect-frame` gets this picture
    // or a newer one.
    const QJsonObject video =
        VideoReceiver::isVideoFrame(type) ? video_.receive(type, tag, bytes) : QJsonObject();
    if (type == PeerMessage::kFrameTypeEvent)
        if (const auto event = PeerMessage::decodeDictionary(bytes)) cursor_.receive(*event);
    if (recorder_) recorder_->record(FrameRecorder::Received, type, tag, bytes, video);
    if (runner_) runner_->frameReceived(type, bytes);
    for (size_t i = 0; i < controls_.size(); ++i)
        if (!controls_[i]->isFinished()) controls_[i]->frameReceived(type, bytes);
}

void DeviceSim::ioFrameChannelDidEndWithError(PTChannel* channel, const OptError& error) {
    for (auto it = refused_.begin(); it != refused_.end(); ++it) {
        if (it->get() == channel) {
            refused_.erase(it);
            return;
        }
    }
    if (channel == listener_.get()) {
        if (status_) {
            QJsonObject line = statusLine("stopped-listening");
            line.insert(QStringLiteral("error"), errorValue(error));
            status_(line);
        }
        return;
    }
    if (!current_ || channel != current_.get()) return;
    if (runner_) runner_->linkEnded(error);
    for (size_t i = 0; i < controls_.size(); ++i)
        if (!controls_[i]->isFinished()) controls_[i]->linkEnded(error);
    controls_.clear();
    const bool succeeded = scriptSucceeded_;
    runner_.reset();
    link_.reset();
    // Released after this call has returned into the channel that is telling us.
    mainQueue().async([ended = std::move(current_)] {});
    if (status_) {
        QJsonObject summary = video_.summary();
        if (summary.value(QStringLiteral("frames")).toInt() +
            summary.value(QStringLiteral("errors")).toInt()) {
            summary.insert(QStringLiteral("event"), QStringLiteral("video"));
            status_(summary);
        }
        if (!cursor_.empty()) {
            QJsonObject cursor = cursor_.summary();
            cursor.insert(QStringLiteral("event"), QStringLiteral("cursor"));
            status_(cursor);
        }
        QJsonObject line = statusLine("disconnected");
        line.insert(QStringLiteral("error"), errorValue(error));
        status_(line);
    }
    saveLastFrame();
    if (connectionEnded_) connectionEnded_(succeeded);
}

OptError DeviceSim::savePicture(const QString& path) {
    const QString target = path.isEmpty() ? lastFramePath_ : path;
    if (target.isEmpty())
        return Error::make(QStringLiteral("DeviceScript"), 2,
                           QStringLiteral("no path given and no --last-frame"));
    if (OptError error = video_.saveLastPicture(target)) return error;
    if (status_) {
        QJsonObject line = statusLine("picture-saved");
        line.insert(QStringLiteral("path"), target);
        line.insert(QStringLiteral("width"), video_.lastPicture().width());
        line.insert(QStringLiteral("height"), video_.lastPicture().height());
        status_(line);
    }
    return std::nullopt;
}

void DeviceSim::saveLastFrame() {
    if (lastFramePath_.isEmpty() || video_.lastPicture().isNull()) return;
    if (const OptError error = savePicture(lastFramePath_); error && status_) {
        QJsonObject line = statusLine("picture-failed");
        line.insert(QStringLiteral("error"), error->toString());
        status_(line);
    }
}
