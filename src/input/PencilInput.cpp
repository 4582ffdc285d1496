#include "input/PencilInput.h"

#include "base/Clock.h"
#include "base/Logging.h"
#include "input/ApplicationProfiles.h"
#include "input/ButtonShortcuts.h"
#include "input/InputHooks.h"
#include "input/ScreenMapping.h"
#include "input/StylusInfo.h"
#include "input/TouchPointer.h"
#include "platform/EventPoster.h"
#include "session/PeerMessage.h"

#include <algorithm>
#include <cmath>

namespace {

bool isOneOf(int32_t app, std::initializer_list<int32_t> apps) {
    return std::find(apps.begin(), apps.end(), app) != apps.end();
}

// MediBang, CLIP STUDIO PAINT and ZBrush read a pressure of 0 as the pen lifted.
bool needsPressureFloor(int32_t app) {
    return isOneOf(app, {AppId::kMediBang, AppId::kClipStudioPaint, AppId::kZBrush});
}

// Whether the sample's proximity events are posted: some applications mishandle them altogether, some
// lose the pen when it leaves.
bool getsProximity(int32_t app, bool end) {
    if (isOneOf(app, {AppId::kMediBang, AppId::kChrome, AppId::kMaya})) return false;
    if (end && isOneOf(app, {AppId::kRebelle, AppId::kSubstancePainter, AppId::kKrita})) return false;
    return true;
}

Event mouseEvent(int32_t type, QPointF point) {
    Event event;
    event.type = type;
    event.location = point;
    return event;
}

} // namespace

PencilInput::PencilInput(EventPoster& poster, ScreenMapping& mapping, ApplicationProfiles& profiles,
                         ButtonShortcuts& shortcuts, TouchPointer& pointer, StylusInfo& stylusInfo,
                         const InputHooks& hooks)
    : poster_(poster), mapping_(mapping), profiles_(profiles), shortcuts_(shortcuts), pointer_(pointer),
      stylusInfo_(stylusInfo), hooks_(hooks) {}

std::optional<PencilInput::Sample> PencilInput::usableSample(const QVariantMap& event) {
    using PeerMessage::boolValue;
    using PeerMessage::doubleValue;
    Sample sample;
    sample.position = {doubleValue(event, QStringLiteral("x")), doubleValue(event, QStringLiteral("y"))};
    sample.pressure = doubleValue(event, QStringLiteral("pressure"));
    sample.altitude = doubleValue(event, QStringLiteral("altitude"));
    sample.azimuth = doubleValue(event, QStringLiteral("azimuth"));
    sample.start = boolValue(event, QStringLiteral("startOfDrag"));
    sample.end = boolValue(event, QStringLiteral("endOfDrag"));
    const bool finite =
        std::isfinite(sample.pressure) && std::isfinite(sample.altitude) && std::isfinite(sample.azimuth);
    const std::optional<QPointF> point = mapping_.postableScreenPoint(sample.position);
    if (finite && point) {
        sample.point = *point;
        return sample;
    }
    if (!finite && !toldOfUnusableSample_) {
        toldOfUnusableSample_ = true;
        qCWarning(lcInput) << "the device sent a pencil pressure or angle that is not a number;"
                              " such samples are dropped";
    }
    if (sample.end) endOpenStroke();
    return std::nullopt;
}

void PencilInput::handlePencilEvent(const QVariantMap& event) {
    const std::optional<Sample> sample = usableSample(event);
    if (!sample) return;
    if (bRequireAccessibilityGrant_ && sample->start) {
        const bool alertLongClosed =
            !hooks_.alertCloseTime ||
            Clock::shared().uptime() - hooks_.alertCloseTime() > kAccessibilityRecheckDelay;
        if (alertLongClosed && (!hooks_.assistiveAccessGranted || hooks_.assistiveAccessGranted(true)))
            bRequireAccessibilityGrant_ = false;
    }
    // The application in front when the stroke starts decides its path to the end.
    if (sample->start) {
        targetAppCapability_ = ApplicationProfiles::getPencilCapability(profiles_.targetApp());
        profiles_.refreshTargetAppContextShortcut();
    }
    route(*sample, true);
}

void PencilInput::route(const Sample& sample, bool tapAllowed) {
    switch (targetAppCapability_) {
    case PencilCapability::kTablet:
    case PencilCapability::kFullTablet:
        return pencilAll(sample, tapAllowed);
    case PencilCapability::kPressureOnly:
        return pencilPressureOnly(sample);
    default:
        return; // no stroke has started since launch
    }
}

