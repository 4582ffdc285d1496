#pragma once

#include <QPointF>
#include <QRectF>
#include <optional>

class ZDVirtualScreenController;

// Where the device's normalised positions (0..1 over the picture it shows, y downwards) land on the
// desktop, and back. Events and warps take points in the top-left-origin global space; screen frames
// and the toolkit's mouse location are in the bottom-left-origin space.
class ScreenMapping {
public:
    explicit ScreenMapping(ZDVirtualScreenController& displayController);

    // The point of the mirrored screen under a normalised position, in the top-left-origin space.
    // Not clamped: positions outside 0..1 land outside the screen.
    QPointF getScreenPoint(QPointF normalised);
    // A point of the bottom-left-origin space as a normalised position on the device's screen, or
    // (-1, -1) when it is off that screen.
    QPointF getRelativePoint(QPointF globalPoint);
    // Whether a point of the bottom-left-origin space lies on the device's screen (the main one when
    // the device has none of its own).
    bool isInZubScreen(QPointF globalPoint);

    // A point of the bottom-left-origin space (the toolkit's mouse location) in the top-left-origin
    // space of events. The two spaces meet at the bottom edge of the main display.
    QPointF eventLocation(QPointF bottomLeftPoint) const;
    // The height of the device's own screen, or of the main one when it has none.
    double zubOrBuiltinScreenHeight();

    // getScreenPoint, or none when the point may not be posted.
    std::optional<QPointF> postableScreenPoint(QPointF normalised);
    // Whether a point may be posted: the device's values are not trusted to be finite or sane, and
    // every backend holds coordinates in ints.
    static bool isPostable(QPointF point);

private:
    double mainDisplayBottom() const;

    ZDVirtualScreenController& displayController_;
    bool toldOfUnpostablePoint_ = false;
};
