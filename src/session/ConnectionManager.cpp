#include "session/ConnectionManager.h"

#include "base/Logging.h"
#include "base/MainQueue.h"
#include "link/PTChannel.h"
#include "link/PTUSBHub.h"
#include "platform/SystemInfo.h"
#include "session/LinkConnector.h"
#include "session/PeerMessage.h"
#include "session/ZDAppDelegate.h"
#include "video/AppleVTCompressor.h"
#include "video/StreamController.h"

#include <algorithm>

namespace {

// A device ID from a notice's value; the daemon sends integers.
std::optional<qint64> deviceIDOf(const QVariant& value) {
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return value.toLongLong();
    default:
        return std::nullopt;
    }
}

bool userInfoIsDevice(const PTChannel& channel, qint64 deviceID) {
    const QVariant& info = channel.userInfo();
    return info.typeId() == QMetaType::LongLong && info.toLongLong() == deviceID;
}

} // namespace

ConnectionManager::ConnectionManager(LinkConnector& connector, const SystemInfo& systemInfo,
                                     StreamController* stream, PTChannelDelegate* channelDelegate)
    : connector_(connector), systemInfo_(systemInfo), stream_(stream), channelDelegate_(channelDelegate) {}

ConnectionManager::~ConnectionManager() {
    lifetime_.end();
    cancelTimers();
    for (auto id : observers_)
        NotificationCenter::defaultCenter().removeObserver(id);
    // A channel that is still open must not call back into a manager that is gone.
    for (const auto& weak : channels_)
        if (auto channel = weak.lock()) {
            channel->setDelegate(nullptr);
            channel->close();
        }
}

void ConnectionManager::after(double seconds, std::function<void()> fn) {
    auto id = std::make_shared<Clock::TimerId>(0);
    *id = mainQueue().after(seconds, [self = lifetime_.guard(), id, fn = std::move(fn)]() {
        if (!self) return;
        self->timers_.erase(*id);
        fn();
    });
    timers_.insert(*id);
}

void ConnectionManager::cancelTimers() {
    for (auto id : timers_)
        Clock::shared().cancel(id);
    timers_.clear();
}

// ---- set-up and shut-down

void ConnectionManager::setupLink() {
    if (!_notConnectedQueue)
        _notConnectedQueue = std::make_unique<SerialQueue>(QStringLiteral("PT.notConnectedQueue"));
    linkUp_ = true;
    startListeningForDevices();
    enqueueConnectToLocalIPv4Port();
}

void ConnectionManager::startListeningForDevices() {
    if (!observers_.empty()) return;
    const void* hub = connector_.hub();
    auto& center = NotificationCenter::defaultCenter();
    observers_.push_back(center.addObserver(kPTUSBDeviceDidAttachNotification, hub,
                                            [this](const Notification& n) { deviceDidAttach(n); }));
    observers_.push_back(center.addObserver(kPTUSBDeviceDidDetachNotification, hub,
                                            [this](const Notification& n) { deviceDidDetach(n); }));
    connector_.startListening();
}

void ConnectionManager::shutdownLink() {
    for (auto id : observers_)
        NotificationCenter::defaultCenter().removeObserver(id);
    observers_.clear();
    connector_.stopListening();
    // Quitting: no retry may bring the link back behind the shell's back.
    linkUp_ = false;
    cancelTimers();
    usbAttemptPending_ = false;
    loopbackAttemptPending_ = false;
    disconnectFromCurrentChannel();
    if (_ipv4Channel) _ipv4Channel->close();
    _ipv4Channel.reset();
    if (_usbChannel) _usbChannel->close();
    _usbChannel.reset();
    if (stream_)
        if (DesktopCapture* capture = stream_->videoCaptureSession()) capture->stopDisplayStream();
}

// ---- device notices

