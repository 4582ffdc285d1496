#pragma once

#include "input/InputTranslation.h"
#include "session/ZDAppDelegate.h"

// The shell's part in the input benches' road: the device's pencil, keys, pinch and two-finger pan to the
// input translation, the rest left alone.
class InputOnlyShell final : public ZDAppDelegate {
public:
    explicit InputOnlyShell(InputTranslation& input) : input_(input) {}
    void handlePencilEvent(const QVariantMap& event) override { input_.handlePencilEvent(event); }
    void handleZoomEvent(const QVariantMap& event) override { input_.handleZoomEvent(event); }
    void handleTwoFingerPanEvent(const QVariantMap& event) override { input_.handleTwoFingerPanEvent(event); }
    void resizeEventFromDevice(QSizeF) override {}
    void channelChanged(int32_t) override {}
    void updateUI(int32_t, int32_t) override {}
    int32_t adjustInitialMode(const QVariantMap&) override { return 0; }
    void handleTapEvent(QPointF, bool) override {}
    void handleTwoFingerTapEvent(QPointF) override {}
    void handleThreeFingerTapEvent(QPointF) override {}
    void handleScrollEvent(const QVariantMap&) override {}
    void handleDragEvent(const QVariantMap&) override {}
    void handleTwoFingerRotationEvent(const QVariantMap&) override {}
    void handleStylusStatusChanged(const QVariantMap&) override {}
    void handleKeyboardEvent(const QVariantMap& event) override { input_.handleKeyboardEvent(event); }
    void handleVirtualKeyboardEvent(const QVariantMap&) override {}
    void handleVirtualKeyboardSourceEvent(const QVariantMap&) override {}
    void handleHoverEvent(const QVariantMap&) override {}
    QPointF getRelativePoint(QPointF) override { return {-1, -1}; }
    bool isInZubScreen(QPointF) override { return false; }
    bool isInMirrorModeForBuiltinDisplay() override { return false; }
    bool isTouchBarEnabled() override { return false; }

private:
    InputTranslation& input_;
};
