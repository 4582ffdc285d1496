#pragma once

#include "../QuietShell.h"
#include "input/InputTranslation.h"

// The shell's part in the input benches' road: the device's pencil, keys, pinch and two-finger pan to the
// input translation, the rest left alone.
class InputOnlyShell final : public QuietShell {
public:
    explicit InputOnlyShell(InputTranslation& input) : input_(input) {}
    void handlePencilEvent(const QVariantMap& event) override { input_.handlePencilEvent(event); }
    void handleZoomEvent(const QVariantMap& event) override { input_.handleZoomEvent(event); }
    void handleTwoFingerPanEvent(const QVariantMap& event) override { input_.handleTwoFingerPanEvent(event); }
    void handleKeyboardEvent(const QVariantMap& event) override { input_.handleKeyboardEvent(event); }

private:
    InputTranslation& input_;
};
