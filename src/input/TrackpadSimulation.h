#pragma once

#include "base/Lifetime.h"

#include <QByteArray>
#include <QVariantMap>
#include <cstdint>
#include <optional>

class EventPoster;
struct GestureEvent;

// Trackpad gestures made from the device's pinch, twist and swipe, for applications that know nothing
// of the device but understand a trackpad. A gesture is described as a dictionary of numbers, then
// serialized into the records and tagged fields a gesture event is created from, and posted. Each call
// returns at once; the gesture is built and posted on the main queue, in the order of the calls.
// Main thread only.
class TrackpadSimulation {
public:
    // Description keys.
    static inline const QString kDeviceID = QStringLiteral("deviceID");
    static inline const QString kGestureSubtype = QStringLiteral("gestureSubtype");
    static inline const QString kGesturePhase = QStringLiteral("gesturePhase");
    static inline const QString kMagnification = QStringLiteral("magnification");
    static inline const QString kRotation = QStringLiteral("rotation");
    static inline const QString kSwipeDirection = QStringLiteral("swipeDirection");
    // The subtype a description without one is read as.
    static constexpr int32_t kDefaultSubtype = 11;

    explicit TrackpadSimulation(EventPoster& poster);
    TrackpadSimulation(const TrackpadSimulation&) = delete;
    TrackpadSimulation& operator=(const TrackpadSimulation&) = delete;

    // isSOE: the gesture starts (wins over isEOE); isEOE: it ends.
    void simulateZoomEvent(double magnification, bool isSOE, bool isEOE);
    // Degrees.
    void simulateRotateEvent(double rotation, bool isSOE, bool isEOE);
    void simulateSmartZoomEvent();
    // 4.0 for fingers moving right, 8.0 for left.
    void simulateSwipe2Event(double direction);

    // The description of one gesture; `valueKey` empty for a gesture without a value.
    static QVariantMap gestureDescription(int32_t subtype, std::optional<int32_t> phase,
                                          const QString& valueKey = {}, double value = 0.0);
    // The gesture a description stands for, serialized; none when its value is no finite number.
    static std::optional<GestureEvent> gestureEvent(const QVariantMap& description, uint64_t timestamp);

private:
    void schedule(QVariantMap description);

    EventPoster& poster_;
    Lifetime<TrackpadSimulation> lifetime_{this};
};
