#include "fakes/FakeDisplayServices.h"

void FakeDisplayServices::removeDisplay(DisplayID id) {
    std::erase_if(displays_, [id](const Display& d) { return d.id == id; });
}

void FakeDisplayServices::setBounds(DisplayID id, const QRectF& bounds) {
    if (Display* d = find(id)) d->bounds = bounds;
}

void FakeDisplayServices::fire(DisplayID display, uint32_t flags) {
    const auto callbacks = callbacks_; // a callback may unregister itself
    for (const auto& [id, callback] : callbacks)
        callback(display, flags);
}

const FakeDisplayServices::Display* FakeDisplayServices::find(DisplayID id) const {
    for (const Display& d : displays_)
        if (d.id == id) return &d;
    return nullptr;
}

FakeDisplayServices::Display* FakeDisplayServices::find(DisplayID id) {
    for (Display& d : displays_)
        if (d.id == id) return &d;
    return nullptr;
}

std::vector<DisplayID> FakeDisplayServices::onlineDisplayList(uint32_t maxDisplays) const {
    std::vector<DisplayID> ids;
    for (size_t i = 0; i < displays_.size() && i < maxDisplays; ++i)
        ids.push_back(displays_[i].id);
    return ids;
}

std::vector<DisplayScreen> FakeDisplayServices::screens() const {
    std::vector<DisplayScreen> result;
    for (const Display& d : displays_) {
        if (d.mirrorOf != kNullDisplayID) continue;
        const QRectF& main = displays_[0].bounds;
        const double y = main.y() + main.height() - (d.bounds.y() + d.bounds.height());
        result.push_back({d.id, QRectF(d.bounds.x(), y, d.bounds.width(), d.bounds.height())});
    }
    return result;
}

OptError FakeDisplayServices::configureDisplayMirrorOfDisplay(DisplayID display, DisplayID master) {
    mirrorCalls.push_back({display, master});
    if (failConfigurations)
        return Error::make(kDisplayServicesErrorDomain, 1, QStringLiteral("cannot begin"));
    if (Display* d = find(display)) d->mirrorOf = master;
    return std::nullopt;
}
