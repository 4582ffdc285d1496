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

SimProcess::SimProcess(const QString& name, const QStringList& extraArgs) : path_(tempPath(name)) {
    QObject::connect(&process_, &QProcess::readyReadStandardOutput, &process_, [this]() { collect(); });
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(binDir() + QStringLiteral("/usbmuxd-sim"),
                   QStringList{QStringLiteral("--socket"), path_} + extraArgs);
    ready_ = !waitForLine(QStringLiteral("ready")).isEmpty();
}

SimProcess::~SimProcess() {
    if (process_.state() != QProcess::NotRunning) {
        command(QStringLiteral("quit"));
        if (!process_.waitForFinished(3000)) process_.kill();
        process_.waitForFinished(1000);
    }
}

void SimProcess::collect() {
    partial_ += process_.readAllStandardOutput();
    qsizetype nl;
    while ((nl = partial_.indexOf('\n')) >= 0) {
        lines_.append(QString::fromUtf8(partial_.left(nl)));
        partial_.remove(0, nl + 1);
    }
}

QString SimProcess::waitForLine(const QString& prefix, int timeoutMs) {
    // The predicate only looks (waitUntil may ask it more than once); the match is consumed after.
    qsizetype at = -1;
    waitUntil(
        [&] {
            for (qsizetype i = consumed_; i < lines_.size(); ++i)
                if (lines_[i].startsWith(prefix)) {
                    at = i;
                    return true;
                }
            return false;
        },
        timeoutMs);
    if (at < 0) return {};
    consumed_ = at + 1;
    return lines_[at];
}

void SimProcess::command(const QString& line) {
    process_.write(line.toUtf8() + '\n');
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
