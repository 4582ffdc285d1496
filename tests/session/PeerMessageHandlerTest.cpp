#include "SessionTestBase.h"

#include "base/Bundle.h"
#include "session/PeerMessageHandler.h"

#include <QtEndian>
#include <sys/socket.h>
#include <unistd.h>

using namespace PeerMessage;

namespace {

// Reads exactly n bytes from a blocking descriptor while the event loop keeps the agent writing.
QByteArray readExactly(int fd, qsizetype n) {
    QByteArray out;
    waitUntil([&] {
        char buf[256];
        const ssize_t got =
            recv(fd, buf, size_t(std::min<qsizetype>(qsizetype(sizeof buf), n - out.size())), MSG_DONTWAIT);
        if (got > 0) out.append(buf, got);
        return out.size() >= n;
    });
    return out;
}

} // namespace

class PeerMessagesTest : public SessionTest {
protected:
    void SetUp() override {
        controller->setupLink();
        peer = linkDevice(7);
        refuseLoopback();
    }
    // Sends an event and waits until the agent has handled it: a marker event behind it reaches the
    // shell once everything before it did, and is then taken out of the record.
    void send(const QVariantMap& event) {
        static const QVariantMap marker{{"eventName", "vKeyboardSourceEvent"}, {"language", "marker"}};
        peer->sendEvent(event);
        peer->sendEvent(marker);
        ASSERT_TRUE(waitUntil([&] { return !delegate.events.empty() && delegate.events.back() == marker; }));
        delegate.calls.removeLast();
        delegate.events.pop_back();
    }
    std::unique_ptr<TestPeer> peer;
};

TEST_F(PeerMessagesTest, IntroductionIsStoredAndAnsweredAfterTheShellHeardOfIt) {
    info.osVersion = "12";
    info.model = "OptiPlex 7090";
    video.hardware = true;
    const QVariantMap intro{{"protocolVersion", "1.0.10"},
                            {"hardwareString", "iPad8,1"},
                            {"softwareString", "Zub Pad"},
                            {"softwareVersion", "2.1"}};
    introduce(*peer, intro);
    EXPECT_EQ(controller->peerDeviceInfo(), intro);
    ASSERT_TRUE(waitUntil([&] { return !peer->texts().isEmpty(); }));
    const QString version =
        Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString").toString();
    EXPECT_EQ(
        peer->texts(),
        QStringList{
            QStringLiteral("Version:%1 OS:12 Hardware:OptiPlex 7090 Protocol:1.0.9 H264:1").arg(version)});
    EXPECT_EQ(delegate.calls.first(), "channelChanged(1)");
}

TEST_F(PeerMessagesTest, IntroductionWithoutProtocolOrUnreadableStillGetsTheAnswer) {
    introduce(*peer, {{"hardwareString", "iPad8,1"}});
    ASSERT_TRUE(waitUntil([&] { return peer->texts().size() == 1; }));
    EXPECT_TRUE(peer->texts()[0].contains("Protocol:1.0.9 H264:0")) << peer->texts()[0].toStdString();
    EXPECT_FALSE(controller->checkPeerProtocolVersion("1.0.0"));

    peer->send(kFrameTypeDeviceInfo, "\x01\x02 not a property list");
    ASSERT_TRUE(waitUntil([&] { return peer->texts().size() == 2; }));
    EXPECT_TRUE(controller->peerDeviceInfo().isEmpty());
    EXPECT_EQ(controller->currentChannel(), 1);
}

TEST_F(PeerMessagesTest, PeerProtocolVersionIsComparedNumerically) {
    EXPECT_FALSE(controller->checkPeerProtocolVersion("1.0.9")); // no introduction yet
    introduce(*peer, {{"protocolVersion", "1.0.10"}});
    EXPECT_TRUE(controller->checkPeerProtocolVersion("1.0.9"));
    EXPECT_TRUE(controller->checkPeerProtocolVersion("1.0.10"));
    EXPECT_FALSE(controller->checkPeerProtocolVersion("1.0.11"));
    controller->setPeerDeviceInfo({{"protocolVersion", "1.0.8"}});
    EXPECT_FALSE(controller->checkPeerProtocolVersion("1.0.9"));
    controller->setPeerDeviceInfo({{"protocolVersion", 109}}); // not a text: as if missing
    EXPECT_FALSE(controller->checkPeerProtocolVersion("1.0.9"));
}

