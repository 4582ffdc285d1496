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

void setEnvironment(const char* name, const QByteArray& value) {
    value.isNull() ? qunsetenv(name) : qputenv(name, value);
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

// A hub listening on a fake daemon.
struct ListeningHub {
    FakeDaemon daemon;
    PTUSBHub hub;
    Notes notes{&hub};
    std::vector<OptError> starts;
    int ends = 0;
    explicit ListeningHub(const QString& name) : daemon(name), hub(UsbmuxAddress::unixSocket(daemon.path())) {
        hub.listenOnQueue([this](const OptError& e) { starts.push_back(e); },
                          [this](const OptError&) { ++ends; });
    }
    // A broadcast after what went before must still arrive: the stream is in step.
    bool stillInStep(qint64 id) {
        daemon.send(0, FakeDaemon::packet(0, attached(id)));
        return waitUntil([&] {
            return !notes.seen.empty() && notes.seen.back().userInfo.value(QStringLiteral("DeviceID")) == id;
        });
    }
};

} // namespace

TEST(PTUSBHub, ListenIsAnXmlRequestWithTagOneAnsweredOnce) {
    leavesNothingOpen([] {
        ListeningHub h(QStringLiteral("listen.sock"));
        const FakeDaemon::Request r = h.daemon.nextRequest();
        EXPECT_EQ(r.header.protocol, 1u);
        EXPECT_EQ(r.header.type, 8u);
        EXPECT_EQ(r.header.tag, 1u);
        EXPECT_EQ(r.header.length, 16u + uint32_t(r.payload.size()));
        EXPECT_TRUE(r.payload.startsWith("<?xml")) << "Debian's daemon drops binary requests";
        EXPECT_EQ(r.dict.value(kMessageType), QStringLiteral("Listen"));
        EXPECT_EQ(r.dict.value(QStringLiteral("ProgName")), QStringLiteral("ZubPad"));
        EXPECT_EQ(r.dict.value(QStringLiteral("ClientVersionString")),
                  Bundle::main().objectForInfoDictionaryKey(QStringLiteral("CFBundleVersion")).toString());
        // Answered twice: the second answer's tag has nobody waiting and is dropped.
        h.daemon.send(0, FakeDaemon::packet(1, answer(0)) + FakeDaemon::packet(1, answer(3)));
        ASSERT_TRUE(h.stillInStep(7));
        ASSERT_EQ(h.starts.size(), 1u);
        EXPECT_FALSE(h.starts[0]);
        bool again = false;
        h.hub.listenOnQueue([&](const OptError& e) { again = !e; }, nullptr);
        EXPECT_TRUE(again) << "an already listening hub answers at once";
    });
}

TEST(PTUSBHub, SharedHubIsMadeOnceAndListensFromTheStart) {
    FakeDaemon daemon(QStringLiteral("shared.sock"));
    const QByteArray saved = qgetenv("USBMUXD_SOCKET_ADDRESS");
    qputenv("USBMUXD_SOCKET_ADDRESS", "UNIX:" + daemon.path().toLocal8Bit());
    PTUSBHub* hub = PTUSBHub::sharedHub();
    EXPECT_EQ(PTUSBHub::sharedHub(), hub);
    setEnvironment("USBMUXD_SOCKET_ADDRESS", saved);
    Notes notes(hub);
    const FakeDaemon::Request r = daemon.nextRequest();
    EXPECT_EQ(r.dict.value(kMessageType), QStringLiteral("Listen"));
    daemon.send(0, FakeDaemon::packet(r.header.tag, answer(0)) + FakeDaemon::packet(0, attached(2)));
    ASSERT_TRUE(waitUntil([&] { return notes.seen.size() == 1; }));
    EXPECT_EQ(notes.seen[0].userInfo, attached(2));
    EXPECT_EQ(daemon.client(1, 50), nullptr) << "one listening connection only";
}

