#pragma once

#include "base/Error.h"
#include "link/PTAddress.h"
#include "link/PTData.h"

#include <QVariant>
#include <cstdint>
#include <functional>
#include <memory>

class IoChannel;
class PTChannel;
class PTProtocol;
class PTUSBHub;

// Told about one channel's frames and its end, always on the main thread.
class PTChannelDelegate {
public:
    // Which optional operations this delegate implements (the channel's delegateFlags_).
    enum OptionalOperation : uint8_t {
        kShouldAcceptFrame = 1 << 0,
        kDidEndWithError = 1 << 1,
        kDidAcceptConnection = 1 << 2,
    };

    virtual ~PTChannelDelegate() = default;

    // `payload` is nullptr for a frame without payload; it lives for the call (keep its bytes to hold it).
    virtual void ioFrameChannelDidReceiveFrameOfType(PTChannel* channel, uint32_t type, uint32_t tag,
                                                     const PTData* payload) = 0;

    virtual uint8_t implementedOperations() const { return 0; }
    virtual bool ioFrameChannelShouldAcceptFrameOfType(PTChannel*, uint32_t /*type*/, uint32_t /*tag*/,
                                                       uint32_t /*payloadSize*/) {
        return true;
    }
    virtual void ioFrameChannelDidEndWithError(PTChannel*, const OptError&) {}
    // The new channel lives as long as someone holds it: keep `channel` to keep the connection.
    virtual void ioFrameChannelDidAcceptConnection(PTChannel* /*listening*/,
                                                   std::shared_ptr<PTChannel> /*channel*/, const PTAddress&) {
    }
};

// One framed connection, or one listening socket. Made for one connection: any connect or listen
// call in a state other than closed fails with NSPOSIXErrorDomain code 1.
class PTChannel : public std::enable_shared_from_this<PTChannel> {
public:
    using Callback = std::function<void(const OptError&)>;
    using ConnectCallback = std::function<void(const OptError&, const PTAddress&)>;

    enum ConnState : uint8_t { kClosed = 0, kConnecting = 1, kConnected = 2, kListening = 3 };

    static std::shared_ptr<PTChannel> channelWithDelegate(PTChannelDelegate* delegate);
    static std::shared_ptr<PTChannel> create(std::shared_ptr<PTProtocol> protocol,
                                             PTChannelDelegate* delegate = nullptr);
    // Dropping the last reference ends the connection without telling the delegate; frames already
    // sent are still written first.
    ~PTChannel();

    void setDelegate(PTChannelDelegate* delegate);
    PTChannelDelegate* delegate() const { return delegate_; }

    // A TCP connect that has not completed by then fails with ETIMEDOUT.
    static constexpr double kConnectTimeout = 2.0;

    // Port and address in host order (INADDR_LOOPBACK for 127.0.0.1). Never blocks: the callback
    // comes at once when the connect completes or fails at once, else later from the event loop.
    void connectToPort(uint16_t port, uint32_t ipv4Address, ConnectCallback callback);
    void connectToPortOverUSBHub(uint16_t port, PTUSBHub* hub, qint64 deviceID, Callback callback);
    void listenOnPort(uint16_t port, uint32_t ipv4Address, Callback callback);

    // A null or empty payload sends a frame without payload; the payload is referenced, not copied.
    void sendFrameOfType(uint32_t type, uint32_t tag, const QByteArray& payload, Callback callback);

    void close();
    void cancel();

    bool isConnected() const { return connState_ == kConnecting || connState_ == kConnected; }
    bool isListening() const { return connState_ == kListening; }
    ConnState connState() const { return connState_; }
    // The local port of a listening channel (useful after listening on port 0).
    uint16_t localPort() const;

    const QVariant& userInfo() const { return userInfo_; }
    void setUserInfo(const QVariant& userInfo) { userInfo_ = userInfo; }
    const std::shared_ptr<PTProtocol>& protocol() const { return protocol_; }
    void setProtocol(std::shared_ptr<PTProtocol> protocol) { protocol_ = std::move(protocol); }

    // The I/O channel of a connected socket, or nullptr. device-sim writes raw bytes on it, so that they
    // keep their place among the frames.
    const std::shared_ptr<IoChannel>& dispatchChannel() const { return dispatchObj_channel_; }

    // Starts the frame loop on a connected I/O channel (used by connect and accept).
    bool startReadingFromConnectedChannel(std::shared_ptr<IoChannel> channel, OptError* error);
    // Takes an already connected stream socket (one end of a socketpair, say) as if it had been
    // accepted: the channel owns the descriptor from now on, also when this fails.
    bool startReadingFromConnectedSocket(int fd, OptError* error);
    // Accepts one pending connection on a listening socket; whether to go on accepting.
    bool acceptIncomingConnection(int serverSocket);

private:
    PTChannel(std::shared_ptr<PTProtocol> protocol, PTChannelDelegate* delegate);
    // Tells the delegate, once per connection, that it is over.
    void tellDelegateOfEnd(const OptError& cleanupError);
    struct Private;
    friend struct Private;

    std::shared_ptr<IoChannel> dispatchObj_channel_;
    struct ListenSource;
    std::unique_ptr<ListenSource> dispatchObj_source_;
    struct PendingConnect;
    std::unique_ptr<PendingConnect> pendingConnect_;
    OptError endError_;
    PTChannelDelegate* delegate_ = nullptr;
    uint8_t delegateFlags_ = 0;
    ConnState connState_ = kClosed;
    std::shared_ptr<PTProtocol> protocol_;
    QVariant userInfo_;
    // Set by close or cancel until the clean-up has told the delegate, so that an owner dropping a
    // channel it has just closed still hears of its end.
    std::shared_ptr<PTChannel> closingSelf_;
};
