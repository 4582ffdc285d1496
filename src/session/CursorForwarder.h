#pragma once

#include "base/Clock.h"
#include "base/Lifetime.h"
#include "platform/CursorSource.h"
#include "platform/EventMonitor.h"

#include <QByteArray>
#include <QPointF>
#include <QString>
#include <QVariantMap>
#include <functional>
#include <optional>

class ZDAppDelegate;

// Posted (object nullptr) when the device's cursor reaches the bottom edge of its picture, {"hide": 1},
// and when it has left it again, {"hide": 0}: the Touch Bar strip gets out of the way meanwhile.
inline const QString kZDAutoHideTouchBarNotification = QStringLiteral("ZDAutoHideTouchBarNotification");

// The cursor, sent apart from the picture: the picture is captured without it, and the device draws
// the desktop's cursor itself, sharp and without the video's delay. While the stream runs it watches
// the pointer's movements (and polls at 60 Hz while the pointer moves without any, as under a
// program's warps), tells the device where the cursor is on its picture with "CursorPosChanged", with
// the cursor's picture whenever that changed, and "CursorHidden"/"CursorShown" as the cursor leaves the
// streamed screen or is hidden and shown there. Main thread only.
class CursorForwarder {
public:
    static constexpr double kCursorPollInterval = 1.0 / 60;
    static constexpr double kCheckCursorHiddenInterval = 0.5;
    // Pointer travel (|dx| + |dy|, points) that counts as a movement.
    static constexpr double kMoveThreshold = 2.0;
    // The Touch Bar strip hides above this normalised y and comes back only below the other.
    static constexpr double kTouchBarHideAbove = 0.999;
    static constexpr double kTouchBarShowBelow = 0.9;
    // A larger cursor picture is scaled down to fit before it is sent.
    static constexpr int kMaxCursorSide = 256;

    struct Services {
        CursorSource& cursor;
        EventMonitor& monitor;
        // The pointer in the bottom-left-origin global space.
        std::function<QPointF()> mouseLocation;
    };
    using EventSender = std::function<void(const QVariantMap& event)>;

    // `send` puts an event on the current channel (dropped there while no device is introduced).
    CursorForwarder(Services services, EventSender send);
    ~CursorForwarder();
    CursorForwarder(const CursorForwarder&) = delete;
    CursorForwarder& operator=(const CursorForwarder&) = delete;

    // The shell, which maps positions onto the device's picture; not owned.
    void setDelegate(ZDAppDelegate* delegate) { delegate_ = delegate; }

    void registerMouseEvent();
    void unregisterMouseEvent();
    void startCursorTimer(double interval);
    void startCheckCursorHiddenTimer(double interval);
    void stopCursorTimer();
    void stopCheckCursorHiddenTimer();
    // The device's cursor only; the desktop's own stays as it is.
    void hideCursor();
    void unhideCursor();
    // One movement of the pointer, by a device or by this program.
    void mouseCursorMoved();
    void sendCursorPosFired();
    void checkCursorHiddenFired();
    void checkMouseEventIsComming(bool inside);
    // Whether the pointer travelled kMoveThreshold or more between the points (not whether it is near).
    static bool isMouseNear(QPointF location, QPointF from);
    void autoHideTouchBar(QPointF normalised);

    bool monitorsInstalled() const { return _eventMonitorGlobal.has_value(); }
    bool cursorTimerRunning() const { return _cursorTimer.has_value(); }

    // The cursor's picture as TIFF, scaled to fit kMaxCursorSide; empty when it cannot be encoded.
    static QByteArray cursorData(const QImage& image);

private:
    // Posts "CursorPosChanged" for `p` with the hot spot and, when it changed, the picture.
    void sendCursorPos(QPointF p);
    // Follows the cursor's visibility while the pointer is on the streamed screen.
    void followCursorVisibility(bool inside);
    // Calls `fired` every `interval` seconds until the timer in `slot` is stopped.
    void scheduleRepeating(double interval, void (CursorForwarder::*fired)(),
                           std::optional<Clock::TimerId> CursorForwarder::*slot);
    // A position with a coordinate of exactly 0 is no position (what a failed read gives).
    static bool isOff(QPointF location) { return location.x() == 0.0 || location.y() == 0.0; }

    Services services_;
    EventSender send_;
    ZDAppDelegate* delegate_ = nullptr;

    bool _bTouchBarAutoHidden = false;
    std::optional<Clock::TimerId> _cursorTimer;
    QPointF _prevMouseLoc;
    bool _mouseIsInZubDisplay = false;
    bool _cursorIsHidden = false;
    std::optional<QByteArray> _prevCursorData;
    std::optional<Clock::TimerId> _checkCursorHiddenTimer;
    std::optional<EventMonitor::MonitorId> _eventMonitorGlobal;
    QPointF _prevMouseLocFromEvent;
    // A mouse event came since the last visibility check: the pointer is moved with events.
    bool mouseEventSinceCheck_ = false;
    // The last picture encoded, by the source's serial: a cursor that did not change is not encoded
    // again for every position.
    quint64 encodedSerial_ = 0;
    QByteArray encodedData_;
    Lifetime<CursorForwarder> lifetime_{this};
};
