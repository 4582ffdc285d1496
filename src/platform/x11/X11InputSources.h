#pragma once

#include "platform/InputSources.h"

#include <memory>

class XkbLayout;
typedef struct _XDisplay Display;

// The X server's keyboard layout through XKB, on a connection of its own: a virtual key code is the
// key at its position (KeyPositions.h), and what that key types in the current group, without
// modifiers, is its translation.
class X11InputSources final : public InputSources {
public:
    // An empty name opens $DISPLAY; without a server or XKB there is no current layout.
    explicit X11InputSources(const QString& displayName = {});
    ~X11InputSources() override;

    bool hasCurrentKeyLayout() override;
    std::optional<QString> translateKeyCode(uint16_t keyCode) override;

private:
    Display* display_ = nullptr;
    std::unique_ptr<XkbLayout> layout_;
};
