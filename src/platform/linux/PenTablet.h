#pragma once
#include <QPointF>
#include <QSize>
#include <QString>
// A pen with pressure and tilt that the desktop sees as a drawing tablet over the whole root window.
struct PenSample {
    QPointF position;    // root-window pixels
    double pressure = 0; // 0..1; 0 while hovering
    double tiltX = 0;    // degrees, -90..90
    double tiltY = 0;    // degrees, -90..90
    bool tip = false;    // touching
};
class PenTablet {
public:
    virtual ~PenTablet() = default;
    virtual void proximityIn(const PenSample& sample) = 0;
    virtual void move(const PenSample& sample) = 0;
    virtual void proximityOut() = 0;
    // The root window's size in pixels, over which positions are mapped.
    virtual void setArea(QSize rootSize) = 0;
    virtual QString deviceName() const = 0;
};
