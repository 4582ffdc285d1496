#include "Simulator.h"

#include "base/PropertyList.h"
#include "link/UsbmuxPacket.h"

#include <QHostAddress>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTcpSocket>
#include <QtEndian>

#include <algorithm>

namespace {

// Result numbers of the daemon's answers.
constexpr int kResultOk = 0;
constexpr int kResultBadCommand = 1;
constexpr int kResultBadDevice = 2;
constexpr int kResultConnectionRefused = 3;

// What a simulated device reports about itself besides its ID and serial number.
constexpr int kProductID = 0x12ab;
constexpr qint64 kLocationBase = 0x14100000;

QVariantMap result(int number) {
    return {{QStringLiteral("MessageType"), QStringLiteral("Result")}, {QStringLiteral("Number"), number}};
}

bool isInteger(const QVariant& v) {
    const int t = v.typeId();
    return t == QMetaType::LongLong || t == QMetaType::ULongLong || t == QMetaType::Int ||
           t == QMetaType::UInt;
}

} // namespace

struct Simulator::Client {
    enum State { Requests, Connecting, Bridged, Listening };
    int id = 0;
    QLocalSocket* socket = nullptr;
    QByteArray buffer;
    State state = Requests;
    // Answers go out in the format of the client's last request (XML unless binary was accepted).
    bool binaryReplies = false;
    QTcpSocket* device = nullptr;
    qint64 deviceId = 0;
    bool dropped = false;
};

Simulator::Simulator(bool acceptBinary, EventSink sink)
    : acceptBinary_(acceptBinary), sink_(std::move(sink)) {}

Simulator::~Simulator() {
    for (auto& c : clients_) {
        if (c->dropped) continue; // its sockets are already on their way out
        if (c->device) c->device->abort();
        if (c->socket) c->socket->abort();
    }
    if (server_) server_->close();
}

bool Simulator::listen(const QString& path, QString* error) {
    // Never take over the socket of a daemon that is alive; a stale file left by a dead one goes.
    QLocalSocket probe;
    probe.connectToServer(path);
    if (probe.waitForConnected(200)) {
        *error = QStringLiteral("%1 is in use by a running daemon").arg(path);
        return false;
    }
    QLocalServer::removeServer(path);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::WorldAccessOption);
    if (!server_->listen(path)) {
        *error = server_->errorString();
        return false;
    }
    path_ = path;
    connect(server_, &QLocalServer::newConnection, this, [this]() { accept(); });
    return true;
}

void Simulator::accept() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        auto client = std::make_unique<Client>();
        client->id = nextClientId_++;
        client->socket = socket;
        Client* c = client.get();
        clients_.push_back(std::move(client));
        connect(socket, &QLocalSocket::readyRead, this, [this, c]() { readRequests(c); });
        connect(socket, &QLocalSocket::disconnected, this, [this, c]() {
            emitEvent(QStringLiteral("closed %1").arg(c->id));
            drop(c);
        });
    }
}

void Simulator::readRequests(Client* c) {
    if (c->dropped) return;
    c->buffer += c->socket->readAll();
    if (c->state == Client::Bridged) {
        c->device->write(c->buffer);
        c->buffer.clear();
        return;
    }
    if (c->state == Client::Listening) {
        // A listening connection only receives; like the daemon, ignore what it sends.
        c->buffer.clear();
        return;
    }
    while (c->state == Client::Requests && c->buffer.size() >= 4) {
        const uint32_t length = UsbmuxPacket::decodeLength(c->buffer.constData());
        if (!UsbmuxPacket::lengthIsValid(length)) {
            emitEvent(QStringLiteral("bad-length %1 %2").arg(c->id).arg(length));
            c->socket->abort();
            return;
        }
        if (c->buffer.size() < qsizetype(length)) break;
        const QByteArray packet = c->buffer.left(length);
        c->buffer.remove(0, length);
        const UsbmuxPacket::Header header = UsbmuxPacket::decodeHeader(packet.constData());
        if (header.protocol != UsbmuxPacket::kPlistProtocol || header.type != UsbmuxPacket::kPlistMessage) {
            emitEvent(QStringLiteral("bad-header %1 %2 %3").arg(c->id).arg(header.protocol).arg(header.type));
            reply(c, header.tag, result(kResultBadCommand));
            continue;
        }
        const QByteArray payload = packet.sliced(UsbmuxPacket::kHeaderSize);
        const bool binary = UsbmuxPacket::payloadIsBinary(payload);
        if (binary && !acceptBinary_) {
            // What Debian's daemon does: "Could not parse plist from payload!", and no answer.
            emitEvent(QStringLiteral("dropped-binary %1 %2").arg(c->id).arg(header.tag));
            continue;
        }
        const UsbmuxPacket::Decoded decoded = UsbmuxPacket::decode(header, payload);
        if (decoded.error || !decoded.dictionary) {
            emitEvent(QStringLiteral("dropped-unparsable %1 %2").arg(c->id).arg(header.tag));
            continue;
        }
        c->binaryReplies = binary;
        handleRequest(c, header.tag, *decoded.dictionary);
        if (c->dropped) return;
    }
}

