#include "link/PTChannel.h"

#include "base/Logging.h"
#include "base/MainQueue.h"
#include "link/IoChannel.h"
#include "link/PTProtocol.h"

#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Connections accepted per wake-up of a listening socket, so that a flood cannot starve the queue.
constexpr int kAcceptsPerWakeUp = 512;
constexpr int kListenBacklog = 512;

const char* errnoText(int err) {
    return std::strerror(err);
}

// Frames leave in one write each (header and payload together), so waiting to fill a segment only
// delays them: a small event behind a picture could wait for the peer's delayed ACK (40 ms here).
void sendWithoutDelay(int fd) {
    const int on = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        qCWarning(lcLink, "setsockopt(TCP_NODELAY): %s", errnoText(errno));
}

} // namespace

// The read source of a listening socket.
struct PTChannel::ListenSource {
    int fd = -1;
    std::unique_ptr<QSocketNotifier> notifier;
    bool cancelled = false;

    ~ListenSource() {
        // The notifier may be the sender of the signal being handled right now.
        if (notifier) {
            notifier->setEnabled(false);
            notifier.release()->deleteLater();
        }
        if (fd >= 0) ::close(fd);
    }
};

// A TCP connect under way.
struct PTChannel::PendingConnect {
    int fd = -1;
    std::unique_ptr<QSocketNotifier> notifier;
    Clock::TimerId timer = 0;

    ~PendingConnect() {
        Clock::shared().cancel(timer);
        // The notifier may be the sender of the signal being handled right now.
        if (notifier) {
            notifier->setEnabled(false);
            notifier.release()->deleteLater();
        }
        if (fd >= 0) ::close(fd);
    }
};

struct PTChannel::Private {
    static void connected(PTChannel& channel, int fd, const PTAddress& address,
                          const ConnectCallback& callback) {
        auto io = IoChannel::create(fd, cleanupFor(channel.shared_from_this()));
        OptError error;
        channel.startReadingFromConnectedChannel(std::move(io), &error);
        callback(error, address);
    }

    static IoChannel::CleanupHandler cleanupFor(const std::shared_ptr<PTChannel>& channel) {
        std::weak_ptr<PTChannel> weak = channel;
        return [weak](int err) {
            if (auto self = weak.lock())
                self->tellDelegateOfEnd(err ? OptError(Error::posix(err)) : std::nullopt);
        };
    }

    // Whether the read loop over `io` is over. An error ends the channel at once (close), the end
    // of the stream gracefully (cancel). Errors on an I/O channel that is no longer the current one
    // are the echo of a close that already ended the channel, and are not its cause.
    static bool endTest(PTChannel& channel, const std::shared_ptr<IoChannel>& io, const OptError& error,
                        bool endOfStream) {
        if (error) {
            if (io && io == channel.dispatchObj_channel_) {
                channel.endError_ = error;
                channel.close();
            }
            return true;
        }
        if (endOfStream) {
            if (io && io == channel.dispatchObj_channel_) channel.cancel();
            return true;
        }
        return false;
    }

