#include "session/StreamBinding.h"

#include "SessionTestBase.h"
#include "fakes/FakeDisplayServices.h"
#include "fakes/FakeDisplayStream.h"
#include "fakes/FakeEncoderServices.h"
#include "fakes/MapStreamDefaults.h"
#include "video/AppleVTCompressor.h"

namespace {

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

} // namespace