TEST_F(PeerMessagesTest, TextFramesOnTheWireAreExact) {
    // The agent's channel linked to a plain socket, to see the bytes themselves.
    peer.reset();
    ASSERT_TRUE(waitUntil([&] { return !controller->ptChannelConnected(); }));
    clock.advance(1.0);
    settle();
    refuseLoopback();
    const int fd = link->succeedRaw(openAttempt(kUSB));
    controller->setBUSBConnected(true);
    controller->sendMessage("waitASec", kChannelCurrent);
    const QByteArray frame = readExactly(fd, 16 + 12);
    EXPECT_EQ(frame.toHex(), (QByteArray::fromHex("00000001"
                                                  "00000065"
                                                  "00000000"
                                                  "0000000c"
                                                  "00000008") +
                              "waitASec")
                                 .toHex());

    controller->sendEvent({{"eventName", "CursorHidden"}}, kFrameTypeEvent, kChannelUSB);
    const QByteArray header = readExactly(fd, 16);
    ASSERT_EQ(header.size(), 16);
    EXPECT_EQ(qFromBigEndian<quint32>(header.constData() + 4), 104u);
    EXPECT_EQ(qFromBigEndian<quint32>(header.constData() + 8), 0u);
    const QByteArray body = readExactly(fd, qFromBigEndian<quint32>(header.constData() + 12));
    EXPECT_EQ(decodeDictionary(body), (QVariantMap{{"eventName", "CursorHidden"}}));
    ::close(fd);
}

TEST_F(PeerMessagesTest, NothingIsSentUnlessTheChannelIsUSB) {
    controller->sendMessage("screenOff", kChannelCurrent); // linked, not introduced: channel 0
    controller->sendMessage("screenOff", kChannelAir);
    controller->sendMessage("screenOff", kChannelNone);
    introduce(*peer);
    ASSERT_TRUE(waitUntil([&] { return peer->texts().size() == 1; })); // the introduction's answer
    controller->sendMessage("screenOn", kChannelAir);
    controller->sendMessage("screenOn", kChannelUSB);
    controller->sendEvent({{"eventName", "ScreenLocked"}}, kFrameTypeEvent, kChannelNone);
    controller->sendEvent({{"eventName", "ScreenUnlocked"}}, kFrameTypeEvent, kChannelCurrent);
    ASSERT_TRUE(waitUntil([&] { return peer->frames.size() == 3; }));
    spinEventLoop(20);
    EXPECT_EQ(peer->frames.size(), 3u);
    EXPECT_EQ(peer->texts().last(), "screenOn");
    EXPECT_EQ(decodeDictionary(peer->frames.back().payload)->value("eventName"), "ScreenUnlocked");
}

TEST_F(PeerMessagesTest, SizeReportedWhileInactiveIsAppliedOnceOnActivation) {
    introduce(*peer);
    delegate.clear();
    send({{"eventName", "DeviceResignActive"}});
    send({{"eventName", "DeviceResize"}, {"width", 1024.0}, {"height", 768.0}});
    EXPECT_EQ(delegate.count("resizeEventFromDevice"), 0);
    send({{"eventName", "DeviceResize"}, {"width", 834.0}, {"height", 1194.0}});
    send({{"eventName", "DeviceBecomeActive"}});
    EXPECT_EQ(delegate.calls, QStringList{"resizeEventFromDevice(834x1194)"});
    send({{"eventName", "DeviceBecomeActive"}}); // nothing deferred any more
    EXPECT_EQ(delegate.count("resizeEventFromDevice"), 1);
    send({{"eventName", "DeviceResize"}, {"width", 1024.0}, {"height", 768.0}});
    EXPECT_EQ(delegate.calls.last(), "resizeEventFromDevice(1024x768)");

    // An introduction makes the app active again, but a deferred size waits for "DeviceBecomeActive".
    send({{"eventName", "DeviceResignActive"}});
    send({{"eventName", "DeviceResize"}, {"width", 100.0}, {"height", 200.0}});
    peer->sendIntroduction({{"protocolVersion", "1.0.10"}});
    send({{"eventName", "DeviceResize"}, {"width", 300.5}, {"height", 400.0}});
    EXPECT_EQ(delegate.calls.last(), "resizeEventFromDevice(300.5x400)");
}

TEST_F(PeerMessagesTest, EveryCatalogueEventReachesItsHandler) {
    introduce(*peer);
    const std::vector<std::pair<QString, QString>> routes{
        {"Scrolled", "handleScrollEvent"},
        {"Dragged", "handleDragEvent"},
        {"Hoverred", "handleHoverEvent"},
        {"PencilEvent", "handlePencilEvent"},
        {"StylusStatusChanged", "handleStylusStatusChanged"},
        {"Zoomed", "handleZoomEvent"},
        {"TwoFingerRotated", "handleTwoFingerRotationEvent"},
        {"TwoFingerPanned", "handleTwoFingerPanEvent"},
        {"KeyboardEvent", "handleKeyboardEvent"},
        {"vKeyboardEvent", "handleVirtualKeyboardEvent"},
        {"vKeyboardSourceEvent", "handleVirtualKeyboardSourceEvent"},
    };
    for (const auto& [name, handler] : routes) {
        delegate.clear();
        const QVariantMap event{
            {"eventName", name}, {"x", 0.5}, {"startOfDrag", "yes"}, {"extra", QVariantList{1}}};
        send(event);
        EXPECT_EQ(delegate.calls, QStringList{handler}) << name.toStdString();
        ASSERT_EQ(delegate.events.size(), 1u);
        EXPECT_EQ(delegate.events[0], event); // passed whole, wrong types included
    }

    delegate.clear();
    send({{"eventName", "SingleTap"}, {"x", 0.1}, {"y", 0.75}});
    send({{"eventName", "TwoFingerSingleTap"}, {"x", 0.25}, {"y", "0.5"}}); // a text is not a number
    send({{"eventName", "ThreeFingerSingleTap"}, {"y", true}});
    EXPECT_EQ(delegate.calls,
              (QStringList{QStringLiteral("handleTapEvent(%1,0.75,0)").arg(double(0.1f)),
                           "handleTwoFingerTapEvent(0.25,0)", "handleThreeFingerTapEvent(0,1)"}));
}

