#include "input/TouchPointer.h"

#include "base/MainQueue.h"
#include "input/ApplicationProfiles.h"
#include "input/ButtonShortcuts.h"
#include "input/InputHooks.h"
#include "input/ScreenMapping.h"
#include "platform/EventPoster.h"
#include "session/PeerMessage.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

double now() {
    return Clock::shared().uptime();
}

// A wheel value from a distance in points: truncated toward zero, and held to what a wheel can carry
// when the device sends a jump no screen has.
int32_t wheelValue(double points) {
    return int32_t(std::clamp(std::trunc(points), double(std::numeric_limits<int32_t>::min()),
                              double(std::numeric_limits<int32_t>::max())));
}

QPointF readPosition(const QVariantMap& event) {
    return {PeerMessage::doubleValue(event, QStringLiteral("x")),
            PeerMessage::doubleValue(event, QStringLiteral("y"))};
}

} // namespace

TouchPointer::TouchPointer(EventPoster& poster, ScreenMapping& mapping, ApplicationProfiles& profiles,
                           ButtonShortcuts& shortcuts, const InputHooks& hooks)
    : poster_(poster), mapping_(mapping), profiles_(profiles), shortcuts_(shortcuts), hooks_(hooks) {}

TouchPointer::~TouchPointer() = default;

void TouchPointer::postMouse(int32_t type, QPointF point, int32_t button) {
    Event event;
    event.type = type;
    event.location = point;
    event.mouseButton = button;
    poster_.post(event, EventTap::kHID);
}

void TouchPointer::warpMouseCursor(QPointF point, bool hidden) {
    poster_.associateMouseAndMouseCursorPosition(false);
    poster_.warpMouseCursorPosition(point);
    poster_.associateMouseAndMouseCursorPosition(true);
    if (!hidden) hooks_.cursorMoved();
}

void TouchPointer::postLeftClick(QPointF point) {
    postMouse(EventType::kLeftMouseDown, point);
    postMouse(EventType::kLeftMouseUp, point);
}

void TouchPointer::singleClick(QPointF point) {
    const bool inTouchBar = hooks_.isTapInTouchBar && hooks_.isTapInTouchBar(point);
    // A tap on the Touch Bar's picture must not leave the cursor there.
    const QPointF remembered = inTouchBar ? poster_.mouseLocation() : QPointF();
    poster_.associateMouseAndMouseCursorPosition(false);
    poster_.warpMouseCursorPosition(point);
    poster_.associateMouseAndMouseCursorPosition(true);
    postLeftClick(point);
    if (inTouchBar) poster_.warpMouseCursorPosition(mapping_.eventLocation(remembered));
    hooks_.cursorMoved();
}

void TouchPointer::doubleClick(int64_t clickCount, QPointF point) {
    Event event;
    event.type = EventType::kLeftMouseDown;
    event.location = point;
    poster_.post(event, EventTap::kHID);
    event.type = EventType::kLeftMouseUp;
    poster_.post(event, EventTap::kHID);
    event.integerFields[EventField::kMouseEventClickState] = clickCount;
    event.type = EventType::kLeftMouseDown;
    poster_.post(event, EventTap::kHID);
    event.type = EventType::kLeftMouseUp;
    poster_.post(event, EventTap::kHID);
}

void TouchPointer::handleTapEvent(QPointF position, bool ignoreSingleTap) {
    const std::optional<QPointF> point = mapping_.postableScreenPoint(position);
    if (!point) return;
    if (now() - prevOneFingerTapTime_ < kDoubleTapInterval)
        doubleClick(2, *point);
    else if (!ignoreSingleTap)
        singleClick(*point);
    prevOneFingerTapTime_ = now();
}

void TouchPointer::handleTwoFingerTapEvent(QPointF /*position*/) {
    if (hooks_.peerSpeaks(kUndoTapProtocolVersion) &&
        profiles_.refreshTargetAppContextShortcut() != ShortcutClass::kNoShortcuts) {
        handleTwoFingerSingleTapEvent();
        return;
    }
    if (now() - prevTwoFingerTapTime_ < kTwoFingerDoubleTapInterval) {
        if (hooks_.simulateSmartZoomEvent) hooks_.simulateSmartZoomEvent();
        bSmartZoomed_ = true;
    } else {
        bSmartZoomed_ = false;
    }
    prevTwoFingerTapTime_ = now();
    if (bSmartZoomed_) return;
    // A second tap soon after turns this one into smart zoom instead of a secondary click.
    mainQueue().after(kSecondaryClickDelay, [self = lifetime_.guard()] {
        if (self && !self->bSmartZoomed_) self->handleTwoFingerSingleTapEvent();
    });
}

