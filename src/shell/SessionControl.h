#pragma once

#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <functional>

// What the shell asks of the session controller (`CaptureController`), under its operation names.
// The program wraps the real controller (CaptureSession); the tests use a recording fake.
class SessionControl {
public:
    // The application's answer to a request to quit.
    enum class TerminateReply { Cancel = 0, Now = 1, Later = 2 };

    virtual ~SessionControl() = default;

    // Channels and frame types as in PeerMessage: sends go out only while the channel is kChannelUSB.
    virtual int32_t currentChannel() const = 0;
    virtual int32_t connectionMode() const = 0;
    // `sent` (may be empty) runs once, on the main thread, when the message has left the process, or
    // failed, or was dropped because no device is introduced.
    virtual void sendMessage(const QString& message, int32_t channel, std::function<void()> sent) = 0;
    virtual void sendEvent(const QVariantMap& event, int32_t type, int32_t channel) = 0;
    // Whether the device speaks this protocol version or a later one.
    virtual bool checkPeerProtocolVersion(const QString& /*version*/) const { return false; }
    virtual void setBScreenOff(bool screenOff) = 0;
    virtual void enqueueConnectToLocalIPv4Port() = 0;
    virtual void enqueueConnectToUSBDevice() = 0;
    virtual void stopStream() = 0;
    // Shuts the link down (`shutdownLink`) and stops a running stream.
    virtual TerminateReply applicationShouldTerminate() = 0;
};
