#pragma once

#include "display/DisplayArrangement.h"
#include "display/DisplayHost.h"
#include "display/ResolutionController.h"
#include "session/CaptureController.h"
#include "session/PeerMessage.h"
#include "session/StreamBinding.h"
#include "shell/DisplayModeHandler.h"
#include "shell/Localization.h"
#include "shell/ShellHooks.h"
#include "video/DesktopCapture.h"

#include <memory>

// The display side's view of the running agent: the session controller and the stream, both made
// later than the display side and gone earlier, so every call first asks whether they are there.
class AgentDisplayHost final : public DisplayHost {
public:
    AgentDisplayHost(CaptureController*& session, std::unique_ptr<StreamBinding>& stream,
                     DisplayModeHandler& modes)
        : session_(session), stream_(stream), modes_(modes) {}

    bool isDeviceConnected() const override { return session_ && session_->bUSBConnected(); }
    void sendMessage(const QString& message) override {
        if (session_) session_->sendMessage(message, PeerMessage::kChannelCurrent);
    }
    void stopStream() override {
        if (stream_) stream_->stream().stopStream();
    }
    void changeDisplayMode(int32_t mode) override { modes_.changeDisplayMode(mode); }
    void resetResolution(DisplayID display) override {
        if (stream_) stream_->stream().resetResolution(display);
    }
    double videoCaptureFPS() const override {
        const DesktopCapture* capture = stream_ ? stream_->stream().videoCaptureSession() : nullptr;
        return capture ? capture->videoCaptureFPS() : 0.0;
    }
    void setVideoCaptureFPS(double fps) override {
        if (DesktopCapture* capture = stream_ ? stream_->stream().videoCaptureSession() : nullptr)
            capture->setVideoCaptureFPS(fps);
    }
    bool hardwareEncodingAvailable() const override {
        if (!session_) return false;
        const auto& compressors = session_->ports().compressors;
        return !compressors.empty() && compressors.back()->bH264HWCodec();
    }
    QVariantMap peerDeviceInfo() const override {
        return session_ ? session_->peerDeviceInfo() : QVariantMap();
    }
    void setPeerDeviceInfo(const QVariantMap& info) override {
        if (session_) session_->setPeerDeviceInfo(info);
    }
    QString localizedString(const QString& key) const override { return ::localizedString(key); }

private:
    CaptureController*& session_;
    std::unique_ptr<StreamBinding>& stream_;
    DisplayModeHandler& modes_;
};

// The shell's resolution hook answered by the device catalogue.
class AgentResolutions final : public ResolutionCatalogue {
public:
    explicit AgentResolutions(ResolutionController& resolutions) : resolutions_(resolutions) {}
    void resizeEventFromDevice(QSizeF size) override { resolutions_.resizeEventFromDevice(size); }
    int32_t adjustInitialMode(const QVariantMap& deviceInfo) override {
        return resolutions_.adjustInitialMode(deviceInfo);
    }

private:
    ResolutionController& resolutions_;
};