void TouchPointer::handleTwoFingerSingleTapEvent() {
    if (hooks_.peerSpeaks(kUndoTapProtocolVersion) &&
        profiles_.targetAppContextShortcut() != ShortcutClass::kNoShortcuts) {
        shortcuts_.simulateUndoForApplication(profiles_.targetApp());
        return;
    }
    const QPointF cursor = poster_.nullEventLocation();
    postMouse(EventType::kRightMouseDown, cursor, MouseButton::kRight);
    postMouse(EventType::kRightMouseUp, cursor, MouseButton::kRight);
}

void TouchPointer::handleThreeFingerTapEvent(QPointF /*position*/) {
    if (profiles_.refreshTargetAppContextShortcut() == ShortcutClass::kNoShortcuts) return;
    shortcuts_.simulateRedoForApplication(profiles_.targetApp());
}

void TouchPointer::handleScrollEvent(const QVariantMap& event) {
    const bool start = PeerMessage::boolValue(event, QStringLiteral("startOfScroll")) ||
                       PeerMessage::boolValue(event, QStringLiteral("startOfPan"));
    const bool end = PeerMessage::boolValue(event, QStringLiteral("endOfScroll")) ||
                     PeerMessage::boolValue(event, QStringLiteral("endOfPan"));
    const QPointF position = readPosition(event);
    const std::optional<QPointF> point = mapping_.postableScreenPoint(position);
    if (!point) return;
    if (start) {
        warpMouseCursor(*point, true);
        prevOneFingerScrollPoint_ = position;
        return;
    }
    if (end) {
        prevOneFingerScrollPoint_ = position;
        return;
    }
    const double dx = position.x() - prevOneFingerScrollPoint_.x();
    const double dy = position.y() - prevOneFingerScrollPoint_.y();
    Event wheel;
    wheel.type = EventType::kScrollWheel;
    wheel.scrollUnits = Event::kScrollUnitPixel;
    if (std::fabs(dy) > std::fabs(dx)) {
        wheel.wheelCount = 1;
        wheel.wheels[0] = wheelValue(dy * mapping_.zubOrBuiltinScreenHeight());
        poster_.post(wheel, EventTap::kHID);
    } else if (dx != 0.0) {
        wheel.wheelCount = 2;
        wheel.wheels[1] = dx > 0.0 ? kHorizontalScrollStep : -kHorizontalScrollStep;
        poster_.post(wheel, EventTap::kHID);
    }
    prevOneFingerScrollPoint_ = position;
}

void TouchPointer::handleDragEvent(const QVariantMap& event) {
    const bool start = PeerMessage::boolValue(event, QStringLiteral("startOfDrag"));
    const bool end = PeerMessage::boolValue(event, QStringLiteral("endOfDrag"));
    const std::optional<QPointF> point = mapping_.postableScreenPoint(readPosition(event));
    if (!point) {
        // The end of a drag still lets the button go, where the drag last was.
        if (end) endOpenDrag();
        return;
    }
    if (start) {
        warpMouseCursor(*point, false);
        postMouse(EventType::kLeftMouseDown, *point);
        dragHeldAt_ = *point;
    } else if (end) {
        postMouse(EventType::kLeftMouseUp, *point);
        dragHeldAt_.reset();
    } else {
        postMouse(EventType::kLeftMouseDragged, *point);
        if (dragHeldAt_) dragHeldAt_ = *point;
    }
}

bool TouchPointer::endOpenDrag() {
    if (!dragHeldAt_) return false;
    postMouse(EventType::kLeftMouseUp, *dragHeldAt_);
    dragHeldAt_.reset();
    return true;
}

void TouchPointer::handleHoverEvent(const QVariantMap& event) {
    if (const std::optional<QPointF> point = mapping_.postableScreenPoint(readPosition(event)))
        postMouse(EventType::kMouseMoved, *point);
}
