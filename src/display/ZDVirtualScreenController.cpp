#include "display/ZDVirtualScreenController.h"

#include "base/Bundle.h"
#include "base/Logging.h"
#include "base/NotificationCenter.h"

ZDVirtualScreenController::ZDVirtualScreenController(DisplayServices& displays, QObject* parent)
    : QObject(parent), displays_(displays) {}

ZDVirtualScreenController::~ZDVirtualScreenController() {
    // The callback holds this object; it must not outlive it even when the owner forgot to remove it.
    unregisterDisplayCallback();
}

bool ZDVirtualScreenController::registerDisplayCallback() {
    if (!callbackId_)
        callbackId_ = displays_.registerReconfigurationCallback(
            [this](DisplayID display, uint32_t flags) { displayReconfigured(display, flags); });
    return true;
}

void ZDVirtualScreenController::unregisterDisplayCallback() {
    if (!callbackId_) return;
    displays_.removeReconfigurationCallback(*callbackId_);
    callbackId_.reset();
}

const std::vector<DisplayDirectoryEntry>& ZDVirtualScreenController::onlineDisplays() {
    if (!onlineDisplays_.empty()) return onlineDisplays_;
    const std::vector<DisplayID> ids = displays_.onlineDisplayList(kMaxDisplays);
    int unnamed = 0;
    for (DisplayID id : ids) {
        const uint32_t model = displays_.modelNumber(id);
        const uint32_t serial = displays_.serialNumber(id);
        QString name = displayName(id);
        if (name.isEmpty()) name = QStringLiteral("Display %1").arg(++unnamed);
        // A display that reports model 256 without a serial number is not a real monitor; it is listed
        // only when it is all there is.
        if (model == 256 && serial == 0 && ids.size() > 1) continue;
        onlineDisplays_.push_back({id, name});
    }
    return onlineDisplays_;
}

QString ZDVirtualScreenController::displayName(DisplayID display) const {
    const QString name = displays_.productName(display);
    return name.isEmpty() ? QString() : name;
}

DisplayID ZDVirtualScreenController::builtinDisplayID() {
    if (builtinDisplayID_ == kNullDisplayID && !onlineDisplays().empty())
        builtinDisplayID_ = onlineDisplays_.front().displayID;
    return builtinDisplayID_;
}

DisplayID ZDVirtualScreenController::cloneDisplayID() {
    if (cloneDisplayID_ == kNullDisplayID && !onlineDisplays().empty())
        cloneDisplayID_ = onlineDisplays_.front().displayID;
    return cloneDisplayID_;
}

std::optional<DisplayScreen> ZDVirtualScreenController::screenNumbered(DisplayID display) const {
    for (const DisplayScreen& screen : displays_.screens())
        if (screen.screenNumber == display) return screen;
    return std::nullopt;
}

std::optional<DisplayScreen> ZDVirtualScreenController::zubScreen() {
    if (!zubScreen_ && zubDisplayID_ != kNullDisplayID) zubScreen_ = screenNumbered(zubDisplayID_);
    return zubScreen_;
}

std::optional<DisplayScreen> ZDVirtualScreenController::builtinScreen() {
    if (!builtinScreen_) {
        for (const DisplayScreen& screen : displays_.screens()) {
            if (screen.screenNumber == zubDisplayID_) continue;
            builtinScreen_ = screen;
            break;
        }
    }
    return builtinScreen_;
}

std::optional<DisplayScreen> ZDVirtualScreenController::cloneScreen() {
    if (!cloneScreen_) {
        const DisplayID clone = cloneDisplayID();
        if (clone != kNullDisplayID) cloneScreen_ = screenNumbered(clone);
    }
    return cloneScreen_;
}

bool ZDVirtualScreenController::zubScreenHasMenuBar() {
    const std::optional<DisplayScreen> zub = zubScreen();
    if (!zub) return false;
    const std::vector<DisplayScreen> all = displays_.screens();
    return !all.empty() && all.front().screenNumber == zub->screenNumber;
}

const QVariantMap& ZDVirtualScreenController::modeTable() {
    if (!modeTable_) modeTable_ = Bundle::main().propertyListResource(QStringLiteral("ModeTable")).toMap();
    return *modeTable_;
}

bool ZDVirtualScreenController::setMode(int32_t) {
    return setModeForCloneDisplay();
}

bool ZDVirtualScreenController::setModeForCloneDisplay() {
    prevCloneDisplayRect_ = displays_.bounds(cloneDisplayID());
    postModeChangeNotificationToRestartStream();
    return true;
}

void ZDVirtualScreenController::postModeChangeNotificationToRestartStream() {
    NotificationCenter::defaultCenter().post(kModeWasChangedNotification, this,
                                             {{QStringLiteral("mode"), int(currentMode_)}});
}

void ZDVirtualScreenController::unmirrorDisplay(DisplayID display) {
    // A configuration that cannot be made leaves the displays as they are; only the log is told.
    if (OptError error = displays_.configureDisplayMirrorOfDisplay(display, kNullDisplayID))
        qCWarning(lcDisplay, "cannot take display %u out of its mirror set: %s", display,
                  qUtf8Printable(error->description));
}

void ZDVirtualScreenController::setIsFramebufferActive(bool active) {
    isFramebufferActive_ = active;
    emit isFramebufferActiveChanged(active);
}

QRectF ZDVirtualScreenController::mainDisplayBounds() {
    if (!mainDisplayBounds_) mainDisplayBounds_ = displays_.bounds(displays_.mainDisplayID());
    return *mainDisplayBounds_;
}

void ZDVirtualScreenController::displayReconfigured(DisplayID display, uint32_t flags) {
    zubScreen_.reset();
    builtinScreen_.reset();
    cloneScreen_.reset();
    mainDisplayBounds_.reset();
    if (display == zubDisplayID_) return;

    for (uint32_t flag : {DisplayServices::kAddFlag, DisplayServices::kRemoveFlag}) {
        if (!(flags & flag)) continue;
        onlineDisplays_.clear();
        NotificationCenter::defaultCenter().post(kUpdateMenuNotification, this);
    }
    // The primary display must never stay a mirror of another display.
    if (flags & DisplayServices::kUnMirrorFlag) unmirrorDisplay(builtinDisplayID());

    if ((flags & DisplayServices::kDesktopShapeChangedFlag) && bCloneDisplay_) {
        const QRectF bounds = displays_.bounds(cloneDisplayID());
        if (bounds.size() == prevCloneDisplayRect_.size()) return;
        prevCloneDisplayRect_ = bounds;
        setModeForCloneDisplay();
    }
}
