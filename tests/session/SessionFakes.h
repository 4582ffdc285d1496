#pragma once

#include "../link/LinkTestSupport.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeDisplayStream.h"
#include "fakes/FakeEncoderServices.h"
#include "fakes/FakeSystemInfo.h"
#include "fakes/ManualClock.h"
#include "fakes/MapStreamDefaults.h"
#include "fakes/TestSupport.h"
#include "link/PTChannel.h"
#include "session/CaptureController.h"
#include "session/LinkConnector.h"
#include "session/ZDAppDelegate.h"

#include <QStringList>
#include <gtest/gtest.h>
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
    void channelChanged(int32_t channel) override {
        calls << QStringLiteral("channelChanged(%1)").arg(channel);
    }
    void updateUI(int32_t channel, int32_t mode) override {
        calls << QStringLiteral("updateUI(%1,%2)").arg(channel).arg(mode);
    }
    int32_t adjustInitialMode(const QVariantMap&) override { return 0; }
    void handleTapEvent(QPointF point, bool ignoreSingleTap) override;
    void handleTwoFingerTapEvent(QPointF point) override { tap("handleTwoFingerTapEvent", point); }
    void handleThreeFingerTapEvent(QPointF point) override { tap("handleThreeFingerTapEvent", point); }
    void handleScrollEvent(const QVariantMap& e) override { record("handleScrollEvent", e); }
    void handleDragEvent(const QVariantMap& e) override { record("handleDragEvent", e); }
    void handlePencilEvent(const QVariantMap& e) override { record("handlePencilEvent", e); }
    void handleZoomEvent(const QVariantMap& e) override { record("handleZoomEvent", e); }
    void handleTwoFingerRotationEvent(const QVariantMap& e) override {
        record("handleTwoFingerRotationEvent", e);
    }
    void handleTwoFingerPanEvent(const QVariantMap& e) override { record("handleTwoFingerPanEvent", e); }
    void handleStylusStatusChanged(const QVariantMap& e) override { record("handleStylusStatusChanged", e); }
    void handleKeyboardEvent(const QVariantMap& e) override { record("handleKeyboardEvent", e); }
    void handleVirtualKeyboardEvent(const QVariantMap& e) override {
        record("handleVirtualKeyboardEvent", e);
    }
    void handleVirtualKeyboardSourceEvent(const QVariantMap& e) override {
        record("handleVirtualKeyboardSourceEvent", e);
    }
    void handleHoverEvent(const QVariantMap& e) override { record("handleHoverEvent", e); }
    void inputInterrupted() override { calls << QStringLiteral("inputInterrupted"); }
    // Onto zubScreen (bottom-left-origin space); none by default.
    QPointF getRelativePoint(QPointF point) override;
    bool isInZubScreen(QPointF point) override { return contains(point); }
    bool isInMirrorModeForBuiltinDisplay() override { return false; }
    bool isTouchBarEnabled() override { return touchBarEnabled; }

    QRectF zubScreen;
    bool touchBarEnabled = false;

private:
    bool contains(QPointF p) const {
        return !zubScreen.isEmpty() && zubScreen.left() <= p.x() && p.x() <= zubScreen.right() &&
               zubScreen.top() <= p.y() && p.y() <= zubScreen.bottom();
    }
    void tap(const char* name, QPointF point);
    void record(const char* name, const QVariantMap& event) {
        calls << QString::fromLatin1(name);
        events.push_back(event);
    }
};

// The device's end of a linked channel: a PTChannel that records what the agent sends.
class TestPeer final : public RecordingDelegate {
public:
    // Takes one end of a connected socket pair.
    explicit TestPeer(int fd);
    ~TestPeer() override;

    void send(uint32_t type, const QByteArray& payload = {}, uint32_t tag = 0);
    void sendIntroduction(const QVariantMap& info) {
        send(PeerMessage::kFrameTypeDeviceInfo, PeerMessage::encodeDictionary(info));
    }
    void sendEvent(const QVariantMap& event) {
        send(PeerMessage::kFrameTypeEvent, PeerMessage::encodeDictionary(event));
    }
    void close() { channel_->close(); }
    bool ended() const { return ends > 0; }
    // The texts received, decoded.
    QStringList texts() const;
    // Every frame received, in order: a text as itself, an event as "event:" and its name.
    QStringList said() const;
    // Runs the event loop until `text` was received.
    bool waitFor(const QString& text);

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
    void fail(size_t index) { end(index, Error::posix(ECONNREFUSED)); }
    // Connects the attempt's channel to a new peer, which the test owns.
    std::unique_ptr<TestPeer> succeed(size_t index);

    void attach(qint64 deviceID);
    void detach(qint64 deviceID);

private:
    void end(size_t index, const OptError& error);
};

// A session controller as the program makes it, on a fake daemon, a manual clock and the real stream
// over fake displays, capture and encoders; the device is a TestPeer.
class SessionRig {
public:
    static constexpr bool kUSB = true;
    static constexpr bool kLoopback = false;

    SessionRig();
    // A new controller on a new fake daemon; `controller` and `link` point at them.
    std::unique_ptr<CaptureController> make();

    // Lets queued blocks and posted calls run (no time passes on the manual clock).
    static void settle();
    // The index of the one open attempt of that kind, once there is one.
    size_t openAttempt(bool usb);
    // A device attached and linked over USB (not yet introduced).
    std::unique_ptr<TestPeer> linkDevice(qint64 deviceID);
    void introduce(TestPeer& peer, const QVariantMap& info = {{"protocolVersion", "1.0.10"}});
    // Ends every open loopback attempt as refused (nothing listens there).
    void refuseLoopback();
    // The stream of the controller.
    StreamController& stream() { return *controller->stream(); }

    ManualClock clock;
    FakeSystemInfo info;
    FakeDisplayServices displays;
    FakeDisplayStreamFactory streams;
    MapStreamDefaults streamDefaults;
    std::shared_ptr<FakeEncoderServices> encoders = std::make_shared<FakeEncoderServices>();
    FakeLinkConnector* link = nullptr;
    CaptureController* controller = nullptr;
};

// A controller as the session tests drive it, with the shell recorded and display 3 (1024x768 points)
// to stream.
class SessionTest : public ::testing::Test, public SessionRig {
protected:
    SessionTest() : owned(make()) {
        controller->setDelegate(&delegate);
        displays.addDisplay({.id = 3, .bounds = QRectF(0, 0, 1024, 768), .name = QStringLiteral("Main")});
    }

    RecordingAppDelegate delegate;
    std::unique_ptr<CaptureController> owned;
};
