#pragma once

#include "base/Clock.h"
#include "base/Error.h"
#include "base/Lifetime.h"
#include "base/NotificationCenter.h"

#include <QVariantMap>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <vector>

class LinkConnector;
class PTChannel;
class PTChannelDelegate;
class SerialQueue;
class StreamController;
class SystemInfo;
class ZDAppDelegate;

// Keeps exactly one frame channel to the companion app open whenever a device is plugged in: follows
// the daemon's attach and detach notices, tries the app's port on the device and on 127.0.0.1, retries
// every second while nothing is linked, and publishes the link's state. Everything runs on the main
// thread; attempts wait in "PT.notConnectedQueue", which is suspended while a channel is connected.
class ConnectionManager {
public:
    static constexpr quint16 kDefaultPort = 23481;
    static constexpr double kRetryDelay = 1.0;

    // `channelDelegate` is given to every channel made here. `stream` (none: no pictures) hears of
    // every channel, and is reset when the device goes.
    ConnectionManager(LinkConnector& connector, const SystemInfo& systemInfo, StreamController* stream,
                      PTChannelDelegate* channelDelegate);
    ~ConnectionManager();
    ConnectionManager(const ConnectionManager&) = delete;
    ConnectionManager& operator=(const ConnectionManager&) = delete;

    // The shell; not owned.
    void setDelegate(ZDAppDelegate* delegate) { delegate_ = delegate; }

    void setupLink();
    void shutdownLink();
    void startListeningForDevices();

    void enqueueConnectToLocalIPv4Port();
    void enqueueConnectToUSBDevice();
    void connectToLocalIPv4Port();
    void connectToUSBDevice();
    void disconnectFromCurrentChannel();
    void didDisconnectFromDevice(qint64 deviceID);

    void setPtChannelConnected(std::shared_ptr<PTChannel> channel);
    const std::shared_ptr<PTChannel>& ptChannelConnected() const { return _ptChannelConnected; }
    void setBUSBConnected(bool value);
    bool bUSBConnected() const { return _bUSBConnected; }
    void setCurrentChannel(int32_t value);
    int32_t currentChannel() const { return _currentChannel; }
    void setBUSBAttached(bool value) { _bUSBAttached = value; }
    bool bUSBAttached() const { return _bUSBAttached; }
    void setBScreenOff(bool value) { _bScreenOff = value; }
    bool bScreenOff() const { return _bScreenOff; }
    void setBPeerIsInBackground(bool value) { _bPeerIsInBackground = value; }
    bool bPeerIsInBackground() const { return _bPeerIsInBackground; }
    int32_t connectionMode() const { return _connectionMode; }

    std::optional<qint64> connectedDeviceID() const { return _connectedDeviceID; }
    // Told of every change of connectedDeviceID.
    void setConnectedDeviceIDObserver(std::function<void(std::optional<qint64>)> observer) {
        connectedDeviceIDObserver_ = std::move(observer);
    }
    std::optional<qint64> connectingToDeviceID() const { return _connectingToDeviceID; }
    const QVariantMap& connectedDeviceProperties() const { return _connectedDeviceProperties; }
    const std::vector<qint64>& usbDeviceIDs() const { return _usbDeviceIDs; }
    const SerialQueue* notConnectedQueue() const { return _notConnectedQueue.get(); }
    // The channel of the latest USB attempt (closed or connected), nullptr before the first.
    const std::shared_ptr<PTChannel>& usbChannel() const { return _usbChannel; }

    void ioFrameChannelDidEndWithError(PTChannel* channel, const OptError& error);

    // The app's port on the device and on 127.0.0.1 (23481 unless a test moves them).
    void setUSBPort(quint16 port) { usbPort_ = port; }
    void setLoopbackPort(quint16 port) { loopbackPort_ = port; }

private:
    void deviceDidAttach(const Notification& notification);
    void deviceDidDetach(const Notification& notification);
    void targetAttachedDevice(qint64 deviceID, const QVariantMap& properties);
    void usbAttemptDone(const std::shared_ptr<PTChannel>& channel, qint64 deviceID, const OptError& error);
    void loopbackAttemptDone(const std::shared_ptr<PTChannel>& channel, const OptError& error,
                             const QString& peer);
    bool loopbackListenerIsTrusted() const;
    std::shared_ptr<PTChannel> makeChannel(const QVariant& userInfo);
    void setConnectedDeviceID(std::optional<qint64> deviceID);
    // Runs `fn` on the main thread after `seconds`, unless the manager is gone or the link shut down.
    void after(double seconds, std::function<void()> fn);
    void cancelTimers();

    LinkConnector& connector_;
    const SystemInfo& systemInfo_;
    StreamController* stream_;
    PTChannelDelegate* channelDelegate_;
    ZDAppDelegate* delegate_ = nullptr;

    std::optional<qint64> _connectingToDeviceID;
    std::optional<qint64> _connectedDeviceID;
    QVariantMap _connectedDeviceProperties;
    std::unique_ptr<SerialQueue> _notConnectedQueue;
    bool _notConnectedQueueSuspended = false;
    std::shared_ptr<PTChannel> _ipv4Channel;
    std::shared_ptr<PTChannel> _usbChannel;
    std::vector<qint64> _usbDeviceIDs;
    int32_t _iDeviceID = 0;
    bool _bUSBAttached = false;
    bool _bUSBConnected = false;
    bool _bScreenOff = false;
    bool _bPeerIsInBackground = false;
    int32_t _connectionMode = 0;
    int32_t _currentChannel = 0;
    std::shared_ptr<PTChannel> _ptChannelConnected;

    // One attempt of each kind at a time: set from queuing an attempt until it ended and, when it
    // is followed by a retry, until that retry comes due. Repeated requests meanwhile add nothing, so
    // wake-ups, attach notices and retries never multiply into parallel attempt loops.
    bool usbAttemptPending_ = false;
    bool loopbackAttemptPending_ = false;
    bool linkUp_ = false;
    quint16 usbPort_ = kDefaultPort;
    quint16 loopbackPort_ = kDefaultPort;
    std::vector<NotificationCenter::ObserverId> observers_;
    std::set<Clock::TimerId> timers_;
    // Every channel made here that may still call back, so none outlives the manager pointing at it.
    std::vector<std::weak_ptr<PTChannel>> channels_;
    std::function<void(std::optional<qint64>)> connectedDeviceIDObserver_;
    Lifetime<ConnectionManager> lifetime_{this};
};
