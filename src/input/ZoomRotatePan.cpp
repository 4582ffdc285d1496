#include "input/ZoomRotatePan.h"

#include "base/Clock.h"
#include "base/MainQueue.h"
#include "input/ApplicationProfiles.h"
#include "input/ButtonShortcuts.h"
#include "input/InputHooks.h"
#include "input/ScreenMapping.h"
#include "input/TouchPointer.h"
#include "input/TrackpadSimulation.h"
#include "platform/EventPoster.h"
#include "session/PeerMessage.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

const QString kStartOfZoom = QStringLiteral("startOfZoom");
const QString kEndOfZoom = QStringLiteral("endOfZoom");
const QString kStartOfRotation = QStringLiteral("startOfRotation");
const QString kEndOfRotation = QStringLiteral("endOfRotation");
const QString kStartOfPan = QStringLiteral("startOfPan");
const QString kEndOfPan = QStringLiteral("endOfPan");

// The pan thresholds the strategies are called with.
constexpr double kWheelLineThreshold = 4.0;
constexpr double kWheelThreshold = 8.0;

constexpr int32_t kZoomIn = 1;
constexpr int32_t kZoomOut = 2;

struct DragPanSettings {
    std::optional<uint16_t> key; // held for the whole pan
    int32_t button;
    int32_t down, dragged, up;
    bool keyUpFirst; // at the end, the key goes up before the button
};

// Indexed by DragPan.
constexpr DragPanSettings kDragPans[] = {
    {ZoomRotatePan::kKeyCodeSpace, MouseButton::kLeft, EventType::kLeftMouseDown,
     EventType::kLeftMouseDragged, EventType::kLeftMouseUp, true},
    {std::nullopt, MouseButton::kLeft, EventType::kLeftMouseDown, EventType::kLeftMouseDragged,
     EventType::kLeftMouseUp, false},
    {ButtonShortcuts::kKeyCodeOption, MouseButton::kCenter, EventType::kOtherMouseDown,
     EventType::kOtherMouseDragged, EventType::kOtherMouseUp, false},
};

double now() {
    return Clock::shared().uptime();
}

// A value of the message that must be a finite number: none when it is not.
std::optional<double> finiteValue(const QVariantMap& event, const QString& key) {
    const double value = PeerMessage::doubleValue(event, key);
    return std::isfinite(value) ? std::optional(value) : std::nullopt;
}

} // namespace

ZoomRotatePan::ZoomRotatePan(EventPoster& poster, ScreenMapping& mapping, ApplicationProfiles& profiles,
                             ButtonShortcuts& shortcuts, TouchPointer& pointer, TrackpadSimulation& trackpad,
                             const InputHooks& hooks)
    : poster_(poster), mapping_(mapping), profiles_(profiles), shortcuts_(shortcuts), pointer_(pointer),
      trackpad_(trackpad), hooks_(hooks) {}

ZoomRotatePan::~ZoomRotatePan() {
    if (heldWatchdog_) Clock::shared().cancel(*heldWatchdog_);
}

ZoomRotatePan::Message ZoomRotatePan::read(const QVariantMap& event, const QString& startKey,
                                           const QString& endKey) {
    Message message;
    message.start = PeerMessage::boolValue(event, startKey);
    message.end = PeerMessage::boolValue(event, endKey);
    // A message without its place cannot say where the gesture is: it is not read as the corner.
    const QString x = QStringLiteral("x"), y = QStringLiteral("y");
    if (event.contains(x) && event.contains(y))
        message.point = mapping_.postableScreenPoint(
            {PeerMessage::doubleValue(event, x), PeerMessage::doubleValue(event, y)});
    return message;
}

void ZoomRotatePan::postKey(bool down, uint16_t keyCode) {
    Event event;
    event.type = down ? EventType::kKeyDown : EventType::kKeyUp;
    event.keyCode = keyCode;
    poster_.post(event, EventTap::kHID);
}

void ZoomRotatePan::postMouse(int32_t type, QPointF point, int32_t button) {
    Event event;
    event.type = type;
    event.location = point;
    event.mouseButton = button;
    poster_.post(event, EventTap::kHID);
}

void ZoomRotatePan::postWheel(int32_t units, int32_t vertical, std::optional<int32_t> horizontal) {
    Event event;
    event.type = EventType::kScrollWheel;
    event.scrollUnits = units;
    event.wheelCount = horizontal ? 2 : 1;
    event.wheels[0] = vertical;
    event.wheels[1] = horizontal.value_or(0);
    poster_.post(event, EventTap::kHID);
}

