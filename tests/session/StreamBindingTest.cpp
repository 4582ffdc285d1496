#include "session/StreamBinding.h"

#include "SessionTestBase.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeDisplayStream.h"
#include "fakes/FakeEncoderServices.h"
#include "fakes/MapStreamDefaults.h"
#include "video/AppleVTCompressor.h"

namespace {

class CountingCursor final : public StreamBinding::CursorMonitor {
public:
    int registered = 0, unregistered = 0;
    void registerMouseEvent() override { ++registered; }
    void unregisterMouseEvent() override { ++unregistered; }
};

// A session controller with the real stream bound to it, on fake displays, capture and encoders.
class StreamBindingTest : public SessionTest {
protected:
    StreamBindingTest() {
        displays.addDisplay({.id = 3, .bounds = QRectF(0, 0, 1024, 768), .name = QStringLiteral("Main")});
        controller->ports() = SessionPorts{}; // the real stream instead of the recorded one
        binding = std::make_unique<StreamBinding>(
            *controller, defaults,
            StreamController::Services{streams, displays, info, defaults, {}, encoders, {}, {}});
        controller->setupLink();
    }
    ~StreamBindingTest() override { binding.reset(); }
    std::unique_ptr<TestPeer> introducedDevice(const QString& protocol = QStringLiteral("1.0.9")) {
        auto peer = linkDevice(7);
        introduce(*peer, {{"protocolVersion", protocol}, {"hardwareString", "iPad8,1"}});
        return peer;
    }
    bool deviceGot(TestPeer& peer, const QString& text) {
        return waitUntil([&] { return peer.texts().contains(text); });
    }

    FakeDisplayServices displays;
    FakeDisplayStreamFactory streams;
    MapStreamDefaults defaults;
    std::shared_ptr<FakeEncoderServices> encoders = std::make_shared<FakeEncoderServices>();
    std::unique_ptr<StreamBinding> binding;
};

TEST_F(StreamBindingTest, TheIntroductionReplyReportsTheEncodersHardwareFlag) {
    binding->stream().activeCompressor()->setBH264HWCodec(true);
    auto peer = introducedDevice();
    ASSERT_TRUE(waitUntil([&] { return !peer->texts().isEmpty(); }));
    EXPECT_TRUE(peer->texts().last().endsWith(QStringLiteral("H264:1")))
        << peer->texts().last().toStdString();
}

TEST_F(StreamBindingTest, TheDevicesReadinessStartsPicturesAndItsLockStopsThem) {
    auto peer = introducedDevice();
    binding->stream().resetResolution(3);
    EXPECT_TRUE(deviceGot(*peer, QStringLiteral("size:2048x1536")));
    EXPECT_FALSE(binding->stream().captureRunning()) << "a 1.0.9 device asks for pictures itself";

    peer->sendEvent({{"eventName", "ReadyToReceive"}});
    ASSERT_TRUE(waitUntil([&] { return binding->stream().captureRunning(); }));
    EXPECT_TRUE(deviceGot(*peer, QStringLiteral("startStream:0")));

    peer->sendEvent({{"eventName", "DeviceLocked"}});
    ASSERT_TRUE(waitUntil([&] { return !binding->stream().captureRunning(); }));
    EXPECT_TRUE(deviceGot(*peer, QStringLiteral("stopStream")));
}

TEST_F(StreamBindingTest, TheLinkReachesTheDestinationAndTheEncoderAndItsEndResetsTheStream) {
    auto peer = introducedDevice();
    const OutputDestination& destination = *binding->stream().captureDestinations().front();
    EXPECT_EQ(destination.channel(), 1);
    EXPECT_EQ(binding->stream().activeCompressor()->ptChannel(), controller->ptChannelConnected());
    ASSERT_TRUE(binding->stream().activeCompressor()->ptChannel());

    peer->sendEvent({{"eventName", "ReadyToReceive"}});
    ASSERT_TRUE(waitUntil([&] { return binding->stream().captureRunning(); }));
    peer->close();
    ASSERT_TRUE(waitUntil([&] { return !binding->stream().captureRunning(); })) << "the device went";
    EXPECT_EQ(destination.channel(), 0);
    EXPECT_EQ(binding->stream().activeCompressor()->ptChannel(), nullptr);
}

TEST_F(StreamBindingTest, TheDeviceDrawsTheCursorOnlyWhenSomethingTellsItWhereTheCursorIs) {
    auto peer = introducedDevice();
    EXPECT_FALSE(binding->simulateCursorPos()) << "no cursor forwarding: the picture keeps the cursor";
    CountingCursor cursor;
    binding->setCursorMonitor(&cursor);
    EXPECT_TRUE(binding->simulateCursorPos());
    defaults.setBool(true, QStringLiteral("useSystemCursor"));
    EXPECT_FALSE(binding->simulateCursorPos());
    defaults.setBool(false, QStringLiteral("useSystemCursor"));

    peer->sendEvent({{"eventName", "ReadyToReceive"}});
    ASSERT_TRUE(waitUntil([&] { return binding->stream().captureRunning(); }));
    EXPECT_EQ(cursor.registered, 1);
    binding->stream().stopStream();
    EXPECT_GE(cursor.unregistered, 1);
    binding->setCursorMonitor(nullptr);
}

TEST_F(StreamBindingTest, AnOldDeviceDrawsNoCursorItself) {
    CountingCursor cursor;
    binding->setCursorMonitor(&cursor);
    auto peer = introducedDevice(QStringLiteral("1.0.1"));
    EXPECT_FALSE(binding->simulateCursorPos());
    binding->setCursorMonitor(nullptr);
}

TEST_F(StreamBindingTest, TheBindingLeavesTheSessionsPortsWhenItGoes) {
    EXPECT_TRUE(controller->ports().stream);
    EXPECT_EQ(controller->ports().destinations.size(), 1u);
    EXPECT_EQ(controller->ports().compressors.size(), 1u);
    EXPECT_TRUE(controller->ports().captureSource);
    binding.reset();
    EXPECT_FALSE(controller->ports().stream);
    EXPECT_TRUE(controller->ports().destinations.empty());
    EXPECT_TRUE(controller->ports().compressors.empty());
    EXPECT_FALSE(controller->ports().captureSource);
}

} // namespace
