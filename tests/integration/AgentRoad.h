#pragma once

#include "../session/SessionFakes.h"
#include "LinkRoad.h"
#include "fakes/FakeSystemInfo.h"
#include "fakes/SimProcess.h"
#include "fakes/TestSupport.h"
#include "session/CaptureController.h"
#include "session/ConnectionManager.h"

#include <gtest/gtest.h>

// The agent's session in this process, on the real road: usbmuxd-sim on a private socket, device-sim
// processes attached to it, a hub of the session's own following the daemon. The loopback port is
// one held by the test and not listened on, so loopback attempts are refused unless a test moves it.
class AgentRoad : public ::testing::Test {
protected:
    // The app's answer to every connection: introduce itself and wait for the answer.
    static constexpr const char* kIntroScript =
        "intro protocolVersion=1.0.10 hardwareString=iPad8,1 softwareString=ZubApp softwareVersion=2.0\n"
        "expect-text Version:.*\n";

    void SetUp() override;
    void TearDown() override;

    // A device-sim playing `script`, taking control lines on its standard input.
    std::unique_ptr<DeviceSimProcess> startDevice(const QString& script = kIntroScript);
    void attach(qint64 id, uint16_t port);
    // Until the app introduced itself and the agent answered.
    bool waitIntroduced(int timeoutMs = 5000);

    // Where loopback attempts go: a port held and not listened on.
    uint16_t refusedPort() const { return refusedPort_; }

    FakeSystemInfo info;
    RecordingAppDelegate delegate;
    std::unique_ptr<SimProcess> daemon;
    std::unique_ptr<CaptureController> controller;

private:
    int refusedSocket_ = -1;
    uint16_t refusedPort_ = 0;
};