void Simulator::handleRequest(Client* c, uint32_t tag, const QVariantMap& request) {
    const QString type = request.value(QStringLiteral("MessageType")).toString();
    if (type == QLatin1String("Listen")) {
        reply(c, tag, result(kResultOk));
        c->state = Client::Listening;
        emitEvent(QStringLiteral("listen %1").arg(c->id));
        // Devices already present are announced right after the answer.
        for (const Device& d : std::as_const(devices_))
            send(c, 0, attachedMessage(d));
    } else if (type == QLatin1String("Connect")) {
        connectDevice(c, tag, request);
    } else if (type == QLatin1String("ListDevices")) {
        QVariantList list;
        for (const Device& d : std::as_const(devices_))
            list.append(attachedMessage(d));
        reply(c, tag, {{QStringLiteral("DeviceList"), list}});
    } else {
        emitEvent(
            QStringLiteral("illegal %1 %2").arg(c->id).arg(type.isEmpty() ? QStringLiteral("-") : type));
        reply(c, tag, result(kResultBadCommand));
    }
}

void Simulator::connectDevice(Client* c, uint32_t tag, const QVariantMap& request) {
    const QVariant idValue = request.value(QStringLiteral("DeviceID"));
    const QVariant portValue = request.value(QStringLiteral("PortNumber"));
    if (!isInteger(portValue)) {
        emitEvent(QStringLiteral("illegal %1 Connect").arg(c->id));
        reply(c, tag, result(kResultBadCommand));
        return;
    }
    const qint64 id = idValue.toLongLong();
    if (!isInteger(idValue) || !devices_.contains(id)) {
        emitEvent(QStringLiteral("connect %1 unknown").arg(id));
        reply(c, tag, result(kResultBadDevice));
        return;
    }
    // The port travels in network byte order read as a host number.
    const quint16 port = qFromBigEndian<quint16>(quint16(portValue.toULongLong()));
    c->state = Client::Connecting;
    c->deviceId = id;
    c->device = new QTcpSocket(this);
    QTcpSocket* device = c->device;
    connect(device, &QTcpSocket::connected, this, [this, c, tag, id, port]() {
        // A relay must not hold small frames back to fill segments, as a USB link would not.
        c->device->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        reply(c, tag, result(kResultOk));
        emitEvent(QStringLiteral("connect %1 %2 ok").arg(id).arg(port));
        bridge(c);
    });
    connect(device, &QTcpSocket::errorOccurred, this, [this, c, tag, id, port](QAbstractSocket::SocketError) {
        if (c->state != Client::Connecting) return;
        emitEvent(QStringLiteral("connect %1 %2 refused").arg(id).arg(port));
        c->device->disconnect(this);
        c->device->deleteLater();
        c->device = nullptr;
        c->state = Client::Requests;
        reply(c, tag, result(kResultConnectionRefused));
        // Requests sent while the connect was pending are served now.
        readRequests(c);
    });
    // A simulated device is one TCP port on 127.0.0.1 standing for the companion app's listening port:
    // whatever port on the device the client asks for (23481 for the agent), the bridge goes to the
    // port the device was attached with, so several devices and the loopback path can coexist.
    device->connectToHost(QHostAddress(QHostAddress::LocalHost), devices_.value(id).port);
}

void Simulator::bridge(Client* c) {
    c->state = Client::Bridged;
    QTcpSocket* device = c->device;
    connect(device, &QTcpSocket::readyRead, this, [c]() {
        if (!c->dropped) c->socket->write(c->device->readAll());
    });
    connect(device, &QTcpSocket::disconnected, this, [c]() {
        if (!c->dropped) c->socket->disconnectFromServer();
    });
    // Bytes the client sent after its request belong to the device.
    if (!c->buffer.isEmpty()) {
        device->write(c->buffer);
        c->buffer.clear();
    }
    if (device->bytesAvailable() > 0) c->socket->write(device->readAll());
}

void Simulator::reply(Client* c, uint32_t tag, const QVariantMap& answer) {
    send(c, tag, answer);
}

void Simulator::send(Client* c, uint32_t tag, const QVariantMap& packet) {
    if (c->dropped) return;
    const auto format = c->binaryReplies ? PropertyList::Format::Binary : PropertyList::Format::Xml;
    c->socket->write(UsbmuxPacket::encodePlist(tag, PropertyList::serialize(packet, format)));
}

void Simulator::drop(Client* c) {
    if (c->dropped) return;
    c->dropped = true;
    c->socket->disconnect(this);
    c->socket->deleteLater();
    if (c->device) {
        c->device->disconnect(this);
        c->device->disconnectFromHost();
        c->device->deleteLater();
    }
    // Removed once the signal that got us here has returned.
    QMetaObject::invokeMethod(
        this,
        [this]() { std::erase_if(clients_, [](const std::unique_ptr<Client>& x) { return x->dropped; }); },
        Qt::QueuedConnection);
}

