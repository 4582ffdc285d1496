#pragma once

#include "platform/DisplayServices.h"

#include <map>

// Displays that exist only in the test: add, remove and resize them, then fire the reconfiguration
// callbacks as the window system would. Records every mirror configuration asked for.
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

    // Appends a display to the online list (the first one is the main display).
    void addDisplay(const Display& display) { displays_.push_back(display); }
    void removeDisplay(DisplayID id) {
        std::erase_if(displays_, [id](const Display& d) { return d.id == id; });
    }
    void setBounds(DisplayID id, const QRectF& bounds) {
        if (Display* d = find(id)) d->bounds = bounds;
    }
    // Calls every registered callback with (display, flags), as after a configuration change.
    void fire(DisplayID display, uint32_t flags) {
        const auto callbacks = callbacks_; // a callback may unregister itself
        for (const auto& [id, callback] : callbacks)
            callback(display, flags);
    }
    size_t callbackCount() const { return callbacks_.size(); }

    std::vector<MirrorCall> mirrorCalls;
    // When set, a mirror configuration fails as one that cannot begin.
    bool failConfigurations = false;

    std::vector<DisplayID> onlineDisplayList(uint32_t maxDisplays) const override;
    DisplayID mainDisplayID() const override { return displays_.empty() ? kNullDisplayID : displays_[0].id; }
    QRectF bounds(DisplayID id) const override { return find(id) ? find(id)->bounds : QRectF(); }
    std::vector<DisplayScreen> screens() const override;
    QString productName(DisplayID id) const override { return find(id) ? find(id)->name : QString(); }
    uint32_t modelNumber(DisplayID id) const override { return find(id) ? find(id)->model : 0; }
    uint32_t serialNumber(DisplayID id) const override { return find(id) ? find(id)->serial : 0; }
    DisplayID mirrorsDisplay(DisplayID id) const override {
        return find(id) ? find(id)->mirrorOf : kNullDisplayID;
    }
    OptError configureDisplayMirrorOfDisplay(DisplayID display, DisplayID master) override;
    CallbackId registerReconfigurationCallback(ReconfigurationCallback callback) override {
        callbacks_.emplace(nextId_, std::move(callback));
        return nextId_++;
    }
    void removeReconfigurationCallback(CallbackId id) override { callbacks_.erase(id); }

private:
    Display* find(DisplayID id) const {
        for (const Display& d : displays_)
            if (d.id == id) return const_cast<Display*>(&d);
        return nullptr;
    }
    std::vector<Display> displays_;
    std::map<CallbackId, ReconfigurationCallback> callbacks_;
    CallbackId nextId_ = 1;
};
