#include "session/CursorForwarder.h"

#include "base/MainQueue.h"
#include "base/NotificationCenter.h"
#include "session/ZDAppDelegate.h"

#include <QBuffer>
#include <QImageWriter>
#include <QPainter>
#include <algorithm>
#include <cmath>

namespace {

const QString kEventName = QStringLiteral("eventName");

// The factor that brings a picture of `size` within the largest side the device is sent.
double fitScale(QSize size) {
    const int side = std::max(size.width(), size.height());
    return side > CursorForwarder::kMaxCursorSide ? double(CursorForwarder::kMaxCursorSide) / side : 1.0;
}

bool isOffScreen(QPointF normalised) {
    return normalised.x() == -1.0;
}

} // namespace

CursorForwarder::CursorForwarder(Services services, EventSender send)
    : services_(std::move(services)), send_(std::move(send)),
      _prevMouseLocFromEvent(services_.mouseLocation()) {}

CursorForwarder::~CursorForwarder() {
    unregisterMouseEvent();
    stopCursorTimer();
}

QByteArray CursorForwarder::cursorData(const QImage& image) {
    if (image.isNull()) return {};
    QImage picture = image;
    const double scale = fitScale(image.size());
    if (scale < 1.0) {
        // Drawn, before any conversion: QImage's smooth scaling and its conversion of a large picture
        // run on Qt's thread pool, and the main thread keeps this to itself.
        picture = QImage(std::max(1, int(image.width() * scale)), std::max(1, int(image.height() * scale)),
                         QImage::Format_ARGB32_Premultiplied);
        picture.fill(Qt::transparent);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(picture.rect(), image);
    }
    picture = picture.convertToFormat(QImage::Format_ARGB32);
    QByteArray data;
    QBuffer buffer(&data);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "tiff");
    if (!writer.write(picture)) return {};
    return data;
}

void CursorForwarder::registerMouseEvent() {
    unregisterMouseEvent();
    // X reports this program's own pointer movements to the global monitor as well, so one monitor
    // serves where two would report every movement twice.
    _eventMonitorGlobal = services_.monitor.addGlobalMouseMovedMonitor([self = lifetime_.guard()] {
        if (self) self->mouseCursorMoved();
    });
    // A cursor hidden or shown is told at once rather than at the next visibility check.
    services_.cursor.setCursorChangedHandler([self = lifetime_.guard()] {
        if (!self || !self->_checkCursorHiddenTimer) return;
        const QPointF location = self->services_.mouseLocation();
        self->followCursorVisibility(self->delegate_ && self->delegate_->isInZubScreen(location));
    });
    startCheckCursorHiddenTimer(kCheckCursorHiddenInterval);
}

void CursorForwarder::unregisterMouseEvent() {
    if (_eventMonitorGlobal) services_.monitor.removeMonitor(*_eventMonitorGlobal);
    _eventMonitorGlobal.reset();
    services_.cursor.setCursorChangedHandler({});
    stopCheckCursorHiddenTimer();
    // A poll left running would go on telling the device of a cursor it no longer draws (the stream
    // stopped, or the desktop's own cursor is shown in the picture now).
    stopCursorTimer();
}

void CursorForwarder::scheduleRepeating(double interval, void (CursorForwarder::*fired)(),
                                        std::optional<Clock::TimerId> CursorForwarder::*slot) {
    this->*slot = mainQueue().after(interval, [self = lifetime_.guard(), interval, fired, slot] {
        if (!self) return;
        // Scheduled again before the call, so that the call can stop it.
        self->scheduleRepeating(interval, fired, slot);
        (self.get()->*fired)();
    });
}

void CursorForwarder::startCursorTimer(double interval) {
    _prevCursorData.reset();
    stopCursorTimer();
    scheduleRepeating(interval, &CursorForwarder::sendCursorPosFired, &CursorForwarder::_cursorTimer);
}

void CursorForwarder::startCheckCursorHiddenTimer(double interval) {
    _prevCursorData.reset();
    stopCheckCursorHiddenTimer();
    scheduleRepeating(interval, &CursorForwarder::checkCursorHiddenFired,
                      &CursorForwarder::_checkCursorHiddenTimer);
}

void CursorForwarder::stopCursorTimer() {
    if (_cursorTimer) Clock::shared().cancel(*_cursorTimer);
    _cursorTimer.reset();
}

void CursorForwarder::stopCheckCursorHiddenTimer() {
    if (_checkCursorHiddenTimer) Clock::shared().cancel(*_checkCursorHiddenTimer);
    _checkCursorHiddenTimer.reset();
}

void CursorForwarder::hideCursor() {
    send_({{kEventName, QStringLiteral("CursorHidden")}});
}

void CursorForwarder::unhideCursor() {
    send_({{kEventName, QStringLiteral("CursorShown")}});
}

