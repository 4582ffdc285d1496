#pragma once

#include <QString>
#include <functional>

// The desktop's clipboard, for text the device types: what a paste shortcut then inserts in the
// focused application. Main thread only.
class Clipboard {
public:
    virtual ~Clipboard() = default;

    // Replaces the clipboard's whole content with `text`; whether the desktop took it. `taken` runs
    // (on the main thread) the first time another program reads the text, so a caller that pastes
    // several texts in a row can wait before putting the next one in its place.
    virtual bool setText(const QString& text, std::function<void()> taken = {}) = 0;
};
