#pragma once

#include <QString>
#include <cstdint>
#include <optional>

// The desktop's keyboard layouts. Key codes are the virtual key codes of EventPoster (the US
// layout's key positions).
class InputSources {
public:
    virtual ~InputSources() = default;

    // Whether there is a current keyboard layout whose keys can be translated.
    virtual bool hasCurrentKeyLayout() = 0;
    // What `keyCode` types on the current layout when pressed without modifiers; none when the
    // translation fails, an empty string when the key types nothing.
    virtual std::optional<QString> translateKeyCode(uint16_t keyCode) = 0;
};
