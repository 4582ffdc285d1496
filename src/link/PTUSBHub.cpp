#include "link/PTUSBHub.h"

#include "base/Logging.h"
#include "base/MainQueue.h"
#include "base/NotificationCenter.h"
#include "link/IoChannel.h"
#include "link/PTUSBChannel.h"

#include <QtEndian>
#include <cerrno>
#include <utility>

#include <cerrno>

namespace {
const QString kDefaultSocketPath = QStringLiteral("/var/run/usbmuxd");
} // namespace

UsbmuxAddress UsbmuxAddress::unixSocket(const QString& path) {
    UsbmuxAddress a;
    a.kind = Unix;
    a.path = path;
    return a;
}

std::optional<UsbmuxAddress> UsbmuxAddress::fromString(const QString& text) {
    if (text.startsWith(QLatin1String("UNIX:"))) {
        const QString path = text.mid(5);
        if (path.isEmpty()) return std::nullopt;
        return unixSocket(path);
    }
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0) return std::nullopt;
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint port = text.mid(colon + 1).toUInt(&ok);
    if (!ok || port == 0 || port > 65535 || host.isEmpty()) return std::nullopt;
    UsbmuxAddress a;
    a.kind = Tcp;
    a.host = host;
    a.port = quint16(port);
    return a;
}

QString UsbmuxAddress::toString() const {
    if (kind == Tcp) return (host.contains(u':') ? u'[' + host + u']' : host) + u':' + QString::number(port);
    return path.isEmpty() ? QStringLiteral("(no address: USBMUXD_SOCKET_ADDRESS names none)") : path;
}

UsbmuxAddress UsbmuxAddress::fromEnvironment() {
    const QString value = qEnvironmentVariable("USBMUXD_SOCKET_ADDRESS");
    if (value.isEmpty()) return unixSocket(kDefaultSocketPath);
    // A setting that names no address must not quietly reach some other daemon: it stays unusable,
    // and connecting reports EINVAL.
    if (auto parsed = fromString(value)) return *parsed;
    return unixSocket(QString());
}

PTUSBHub* PTUSBHub::sharedHub() {
    static PTUSBHub* const hub = [] {
        auto* h = new PTUSBHub();
        // The daemon's answer is not needed: without a daemon, no device is ever announced.
        auto listen = [h]() { h->listenOnQueue([](const OptError&) {}, nullptr); };
        if (mainQueue().isCurrent())
            listen();
        else
            mainQueue().async(listen);
        return h;
    }();
    return hub;
}

PTUSBHub::PTUSBHub(UsbmuxAddress address) : address_(std::move(address)) {}

PTUSBHub::~PTUSBHub() {
    lifetime_.end();
    if (channel_) channel_->cancel();
}

void PTUSBHub::listenOnQueue(Callback onStart, Callback onEnd) {
    if (channel_) {
        if (onStart) onStart(std::nullopt);
        return;
    }
    auto channel = PTUSBChannel::create();
    const auto weakSelf = lifetime_.guard();
    std::weak_ptr<PTUSBChannel> weakChannel = channel;
    OptError error;
    const bool opened =
        channel->openOnQueue(address_, &error, [weakSelf, weakChannel, onEnd](const OptError& e) {
            // A hub that is gone says nothing more.
            PTUSBHub* hub = weakSelf.get();
            if (!hub) return;
            // The connection is over: forget it, so that listening again connects anew.
            if (hub->channel_ && hub->channel_ == weakChannel.lock()) hub->channel_.reset();
            if (onEnd) onEnd(e);
        });
    if (!opened) {
        if (onStart) onStart(error);
        return;
    }
    channel_ = channel;
    channel->listenWithBroadcastHandler(
        [weakSelf](const QVariantMap& packet) {
            if (weakSelf) weakSelf->handleBroadcastPacket(packet);
        },
        [weakSelf, onStart = std::move(onStart)](const OptError& e) {
            if (onStart && weakSelf) onStart(e);
        });
}

void PTUSBHub::connectToDevice(qint64 deviceID, quint16 port, ConnectStart onStart, Callback onEnd) {
    auto channel = PTUSBChannel::create();
    // The socket's end matters to the caller only once it has been handed over.
    auto handedOver = std::make_shared<bool>(false);
    OptError error;
    if (!channel->openOnQueue(address_, &error, [handedOver, onEnd](const OptError& e) {
            if (*handedOver && onEnd) onEnd(e);
        })) {
        if (onStart) onStart(error, nullptr);
        return;
    }
    QVariantMap request{
        {QStringLiteral("DeviceID"), deviceID},
        // The daemon takes the port in network byte order, read as a host number.
        {QStringLiteral("PortNumber"), int(qToBigEndian<quint16>(port))},
    };
    // A daemon that takes the request and never answers must not hold the attempt for good: without
    // an answer by kConnectTimeout the attempt fails with ETIMEDOUT and its socket is closed.
    auto answered = std::make_shared<bool>(false);
    const Clock::TimerId timer = mainQueue().after(kConnectTimeout, [channel, answered, onStart]() {
        if (std::exchange(*answered, true)) return;
        channel->cancel();
        if (onStart) onStart(Error::posix(ETIMEDOUT), nullptr);
    });
    // The channel lives in its own response table until the answer (or the connection's end) comes.
    channel->sendRequest(PTUSBChannel::packetDictionaryWithPacketType(QStringLiteral("Connect"), request),
                         [channel, handedOver, answered, timer,
                          onStart](const OptError& transport, const std::optional<QVariantMap>& answer) {
                             if (std::exchange(*answered, true)) return;
                             Clock::shared().cancel(timer);
                             const OptError e = PTUSBChannel::errorFromPlistResponse(answer, transport);
                             if (e) {
                                 channel->cancel();
                                 if (onStart) onStart(e, nullptr);
                                 return;
                             }
                             *handedOver = true;
                             if (onStart) onStart(std::nullopt, channel->dispatchChannel());
                         });
}

QString PTUSBHub::unreachableText(const Error& error) const {
    const bool absent =
        error.domain == kPOSIXErrorDomain && (error.code == ENOENT || error.code == ECONNREFUSED);
    return QStringLiteral("usbmuxd %1 at %2 (%3)")
        .arg(absent ? QStringLiteral("is not running") : QStringLiteral("cannot be reached"),
             address_.toString(), error.description);
}

void PTUSBHub::handleBroadcastPacket(const QVariantMap& packet) {
    const QString type = packet.value(QStringLiteral("MessageType")).toString();
    const QString deviceID = packet.value(QStringLiteral("DeviceID")).toString();
    if (type == QLatin1String("Attached")) {
        const QVariantMap properties = packet.value(QStringLiteral("Properties")).toMap();
        qCInfo(lcLink, "device %s attached (serial number %s, over %s)", qUtf8Printable(deviceID),
               qUtf8Printable(properties.value(QStringLiteral("SerialNumber")).toString()),
               qUtf8Printable(properties.value(QStringLiteral("ConnectionType")).toString()));
        NotificationCenter::defaultCenter().post(kPTUSBDeviceDidAttachNotification, this, packet);
    } else if (type == QLatin1String("Detached")) {
        qCInfo(lcLink, "device %s detached", qUtf8Printable(deviceID));
        NotificationCenter::defaultCenter().post(kPTUSBDeviceDidDetachNotification, this, packet);
    }
}
