#pragma once

#include "base/Error.h"
#include "session/LinkConnector.h"
#include "session/PeerMessage.h"
#include "session/SessionPorts.h"

#include <QSizeF>
#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class ConnectionManager;
class PeerMessageHandler;
class PTChannel;
class PTData;
class SerialQueue;
class SystemInfo;
class ZDAppDelegate;

// The session controller: keeps the one link to the companion app (ConnectionManager) and speaks
// its messages (PeerMessageHandler), under the operation names the rest of the program calls.
// The video side plugs its stream control, destinations, encoders, capture source and cursor
// forwarding in through SessionPorts; until it does, those calls are skipped. Main thread only.
class CaptureController {
public:
    // `systemInfo` must outlive the controller. Without a connector the real one is used: the
    // shared PTUSBHub (which follows the usbmux daemon) and TCP on 127.0.0.1.
    explicit CaptureController(const SystemInfo& systemInfo,
                               std::unique_ptr<LinkConnector> connector = nullptr);
    ~CaptureController();
    CaptureController(const CaptureController&) = delete;
    CaptureController& operator=(const CaptureController&) = delete;

    // The shell; not owned.
    void setDelegate(ZDAppDelegate* delegate);
    ZDAppDelegate* delegate() const;

    // Where the video side plugs in; nothing in it is owned.
    SessionPorts& ports() { return *ports_; }

    // -- The link. The owner calls setupLink once it is ready to hear of devices.
    void setupLink();
    void shutdownLink();
    // Quitting: the link shut down, the cursor monitors removed and a running stream stopped.
    void applicationShouldTerminate();
    void startListeningForDevices();
    void enqueueConnectToLocalIPv4Port();
    void enqueueConnectToUSBDevice();
    void connectToLocalIPv4Port();
    void connectToUSBDevice();
    void disconnectFromCurrentChannel();
    void didDisconnectFromDevice(qint64 deviceID);

    void setPtChannelConnected(std::shared_ptr<PTChannel> channel);
    std::shared_ptr<PTChannel> ptChannelConnected() const;
    void setBUSBConnected(bool value);
    bool bUSBConnected() const;
    void setCurrentChannel(int32_t value);
    int32_t currentChannel() const;
    void setBUSBAttached(bool value);
    bool bUSBAttached() const;
    // Display sleep (YES) stops attempts from being queued; after wake the shell queues both again.
    void setBScreenOff(bool value);
    bool bScreenOff() const;
    void setBPeerIsInBackground(bool value);
    bool bPeerIsInBackground() const;
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
    void handleEventFromPeer(const QVariantMap& event);
    void handleResizeEvent(QSizeF size);
    bool checkPeerProtocolVersion(const QString& version) const;
    QString getDeviceInfo() const;
    // The app's introduction (empty before one arrived); the shell may replace it with a richer copy.
    QVariantMap peerDeviceInfo() const;
    void setPeerDeviceInfo(const QVariantMap& info);

    // -- What every channel made here reports (main thread).
    bool ioFrameChannelShouldAcceptFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                               uint32_t payloadSize);
    void ioFrameChannelDidReceiveFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                             const PTData* payload);
    void ioFrameChannelDidEndWithError(PTChannel* channel, const OptError& error);

    // The app's port on the device and on 127.0.0.1; 23481 unless changed (for tests).
    void setUSBPort(quint16 port);
    void setLoopbackPort(quint16 port);
    // The concerns themselves, for tests and for the parts that need more than the facade.
    ConnectionManager& connectionManager() { return *link_; }
    PeerMessageHandler& peerMessages() { return *peer_; }

private:
    class ChannelEvents;

    std::unique_ptr<SessionPorts> ports_;
    std::unique_ptr<LinkConnector> connector_;
    std::unique_ptr<ChannelEvents> channelEvents_;
    std::unique_ptr<ConnectionManager> link_;
    std::unique_ptr<PeerMessageHandler> peer_;
};
