#include "shell/DisplayModeHandler.h"

#include "display/DeviceCatalogue.h"
#include "display/ZDVirtualScreenController.h"

DisplayModeHandler::DisplayModeHandler(ZDVirtualScreenController& displayController, Parts parts)
    : displayController_(displayController), parts_(std::move(parts)) {}

void DisplayModeHandler::send(const QString& message) {
    if (parts_.sendMessage) parts_.sendMessage(message);
}

void DisplayModeHandler::channelChanged(int32_t channel) {
    if (channel == 0) {
        displayController_.setIsFramebufferActive(false);
        return;
    }
    if (parts_.checkProtocolVersion && !parts_.checkProtocolVersion()) return;
    const QVariantMap info = parts_.peerDeviceInfo ? parts_.peerDeviceInfo() : QVariantMap();
    changeDisplayMode(parts_.adjustInitialMode ? parts_.adjustInitialMode(info) : 0);
}

void DisplayModeHandler::changeDisplayMode(int32_t mode) {
    if (parts_.hideCursor) parts_.hideCursor();
    if (parts_.stopStream) parts_.stopStream();
    send(QStringLiteral("waitASec"));
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
    if (!parts_.currentChannel || parts_.currentChannel() == 0) {
        if (parts_.stopStream) parts_.stopStream();
        return;
    }
    const int32_t mode = notification.userInfo.value(QStringLiteral("mode")).toInt();
    const QString hardware = parts_.peerDeviceInfo
                                 ? parts_.peerDeviceInfo().value(QStringLiteral("hardwareString")).toString()
                                 : QString();
    const int32_t sizeIndex = DeviceCatalogue::getSizeIndex(displayController_.modeTable(), mode,
                                                            DeviceCatalogue::getDeviceKey(hardware));
    send(QStringLiteral("sizeIndex:%1").arg(sizeIndex));
    // The mirror target may have changed in step 1: read it afresh.
    if (displayController_.bCloneDisplay()) {
        if (parts_.resetResolution) parts_.resetResolution(displayController_.cloneDisplayID());
        send(QStringLiteral("videoSource:%1").arg(1));
    } else {
        if (parts_.resetResolution) parts_.resetResolution(displayController_.zubDisplayID());
        send(QStringLiteral("videoSource:%1").arg(0));
    }
    if (parts_.touchBarEnabled && parts_.touchBarEnabled() && parts_.showTouchBar) parts_.showTouchBar();
}
