#pragma once

#include "platform/DisplayServices.h"

#include <QPoint>
#include <QRect>
#include <optional>
#include <utility>
#include <vector>

// The window system's display arrangement as plain values, so that what changed between two
// arrangements, and where a display goes to leave a mirror set, can be worked out (and tested)
// without a display server.
//
// Displays whose pictures start at the same point of the desktop show the same picture: they form a
// mirror set, whose master is the one listed first (the main display when it is in the set).
struct DisplayState {
    DisplayID id = kNullDisplayID;
    QRect bounds;
    bool operator==(const DisplayState&) const = default;
};

struct DisplayConfiguration {
    std::vector<DisplayState> displays; // the system's order, the main display first

    DisplayID mainDisplay() const { return displays.empty() ? kNullDisplayID : displays.front().id; }
    const DisplayState* find(DisplayID id) const;
    // The master of the mirror set `id` belongs to, 0 when `id` is a master or in no set.
    DisplayID mirrorsDisplay(DisplayID id) const;
    bool inMirrorSet(DisplayID id) const;
    bool operator==(const DisplayConfiguration&) const = default;
};

// The reconfiguration flags per display that turned `before` into `after`, in `after`'s order and
// then the removed displays; displays that did not change are left out.
std::vector<std::pair<DisplayID, uint32_t>> reconfigurationFlags(const DisplayConfiguration& before,
                                                                 const DisplayConfiguration& after);

// Where `id` has to go to leave its mirror set: right of every other display, level with the topmost.
// None when it is in no set (or unknown): nothing has to move.
std::optional<QPoint> unmirrorOrigin(const DisplayConfiguration& config, DisplayID id);

// The desktop that holds all of `rects` (from the origin of the global space).
QSize desktopSize(const std::vector<QRect>& rects);