TEST(PTUSBHub, BroadcastsBecomeNotificationsAndOthersAreIgnored) {
    ListeningHub h(QStringLiteral("broadcasts.sock"));
    h.daemon.send(0, FakeDaemon::packet(h.daemon.nextRequest().header.tag, answer(0)));
    const QVariantMap detached{{kMessageType, QStringLiteral("Detached")}, {QStringLiteral("DeviceID"), 5}};
    h.daemon.send(0, FakeDaemon::packet(0, attached(5)) +
                         FakeDaemon::packet(
                             0, {{kMessageType, QStringLiteral("Paired")}, {QStringLiteral("DeviceID"), 5}}) +
                         FakeDaemon::header(16, 1, 8, 0) + // no dictionary at all
                         FakeDaemon::packet(0, detached, PropertyList::Format::Binary));
    ASSERT_TRUE(waitUntil([&] { return h.notes.seen.size() >= 2; }));
    spinEventLoop(20);
    ASSERT_EQ(h.notes.seen.size(), 2u);
    EXPECT_EQ(h.notes.seen[0].name, kPTUSBDeviceDidAttachNotification);
    EXPECT_EQ(h.notes.seen[0].userInfo, attached(5)) << "the whole broadcast is the user info";
    EXPECT_EQ(h.notes.seen[1].name, kPTUSBDeviceDidDetachNotification);
    EXPECT_EQ(h.notes.seen[1].userInfo, detached);
}

TEST(PTUSBHub, MalformedPacketsFailTheirRequestAndKeepTheStreamInStep) {
    const QByteArray array = PropertyList::serialize(QVariantList{1, 2}, PropertyList::Format::Xml);
    const QByteArray truncated = PropertyList::serialize(answer(0), PropertyList::Format::Binary).chopped(5);
    const struct {
        QByteArray bytes;
        QString domain, text;
    } cases[] = {
        {UsbmuxPacket::encode(0, 8, 1, array), kPTUSBHubErrorDomain, "Unexpected package protocol"},
        {UsbmuxPacket::encode(1, 7, 1, array), kPTUSBHubErrorDomain, "Unexpected package type"},
        {UsbmuxPacket::encodePlist(1, array), kPropertyListErrorDomain, {}},
        {UsbmuxPacket::encodePlist(1, truncated), kPropertyListErrorDomain, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes.toHex().left(40).toStdString());
        ListeningHub h(QStringLiteral("malformed.sock"));
        h.daemon.nextRequest();
        h.daemon.send(0, c.bytes);
        ASSERT_TRUE(waitUntil([&] { return !h.starts.empty(); }));
        ASSERT_TRUE(h.starts[0]);
        EXPECT_EQ(h.starts[0]->domain, c.domain);
        if (!c.text.isEmpty()) {
            EXPECT_EQ(h.starts[0]->description, c.text);
        }
        // The same faults in broadcasts are skipped; the packet after them arrives.
        h.daemon.send(0, UsbmuxPacket::encode(0, 8, 0, array) + UsbmuxPacket::encode(1, 7, 0, array) +
                             UsbmuxPacket::encodePlist(0, truncated));
        EXPECT_TRUE(h.stillInStep(9));
        EXPECT_EQ(h.notes.seen.size(), 1u);
    }
}

TEST(PTUSBHub, ImpossibleLengthsEndTheConnectionBeforeAnythingIsRead) {
    leavesNothingOpen([] {
        for (uint32_t length : {0u, 15u, UsbmuxPacket::kMaxLength + 1, 0xffffffffu}) {
            SCOPED_TRACE(length);
            ListeningHub h(QStringLiteral("length.sock"));
            h.daemon.nextRequest();
            // A well-formed answer follows the bad length word: it must not be read.
            QByteArray word(4, Qt::Uninitialized);
            qToLittleEndian<quint32>(length, word.data());
            h.daemon.send(0, word + FakeDaemon::packet(1, answer(0)));
            ASSERT_TRUE(waitUntil([&] { return !h.starts.empty() && h.ends == 1; }));
            ASSERT_TRUE(h.starts[0]);
            EXPECT_EQ(h.starts[0]->description, QStringLiteral("Invalid packet length %1").arg(length));
            EXPECT_TRUE(h.daemon.waitForHangUp());
            EXPECT_FALSE(h.hub.isListening())
                << "an ended connection is forgotten, so listening again reconnects";
            spinEventLoop(10);
            EXPECT_EQ(h.starts.size(), 1u);
        }
    });
}