void PencilInput::handlePencilEventAll(const QVariantMap& event) {
    if (const std::optional<Sample> sample = usableSample(event)) pencilAll(*sample, true);
}

void PencilInput::handlePencilEventPressureOnly(const QVariantMap& event) {
    if (const std::optional<Sample> sample = usableSample(event)) pencilPressureOnly(*sample);
}

void PencilInput::pencilPressureOnly(const Sample& sample) {
    const double pressure = std::clamp(sample.pressure, 0.0, 1.0);
    auto postDragged = [&] {
        Event dragged = mouseEvent(EventType::kLeftMouseDragged, sample.point);
        dragged.doubleFields[EventField::kMouseEventPressure] = pressure;
        poster_.post(dragged, EventTap::kHID);
    };
    if (sample.start) {
        poster_.post(mouseEvent(EventType::kLeftMouseDown, sample.point), EventTap::kHID);
        postDragged();
        heldSample_ = sample;
    }
    // A sample that both starts and ends the stroke lets the button go again.
    if (sample.end) {
        poster_.post(mouseEvent(EventType::kLeftMouseUp, sample.point), EventTap::kHID);
        heldSample_.reset();
    }
    if (!sample.start && !sample.end) {
        postDragged();
        if (heldSample_) heldSample_ = sample;
    }
}

void PencilInput::pencilAll(const Sample& sample, bool tapAllowed) {
    // An end at exactly full pressure without a start is no stroke of the pen.
    if (!bPencilStarted_ && sample.end && sample.pressure == 1.0) return;
    const int32_t app = profiles_.targetApp();
    const double tiltX = std::cos(sample.altitude) * std::cos(sample.azimuth);
    const double tiltY = -std::cos(sample.altitude) * std::sin(sample.azimuth);
    double factor = isOneOf(app, {AppId::kCorelPainter, AppId::kAffinityPhoto}) ? 2.0 : 1.0;
    // Exactly full pressure at azimuth exactly 0 carries no real pressure: the Office programs get a
    // light line for it.
    if (isOneOf(app, {AppId::kPowerPoint, AppId::kWord, AppId::kExcel}) && sample.pressure == 1.0 &&
        sample.azimuth == 0.0)
        factor = 0.3;
    const double pressure = std::clamp(sample.pressure * factor, 0.0, 1.0);
    const double flooredPressure = needsPressureFloor(app) && pressure == 0.0 ? kMinimumPressure : pressure;

    if (!sample.start && !sample.end) {
        Event dragged = mouseEvent(EventType::kLeftMouseDragged, sample.point);
        postPointerEvent(dragged, tiltX, tiltY, flooredPressure);
        // Affinity Photo draws smoother strokes from repeated samples.
        if (app == AppId::kAffinityPhoto)
            for (int i = 0; i < 5; ++i)
                poster_.post(dragged, EventTap::kHID);
        bPencilDragged_ = true;
        if (bPencilStarted_) heldSample_ = sample;
        return;
    }
    if (getsProximity(app, sample.end)) {
        Event proximity = mouseEvent(EventType::kMouseMoved, sample.point);
        proximity.integerFields[EventField::kMouseEventSubtype] = kEventSubtypeTabletProximity;
        postProximityEvent(proximity, sample.start);
        proximity.type = EventType::kTabletProximity;
        postProximityEvent(proximity, sample.start);
    }
    if (sample.start) {
        bPencilStarted_ = true;
        bPencilDragged_ = false;
        Event down = mouseEvent(EventType::kLeftMouseDown, sample.point);
        postPointerEvent(down, tiltX, tiltY, flooredPressure);
        heldSample_ = sample;
    }
    if (sample.end) {
        Event up = mouseEvent(EventType::kLeftMouseUp, sample.point);
        postPointerEvent(up, tiltX, tiltY, pressure);
        if (app == AppId::kAffinityPhoto)
            poster_.post(mouseEvent(EventType::kMouseMoved, sample.point), EventTap::kHID);
        // A pencil tap feeds the double-tap detector, and clicks only when nothing was drawn at full
        // pressure. MarginNote takes pencil taps itself; Finder gets them even without a start.
        const bool tap = bPencilStarted_ ? app != AppId::kMarginNote : app == AppId::kFinder;
        if (tapAllowed && tap) pointer_.handleTapEvent(sample.position, bPencilDragged_ || pressure != 1.0);
        bPencilStarted_ = false;
        heldSample_.reset();
    }
}

