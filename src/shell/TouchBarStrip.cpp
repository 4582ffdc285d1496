#include "shell/TouchBarStrip.h"

#include "display/ZDVirtualScreenController.h"
#include "platform/TouchBarSource.h"
#include "touchbar/TouchBarWindow.h"

#include <cmath>

TouchBarStrip::TouchBarStrip(TouchBarSource& source, ZDVirtualScreenController& displayController)
    : source_(source), displayController_(displayController), mapping_(displayController) {}

TouchBarStrip::~TouchBarStrip() = default;

bool TouchBarStrip::isOSSupportTouchBar() const {
    return source_.available();
}

QRectF TouchBarStrip::stripFrame(const QRectF& screenFrame) {
    const double margin = TouchBarView::kMargin;
    const double height =
        (screenFrame.width() - 2 * margin) * TouchBarView::kPictureHeight / TouchBarView::kPictureWidth +
        2 * margin;
    return {screenFrame.x(), screenFrame.y(), screenFrame.width(), height};
}

void TouchBarStrip::showTouchBar() {
    if (!window_) {
        if (!isOSSupportTouchBar()) return;
        // Whole pixels on the desktop: the edges are rounded, so the strip stays flush with the
        // screen's bottom edge whatever its fractional height.
        window_ = std::make_unique<TouchBarWindow>(source_, [this](const QRectF& frame) {
            const QPointF topLeft = mapping_.eventLocation(QPointF(frame.x(), frame.y() + frame.height()));
            const int left = int(std::lround(topLeft.x())), top = int(std::lround(topLeft.y()));
            return QRect(left, top, int(std::lround(topLeft.x() + frame.width())) - left,
                         int(std::lround(topLeft.y() + frame.height())) - top);
        });
    }
    const std::optional<DisplayScreen> screen = displayController_.builtinScreen();
    const QRectF strip = stripFrame(screen ? screen->frame : QRectF());
    if (window_->isVisible()) {
        window_->setTouchBarWindowFrame(strip);
        return;
    }
    // Slides in from just below the edge.
    const QRectF lowered = strip.translated(0, -strip.height());
    window_->setTouchBarWindowFrame(lowered);
    window_->show();
    window_->animateFrame(strip, kSlideDuration, {});
}

void TouchBarStrip::hideTouchBar() {
    if (!window_) return;
    const QRectF original = window_->frame();
    TouchBarWindow* window = window_.get();
    // Back where it was once out of sight, so the next show starts from the right place.
    window_->animateFrame(original.translated(0, -original.height()), kSlideDuration, [window, original] {
        window->setFrame(original);
        window->hide();
    });
}

void TouchBarStrip::toggleTouchBarWindow() {
    if (window_ && window_->isVisible())
        hideTouchBar();
    else
        showTouchBar();
}

void TouchBarStrip::stopTouchBar() {
    if (window_) window_->stopTouchBar();
}

bool TouchBarStrip::isTapInTouchBar(QPointF point) {
    // A hidden strip keeps its frame for the next show, but a tap there lands on what is underneath.
    if (!window_ || !window_->isVisible()) return false;
    const QRectF frame = window_->frame();
    // The strip's bottom edge in the taps' top-left-origin space.
    double bottom = 0;
    if (displayController_.zubScreenHasMenuBar()) {
        const std::optional<DisplayScreen> zub = displayController_.zubScreen();
        bottom = zub ? zub->frame.height() : 0;
    } else {
        const std::optional<DisplayScreen> builtin = displayController_.builtinScreen();
        bottom = (builtin ? builtin->frame.height() : 0) - frame.y();
    }
    const double top = bottom - frame.height();
    return frame.x() < point.x() && point.x() < frame.x() + frame.width() && top < point.y() &&
           point.y() < bottom;
}
