#include "link/PTUSBHub.h"
#include "LinkTestSupport.h"
#include "UsbmuxFakes.h"
#include "base/Bundle.h"
#include "base/NotificationCenter.h"
#include "fakes/ManualClock.h"
#include "fakes/TestSupport.h"
#include "link/IoChannel.h"
#include "link/PTUSBChannel.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

namespace {

const QString kMessageType = QStringLiteral("MessageType");

QVariantMap answer(int number) {
    return {{kMessageType, QStringLiteral("Result")}, {QStringLiteral("Number"), number}};
}
QVariantMap attached(qint64 id) {
    return {{kMessageType, QStringLiteral("Attached")},
            {QStringLiteral("DeviceID"), id},
            {QStringLiteral("Properties"),
             QVariantMap{{QStringLiteral("SerialNumber"), QStringLiteral("S%1").arg(id)}}}};
}

// Runs `body`, then checks that it left no descriptor open.
void leavesNothingOpen(const std::function<void()>& body) {
    const int before = openDescriptorCount();
    body();
    spinEventLoop(30);
    EXPECT_EQ(openDescriptorCount(), before);
}

// Records the hub's notifications.
struct Notes {
    std::vector<Notification> seen;
    std::vector<NotificationCenter::ObserverId> ids;
    explicit Notes(const PTUSBHub* hub) {
        for (const QString& name : {kPTUSBDeviceDidAttachNotification, kPTUSBDeviceDidDetachNotification})
            ids.push_back(NotificationCenter::defaultCenter().addObserver(
                name, hub, [this](const Notification& n) { seen.push_back(n); }));
    }
    ~Notes() {
        for (auto id : ids)
            NotificationCenter::defaultCenter().removeObserver(id);
    }
};

// One daemon connection over a socket pair: the test writes the daemon's bytes, the channel's answers
// (as error texts) and broadcasts are recorded.
struct DaemonSocket {
    int fd = -1;
    std::shared_ptr<PTUSBChannel> channel = PTUSBChannel::create();
    std::vector<std::string> answers;
    std::vector<QVariantMap> broadcasts;
    DaemonSocket() {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        channel->openWithDescriptor(fds[0], nullptr);
        fd = fds[1];
    }
    ~DaemonSocket() {
        channel->cancel();
        ::close(fd);
    }
    void request() {
        channel->sendRequest({{kMessageType, QStringLiteral("ListDevices")}},
                             [this](const OptError& e, const std::optional<QVariantMap>& answer) {
                                 answers.push_back(errorText(e, true) + (answer ? "" : " (no answer)"));
                             });
    }
    void listen() {
        channel->listenWithBroadcastHandler(
            [this](const QVariantMap& b) { broadcasts.push_back(b); },
            [this](const OptError& e) { answers.push_back(errorText(e, true)); });
    }
};

} // namespace

