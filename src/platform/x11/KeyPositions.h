#pragma once

#include <cstdint>
#include <optional>

// The program names keys by the virtual key codes of the US ANSI keyboard it was written against
// (0 is the key of "a", 6 the key of "z", 55 Command). On X a key is named by its position too: the
// evdev code of that position plus 8, as the evdev keycodes of XKB number them. Going by position,
// not by character, leaves the character to the layout in use, so "the key of z" types y on a German
// layout here just as it does there.
//
// Command takes the Control key's place: it is what Linux applications bind their shortcuts to.

// The X keycode at the position of `macKeyCode`; none for a code with no key on a PC keyboard
// (Function) or no code at all.
std::optional<unsigned> xKeycodeForMacKey(uint16_t macKeyCode);
