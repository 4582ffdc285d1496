#pragma once

#include "SessionFakes.h"
#include "fakes/FakeSystemInfo.h"
#include "fakes/ManualClock.h"
#include "fakes/TestSupport.h"
#include "session/CaptureController.h"
#include "session/ConnectionManager.h"

#include <QCoreApplication>
#include <gtest/gtest.h>

// A controller on a fake daemon and a manual clock, with the shell and the video side recorded.
class SessionTest : public ::testing::Test {
protected:
    static constexpr bool kUSB = true;
    static constexpr bool kLoopback = false;

    SessionTest() {
        auto connector = std::make_unique<FakeLinkConnector>();
        link = connector.get();
        info.listeners[ConnectionManager::kDefaultPort] = {info.uid};
        controller = std::make_unique<CaptureController>(info, std::move(connector));
        controller->setDelegate(&delegate);
        video.plugInto(controller->ports());
    }

    // Lets queued blocks and posted calls run (no time passes on the manual clock).
    static void settle() {
        for (int i = 0; i < 8; ++i)
            QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    // The index of the one open attempt of that kind, once there is one.
    size_t openAttempt(bool usb) {
        EXPECT_TRUE(waitUntil([&] { return !link->open(usb).empty(); }, 2000))
            << (usb ? "no USB attempt" : "no loopback attempt");
        const auto open = link->open(usb);
        EXPECT_EQ(open.size(), 1u);
        return open.empty() ? 0 : open.back();
    }
    // A device attached and linked over USB (not yet introduced).
    std::unique_ptr<TestPeer> linkDevice(qint64 deviceID) {
        link->attach(deviceID);
        settle();
        auto peer = link->succeed(openAttempt(kUSB));
        settle();
        EXPECT_TRUE(controller->ptChannelConnected());
        return peer;
    }
    void introduce(TestPeer& peer, const QVariantMap& info = {{"protocolVersion", "1.0.10"}}) {
        peer.sendIntroduction(info);
        EXPECT_TRUE(waitUntil([&] { return controller->currentChannel() == 1; }));
    }
    // Ends every open loopback attempt as refused (nothing listens there).
    void refuseLoopback() {
        for (size_t i : link->open(kLoopback))
            link->fail(i);
    }

    ManualClock clock;
    FakeSystemInfo info;
    FakeLinkConnector* link = nullptr;
    RecordingAppDelegate delegate;
    FakeVideo video;
    std::unique_ptr<CaptureController> controller;
};
