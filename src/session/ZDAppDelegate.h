#pragma once

#include <QPointF>
#include <QSizeF>
#include <QVariantMap>
#include <cstdint>

// What the session asks of the application shell: the link's state changes and every input event
// from the device. Implemented by the shell; the session holds it without owning it. All calls come
// on the main thread. Event dictionaries are passed whole; their keys are read leniently
// (PeerMessage::boolValue and friends).
class ZDAppDelegate {
public:
    virtual ~ZDAppDelegate() = default;

    // The device's view size in points ("DeviceResize"), possibly deferred while the app was inactive.
    virtual void resizeEventFromDevice(QSizeF size) = 0;
    // The channel number changed (0 none, 1 USB).
    virtual void channelChanged(int32_t channel) = 0;
    // Every channel number set, changed or not, with the connection mode.
    virtual void updateUI(int32_t channel, int32_t connectionMode) = 0;
    // The display mode for a newly introduced device, from its introduction.
    virtual int32_t adjustInitialMode(const QVariantMap& deviceInfo) = 0;

    // Taps at a normalised device position (0..1, y downwards).
    virtual void handleTapEvent(QPointF point, bool ignoreSingleTap) = 0;
    virtual void handleTwoFingerTapEvent(QPointF point) = 0;
    virtual void handleThreeFingerTapEvent(QPointF point) = 0;

    virtual void handleScrollEvent(const QVariantMap& event) = 0;
    virtual void handleDragEvent(const QVariantMap& event) = 0;
    virtual void handlePencilEvent(const QVariantMap& event) = 0;
    virtual void handleZoomEvent(const QVariantMap& event) = 0;
    virtual void handleTwoFingerRotationEvent(const QVariantMap& event) = 0;
    virtual void handleTwoFingerPanEvent(const QVariantMap& event) = 0;
    virtual void handleStylusStatusChanged(const QVariantMap& event) = 0;
    virtual void handleKeyboardEvent(const QVariantMap& event) = 0;
    virtual void handleVirtualKeyboardEvent(const QVariantMap& event) = 0;
    virtual void handleVirtualKeyboardSourceEvent(const QVariantMap& event) = 0;
    virtual void handleHoverEvent(const QVariantMap& event) = 0;

    // The device went inactive, into the background, locked or stopped decoding: a gesture under
    // way will not see its end. Optional.
    virtual void inputInterrupted() {}

    // A global point mapped to the normalised device position; x is -1.0 off the streamed screen.
    virtual QPointF getRelativePoint(QPointF globalPoint) = 0;
    // Whether a global point lies on the streamed screen.
    virtual bool isInZubScreen(QPointF globalPoint) = 0;
    virtual bool isInMirrorModeForBuiltinDisplay() = 0;
    virtual bool isTouchBarEnabled() = 0;
};
