#pragma once

#include <QByteArray>
#include <QPointF>
#include <cstdint>
#include <map>
#include <optional>

// Synthetic input in the window system's event vocabulary: the event types, field numbers, flag masks
// and virtual key codes the input translation was written against. A backend turns each record into
// what its desktop understands (X11: XTest for pointer, buttons, wheel and keys; a uinput tablet for
// pressure, tilt and proximity).
namespace EventType {
inline constexpr int32_t kNull = 0;
inline constexpr int32_t kLeftMouseDown = 1;
inline constexpr int32_t kLeftMouseUp = 2;
inline constexpr int32_t kRightMouseDown = 3;
inline constexpr int32_t kRightMouseUp = 4;
inline constexpr int32_t kMouseMoved = 5;
inline constexpr int32_t kLeftMouseDragged = 6;
inline constexpr int32_t kRightMouseDragged = 7;
inline constexpr int32_t kKeyDown = 10;
inline constexpr int32_t kKeyUp = 11;
inline constexpr int32_t kFlagsChanged = 12;
inline constexpr int32_t kScrollWheel = 22;
inline constexpr int32_t kTabletPointer = 23;
inline constexpr int32_t kTabletProximity = 24;
inline constexpr int32_t kOtherMouseDown = 25;
inline constexpr int32_t kOtherMouseUp = 26;
inline constexpr int32_t kOtherMouseDragged = 27;
} // namespace EventType

// Field numbers of `Event::integerFields` and `Event::doubleFields`.
namespace EventField {
inline constexpr uint32_t kMouseEventClickState = 1;
inline constexpr uint32_t kMouseEventPressure = 2;
inline constexpr uint32_t kMouseEventSubtype = 7; // 1 tablet point, 2 tablet proximity
inline constexpr uint32_t kTabletEventPointButtons = 18;
inline constexpr uint32_t kTabletEventPointPressure = 19;
inline constexpr uint32_t kTabletEventTiltX = 20;
inline constexpr uint32_t kTabletEventTiltY = 21;
inline constexpr uint32_t kTabletEventDeviceID = 24;
inline constexpr uint32_t kTabletProximityEventVendorID = 28;
inline constexpr uint32_t kTabletProximityEventTabletID = 29;
inline constexpr uint32_t kTabletProximityEventPointerID = 30;
inline constexpr uint32_t kTabletProximityEventDeviceID = 31;
inline constexpr uint32_t kTabletProximityEventSystemTabletID = 32;
inline constexpr uint32_t kTabletProximityEventVendorPointerType = 33;
inline constexpr uint32_t kTabletProximityEventVendorPointerSerialNumber = 34;
inline constexpr uint32_t kTabletProximityEventVendorUniqueID = 35;
inline constexpr uint32_t kTabletProximityEventCapabilityMask = 36;
inline constexpr uint32_t kTabletProximityEventPointerType = 37;
inline constexpr uint32_t kTabletProximityEventEnterProximity = 38;
} // namespace EventField

inline constexpr int64_t kEventSubtypeTabletPoint = 1;
inline constexpr int64_t kEventSubtypeTabletProximity = 2;

// Flag masks of `Event::flags`.
namespace EventFlag {
inline constexpr uint64_t kMaskAlphaShift = 0x10000;
inline constexpr uint64_t kMaskShift = 0x20000;
inline constexpr uint64_t kMaskControl = 0x40000;
inline constexpr uint64_t kMaskAlternate = 0x80000; // Option
inline constexpr uint64_t kMaskCommand = 0x100000;
inline constexpr uint64_t kMaskNonCoalesced = 0x100;
} // namespace EventFlag

// Where an event enters the event stream.
namespace EventTap {
inline constexpr int32_t kHID = 0;
inline constexpr int32_t kSession = 1;
inline constexpr int32_t kAnnotatedSession = 2;
} // namespace EventTap

// Mouse buttons of `Event::mouseButton`.
namespace MouseButton {
inline constexpr int32_t kLeft = 0;
inline constexpr int32_t kRight = 1;
inline constexpr int32_t kCenter = 2;
} // namespace MouseButton