QVariantMap Simulator::attachedMessage(const Device& d) const {
    const QVariantMap properties{
        {QStringLiteral("ConnectionType"), QStringLiteral("USB")},
        {QStringLiteral("DeviceID"), d.id},
        {QStringLiteral("SerialNumber"), d.serial},
        {QStringLiteral("ProductID"), kProductID},
        {QStringLiteral("LocationID"), kLocationBase + d.id},
    };
    return {{QStringLiteral("MessageType"), QStringLiteral("Attached")},
            {QStringLiteral("DeviceID"), d.id},
            {QStringLiteral("Properties"), properties}};
}

bool Simulator::attach(const Device& device, QString* error) {
    if (devices_.contains(device.id)) {
        *error = QStringLiteral("device %1 is already attached").arg(device.id);
        return false;
    }
    Device d = device;
    if (d.serial.isEmpty()) d.serial = QStringLiteral("ZUBSIM%1").arg(d.id, 10, 10, QLatin1Char('0'));
    devices_.insert(d.id, d);
    emitEvent(QStringLiteral("attached %1 %2 %3").arg(d.id).arg(d.port).arg(d.serial));
    for (auto& c : clients_)
        if (c->state == Client::Listening && !c->dropped) send(c.get(), 0, attachedMessage(d));
    return true;
}

bool Simulator::detach(qint64 id, QString* error) {
    if (!devices_.remove(id)) {
        *error = QStringLiteral("device %1 is not attached").arg(id);
        return false;
    }
    emitEvent(QStringLiteral("detached %1").arg(id));
    const QVariantMap message{{QStringLiteral("MessageType"), QStringLiteral("Detached")},
                              {QStringLiteral("DeviceID"), id}};
    for (auto& c : clients_) {
        if (c->dropped) continue;
        if (c->state == Client::Listening) send(c.get(), 0, message);
        // A device that goes away takes its connections with it.
        if ((c->state == Client::Bridged || c->state == Client::Connecting) && c->deviceId == id)
            c->socket->disconnectFromServer();
    }
    return true;
}

bool Simulator::dropConnections(qint64 id, QString* error) {
    if (!devices_.contains(id)) {
        *error = QStringLiteral("device %1 is not attached").arg(id);
        return false;
    }
    int count = 0;
    for (auto& c : clients_) {
        if (c->dropped || c->deviceId != id) continue;
        if (c->state != Client::Bridged && c->state != Client::Connecting) continue;
        c->socket->disconnectFromServer();
        ++count;
    }
    emitEvent(QStringLiteral("dropped %1 %2").arg(id).arg(count));
    return true;
}

bool Simulator::parseDevice(const QString& text, Device* device) {
    const QStringList parts = text.split(QLatin1Char(':'));
    if (parts.size() < 2 || parts.size() > 3) return false;
    bool okId = false, okPort = false;
    const qint64 id = parts[0].toLongLong(&okId);
    const uint port = parts[1].toUInt(&okPort);
    if (!okId || id <= 0 || !okPort || port == 0 || port > 65535) return false;
    device->id = id;
    device->port = quint16(port);
    device->serial = parts.size() == 3 ? parts[2] : QString();
    return true;
}

bool Simulator::command(const QString& line) {
    const QStringList words = line.simplified().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty()) return true;
    const QString& verb = words[0];
    QString error;
    if (verb == QLatin1String("quit")) return false;
    if (verb == QLatin1String("attach") && (words.size() == 3 || words.size() == 4)) {
        Device d;
        if (!parseDevice(words.mid(1).join(QLatin1Char(':')), &d))
            emitEvent(QStringLiteral("error bad device %1").arg(words.mid(1).join(QLatin1Char(' '))));
        else if (!attach(d, &error))
            emitEvent(QStringLiteral("error ") + error);
    } else if (verb == QLatin1String("detach") && words.size() == 2) {
        bool ok = false;
        const qint64 id = words[1].toLongLong(&ok);
        if (!ok || !detach(id, &error))
            emitEvent(QStringLiteral("error ") + (ok ? error : QStringLiteral("bad id")));
    } else if (verb == QLatin1String("drop") && words.size() == 2) {
        bool ok = false;
        const qint64 id = words[1].toLongLong(&ok);
        if (!ok || !dropConnections(id, &error))
            emitEvent(QStringLiteral("error ") + (ok ? error : QStringLiteral("bad id")));
    } else if (verb == QLatin1String("list") && words.size() == 1) {
        for (const Device& d : std::as_const(devices_))
            emitEvent(QStringLiteral("device %1 %2 %3").arg(d.id).arg(d.port).arg(d.serial));
        emitEvent(QStringLiteral("devices %1").arg(devices_.size()));
    } else {
        emitEvent(QStringLiteral("error unknown command: %1").arg(line.simplified()));
    }
    return true;
}
