#pragma once

#include "session/ZDAppDelegate.h"

// A shell that takes every call of the session and does nothing with it; a bench overrides the calls
// on its road.
class QuietShell : public ZDAppDelegate {
public:
    void resizeEventFromDevice(QSizeF) override {}
    void channelChanged(int32_t) override {}
    void updateUI(int32_t, int32_t) override {}
    int32_t adjustInitialMode(const QVariantMap&) override { return 0; }
    void handleTapEvent(QPointF, bool) override {}
    void handleTwoFingerTapEvent(QPointF) override {}
    void handleThreeFingerTapEvent(QPointF) override {}
    void handleScrollEvent(const QVariantMap&) override {}
    void handleDragEvent(const QVariantMap&) override {}
    void handlePencilEvent(const QVariantMap&) override {}
    void handleZoomEvent(const QVariantMap&) override {}
    void handleTwoFingerRotationEvent(const QVariantMap&) override {}
    void handleTwoFingerPanEvent(const QVariantMap&) override {}
    void handleStylusStatusChanged(const QVariantMap&) override {}
    void handleKeyboardEvent(const QVariantMap&) override {}
    void handleVirtualKeyboardEvent(const QVariantMap&) override {}
    void handleVirtualKeyboardSourceEvent(const QVariantMap&) override {}
    void handleHoverEvent(const QVariantMap&) override {}
    QPointF getRelativePoint(QPointF) override { return {-1, -1}; }
    bool isInZubScreen(QPointF) override { return false; }
    bool isInMirrorModeForBuiltinDisplay() override { return false; }
    bool isTouchBarEnabled() override { return false; }
};
