#include "platform/x11/DisplayLayout.h"

#include <algorithm>

const DisplayState* DisplayConfiguration::find(DisplayID id) const {
    for (const DisplayState& d : displays)
        if (d.id == id) return &d;
    return nullptr;
}

DisplayID DisplayConfiguration::mirrorsDisplay(DisplayID id) const {
    const DisplayState* self = find(id);
    if (!self) return kNullDisplayID;
    for (const DisplayState& d : displays) {
        if (d.id == id) return kNullDisplayID; // listed first: the master itself
        if (d.bounds.topLeft() == self->bounds.topLeft()) return d.id;
    }
    return kNullDisplayID;
}

bool DisplayConfiguration::inMirrorSet(DisplayID id) const {
    const DisplayState* self = find(id);
    if (!self) return false;
    return std::any_of(displays.begin(), displays.end(), [&](const DisplayState& d) {
        return d.id != id && d.bounds.topLeft() == self->bounds.topLeft();
    });
}

std::vector<std::pair<DisplayID, uint32_t>> reconfigurationFlags(const DisplayConfiguration& before,
                                                                 const DisplayConfiguration& after) {
    using F = DisplayServices::ReconfigurationFlag;
    std::vector<std::pair<DisplayID, uint32_t>> changes;
    for (const DisplayState& now : after.displays) {
        const DisplayState* then = before.find(now.id);
        if (!then) {
            changes.emplace_back(now.id, F::kAddFlag | F::kEnabledFlag);
            continue;
        }
        uint32_t flags = 0;
        if (now.bounds.topLeft() != then->bounds.topLeft()) flags |= F::kMovedFlag;
        if (now.bounds.size() != then->bounds.size()) flags |= F::kSetModeFlag;
        if (flags) flags |= F::kDesktopShapeChangedFlag;
        const bool wasMain = before.mainDisplay() == now.id, isMain = after.mainDisplay() == now.id;
        if (wasMain != isMain) flags |= F::kSetMainFlag;
        if (after.mirrorsDisplay(now.id) != kNullDisplayID && before.mirrorsDisplay(now.id) == kNullDisplayID)
            flags |= F::kMirrorFlag;
        if (before.inMirrorSet(now.id) && !after.inMirrorSet(now.id)) flags |= F::kUnMirrorFlag;
        if (flags) changes.emplace_back(now.id, flags);
    }
    for (const DisplayState& then : before.displays)
        if (!after.find(then.id)) changes.emplace_back(then.id, F::kRemoveFlag | F::kDisabledFlag);
    return changes;
}

std::optional<QPoint> unmirrorOrigin(const DisplayConfiguration& config, DisplayID id) {
    if (!config.inMirrorSet(id)) return std::nullopt;
    int right = 0;
    std::optional<int> top;
    for (const DisplayState& d : config.displays) {
        if (d.id == id) continue;
        right = std::max(right, d.bounds.x() + d.bounds.width());
        top = top ? std::min(*top, d.bounds.y()) : d.bounds.y();
    }
    return QPoint(right, top.value_or(0));
}

QSize desktopSize(const std::vector<QRect>& rects) {
    int width = 0, height = 0;
    for (const QRect& r : rects) {
        width = std::max(width, r.x() + r.width());
        height = std::max(height, r.y() + r.height());
    }
    return QSize(width, height);
}
