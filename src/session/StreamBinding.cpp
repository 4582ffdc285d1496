#include "session/StreamBinding.h"

#include "session/CaptureController.h"
#include "session/PeerMessage.h"
#include "video/AppleVTCompressor.h"
#include "video/StreamDefaults.h"

#include <algorithm>

class StreamBinding::Control final : public StreamControl {
public:
    Control(StreamBinding& binding, StreamController& stream) : binding_(binding), stream_(stream) {}
    bool startStream() override { return stream_.startStream(); }
    void stopStream() override { stream_.stopStream(); }
    void resetStream() override { stream_.resetStream(); }
    void applicationWillTerminate() override {
        binding_.unregisterMouseEvent();
        stream_.applicationWillTerminate();
    }

private:
    StreamBinding& binding_;
    StreamController& stream_;
};

// The encoder of the destination: the compressor frames go through.
class StreamBinding::Encoder final : public ChannelEncoder {
public:
    explicit Encoder(StreamController& stream) : stream_(stream) {}
    void setPtChannel(std::shared_ptr<PTChannel> channel) override {
        if (AppleVTCompressor* compressor = stream_.activeCompressor())
            compressor->setPtChannel(std::move(channel));
    }
    bool bH264HWCodec() const override {
        const AppleVTCompressor* compressor = stream_.activeCompressor();
        return compressor && compressor->bH264HWCodec();
    }

private:
    StreamController& stream_;
};

class StreamBinding::Destination final : public CaptureDestination {
public:
    Destination(StreamController& stream, Encoder& encoder) : stream_(stream), encoder_(encoder) {}
    void setChannel(int32_t channel) override {
        for (const auto& destination : stream_.captureDestinations())
            destination->setChannel(channel);
    }
    ChannelEncoder* encoder() const override { return &encoder_; }

private:
    StreamController& stream_;
    Encoder& encoder_;
};

class StreamBinding::Source final : public CaptureSource {
public:
    explicit Source(StreamController& stream) : stream_(stream) {}
    void stopDisplayStream() override {
        if (DesktopCapture* capture = stream_.videoCaptureSession()) capture->stopDisplayStream();
    }

private:
    StreamController& stream_;
};

StreamBinding::StreamBinding(CaptureController& session, StreamDefaults& defaults,
                             StreamController::Services services)
    : session_(session), defaults_(defaults) {
    stream_ = std::make_unique<StreamController>(std::move(services), this);
    control_ = std::make_unique<Control>(*this, *stream_);
    encoder_ = std::make_unique<Encoder>(*stream_);
    destination_ = std::make_unique<Destination>(*stream_, *encoder_);
    source_ = std::make_unique<Source>(*stream_);

    SessionPorts& ports = session_.ports();
    ports.stream = control_.get();
    ports.destinations.push_back(destination_.get());
    ports.compressors.push_back(encoder_.get());
    ports.captureSource = source_.get();
}

StreamBinding::~StreamBinding() {
    SessionPorts& ports = session_.ports();
    if (ports.stream == control_.get()) ports.stream = nullptr;
    std::erase(ports.destinations, destination_.get());
    std::erase(ports.compressors, encoder_.get());
    if (ports.captureSource == source_.get()) ports.captureSource = nullptr;
    stream_.reset();
}

void StreamBinding::sendMessage(const QString& message) {
    session_.sendMessage(message, PeerMessage::kChannelCurrent);
}

bool StreamBinding::checkPeerProtocolVersion(const QString& version) const {
    return session_.checkPeerProtocolVersion(version);
}

bool StreamBinding::simulateCursorPos() const {
    return cursorMonitor_ && !defaults_.boolForKey(QStringLiteral("useSystemCursor")) &&
           session_.checkPeerProtocolVersion(QStringLiteral("1.0.2"));
}

void StreamBinding::registerMouseEvent() {
    if (cursorMonitor_) cursorMonitor_->registerMouseEvent();
}

void StreamBinding::unregisterMouseEvent() {
    if (cursorMonitor_) cursorMonitor_->unregisterMouseEvent();
}

QVariantMap StreamBinding::peerDeviceInfo() const {
    return session_.peerDeviceInfo();
}
