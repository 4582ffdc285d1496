#pragma once

#include "session/SessionPorts.h"
#include "video/StreamController.h"
#include "video/StreamHost.h"

#include <memory>

class CaptureController;
class StreamDefaults;

// Puts the stream under the session: owns the stream controller, answers its questions from the
// session controller (messages to the device, the introduction, the protocol version), and plugs the
// stream's lifecycle, its destination, its encoder and its capture source into the session's ports, so
// that "ReadyToReceive" starts pictures, a link change reaches the destination and the encoder, and a
// device that goes resets the stream. Main thread only; lives no longer than the session controller.
class StreamBinding final : public StreamHost {
public:
    StreamBinding(CaptureController& session, StreamDefaults& defaults, StreamController::Services services);
    ~StreamBinding() override;
    StreamBinding(const StreamBinding&) = delete;
    StreamBinding& operator=(const StreamBinding&) = delete;

    StreamController& stream() { return *stream_; }

    // -- StreamHost
    void sendMessage(const QString& message) override;
    bool checkPeerProtocolVersion(const QString& version) const override;
    // The device draws the cursor itself when the user did not ask for the system cursor and the
    // device speaks protocol 1.0.2 or later; but only while something tells it where the cursor is,
    // else the picture keeps the cursor.
    bool simulateCursorPos() const override;
    void registerMouseEvent() override;
    void unregisterMouseEvent() override;
    QVariantMap peerDeviceInfo() const override;

    // The cursor forwarding that follows the pointer while the device draws it; none until it exists.
    class CursorMonitor {
    public:
        virtual ~CursorMonitor() = default;
        virtual void registerMouseEvent() = 0;
        virtual void unregisterMouseEvent() = 0;
    };
    void setCursorMonitor(CursorMonitor* monitor) { cursorMonitor_ = monitor; }

private:
    class Control;
    class Encoder;
    class Destination;
    class Source;

    CaptureController& session_;
    StreamDefaults& defaults_;
    CursorMonitor* cursorMonitor_ = nullptr;
    std::unique_ptr<StreamController> stream_;
    std::unique_ptr<Control> control_;
    std::unique_ptr<Encoder> encoder_;
    std::unique_ptr<Destination> destination_;
    std::unique_ptr<Source> source_;
};