    static void onFrame(const std::weak_ptr<PTChannel>& weak, const std::weak_ptr<IoChannel>& weakIo,
                        const OptError& error, uint32_t type, uint32_t tag, uint32_t payloadSize,
                        PTProtocol::Resume resume) {
        // The delegate may drop the channel during any call below: hold it until this frame is done.
        const auto self = weak.lock();
        const auto io = weakIo.lock();
        if (!self || !io) return;
        PTChannel& ch = *self;
        if (endTest(ch, io, error, type == 0)) return;
        if (payloadSize > PTProtocol::kMaxPayloadSize) {
            endTest(
                ch, io,
                PTProtocol::protocolError(QStringLiteral("frame of type %1 announces %2 bytes, more than %3")
                                              .arg(type)
                                              .arg(payloadSize)
                                              .arg(PTProtocol::kMaxPayloadSize)),
                false);
            return;
        }
        bool accepted = io == ch.dispatchObj_channel_;
        if (accepted && ch.delegate_ && (ch.delegateFlags_ & PTChannelDelegate::kShouldAcceptFrame))
            accepted = ch.delegate_->ioFrameChannelShouldAcceptFrameOfType(&ch, type, tag, payloadSize);
        // Closed meanwhile (the delegate closes channels that send what it does not know): the
        // frame is refused, and there is no stream left to keep in step.
        if (io != ch.dispatchObj_channel_) return;

        if (payloadSize == 0) {
            if (accepted && ch.delegate_)
                ch.delegate_->ioFrameChannelDidReceiveFrameOfType(&ch, type, tag, nullptr);
            resume();
            return;
        }
        if (!accepted) {
            // Skipping the payload keeps the stream in step with the frames that follow.
            ch.protocol_->readAndDiscardDataOfSize(
                payloadSize, io.get(),
                [weak, weakIo, resume = std::move(resume)](const OptError& err, bool endOfStream) {
                    const auto self = weak.lock();
                    if (!self || endTest(*self, weakIo.lock(), err, endOfStream)) return;
                    resume();
                });
            return;
        }
        ch.protocol_->readPayloadOfSize(
            payloadSize, io.get(),
            [weak, weakIo, type, tag, resume = std::move(resume)](const OptError& err, QByteArray bytes) {
                const auto self = weak.lock();
                if (!self || endTest(*self, weakIo.lock(), err, bytes.isEmpty())) return;
                const PTData payload(std::move(bytes));
                if (self->delegate_)
                    self->delegate_->ioFrameChannelDidReceiveFrameOfType(self.get(), type, tag, &payload);
                resume();
            });
    }

    static void cancelSource(PTChannel& channel) {
        ListenSource* source = channel.dispatchObj_source_.get();
        if (!source || source->cancelled) return;
        source->cancelled = true;
        source->notifier->setEnabled(false);
        // Like a dispatch source's cancel handler: later, never inside the call that cancelled.
        std::weak_ptr<PTChannel> weak = channel.weak_from_this();
        mainQueue().async([weak]() {
            const auto self = weak.lock();
            if (!self) return;
            self->dispatchObj_source_.reset(); // closes the socket
            if (!self->dispatchObj_channel_) self->connState_ = kClosed;
            self->tellDelegateOfEnd(std::nullopt);
        });
    }

    static void closeIo(PTChannel& channel, bool stop) {
        // Whoever closed the channel may drop it at once; its end must still reach the delegate.
        channel.closingSelf_ = channel.shared_from_this();
        auto io = std::move(channel.dispatchObj_channel_);
        channel.dispatchObj_channel_.reset();
        if (!channel.dispatchObj_source_) channel.connState_ = kClosed;
        io->close(stop);
    }
};

std::shared_ptr<PTChannel> PTChannel::channelWithDelegate(PTChannelDelegate* delegate) {
    return create(PTProtocol::sharedProtocolForQueue(mainQueue()), delegate);
}

std::shared_ptr<PTChannel> PTChannel::create(std::shared_ptr<PTProtocol> protocol,
                                             PTChannelDelegate* delegate) {
    if (!protocol) protocol = PTProtocol::sharedProtocolForQueue(mainQueue());
    return std::shared_ptr<PTChannel>(new PTChannel(std::move(protocol), delegate));
}

PTChannel::PTChannel(std::shared_ptr<PTProtocol> protocol, PTChannelDelegate* delegate)
    : protocol_(std::move(protocol)) {
    setDelegate(delegate);
}

// The clean-up's own error first, else the error that ended the read loop, else nil.
void PTChannel::tellDelegateOfEnd(const OptError& cleanupError) {
    const OptError error = cleanupError ? cleanupError : endError_;
    endError_.reset();
    // Held until the delegate has been told; may be the last reference.
    const std::shared_ptr<PTChannel> self = std::move(closingSelf_);
    if (delegate_ && (delegateFlags_ & PTChannelDelegate::kDidEndWithError))
        delegate_->ioFrameChannelDidEndWithError(this, error);
}

