#pragma once

#include "base/Error.h"
#include "base/PropertyList.h"

#include <QMap>
#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

class IoChannel;
struct UsbmuxAddress;

// One socket to the usbmux daemon, speaking its packet protocol. Everything runs on the main thread.
//
// A connection ends when the daemon closes it, a read fails, or the daemon sends a length no packet
// can have. Then every request still waiting for its answer fails with an error (so callers can try
// again), no further read is issued, and the socket is closed.
class PTUSBChannel : public std::enable_shared_from_this<PTUSBChannel> {
public:
    using Callback = std::function<void(const OptError&)>;
    // The answer of one request; `answer` is absent when the packet had no payload or on error.
    using ResponseCallback = std::function<void(const OptError&, const std::optional<QVariantMap>& answer)>;
    using PacketCallback =
        std::function<void(const OptError&, const std::optional<QVariantMap>& packet, uint32_t tag)>;
    using BroadcastHandler = std::function<void(const QVariantMap&)>;

    static std::shared_ptr<PTUSBChannel> create();
    ~PTUSBChannel();
    PTUSBChannel(const PTUSBChannel&) = delete;
    PTUSBChannel& operator=(const PTUSBChannel&) = delete;

    // A request: `payload` plus "MessageType", and "ProgName" / "ClientVersionString" (the bundle's
    // "CFBundleName" and "CFBundleVersion") when the bundle has a name.
    static QVariantMap packetDictionaryWithPacketType(const QString& messageType,
                                                      const QVariantMap& payload = {});

    // Connects to the daemon. `onEnd` runs once the socket is finally closed, with nil or the
    // POSIX error of the close. On failure `error` gets a NSPOSIXErrorDomain error and nothing is left open.
    bool openOnQueue(const UsbmuxAddress& address, OptError* error, Callback onEnd);
    // Takes a connected descriptor instead (used by openOnQueue and by tests over socket pairs).
    void openWithDescriptor(int fd, Callback onEnd);

    // Reads packets for as long as the connection lives: tag-0 packets go to `handler`, the answer to
    // the "Listen" request to `callback`.
    void listenWithBroadcastHandler(BroadcastHandler handler, Callback callback);

    void sendRequest(const QVariantMap& request, ResponseCallback callback);
    void sendPacket(const QVariantMap& packet, uint32_t tag, Callback callback);
    void sendPacketOfType(uint32_t type, uint32_t protocol, uint32_t tag, const QByteArray& payload,
                          Callback callback);
    void sendDispatchData(const QByteArray& data, Callback callback);

    // Starts reading packets unless a read is outstanding. Answers go to their requests, tag-0
    // packets to the broadcast handler (a non-null `handler` replaces it).
    void setNeedsReadingPacket();
    void scheduleReadPacketWithBroadcastHandler(BroadcastHandler handler);
    // Reads exactly one packet; fails with EBUSY while another read is outstanding.
    void scheduleReadPacketWithCallback(PacketCallback callback);

    // nil for "Number" 0; otherwise a "PTUSBHubError" with the code and text of the daemon's result.
    // A transport error is returned unchanged.
    static OptError errorFromPlistResponse(const std::optional<QVariantMap>& answer,
                                           const OptError& transport);

    // Closes the socket, letting queued writes finish; waiting requests fail.
    void cancel();

    uint32_t nextPacketTag() { return ++nextPacketTag_; }
    const std::shared_ptr<IoChannel>& dispatchChannel() const { return channel_; }
    bool hasEnded() const { return ended_; }
    bool isReadingPackets() const { return isReadingPackets_; }
    size_t pendingRequestCount() const { return size_t(responseQueue_.size()); }

    // The property-list format requests are written in (answers are read in any format).
    PropertyList::Format requestFormat() const { return requestFormat_; }
    void setRequestFormat(PropertyList::Format format) { requestFormat_ = format; }

private:
    PTUSBChannel();
    void readPacketBody(uint32_t length, PacketCallback callback);
    void endConnection(const Error& error, bool stop);
    void failPendingRequests(const Error& error);

    std::shared_ptr<IoChannel> channel_;
    uint32_t nextPacketTag_ = 0;
    QMap<uint32_t, ResponseCallback> responseQueue_;
    BroadcastHandler broadcastHandler_;
    bool autoReadPackets_ = false;
    bool isReadingPackets_ = false;
    bool ended_ = false;
    PropertyList::Format requestFormat_;
};
