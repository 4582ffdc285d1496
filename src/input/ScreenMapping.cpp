#include "input/ScreenMapping.h"

#include "base/Logging.h"
#include "display/ZDVirtualScreenController.h"

#include <cmath>
#include <limits>

namespace {

QRectF frameOf(const std::optional<DisplayScreen>& screen) {
    return screen ? screen->frame : QRectF();
}

bool containsInclusive(const QRectF& r, QPointF p) {
    return r.x() <= p.x() && p.x() <= r.x() + r.width() && r.y() <= p.y() && p.y() <= r.y() + r.height();
}

bool isPostableCoordinate(double v) {
    return std::isfinite(v) && v >= double(std::numeric_limits<int32_t>::min()) &&
           v <= double(std::numeric_limits<int32_t>::max());
}

} // namespace

ScreenMapping::ScreenMapping(ZDVirtualScreenController& displayController)
    : displayController_(displayController) {}

double ScreenMapping::mainDisplayBottom() const {
    const QRectF main = displayController_.mainDisplayBounds();
    return main.y() + main.height();
}

QPointF ScreenMapping::eventLocation(QPointF bottomLeftPoint) const {
    return {bottomLeftPoint.x(), mainDisplayBottom() - bottomLeftPoint.y()};
}

QPointF ScreenMapping::getScreenPoint(QPointF normalised) {
    const std::optional<DisplayScreen> clone = displayController_.cloneScreen();
    // With no screen to show there is no place to map to; every position lands on the origin.
    if (!clone) return {normalised.x() * 0.0, normalised.y() * 0.0};
    const QRectF& frame = clone->frame;
    // The frame's top edge, in the space events are posted in: a screen below or above the main one
    // is not where its bottom-left coordinates would say.
    const QPointF topLeft = eventLocation(QPointF(frame.x(), frame.y() + frame.height()));
    return {normalised.x() * frame.width() + topLeft.x(), normalised.y() * frame.height() + topLeft.y()};
}

QPointF ScreenMapping::getRelativePoint(QPointF p) {
    const std::optional<DisplayScreen> zub = displayController_.zubScreen();
    const QRectF r = zub ? zub->frame : frameOf(displayController_.cloneScreen());
    // A screen of no size has no positions on it (and nothing to divide by).
    if (r.width() <= 0 || r.height() <= 0 || !containsInclusive(r, p)) return {-1.0, -1.0};
    const double rx = (p.x() - r.x()) / r.width();
    const double ry = displayController_.zubScreenHasMenuBar() ? 1.0 - p.y() / r.height()
                                                               : (r.y() + r.height() - p.y()) / r.height();
    return {double(float(rx)), double(float(ry))};
}

bool ScreenMapping::isInZubScreen(QPointF p) {
    const std::optional<DisplayScreen> zub = displayController_.zubScreen();
    return containsInclusive(zub ? zub->frame : frameOf(displayController_.builtinScreen()), p);
}

double ScreenMapping::zubOrBuiltinScreenHeight() {
    const std::optional<DisplayScreen> zub = displayController_.zubScreen();
    return (zub ? zub->frame : frameOf(displayController_.builtinScreen())).height();
}

bool ScreenMapping::isPostable(QPointF point) {
    return isPostableCoordinate(point.x()) && isPostableCoordinate(point.y());
}

std::optional<QPointF> ScreenMapping::postableScreenPoint(QPointF normalised) {
    const QPointF point = getScreenPoint(normalised);
    if (isPostable(point)) return point;
    if (!toldOfUnpostablePoint_) {
        toldOfUnpostablePoint_ = true;
        qCWarning(lcInput) << "the device sent a position that is not a number or lies far off every"
                              " screen; such samples are dropped";
    }
    return std::nullopt;
}