// The state an event source reflects, and how long it holds back the user's own input after one
// of its events.
struct EventSource {
    static constexpr int32_t kStatePrivate = -1;
    static constexpr int32_t kStateCombinedSession = 0;
    static constexpr int32_t kStateHIDSystem = 1;
    int32_t stateID = kStateCombinedSession;
    double localEventsSuppressionInterval = 0.25;
    bool operator==(const EventSource&) const = default;
};

// One synthetic event. Locations are in the top-left-origin global space of DisplayServices::bounds.
struct Event {
    static constexpr int32_t kScrollUnitPixel = 0;
    static constexpr int32_t kScrollUnitLine = 1;

    int32_t type = EventType::kNull;
    QPointF location;
    int32_t mouseButton = MouseButton::kLeft;
    uint64_t flags = 0;
    // Key events: the virtual key code (the US layout's key positions: 6 is the key of "z").
    uint16_t keyCode = 0;
    // Scroll-wheel events: units, and up to three wheels (vertical, horizontal, depth).
    int32_t scrollUnits = kScrollUnitPixel;
    int32_t wheelCount = 0;
    int32_t wheels[3] = {0, 0, 0};
    // Fields set by number; an event carries at most one value per number.
    std::map<uint32_t, int64_t> integerFields;
    std::map<uint32_t, double> doubleFields;
    // The source the event was created from; none for an event created without one.
    std::optional<EventSource> source;

    int64_t integerField(uint32_t field) const {
        const auto it = integerFields.find(field);
        return it == integerFields.end() ? 0 : it->second;
    }
    double doubleField(uint32_t field) const {
        const auto it = doubleFields.find(field);
        return it == doubleFields.end() ? 0.0 : it->second;
    }
    bool operator==(const Event&) const = default;
};

// Trackpad gestures (event type 29).
namespace GestureSubtype {
inline constexpr int32_t kRotate = 5;
inline constexpr int32_t kMagnify = 8;
inline constexpr int32_t kSwipe = 16;
inline constexpr int32_t kSmartZoom = 22;
} // namespace GestureSubtype

namespace GesturePhase {
inline constexpr int32_t kNone = 0;
inline constexpr int32_t kBegan = 1;
inline constexpr int32_t kChanged = 2;
inline constexpr int32_t kEnded = 4;
} // namespace GesturePhase

// One trackpad gesture. `data` is its serialized form from the two marker bytes on (records and
// tagged fields); a backend that creates events from serialized data puts its own serialization of a
// bare gesture event stamped `timestamp`, less its trailing 24 bytes, in front. The other fields say
// the same for backends that post something else.
struct GestureEvent {
    static constexpr int32_t kType = 29;

    int32_t subtype = 0;
    int32_t phase = GesturePhase::kNone;
    // Magnification, rotation in degrees, or swipe direction (4 fingers moving right, 8 left);
    // always finite.
    double value = 0.0;
    // Nanoseconds of system uptime.
    uint64_t timestamp = 0;
    QByteArray data;
    bool operator==(const GestureEvent&) const = default;
};

// Posts synthetic input and moves the pointer. Main thread only.
class EventPoster {
public:
    virtual ~EventPoster() = default;

    // Posts `event` at the tap (EventTap); returns at once.
    virtual void post(const Event& event, int32_t tap) = 0;
    // Posts a trackpad gesture at the tap, or its nearest equivalent on this desktop (maybe none).
    virtual void postGesture(const GestureEvent& gesture, int32_t tap) = 0;
    // Moves the pointer to `location` (top-left global space) without posting a motion event.
    virtual void warpMouseCursorPosition(QPointF location) = 0;
    // Whether moving the mouse moves the cursor; a warp is made with the two detached.
    virtual void associateMouseAndMouseCursorPosition(bool connected) = 0;
    // The pointer's position in the bottom-left-origin global space (the toolkit's mouse location).
    virtual QPointF mouseLocation() const = 0;
    // The location of a fresh null event: the pointer in the top-left-origin global space.
    virtual QPointF nullEventLocation() const = 0;
    // Lets go of every button and key that events posted here still hold down, and takes a pen out
    // of proximity: a gesture or stroke whose end never comes must not leave them held.
    virtual void releaseHeldInput() = 0;
};
