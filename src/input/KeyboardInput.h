#pragma once

#include "base/Clock.h"
#include "base/Lifetime.h"

#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <cstdint>
#include <deque>
#include <optional>

class ButtonShortcuts;
class Clipboard;
class EventPoster;
class InputSources;

// What is typed on the device: keys of a keyboard attached to it ("KeyboardEvent"), found by name or
// character in a table of key positions and posted with their modifiers; text of its on-screen
// keyboard ("vKeyboardEvent"), pasted through the clipboard; and the on-screen keyboard's language
// ("vKeyboardSourceEvent"), which the desktop's input source follows. Main thread only.
class KeyboardInput {
public:
    // Input-source sets of changeInputSource().
    static constexpr int32_t kLanguageEnglish = 1;
    static constexpr int32_t kLanguageJapanese = 2;
    static constexpr int32_t kLanguageKorean = 3;
    static inline const QString kJapaneseSource = QStringLiteral("com.apple.inputmethod.Kotoeri.Japanese");
    static inline const QString kKoreanSource = QStringLiteral("com.apple.inputmethod.Korean.2SetKorean");
    static const QStringList& englishSources();

    // A key's name or characters are a few characters: anything longer is not a key.
    static constexpr qsizetype kMaxKeyInputLength = 32;
    // Text pasted at once, in UTF-8 bytes: more is refused, not pasted.
    static constexpr qsizetype kMaxPasteBytes = 1 << 20;
    // Texts waiting to be pasted; a flood beyond it is dropped.
    static constexpr size_t kMaxPendingPastes = 256;
    // A blank is pasted this long after it comes.
    static constexpr double kBlankDelay = 0.1;
    // How long a paste waits for the focused application to read the clipboard before the next text
    // takes its place anyway (an application that does not paste never reads it).
    static constexpr double kPasteReadTimeout = 0.5;

    // Without a clipboard the on-screen keyboard's text goes nowhere.
    KeyboardInput(EventPoster& poster, InputSources& inputSources, Clipboard* clipboard,
                  ButtonShortcuts& shortcuts);
    KeyboardInput(const KeyboardInput&) = delete;
    KeyboardInput& operator=(const KeyboardInput&) = delete;

    void handleKeyboardEvent(const QVariantMap& event);
    void handleVirtualKeyboardEvent(const QVariantMap& event);
    void handleVirtualKeyboardSourceEvent(const QVariantMap& event);

    // Selects the first enabled source of the set (kLanguage...); whether one was selected.
    bool changeInputSource(int32_t language);
    static bool isEnglish(const QString& language);
    // Command down, Tab down and up with Command, Command up: a switch to the previous application.
    void commandTab();
    bool bNeedCommandTap() const { return bNeedCommandTap_; }

    // The link ended: texts not yet pasted are dropped.
    void cancelPendingPastes();
    size_t pendingPasteCount() const { return pending_.size(); }

    // The key a "KeyboardEvent" stands for: its virtual key code and flags; none for no key.
    struct Key {
        uint16_t keyCode = 0;
        uint64_t flags = 0;
        bool operator==(const Key&) const = default;
    };
    static std::optional<Key> keyForEvent(const QString& modifiers, const QString& inputString,
                                          const QString& keyboardLayout);

private:
    void pasteNext();
    void paste();
    void pasteDone();
    void roundTripThroughApplications();

    EventPoster& poster_;
    InputSources& inputSources_;
    Clipboard* clipboard_;
    ButtonShortcuts& shortcuts_;
    bool bNeedCommandTap_ = false;

    std::deque<QString> pending_;
    // A paste under way: waiting out a blank's delay, or for the clipboard to be read.
    bool pasting_ = false;
    std::optional<Clock::TimerId> pasteTimer_;
    uint64_t pasteSerial_ = 0;
    bool floodLogged_ = false;
    Lifetime<KeyboardInput> lifetime_{this};
};
