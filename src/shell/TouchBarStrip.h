#pragma once

#include "input/ScreenMapping.h"
#include "shell/ShellHooks.h"

#include <QRectF>
#include <memory>

class TouchBarSource;
class TouchBarWindow;
class ZDVirtualScreenController;

// The Touch Bar relay: a strip the full width of the main screen on its bottom edge, showing the Touch
// Bar's picture (so the device sees it whenever it mirrors that screen), sliding in and out. The
// window is made on the first show, and only where the system has a Touch Bar. Main thread only.
class TouchBarStrip final : public TouchBarRelay {
public:
    // How long the strip takes to slide in or out.
    static constexpr double kSlideDuration = 0.1;

    TouchBarStrip(TouchBarSource& source, ZDVirtualScreenController& displayController);
    ~TouchBarStrip() override;

    bool isOSSupportTouchBar() const override;
    void showTouchBar() override;
    void hideTouchBar() override;
    void toggleTouchBarWindow();
    void stopTouchBar() override;
    bool hasTouchBarWindow() const override { return window_ != nullptr; }
    bool isTapInTouchBar(QPointF point) override;

    // The strip's frame on a screen's frame: full width, on the bottom edge, as high as keeps the
    // picture's proportions inside the margins.
    static QRectF stripFrame(const QRectF& screenFrame);
    TouchBarWindow* touchBarWindow() const { return window_.get(); }

private:
    TouchBarSource& source_;
    ZDVirtualScreenController& displayController_;
    ScreenMapping mapping_;
    std::unique_ptr<TouchBarWindow> window_;
};
