#pragma once

#include "base/Lifetime.h"

#include <QPointF>
#include <QVariantMap>
#include <cstdint>
#include <optional>

class ApplicationProfiles;
class ButtonShortcuts;
class EventPoster;
class ScreenMapping;
struct Event;
struct InputHooks;

// The device's fingers as a mouse: taps, double taps, two- and three-finger taps, one-finger drags,
// scrolls and hover, and the pointer primitives the pencil and the gestures share. Main thread only.
class TouchPointer {
public:
    // Taps closer than this make a double tap (seconds of the shared Clock).
    static constexpr double kDoubleTapInterval = 0.2;
    static constexpr double kTwoFingerDoubleTapInterval = 0.3;
    // How long a two-finger tap waits for a second one before it becomes a secondary click.
    static constexpr double kSecondaryClickDelay = 0.4;
    // The protocol version from which the device's two-finger tap means undo where the application
    // has shortcuts.
    static inline const QString kUndoTapProtocolVersion = QStringLiteral("1.0.7");
    // A sideways scroll moves this many pixels, whatever the finger's speed.
    static constexpr int32_t kHorizontalScrollStep = 10;

    TouchPointer(EventPoster& poster, ScreenMapping& mapping, ApplicationProfiles& profiles,
                 ButtonShortcuts& shortcuts, const InputHooks& hooks);
    ~TouchPointer();
    TouchPointer(const TouchPointer&) = delete;
    TouchPointer& operator=(const TouchPointer&) = delete;

    // -- Primitives; points are in the top-left-origin global space.
    // Moves the cursor without moving it through the points between; unless hidden, the device
    // hears of the new position at once.
    void warpMouseCursor(QPointF point, bool hidden);
    void singleClick(QPointF point);
    // A click, then a click with this click count.
    void doubleClick(int64_t clickCount, QPointF point);

    // -- The device's messages; positions are normalised.
    void handleTapEvent(QPointF position, bool ignoreSingleTap);
    void handleTwoFingerTapEvent(QPointF position);
    void handleTwoFingerSingleTapEvent();
    void handleThreeFingerTapEvent(QPointF position);
    void handleScrollEvent(const QVariantMap& event);
    void handleDragEvent(const QVariantMap& event);
    void handleHoverEvent(const QVariantMap& event);

    // Ends a drag whose end never came, with its button up where it was last moved; true when one
    // was open.
    bool endOpenDrag();

private:
    void postMouse(int32_t type, QPointF point, int32_t button = 0);
    void postLeftClick(QPointF point);

    EventPoster& poster_;
    ScreenMapping& mapping_;
    ApplicationProfiles& profiles_;
    ButtonShortcuts& shortcuts_;
    const InputHooks& hooks_;

    double prevOneFingerTapTime_ = 0.0;
    double prevTwoFingerTapTime_ = 0.0;
    bool bSmartZoomed_ = false;
    QPointF prevOneFingerScrollPoint_;
    // Where the button of an open one-finger drag is held.
    std::optional<QPointF> dragHeldAt_;
    Lifetime<TouchPointer> lifetime_{this};
};
