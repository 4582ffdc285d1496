#pragma once

#include "base/Clock.h"
#include "base/Lifetime.h"

#include <QPointF>
#include <QVariantMap>
#include <cstdint>
#include <optional>

class ApplicationProfiles;
class ButtonShortcuts;
class EventPoster;
class ScreenMapping;
class TouchPointer;
class TrackpadSimulation;
struct InputHooks;

// The device's pinch, twist and two-finger pan turned into what the application in front zooms,
// rotates and moves its canvas by: held keys with the wheel, stepped zoom shortcuts, drags with a
// held key or button, wheel ticks, or trackpad gestures. The strategy follows the application's
// shortcut class: a zoom keeps the class of its start, a pan reads it on every message.
// Main thread only.
class ZoomRotatePan {
public:
    // The pinch scale that makes one step of the keyboard zoom.
    static constexpr double kKeyboardZoomStep = 0.14;
    // The trackpad zoom's magnification: the scale's change times this, times 30, and at most this.
    static constexpr double kMagnificationFactor = double(0.05f);
    // How far two fingers move, in points, before a drag-style pan moves.
    static constexpr double kDragPanThreshold = 4.0;
    // The speed of the third pan message above which an unknown application gets a swipe.
    static constexpr double kSwipeSpeedPad = 0.5;
    static constexpr double kSwipeSpeedPhone = double(0.8f);
    // A swipe: at least this far, in points, within this many seconds.
    static constexpr double kSwipeDistance = 100.0;
    static constexpr double kSwipeTime = 0.3;
    // Virtual key codes and directions used here.
    static constexpr uint16_t kKeyCodeSpace = 49;
    static constexpr uint16_t kKeyCodeKeypadPlus = 69;
    static constexpr uint16_t kKeyCodeKeypadMinus = 78;
    // A pan or zoom that holds a key or button with no message for this long (seconds) was
    // abandoned by the device: it ends; a drag-style pan's further moves are dropped until a start.
    static constexpr double kAbandonedGestureTimeout = 5.0;
    static constexpr double kSwipeRight = 4.0;
    static constexpr double kSwipeLeft = 8.0;

    enum PanMode : int32_t { kPanUndecided = 0, kPanScroll = 1, kPanSwipe = 2 };

    ZoomRotatePan(EventPoster& poster, ScreenMapping& mapping, ApplicationProfiles& profiles,
                  ButtonShortcuts& shortcuts, TouchPointer& pointer, TrackpadSimulation& trackpad,
                  const InputHooks& hooks);
    ~ZoomRotatePan();
    ZoomRotatePan(const ZoomRotatePan&) = delete;
    ZoomRotatePan& operator=(const ZoomRotatePan&) = delete;

    // "Zoomed": "zoom" (1 in, 2 out), "scale", "startOfZoom", "endOfZoom", "x", "y".
    void handleZoomEvent(const QVariantMap& event);
    void handleZoomEventForPhotoshop(const QVariantMap& event);
    void handleZoomEventForSketchBook(const QVariantMap& event);
    void handleZoomEventForDefaultDrawingApps(const QVariantMap& event);
    void handleZoomEventForUnknownApps(const QVariantMap& event);
    void handleZoomEventForUnknownAppsByKeyboard(const QVariantMap& event);
    void handleZoomEventForUnknownAppsByTrackpadSimulation(const QVariantMap& event);

    // "TwoFingerRotated": "rotation" (radians), "startOfRotation", "endOfRotation", "x", "y".
    void handleTwoFingerRotationEvent(const QVariantMap& event);
    void handleTwoFingerRotationEventForUnknownAppsByTrackpadSimulation(const QVariantMap& event);

    // "TwoFingerPanned": "x", "y", "startOfPan", "endOfPan", "vx".
    void handleTwoFingerPanEvent(const QVariantMap& event);
    void handleTwoFingerPanEventForPhotoshop(const QVariantMap& event);
    void handleTwoFingerPanEventByWheelLine(const QVariantMap& event, double threshX, double threshY);
    void handleTwoFingerPanEventForCorelPainter(const QVariantMap& event);
    void handleTwoFingerPanEventForMaya(const QVariantMap& event);
    void handleTwoFingerPanEventForSubstancePainter(const QVariantMap& event);
    void handleTwoFingerPanEventForSketchBook(const QVariantMap& event);
    void handleTwoFingerPanEventForDefaultDrawingApps(const QVariantMap& event);
    void handleTwoFingerPanEventByWheel(const QVariantMap& event, double threshX, double threshY);
    void handleTwoFingerPanEventForUnknownApps(const QVariantMap& event);
    void handleTwoFingerSwipeEventByTrackpadSimulation(const QVariantMap& event, double threshX,
                                                       double threshY);

    // Ends every gesture whose end never came as its end would have: held keys and buttons go up
    // (a drag at its last anchor), open trackpad gestures end. True when something was open.
    bool endOpenGestures();

    int32_t panMode() const { return panMode_; }

private:
    // The drag-style pans: which key is held, which button drags.
    enum class DragPan { CorelPainter, Maya, SubstancePainter };
    struct Message {
        std::optional<QPointF> point; // on the desktop; none when absent or not postable
        bool start = false;
        bool end = false;
    };
    Message read(const QVariantMap& event, const QString& startKey, const QString& endKey);
    // One message of a trackpad gesture: its value under `valueKey` and the one before. At a start
    // the pointer goes to the gesture and the one before is `origin`. None when the message is
    // dropped; an end whose value is no number ends the gesture where it was.
    struct TrackpadStep {
        bool start, end;
        double value, previous;
    };
    std::optional<TrackpadStep> trackpadStep(const QVariantMap& event, const QString& startKey,
                                             const QString& endKey, const QString& valueKey, double origin,
                                             double& previous, bool& open);
    void dragPan(DragPan kind, const QVariantMap& event);
    void endDragPan();
    // Looks, `seconds` from now, whether the gesture that holds keys still hears from the device.
    void watchHeld(double seconds);
    void postKey(bool down, uint16_t keyCode);
    void postMouse(int32_t type, QPointF point, int32_t button);
    void postWheel(int32_t units, int32_t vertical, std::optional<int32_t> horizontal = std::nullopt);
    void releaseZoomKey();

    EventPoster& poster_;
    ScreenMapping& mapping_;
    ApplicationProfiles& profiles_;
    ButtonShortcuts& shortcuts_;
    TouchPointer& pointer_;
    TrackpadSimulation& trackpad_;
    const InputHooks& hooks_;

    double prevZoomScale_ = 0.0;
    double prevRotation_ = 0.0;
    QPointF prevTwoFingerPanPoint_;
    bool bLeftMouseDown_ = false;
    int32_t panMode_ = kPanUndecided;
    double swipeStartTime_ = 0.0;
    int32_t iEvent_ = 0;
    // What is held or open until an end comes.
    bool zoomKeyHeld_ = false;
    std::optional<DragPan> heldPan_;
    bool zoomGestureOpen_ = false;
    bool rotationGestureOpen_ = false;
    // Between a drag-style pan's accepted start and its end.
    bool panStarted_ = false;
    double lastHeldMessage_ = 0.0;
    std::optional<Clock::TimerId> heldWatchdog_;
    Lifetime<ZoomRotatePan> lifetime_{this};
};
