#pragma once

#include "base/Error.h"

#include <QRectF>
#include <QString>
#include <cstdint>
#include <functional>
#include <vector>

// A display of the window system, identified the way the rest of the program names it everywhere
// (capture unique IDs, the display directory, mirror targets). 0 is no display.
using DisplayID = uint32_t;
inline constexpr DisplayID kNullDisplayID = 0;

inline const QString kDisplayServicesErrorDomain = QStringLiteral("DisplayServices");

// What the application toolkit calls a screen: a display as a place where windows go. `frame` is in
// the bottom-left-origin space: x as in the global space, y measured upwards from the bottom edge of
// the main display, so the main display's frame starts at y 0.
struct DisplayScreen {
    DisplayID screenNumber = kNullDisplayID;
    QRectF frame;
    bool operator==(const DisplayScreen&) const = default;
};

// The window system's displays: which are online, where they are, what they are called, mirror sets,
// and a callback when any of that changes. Every call is made on the main thread, and the
// reconfiguration callbacks run there too.
//
// Coordinates: `bounds` are in the top-left-origin global space of the window system (where pointer
// events are posted), in points.
class DisplayServices {
public:
    // The reconfiguration flags, with the values the display code was written against.
    enum ReconfigurationFlag : uint32_t {
        kBeginConfigurationFlag = 0x1,
        kMovedFlag = 0x2,
        kSetMainFlag = 0x4,
        kSetModeFlag = 0x8,
        kAddFlag = 0x10,
        kRemoveFlag = 0x20,
        kEnabledFlag = 0x100,
        kDisabledFlag = 0x200,
        kMirrorFlag = 0x400,
        kUnMirrorFlag = 0x800,
        kDesktopShapeChangedFlag = 0x1000,
    };
    using ReconfigurationCallback = std::function<void(DisplayID display, uint32_t flags)>;
    using CallbackId = quint64;

    virtual ~DisplayServices() = default;

    // The online displays in the system's order, the main display first; at most `maxDisplays`.
    virtual std::vector<DisplayID> onlineDisplayList(uint32_t maxDisplays) const = 0;
    // The main display (the one carrying the menu bar), 0 when there is none.
    virtual DisplayID mainDisplayID() const = 0;
    // Bounds in the global space; the zero rectangle for a display that is not online.
    virtual QRectF bounds(DisplayID display) const = 0;
    // One screen per online display that shows a picture of its own (a mirror has none), the main
    // display's first.
    virtual std::vector<DisplayScreen> screens() const = 0;

    // From the monitor's identification data; an empty name and zero numbers when it has none.
    virtual QString productName(DisplayID display) const = 0;
    virtual uint32_t modelNumber(DisplayID display) const = 0;
    virtual uint32_t serialNumber(DisplayID display) const = 0;

    // The display whose picture `display` shows, 0 when it mirrors nothing.
    virtual DisplayID mirrorsDisplay(DisplayID display) const = 0;

    // Makes `display` show the picture of `master`, or, with master 0, leave its mirror set; applied
    // permanently in one configuration. An error when the configuration cannot be made.
    virtual OptError configureDisplayMirrorOfDisplay(DisplayID display, DisplayID master) = 0;

    // Called once per changed display after every configuration change, with the flags above.
    virtual CallbackId registerReconfigurationCallback(ReconfigurationCallback callback) = 0;
    virtual void removeReconfigurationCallback(CallbackId id) = 0;
};