void PencilInput::postProximityEvent(Event& event, bool near) {
    auto& fields = event.integerFields;
    fields[EventField::kTabletProximityEventVendorID] = kVendorID;
    fields[EventField::kTabletProximityEventTabletID] = kTabletID;
    fields[EventField::kTabletProximityEventPointerID] = kPointerID;
    fields[EventField::kTabletProximityEventDeviceID] = kDeviceID;
    fields[EventField::kTabletProximityEventSystemTabletID] = kSystemTabletID;
    fields[EventField::kTabletProximityEventVendorPointerType] = kVendorPointerType;
    fields[EventField::kTabletProximityEventVendorPointerSerialNumber] = kVendorPointerSerialNumber;
    fields[EventField::kTabletProximityEventVendorUniqueID] = kVendorUniqueID;
    fields[EventField::kTabletProximityEventCapabilityMask] = kCapabilityMask;
    fields[EventField::kTabletProximityEventPointerType] = kPointerTypePen;
    fields[EventField::kTabletProximityEventEnterProximity] = near ? 1 : 0;
    poster_.post(event, EventTap::kHID);
}

void PencilInput::postPointerEvent(Event& event, double tiltX, double tiltY, double pressure) {
    event.integerFields[EventField::kMouseEventSubtype] = kEventSubtypeTabletPoint;
    event.integerFields[EventField::kTabletEventDeviceID] = kDeviceID;
    event.doubleFields[EventField::kMouseEventPressure] = pressure;
    event.doubleFields[EventField::kTabletEventPointPressure] = pressure;
    event.doubleFields[EventField::kTabletEventTiltX] = tiltX;
    event.doubleFields[EventField::kTabletEventTiltY] = tiltY;
    // Mudbox draws only while the pen's button is reported down.
    if (profiles_.targetApp() == AppId::kMudbox)
        event.doubleFields[EventField::kTabletEventPointButtons] = 1.0;
    poster_.post(event, EventTap::kHID);
}

bool PencilInput::endOpenStroke() {
    if (!heldSample_) return false;
    Sample end = *heldSample_;
    end.start = false;
    end.end = true;
    end.pressure = 0.0;
    route(end, false);
    // Whatever path the stroke took, nothing of it is held any more.
    heldSample_.reset();
    bPencilStarted_ = false;
    return true;
}

void PencilInput::handleStylusStatusChanged(const QVariantMap& event) {
    using namespace PeerMessage;
    const int32_t shortcutClass = profiles_.refreshTargetAppContextShortcut();
    stylusInfo_.status = intValue(event, QStringLiteral("stylusStatus"));
    stylusInfo_.batteryLevel = integerValue(event, QStringLiteral("batteryLevel"));
    stylusInfo_.name = stringValue(event, QStringLiteral("stylusName"));
    stylusInfo_.manufacturerName = stringValue(event, QStringLiteral("stylusManufacturerName"));
    if (stylusInfo_.status < 100 || stylusInfo_.status > 105) return;
    const int32_t app = profiles_.targetApp();
    switch (shortcutClass) {
    case ShortcutClass::kPhotoshop:
        return shortcuts_.handleButtonEventForPhotoshop(event);
    case ShortcutClass::kCorelPainterLike:
        return shortcuts_.handleButtonEventForCorelPainter(event);
    case ShortcutClass::kDrawingApp:
        if (app == AppId::kZBrush) return shortcuts_.handleButtonEventForZBrush(event);
        if (app == AppId::kMudbox) return shortcuts_.handleButtonEventForMudbox(event);
        if (ButtonShortcuts::redoesWithY(app)) return shortcuts_.handleButtonEventForCorelPainter(event);
        return shortcuts_.handleButtonEventForSketchBook(event);
    default:
        return shortcuts_.handleButtonEventForSketchBook(event);
    }
}

void PencilInput::setupStylus() {
    if (hooks_.sendMessage) hooks_.sendMessage(QStringLiteral("setupStylus"), PeerMessage::kChannelCurrent);
}

bool PencilInput::supportApplePencil(const QString& model) {
    if (model.startsWith(u"iPad6")) return model != u"iPad6,11" && model != u"iPad6,12";
    return model.startsWith(u"iPad7") || model.startsWith(u"iPad8");
}
