#pragma once

#include "base/Error.h"
#include "platform/DisplayServices.h"
#include "platform/EventPoster.h"

#include <memory>
#include <optional>

class PenTablet;

// Synthetic input through XTest on a connection of its own. The top-left global space is the root
// window's pixel space (display bounds are root pixels), so a location becomes a root pixel by
// flooring it; the bottom-left space flips y over the main display's bottom edge, as screens do.
//
// Pointer events move the pointer and press buttons 1 (left), 3 (right) and 2 (other); a button is
// pressed once however many downs come, and an up of a button not held is dropped. Wheel events
// become button 4/5 (vertical) and 6/7 (horizontal) clicks. Keys are pressed at the position of the
// virtual key code (KeyPositions.h), the flags on a key-down as modifier keys around it.
//
// Events of the tablet (the tablet-point subtype, tablet pointer and proximity events) go to the pen
// when there is one, with pressure and tilt; without one they are plain pointer events.
//
// Gestures: magnify becomes Control with wheel clicks up (in) or down (out), one per
// kMagnificationPerNotch of magnification, the remainder kept within one pinch; a swipe of fingers
// moving right (4) is the back button 8, moving left (8) the forward button 9. Rotate and smart zoom
// have no desktop-wide equivalent on X and post nothing.
//
// Nothing stays held that events here pressed: a key-down is a whole keystroke on X (whose server
// would repeat a key left down, where the Mac repeats nothing posted), modifier keys pressed on their
// own and a bare Space (a pan's hand tool) are let go by their key-ups or releaseHeldInput(), and so
// are buttons.
class X11EventPoster final : public EventPoster {
public:
    // Null, with an error, when the display cannot be opened or lacks XTest. `displays` gives the main
    // display's edge for the bottom-left space; `pen` is optional (it is given the root's size at once);
    // both must outlive the poster.
    static std::unique_ptr<X11EventPoster> open(DisplayServices& displays, PenTablet* pen = nullptr,
                                                const QString& displayName = {}, OptError* error = nullptr);
    ~X11EventPoster() override;

    void post(const Event& event, int32_t tap) override;
    void postGesture(const GestureEvent& gesture, int32_t tap) override;
    void warpMouseCursorPosition(QPointF location) override;
    void associateMouseAndMouseCursorPosition(bool connected) override;
    QPointF mouseLocation() const override;
    QPointF nullEventLocation() const override;
    void releaseHeldInput() override;

    // Reads the notices that have arrived (the root's size, input devices coming and going); the
    // socket notifier does this by itself whenever the event loop runs.
    void processEvents();

    // How many pixels of a pixel-unit scroll make one wheel click.
    static constexpr double kPixelsPerWheelClick = 50.0;
    // Magnification of one Control+wheel notch: a slow pinch that doubles the device's scale makes
    // seven or eight, which at the ten per cent a notch of most programs doubles the page as well.
    static constexpr double kMagnificationPerNotch = 0.2;
    // Wheel clicks one event may send at the most: a wild value must not flood the desktop.
    static constexpr int kMaxWheelClicksPerEvent = 100;

    // The pen's tilt in degrees from the vertical, per axis (x to the right, y towards the user), for
    // the tablet tilt fields: the projections of the pen's direction on the tablet (-1..1, y upwards).
    static QPointF tiltDegrees(double tiltX, double tiltY);

private:
    struct Impl;
    explicit X11EventPoster(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};
