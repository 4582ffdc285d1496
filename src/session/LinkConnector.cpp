#include "session/LinkConnector.h"

#include "base/Logging.h"
#include "base/MainQueue.h"
#include "link/PTChannel.h"

#include <arpa/inet.h>

HubLinkConnector::HubLinkConnector(UsbmuxAddress address)
    : hub_(std::make_unique<PTUSBHub>(std::move(address))) {
    auto& center = NotificationCenter::defaultCenter();
    observers_.push_back(
        center.addObserver(kPTUSBDeviceDidAttachNotification, hub_.get(), [this](const Notification& n) {
            attached_.insert(n.userInfo.value(QStringLiteral("DeviceID")).toLongLong());
        }));
    observers_.push_back(
        center.addObserver(kPTUSBDeviceDidDetachNotification, hub_.get(), [this](const Notification& n) {
            attached_.erase(n.userInfo.value(QStringLiteral("DeviceID")).toLongLong());
        }));
}

HubLinkConnector::~HubLinkConnector() {
    lifetime_.end();
    if (relistenTimer_) Clock::shared().cancel(*relistenTimer_);
    for (auto id : observers_)
        NotificationCenter::defaultCenter().removeObserver(id);
}

void HubLinkConnector::startListening() {
    wanted_ = true;
    listen();
}

void HubLinkConnector::stopListening() {
    wanted_ = false;
    if (relistenTimer_) Clock::shared().cancel(*relistenTimer_);
    relistenTimer_.reset();
}

void HubLinkConnector::listen() {
    if (!wanted_ || hub_->isListening()) return;
    hub_->listenOnQueue(
        [self = lifetime_.guard()](const OptError& error) {
            if (!self) return;
            if (error && !std::exchange(self->daemonAbsenceSaid_, true))
                qCWarning(lcSession, "%s: retrying every second",
                          qUtf8Printable(self->hub_->unreachableText(*error)));
            if (!error && std::exchange(self->daemonAbsenceSaid_, false))
                qCInfo(lcSession, "usbmuxd is back at %s", qUtf8Printable(self->hub_->address().toString()));
            if (error) self->relistenLater(); // no daemon (yet)
        },
        [self = lifetime_.guard()](const OptError&) {
            if (self) self->daemonLost();
        });
}

void HubLinkConnector::daemonLost() {
    if (wanted_ && !std::exchange(daemonAbsenceSaid_, true))
        qCWarning(lcSession, "usbmuxd at %s went away: retrying every second",
                  qUtf8Printable(hub_->address().toString()));
    // Whatever ran through the daemon is gone with it; the devices come back with its next "Listen".
    const std::set<qint64> gone = std::exchange(attached_, {});
    for (qint64 deviceID : gone)
        NotificationCenter::defaultCenter().post(kPTUSBDeviceDidDetachNotification, hub_.get(),
                                                 {{QStringLiteral("MessageType"), QStringLiteral("Detached")},
                                                  {QStringLiteral("DeviceID"), deviceID}});
    relistenLater();
}

void HubLinkConnector::relistenLater() {
    if (!wanted_ || relistenTimer_) return;
    relistenTimer_ = mainQueue().after(kRelistenDelay, [self = lifetime_.guard()]() {
        if (!self) return;
        self->relistenTimer_.reset();
        self->listen();
    });
}

void HubLinkConnector::connectToUSBDevice(PTChannel& channel, quint16 port, qint64 deviceID,
                                          Callback callback) {
    channel.connectToPortOverUSBHub(port, hub_.get(), deviceID, std::move(callback));
}

void HubLinkConnector::connectToLocalIPv4Port(PTChannel& channel, quint16 port, ConnectCallback callback) {
    channel.connectToPort(port, INADDR_LOOPBACK, std::move(callback));
}
