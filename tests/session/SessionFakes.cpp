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

void TestPeer::sendIntroduction(const QVariantMap& info) {
    send(PeerMessage::kFrameTypeDeviceInfo, PeerMessage::encodeDictionary(info));
}

void TestPeer::sendEvent(const QVariantMap& event) {
    send(PeerMessage::kFrameTypeEvent, PeerMessage::encodeDictionary(event));
}

void TestPeer::close() {
    channel_->close();
}

QStringList TestPeer::texts() const {
    QStringList out;
    for (const Frame& f : frames)
        if (f.type == PeerMessage::kFrameTypeTextMessage)
            out << PeerMessage::decodeText(f.payload).value_or("<bad>");
    return out;
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

bool TestPeer::waitFor(const QString& text) {
    return waitUntil([&] { return texts().contains(text); });
}

void FakeLinkConnector::connectToUSBDevice(PTChannel& channel, quint16 port, qint64 deviceID,
                                           Callback callback) {
    Attempt a;
    a.usb = true;
    a.deviceID = deviceID;
    a.port = port;
    a.channel = channel.shared_from_this();
    a.usbCallback = std::move(callback);
    attempts.push_back(std::move(a));
}

void FakeLinkConnector::connectToLocalIPv4Port(PTChannel& channel, quint16 port, ConnectCallback callback) {
    Attempt a;
    a.port = port;
    a.channel = channel.shared_from_this();
    a.tcpCallback = std::move(callback);
    attempts.push_back(std::move(a));
}

std::vector<size_t> FakeLinkConnector::open(bool usb) const {
    std::vector<size_t> out;
    for (size_t i = 0; i < attempts.size(); ++i)
        if (!attempts[i].done && attempts[i].usb == usb) out.push_back(i);
    return out;
}

size_t FakeLinkConnector::count(bool usb) const {
    size_t n = 0;
    for (const Attempt& a : attempts)
        n += a.usb == usb ? 1 : 0;
    return n;
}

void FakeLinkConnector::fail(size_t index, int err) {
    Attempt& a = attempts.at(index);
    ASSERT_FALSE(a.done);
    a.done = true;
    if (a.usb)
        a.usbCallback(Error::posix(err));
    else
        a.tcpCallback(Error::posix(err), PTAddress());
}

std::unique_ptr<TestPeer> FakeLinkConnector::succeed(size_t index) {
    Attempt& a = attempts.at(index);
    EXPECT_FALSE(a.done);
    a.done = true;
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    auto channel = a.channel.lock();
    EXPECT_TRUE(channel);
    OptError error;
    if (channel) {
        EXPECT_TRUE(channel->startReadingFromConnectedSocket(fds[0], &error));
    } else {
        ::close(fds[0]);
    }
    if (a.usb)
        a.usbCallback(std::nullopt);
    else
        a.tcpCallback(std::nullopt, PTAddress());
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
