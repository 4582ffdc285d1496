#pragma once

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <memory>
#include <vector>

class QLocalServer;
class QLocalSocket;
class QTcpSocket;

// A usbmux daemon on a Unix socket that behaves like Debian's: property-list requests (XML only
// unless binary is allowed), "Listen" with "Attached"/"Detached" broadcasts, "Connect" bridged to a
// TCP port on 127.0.0.1 standing in for the device. Devices come and go by command; every event is
// reported as one line through the event sink, so a test or script can wait for it.
class Simulator : public QObject {
public:
    struct Device {
        qint64 id = 0;
        quint16 port = 0;
        QString serial;
    };
    using EventSink = std::function<void(const QString& line)>;

    Simulator(bool acceptBinary, EventSink sink);
    ~Simulator() override;

    // Fails (with the reason in `error`) when the path is taken by a live daemon or cannot be bound.
    bool listen(const QString& path, QString* error);

    bool attach(const Device& device, QString* error);
    bool detach(qint64 id, QString* error);
    // Closes the device's open connections from the daemon's side, the device staying attached.
    bool dropConnections(qint64 id, QString* error);
    QList<Device> devices() const { return devices_.values(); }

    // One line of the control language: "attach ID PORT [SERIAL]", "detach ID", "drop ID", "list", "quit".
    // Returns false for "quit".
    bool command(const QString& line);

    // "ID:PORT[:SERIAL]", as given on the command line.
    static bool parseDevice(const QString& text, Device* device);

private:
    struct Client;
    void accept();
    void readRequests(Client* client);
    void handleRequest(Client* client, uint32_t tag, const QVariantMap& request);
    void connectDevice(Client* client, uint32_t tag, const QVariantMap& request);
    void reply(Client* client, uint32_t tag, const QVariantMap& answer);
    void send(Client* client, uint32_t tag, const QVariantMap& packet);
    void bridge(Client* client);
    void drop(Client* client);
    QVariantMap attachedMessage(const Device& device) const;
    void emitEvent(const QString& line) { sink_(line); }

    bool acceptBinary_;
    EventSink sink_;
    QString path_;
    QLocalServer* server_ = nullptr;
    QMap<qint64, Device> devices_;
    std::vector<std::unique_ptr<Client>> clients_;
    int nextClientId_ = 1;
};
