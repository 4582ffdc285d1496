#pragma once

#include "platform/DisplayServices.h"

#include <memory>

// Displays through XRandR on a connection of its own: an online display is a connected output that
// drives a CRTC (outputs marked non-desktop are left out), its ID the output's XID, the main display
// the RandR primary output (the first listed when none is set). Names, model and serial numbers come
// from the output's EDID property. RandR change events, read on the main thread, are turned into
// reconfiguration callbacks by comparing the arrangement before and after.
//
// Mirroring is the RandR arrangement that comes nearest: a mirror shows its master's picture by
// starting at the same desktop point; leaving a mirror set moves a display to the right of the others.
class X11DisplayServices final : public DisplayServices {
public:
    // Null, with an error, when the display cannot be opened or has no RandR 1.2 or later.
    // An empty name opens $DISPLAY.
    static std::unique_ptr<X11DisplayServices> open(const QString& displayName = {},
                                                    OptError* error = nullptr);
    ~X11DisplayServices() override;

    std::vector<DisplayID> onlineDisplayList(uint32_t maxDisplays) const override;
    DisplayID mainDisplayID() const override;
    QRectF bounds(DisplayID display) const override;
    std::vector<DisplayScreen> screens() const override;
    QString productName(DisplayID display) const override;
    uint32_t modelNumber(DisplayID display) const override;
    uint32_t serialNumber(DisplayID display) const override;
    DisplayID mirrorsDisplay(DisplayID display) const override;
    OptError configureDisplayMirrorOfDisplay(DisplayID display, DisplayID master) override;
    CallbackId registerReconfigurationCallback(ReconfigurationCallback callback) override;
    void removeReconfigurationCallback(CallbackId id) override;

    // Reads the change events that have arrived and calls back for what changed; the socket notifier
    // does this by itself whenever the event loop runs.
    void processEvents();

private:
    struct Impl;
    explicit X11DisplayServices(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d;
};