void ConnectionManager::deviceDidAttach(const Notification& notification) {
    const std::optional<qint64> deviceID =
        deviceIDOf(notification.userInfo.value(QStringLiteral("DeviceID")));
    if (!deviceID) return;
    _usbDeviceIDs.push_back(*deviceID);
    const QVariantMap properties = notification.userInfo.value(QStringLiteral("Properties")).toMap();
    // Decided on the not-connected queue, so a device that comes while another one is linked waits
    // for that link to drop. The queue runs on the main thread: the device list needs no lock.
    auto deferred = [this, id = *deviceID, properties]() {
        if (_notConnectedQueue)
            _notConnectedQueue->async([this, id, properties]() { targetAttachedDevice(id, properties); });
    };
    if (_connectingToDeviceID)
        after(kRetryDelay, deferred);
    else
        deferred();
}

void ConnectionManager::targetAttachedDevice(qint64 deviceID, const QVariantMap& properties) {
    if (std::find(_usbDeviceIDs.begin(), _usbDeviceIDs.end(), deviceID) == _usbDeviceIDs.end())
        return; // gone again
    if (_connectingToDeviceID == deviceID) return;
    disconnectFromCurrentChannel();
    _connectingToDeviceID = deviceID;
    _connectedDeviceProperties = properties;
    setBUSBAttached(true);
    enqueueConnectToUSBDevice();
    // The loopback loop stops whenever no device is attached; a device makes it run again.
    enqueueConnectToLocalIPv4Port();
}

void ConnectionManager::deviceDidDetach(const Notification& notification) {
    const std::optional<qint64> deviceID =
        deviceIDOf(notification.userInfo.value(QStringLiteral("DeviceID")));
    if (!deviceID) return;
    std::erase(_usbDeviceIDs, *deviceID);
    if (!_usbDeviceIDs.empty()) return;
    setBUSBAttached(false);
    _iDeviceID = 0;
    _connectedDeviceProperties.clear();
    _connectingToDeviceID.reset();
    // The channel's end clears the rest.
    if (_ptChannelConnected) _ptChannelConnected->close();
}

// ---- attempts

void ConnectionManager::enqueueConnectToUSBDevice() {
    if (_bScreenOff || !_bUSBAttached || !_notConnectedQueue || !linkUp_ || usbAttemptPending_) return;
    usbAttemptPending_ = true;
    _notConnectedQueue->async([self = lifetime_.guard()]() {
        mainQueue().async([self]() {
            if (self) self->connectToUSBDevice();
        });
    });
}

void ConnectionManager::enqueueConnectToLocalIPv4Port() {
    if (_bScreenOff || !_bUSBAttached || !_notConnectedQueue || !linkUp_ || loopbackAttemptPending_) return;
    loopbackAttemptPending_ = true;
    _notConnectedQueue->async([self = lifetime_.guard()]() {
        mainQueue().async([self]() {
            if (self) self->connectToLocalIPv4Port();
        });
    });
}

std::shared_ptr<PTChannel> ConnectionManager::makeChannel(const QVariant& userInfo) {
    std::erase_if(channels_, [](const std::weak_ptr<PTChannel>& weak) { return weak.expired(); });
    auto channel = PTChannel::channelWithDelegate(channelDelegate_);
    channel->setUserInfo(userInfo);
    channels_.push_back(channel);
    return channel;
}

void ConnectionManager::connectToUSBDevice() {
    // Nothing to aim at any more (the last device left while this attempt waited), or quitting.
    if (!_connectingToDeviceID || !linkUp_) {
        usbAttemptPending_ = false;
        return;
    }
    usbAttemptPending_ = true;
    const qint64 deviceID = *_connectingToDeviceID;
    auto channel = makeChannel(QVariant::fromValue<qint64>(deviceID));
    _usbChannel = channel;
    std::weak_ptr<PTChannel> weakChannel = channel;
    connector_.connectToUSBDevice(*channel, usbPort_, deviceID,
                                  [self = lifetime_.guard(), weakChannel, deviceID](const OptError& error) {
                                      if (self) self->usbAttemptDone(weakChannel.lock(), deviceID, error);
                                  });
}