// --- zoom ---------------------------------------------------------------------------------------

void ZoomRotatePan::handleZoomEvent(const QVariantMap& event) {
    const int32_t shortcut = PeerMessage::boolValue(event, kStartOfZoom)
                                 ? profiles_.refreshTargetAppContextShortcut()
                                 : profiles_.targetAppContextShortcut();
    const int32_t app = profiles_.targetApp();
    bool photoshop = false;
    switch (shortcut) {
    case ShortcutClass::kPhotoshop:
    case ShortcutClass::kIllustratorLike:
        if (app == AppId::kPixelmator) {
            handleZoomEventForUnknownApps(event);
        } else {
            photoshop = true;
            handleZoomEventForPhotoshop(event);
        }
        break;
    case ShortcutClass::kCorelPainterLike:
        if (app == AppId::kClipStudioPaint) {
            photoshop = true;
            handleZoomEventForPhotoshop(event);
        } else {
            handleZoomEventForUnknownAppsByKeyboard(event);
        }
        break;
    case ShortcutClass::kSketchBookLike:
        handleZoomEventForSketchBook(event);
        break;
    case ShortcutClass::kDrawingApp:
        if (app == AppId::kMudbox)
            handleZoomEventForSketchBook(event);
        else
            handleZoomEventForDefaultDrawingApps(event);
        break;
    case ShortcutClass::kNoShortcuts:
        handleZoomEventForUnknownApps(event);
        break;
    default:
        break;
    }
    // The stored class is shared with the taps and pans: when it changed under a zoom that holds
    // Option, the zoom's end still lets Option go.
    if (!photoshop && zoomKeyHeld_ && PeerMessage::boolValue(event, kEndOfZoom)) releaseZoomKey();
}

void ZoomRotatePan::releaseZoomKey() {
    if (!zoomKeyHeld_) return;
    postKey(false, ButtonShortcuts::kKeyCodeOption);
    zoomKeyHeld_ = false;
}

void ZoomRotatePan::handleZoomEventForPhotoshop(const QVariantMap& event) {
    const Message m = read(event, kStartOfZoom, kEndOfZoom);
    if (m.start) {
        if (!m.point) return;
        // A zoom whose end never came still holds Option: let it go before holding it again.
        releaseZoomKey();
        pointer_.warpMouseCursor(*m.point, true);
        postKey(true, ButtonShortcuts::kKeyCodeOption);
        zoomKeyHeld_ = true;
    }
    lastHeldMessage_ = now();
    if (zoomKeyHeld_) watchHeld(kAbandonedGestureTimeout);
    if (m.end) {
        // Also the end of a zoom whose start was dropped, and a message that is both.
        postKey(false, ButtonShortcuts::kKeyCodeOption);
        zoomKeyHeld_ = false;
    } else if (!m.start) {
        const int32_t zoom = PeerMessage::intValue(event, QStringLiteral("zoom"));
        if (zoom == kZoomIn || zoom == kZoomOut) postWheel(Event::kScrollUnitPixel, zoom == kZoomIn ? 1 : -1);
    }
}

void ZoomRotatePan::handleZoomEventForSketchBook(const QVariantMap& event) {
    const Message m = read(event, kStartOfZoom, kEndOfZoom);
    int32_t zoom = PeerMessage::intValue(event, QStringLiteral("zoom"));
    // Substance Painter zooms the other way round.
    if (profiles_.targetApp() == AppId::kSubstancePainter && (zoom == kZoomIn || zoom == kZoomOut))
        zoom = zoom == kZoomIn ? kZoomOut : kZoomIn;
    if (m.start) {
        if (m.point) pointer_.warpMouseCursor(*m.point, true);
        return;
    }
    if (m.end) return;
    if (zoom == kZoomIn || zoom == kZoomOut) postWheel(Event::kScrollUnitLine, zoom == kZoomIn ? 3 : -3);
}

void ZoomRotatePan::handleZoomEventForDefaultDrawingApps(const QVariantMap& event) {
    handleZoomEventForUnknownApps(event);
}

void ZoomRotatePan::handleZoomEventForUnknownApps(const QVariantMap& event) {
    // Every system this runs on takes magnify gestures (or their nearest equivalent on its desktop),
    // so the keyboard's stepped zoom is left to the applications that ask for it.
    handleZoomEventForUnknownAppsByTrackpadSimulation(event);
}

