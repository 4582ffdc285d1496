#include "fakes/FakeDisplayServices.h"

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