TEST(PTUSBHub, DaemonClosingFailsWaitingRequests) {
    leavesNothingOpen([] {
        ListeningHub h(QStringLiteral("close.sock"));
        ConnectResult c;
        connectTo(h.hub, 3, 23481, c);
        h.daemon.nextRequest(0);
        h.daemon.nextRequest(1);
        h.daemon.client(0)->abort();
        h.daemon.client(1)->abort();
        ASSERT_TRUE(waitUntil([&] { return !h.starts.empty() && c.started && h.ends == 1; }));
        ASSERT_TRUE(h.starts[0]) << "the listen request fails rather than waiting for ever";
        EXPECT_EQ(h.starts[0]->domain, kPTUSBHubErrorDomain);
        ASSERT_TRUE(c.error);
        EXPECT_EQ(c.io, nullptr);
        spinEventLoop(20);
        EXPECT_EQ(c.ends, 0) << "a socket never handed over ends through onStart only";
        EXPECT_EQ(h.starts.size(), 1u);
    });
}

TEST(PTUSBHub, ConnectHandsOverTheStreamFromTheByteAfterTheAnswer) {
    leavesNothingOpen([] {
        FakeDaemon daemon(QStringLiteral("connect.sock"));
        PTUSBHub hub(UsbmuxAddress::unixSocket(daemon.path()));
        ConnectResult c;
        connectTo(hub, 42, 23481, c);
        const FakeDaemon::Request r = daemon.nextRequest();
        EXPECT_EQ(r.header.tag, 1u);
        EXPECT_EQ(r.dict.value(kMessageType), QStringLiteral("Connect"));
        EXPECT_EQ(r.dict.value(QStringLiteral("DeviceID")).toLongLong(), 42);
        EXPECT_EQ(r.dict.value(QStringLiteral("PortNumber")).toLongLong(), 47451);
        // The answer and the device's first bytes arrive in one piece.
        daemon.send(0, FakeDaemon::packet(1, answer(0)) + "HELLO");
        ASSERT_TRUE(waitUntil([&] { return c.started; }));
        ASSERT_FALSE(c.error) << c.error->toString().toStdString();
        QByteArray got;
        c.io->read(5, [&](int, QByteArray data, bool) { got = data; });
        ASSERT_TRUE(waitUntil([&] { return !got.isEmpty(); }));
        EXPECT_EQ(got, "HELLO");
        c.io->write("ping", {}, nullptr);
        ASSERT_TRUE(waitUntil([&] { return daemon.client()->bytesAvailable() >= 4; }));
        EXPECT_EQ(daemon.client()->readAll(), "ping");
        c.io->close(false);
        ASSERT_TRUE(waitUntil([&] { return c.ends == 1; }));
        EXPECT_EQ(c.starts, 1);
        c.io.reset();
    });
}

TEST(PTUSBHub, ResultNumbersBecomeErrorsWithTheirTexts) {
    const struct {
        QVariantMap answer;
        int code;
        const char* text;
    } cases[] = {
        {answer(1), 1, "illegal command"},
        {answer(2), 2, "unknown device"},
        {answer(3), 3, "connection refused"},
        {answer(6), 6, "invalid version"},
        {answer(42), 42, "Unspecified error"},
        {{{kMessageType, QStringLiteral("Result")}}, 0, ""},
        {{{QStringLiteral("Number"), QStringLiteral("0")}}, 0, ""}, // not a number: not a success either
    };
    leavesNothingOpen([&] {
        FakeDaemon daemon(QStringLiteral("codes.sock"));
        PTUSBHub hub(UsbmuxAddress::unixSocket(daemon.path()));
        for (size_t i = 0; i < std::size(cases); ++i) {
            SCOPED_TRACE(i);
            ConnectResult c;
            connectTo(hub, 1, 80, c);
            daemon.send(i, FakeDaemon::packet(daemon.nextRequest(i).header.tag, cases[i].answer));
            ASSERT_TRUE(waitUntil([&] { return c.started; }));
            ASSERT_TRUE(c.error);
            EXPECT_EQ(c.error->domain, kPTUSBHubErrorDomain);
            EXPECT_EQ(c.error->code, cases[i].code);
            EXPECT_EQ(c.error->description, QString::fromUtf8(cases[i].text));
            EXPECT_EQ(c.io, nullptr);
            EXPECT_TRUE(daemon.waitForHangUp(i)) << "a refused connect closes its socket";
            EXPECT_EQ(c.ends, 0);
        }
    });
}

