#pragma once

#include "base/Clock.h"
#include "base/Lifetime.h"
#include "touchbar/TouchBarView.h"

#include <QRect>
#include <QRectF>
#include <QWidget>
#include <functional>
#include <optional>

// The strip's window: frameless, above other windows, on every workspace, never moved by the user,
// and never given the keyboard focus, so a click on it leaves the application in front where it
// was. Its content view is a TouchBarView. Frames are in the bottom-left-origin space of screen
// frames; `Placement` turns one into the window's place on the desktop. Main thread only.
class TouchBarWindow final : public QWidget {
    Q_OBJECT

public:
    using Placement = std::function<QRect(const QRectF& frame)>;

    static constexpr QRectF kDefaultFrame{0, 0, TouchBarView::kPictureWidth + 2 * TouchBarView::kMargin,
                                          TouchBarView::kPictureHeight + 2 * TouchBarView::kMargin};

    TouchBarWindow(TouchBarSource& source, Placement placement);
    ~TouchBarWindow() override;

    // Places the window and fits the picture inside its margins.
    void setTouchBarWindowFrame(const QRectF& frame);
    // Places the window only; the picture keeps its frame.
    void setFrame(const QRectF& frame);
    QRectF frame() const { return frame_; }
    void stopTouchBar() { view_->stopTouchBar(); }
    TouchBarView& contentView() { return *view_; }

    // Moves the window to `target` over `seconds`, then runs `completion`. A later frame or animation
    // takes over: the one under way stops where it is and its completion never runs.
    void animateFrame(const QRectF& target, double seconds, std::function<void()> completion);
    bool isAnimating() const { return animation_.has_value(); }

private:
    struct Animation {
        QRectF from, to;
        int step = 0, steps = 1;
        double interval = 0;
        std::function<void()> completion;
        Clock::TimerId timer = 0;
    };
    void cancelAnimation();
    void animationStep();

    Placement placement_;
    TouchBarView* view_;
    QRectF frame_;
    std::optional<Animation> animation_;
    Lifetime<TouchBarWindow> lifetime_{this};
};
