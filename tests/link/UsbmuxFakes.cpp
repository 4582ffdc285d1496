#include "UsbmuxFakes.h"

#include "fakes/TestSupport.h"
#include "link/IoChannel.h"
#include "link/PTUSBHub.h"

#include <QtEndian>

FakeDaemon::FakeDaemon(const QString& name) : path_(tempPath(name)) {
    QLocalServer::removeServer(path_);
    server_.listen(path_);
    QObject::connect(&server_, &QLocalServer::newConnection, &server_, [this]() {
        while (QLocalSocket* s = server_.nextPendingConnection()) {
            clients_.push_back(s);
            buffers_.emplace_back();
        }
    });
}

QLocalSocket* FakeDaemon::client(size_t n, int timeoutMs) {
    waitUntil([&] { return clients_.size() > n; }, timeoutMs);
    return clients_.size() > n ? clients_[n] : nullptr;
}

FakeDaemon::Request FakeDaemon::nextRequest(size_t n) {
    Request r;
    QLocalSocket* s = client(n);
    if (!s) return r;
    QByteArray& buf = buffers_[n];
    auto whole = [&] {
        buf += s->readAll();
        return buf.size() >= 16 && buf.size() >= qsizetype(UsbmuxPacket::decodeLength(buf.constData()));
    };
    if (!waitUntil(whole)) return r;
    const uint32_t length = UsbmuxPacket::decodeLength(buf.constData());
    r.header = UsbmuxPacket::decodeHeader(buf.constData());
    r.payload = buf.mid(16, length - 16);
    r.dict = PropertyList::parseDictionary(r.payload);
    buf.remove(0, length);
    return r;
}

void FakeDaemon::send(size_t n, const QByteArray& bytes) {
    if (QLocalSocket* s = client(n)) {
        s->write(bytes);
        s->flush();
    }
}

bool FakeDaemon::waitForHangUp(size_t n) {
    QLocalSocket* s = client(n);
    return s && waitUntil([&] {
               s->readAll();
               return s->state() == QLocalSocket::UnconnectedState;
           });
}

QByteArray FakeDaemon::packet(uint32_t tag, const QVariantMap& dict, PropertyList::Format format) {
    return UsbmuxPacket::encodePlist(tag, PropertyList::serialize(dict, format));
}

QByteArray FakeDaemon::header(uint32_t length, uint32_t protocol, uint32_t type, uint32_t tag) {
    QByteArray h = UsbmuxPacket::encode(protocol, type, tag, {});
    qToLittleEndian<quint32>(length, h.data());
    return h;
}

void connectTo(PTUSBHub& hub, qint64 deviceID, quint16 port, ConnectResult& r) {
    hub.connectToDevice(
        deviceID, port,
        [&r](const OptError& e, std::shared_ptr<IoChannel> io) {
            ++r.starts;
            r.started = true;
            r.error = e;
            r.io = std::move(io);
        },
        [&r](const OptError&) { ++r.ends; });
}
