#pragma once

#include "link/PTChannel.h"
#include "session/LinkConnector.h"
#include "session/SessionPorts.h"
#include "session/ZDAppDelegate.h"

#include <QStringList>
#include <memory>
#include <vector>

// Records every delegate call as one line: "channelChanged(1)", "handleTapEvent(0.25,0.5,0)", ...
class RecordingAppDelegate final : public ZDAppDelegate {
public:
    QStringList calls;
    // The event dictionaries passed to the handlers, in order.
    std::vector<QVariantMap> events;

    int count(const QString& prefix) const;
    void clear() {
        calls.clear();
        events.clear();
    }

    void resizeEventFromDevice(QSizeF size) override;
    void channelChanged(int32_t channel) override;
    void updateUI(int32_t channel, int32_t connectionMode) override;
    int32_t adjustInitialMode(const QVariantMap& deviceInfo) override;
    void handleTapEvent(QPointF point, bool ignoreSingleTap) override;
    void handleTwoFingerTapEvent(QPointF point) override;
    void handleThreeFingerTapEvent(QPointF point) override;
    void handleScrollEvent(const QVariantMap& event) override { record("handleScrollEvent", event); }
    void handleDragEvent(const QVariantMap& event) override { record("handleDragEvent", event); }
    void handlePencilEvent(const QVariantMap& event) override { record("handlePencilEvent", event); }
    void handleZoomEvent(const QVariantMap& event) override { record("handleZoomEvent", event); }
    void handleTwoFingerRotationEvent(const QVariantMap& event) override {
        record("handleTwoFingerRotationEvent", event);
    }
    void handleTwoFingerPanEvent(const QVariantMap& event) override {
        record("handleTwoFingerPanEvent", event);
    }
    void handleStylusStatusChanged(const QVariantMap& event) override {
        record("handleStylusStatusChanged", event);
    }
    void handleKeyboardEvent(const QVariantMap& event) override { record("handleKeyboardEvent", event); }
    void handleVirtualKeyboardEvent(const QVariantMap& event) override {
        record("handleVirtualKeyboardEvent", event);
    }
    void handleVirtualKeyboardSourceEvent(const QVariantMap& event) override {
        record("handleVirtualKeyboardSourceEvent", event);
    }
    void handleHoverEvent(const QVariantMap& event) override { record("handleHoverEvent", event); }
    QPointF getRelativePoint(QPointF) override { return {-1, -1}; }
    bool isInZubScreen(QPointF) override { return false; }
    bool isInMirrorModeForBuiltinDisplay() override { return false; }
    bool isTouchBarEnabled() override { return false; }

private:
    void record(const char* name, const QVariantMap& event) {
        calls << QString::fromLatin1(name);
        events.push_back(event);
    }
};

// The video side's pieces, recording what they were told.
class FakeVideo final : public StreamControl,
                        public ChannelEncoder,
                        public CaptureDestination,
                        public CaptureSource,
                        public CursorForwarding {
public:
    QStringList calls;
    std::shared_ptr<PTChannel> encoderChannel;
    bool hardware = false;

    int count(const QString& call) const { return int(calls.count(call)); }
    void plugInto(SessionPorts& ports);

    bool startStream() override {
        calls << "startStream";
        return true;
    }
    void stopStream() override { calls << "stopStream"; }
    void resetStream() override { calls << "resetStream"; }
    void applicationWillTerminate() override { calls << "applicationWillTerminate"; }
    void setPtChannel(std::shared_ptr<PTChannel> channel) override {
        calls << (channel ? "setPtChannel(channel)" : "setPtChannel(nil)");
        encoderChannel = std::move(channel);
    }
    bool bH264HWCodec() const override { return hardware; }
    void setChannel(int32_t channel) override { calls << QStringLiteral("setChannel(%1)").arg(channel); }
    ChannelEncoder* encoder() const override { return const_cast<FakeVideo*>(this); }
    void stopDisplayStream() override { calls << "stopDisplayStream"; }
    void stopCursorTimer() override { calls << "stopCursorTimer"; }
};

// The device's end of a linked channel: a PTChannel that records what the agent sends.
class TestPeer final : public PTChannelDelegate {
public:
    struct Frame {
        uint32_t type;
        uint32_t tag;
        QByteArray payload;
    };
    std::vector<Frame> frames;
    bool ended = false;

    // Takes one end of a connected socket pair.
    explicit TestPeer(int fd);
    ~TestPeer() override;

    void send(uint32_t type, const QByteArray& payload = {}, uint32_t tag = 0);
    void sendIntroduction(const QVariantMap& info);
    void sendEvent(const QVariantMap& event);
    void close();
    // The texts received, decoded.
    QStringList texts() const;

    void ioFrameChannelDidReceiveFrameOfType(PTChannel*, uint32_t type, uint32_t tag,
                                             const PTData* payload) override;
    uint8_t implementedOperations() const override { return kDidEndWithError; }
    void ioFrameChannelDidEndWithError(PTChannel*, const OptError&) override { ended = true; }

private:
    std::shared_ptr<PTChannel> channel_;
};

// Stands in for the usbmux daemon and the loopback port: records each attempt and lets the test end
// it with a failure or with a connected socket pair. Device notices are posted with this as the hub.
class FakeLinkConnector final : public LinkConnector {
public:
    struct Attempt {
        bool usb = false;
        qint64 deviceID = 0;
        quint16 port = 0;
        std::weak_ptr<PTChannel> channel;
        Callback usbCallback;
        ConnectCallback tcpCallback;
        bool done = false;
    };
    std::vector<Attempt> attempts;

    const void* hub() override { return this; }
    void connectToUSBDevice(PTChannel& channel, quint16 port, qint64 deviceID, Callback callback) override;
    void connectToLocalIPv4Port(PTChannel& channel, quint16 port, ConnectCallback callback) override;

    // The attempts not yet ended, USB or loopback.
    std::vector<size_t> open(bool usb) const;
    size_t count(bool usb) const;
    void fail(size_t index, int err = ECONNREFUSED);
    // Connects the attempt's channel to a new peer, which the test owns.
    std::unique_ptr<TestPeer> succeed(size_t index);
    // Connects the attempt's channel to a plain socket; returns the test's descriptor.
    int succeedRaw(size_t index);

    void attach(qint64 deviceID);
    void detach(qint64 deviceID);

private:
    int connectChannel(size_t index);
};
