#include "fakes/FakeDisplayServices.h"

#include <algorithm>

void FakeDisplayServices::addDisplay(const Display& display) {
    displays_.push_back(display);
}

void FakeDisplayServices::removeDisplay(DisplayID id) {
    std::erase_if(displays_, [id](const Display& d) { return d.id == id; });
}

void FakeDisplayServices::setBounds(DisplayID id, const QRectF& bounds) {
    for (Display& d : displays_)
        if (d.id == id) d.bounds = bounds;
}

void FakeDisplayServices::fire(DisplayID display, uint32_t flags) {
    // A callback may unregister itself; walk a copy.
    const auto callbacks = callbacks_;
    for (const auto& [id, callback] : callbacks)
        callback(display, flags);
}

const FakeDisplayServices::Display* FakeDisplayServices::find(DisplayID id) const {
    for (const Display& d : displays_)
        if (d.id == id) return &d;
    return nullptr;
}

std::vector<DisplayID> FakeDisplayServices::onlineDisplayList(uint32_t maxDisplays) const {
    std::vector<DisplayID> ids;
    for (const Display& d : displays_) {
        if (ids.size() >= maxDisplays) break;
        ids.push_back(d.id);
    }
    return ids;
}

DisplayID FakeDisplayServices::mainDisplayID() const {
    return displays_.empty() ? kNullDisplayID : displays_[0].id;
}

QRectF FakeDisplayServices::bounds(DisplayID display) const {
    const Display* d = find(display);
    return d ? d->bounds : QRectF();
}

std::vector<DisplayScreen> FakeDisplayServices::screens() const {
    std::vector<DisplayScreen> result;
    if (displays_.empty()) return result;
    const QRectF main = displays_[0].bounds;
    for (const Display& d : displays_) {
        if (d.mirrorOf != kNullDisplayID) continue;
        const double y = main.y() + main.height() - (d.bounds.y() + d.bounds.height());
        result.push_back({d.id, QRectF(d.bounds.x(), y, d.bounds.width(), d.bounds.height())});
    }
    return result;
}

QString FakeDisplayServices::productName(DisplayID display) const {
    const Display* d = find(display);
    return d ? d->name : QString();
}

uint32_t FakeDisplayServices::modelNumber(DisplayID display) const {
    const Display* d = find(display);
    return d ? d->model : 0;
}

uint32_t FakeDisplayServices::serialNumber(DisplayID display) const {
    const Display* d = find(display);
    return d ? d->serial : 0;
}

DisplayID FakeDisplayServices::mirrorsDisplay(DisplayID display) const {
    const Display* d = find(display);
    return d ? d->mirrorOf : kNullDisplayID;
}

OptError FakeDisplayServices::configureDisplayMirrorOfDisplay(DisplayID display, DisplayID master) {
    mirrorCalls.push_back({display, master});
    if (failConfigurations)
        return Error::make(QStringLiteral("DisplayServices"), 1, QStringLiteral("cannot begin"));
    for (Display& d : displays_)
        if (d.id == display) d.mirrorOf = master;
    return std::nullopt;
}

DisplayServices::CallbackId
FakeDisplayServices::registerReconfigurationCallback(ReconfigurationCallback callback) {
    const CallbackId id = nextId_++;
    callbacks_.emplace(id, std::move(callback));
    return id;
}

void FakeDisplayServices::removeReconfigurationCallback(CallbackId id) {
    callbacks_.erase(id);
}
