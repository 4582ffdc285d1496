#include "display/ResolutionController.h"

#include "base/Bundle.h"
#include "base/MainQueue.h"
#include "base/UserDefaults.h"
#include "display/DeviceCatalogue.h"
#include "display/DisplayArrangement.h"
#include "display/DisplayHost.h"
#include "display/ZDVirtualScreenController.h"
#include "platform/Alerts.h"

#include <algorithm>
#include <limits>

namespace {

const QString kZubPadNoRetina = QStringLiteral("zubPadNoRetina");
const QString kCloneNoRetina = QStringLiteral("cloneNoRetina");
constexpr qint64 kInt32Max = std::numeric_limits<int32_t>::max();

} // namespace

ResolutionController::ResolutionController(ZDVirtualScreenController& displayController, DisplayHost& host,
                                           UserDefaults& defaults, Alerts& alerts,
                                           DisplayArrangement& arrangement)
    : displayController_(displayController), host_(host), defaults_(defaults), alerts_(alerts),
      arrangement_(arrangement) {}

ResolutionController::~ResolutionController() = default;

QString ResolutionController::hardwareString() const {
    return host_.peerDeviceInfo().value(QStringLiteral("hardwareString")).toString();
}

int32_t ResolutionController::getSizeIndex(int32_t mode, const QString& deviceKey) {
    return DeviceCatalogue::getSizeIndex(displayController_.modeTable(), mode, deviceKey);
}

int32_t ResolutionController::getMode(const QString& deviceKey, const QString& sizeClass, int32_t sizeIndex,
                                      int32_t currentMode) {
    return DeviceCatalogue::getMode(displayController_.modeTable(), deviceKey, sizeClass, sizeIndex,
                                    currentMode);
}

int32_t ResolutionController::adjustInitialMode(const QVariantMap& deviceInfo) {
    const int32_t reported = deviceInfo.value(QStringLiteral("sizeIndex")).toInt();
    if (prevSizeIndexFull_ == 0) prevSizeIndexFull_ = reported;

    const QString hw = deviceInfo.value(QStringLiteral("hardwareString")).toString();
    const QVariantMap viewSize = deviceInfo.value(QStringLiteral("viewSize")).toMap();
    const QSizeF size(float(viewSize.value(QStringLiteral("Width")).toDouble()),
                      float(viewSize.value(QStringLiteral("Height")).toDouble()));
    deviceCategory_ = DeviceCatalogue::getDeviceCategory(hw);
    deviceKey_ = DeviceCatalogue::getDeviceKey(hw);
    sizeClass_ = DeviceCatalogue::getSizeClass(size, deviceKey_);

    int32_t candidate = reported;
    if (reported == 0) {
        if (!DeviceCatalogue::supportHighResolutions(hw))
            candidate = 1;
        else
            candidate = deviceCategory_ == QLatin1String("iPad") ? 3 : 2;
        // A software encoder starts small.
        if (!host_.hardwareEncodingAvailable()) candidate = 1;
        // Mirroring at Retina scale follows what the device is known to cope with.
        const bool noRetina = !DeviceCatalogue::cloneHiResByDefault(hw);
        if (defaults_.boolForKey(kCloneNoRetina) != noRetina) {
            defaults_.setBool(noRetina, kCloneNoRetina);
            defaults_.synchronize();
        }
    }
    const int32_t sizeIndex = std::min(candidate, updateResolutionMenu(sizeClass_));
    return getMode(deviceKey_, sizeClass_, sizeIndex, displayController_.currentMode());
}

int32_t ResolutionController::updateResolutionMenu(const QString&) {
    if (displayController_.bCloneDisplay()) return updateResolutionForCloneDisplay();
    // Extended mode would list the modes of a display of the device's own; there is none.
    resolutionMenus_.clear();
    return 0;
}

int32_t ResolutionController::updateResolutionForCloneDisplay() {
    const QRectF bounds = displayController_.displayServices().bounds(displayController_.cloneDisplayID());
    const qint64 w = qint64(bounds.width()), h = qint64(bounds.height());
    const QString size = QStringLiteral("%1 x %2").arg(w).arg(h);
    resolutionMenus_ = {
        {size, ResolutionEntry::kStandard, w * h <= kInt32Max},
        {size + QStringLiteral(" (Retina)"), ResolutionEntry::kRetina,
         w * h * 4 <= kInt32Max && DeviceCatalogue::supportHighResolutions(hardwareString())},
    };
    return int32_t(resolutionMenus_.size());
}

