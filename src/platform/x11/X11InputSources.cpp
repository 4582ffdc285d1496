#include "platform/x11/X11InputSources.h"

#include "platform/x11/KeyPositions.h"
#include "platform/x11/XConnection.h"
#include "platform/x11/XkbLayout.h"

#include <X11/Xlib.h>

X11InputSources::X11InputSources(const QString& displayName) {
    display_ = openXDisplay(displayName);
    if (display_) layout_ = std::make_unique<XkbLayout>(display_);
}

X11InputSources::~X11InputSources() {
    layout_.reset();
    if (display_) XCloseDisplay(display_);
}

bool X11InputSources::hasCurrentKeyLayout() {
    if (!layout_) return false;
    layout_->catchUp();
    return layout_->valid();
}

std::optional<QString> X11InputSources::translateKeyCode(uint16_t keyCode) {
    if (!layout_) return std::nullopt;
    // Nothing else is read here, so the layout's notices are taken as questions come: a switch of
    // layout has reached the connection by the time the program that made it is done.
    layout_->catchUp();
    const auto key = xKeycodeForMacKey(keyCode);
    return key ? layout_->characters(*key) : std::nullopt;
}