void ConnectionManager::usbAttemptDone(const std::shared_ptr<PTChannel>& channel, qint64 deviceID,
                                       const OptError& error) {
    if (!error && channel) {
        usbAttemptPending_ = false;
        // Superseded, shut down, or linked another way meanwhile: exactly one link stays.
        if (channel != _usbChannel || !linkUp_ || (_ptChannelConnected && _ptChannelConnected != channel)) {
            channel->close();
            // Beaten by the loopback link: the device is tried again once that link is gone (the
            // retry waits in the suspended queue), or it would never be linked over USB again.
            if (channel == _usbChannel && linkUp_)
                after(kRetryDelay, [this]() { enqueueConnectToUSBDevice(); });
            return;
        }
        // The device this channel reaches, even if the target moved on while it connected.
        setConnectedDeviceID(deviceID);
        setPtChannelConnected(channel);
        qCInfo(lcSession, "link up: device %lld over USB, port %u", deviceID, unsigned(usbPort_));
        return;
    }
    // Rotate to another attached device, so one whose app is not running does not hold up the rest.
    const auto count = int32_t(_usbDeviceIDs.size());
    for (int32_t i = 0; i < count; ++i) {
        _iDeviceID = _iDeviceID + 1 >= count ? 0 : _iDeviceID + 1;
        if (_usbDeviceIDs[size_t(_iDeviceID)] != _connectingToDeviceID) {
            _connectingToDeviceID = _usbDeviceIDs[size_t(_iDeviceID)];
            break;
        }
    }
    if (!_connectingToDeviceID || !linkUp_) {
        usbAttemptPending_ = false;
        return;
    }
    after(kRetryDelay, [this]() {
        usbAttemptPending_ = false;
        enqueueConnectToUSBDevice();
    });
}

void ConnectionManager::connectToLocalIPv4Port() {
    if (!linkUp_) {
        loopbackAttemptPending_ = false;
        return;
    }
    loopbackAttemptPending_ = true;
    // Nobody we trust listens (or nobody at all): no connect is made, so a stranger's listener
    // cannot even hold an attempt open.
    if (!loopbackListenerIsTrusted()) {
        loopbackAttemptDone(nullptr, std::nullopt, QString());
        return;
    }
    const QString peer = QStringLiteral("127.0.0.1:%1").arg(loopbackPort_);
    auto channel = makeChannel(peer);
    _ipv4Channel = channel;
    std::weak_ptr<PTChannel> weakChannel = channel;
    connector_.connectToLocalIPv4Port(
        *channel, loopbackPort_,
        [self = lifetime_.guard(), weakChannel, peer](const OptError& error, const PTAddress&) {
            if (self) self->loopbackAttemptDone(weakChannel.lock(), error, peer);
        });
}

bool ConnectionManager::loopbackListenerIsTrusted() const {
    // Any local process may listen on the port; only our own user's or root's listener gets the
    // picture and may inject input.
    const std::vector<quint32> owners = systemInfo_.listeningSocketOwners(loopbackPort_);
    const quint32 self = systemInfo_.userID();
    return !owners.empty() &&
           std::all_of(owners.begin(), owners.end(), [self](quint32 uid) { return uid == self || uid == 0; });
}

void ConnectionManager::loopbackAttemptDone(const std::shared_ptr<PTChannel>& channel, const OptError& error,
                                            const QString& peer) {
    if (!error && channel) {
        // A link that landed while this attempt was under way stays: the first link wins. The
        // listener's owner is checked again, as the port may have changed hands during the connect.
        if (channel != _ipv4Channel || !linkUp_ || (_ptChannelConnected && _ptChannelConnected != channel) ||
            !loopbackListenerIsTrusted()) {
            // Closed before anything it sent is read.
            channel->close();
        } else {
            disconnectFromCurrentChannel();
            setPtChannelConnected(channel);
            channel->setUserInfo(peer);
            qCInfo(lcSession, "link up: %s over loopback TCP", qUtf8Printable(peer));
        }
    }
    if (!linkUp_) {
        loopbackAttemptPending_ = false;
        return;
    }
    // Tried again in every case; while linked the attempt waits in the suspended queue.
    after(kRetryDelay, [this]() {
        loopbackAttemptPending_ = false;
        enqueueConnectToLocalIPv4Port();
    });
}

