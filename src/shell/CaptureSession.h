#pragma once

#include "shell/SessionControl.h"

#include <memory>

class CaptureController;

// The shell's view of the real session controller.
class CaptureSession final : public SessionControl {
public:
    explicit CaptureSession(std::unique_ptr<CaptureController> controller);
    ~CaptureSession() override;

    CaptureController& controller() const { return *controller_; }

    int32_t currentChannel() const override;
    int32_t connectionMode() const override;
    void sendMessage(const QString& message, int32_t channel, std::function<void()> sent) override;
    void sendEvent(const QVariantMap& event, int32_t type, int32_t channel) override;
    bool checkPeerProtocolVersion(const QString& version) const override;
    void setBScreenOff(bool screenOff) override;
    void enqueueConnectToLocalIPv4Port() override;
    void enqueueConnectToUSBDevice() override;
    void stopStream() override;
    // Shuts the link down, which also stops the capture's display stream.
    TerminateReply applicationShouldTerminate() override;

private:
    std::unique_ptr<CaptureController> controller_;
};
