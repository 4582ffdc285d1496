#pragma once

#include "base/Error.h"

#include <QSizeF>
#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <functional>

class ConnectionManager;
class PTChannel;
class PTData;
class StreamController;
class SystemInfo;
class ZDAppDelegate;

// The companion app's side of the conversation: which frames are accepted, the introduction and its
// answer, the routing of every event to the shell or the stream, and sending texts and events to the
// app over the connected channel. Main thread only.
class PeerMessageHandler {
public:
    // `stream` (none: no pictures) starts and stops as the device asks.
    PeerMessageHandler(ConnectionManager& link, StreamController* stream, const SystemInfo& systemInfo);

    // The shell, which every input event goes to; not owned.
    void setDelegate(ZDAppDelegate* delegate) { delegate_ = delegate; }

    bool ioFrameChannelShouldAcceptFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                               uint32_t payloadSize);
    void ioFrameChannelDidReceiveFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                             const PTData* payload);

    void handleEventFromPeer(const QVariantMap& event);
    void handleResizeEvent(QSizeF size);

    // Sent only while the channel (kChannelCurrent: the current one) is USB, on the connected channel.
    // `sent`, when given, runs once the text has been written or has failed, or at once with ENOTCONN
    // when it is not sent at all: so a last message can be waited for before the link goes.
    void sendMessage(const QString& message, int32_t channel,
                     std::function<void(const OptError&)> sent = nullptr);
    void sendEvent(const QVariantMap& event, int32_t type, int32_t channel);

    // Whether `version` is not newer than the introduced app's "protocolVersion" (NO without one).
    bool checkPeerProtocolVersion(const QString& version) const;
    // The machine's model identifier.
    QString getDeviceInfo() const;

    // The app's introduction; empty before the first one or when it did not parse.
    const QVariantMap& peerDeviceInfo() const { return _peerDeviceInfo; }
    void setPeerDeviceInfo(const QVariantMap& info) { _peerDeviceInfo = info; }
    bool bDeviceResignActive() const { return _bDeviceResignActive; }

    // "Version:%@ OS:%@ Hardware:%@ Protocol:%@ H264:%d", the answer to an introduction.
    QString introductionReply(bool hardwareEncoder) const;

private:
    void handleDeviceInfo(const QByteArray& payload);
    bool sendingChannel(int32_t channel) const;

    ConnectionManager& link_;
    StreamController* stream_;
    const SystemInfo& systemInfo_;
    ZDAppDelegate* delegate_ = nullptr;

    QVariantMap _peerDeviceInfo;
    bool _bDeviceResignActive = false;
    bool _bDeviceResized = false;
    QSizeF _newDeviceSize;
};
