#pragma once

#include "platform/DisplayServices.h"

#include <map>

// Displays that exist only in the test: add, remove, resize and rename them, then fire the
// reconfiguration callbacks as the window system would. Records every mirror configuration asked for.
class FakeDisplayServices final : public DisplayServices {
public:
    struct Display {
        DisplayID id = kNullDisplayID;
        QRectF bounds;
        QString name;
        uint32_t model = 0;
        uint32_t serial = 0;
        DisplayID mirrorOf = kNullDisplayID;
    };
    struct MirrorCall {
        DisplayID display;
        DisplayID master;
        bool operator==(const MirrorCall&) const = default;
    };

    // Appends a display to the online list (the first one added is the main display).
    void addDisplay(const Display& display);
    void removeDisplay(DisplayID id);
    void setBounds(DisplayID id, const QRectF& bounds);
    // Calls every registered callback with (display, flags), as after a configuration change.
    void fire(DisplayID display, uint32_t flags);

    std::vector<MirrorCall> mirrorCalls;
    // When set, configureDisplayMirrorOfDisplay fails as a configuration that cannot begin.
    bool failConfigurations = false;

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
    size_t callbackCount() const { return callbacks_.size(); }

private:
    const Display* find(DisplayID id) const;
    std::vector<Display> displays_;
    std::map<CallbackId, ReconfigurationCallback> callbacks_;
    CallbackId nextId_ = 1;
};
