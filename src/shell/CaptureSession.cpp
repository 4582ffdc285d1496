#include "shell/CaptureSession.h"

#include "session/CaptureController.h"

CaptureSession::CaptureSession(std::unique_ptr<CaptureController> controller)
    : controller_(std::move(controller)) {}

CaptureSession::~CaptureSession() = default;

int32_t CaptureSession::currentChannel() const {
    return controller_->currentChannel();
}

int32_t CaptureSession::connectionMode() const {
    return controller_->connectionMode();
}

void CaptureSession::sendMessage(const QString& message, int32_t channel, std::function<void()> sent) {
    if (!sent) {
        controller_->sendMessage(message, channel);
        return;
    }
    controller_->sendMessage(message, channel, [sent = std::move(sent)](const OptError&) { sent(); });
}

void CaptureSession::sendEvent(const QVariantMap& event, int32_t type, int32_t channel) {
    controller_->sendEvent(event, type, channel);
}

bool CaptureSession::checkPeerProtocolVersion(const QString& version) const {
    return controller_->checkPeerProtocolVersion(version);
}

void CaptureSession::setBScreenOff(bool screenOff) {
    controller_->setBScreenOff(screenOff);
}

void CaptureSession::enqueueConnectToLocalIPv4Port() {
    controller_->enqueueConnectToLocalIPv4Port();
}

void CaptureSession::enqueueConnectToUSBDevice() {
    controller_->enqueueConnectToUSBDevice();
}

void CaptureSession::stopStream() {
    if (StreamControl* stream = controller_->ports().stream) stream->stopStream();
}

SessionControl::TerminateReply CaptureSession::applicationShouldTerminate() {
    controller_->applicationShouldTerminate();
    return TerminateReply::Now;
}
