#include "LinkTestSupport.h"
#include "UsbmuxFakes.h"

#include "fakes/TestSupport.h"
#include "link/PTUSBHub.h"

#include <QLocalSocket>
#include <gtest/gtest.h>

// The channel's side of the USB road; the daemon client itself is tested in PTUSBHubTest.

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
    daemon.send(0, FakeDaemon::packet(request.header.tag, {{"MessageType", "Result"}, {"Number", 0}}));
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
    const FakeDaemon::Request request = daemon.nextRequest(0);
    daemon.send(0, FakeDaemon::packet(request.header.tag, {{"MessageType", "Result"}, {"Number", 3}}));
    ASSERT_TRUE(waitUntil([&] { return result.has_value(); }));
    EXPECT_EQ(result->domain, "PTUSBHubError");
    EXPECT_EQ(result->code, 3);
    EXPECT_EQ(refused->connState(), PTChannel::kClosed);

    // Closed by its owner while the daemon was still answering: the socket it gets is let go.
    auto abandoned = PTChannel::channelWithDelegate(&d);
    OptError late;
    abandoned->connectToPortOverUSBHub(23481, &hub, 8, [&](const OptError& e) { late = e; });
    const FakeDaemon::Request second = daemon.nextRequest(1);
    abandoned->close();
    EXPECT_EQ(abandoned->connState(), PTChannel::kClosed);
    daemon.send(1, FakeDaemon::packet(second.header.tag, {{"MessageType", "Result"}, {"Number", 0}}));
    ASSERT_TRUE(waitUntil([&] { return late.has_value(); }));
    EXPECT_EQ(late->code, ECANCELED);
    EXPECT_TRUE(daemon.waitForHangUp(1));
    spinEventLoop(50);
    EXPECT_EQ(d.ends, 0) << "an attempt that never became a connection has no end to report";
    EXPECT_TRUE(d.frames.empty());
}