ResolutionItemState ResolutionController::resolutionItemState(const QString& title, int32_t tag) const {
    ResolutionItemState state;
    state.on = tag == (defaults_.boolForKey(kZubPadNoRetina) ? ResolutionEntry::kStandard
                                                             : ResolutionEntry::kRetina);
    // The label already counts a Retina entry in pixels (twice the points each way), so its product is
    // the stream's real pixel load; counting the Retina factor again would grey out sizes a device
    // handles well.
    const QSize pixels = DeviceCatalogue::getSizeFromString(title);
    const qint64 load = qint64(pixels.width()) * qint64(pixels.height());
    const QString hw = hardwareString();
    if (host_.hardwareEncodingAvailable()) {
        state.heavy =
            (hw.startsWith(QLatin1String("iPad3")) || !DeviceCatalogue::supportHighResolutions(hw)) &&
            load >= kHeavyLoadWithHardware;
    } else {
        state.heavy = load > kHeavyLoadWithSoftware;
    }
    return state;
}

std::vector<std::optional<ResolutionItemState>> ResolutionController::updateResolutionMenuForCloneDisplay(
    const std::vector<std::pair<QString, int32_t>>& items) const {
    const QString settings = host_.localizedString(QStringLiteral("DisplaySettings..."));
    std::vector<std::optional<ResolutionItemState>> states;
    for (const auto& [title, tag] : items)
        states.push_back(title == settings
                             ? std::nullopt
                             : std::optional<ResolutionItemState>(resolutionItemState(title, tag)));
    return states;
}

bool ResolutionController::showZubPadOrCloneHiResAlert(bool show) {
    const int scale = defaults_.boolForKey(kZubPadNoRetina) ? 1 : 2;
    const QRectF bounds = displayController_.displayServices().bounds(displayController_.builtinDisplayID());
    const bool tooLarge = bounds.width() * scale > 4096 && bounds.height() * scale > 2304;
    if (!tooLarge || !show) return tooLarge;

    const QString name =
        Bundle::main().objectForInfoDictionaryKey(QStringLiteral("CFBundleDisplayName")).toString();
    Alert alert;
    alert.style = Alert::Style::Warning;
    alert.messageText = name;
    alert.informativeText = host_.localizedString(scale == 2 ? QStringLiteral("appRetinaAlert")
                                                             : QStringLiteral("appHiResAlert"));
    if (alert.informativeText.contains(QLatin1String("%1")))
        alert.informativeText = alert.informativeText.arg(name);
    alert.buttons = {host_.localizedString(QStringLiteral("Ok")),
                     host_.localizedString(QStringLiteral("NotNow"))};
    mainQueue().async([self = lifetime_.guard(), alert] {
        if (!self) return;
        if (self->alerts_.runModal(alert) == Alerts::kFirstButtonReturn && self)
            self->arrangement_.launchDisplaySettings();
    });
    return true;
}

void ResolutionController::changeResolutionSelected(int32_t tag) {
    displayController_.setIsFramebufferActive(false);
    defaults_.setBool(tag == ResolutionEntry::kStandard, kZubPadNoRetina);
    defaults_.synchronize();
    host_.changeDisplayMode(tag);
}

void ResolutionController::setFrameRate(int32_t tag) {
    if (host_.videoCaptureFPS() == double(tag)) return;
    if (host_.isDeviceConnected()) {
        host_.sendMessage(QStringLiteral("waitASec"));
        host_.setVideoCaptureFPS(tag);
        // The stream restarts on the display it shows: the mirror target (which stops being the primary
        // display once that is unplugged), or in extended mode none.
        host_.resetResolution(displayController_.bCloneDisplay() ? displayController_.cloneDisplayID()
                                                                 : displayController_.zubDisplayID());
    }
    defaults_.setDouble(host_.videoCaptureFPS(), QStringLiteral("FPS"));
    defaults_.synchronize();
    host_.sendMessage(QStringLiteral("FPS:%1").arg(tag));
    showZubPadOrCloneHiResAlert(true);
}

void ResolutionController::resizeEventFromDevice(QSizeF size) {
    // In extended mode the stream stays stopped and a new size has nothing to act on.
    if (!displayController_.bCloneDisplay()) return;
    QVariantMap info = host_.peerDeviceInfo();
    info.insert(QStringLiteral("viewSize"),
                QVariantMap{{QStringLiteral("Width"), double(float(size.width()))},
                            {QStringLiteral("Height"), double(float(size.height()))}});
    info.insert(QStringLiteral("sizeIndex"), getSizeIndex(displayController_.currentMode(), deviceKey_));
    host_.setPeerDeviceInfo(info);
}

void ResolutionController::launchDisplaySettings() {
    arrangement_.launchDisplaySettings();
}
