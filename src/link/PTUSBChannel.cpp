#include "link/PTUSBChannel.h"

#include "base/Bundle.h"
#include "base/MainQueue.h"
#include "link/IoChannel.h"
#include "link/PTUSBHub.h"
#include "link/UsbmuxPacket.h"

#include <QtEndian>

#include <algorithm>
#include <climits>

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

Error connectionClosedError() {
    return Error::make(kPTUSBHubErrorDomain, 0, QStringLiteral("The usbmux daemon closed the connection"));
}

Error truncatedPacketError() {
    return Error::make(kPTUSBHubErrorDomain, 0, QStringLiteral("The usbmux daemon's packet was cut short"));
}

// The application's name and version as the daemon should see them, from the bundle, read once.
struct ClientIdentity {
    QString name;
    QString version;
};

const ClientIdentity& clientIdentity() {
    static const ClientIdentity identity{
        Bundle::main().objectForInfoDictionaryKey(QStringLiteral("CFBundleName")).toString(),
        Bundle::main().objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion")).toString()};
    return identity;
}

// A blocking connect to the daemon; returns the descriptor or -1 with errno set.
int connectUnix(const QString& path) {
    const QByteArray native = path.toLocal8Bit();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (native.isEmpty()) {
        errno = EINVAL;
        return -1;
    }
    if (size_t(native.size()) >= sizeof(addr.sun_path)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(addr.sun_path, native.constData(), size_t(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

int connectTcp(const QString& host, quint16 port) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* list = nullptr;
    if (::getaddrinfo(host.toUtf8().constData(), QByteArray::number(port).constData(), &hints, &list) != 0) {
        errno = EHOSTUNREACH;
        return -1;
    }
    int err = ECONNREFUSED;
    int fd = -1;
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
        fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            err = errno;
            continue;
        }
        int rc;
        do {
            rc = ::connect(fd, ai->ai_addr, ai->ai_addrlen);
        } while (rc < 0 && errno == EINTR);
        if (rc == 0) break;
        err = errno;
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(list);
    if (fd < 0) errno = err;
    return fd;
}

} // namespace

std::shared_ptr<PTUSBChannel> PTUSBChannel::create() {
    return std::shared_ptr<PTUSBChannel>(new PTUSBChannel());
}

PTUSBChannel::PTUSBChannel() : requestFormat_(kUsbmuxRequestFormat) {}

// The socket is not closed here: after a successful connect it belongs to whoever took the I/O channel.
PTUSBChannel::~PTUSBChannel() = default;

QVariantMap PTUSBChannel::packetDictionaryWithPacketType(const QString& messageType,
                                                         const QVariantMap& payload) {
    QVariantMap packet = payload;
    packet.insert(QStringLiteral("MessageType"), messageType);
    const ClientIdentity& id = clientIdentity();
    if (!id.name.isEmpty()) {
        packet.insert(QStringLiteral("ProgName"), id.name);
        packet.insert(QStringLiteral("ClientVersionString"), id.version);
    }
    return packet;
}

bool PTUSBChannel::openOnQueue(const UsbmuxAddress& address, OptError* error, Callback onEnd) {
    const int fd = address.kind == UsbmuxAddress::Tcp ? connectTcp(address.host, address.port)
                                                      : connectUnix(address.path);
    if (fd < 0) {
        if (error) *error = Error::posix(errno);
        return false;
    }
    requestFormat_ = address.requestFormat;
    openWithDescriptor(fd, std::move(onEnd));
    if (error) error->reset();
    return true;
}

void PTUSBChannel::openWithDescriptor(int fd, Callback onEnd) {
    channel_ = IoChannel::create(fd, [onEnd = std::move(onEnd)](int err) {
        if (onEnd) onEnd(err ? OptError(Error::posix(err)) : std::nullopt);
    });
}

void PTUSBChannel::listenWithBroadcastHandler(BroadcastHandler handler, Callback callback) {
    autoReadPackets_ = true;
    scheduleReadPacketWithBroadcastHandler(std::move(handler));
    sendRequest(
        packetDictionaryWithPacketType(QStringLiteral("Listen")),
        [callback = std::move(callback)](const OptError& error, const std::optional<QVariantMap>& answer) {
            if (callback) callback(errorFromPlistResponse(answer, error));
        });
}

void PTUSBChannel::sendRequest(const QVariantMap& request, ResponseCallback callback) {
    const uint32_t tag = nextPacketTag();
    if (!channel_ || ended_) {
        mainQueue().async([callback = std::move(callback)]() {
            if (callback) callback(connectionClosedError(), std::nullopt);
        });
        return;
    }
    // Registered before the write: the answer may be read before the write's completion runs.
    responseQueue_.insert(tag, std::move(callback));
    sendPacket(request, tag, [self = shared_from_this(), tag](const OptError& error) {
        if (!error) return;
        // A request that never went out gets no answer: it fails now, once.
        if (auto cb = self->responseQueue_.take(tag)) cb(error, std::nullopt);
    });
    setNeedsReadingPacket();
}

void PTUSBChannel::sendPacket(const QVariantMap& packet, uint32_t tag, Callback callback) {
    OptError error;
    const QByteArray payload = PropertyList::serialize(packet, requestFormat_, &error);
    if (error) {
        mainQueue().async([callback = std::move(callback), error]() {
            if (callback) callback(error);
        });
        return;
    }
    sendPacketOfType(UsbmuxPacket::kPlistMessage, UsbmuxPacket::kPlistProtocol, tag, payload,
                     std::move(callback));
}

void PTUSBChannel::sendPacketOfType(uint32_t type, uint32_t protocol, uint32_t tag, const QByteArray& payload,
                                    Callback callback) {
    sendDispatchData(UsbmuxPacket::encode(protocol, type, tag, payload), std::move(callback));
}

void PTUSBChannel::sendDispatchData(const QByteArray& data, Callback callback) {
    if (!channel_) {
        mainQueue().async([callback = std::move(callback)]() {
            if (callback) callback(Error::posix(ENOTCONN));
        });
        return;
    }
    channel_->write(data, {}, [callback = std::move(callback)](int err) {
        if (callback) callback(err ? OptError(Error::posix(err)) : std::nullopt);
    });
}

void PTUSBChannel::setNeedsReadingPacket() {
    scheduleReadPacketWithBroadcastHandler(nullptr);
}

void PTUSBChannel::scheduleReadPacketWithBroadcastHandler(BroadcastHandler handler) {
    if (handler) broadcastHandler_ = std::move(handler);
    // One read at a time: an outstanding one dispatches to the handler kept here and reads on.
    if (!channel_ || ended_ || isReadingPackets_) return;
    scheduleReadPacketWithCallback([self = shared_from_this()](const OptError& error,
                                                               const std::optional<QVariantMap>& packet,
                                                               uint32_t tag) {
        // The connection is over: endConnection() has failed every waiting request.
        if (self->ended_) return;
        if (tag != 0) {
            // An answer nobody waits for (unknown or already answered tag) is dropped.
            if (auto cb = self->responseQueue_.take(tag)) cb(error, packet);
        } else if (self->broadcastHandler_ && !error && packet) {
            const BroadcastHandler handler = self->broadcastHandler_;
            handler(*packet);
        }
        // A listening connection reads on; any connection reads on while requests wait for answers,
        // so a stray packet cannot leave a request hanging. A connect channel whose answer came
        // reads nothing more: the following bytes belong to the device.
        if (self->autoReadPackets_ || !self->responseQueue_.isEmpty())
            self->scheduleReadPacketWithBroadcastHandler(nullptr);
    });
}

void PTUSBChannel::scheduleReadPacketWithCallback(PacketCallback callback) {
    if (!channel_ || ended_ || isReadingPackets_) {
        // A second outstanding read would interleave with the first and lose the packet boundaries.
        const Error error = isReadingPackets_ && !ended_ ? Error::posix(EBUSY) : connectionClosedError();
        mainQueue().async([callback = std::move(callback), error]() { callback(error, std::nullopt, 0); });
        return;
    }
    isReadingPackets_ = true;
    channel_->read(4, [self = shared_from_this(), callback = std::move(callback)](int err, QByteArray data,
                                                                                  bool eof) mutable {
        if (err) {
            const Error error = Error::posix(err);
            self->endConnection(error, true);
            callback(error, std::nullopt, 0);
            return;
        }
        if (eof) {
            const Error error = data.isEmpty() ? connectionClosedError() : truncatedPacketError();
            self->endConnection(error, false);
            callback(error, std::nullopt, 0);
            return;
        }
        const uint32_t length = UsbmuxPacket::decodeLength(data.constData());
        // Checked before anything is allocated or read for the packet.
        if (!UsbmuxPacket::lengthIsValid(length)) {
            const Error error = UsbmuxPacket::invalidLengthError(length);
            self->endConnection(error, true);
            callback(error, std::nullopt, 0);
            return;
        }
        self->readPacketBody(length, std::move(callback));
    });
}

void PTUSBChannel::readPacketBody(uint32_t length, PacketCallback callback) {
    channel_->read(length - 4, [self = shared_from_this(), length,
                                callback = std::move(callback)](int err, QByteArray rest, bool eof) {
        self->isReadingPackets_ = false;
        if (err || eof) {
            const Error error = err ? Error::posix(err) : truncatedPacketError();
            self->endConnection(error, err != 0);
            callback(error, std::nullopt, 0);
            return;
        }
        // `rest` is the header after its length word, then the payload (shared, not copied).
        const UsbmuxPacket::Header header{length, qFromLittleEndian<quint32>(rest.constData()),
                                          qFromLittleEndian<quint32>(rest.constData() + 4),
                                          qFromLittleEndian<quint32>(rest.constData() + 8)};
        UsbmuxPacket::Decoded decoded =
            UsbmuxPacket::decode(header, rest.sliced(UsbmuxPacket::kHeaderSize - 4));
        callback(decoded.error, decoded.dictionary, decoded.tag);
    });
}

void PTUSBChannel::endConnection(const Error& error, bool stop) {
    isReadingPackets_ = false;
    if (ended_) return;
    ended_ = true;
    broadcastHandler_ = nullptr;
    if (channel_) channel_->close(stop);
    failPendingRequests(error);
}

void PTUSBChannel::failPendingRequests(const Error& error) {
    // Taken one by one: a callback may send a new request (which then fails at once).
    while (!responseQueue_.isEmpty()) {
        auto it = responseQueue_.begin();
        ResponseCallback cb = std::move(it.value());
        responseQueue_.erase(it);
        if (cb) cb(error, std::nullopt);
    }
}

void PTUSBChannel::cancel() {
    if (!channel_ || ended_) return;
    ended_ = true;
    isReadingPackets_ = false;
    broadcastHandler_ = nullptr;
    channel_->close(false);
    failPendingRequests(Error::posix(ECANCELED));
}

OptError PTUSBChannel::errorFromPlistResponse(const std::optional<QVariantMap>& answer,
                                              const OptError& transport) {
    if (transport) return transport;
    const QVariant number = answer ? answer->value(QStringLiteral("Number")) : QVariant();
    // A "Number" that is not an integer is as good as none: it must not read as success.
    const int type = number.typeId();
    if (type != QMetaType::LongLong && type != QMetaType::ULongLong && type != QMetaType::Int &&
        type != QMetaType::UInt)
        return Error::make(kPTUSBHubErrorDomain, 0);
    const qlonglong code = number.toLongLong();
    if (code == 0) return std::nullopt;
    QString text;
    switch (code) {
    case 1:
        text = QStringLiteral("illegal command");
        break;
    case 2:
        text = QStringLiteral("unknown device");
        break;
    case 3:
        text = QStringLiteral("connection refused");
        break;
    case 6:
        text = QStringLiteral("invalid version");
        break;
    default:
        text = QStringLiteral("Unspecified error");
        break;
    }
    // The code is the daemon's number; one beyond int's range still reads as an error, never as 0.
    return Error::make(kPTUSBHubErrorDomain, int(std::clamp<qlonglong>(code, INT_MIN, INT_MAX)), text);
}