// A daemon that sends an answer with nothing in it, or never answers at all, must not leave the
// attempt hanging: the connection manager only tries again once the attempt has ended.
TEST(PTUSBHub, ConnectWithoutAUsableAnswerFailsAndClosesItsSocket) {
    ManualClock clock;
    FakeDaemon daemon(QStringLiteral("silent.sock"));
    PTUSBHub hub(UsbmuxAddress::unixSocket(daemon.path()));

    ConnectResult bare;
    connectTo(hub, 1, 80, bare);
    const FakeDaemon::Request first = daemon.nextRequest(0);
    daemon.send(0, FakeDaemon::header(16, 1, 8, first.header.tag)); // a header and no dictionary
    ASSERT_TRUE(waitUntil([&] { return bare.started; }));
    ASSERT_TRUE(bare.error);
    EXPECT_EQ(bare.error->domain, kPTUSBHubErrorDomain);
    EXPECT_EQ(bare.io, nullptr);
    EXPECT_TRUE(daemon.waitForHangUp(0));

    ConnectResult silent;
    connectTo(hub, 1, 80, silent);
    ASSERT_EQ(daemon.nextRequest(1).dict.value(kMessageType), QStringLiteral("Connect"));
    clock.advance(PTUSBHub::kConnectTimeout - 0.1);
    spinEventLoop(20);
    EXPECT_FALSE(silent.started);
    clock.advance(0.2);
    ASSERT_TRUE(waitUntil([&] { return silent.started; }));
    ASSERT_TRUE(silent.error);
    EXPECT_EQ(silent.error->code, ETIMEDOUT);
    EXPECT_TRUE(daemon.waitForHangUp(1));
    // An answer after the timeout changes nothing.
    EXPECT_EQ(silent.starts, 1);
    EXPECT_EQ(silent.ends, 0);
}

TEST(PTUSBHub, NoDaemonIsAPosixErrorAndLeavesNothingOpen) {
    leavesNothingOpen([] {
        PTUSBHub absent(UsbmuxAddress::unixSocket(tempPath(QStringLiteral("nobody.sock"))));
        ConnectResult c;
        connectTo(absent, 1, 80, c);
        ASSERT_TRUE(c.started && c.error);
        EXPECT_EQ(c.error->domain, kPOSIXErrorDomain);
        EXPECT_EQ(c.error->code, ENOENT);
        OptError listen;
        absent.listenOnQueue([&](const OptError& e) { listen = e; }, nullptr);
        ASSERT_TRUE(listen);
        EXPECT_FALSE(absent.isListening());

        PTUSBHub tooLong(UsbmuxAddress::unixSocket(QString(200, QLatin1Char('x'))));
        ConnectResult l;
        connectTo(tooLong, 1, 80, l);
        ASSERT_TRUE(l.error);
        EXPECT_EQ(l.error->code, ENAMETOOLONG);
    });
}

