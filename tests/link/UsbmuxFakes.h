#pragma once

#include "base/PropertyList.h"
#include "link/UsbmuxPacket.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QStringList>
#include <QVariantMap>
#include <memory>
#include <vector>

class IoChannel;
class PTUSBHub;

// A daemon socket whose answers the test writes byte by byte.
class FakeDaemon {
public:
    struct Request {
        UsbmuxPacket::Header header;
        QByteArray payload;
        QVariantMap dict;
    };

    explicit FakeDaemon(const QString& name);
    const QString& path() const { return path_; }
    // The n-th connection made to the daemon (waits for it); nullptr when none came.
    QLocalSocket* client(size_t n = 0, int timeoutMs = 5000);
    // The next whole packet client n sent; header.length stays 0 when none came.
    Request nextRequest(size_t n = 0);
    void send(size_t n, const QByteArray& bytes);
    // Waits until client n has hung up.
    bool waitForHangUp(size_t n = 0);

    static QByteArray packet(uint32_t tag, const QVariantMap& dict,
                             PropertyList::Format format = PropertyList::Format::Xml);
    static QByteArray header(uint32_t length, uint32_t protocol, uint32_t type, uint32_t tag);

private:
    QString path_;
    QLocalServer server_;
    std::vector<QLocalSocket*> clients_;
    std::vector<QByteArray> buffers_;
};

// What one connectToDevice() attempt reported.
struct ConnectResult {
    int starts = 0;
    bool started = false;
    OptError error;
    std::shared_ptr<IoChannel> io;
    int ends = 0;
};
void connectTo(PTUSBHub& hub, qint64 deviceID, quint16 port, ConnectResult& result);
