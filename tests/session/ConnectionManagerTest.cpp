#include "SessionFakes.h"

#include "base/MainQueue.h"
#include "session/ConnectionManager.h"
#include "video/AppleVTCompressor.h"

namespace {

const SerialQueue& queueOf(CaptureController& c) {
    return *c.connectionManager().notConnectedQueue();
}

} // namespace

// A device's link from its attach to its drop: tried over USB and loopback, linked, introduced, ended
// by the device, and tried again; the stream and the shell hear of each step.
TEST_F(SessionTest, ALinkIsMadeIntroducedDroppedAndTriedAgain) {
    // The channel number set to 0 when it already is still resets the stream and tells the shell.
    stream().startStream();
    controller->connectionManager().setBPeerIsInBackground(true);
    controller->connectionManager().setCurrentChannel(0);
    EXPECT_FALSE(stream().captureRunning());
    EXPECT_FALSE(controller->connectionManager().bPeerIsInBackground());
    EXPECT_EQ(delegate.calls, QStringList{"updateUI(0,0)"});

    controller->setupLink();
    clock.advance(5);
    settle();
    EXPECT_TRUE(link->attempts.empty()) << "without a device nothing is tried";
    EXPECT_EQ(queueOf(*controller).pendingCount(), 0u);
    EXPECT_FALSE(controller->bUSBAttached());

    link->attach(7);
    settle();
    const size_t usb = openAttempt(kUSB);
    EXPECT_EQ(link->attempts[usb].deviceID, 7);
    EXPECT_EQ(link->attempts[usb].port, 23481);
    EXPECT_EQ(link->attempts[openAttempt(kLoopback)].port, 23481);
    EXPECT_TRUE(controller->bUSBAttached());
    EXPECT_EQ(controller->connectedDeviceProperties().value("SerialNumber"), "serial");

    refuseLoopback();
    std::optional<qint64> observed;
    controller->setConnectedDeviceIDObserver([&](std::optional<qint64> id) { observed = id; });
    auto peer = link->succeed(usb);
    EXPECT_EQ(controller->connectedDeviceID(), 7);
    EXPECT_EQ(observed, 7);
    EXPECT_TRUE(queueOf(*controller).isSuspended());
    EXPECT_EQ(stream().activeCompressor()->ptChannel(), controller->ptChannelConnected());
    controller->connectionManager().setPtChannelConnected(
        controller->ptChannelConnected()); // not suspended twice
    // Linked but not introduced: the channel number waits for the app.
    EXPECT_EQ(controller->currentChannel(), 0);
    EXPECT_EQ(delegate.count("channelChanged"), 0);

    introduce(*peer);
    EXPECT_TRUE(controller->bUSBConnected());
    EXPECT_EQ(delegate.calls.filter("channel").join(' '), "channelChanged(1)");
    EXPECT_TRUE(delegate.calls.contains("updateUI(1,0)"));
    const OutputDestination& destination = *stream().captureDestinations().front();
    EXPECT_EQ(destination.channel(), 1);

    // The 1.0 s loopback loop keeps queuing, but nothing runs while the channel is connected.
    clock.advance(3);
    settle();
    EXPECT_TRUE(link->open(kLoopback).empty());
    EXPECT_EQ(queueOf(*controller).pendingCount(), 1u); // one waiting attempt, not one a second
    const size_t before = link->attempts.size();

    peer->sendEvent({{"eventName", "ReadyToReceive"}});
    ASSERT_TRUE(waitUntil([&] { return stream().captureRunning(); }));
    peer->close();
    ASSERT_TRUE(waitUntil([&] { return !controller->ptChannelConnected(); }));
    // Resumed exactly once: the waiting loopback attempt runs without any time passing.
    EXPECT_FALSE(queueOf(*controller).isSuspended());
    openAttempt(kLoopback);
    EXPECT_EQ(link->attempts.size(), before + 1);
    EXPECT_EQ(controller->currentChannel(), 0);
    EXPECT_FALSE(stream().captureRunning()) << "the device went";
    EXPECT_EQ(destination.channel(), 0);
    EXPECT_EQ(stream().activeCompressor()->ptChannel(), nullptr);
    controller->connectionManager().setPtChannelConnected(nullptr); // not resumed twice
    // The USB attempt follows one second after the drop, and links again.
    refuseLoopback();
    EXPECT_TRUE(link->open(kUSB).empty());
    clock.advance(1.0);
    settle();
    const size_t again = openAttempt(kUSB);
    EXPECT_EQ(link->attempts[again].deviceID, 7);
    peer = link->succeed(again);
    EXPECT_TRUE(queueOf(*controller).isSuspended());
}

