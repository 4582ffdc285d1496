#include "platform/x11/XkbLayout.h"

#include <xkbcommon/xkbcommon.h>

// Xlib last: its macros (None, Bool, Status) would break the Qt headers.
#include <X11/XKBlib.h>
#include <X11/Xlib.h>

XkbLayout::XkbLayout(Display* display) : display_(display) {
    int opcode = 0, errorBase = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
    if (!XkbQueryExtension(display_, &opcode, &eventBase_, &errorBase, &major, &minor)) {
        eventBase_ = -1;
        return;
    }
    XkbSelectEvents(display_, XkbUseCoreKbd, XkbNewKeyboardNotifyMask | XkbMapNotifyMask,
                    XkbNewKeyboardNotifyMask | XkbMapNotifyMask);
    // Only the group: every other state change comes with each key press.
    XkbSelectEventDetails(display_, XkbUseCoreKbd, XkbStateNotify, XkbGroupStateMask, XkbGroupStateMask);
    XkbStateRec state{};
    if (XkbGetState(display_, XkbUseCoreKbd, &state) == Success) group_ = state.group;
    reloadMap();
}

XkbLayout::~XkbLayout() {
    if (desc_) XkbFreeKeyboard(desc_, XkbAllComponentsMask, True);
}

void XkbLayout::reloadMap() {
    if (desc_) XkbFreeKeyboard(desc_, XkbAllComponentsMask, True);
    desc_ = XkbGetMap(display_, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd);
}

bool XkbLayout::handleEvent(const XEvent& event) {
    if (eventBase_ < 0 || event.type != eventBase_) return false;
    const auto& xkb = reinterpret_cast<const XkbEvent&>(event);
    switch (xkb.any.xkb_type) {
    case XkbNewKeyboardNotify:
    case XkbMapNotify:
        reloadMap();
        break;
    case XkbStateNotify:
        group_ = xkb.state.group;
        break;
    default:
        break;
    }
    return true;
}

void XkbLayout::catchUp() {
    while (XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        handleEvent(event);
    }
}

std::optional<QString> XkbLayout::characters(unsigned keycode) const {
    if (!desc_ || keycode < desc_->min_key_code || keycode > desc_->max_key_code) return std::nullopt;
    unsigned int modsLeft = 0;
    KeySym keysym = NoSymbol;
    // The group rides in the state as a core event would carry it; XKB wraps or clamps it for keys with
    // fewer groups, as the key's own group rules say.
    if (!XkbTranslateKeyCode(desc_, KeyCode(keycode), XkbBuildCoreState(0, group_), &modsLeft, &keysym) ||
        keysym == NoSymbol)
        return QString();
    const uint32_t ucs = xkb_keysym_to_utf32(uint32_t(keysym));
    // Control characters are what Return, Tab and Escape type; 0 is a key with no character.
    if (ucs == 0) return QString();
    const char32_t c = ucs;
    return QString::fromUcs4(&c, 1);
}