TEST_F(PeerMessagesTest, StreamEventsAndUnknownOnesAreRoutedOrIgnored) {
    introduce(*peer);
    delegate.clear();
    video.calls.clear();
    send({{"eventName", "ReadyToReceive"}});
    for (const char* name : {"DeviceBackground", "DeviceLocked", "DeviceTerminate", "ErrorDecoding"})
        send({{"eventName", name}});
    EXPECT_EQ(video.calls,
              (QStringList{"startStream", "stopStream", "stopStream", "stopStream", "stopStream"}));

    video.calls.clear();
    send({{"eventName", "DeviceForeground"}});
    send({{"eventName", "NoSuchEvent"}, {"x", 1}});
    send({{"eventName", 104}});
    send({{"noName", "SingleTap"}});
    peer->send(kFrameTypeEvent, "garbage");
    peer->send(kFrameTypeEvent);
    peer->send(kFrameTypeTextMessage, encodeText("hello"));
    peer->send(kFrameTypePong);
    send({{"eventName", "Dragged"}}); // the channel is still up and routing
    EXPECT_EQ(delegate.calls, QStringList{"handleDragEvent"});
    EXPECT_TRUE(video.calls.isEmpty());
    EXPECT_TRUE(controller->ptChannelConnected());
}

TEST_F(PeerMessagesTest, WithoutShellOrVideoEventsAreDropped) {
    introduce(*peer);
    delegate.clear();
    video.calls.clear();
    controller->setDelegate(nullptr);
    controller->ports() = SessionPorts{};
    peer->sendEvent({{"eventName", "SingleTap"}, {"x", 0.5}, {"y", 0.5}});
    peer->sendEvent({{"eventName", "ReadyToReceive"}});
    peer->sendEvent({{"eventName", "DeviceResize"}, {"width", 1.0}, {"height", 1.0}});
    peer->close();
    ASSERT_TRUE(waitUntil([&] { return !controller->ptChannelConnected(); }));
    EXPECT_TRUE(delegate.calls.isEmpty());
    EXPECT_TRUE(video.calls.isEmpty());
}

TEST(PeerMessageHandler, OnlyTheAppsFrameTypesAreAcceptedByTheChannel) {
    FakeSystemInfo info;
    CaptureController controller(info, std::make_unique<FakeLinkConnector>());
    for (uint32_t type : {0u, 100u, 101u, 102u, 103u, 104u})
        EXPECT_TRUE(controller.ioFrameChannelShouldAcceptFrameOfType(nullptr, type, 0, 0)) << type;
    for (uint32_t type : {1u, 99u, 105u, 107u, 108u, 0xffffffffu})
        EXPECT_FALSE(controller.ioFrameChannelShouldAcceptFrameOfType(nullptr, type, 0, 0)) << type;
}

TEST_F(PeerMessagesTest, ALastMessageCanBeAwaitedBeforeTheLinkIsShutDown) {
    std::vector<OptError> results;
    controller->sendMessage("appWillTerminate", kChannelCurrent,
                            [&](const OptError& e) { results.push_back(e); });
    ASSERT_EQ(results.size(), 1u) << "not introduced: answered at once";
    ASSERT_TRUE(results[0]);
    EXPECT_EQ(results[0]->code, ENOTCONN);

    introduce(*peer);
    ASSERT_TRUE(waitUntil([&] { return peer->texts().size() == 1; }));
    results.clear();
    controller->sendMessage("appWillTerminate", kChannelCurrent, [&](const OptError& e) {
        results.push_back(e);
        controller->shutdownLink();
    });
    EXPECT_TRUE(results.empty()) << "a write completes on the event loop, not inside the call";
    ASSERT_TRUE(waitUntil([&] { return !results.empty(); }));
    EXPECT_FALSE(results[0]);
    ASSERT_TRUE(waitUntil([&] { return peer->texts().size() == 2; }));
    EXPECT_EQ(peer->texts().last(), "appWillTerminate");
}