void CursorForwarder::sendCursorPos(QPointF p) {
    QVariantMap event{{kEventName, QStringLiteral("CursorPosChanged")}, {"x", p.x()}, {"y", p.y()}};
    const std::optional<CursorSource::Cursor> cursor = services_.cursor.currentCursor();
    QPointF hotSpot;
    if (cursor) {
        hotSpot = cursor->hotSpot * fitScale(cursor->image.size());
        if (cursor->serial == 0 || cursor->serial != encodedSerial_) {
            encodedData_ = cursorData(cursor->image);
            encodedSerial_ = cursor->serial;
        }
        // A cursor that cannot be encoded goes without a picture, never with an empty one.
        if (!encodedData_.isEmpty() && encodedData_ != _prevCursorData) {
            _prevCursorData = encodedData_;
            event.insert(QStringLiteral("cursorData"), encodedData_);
        }
    }
    event.insert(QStringLiteral("hotSpotX"), hotSpot.x());
    event.insert(QStringLiteral("hotSpotY"), hotSpot.y());
    send_(event);
}

void CursorForwarder::mouseCursorMoved() {
    mouseEventSinceCheck_ = true;
    if (_cursorTimer) stopCursorTimer();
    const QPointF location = services_.mouseLocation();
    _prevMouseLocFromEvent = location;
    if (isOff(location)) return;
    if (services_.cursor.cursorInFrameBuffer()) {
        hideCursor();
        return;
    }
    const QPointF p = delegate_ ? delegate_->getRelativePoint(location) : QPointF(-1.0, -1.0);
    if (!isOffScreen(p)) {
        sendCursorPos(p);
        _mouseIsInZubDisplay = true;
        autoHideTouchBar(p);
    } else if (_mouseIsInZubDisplay) {
        hideCursor();
        _mouseIsInZubDisplay = false;
    }
}

void CursorForwarder::sendCursorPosFired() {
    const QPointF location = services_.mouseLocation();
    if (isOff(location)) return;
    if (services_.cursor.cursorInFrameBuffer()) {
        hideCursor();
        return;
    }
    bool forced = false;
    if (delegate_ && delegate_->isInZubScreen(location)) {
        const bool visible = services_.cursor.isCursorVisible();
        if (visible && _cursorIsHidden) {
            unhideCursor();
            _cursorIsHidden = false;
            forced = true;
        } else if (!visible && !_cursorIsHidden) {
            hideCursor();
            _cursorIsHidden = true;
        }
    }
    if (location == _prevMouseLoc && !forced) return;
    _prevMouseLoc = location;
    const QPointF p = delegate_ ? delegate_->getRelativePoint(location) : QPointF(-1.0, -1.0);
    if (isOffScreen(p) && !_mouseIsInZubDisplay) return;
    // Also off the screen: the device hears once that the pointer left.
    sendCursorPos(p);
    _mouseIsInZubDisplay = !isOffScreen(p);
}

void CursorForwarder::followCursorVisibility(bool inside) {
    if (!inside) return;
    const bool visible = services_.cursor.isCursorVisible();
    if (!visible && !_cursorIsHidden) {
        hideCursor();
        _cursorIsHidden = true;
    } else if (visible && _cursorIsHidden) {
        unhideCursor();
        _cursorIsHidden = false;
    }
}

void CursorForwarder::checkCursorHiddenFired() {
    const bool inside = delegate_ && delegate_->isInZubScreen(services_.mouseLocation());
    followCursorVisibility(inside);
    checkMouseEventIsComming(inside);
    mouseEventSinceCheck_ = false;
}

void CursorForwarder::checkMouseEventIsComming(bool inside) {
    if (!inside) {
        if (_cursorTimer) stopCursorTimer();
        return;
    }
    // While mouse events come, the pointer is always a little ahead of the last one: that is no
    // movement without events, and a poll started for it would only send the picture again.
    if (!mouseEventSinceCheck_ && isMouseNear(services_.mouseLocation(), _prevMouseLocFromEvent) &&
        !_cursorTimer)
        startCursorTimer(kCursorPollInterval);
}

bool CursorForwarder::isMouseNear(QPointF location, QPointF from) {
    return std::abs(location.x() - from.x()) + std::abs(location.y() - from.y()) >= kMoveThreshold;
}

void CursorForwarder::autoHideTouchBar(QPointF normalised) {
    if (!delegate_ || !delegate_->isTouchBarEnabled()) return;
    if (normalised.y() > kTouchBarHideAbove && !_bTouchBarAutoHidden) {
        _bTouchBarAutoHidden = true;
        NotificationCenter::defaultCenter().post(kZDAutoHideTouchBarNotification, nullptr, {{"hide", 1}});
    } else if (normalised.y() < kTouchBarShowBelow && _bTouchBarAutoHidden) {
        _bTouchBarAutoHidden = false;
        NotificationCenter::defaultCenter().post(kZDAutoHideTouchBarNotification, nullptr, {{"hide", 0}});
    }
}
