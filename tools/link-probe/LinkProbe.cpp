#include "LinkProbe.h"

#include "FrameJson.h"
#include "base/MainQueue.h"
#include "base/PropertyList.h"
#include "link/PTUSBHub.h"
#include "session/PeerMessage.h"

namespace {

QString daemonAddress(const UsbmuxAddress& address) {
    return address.kind == UsbmuxAddress::Unix ? QStringLiteral("UNIX:%1").arg(address.path)
                                               : QStringLiteral("%1:%2").arg(address.host).arg(address.port);
}

} // namespace

LinkProbe::LinkProbe(PTUSBHub* hub, Print print, Done done)
    : hub_(hub), print_(std::move(print)), done_(std::move(done)) {}

LinkProbe::~LinkProbe() {
    NotificationCenter::defaultCenter().removeObserver(attachObserver_);
    NotificationCenter::defaultCenter().removeObserver(detachObserver_);
    if (channel_) {
        channel_->setDelegate(nullptr);
        channel_->close();
    }
}

void LinkProbe::start() {
    auto& center = NotificationCenter::defaultCenter();
    attachObserver_ = center.addObserver(kPTUSBDeviceDidAttachNotification, hub_,
                                         [this](const Notification& n) { deviceAttached(n.userInfo); });
    detachObserver_ = center.addObserver(kPTUSBDeviceDidDetachNotification, hub_,
                                         [this](const Notification& n) { deviceDetached(n.userInfo); });
    print_(QStringLiteral("daemon: listening for devices at %1").arg(daemonAddress(hub_->address())));
    hub_->listenOnQueue(
        [this](const OptError& error) {
            if (error) {
                print_(QStringLiteral("daemon: cannot listen: %1").arg(error->toString()));
                finish(2);
            } else {
                print_(QStringLiteral("daemon: up"));
            }
        },
        [this](const OptError& error) {
            if (finished_) return;
            print_(QStringLiteral("daemon: connection ended%1")
                       .arg(error ? QStringLiteral(": ") + error->toString() : QString()));
            if (!channel_) finish(2);
        });
}

void LinkProbe::deviceAttached(const QVariantMap& info) {
    const qint64 id = info.value(QStringLiteral("DeviceID")).toLongLong();
    const QVariantMap properties = info.value(QStringLiteral("Properties")).toMap();
    print_(QStringLiteral("device attached: ID %1 (%2, serial %3)")
               .arg(id)
               .arg(properties.value(QStringLiteral("ConnectionType")).toString(),
                    properties.value(QStringLiteral("SerialNumber")).toString()));
    if (channel_ || finished_) return;
    deviceID_ = id;
    channel_ = PTChannel::channelWithDelegate(this);
    print_(QStringLiteral("link: connecting to port %1 on device %2 through the daemon")
               .arg(kDevicePort)
               .arg(id));
    channel_->connectToPortOverUSBHub(kDevicePort, hub_, id, [this, id](const OptError& error) {
        if (error) {
            print_(QStringLiteral("link: cannot connect to device %1: %2").arg(id).arg(error->toString()));
            finish(3);
            return;
        }
        print_(QStringLiteral("link: up"));
    });
}

void LinkProbe::deviceDetached(const QVariantMap& info) {
    print_(QStringLiteral("device detached: ID %1").arg(info.value(QStringLiteral("DeviceID")).toLongLong()));
}

void LinkProbe::ioFrameChannelDidReceiveFrameOfType(PTChannel*, uint32_t type, uint32_t tag,
                                                    const PTData* payload) {
    const QByteArray bytes = payload ? payload->dispatchData() : QByteArray();
    print_(QStringLiteral("received %1")
               .arg(QString::fromUtf8(FrameJson::line(FrameJson::describeFrame(type, tag, bytes)))));
    if (type != PeerMessage::kFrameTypeDeviceInfo) return;
    OptError error;
    const QVariantMap introduction = PropertyList::parseDictionary(bytes, &error);
    if (error) {
        print_(QStringLiteral("introduction unreadable: %1").arg(error->toString()));
        return;
    }
    introduced(introduction);
}

void LinkProbe::introduced(const QVariantMap& introduction) {
    introduced_ = true;
    QStringList fields;
    for (const char* key : {"protocolVersion", "hardwareString", "softwareString", "softwareVersion"})
        fields << QStringLiteral("%1=%2").arg(QLatin1String(key),
                                              introduction.value(QLatin1String(key)).toString());
    print_(QStringLiteral("introduction: %1").arg(fields.join(u' ')));

    // A few frames of each kind back, so both directions are seen.
    send(PeerMessage::kFrameTypeTextMessage, 0,
         PeerMessage::encodeText(QStringLiteral("hello from link-probe")), QStringLiteral("text"));
    send(PeerMessage::kFrameTypeEvent, 0,
         PeerMessage::encodeDictionary({{QStringLiteral("eventName"), QStringLiteral("CursorPosChanged")},
                                        {QStringLiteral("x"), 0.5},
                                        {QStringLiteral("y"), 0.25}}),
         QStringLiteral("event CursorPosChanged"));
    send(PeerMessage::kFrameTypePing, 1, {}, QStringLiteral("ping"));
}

void LinkProbe::send(uint32_t type, uint32_t tag, const QByteArray& payload, const QString& what) {
    print_(QStringLiteral("sent %1: %2")
               .arg(what, QString::fromUtf8(FrameJson::line(FrameJson::describeFrame(type, tag, payload)))));
    channel_->sendFrameOfType(type, tag, payload, [this, what](const OptError& error) {
        if (error) print_(QStringLiteral("send failed (%1): %2").arg(what, error->toString()));
    });
}

void LinkProbe::ioFrameChannelDidEndWithError(PTChannel*, const OptError& error) {
    if (error)
        print_(QStringLiteral("link: ended with %1").arg(error->toString()));
    else
        print_(QStringLiteral("link: ended cleanly"));
    if (!introduced_) print_(QStringLiteral("link: no introduction came"));
    finish(introduced_ && !error ? 0 : 4);
}

void LinkProbe::finish(int exitCode) {
    if (finished_) return;
    finished_ = true;
    // Told after the current call has returned into the channel or the hub.
    mainQueue().async([done = done_, exitCode] {
        if (done) done(exitCode);
    });
}
