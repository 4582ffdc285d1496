#pragma once

#include "base/Error.h"
#include "platform/linux/PenTablet.h"

#include <linux/input.h>

#include <cstdint>
#include <optional>
#include <vector>

// The axes and buttons the virtual pen declares. Positions cover a fixed range that is mapped over the
// root window, so a new root size only rescales and the device is never re-created under the desktop's
// feet (X opens a new input device asynchronously, and strokes in between would be lost).
struct PenAxis {
    uint16_t code;
    int minimum;
    int maximum;
    int resolution; // units per millimetre; per radian for tilt
};
namespace PenLayout {
inline constexpr int kPositionMax = 65535;
inline constexpr int kPressureMax = 8191;
// libinput (1.22, measured) takes contact from pressure: the tip goes down at 5% of the range and up
// below 1%. While the tip touches, the pressure never falls below this, or a light touch would be hover.
inline constexpr int kContactPressure = kPressureMax * 6 / 100;
inline constexpr PenAxis kAxes[] = {
    // libinput ignores a tablet whose position has no resolution; 200/mm makes it about 33 cm wide.
    {ABS_X, 0, kPositionMax, 200},
    {ABS_Y, 0, kPositionMax, 200},
    {ABS_PRESSURE, 0, kPressureMax, 0},
    // Degrees: libinput reads tilt as units per radian once a resolution is set.
    {ABS_TILT_X, -90, 90, 57},
    {ABS_TILT_Y, -90, 90, 57},
};
inline constexpr uint16_t kButtons[] = {BTN_TOOL_PEN, BTN_TOUCH, BTN_STYLUS, BTN_STYLUS2};
} // namespace PenLayout

// Turns pen samples into evdev frames and writes them as `input_event` records to a descriptor: the
// uinput device's, or any other (the tests read a pipe). Every frame ends with SYN_REPORT; an axis is
// written when it changes, and all of them when the pen comes into proximity. A call's frames go out in
// one write, and the state only follows a write that succeeded, so a failed proximity change is tried
// again by the next sample.
class PenEventWriter {
public:
    PenEventWriter(int fd, QSize area);
    // Takes the pen out of proximity: no contact is left down behind a writer.
    ~PenEventWriter();
    PenEventWriter(const PenEventWriter&) = delete;
    PenEventWriter& operator=(const PenEventWriter&) = delete;

    // A sample with a NaN or an infinity is dropped: nothing is written. A move out of proximity brings
    // the pen in first. The proximity frame is always a hovering one, the contact follows in its own
    // frame. The very first proximity in is followed by an out and an in (see the implementation).
    OptError proximityIn(const PenSample& sample);
    OptError move(const PenSample& sample);
    // Lifts the tip first (its own frame) when it is down; nothing when the pen is already out.
    OptError proximityOut();
    // An empty or negative size keeps the mapping there is: a root window has at least one pixel.
    void setArea(QSize rootSize);

    bool inProximity() const { return inProximity_; }
    bool tipDown() const { return last_ && last_->touch; }

private:
    struct Values {
        int x = 0;
        int y = 0;
        int pressure = 0;
        int tiltX = 0;
        int tiltY = 0;
        bool touch = false;
    };
    Values valuesFor(const PenSample& sample) const;
    // Appends the events that take the device from `from` (nothing known: all of them) to `to`, and
    // the SYN_REPORT, unless nothing changed.
    static void appendFrame(std::vector<input_event>& events, const std::optional<Values>& from,
                            const Values& to, std::optional<int> toolPen = std::nullopt);
    OptError write(const std::vector<input_event>& events);

    int fd_;
    QSize area_;
    bool inProximity_ = false;
    bool proximityOutWritten_ = false;
    std::optional<Values> last_;
};