void ZoomRotatePan::handleZoomEventForUnknownAppsByKeyboard(const QVariantMap& event) {
    if (PeerMessage::boolValue(event, kStartOfZoom)) prevZoomScale_ = 0.0;
    const std::optional<double> scale = finiteValue(event, QStringLiteral("scale"));
    if (!scale || std::fabs(*scale - prevZoomScale_) < kKeyboardZoomStep) return;
    prevZoomScale_ = *scale;
    const int32_t zoom = PeerMessage::intValue(event, QStringLiteral("zoom"));
    if (zoom == kZoomIn)
        shortcuts_.postKeyWithCmd(kKeyCodeKeypadPlus);
    else if (zoom == kZoomOut)
        shortcuts_.postKeyWithCmd(kKeyCodeKeypadMinus);
}

std::optional<ZoomRotatePan::TrackpadStep>
ZoomRotatePan::trackpadStep(const QVariantMap& event, const QString& startKey, const QString& endKey,
                            const QString& valueKey, double origin, double& previous, bool& open) {
    const Message m = read(event, startKey, endKey);
    std::optional<double> value = finiteValue(event, valueKey);
    // A value that is no number moves nothing, but an end still ends the gesture.
    if (m.start && (!m.point || !value)) return std::nullopt;
    if (!value && !m.end) return std::nullopt;
    if (m.start) {
        pointer_.warpMouseCursor(*m.point, true);
        previous = origin;
    }
    const TrackpadStep step{m.start, m.end, value.value_or(previous), previous};
    previous = step.value;
    open = m.start || (open && !m.end);
    return step;
}

void ZoomRotatePan::handleZoomEventForUnknownAppsByTrackpadSimulation(const QVariantMap& event) {
    const auto step = trackpadStep(event, kStartOfZoom, kEndOfZoom, QStringLiteral("scale"), 1.0,
                                   prevZoomScale_, zoomGestureOpen_);
    if (!step) return;
    const double d = std::clamp(step->value - step->previous, -1.0, 1.0);
    const double magnification =
        std::clamp(d * kMagnificationFactor * 30.0, -kMagnificationFactor, kMagnificationFactor);
    trackpad_.simulateZoomEvent(magnification, step->start, step->end);
}

// --- rotation -----------------------------------------------------------------------------------

void ZoomRotatePan::handleTwoFingerRotationEvent(const QVariantMap& event) {
    if (PeerMessage::boolValue(event, kStartOfRotation)) profiles_.refreshTargetAppContextShortcut();
    handleTwoFingerRotationEventForUnknownAppsByTrackpadSimulation(event);
}

void ZoomRotatePan::handleTwoFingerRotationEventForUnknownAppsByTrackpadSimulation(const QVariantMap& event) {
    const auto step = trackpadStep(event, kStartOfRotation, kEndOfRotation, QStringLiteral("rotation"), 0.0,
                                   prevRotation_, rotationGestureOpen_);
    if (!step) return;
    // The device turns one way round, the trackpad's field the other.
    const double degrees = (step->previous - step->value) * 180.0 * (1.0 / std::numbers::pi);
    trackpad_.simulateRotateEvent(degrees, step->start, step->end);
}

// --- pan ----------------------------------------------------------------------------------------

void ZoomRotatePan::handleTwoFingerPanEvent(const QVariantMap& event) {
    const int32_t shortcut = profiles_.refreshTargetAppContextShortcut();
    const int32_t app = profiles_.targetApp();
    std::optional<DragPan> drag;
    if (shortcut == ShortcutClass::kCorelPainterLike)
        drag = DragPan::CorelPainter;
    else if (shortcut == ShortcutClass::kSketchBookLike)
        drag = app == AppId::kMaya               ? DragPan::Maya
               : app == AppId::kSubstancePainter ? DragPan::SubstancePainter
                                                 : DragPan::CorelPainter;
    // The class is read anew on every message: a pan that held a key or button for another
    // application lets them go before this one goes on.
    if (heldPan_ && heldPan_ != drag) endDragPan();
    switch (shortcut) {
    case ShortcutClass::kPhotoshop:
    case ShortcutClass::kIllustratorLike:
        handleTwoFingerPanEventForPhotoshop(event);
        break;
    case ShortcutClass::kCorelPainterLike:
        handleTwoFingerPanEventForCorelPainter(event);
        break;
    case ShortcutClass::kSketchBookLike:
        if (app == AppId::kMaya)
            handleTwoFingerPanEventForMaya(event);
        else if (app == AppId::kSubstancePainter)
            handleTwoFingerPanEventForSubstancePainter(event);
        else
            handleTwoFingerPanEventForSketchBook(event);
        break;
    case ShortcutClass::kDrawingApp:
        handleTwoFingerPanEventForDefaultDrawingApps(event);
        break;
    case ShortcutClass::kNoShortcuts:
        handleTwoFingerPanEventForUnknownApps(event);
        break;
    default:
        break;
    }
}