// A device attached while another is linked waits for that link to drop; the last device detached
// ends the link and every attempt.
TEST_F(SessionTest, ASecondDeviceWaitsForTheFirstLinkAndTheLastOneGoneEndsAllAttempts) {
    controller->setupLink();
    auto peer = linkDevice(7);
    refuseLoopback();
    introduce(*peer);
    link->attach(8);
    clock.advance(1.5);
    settle();
    EXPECT_EQ(link->count(kUSB), 1u);
    EXPECT_EQ(controller->connectedDeviceID(), 7);
    EXPECT_EQ(controller->connectionManager().connectingToDeviceID(), 7);

    // The first device is unplugged: the daemon ends its connection, and the second is linked at once.
    link->detach(7);
    peer->close();
    const size_t usb = openAttempt(kUSB);
    EXPECT_EQ(link->attempts[usb].deviceID, 8);
    refuseLoopback();
    auto second = link->succeed(usb);
    introduce(*second);
    EXPECT_EQ(controller->connectedDeviceID(), 8);

    link->detach(8);
    ASSERT_TRUE(waitUntil([&] { return second->ended(); }));
    EXPECT_FALSE(controller->bUSBAttached());
    EXPECT_FALSE(controller->connectionManager().connectingToDeviceID());
    EXPECT_EQ(controller->currentChannel(), 0);
    settle();
    refuseLoopback();
    const size_t before = link->attempts.size();
    clock.advance(10);
    settle();
    EXPECT_EQ(link->attempts.size(), before);
}

// A failed attempt is tried again a second later, on the other attached device when there is one;
// one attempt of each kind at a time, however often wake-ups ask for more.
TEST_F(SessionTest, FailedAttemptsRotateBetweenDevicesOneAtATime) {
    controller->setupLink();
    link->attach(7);
    settle();
    std::vector<qint64> targets;
    for (int second = 0; second < 8; ++second) {
        controller->enqueueConnectToUSBDevice();
        controller->enqueueConnectToLocalIPv4Port();
        settle();
        const size_t usb = openAttempt(kUSB);
        EXPECT_LE(link->open(kLoopback).size(), 1u);
        targets.push_back(link->attempts[usb].deviceID);
        link->fail(usb); // the app is not running there
        refuseLoopback();
        if (second == 0) link->attach(8);
        clock.advance(1.0);
        settle();
    }
    EXPECT_EQ(targets, (std::vector<qint64>{7, 8, 7, 8, 7, 8, 7, 8}));
    EXPECT_LE(link->count(kLoopback), 9u);
}

// However the link ends, before the introduction or by the agent's own close after it, the USB
// attempt follows one second later and links again.
TEST_F(SessionTest, AnEndedLinkIsTriedAgainASecondLater) {
    controller->setupLink();
    auto peer = linkDevice(7);
    auto retry = [&] {
        refuseLoopback();
        clock.advance(1.0);
        settle();
        const size_t usb = openAttempt(kUSB);
        EXPECT_EQ(link->attempts[usb].deviceID, 7);
        peer = link->succeed(usb);
    };
    refuseLoopback();
    peer->close();
    ASSERT_TRUE(waitUntil([&] { return !controller->ptChannelConnected(); }));
    EXPECT_FALSE(controller->bUSBConnected());
    EXPECT_EQ(delegate.count("channelChanged"), 0);
    retry();

    introduce(*peer);
    delegate.clear();
    peer->send(105, QByteArray("x"));                                      // a frame type the app never sends
    peer->sendEvent({{"eventName", "SingleTap"}, {"x", 0.5}, {"y", 0.5}}); // never read
    ASSERT_TRUE(waitUntil([&] { return peer->ended(); }));
    ASSERT_TRUE(waitUntil([&] { return controller->currentChannel() == 0; }));
    EXPECT_EQ(delegate.count("handle"), 0);
    retry();
    introduce(*peer);
    EXPECT_EQ(delegate.count("channelChanged(1)"), 1);
}

