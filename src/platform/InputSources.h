#pragma once

#include <QString>
#include <QStringList>
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

    // -- The input source the user types with, under the identifiers the program's tables use
    // ("com.apple.keylayout.US", "com.apple.inputmethod.Korean.2SetKorean"): a backend presents its
    // layouts and input methods under the identifier of the same language and kind, others under
    // identifiers of its own. A desktop without a choice of sources has none of them.
    virtual QString currentKeyboardInputSourceID() { return {}; }
    // The sources the user has enabled, in the desktop's order.
    virtual QStringList enabledInputSourceIDs() { return {}; }
    // Makes an enabled source the current one; whether it now is.
    virtual bool selectInputSource(const QString& sourceID) {
        (void)sourceID;
        return false;
    }
    // Whether a newly selected input method reaches the focused application only once that has lost
    // and regained the focus (the round trip through the application switcher).
    virtual bool selectionNeedsFocusRoundTrip() { return false; }
};
