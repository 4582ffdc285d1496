#pragma once

#include "platform/InputSources.h"

#include <memory>

class XkbLayout;
typedef struct _XDisplay Display;

// The X server's keyboard layout through XKB, on a connection of its own: a virtual key code is the
// key at its position (KeyPositions.h), and what that key types in the current group, without
// modifiers, is its translation.
//
// The input sources are the layouts the user configured as XKB groups (setxkbmap us,de; the desktop's
// layout list), each presented as the Mac layout of its language where there is one (us is
// "com.apple.keylayout.US", kr "com.apple.inputmethod.Korean.2SetKorean") and as "xkb:LAYOUT" or
// "xkb:LAYOUT(VARIANT)" otherwise. Selecting one locks its group, which the focused window follows at
// once: no round trip of the focus is needed.
class X11InputSources final : public InputSources {
public:
    // An empty name opens $DISPLAY; without a server or XKB there is no current layout.
    explicit X11InputSources(const QString& displayName = {});
    ~X11InputSources() override;

    bool hasCurrentKeyLayout() override;
    std::optional<QString> translateKeyCode(uint16_t keyCode) override;
    QString currentKeyboardInputSourceID() override;
    QStringList enabledInputSourceIDs() override;
    bool selectInputSource(const QString& sourceID) override;

    // The identifier a configured layout is presented under.
    static QString sourceIDForLayout(const QString& layout, const QString& variant);

private:
    // The group now locked; -1 without XKB.
    int currentGroup();

    Display* display_ = nullptr;
    std::unique_ptr<XkbLayout> layout_;
};
