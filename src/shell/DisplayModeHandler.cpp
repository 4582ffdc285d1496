#include "shell/DisplayModeHandler.h"

#include "display/DeviceCatalogue.h"
#include "display/ZDVirtualScreenController.h"
#include "session/CaptureController.h"
#include "shell/Localization.h"

namespace {

StreamController* streamOf(CaptureController* session) {
    return session ? session->stream() : nullptr;
}

DesktopCapture* captureOf(CaptureController* session) {
    StreamController* stream = streamOf(session);
    return stream ? stream->videoCaptureSession() : nullptr;
}

} // namespace

DisplayModeHandler::DisplayModeHandler(ZDVirtualScreenController& displayController, Parts parts)
    : displayController_(displayController), parts_(std::move(parts)) {}

void DisplayModeHandler::channelChanged(int32_t channel) {
    if (channel == 0) {
        displayController_.setIsFramebufferActive(false);
        return;
    }
    changeDisplayMode(parts_.adjustInitialMode ? parts_.adjustInitialMode(peerDeviceInfo()) : 0);
}

void DisplayModeHandler::changeDisplayMode(int32_t mode) {
    stopStream();
    sendMessage(QStringLiteral("waitASec"));
    if (displayController_.bCloneDisplay())
        displayController_.setModeForCloneDisplay();
    else
        displayController_.setMode(mode);
}

bool DisplayModeHandler::isOnline(DisplayID display) {
    for (const DisplayDirectoryEntry& entry : displayController_.onlineDisplays())
        if (entry.displayID == display) return true;
    return false;
}

void DisplayModeHandler::handleUpdateMenu(const Notification&) {
    if (displayController_.bCloneDisplay()) {
        const std::vector<DisplayDirectoryEntry>& online = displayController_.onlineDisplays();
        if (online.empty()) {
            if (parts_.extendDisplaySelected) parts_.extendDisplaySelected();
        } else if (!isOnline(displayController_.cloneDisplayID())) {
            // The mirrored display went: mirror the first one left instead.
            displayController_.setCloneScreen(std::nullopt);
            displayController_.setCloneDisplayID(online.front().displayID);
            if (parts_.cloneDisplay) parts_.cloneDisplay();
        }
    }
    if (parts_.updateMenu) parts_.updateMenu(displayController_.isFramebufferActive());
}

void DisplayModeHandler::handleModeChanged(const Notification& notification) {
    const bool mirror = displayController_.bCloneDisplay();
    if (mirror) handleUpdateMenu(notification);
    if (parts_.showZubPadOrCloneHiResAlert) parts_.showZubPadOrCloneHiResAlert(true);
    if (!isDeviceConnected()) {
        stopStream();
        return;
    }
    const int32_t mode = notification.userInfo.value(QStringLiteral("mode")).toInt();
    const QString hardware = peerDeviceInfo().value(QStringLiteral("hardwareString")).toString();
    const int32_t sizeIndex = DeviceCatalogue::getSizeIndex(displayController_.modeTable(), mode,
                                                            DeviceCatalogue::getDeviceKey(hardware));
    sendMessage(QStringLiteral("sizeIndex:%1").arg(sizeIndex));
    // The mirror target may have changed in step 1: read it afresh.
    if (displayController_.bCloneDisplay()) {
        resetResolution(displayController_.cloneDisplayID());
        sendMessage(QStringLiteral("videoSource:%1").arg(1));
    } else {
        resetResolution(displayController_.zubDisplayID());
        sendMessage(QStringLiteral("videoSource:%1").arg(0));
    }
    if (parts_.touchBarEnabled && parts_.touchBarEnabled() && parts_.showTouchBar) parts_.showTouchBar();
}

bool DisplayModeHandler::isDeviceConnected() const {
    return session_ && session_->bUSBConnected();
}

void DisplayModeHandler::sendMessage(const QString& message) {
    if (session_) session_->sendMessage(message);
}

void DisplayModeHandler::stopStream() {
    if (StreamController* stream = streamOf(session_)) stream->stopStream();
}

void DisplayModeHandler::resetResolution(DisplayID display) {
    if (StreamController* stream = streamOf(session_)) stream->resetResolution(display);
}

double DisplayModeHandler::videoCaptureFPS() const {
    const DesktopCapture* capture = captureOf(session_);
    return capture ? capture->videoCaptureFPS() : 0.0;
}

void DisplayModeHandler::setVideoCaptureFPS(double fps) {
    if (DesktopCapture* capture = captureOf(session_)) capture->setVideoCaptureFPS(fps);
}

bool DisplayModeHandler::hardwareEncodingAvailable() const {
    const StreamController* stream = streamOf(session_);
    return stream && stream->bH264HWCodec();
}

QVariantMap DisplayModeHandler::peerDeviceInfo() const {
    return session_ ? session_->peerDeviceInfo() : QVariantMap();
}

void DisplayModeHandler::setPeerDeviceInfo(const QVariantMap& info) {
    if (session_) session_->setPeerDeviceInfo(info);
}

QString DisplayModeHandler::localizedString(const QString& key) const {
    return ::localizedString(key);
}