TEST(UsbmuxAddress, EnvironmentForms) {
    auto unix = UsbmuxAddress::fromString(QStringLiteral("UNIX:/tmp/mux"));
    ASSERT_TRUE(unix);
    EXPECT_EQ(unix->kind, UsbmuxAddress::Unix);
    EXPECT_EQ(unix->path, QStringLiteral("/tmp/mux"));
    auto tcp = UsbmuxAddress::fromString(QStringLiteral("127.0.0.1:27015"));
    ASSERT_TRUE(tcp);
    EXPECT_EQ(tcp->kind, UsbmuxAddress::Tcp);
    EXPECT_EQ(tcp->host, QStringLiteral("127.0.0.1"));
    EXPECT_EQ(tcp->port, 27015);
    EXPECT_EQ(UsbmuxAddress::fromString(QStringLiteral("[::1]:5"))->host, QStringLiteral("::1"));
    for (const char* bad : {"", "UNIX:", "nohost", ":80", "host:0", "host:65536", "host:x"})
        EXPECT_FALSE(UsbmuxAddress::fromString(QString::fromUtf8(bad))) << bad;

    const QByteArray saved = qgetenv("USBMUXD_SOCKET_ADDRESS");
    qunsetenv("USBMUXD_SOCKET_ADDRESS");
    EXPECT_EQ(UsbmuxAddress::fromEnvironment().path, QStringLiteral("/var/run/usbmuxd"));
    qputenv("USBMUXD_SOCKET_ADDRESS", "garbage");
    EXPECT_TRUE(UsbmuxAddress::fromEnvironment().path.isEmpty()) << "a bad setting reaches no daemon";
    setEnvironment("USBMUXD_SOCKET_ADDRESS", saved);
}

TEST(UsbmuxAddress, TcpDaemonAndBinaryRequests) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost));
    UsbmuxAddress address =
        *UsbmuxAddress::fromString(QStringLiteral("127.0.0.1:%1").arg(server.serverPort()));
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
    const UsbmuxPacket::Decoded request =
        UsbmuxPacket::decode(UsbmuxPacket::decodeHeader(got.constData()), got.sliced(16));
    EXPECT_TRUE(UsbmuxPacket::payloadIsBinary(got.sliced(16)));
    ASSERT_TRUE(request.dictionary);
    EXPECT_EQ(request.dictionary->value(kMessageType), QStringLiteral("Listen"));
    s->write(FakeDaemon::packet(request.tag, answer(0), PropertyList::Format::Binary));
    ASSERT_TRUE(waitUntil([&] { return !result.has_value(); }));
}

TEST(PTUSBChannel, EveryWaitingRequestFailsOnceWhenTheConnectionEnds) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    auto channel = PTUSBChannel::create();
    channel->openWithDescriptor(fds[0], nullptr);
    std::vector<int> calls(3, 0);
    for (int i = 0; i < 3; ++i)
        channel->sendRequest(PTUSBChannel::packetDictionaryWithPacketType(QStringLiteral("Listen")),
                             [&calls, i](const OptError& e, const std::optional<QVariantMap>& a) {
                                 EXPECT_TRUE(e && !a);
                                 ++calls[size_t(i)];
                             });
    EXPECT_EQ(channel->pendingRequestCount(), 3u);
    ::close(fds[1]);
    ASSERT_TRUE(waitUntil([&] { return channel->hasEnded() && calls == std::vector<int>{1, 1, 1}; }));
    EXPECT_FALSE(channel->isReadingPackets()) << "no read is re-armed on an ended connection";
    bool late = false;
    channel->sendRequest({}, [&](const OptError& e, const std::optional<QVariantMap>&) { late = bool(e); });
    ASSERT_TRUE(waitUntil([&] { return late; }));
    spinEventLoop(20);
    EXPECT_EQ(calls, (std::vector<int>{1, 1, 1}));
}

