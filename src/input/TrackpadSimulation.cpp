#include "input/TrackpadSimulation.h"

#include "base/Clock.h"
#include "base/MainQueue.h"
#include "platform/EventPoster.h"

#include <QtEndian>
#include <algorithm>
#include <cmath>
#include <limits>

namespace {

int32_t phaseFor(bool isSOE, bool isEOE) {
    if (isSOE) return GesturePhase::kBegan;
    return isEOE ? GesturePhase::kEnded : GesturePhase::kChanged;
}

// What a description holds under `key` as a number, 0 when absent.
double number(const QVariantMap& description, const QString& key) {
    bool ok = false;
    const double value = description.value(key).toDouble(&ok);
    return ok ? value : 0.0;
}

class Writer {
public:
    void bytes(std::initializer_list<uint8_t> values) {
        for (const uint8_t b : values)
            data.append(char(b));
    }
    void zeros(int count) { data.append(count, '\0'); }
    template <class T> void little(T value) {
        const T le = qToLittleEndian(value);
        data.append(reinterpret_cast<const char*>(&le), sizeof le);
    }
    // A tagged field: marker, type, field number, then the value big-endian.
    void tagged(uint8_t field, int32_t value) {
        bytes({0x00, 0x01, 0x40, field});
        const int32_t be = qToBigEndian(value);
        data.append(reinterpret_cast<const char*>(&be), sizeof be);
    }
    void tagged(uint8_t field, float value) {
        bytes({0x00, 0x01, 0xC0, field});
        const float be = qToBigEndian(value);
        data.append(reinterpret_cast<const char*>(&be), sizeof be);
    }
    QByteArray data;
};

} // namespace

TrackpadSimulation::TrackpadSimulation(EventPoster& poster) : poster_(poster) {}

void TrackpadSimulation::simulateZoomEvent(double magnification, bool isSOE, bool isEOE) {
    schedule(
        gestureDescription(GestureSubtype::kMagnify, phaseFor(isSOE, isEOE), kMagnification, magnification));
}

void TrackpadSimulation::simulateRotateEvent(double rotation, bool isSOE, bool isEOE) {
    schedule(gestureDescription(GestureSubtype::kRotate, phaseFor(isSOE, isEOE), kRotation, rotation));
}

void TrackpadSimulation::simulateSmartZoomEvent() {
    schedule(gestureDescription(GestureSubtype::kSmartZoom, std::nullopt));
}

void TrackpadSimulation::simulateSwipe2Event(double direction) {
    schedule(gestureDescription(GestureSubtype::kSwipe, std::nullopt, kSwipeDirection, direction));
}

QVariantMap TrackpadSimulation::gestureDescription(int32_t subtype, std::optional<int32_t> phase,
                                                   const QString& valueKey, double value) {
    QVariantMap description{{kDeviceID, qint64(0)}, {kGestureSubtype, subtype}};
    if (phase) description.insert(kGesturePhase, *phase);
    if (!valueKey.isEmpty()) description.insert(valueKey, value);
    return description;
}

std::optional<GestureEvent> TrackpadSimulation::gestureEvent(const QVariantMap& description,
                                                             uint64_t timestamp) {
    GestureEvent gesture;
    gesture.subtype =
        description.contains(kGestureSubtype) ? description.value(kGestureSubtype).toInt() : kDefaultSubtype;
    gesture.phase = description.value(kGesturePhase).toInt();
    gesture.timestamp = timestamp;
    switch (gesture.subtype) {
    case GestureSubtype::kMagnify:
        gesture.value = number(description, kMagnification);
        break;
    case GestureSubtype::kRotate:
        gesture.value = number(description, kRotation);
        break;
    case GestureSubtype::kSwipe:
        gesture.value = number(description, kSwipeDirection);
        break;
    default:
        break;
    }
    // A value no number stands for would reach the desktop as whatever its bits happen to say.
    if (!std::isfinite(gesture.value)) return std::nullopt;

    Writer w;
    w.bytes({0x00, 0xC0});
    w.bytes({0x10, 0x6D});
    // Time record.
    w.little<uint64_t>(timestamp);
    w.little<uint64_t>(0);
    w.little<uint32_t>(2);
    w.little<uint32_t>(2);
    // Event record.
    w.little<uint32_t>(96);
    w.little<uint32_t>(11);
    w.little<uint64_t>(timestamp);
    w.little<uint32_t>(2);
    w.zeros(16);
    w.little<uint32_t>(35);
    w.zeros(56);
    // Device record.
    w.little<uint32_t>(72);
    w.little<uint32_t>(1);
    w.zeros(12);
    w.little<uint32_t>(0x1777FF00);
    w.little<uint32_t>(1);
    w.little<uint32_t>(40);
    w.little<uint64_t>(uint64_t(description.value(kDeviceID).toLongLong()));
    w.zeros(32);

    w.tagged(0x6E, gesture.subtype);
    w.tagged(0x6F, int32_t(0));
    w.tagged(0x84, gesture.phase);
    w.tagged(0x85, int32_t(0));
    switch (gesture.subtype) {
    case GestureSubtype::kMagnify:
        w.tagged(0x71, float(gesture.value));
        break;
    case GestureSubtype::kRotate:
        w.tagged(0x72, float(gesture.value));
        break;
    case GestureSubtype::kSwipe: {
        // Held to the integers first: converting a double beyond them is undefined.
        constexpr double lo = std::numeric_limits<int32_t>::min(), hi = std::numeric_limits<int32_t>::max();
        w.tagged(0x73, int32_t(std::clamp(gesture.value, lo, hi)));
        break;
    }
    default:
        break;
    }
    w.tagged(0x8B, 0.0f);
    w.tagged(0x8C, 0.0f);
    gesture.data = std::move(w.data);
    return gesture;
}

void TrackpadSimulation::schedule(QVariantMap description) {
    mainQueue().async([self = lifetime_.guard(), description = std::move(description)] {
        if (!self) return;
        const auto nanoseconds = uint64_t(std::max(0.0, Clock::shared().uptime()) * 1e9);
        if (const std::optional<GestureEvent> gesture = gestureEvent(description, nanoseconds))
            self->poster_.postGesture(*gesture, EventTap::kHID);
    });
}