PTChannel::~PTChannel() {
    // Dropped by its owner: nobody is left to tell. Frames already sent still go out first.
    if (dispatchObj_channel_) dispatchObj_channel_->close(false);
}

void PTChannel::setDelegate(PTChannelDelegate* delegate) {
    delegate_ = delegate;
    delegateFlags_ = delegate ? delegate->implementedOperations() : 0;
}

uint16_t PTChannel::localPort() const {
    int fd = -1;
    if (dispatchObj_source_)
        fd = dispatchObj_source_->fd;
    else if (dispatchObj_channel_)
        fd = dispatchObj_channel_->fd();
    if (fd < 0) return 0;
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return PTAddress(reinterpret_cast<const sockaddr*>(&address), length).port();
}

void PTChannel::connectToPort(uint16_t port, uint32_t ipv4Address, ConnectCallback callback) {
    if (connState_ != kClosed) {
        callback(Error::posix(EPERM), PTAddress());
        return;
    }
    connState_ = kConnecting;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        const int err = errno;
        qCWarning(lcLink, "socket(AF_INET, SOCK_STREAM, 0) failed: %s", errnoText(err));
        connState_ = kClosed;
        callback(Error::posix(err), PTAddress());
        return;
    }
    sendWithoutDelay(fd);
    // Linux has no SO_NOSIGPIPE: IoChannel writes with MSG_NOSIGNAL instead, and the app ignores SIGPIPE.
    // The connect does not block: a listener that never completes the handshake must not hold up
    // the main thread, so the attempt ends after kConnectTimeout at the latest.
    const PTAddress address = PTAddress::ipv4(ipv4Address, port);
    int rc;
    do {
        rc = ::connect(fd, address.address(), address.length());
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        Private::connected(*this, fd, address, std::move(callback));
        return;
    }
    if (errno != EINPROGRESS) {
        const int err = errno;
        ::close(fd);
        connState_ = kClosed;
        callback(Error::posix(err), PTAddress());
        return;
    }
    pendingConnect_ = std::make_unique<PendingConnect>();
    pendingConnect_->fd = fd;
    pendingConnect_->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    auto finish = [weak = weak_from_this(), address, callback = std::move(callback)](int err) {
        const auto self = weak.lock();
        if (!self || !self->pendingConnect_) return;
        const int connectedFd = std::exchange(self->pendingConnect_->fd, -1);
        self->pendingConnect_.reset();
        if (err == 0 && self->connState_ != kConnecting) err = ECANCELED; // closed meanwhile
        if (err != 0) {
            ::close(connectedFd);
            if (self->connState_ == kConnecting) self->connState_ = kClosed;
            callback(Error::posix(err), PTAddress());
            return;
        }
        Private::connected(*self, connectedFd, address, callback);
    };
    QObject::connect(pendingConnect_->notifier.get(), &QSocketNotifier::activated,
                     pendingConnect_->notifier.get(), [finish, fd]() {
                         int err = 0;
                         socklen_t length = sizeof err;
                         if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
                         finish(err);
                     });
    pendingConnect_->timer = mainQueue().after(kConnectTimeout, [finish]() { finish(ETIMEDOUT); });
}

void PTChannel::listenOnPort(uint16_t port, uint32_t ipv4Address, Callback callback) {
    if (connState_ != kClosed) {
        callback(Error::posix(EPERM));
        return;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        callback(Error::posix(errno));
        return;
    }
    const int on = 1;
    const PTAddress address = PTAddress::ipv4(ipv4Address, port);
    const int flags = ::fcntl(fd, F_GETFL);
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 || flags < 0 ||
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0 ||
        ::bind(fd, address.address(), address.length()) != 0 || ::listen(fd, kListenBacklog) != 0) {
        const int err = errno;
        ::close(fd);
        callback(Error::posix(err));
        return;
    }
    dispatchObj_source_ = std::make_unique<ListenSource>();
    dispatchObj_source_->fd = fd;
    dispatchObj_source_->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    std::weak_ptr<PTChannel> weak = weak_from_this();
    QObject::connect(dispatchObj_source_->notifier.get(), &QSocketNotifier::activated,
                     dispatchObj_source_->notifier.get(), [weak, fd]() {
                         const auto self = weak.lock();
                         for (int i = 0; i < kAcceptsPerWakeUp; ++i) {
                             if (!self || !self->dispatchObj_source_ || self->dispatchObj_source_->cancelled)
                                 return;
                             if (!self->acceptIncomingConnection(fd)) return;
                         }
                     });
    connState_ = kListening;
    callback(std::nullopt);
}