TEST_F(SessionTest, LoopbackListenerOfAnotherUserIsNeverHeard) {
    info.listeners[23481] = {info.uid, 4242};
    controller->setupLink();
    link->attach(7);
    settle();
    link->fail(openAttempt(kUSB));
    clock.advance(2.0);
    settle();
    EXPECT_EQ(link->count(kLoopback), 0u) << "no connect is made to a port a stranger listens on";
    info.listeners.erase(23481); // nobody listening at all: nothing to connect to either
    clock.advance(1.0);
    settle();
    EXPECT_EQ(link->count(kLoopback), 0u);

    // Root's or our own listener is tried, but one that changed hands while the connect ran is
    // closed before anything it sends is read.
    info.listeners[23481] = {0};
    clock.advance(1.0);
    settle();
    const size_t attempt = openAttempt(kLoopback);
    info.listeners[23481] = {4242};
    auto impostor = link->succeed(attempt);
    impostor->sendIntroduction({{"protocolVersion", "1.0.9"}});
    ASSERT_TRUE(waitUntil([&] { return impostor->ended(); }));
    settle();
    EXPECT_FALSE(controller->ptChannelConnected());
    EXPECT_TRUE(controller->peerDeviceInfo().isEmpty());
    EXPECT_EQ(controller->currentChannel(), 0);
    EXPECT_TRUE(impostor->frames.empty());

    info.listeners[23481] = {info.uid};
    clock.advance(1.0);
    settle();
    auto trusted = link->succeed(openAttempt(kLoopback));
    EXPECT_TRUE(controller->ptChannelConnected());
}

// The USB and loopback attempts run side by side: whichever links first stays, and the other kind is
// tried again once that link is gone. Only the end of the device's own channel clears the
// introduction: an introduced loopback link that ends keeps the channel number.
TEST_F(SessionTest, TheFirstLinkStaysAndTheOtherKindIsTriedAgainAfterIt) {
    controller->setupLink();
    link->attach(7);
    settle();
    const size_t loopback = openAttempt(kLoopback);
    auto usbPeer = link->succeed(openAttempt(kUSB));
    introduce(*usbPeer);
    auto lateLoopback = link->succeed(loopback);
    ASSERT_TRUE(waitUntil([&] { return lateLoopback->ended(); }));
    settle();
    EXPECT_FALSE(usbPeer->ended()) << "an introduced USB link is not torn down by a late loopback link";
    EXPECT_EQ(controller->currentChannel(), 1);

    usbPeer->close();
    ASSERT_TRUE(waitUntil([&] { return controller->currentChannel() == 0; }));
    clock.advance(1.0);
    settle();
    const size_t usb = openAttempt(kUSB);
    auto loopbackPeer = link->succeed(openAttempt(kLoopback));
    auto lateUsb = link->succeed(usb);
    ASSERT_TRUE(waitUntil([&] { return lateUsb->ended(); }));
    EXPECT_EQ(controller->ptChannelConnected()->userInfo().toString(), "127.0.0.1:23481");
    introduce(*loopbackPeer);

    loopbackPeer->close();
    ASSERT_TRUE(waitUntil([&] { return !controller->ptChannelConnected(); }));
    EXPECT_TRUE(controller->bUSBConnected());
    EXPECT_EQ(controller->currentChannel(), 1);
    refuseLoopback();
    clock.advance(1.0);
    settle();
    auto usbAgain = link->succeed(openAttempt(kUSB));
    usbAgain->sendIntroduction({{"protocolVersion", "1.0.10"}});
    ASSERT_TRUE(waitUntil([&] { return usbAgain->texts().size() == 1; })) << "the introduction is answered";
    EXPECT_EQ(controller->connectedDeviceID(), 7);
}

TEST_F(SessionTest, QuittingClosesTheLinkStopsTheCaptureAndStopsRetrying) {
    controller->setupLink();
    auto peer = linkDevice(7);
    introduce(*peer, {{"protocolVersion", "1.0.9"}});
    stream().resetResolution(3); // the capture runs; the pictures wait for the device to ask
    ASSERT_TRUE(stream().videoCaptureSession()->isStreaming());
    controller->applicationShouldTerminate();
    EXPECT_FALSE(stream().videoCaptureSession()->isStreaming());
    ASSERT_TRUE(waitUntil([&] { return peer->ended(); }));
    // The end of the link that was shut down is reported like any other.
    ASSERT_TRUE(waitUntil([&] { return controller->currentChannel() == 0; }));
    EXPECT_FALSE(controller->bUSBConnected());
    refuseLoopback();
    const size_t before = link->attempts.size();
    clock.advance(5);
    settle();
    link->attach(8); // no longer listening
    clock.advance(5);
    settle();
    EXPECT_EQ(link->attempts.size(), before);
}

TEST_F(SessionTest, DestroyingTheControllerWhileLinkedLeavesNothingBehind) {
    const int fds = openDescriptorCount();
    {
        controller->setupLink();
        auto peer = linkDevice(7);
        introduce(*peer);
        peer->sendEvent({{"eventName", "ReadyToReceive"}});
        ASSERT_TRUE(waitUntil([&] { return stream().captureRunning(); }));
        owned.reset();
        ASSERT_TRUE(waitUntil([&] { return peer->ended(); }));
        clock.advance(5);
        settle();
    }
    settle();
    EXPECT_EQ(openDescriptorCount(), fds);
}
