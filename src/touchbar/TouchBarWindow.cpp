#include "touchbar/TouchBarWindow.h"

#include <QPalette>
#include <cmath>

namespace {
// Animations move the window at the display's usual refresh rate.
constexpr double kAnimationRate = 60.0;
} // namespace

TouchBarWindow::TouchBarWindow(TouchBarSource& source, Placement placement)
    : QWidget(nullptr, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::WindowDoesNotAcceptFocus | Qt::X11BypassWindowManagerHint),
      placement_(std::move(placement)), view_(new TouchBarView(source, this)) {
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_X11DoNotAcceptFocus);
    setFocusPolicy(Qt::NoFocus);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    setAutoFillBackground(true);
    setTouchBarWindowFrame(kDefaultFrame);
}

TouchBarWindow::~TouchBarWindow() {
    cancelAnimation();
}

void TouchBarWindow::setTouchBarWindowFrame(const QRectF& frame) {
    cancelAnimation();
    setFrame(frame);
    const double margin = TouchBarView::kMargin;
    view_->setTouchBarViewFrame(
        QRectF(margin, margin, frame.width() - 2 * margin, frame.height() - 2 * margin));
}

void TouchBarWindow::setFrame(const QRectF& frame) {
    frame_ = frame;
    const QRect place = placement_(frame);
    setGeometry(place);
    view_->setGeometry(QRect(QPoint(0, 0), place.size()));
    view_->setFrameSize(frame.size());
}

void TouchBarWindow::animateFrame(const QRectF& target, double seconds, std::function<void()> completion) {
    cancelAnimation();
    Animation animation;
    animation.from = frame_;
    animation.to = target;
    animation.steps = std::max(1, int(std::lround(seconds * kAnimationRate)));
    animation.interval = std::max(0.0, seconds) / animation.steps;
    animation.completion = std::move(completion);
    animation_ = std::move(animation);
    animation_->timer = Clock::shared().after(animation_->interval, [self = lifetime_.guard()] {
        if (self) self->animationStep();
    });
}

void TouchBarWindow::animationStep() {
    if (!animation_) return;
    Animation& a = *animation_;
    ++a.step;
    const double t = double(a.step) / a.steps;
    const auto mix = [t](double from, double to) { return from + (to - from) * t; };
    setFrame(a.step >= a.steps
                 ? a.to
                 : QRectF(mix(a.from.x(), a.to.x()), mix(a.from.y(), a.to.y()),
                          mix(a.from.width(), a.to.width()), mix(a.from.height(), a.to.height())));
    if (a.step < a.steps) {
        a.timer = Clock::shared().after(a.interval, [self = lifetime_.guard()] {
            if (self) self->animationStep();
        });
        return;
    }
    std::function<void()> completion = std::move(a.completion);
    animation_.reset();
    if (completion) completion();
}

void TouchBarWindow::cancelAnimation() {
    if (!animation_) return;
    Clock::shared().cancel(animation_->timer);
    animation_.reset();
}