TEST(PTUSBChannel, AHandlerGivenWhileAReadIsOutstandingGetsTheBroadcasts) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    auto channel = PTUSBChannel::create();
    channel->openWithDescriptor(fds[0], nullptr);
    int answers = 0;
    std::vector<QVariantMap> broadcasts;
    // The first request arms the only read; listening afterwards must not start a second one.
    channel->sendRequest(
        {{kMessageType, QStringLiteral("ListDevices")}},
        [&](const OptError& e, const std::optional<QVariantMap>&) { answers += e ? 100 : 1; });
    channel->listenWithBroadcastHandler([&](const QVariantMap& b) { broadcasts.push_back(b); },
                                        [&](const OptError& e) { answers += e ? 100 : 1; });
    const QByteArray bytes = FakeDaemon::packet(0, attached(1)) + FakeDaemon::packet(2, answer(0)) +
                             FakeDaemon::packet(1, answer(0)) + FakeDaemon::packet(0, attached(2));
    ASSERT_EQ(::write(fds[1], bytes.constData(), size_t(bytes.size())), bytes.size());
    ASSERT_TRUE(waitUntil([&] { return answers == 2 && broadcasts.size() == 2; }));
    EXPECT_EQ(broadcasts[1], attached(2));
    EXPECT_TRUE(channel->isReadingPackets()) << "a listening connection keeps one read outstanding";
    channel->cancel();
    ::close(fds[1]);
    spinEventLoop(20);
    EXPECT_EQ(answers, 2);
}

// The channel's side of the USB road.
TEST(PTChannelUsb, AReadErrorEndsTheChannelWithThatErrorNotAsACleanEnd) {
    FakeDaemon daemon(QStringLiteral("channel-usb.sock"));
    PTUSBHub hub(UsbmuxAddress::unixSocket(daemon.path()));
    RecordingDelegate d;
    auto channel = PTChannel::channelWithDelegate(&d);
    OptError result = Error::posix(-1);
    channel->connectToPortOverUSBHub(23481, &hub, 7, [&](const OptError& e) { result = e; });
    EXPECT_EQ(channel->connState(), PTChannel::kConnecting);
    const FakeDaemon::Request request = daemon.nextRequest();
    EXPECT_EQ(request.dict.value("MessageType"), "Connect");
    daemon.send(0, FakeDaemon::packet(request.header.tag, answer(0)));
    ASSERT_TRUE(waitUntil([&] { return !result; }));
    EXPECT_EQ(channel->connState(), PTChannel::kConnected);

    daemon.send(0, rawFrame(100, 1, "device") + rawFrame(100, 0, "x", 2));
    ASSERT_TRUE(waitUntil([&] { return d.ends > 0; }));
    spinEventLoop(20);
    EXPECT_EQ(d.frames.size(), 1u);
    EXPECT_EQ(d.ends, 1);
    // The daemon socket itself closed cleanly; the delegate must still learn why the link ended.
    ASSERT_TRUE(d.endError);
    EXPECT_EQ(d.endError->domain, "PTProtocolError");
    EXPECT_TRUE(daemon.waitForHangUp());
}

TEST(PTChannelUsb, AFailedOrAbandonedAttemptNeverReportsAnEnd) {
    FakeDaemon daemon(QStringLiteral("channel-usb-fail.sock"));
    PTUSBHub hub(UsbmuxAddress::unixSocket(daemon.path()));
    RecordingDelegate d;
    auto refused = PTChannel::channelWithDelegate(&d);
    OptError result;
    refused->connectToPortOverUSBHub(23481, &hub, 7, [&](const OptError& e) { result = e; });
    daemon.send(0, FakeDaemon::packet(daemon.nextRequest(0).header.tag, answer(3)));
    ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
    EXPECT_EQ(result->code, 3);
    EXPECT_EQ(refused->connState(), PTChannel::kClosed);

    // Closed by its owner while the daemon was still answering: the socket it gets is let go.
    auto abandoned = PTChannel::channelWithDelegate(&d);
    OptError late;
    abandoned->connectToPortOverUSBHub(23481, &hub, 8, [&](const OptError& e) { late = e; });
    const FakeDaemon::Request second = daemon.nextRequest(1);
    abandoned->close();
    EXPECT_EQ(abandoned->connState(), PTChannel::kClosed);
    daemon.send(1, FakeDaemon::packet(second.header.tag, answer(0)));
    ASSERT_TRUE(waitUntil([&] { return late.has_value(); }));
    EXPECT_EQ(late->code, ECANCELED);
    EXPECT_TRUE(daemon.waitForHangUp(1));
    spinEventLoop(50);
    EXPECT_EQ(d.ends, 0) << "an attempt that never became a connection has no end to report";
    EXPECT_TRUE(d.frames.empty());
}