void ZoomRotatePan::handleTwoFingerPanEventForPhotoshop(const QVariantMap& event) {
    handleTwoFingerPanEventByWheelLine(event, kWheelLineThreshold, kWheelLineThreshold);
}

void ZoomRotatePan::handleTwoFingerPanEventByWheelLine(const QVariantMap& event, double threshX,
                                                       double threshY) {
    const Message m = read(event, kStartOfPan, kEndOfPan);
    if (!m.point) return;
    if (m.start) {
        pointer_.warpMouseCursor(*m.point, false);
        prevTwoFingerPanPoint_ = *m.point;
        return;
    }
    if (m.end) return;
    const double dx = m.point->x() - prevTwoFingerPanPoint_.x();
    const double dy = m.point->y() - prevTwoFingerPanPoint_.y();
    if (std::fabs(dy) >= threshY) {
        postWheel(Event::kScrollUnitLine, dy > 0 ? 1 : -1);
        prevTwoFingerPanPoint_.setY(m.point->y());
    }
    if (std::fabs(dx) >= threshX) {
        postWheel(Event::kScrollUnitLine, 0, dx > 0 ? 1 : -1);
        prevTwoFingerPanPoint_.setX(m.point->x());
    }
}

void ZoomRotatePan::handleTwoFingerPanEventForCorelPainter(const QVariantMap& event) {
    dragPan(DragPan::CorelPainter, event);
}

void ZoomRotatePan::handleTwoFingerPanEventForMaya(const QVariantMap& event) {
    dragPan(DragPan::Maya, event);
}

void ZoomRotatePan::handleTwoFingerPanEventForSubstancePainter(const QVariantMap& event) {
    dragPan(DragPan::SubstancePainter, event);
}

void ZoomRotatePan::handleTwoFingerPanEventForSketchBook(const QVariantMap& event) {
    handleTwoFingerPanEventForCorelPainter(event);
}

void ZoomRotatePan::dragPan(DragPan kind, const QVariantMap& event) {
    const DragPanSettings& pan = kDragPans[int(kind)];
    const Message m = read(event, kStartOfPan, kEndOfPan);
    if (m.start) {
        if (!m.point) return;
        // What a pan whose end never came still holds goes up first.
        if (heldPan_) endDragPan();
        if (pan.key) postKey(true, *pan.key);
        heldPan_ = kind;
        panStarted_ = true;
        bLeftMouseDown_ = false;
        prevTwoFingerPanPoint_ = *m.point;
        lastHeldMessage_ = now();
        watchHeld(kAbandonedGestureTimeout);
        return;
    }
    if (m.end) {
        if (panStarted_) {
            heldPan_ = kind;
            endDragPan();
        }
        return;
    }
    // Without its start (dropped, cut off, or ended for it) the button would drag without the key:
    // a stroke on the canvas instead of a pan.
    if (!panStarted_ || !m.point) return;
    lastHeldMessage_ = now();
    const double dx = m.point->x() - prevTwoFingerPanPoint_.x();
    const double dy = m.point->y() - prevTwoFingerPanPoint_.y();
    if (std::fabs(dx) < kDragPanThreshold && std::fabs(dy) < kDragPanThreshold) return;
    if (!bLeftMouseDown_) {
        postMouse(pan.down, *m.point, pan.button);
        bLeftMouseDown_ = true;
    }
    postMouse(pan.dragged, *m.point, pan.button);
    if (std::fabs(dx) >= kDragPanThreshold) prevTwoFingerPanPoint_.setX(m.point->x());
    if (std::fabs(dy) >= kDragPanThreshold) prevTwoFingerPanPoint_.setY(m.point->y());
}

