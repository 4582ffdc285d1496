#pragma once

#include "session/ZDAppDelegate.h"

// Stands in for the application shell until it exists: writes one line per call it receives, so the
// link and the device's events can be followed on the error stream, and answers queries neutrally.
class LoggingAppDelegate final : public ZDAppDelegate {
public:
    void resizeEventFromDevice(QSizeF size) override;
    void channelChanged(int32_t channel) override;
    void updateUI(int32_t channel, int32_t connectionMode) override;
    int32_t adjustInitialMode(const QVariantMap& deviceInfo) override;
    void handleTapEvent(QPointF point, bool ignoreSingleTap) override;
    void handleTwoFingerTapEvent(QPointF point) override;
    void handleThreeFingerTapEvent(QPointF point) override;
    void handleScrollEvent(const QVariantMap& event) override { log("handleScrollEvent", event); }
    void handleDragEvent(const QVariantMap& event) override { log("handleDragEvent", event); }
    void handlePencilEvent(const QVariantMap& event) override { log("handlePencilEvent", event); }
    void handleZoomEvent(const QVariantMap& event) override { log("handleZoomEvent", event); }
    void handleTwoFingerRotationEvent(const QVariantMap& event) override {
        log("handleTwoFingerRotationEvent", event);
    }
    void handleTwoFingerPanEvent(const QVariantMap& event) override { log("handleTwoFingerPanEvent", event); }
    void handleStylusStatusChanged(const QVariantMap& event) override {
        log("handleStylusStatusChanged", event);
    }
    void handleKeyboardEvent(const QVariantMap& event) override { log("handleKeyboardEvent", event); }
    void handleVirtualKeyboardEvent(const QVariantMap& event) override {
        log("handleVirtualKeyboardEvent", event);
    }
    void handleVirtualKeyboardSourceEvent(const QVariantMap& event) override {
        log("handleVirtualKeyboardSourceEvent", event);
    }
    void handleHoverEvent(const QVariantMap& event) override { log("handleHoverEvent", event); }
    QPointF getRelativePoint(QPointF globalPoint) override;
    bool isInZubScreen(QPointF globalPoint) override;
    bool isInMirrorModeForBuiltinDisplay() override;
    bool isTouchBarEnabled() override;

private:
    static void log(const char* operation, const QVariantMap& event);
};
