#include "SessionFakes.h"

#include "base/Bundle.h"
#include "link/PTData.h"
#include "video/AppleVTCompressor.h"

using namespace PeerMessage;

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

// Every introduction is stored and answered, with the encoder's hardware flag as it is then; one
// without a protocol version, or unreadable, still gets its answer and keeps the channel. The peer's
// protocol version is compared numerically, and only as a text.
TEST_F(PeerMessagesTest, EveryIntroductionIsStoredAndAnswered) {
    info.osVersion = "12";
    info.model = "OptiPlex 7090";
    stream().activeCompressor()->setBH264HWCodec(true);
    const QVariantMap intro{{"protocolVersion", "1.0.10"},
                            {"hardwareString", "iPad8,1"},
                            {"softwareString", "Zub Pad"},
                            {"softwareVersion", "2.1"}};
    EXPECT_FALSE(controller->checkPeerProtocolVersion("1.0.9")); // no introduction yet
    introduce(*peer, intro);
    EXPECT_EQ(controller->peerDeviceInfo(), intro);
    // The peer's protocol version is compared numerically.
    EXPECT_TRUE(controller->checkPeerProtocolVersion("1.0.9"));
    EXPECT_TRUE(controller->checkPeerProtocolVersion("1.0.10"));
    EXPECT_FALSE(controller->checkPeerProtocolVersion("1.0.11"));
    ASSERT_TRUE(waitUntil([&] { return !peer->texts().isEmpty(); }));
    const QString version =
        Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString").toString();
    EXPECT_EQ(
        peer->texts(),
        QStringList{
            QStringLiteral("Version:%1 OS:12 Hardware:OptiPlex 7090 Protocol:1.0.9 H264:1").arg(version)});

    stream().activeCompressor()->setBH264HWCodec(false);
    peer->sendIntroduction({{"hardwareString", "iPad8,1"}});
    ASSERT_TRUE(waitUntil([&] { return peer->texts().size() == 2; }));
    EXPECT_TRUE(peer->texts()[1].endsWith("Protocol:1.0.9 H264:0")) << peer->texts()[1].toStdString();
    EXPECT_FALSE(controller->checkPeerProtocolVersion("1.0.0"));
    controller->setPeerDeviceInfo({{"protocolVersion", "1.0.8"}});
    EXPECT_FALSE(controller->checkPeerProtocolVersion("1.0.9"));
    controller->setPeerDeviceInfo({{"protocolVersion", 109}}); // not a text: as if missing
    EXPECT_FALSE(controller->checkPeerProtocolVersion("1.0.9"));

    peer->send(kFrameTypeDeviceInfo, "\x01\x02 not a property list");
    ASSERT_TRUE(waitUntil([&] { return peer->texts().size() == 3; }));
    EXPECT_TRUE(controller->peerDeviceInfo().isEmpty());
    EXPECT_EQ(controller->currentChannel(), 1);
}

// A text not sent is answered at once, so that a last message can be waited for before the link goes.
TEST_F(PeerMessagesTest, NothingIsSentUnlessTheChannelIsUSB) {
    OptError refused;
    controller->sendMessage("screenOff", kChannelCurrent, [&](const OptError& e) { refused = e; });
    ASSERT_TRUE(refused) << "linked, not introduced: channel 0";
    EXPECT_EQ(refused->code, ENOTCONN);
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
    ASSERT_EQ(peer->frames.size(), 3u);
    // The header's own layout is the link's; what the session picks is the type and a zero tag.
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(peer->frames[i].type, uint32_t(i < 2 ? kFrameTypeTextMessage : kFrameTypeEvent)) << i;
        EXPECT_EQ(peer->frames[i].tag, 0u) << i;
    }
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
    EXPECT_EQ(delegate.calls, (QStringList{"inputInterrupted", "resizeEventFromDevice(834x1194)"}));
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

// The device's readiness starts the pictures and each of its ways of going away stops them, each
// told to the device; a device of protocol 1.0.9 or later is never started unasked. Events nobody
// handles, and frames the session takes and does not use, change nothing.
TEST_F(PeerMessagesTest, StreamEventsStartAndStopThePicturesAndUnknownOnesAreIgnored) {
    introduce(*peer, {{"protocolVersion", "1.0.9"}, {"hardwareString", "iPad8,1"}});
    stream().resetResolution(3);
    EXPECT_TRUE(peer->waitFor("size:2048x1536"));
    clock.advance(1.0);
    settle();
    EXPECT_FALSE(stream().captureRunning()) << "a 1.0.9 device asks for pictures itself";
    for (const char* name : {"DeviceBackground", "DeviceLocked", "DeviceTerminate", "ErrorDecoding"}) {
        send({{"eventName", "ReadyToReceive"}});
        EXPECT_TRUE(stream().captureRunning());
        delegate.clear();
        send({{"eventName", name}});
        EXPECT_FALSE(stream().captureRunning()) << name;
        // A gesture under way is cut off: the shell lets go of what it holds.
        EXPECT_EQ(delegate.calls, QStringList{"inputInterrupted"}) << name;
    }
    ASSERT_TRUE(waitUntil([&] { return peer->texts().count("stopStream") == 4; }));
    EXPECT_EQ(peer->texts().count("startStream:0"), 4);

    delegate.clear();
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
    EXPECT_FALSE(stream().captureRunning());
    EXPECT_TRUE(controller->ptChannelConnected());
}

// Only the app's frame types are taken; and a controller with neither shell nor stream drops every
// event it reads.
TEST(PeerMessageHandler, OnlyTheAppsFrameTypesAreAcceptedAndNothingHeardIsFatal) {
    FakeSystemInfo info;
    CaptureController controller(info, std::make_unique<FakeLinkConnector>());
    for (uint32_t type : {0u, 100u, 101u, 102u, 103u, 104u})
        EXPECT_TRUE(controller.ioFrameChannelShouldAcceptFrameOfType(nullptr, type, 0, 0)) << type;
    for (uint32_t type : {1u, 99u, 105u, 107u, 108u, 0xffffffffu})
        EXPECT_FALSE(controller.ioFrameChannelShouldAcceptFrameOfType(nullptr, type, 0, 0)) << type;
    for (const char* name : {"SingleTap", "ReadyToReceive", "DeviceLocked", "DeviceResize"}) {
        const PTData event(encodeDictionary({{"eventName", name}, {"width", 1.0}, {"height", 1.0}}));
        controller.ioFrameChannelDidReceiveFrameOfType(nullptr, kFrameTypeEvent, 0, &event);
    }
    const PTData intro(encodeDictionary({{"protocolVersion", "1.0.10"}}));
    controller.ioFrameChannelDidReceiveFrameOfType(nullptr, kFrameTypeDeviceInfo, 0, &intro);
    EXPECT_TRUE(controller.checkPeerProtocolVersion("1.0.10"));
}