// ---- link state

void ConnectionManager::disconnectFromCurrentChannel() {
    if (!_connectedDeviceID || !_ptChannelConnected) return;
    auto channel = _ptChannelConnected;
    qCInfo(lcSession, "link down: device %lld: closed by the agent", *_connectedDeviceID);
    channel->close();
    setPtChannelConnected(nullptr);
}

void ConnectionManager::setConnectedDeviceID(std::optional<qint64> deviceID) {
    if (_connectedDeviceID == deviceID) return;
    _connectedDeviceID = deviceID;
    if (connectedDeviceIDObserver_) connectedDeviceIDObserver_(_connectedDeviceID);
}

void ConnectionManager::didDisconnectFromDevice(qint64 deviceID) {
    if (_connectedDeviceID != deviceID) return;
    setConnectedDeviceID(std::nullopt);
    if (_bUSBConnected) {
        setBUSBConnected(false);
    } else if (linkUp_) {
        // Dropped before the app introduced itself: nothing else would try this device again.
        after(kRetryDelay, [this]() { enqueueConnectToUSBDevice(); });
    }
}

void ConnectionManager::setPtChannelConnected(std::shared_ptr<PTChannel> channel) {
    _ptChannelConnected = std::move(channel);
    if (_notConnectedQueue) {
        if (_ptChannelConnected && !_notConnectedQueueSuspended) {
            _notConnectedQueue->suspend();
            _notConnectedQueueSuspended = true;
        } else if (!_ptChannelConnected && _notConnectedQueueSuspended) {
            _notConnectedQueue->resume();
            _notConnectedQueueSuspended = false;
        }
    }
    if (stream_)
        if (AppleVTCompressor* encoder = stream_->activeCompressor())
            encoder->setPtChannel(_ptChannelConnected);
}

void ConnectionManager::setBUSBConnected(bool value) {
    if (value == _bUSBConnected) return;
    if (value) {
        _bUSBConnected = true;
        setCurrentChannel(PeerMessage::kChannelUSB);
    } else {
        if (linkUp_) after(kRetryDelay, [this]() { enqueueConnectToUSBDevice(); });
        _bUSBConnected = false;
        setCurrentChannel(PeerMessage::kChannelNone);
    }
}

void ConnectionManager::setCurrentChannel(int32_t value) {
    if (value == PeerMessage::kChannelNone) {
        if (stream_) stream_->resetStream();
        setBPeerIsInBackground(false);
    }
    if (value != _currentChannel) {
        _currentChannel = value;
        if (stream_)
            for (const auto& destination : stream_->captureDestinations())
                destination->setChannel(value);
        if (delegate_) delegate_->channelChanged(value);
    }
    if (delegate_) delegate_->updateUI(value, _connectionMode);
}

void ConnectionManager::ioFrameChannelDidEndWithError(PTChannel* channel, const OptError& error) {
    if (!channel) return;
    if (_ptChannelConnected && channel == _ptChannelConnected.get())
        qCInfo(lcSession, "link down: %s%s: %s",
               channel->userInfo().typeId() == QMetaType::LongLong ? "device " : "",
               qUtf8Printable(channel->userInfo().toString()),
               error ? qUtf8Printable(error->description) : "connection closed");
    if (_connectedDeviceID && userInfoIsDevice(*channel, *_connectedDeviceID))
        didDisconnectFromDevice(*_connectedDeviceID);
    if (_ptChannelConnected && channel == _ptChannelConnected.get()) setPtChannelConnected(nullptr);
}
