#pragma once

#include "base/Error.h"
#include "link/PTChannel.h"
#include "session/CursorForwarder.h"
#include "session/LinkConnector.h"
#include "session/PeerMessage.h"
#include "video/StreamController.h"
#include "video/StreamHost.h"

#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class ConnectionManager;
class PeerMessageHandler;
class SystemInfo;
class ZDAppDelegate;

// The session controller: keeps the one link to the companion app (ConnectionManager), speaks its
// messages (PeerMessageHandler) and owns the stream that pictures go out on (StreamController), under
// the operation names the rest of the program calls. It is the delegate of every channel it makes and
// the stream's host. Main thread only.
class CaptureController final : public PTChannelDelegate, public StreamHost {
public:
    // `systemInfo` must outlive the controller. Without a connector the real one is used: the
    // shared PTUSBHub (which follows the usbmux daemon) and TCP on 127.0.0.1. Without stream services
    // the controller keeps the link and speaks the messages, and shows no pictures.
    explicit CaptureController(const SystemInfo& systemInfo,
                               std::unique_ptr<LinkConnector> connector = nullptr,
                               std::optional<StreamController::Services> stream = std::nullopt);
    ~CaptureController() override;
    CaptureController(const CaptureController&) = delete;
    CaptureController& operator=(const CaptureController&) = delete;

    // The shell; not owned.
    void setDelegate(ZDAppDelegate* delegate);
    ZDAppDelegate* delegate() const { return delegate_; }

    // -- The link. The owner calls setupLink once it is ready to hear of devices.
    void setupLink();
    void shutdownLink();
    // Quitting: the link shut down, the cursor monitors removed and a running stream stopped.
    void applicationShouldTerminate();
    void enqueueConnectToLocalIPv4Port();
    void enqueueConnectToUSBDevice();

    std::shared_ptr<PTChannel> ptChannelConnected() const;
    bool bUSBConnected() const;
    int32_t currentChannel() const;
    bool bUSBAttached() const;
    // False while nothing answers on the usbmux daemon's socket.
    bool usbmuxdRunning() const { return connector_->daemonReachable(); }
    // Display sleep (YES) stops attempts from being queued; after wake the shell queues both again.
    void setBScreenOff(bool value);
    int32_t connectionMode() const;
    std::optional<qint64> connectedDeviceID() const;
    void setConnectedDeviceIDObserver(std::function<void(std::optional<qint64>)> observer);
    QVariantMap connectedDeviceProperties() const;

    // -- The app's messages.
    // `channel` kChannelCurrent means the current channel; nothing is sent unless it is kChannelUSB.
    // `sent` (optional) hears when the text has left, failed, or was not sent (ENOTCONN).
    void sendMessage(const QString& message, int32_t channel,
                     std::function<void(const OptError&)> sent = nullptr);
    void sendEvent(const QVariantMap& event, int32_t type, int32_t channel);
    bool checkPeerProtocolVersion(const QString& version) const override;
    // The app's introduction (empty before one arrived); the display side may replace it with a
    // richer copy.
    QVariantMap peerDeviceInfo() const override;
    void setPeerDeviceInfo(const QVariantMap& info);

    // -- The stream: none without stream services.
    StreamController* stream() const { return stream_.get(); }
    // -- StreamHost: a text to the device on the current channel.
    void sendMessage(const QString& message) override { sendMessage(message, PeerMessage::kChannelCurrent); }

    // -- PTChannelDelegate: frames go to the messages, ends to the link (main thread).
    uint8_t implementedOperations() const override { return kShouldAcceptFrame | kDidEndWithError; }
    bool ioFrameChannelShouldAcceptFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                               uint32_t payloadSize) override;
    void ioFrameChannelDidReceiveFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                             const PTData* payload) override;
    void ioFrameChannelDidEndWithError(PTChannel* channel, const OptError& error) override;

    // -- Cursor forwarding. Without its services the picture keeps the cursor and none is forwarded.
    void setCursorServices(CursorForwarder::Services services);
    // The user's "UseSystemMouseCursor" choice, after it was stored: on, the picture shows the
    // desktop's own cursor; off, the device draws the cursor it is sent apart from the picture. A
    // linked device's stream is set up again for the change.
    void useSystemCursor(bool on);
    bool usesSystemCursor() const { return useSystemCursor_; }
    // -- StreamHost: whether the cursor is forwarded (the picture then leaves it out).
    bool simulateCursorPos() const override;
    void registerMouseEvent() override;
    void unregisterMouseEvent() override;
    void hideCursor();
    void unhideCursor();
    // The pointer moved (the shell calls it after moving the pointer itself).
    void mouseCursorMoved();
    CursorForwarder* cursorForwarder() const { return cursor_.get(); }

    // The app's port on 127.0.0.1; 23481 unless a test moves it.
    void setLoopbackPort(quint16 port);
    // The concerns themselves, for tests and for the parts that need more than the facade.
    ConnectionManager& connectionManager() { return *link_; }

private:
    ZDAppDelegate* delegate_ = nullptr;
    std::unique_ptr<LinkConnector> connector_;
    std::unique_ptr<StreamController> stream_;
    std::unique_ptr<ConnectionManager> link_;
    std::unique_ptr<PeerMessageHandler> peer_;
    std::unique_ptr<CursorForwarder> cursor_;
    bool useSystemCursor_ = false;
};
