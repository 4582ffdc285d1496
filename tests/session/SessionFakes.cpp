#include "SessionFakes.h"

#include "base/NotificationCenter.h"
#include "link/PTAddress.h"
#include "link/PTUSBHub.h"
#include "session/ConnectionManager.h"
#include "session/PeerMessage.h"

#include <QCoreApplication>
#include <algorithm>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

namespace {

QString num(double v) {
    return QString::number(v);
}

} // namespace

QPointF RecordingAppDelegate::getRelativePoint(QPointF p) {
    if (!contains(p)) return {-1.0, -1.0};
    return {(p.x() - zubScreen.x()) / zubScreen.width(), (zubScreen.bottom() - p.y()) / zubScreen.height()};
}

int RecordingAppDelegate::count(const QString& prefix) const {
    return int(
        std::count_if(calls.begin(), calls.end(), [&](const QString& c) { return c.startsWith(prefix); }));
}

void RecordingAppDelegate::resizeEventFromDevice(QSizeF size) {
    calls << QStringLiteral("resizeEventFromDevice(%1x%2)").arg(num(size.width()), num(size.height()));
}
void RecordingAppDelegate::handleTapEvent(QPointF p, bool ignoreSingleTap) {
    calls << QStringLiteral("handleTapEvent(%1,%2,%3)")
                 .arg(num(p.x()), num(p.y()))
                 .arg(ignoreSingleTap ? 1 : 0);
}
void RecordingAppDelegate::tap(const char* name, QPointF p) {
    calls << QStringLiteral("%1(%2,%3)").arg(QLatin1String(name), num(p.x()), num(p.y()));
}

TestPeer::TestPeer(int fd) : channel_(PTChannel::channelWithDelegate(this)) {
    OptError error;
    EXPECT_TRUE(channel_->startReadingFromConnectedSocket(fd, &error))
        << (error ? error->toString().toStdString() : "");
}

TestPeer::~TestPeer() {
    channel_->setDelegate(nullptr);
    channel_->close();
}

void TestPeer::send(uint32_t type, const QByteArray& payload, uint32_t tag) {
    channel_->sendFrameOfType(type, tag, payload, nullptr);
}

QStringList TestPeer::said() const {
    QStringList out;
    for (const Frame& f : frames)
        if (f.type == PeerMessage::kFrameTypeTextMessage)
            out << PeerMessage::decodeText(f.payload).value_or("<bad>");
        else if (f.type == PeerMessage::kFrameTypeEvent)
            out << "event:" + PeerMessage::decodeDictionary(f.payload)
                                  .value_or(QVariantMap())
                                  .value("eventName")
                                  .toString();
    return out;
}

QStringList TestPeer::texts() const {
    QStringList out = said();
    out.removeIf([](const QString& s) { return s.startsWith("event:"); });
    return out;
}

bool TestPeer::waitFor(const QString& text) {
    return waitUntil([&] { return texts().contains(text); });
}

void FakeLinkConnector::connectToUSBDevice(PTChannel& channel, quint16 port, qint64 deviceID,
                                           Callback callback) {
    attempts.push_back({true, deviceID, port, channel.shared_from_this(), std::move(callback), {}, false});
}

void FakeLinkConnector::connectToLocalIPv4Port(PTChannel& channel, quint16 port, ConnectCallback callback) {
    attempts.push_back({false, 0, port, channel.shared_from_this(), {}, std::move(callback), false});
}

std::vector<size_t> FakeLinkConnector::open(bool usb) const {
    std::vector<size_t> out;
    for (size_t i = 0; i < attempts.size(); ++i)
        if (!attempts[i].done && attempts[i].usb == usb) out.push_back(i);
    return out;
}

size_t FakeLinkConnector::count(bool usb) const {
    return size_t(
        std::count_if(attempts.begin(), attempts.end(), [&](const Attempt& a) { return a.usb == usb; }));
}

void FakeLinkConnector::end(size_t index, const OptError& error) {
    Attempt& a = attempts.at(index);
    EXPECT_FALSE(a.done);
    a.done = true;
    a.usb ? a.usbCallback(error) : a.tcpCallback(error, PTAddress());
}

std::unique_ptr<TestPeer> FakeLinkConnector::succeed(size_t index) {
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    auto channel = attempts.at(index).channel.lock();
    EXPECT_TRUE(channel && channel->startReadingFromConnectedSocket(fds[0], nullptr));
    if (!channel) ::close(fds[0]);
    end(index, std::nullopt);
    return std::make_unique<TestPeer>(fds[1]);
}

void FakeLinkConnector::attach(qint64 deviceID) {
    const QVariantMap properties{
        {"ConnectionType", "USB"}, {"DeviceID", deviceID}, {"SerialNumber", "serial"}};
    NotificationCenter::defaultCenter().post(
        kPTUSBDeviceDidAttachNotification, this,
        {{"MessageType", "Attached"}, {"DeviceID", deviceID}, {"Properties", properties}});
}

void FakeLinkConnector::detach(qint64 deviceID) {
    NotificationCenter::defaultCenter().post(kPTUSBDeviceDidDetachNotification, this,
                                             {{"MessageType", "Detached"}, {"DeviceID", deviceID}});
}

SessionRig::SessionRig() {
    info.listeners[ConnectionManager::kDefaultPort] = {info.uid};
}

std::unique_ptr<CaptureController> SessionRig::make() {
    auto connector = std::make_unique<FakeLinkConnector>();
    link = connector.get();
    auto made = std::make_unique<CaptureController>(
        info, std::move(connector),
        StreamController::Services{streams, displays, info, streamDefaults, {}, encoders, {}, {}});
    controller = made.get();
    return made;
}

void SessionRig::settle() {
    for (int i = 0; i < 8; ++i)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
}

size_t SessionRig::openAttempt(bool usb) {
    EXPECT_TRUE(waitUntil([&] { return !link->open(usb).empty(); }, 2000))
        << (usb ? "no USB attempt" : "no loopback attempt");
    const auto open = link->open(usb);
    EXPECT_EQ(open.size(), 1u);
    return open.empty() ? 0 : open.back();
}

std::unique_ptr<TestPeer> SessionRig::linkDevice(qint64 deviceID) {
    link->attach(deviceID);
    settle();
    auto peer = link->succeed(openAttempt(kUSB));
    settle();
    EXPECT_TRUE(controller->ptChannelConnected());
    return peer;
}

void SessionRig::introduce(TestPeer& peer, const QVariantMap& introduction) {
    peer.sendIntroduction(introduction);
    EXPECT_TRUE(waitUntil([&] { return controller->currentChannel() == 1; }));
}

void SessionRig::refuseLoopback() {
    for (size_t i : link->open(kLoopback))
        link->fail(i);
}