// The shared hub is made once and listens from the start. Its "Listen" request is XML (Debian's daemon
// drops binary requests) with tag 1, and its answer reaches the caller once (a second answer of the same
// tag has nobody waiting). "Attached" and "Detached" broadcasts, in either format, become notifications
// whose user info is the whole broadcast; other message types, and a packet without a dictionary, post
// nothing. When the daemon goes, its connection is over and forgotten.
TEST(PTUSBHub, ListensWithAnXmlRequestAndTurnsBroadcastsIntoNotifications) {
    PTUSBHub* hub = nullptr;
    {
        FakeDaemon daemon(QStringLiteral("listen.sock"));
        const QByteArray saved = qgetenv("USBMUXD_SOCKET_ADDRESS");
        qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:" + daemon.path().toLocal8Bit());
        hub = PTUSBHub::sharedHub();
        EXPECT_EQ(PTUSBHub::sharedHub(), hub);
        saved.isNull() ? qunsetenv("USBMUXD_SOCKET_ADDRESS") : qputenv("USBMUXD_SOCKET_ADDRESS", saved);
        Notes notes(hub);
        const FakeDaemon::Request r = daemon.nextRequest();
        EXPECT_EQ(r.header.protocol, 1u);
        EXPECT_EQ(r.header.type, 8u);
        EXPECT_EQ(r.header.tag, 1u);
        EXPECT_EQ(r.header.length, 16u + uint32_t(r.payload.size()));
        EXPECT_TRUE(r.payload.startsWith("<?xml"));
        const QVariantMap expected{
            {kMessageType, QStringLiteral("Listen")},
            {QStringLiteral("ProgName"), QStringLiteral("ZubPad")},
            {QStringLiteral("ClientVersionString"),
             Bundle::main().objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion")).toString()}};
        EXPECT_EQ(r.dict, expected);
        const QVariantMap detached{{kMessageType, QStringLiteral("Detached")}, {"DeviceID", 5}};
        daemon.send(0,
                    FakeDaemon::packet(1, answer(0)) + FakeDaemon::packet(1, answer(3)) +
                        FakeDaemon::packet(0, attached(5)) +
                        FakeDaemon::packet(0, {{kMessageType, QStringLiteral("Paired")}, {"DeviceID", 5}}) +
                        FakeDaemon::header(16, 1, 8, 0) +
                        FakeDaemon::packet(0, detached, PropertyList::Format::Binary));
        ASSERT_TRUE(waitUntil([&] { return notes.seen.size() >= 2; }));
        spinEventLoop(20);
        ASSERT_EQ(notes.seen.size(), 2u);
        EXPECT_EQ(notes.seen[0].name, kPTUSBDeviceDidAttachNotification);
        EXPECT_EQ(notes.seen[0].userInfo, attached(5));
        EXPECT_EQ(notes.seen[1].name, kPTUSBDeviceDidDetachNotification);
        EXPECT_EQ(notes.seen[1].userInfo, detached);
        bool again = false;
        hub->listenOnQueue([&](const OptError& e) { again = !e; }, nullptr);
        EXPECT_TRUE(again) << "an already listening hub answers at once";
        EXPECT_EQ(daemon.client(1, 50), nullptr) << "one listening connection only";
    }
    EXPECT_TRUE(waitUntil([&] { return !hub->isListening(); }));
}

// A packet of the wrong protocol or type, or whose payload is no whole dictionary, fails the request it
// answers and is skipped as a broadcast: the stream stays in step. A length no packet can have ends the
// connection before anything is read for it, and no read is issued on it again.
TEST(PTUSBChannel, MalformedPacketsFailTheirRequestAndImpossibleLengthsEndTheConnection) {
    const QByteArray array = PropertyList::serialize(QVariantList{1, 2}, PropertyList::Format::Xml);
    const QByteArray truncated = PropertyList::serialize(answer(0), PropertyList::Format::Binary).chopped(5);
    auto length = [](uint32_t value) {
        QByteArray word(4, Qt::Uninitialized);
        qToLittleEndian<quint32>(value, word.data());
        return word + FakeDaemon::packet(1, answer(0)); // a good answer follows: it must not be read
    };
    const struct {
        QByteArray bytes;
        const char* error;
        bool ends;
    } cases[] = {
        {UsbmuxPacket::encode(0, 8, 1, array), "PTUSBHubError 0: Unexpected package protocol", false},
        {UsbmuxPacket::encode(1, 7, 1, array), "PTUSBHubError 0: Unexpected package type", false},
        {UsbmuxPacket::encodePlist(1, array), "PropertyListError", false},
        {UsbmuxPacket::encodePlist(1, truncated), "PropertyListError", false},
        {length(0), "PTUSBHubError 0: Invalid packet length 0", true},
        {length(15), "PTUSBHubError 0: Invalid packet length 15", true},
        {length(UsbmuxPacket::kMaxLength + 1), "PTUSBHubError 0: Invalid packet length 16777217", true},
        {length(0xffffffffu), "PTUSBHubError 0: Invalid packet length 4294967295", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.error);
        DaemonSocket d;
        d.listen();
        sendAll(d.fd, c.bytes);
        ASSERT_TRUE(waitUntil([&] { return !d.answers.empty() && d.channel->hasEnded() == c.ends; }));
        EXPECT_EQ(d.answers[0].rfind(c.error, 0), 0u) << d.answers[0];
        if (!c.ends) {
            sendAll(d.fd, UsbmuxPacket::encode(0, 8, 0, array) + UsbmuxPacket::encode(1, 7, 0, array) +
                              UsbmuxPacket::encodePlist(0, truncated) + FakeDaemon::packet(0, attached(9)));
            ASSERT_TRUE(waitUntil([&] { return !d.broadcasts.empty(); }));
        }
        spinEventLoop(10);
        EXPECT_EQ(d.broadcasts, c.ends ? std::vector<QVariantMap>{} : std::vector<QVariantMap>{attached(9)});
        EXPECT_EQ(d.channel->isReadingPackets(), !c.ends);
        EXPECT_EQ(d.answers.size(), 1u);
        if (c.ends) {
            EXPECT_TRUE(waitUntil([&] {
                char byte;
                return readAvailable(d.fd).isEmpty() && ::recv(d.fd, &byte, 1, MSG_DONTWAIT) == 0;
            })) << "the socket is closed";
        }
    }
}

// A "Connect" names the device and the port in network byte order, with tag 1 on its own socket. Only
// "Number" 0 hands the socket over, from the byte after the answer (here in the same piece), and its end
// is told once it closes. Every other outcome reaches onStart once, with its socket closed and no end
// told: the daemon's result numbers with their texts (a "Number" missing or not a number is no success
// either), an answer without a dictionary, no answer within kConnectTimeout, no daemon at the path.
TEST(PTUSBHub, AConnectSucceedsOnlyOnNumberZeroAndHandsOverTheBytesAfterTheAnswer) {
    const struct {
        QByteArray answer;
        std::string error;
    } cases[] = {
        {FakeDaemon::packet(1, answer(0)) + "HELLO", "nil"},
        {FakeDaemon::packet(1, answer(1)), "PTUSBHubError 1: illegal command"},
        {FakeDaemon::packet(1, answer(2)), "PTUSBHubError 2: unknown device"},
        {FakeDaemon::packet(1, answer(3)), "PTUSBHubError 3: connection refused"},
        {FakeDaemon::packet(1, answer(6)), "PTUSBHubError 6: invalid version"},
        {FakeDaemon::packet(1, answer(42)), "PTUSBHubError 42: Unspecified error"},
        {FakeDaemon::packet(1, {{kMessageType, QStringLiteral("Result")}}), "PTUSBHubError 0: "},
        {FakeDaemon::packet(1, {{QStringLiteral("Number"), QStringLiteral("0")}}), "PTUSBHubError 0: "},
        {FakeDaemon::header(16, 1, 8, 1), "PTUSBHubError 0: "},
        {{}, "NSPOSIXErrorDomain " + std::to_string(ETIMEDOUT)}, // no answer
    };
    leavesNothingOpen([&] {
        ManualClock clock;
        FakeDaemon daemon(QStringLiteral("codes.sock"));
        PTUSBHub hub(UsbmuxAddress::unixSocket(daemon.path()));
        for (size_t i = 0; i < std::size(cases); ++i) {
            SCOPED_TRACE(cases[i].error);
            ConnectResult c;
            connectTo(hub, 42, 23481, c);
            const FakeDaemon::Request r = daemon.nextRequest(i);
            EXPECT_EQ(r.header.tag, 1u);
            EXPECT_EQ(r.dict.value(kMessageType), QStringLiteral("Connect"));
            EXPECT_EQ(r.dict.value(QStringLiteral("DeviceID")).toLongLong(), 42);
            EXPECT_EQ(r.dict.value(QStringLiteral("PortNumber")).toLongLong(), 47451);
            if (cases[i].answer.isEmpty()) {
                clock.advance(PTUSBHub::kConnectTimeout - 0.1);
                spinEventLoop(20);
                EXPECT_FALSE(c.started);
                clock.advance(0.2);
            }
            daemon.send(i, cases[i].answer);
            ASSERT_TRUE(waitUntil([&] { return c.started; }));
            EXPECT_EQ(errorText(c.error, cases[i].error[0] == 'P'), cases[i].error);
            if (!c.error) {
                QByteArray got;
                c.io->read(5, [&](int, QByteArray data, bool) { got = data; });
                c.io->write("ping", {}, nullptr);
                ASSERT_TRUE(
                    waitUntil([&] { return !got.isEmpty() && daemon.client(i)->bytesAvailable() >= 4; }));
                EXPECT_EQ(got, "HELLO");
                EXPECT_EQ(daemon.client(i)->readAll(), "ping");
                c.io->close(false);
                ASSERT_TRUE(waitUntil([&] { return c.ends == 1; }));
                c.io.reset();
            }
            EXPECT_EQ(c.io, nullptr);
            EXPECT_TRUE(daemon.waitForHangUp(i));
            spinEventLoop(10);
            EXPECT_EQ(c.starts, 1);
            EXPECT_EQ(c.ends, c.error ? 0 : 1);
        }
        for (const QString& path :
             {tempPath(QStringLiteral("nobody.sock")), QString(200, QLatin1Char('x'))}) {
            PTUSBHub absent(UsbmuxAddress::unixSocket(path));
            ConnectResult c;
            connectTo(absent, 1, 80, c);
            EXPECT_TRUE(c.started);
            EXPECT_EQ(errorText(c.error),
                      "NSPOSIXErrorDomain " + std::to_string(path.size() > 150 ? ENAMETOOLONG : ENOENT));
            OptError listen;
            absent.listenOnQueue([&](const OptError& e) { listen = e; }, nullptr);
            EXPECT_TRUE(listen);
            EXPECT_FALSE(absent.isListening());
        }
    });
}

// The forms USBMUXD_SOCKET_ADDRESS may take; a TCP daemon is reached at its address, here asked in the
// binary format.
TEST(UsbmuxAddress, EnvironmentFormsAndATcpDaemonWithBinaryRequests) {
    auto unix = UsbmuxAddress::fromString(QStringLiteral("UNIX:/tmp/mux"));
    ASSERT_TRUE(unix);
    EXPECT_EQ(unix->kind, UsbmuxAddress::Unix);
    EXPECT_EQ(unix->path, QStringLiteral("/tmp/mux"));
    EXPECT_EQ(UsbmuxAddress::fromString(QStringLiteral("[::1]:5"))->host, QStringLiteral("::1"));
    for (const char* bad : {"", "UNIX:", "nohost", ":80", "host:0", "host:65536", "host:x"})
        EXPECT_FALSE(UsbmuxAddress::fromString(QString::fromUtf8(bad))) << bad;
    const QByteArray saved = qgetenv("USBMUXD_SOCKET_ADDRESS");
    qunsetenv("USBMUXD_SOCKET_ADDRESS");
    EXPECT_EQ(UsbmuxAddress::fromEnvironment().path, QStringLiteral("/var/run/usbmuxd"));
    qputenv("USBMUXD_SOCKET_ADDRESS", "garbage");
    EXPECT_TRUE(UsbmuxAddress::fromEnvironment().path.isEmpty()) << "a bad setting reaches no daemon";
    saved.isNull() ? qunsetenv("USBMUXD_SOCKET_ADDRESS") : qputenv("USBMUXD_SOCKET_ADDRESS", saved);

    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    const QString text = QStringLiteral("127.0.0.1:%1").arg(server.serverPort());
    UsbmuxAddress address = UsbmuxAddress::fromString(text).value_or(UsbmuxAddress{});
    EXPECT_EQ(address.kind, UsbmuxAddress::Tcp);
    EXPECT_EQ(address.toString(), text);
    address.requestFormat = PropertyList::Format::Binary;
    PTUSBHub hub(address);
    OptError result = Error::make(QStringLiteral("unset"), -1);
    hub.listenOnQueue([&](const OptError& e) { result = e; }, nullptr);
    ASSERT_TRUE(waitUntil([&] { return server.hasPendingConnections(); }));
    QTcpSocket* s = server.nextPendingConnection();
    QByteArray got;
    ASSERT_TRUE(waitUntil([&] {
        got += s->readAll();
        return got.size() >= 16 && got.size() >= qsizetype(UsbmuxPacket::decodeLength(got.constData()));
    }));
    EXPECT_TRUE(UsbmuxPacket::payloadIsBinary(got.sliced(16)));
    const UsbmuxPacket::Decoded request =
        UsbmuxPacket::decode(UsbmuxPacket::decodeHeader(got.constData()), got.sliced(16));
    ASSERT_TRUE(request.dictionary);
    EXPECT_EQ(request.dictionary->value(kMessageType), QStringLiteral("Listen"));
    s->write(FakeDaemon::packet(request.tag, answer(0), PropertyList::Format::Binary));
    ASSERT_TRUE(waitUntil([&] { return !result.has_value(); }));
}

// The first request arms the only read; listening afterwards must not start a second one, yet the
// broadcasts reach the handler given then, and answers their requests whatever their order. When the
// daemon closes the connection every request still waiting fails once, no read is re-armed, and a later
// request fails at once.
TEST(PTUSBChannel, OneReadServesAnswersAndBroadcastsAndWaitingRequestsFailOnceAtTheEnd) {
    DaemonSocket d;
    d.request();
    d.listen();
    sendAll(d.fd, FakeDaemon::packet(0, attached(1)) + FakeDaemon::packet(2, answer(0)) +
                      FakeDaemon::packet(1, answer(0)) + FakeDaemon::packet(0, attached(2)));
    ASSERT_TRUE(waitUntil([&] { return d.answers.size() == 2 && d.broadcasts.size() == 2; }));
    EXPECT_EQ(d.broadcasts, (std::vector<QVariantMap>{attached(1), attached(2)}));
    EXPECT_EQ(d.answers, (std::vector<std::string>{"nil", "nil"}));
    EXPECT_TRUE(d.channel->isReadingPackets()) << "a listening connection keeps one read outstanding";

    d.answers.clear();
    for (int i = 0; i < 3; ++i)
        d.request();
    EXPECT_EQ(d.channel->pendingRequestCount(), 3u);
    ::shutdown(d.fd, SHUT_WR);
    ASSERT_TRUE(waitUntil([&] { return d.channel->hasEnded() && d.answers.size() == 3; }));
    EXPECT_FALSE(d.channel->isReadingPackets());
    d.request();
    ASSERT_TRUE(waitUntil([&] { return d.answers.size() == 4; }));
    spinEventLoop(20);
    EXPECT_EQ(d.answers, std::vector<std::string>(
                             4, "PTUSBHubError 0: The usbmux daemon closed the connection (no answer)"));
}

// The channel's side of the USB road (the road itself is driven by tests/integration): a protocol error
// after the daemon's answer ends the channel with that error even though the daemon's socket closed
// cleanly; an attempt refused, or closed by its owner while the daemon was still answering, never
// becomes a connection and tells no end.
TEST(PTChannelUsb, AnErrorOnTheRoadReachesTheDelegateAndAFailedAttemptTellsNoEnd) {
    FakeDaemon daemon(QStringLiteral("channel-usb.sock"));
    PTUSBHub hub(UsbmuxAddress::unixSocket(daemon.path()));
    RecordingDelegate linked, failed;
    auto channel = PTChannel::channelWithDelegate(&linked);
    std::vector<std::string> results;
    auto record = [&](const OptError& e) { results.push_back(errorText(e)); };
    channel->connectToPortOverUSBHub(23481, &hub, 7, record);
    EXPECT_EQ(channel->connState(), PTChannel::kConnecting);
    daemon.send(0, FakeDaemon::packet(daemon.nextRequest(0).header.tag, answer(0)) +
                       rawFrame(100, 1, "device") + rawFrame(100, 0, "x", 2));
    ASSERT_TRUE(waitUntil([&] { return linked.ends > 0; }));

    auto refused = PTChannel::channelWithDelegate(&failed);
    refused->connectToPortOverUSBHub(23481, &hub, 7, record);
    daemon.send(1, FakeDaemon::packet(daemon.nextRequest(1).header.tag, answer(3)));
    ASSERT_TRUE(waitUntil([&] { return results.size() == 2; }));
    auto abandoned = PTChannel::channelWithDelegate(&failed);
    abandoned->connectToPortOverUSBHub(23481, &hub, 8, record);
    const FakeDaemon::Request third = daemon.nextRequest(2);
    abandoned->close();
    EXPECT_EQ(abandoned->connState(), PTChannel::kClosed);
    daemon.send(2, FakeDaemon::packet(third.header.tag, answer(0)));
    ASSERT_TRUE(waitUntil([&] { return results.size() == 3; }));
    EXPECT_TRUE(daemon.waitForHangUp(0) && daemon.waitForHangUp(1) && daemon.waitForHangUp(2));
    spinEventLoop(50);
    EXPECT_EQ(results, (std::vector<std::string>{"nil", "PTUSBHubError 3",
                                                 "NSPOSIXErrorDomain " + std::to_string(ECANCELED)}));
    EXPECT_EQ(linked.frames.size(), 1u);
    EXPECT_EQ(linked.ends, 1);
    EXPECT_EQ(errorText(linked.endError), "PTProtocolError 0");
    EXPECT_EQ(refused->connState(), PTChannel::kClosed);
    EXPECT_EQ(failed.ends, 0);
    EXPECT_TRUE(failed.frames.empty());
}