void ZoomRotatePan::watchHeld(double seconds) {
    if (heldWatchdog_) return;
    heldWatchdog_ = mainQueue().after(seconds, [self = lifetime_.guard()] {
        if (!self) return;
        self->heldWatchdog_.reset();
        if (!self->heldPan_ && !self->zoomKeyHeld_) return;
        const double idle = now() - self->lastHeldMessage_;
        if (idle >= kAbandonedGestureTimeout) {
            self->endDragPan();
            self->releaseZoomKey();
        } else
            self->watchHeld(kAbandonedGestureTimeout - idle);
    });
}

void ZoomRotatePan::endDragPan() {
    panStarted_ = false;
    if (!heldPan_) return;
    const DragPanSettings& pan = kDragPans[int(*heldPan_)];
    if (pan.key && pan.keyUpFirst) postKey(false, *pan.key);
    // At the last anchor, not where the fingers left.
    postMouse(pan.up, prevTwoFingerPanPoint_, pan.button);
    if (pan.key && !pan.keyUpFirst) postKey(false, *pan.key);
    bLeftMouseDown_ = false;
    heldPan_.reset();
}

void ZoomRotatePan::handleTwoFingerPanEventForDefaultDrawingApps(const QVariantMap& event) {
    handleTwoFingerPanEventByWheel(event, kWheelThreshold, kWheelThreshold);
}

void ZoomRotatePan::handleTwoFingerPanEventByWheel(const QVariantMap& event, double, double) {
    // The one-finger scroll takes the pan's start and end as its own.
    pointer_.handleScrollEvent(event);
}

void ZoomRotatePan::handleTwoFingerPanEventForUnknownApps(const QVariantMap& event) {
    const bool start = PeerMessage::boolValue(event, kStartOfPan);
    const bool end = PeerMessage::boolValue(event, kEndOfPan);
    const std::optional<double> vx = finiteValue(event, QStringLiteral("vx"));
    // A speed that is no number decides nothing; an end still ends.
    if (!vx && !end) return;
    if (start) {
        panMode_ = kPanUndecided;
        swipeStartTime_ = now();
        iEvent_ = 0;
        handleTwoFingerSwipeEventByTrackpadSimulation(event, kWheelThreshold, kWheelThreshold);
        handleTwoFingerPanEventByWheel(event, kWheelThreshold, kWheelThreshold);
    }
    const int32_t i = iEvent_;
    // Counted only as far as it matters: a pan that never ends must not run the count over.
    if (iEvent_ < std::numeric_limits<int32_t>::max()) ++iEvent_;
    if (i == 2) {
        const bool phone = hooks_.deviceCategory && hooks_.deviceCategory() == QStringLiteral("iPhone");
        panMode_ = std::fabs(vx.value_or(0.0)) > (phone ? kSwipeSpeedPhone : kSwipeSpeedPad) ? kPanSwipe
                                                                                             : kPanScroll;
    }
    if (panMode_ == kPanSwipe) {
        if (end) handleTwoFingerSwipeEventByTrackpadSimulation(event, kWheelThreshold, kWheelThreshold);
    } else if (panMode_ == kPanScroll) {
        handleTwoFingerPanEventByWheel(event, kWheelThreshold, kWheelThreshold);
    }
}

void ZoomRotatePan::handleTwoFingerSwipeEventByTrackpadSimulation(const QVariantMap& event, double, double) {
    const Message m = read(event, kStartOfPan, kEndOfPan);
    if (!m.point) return;
    if (m.start) {
        pointer_.warpMouseCursor(*m.point, false);
        prevTwoFingerPanPoint_ = *m.point;
        return;
    }
    if (!m.end) return;
    const double dx = m.point->x() - prevTwoFingerPanPoint_.x();
    if (std::fabs(dx) >= kSwipeDistance && now() - swipeStartTime_ < kSwipeTime)
        trackpad_.simulateSwipe2Event(dx > 0 ? kSwipeRight : kSwipeLeft);
}

// --- the end of the link --------------------------------------------------------------------------

bool ZoomRotatePan::endOpenGestures() {
    const bool open = zoomKeyHeld_ || heldPan_ || zoomGestureOpen_ || rotationGestureOpen_;
    releaseZoomKey();
    endDragPan();
    if (zoomGestureOpen_) trackpad_.simulateZoomEvent(0.0, false, true);
    if (rotationGestureOpen_) trackpad_.simulateRotateEvent(0.0, false, true);
    zoomGestureOpen_ = rotationGestureOpen_ = false;
    // A pan that was deciding starts afresh with the next one.
    panMode_ = kPanUndecided;
    return open;
}