bool PTChannel::acceptIncomingConnection(int serverSocket) {
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    const int fd = ::accept4(serverSocket, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        // Nothing (more) pending is not a failure worth a line.
        if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR)
            qCWarning(lcLink, "accept(): %s", errnoText(err));
        return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        qCWarning(lcLink, "fcntl(.. O_NONBLOCK): %s", errnoText(errno));
        ::close(fd);
        return false;
    }
    sendWithoutDelay(fd);
    if (!delegate_ || !(delegateFlags_ & PTChannelDelegate::kDidAcceptConnection)) {
        ::close(fd);
        return true;
    }
    auto channel = create(protocol_, delegate_);
    channel->dispatchObj_channel_ = IoChannel::create(fd, Private::cleanupFor(channel));
    channel->connState_ = kConnected;
    const PTAddress address(reinterpret_cast<const sockaddr*>(&peer), peerLength);
    delegate_->ioFrameChannelDidAcceptConnection(this, channel, address);
    OptError error;
    if (channel->dispatchObj_channel_)
        channel->startReadingFromConnectedChannel(channel->dispatchObj_channel_, &error);
    return true;
}

bool PTChannel::startReadingFromConnectedSocket(int fd, OptError* error) {
    if (connState_ != kClosed) {
        ::close(fd);
        if (error) *error = Error::posix(EPERM);
        return false;
    }
    return startReadingFromConnectedChannel(IoChannel::create(fd, Private::cleanupFor(shared_from_this())),
                                            error);
}

bool PTChannel::startReadingFromConnectedChannel(std::shared_ptr<IoChannel> channel, OptError* error) {
    if (connState_ == kListening) {
        if (error) *error = Error::posix(EPERM);
        return false;
    }
    if (channel != dispatchObj_channel_) {
        if (dispatchObj_channel_) dispatchObj_channel_->close(true);
        dispatchObj_channel_ = channel;
    }
    connState_ = kConnected;
    std::weak_ptr<PTChannel> weak = weak_from_this();
    std::weak_ptr<IoChannel> weakIo = channel;
    protocol_->readFramesOverChannel(channel, [weak, weakIo](const OptError& err, uint32_t type, uint32_t tag,
                                                             uint32_t payloadSize,
                                                             PTProtocol::Resume resume) {
        Private::onFrame(weak, weakIo, err, type, tag, payloadSize, std::move(resume));
    });
    if (error) error->reset();
    return true;
}

void PTChannel::sendFrameOfType(uint32_t type, uint32_t tag, const QByteArray& payload, Callback callback) {
    if (isConnected()) {
        protocol_->sendFrameOfType(type, tag, payload, dispatchObj_channel_.get(), std::move(callback));
    } else if (callback) {
        callback(Error::posix(EPERM));
    }
}

void PTChannel::close() {
    if (isConnected()) {
        pendingConnect_.reset();
        if (dispatchObj_channel_)
            Private::closeIo(*this, true);
        else
            connState_ = kClosed; // an attempt still waiting for the daemon's answer or the handshake
    } else if (connState_ == kListening) {
        Private::cancelSource(*this);
    }
}

void PTChannel::cancel() {
    if (isConnected()) {
        pendingConnect_.reset();
        if (dispatchObj_channel_)
            Private::closeIo(*this, false);
        else
            connState_ = kClosed;
    } else if (connState_ == kListening) {
        Private::cancelSource(*this);
    }
}
