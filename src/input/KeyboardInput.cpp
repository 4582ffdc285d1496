#include "input/KeyboardInput.h"

#include "base/Logging.h"
#include "base/MainQueue.h"
#include "input/ButtonShortcuts.h"
#include "platform/Clipboard.h"
#include "platform/EventPoster.h"
#include "platform/InputSources.h"
#include "session/PeerMessage.h"

#include <array>

namespace {

constexpr uint16_t kKeyCodeTab = 48;
constexpr uint16_t kKeyCodeV = 9;
// Arrows are keys of the numeric pad and function groups.
constexpr uint64_t kFlagsArrow = 0xA00000;

struct Modifier {
    QString name;
    uint64_t flags; // the mask with the left key's device bit
};
const std::array<Modifier, 4> kModifiers{{
    {QStringLiteral("⌥"), 0x80020},
    {QStringLiteral("⌘"), 0x100008},
    {QStringLiteral("SHIFT"), 0x20002},
    {QStringLiteral("CTRL"), 0x40001},
}};
const QString kCapsLock = QStringLiteral("⇪");

struct NamedKey {
    QString name;
    uint16_t keyCode;
    uint64_t flags;
};
// In the order they are looked for: the first whose name occurs wins.
const std::array<NamedKey, 9> kNamedKeys{{
    {QStringLiteral("DEL"), 51, 0},
    {QStringLiteral("TAB"), 48, 0},
    {QStringLiteral("ENTER"), 36, 0},
    {QStringLiteral("↑"), 126, kFlagsArrow},
    {QStringLiteral("↓"), 125, kFlagsArrow},
    {QStringLiteral("←"), 123, kFlagsArrow},
    {QStringLiteral("→"), 124, kFlagsArrow},
    {QStringLiteral("ESC"), 53, 0},
    {QStringLiteral(" "), 49, 0},
}};

// The character each virtual key code types, by position; an underscore marks a code with no
// character of its own.
const QString kUSKeys = QStringLiteral(
    "ASDFHGZXCV_BQWERYT123465=97-80]OU[IP_LJ'K;\\,/NM.__`______________._*_+_____/__-__=01234567_89");
const QString kFrenchKeys = QStringLiteral(
    "QSDFHGWXCV_BAZERYT&É\"'§(-ÇÈ)!À$OU^IP_LJÙKM`;=N,:__<______________:_$_=_____:__-__=01234567_89");
constexpr QChar kNoCharacter = u'_';

// A French keyboard layout, unless it says its hardware keys are laid out as on a US keyboard.
const QString& keyTableFor(const QString& keyboardLayout) {
    const bool french =
        keyboardLayout.startsWith(QStringLiteral("fr")) && !keyboardLayout.endsWith(QStringLiteral("hw=US"));
    return french ? kFrenchKeys : kUSKeys;
}

} // namespace

const QStringList& KeyboardInput::englishSources() {
    static const QStringList sources{
        QStringLiteral("com.apple.keylayout.US"),
        QStringLiteral("com.apple.keylayout.ABC"),
        QStringLiteral("com.apple.keylayout.USInternational-PC"),
        QStringLiteral("com.apple.keylayout.USExtended"),
        QStringLiteral("com.apple.keylayout.British"),
        QStringLiteral("com.apple.keylayout.British-PC"),
        QStringLiteral("com.apple.keylayout.Australian"),
        QStringLiteral("com.apple.keylayout.Canadian"),
        QStringLiteral("com.apple.keylayout.Irish"),
    };
    return sources;
}

KeyboardInput::KeyboardInput(EventPoster& poster, InputSources& inputSources, Clipboard* clipboard,
                             ButtonShortcuts& shortcuts)
    : poster_(poster), inputSources_(inputSources), clipboard_(clipboard), shortcuts_(shortcuts) {}

std::optional<KeyboardInput::Key> KeyboardInput::keyForEvent(const QString& modifiers,
                                                             const QString& inputString,
                                                             const QString& keyboardLayout) {
    if (inputString.isEmpty() || inputString.size() > kMaxKeyInputLength) return std::nullopt;
    Key key;
    for (const Modifier& modifier : kModifiers)
        if (modifiers.contains(modifier.name)) key.flags += modifier.flags;
    if (modifiers.contains(kCapsLock)) key.flags |= EventFlag::kMaskAlphaShift;

    for (const NamedKey& named : kNamedKeys)
        if (inputString.contains(named.name)) {
            key.keyCode = named.keyCode;
            key.flags |= named.flags;
            return key;
        }
    // A key types one character; more than one is the name of a key the table does not know (HOME,
    // F5), which must not become the key of its first letter.
    if (inputString.size() > 2 || (inputString.size() == 2 && !inputString.at(0).isHighSurrogate()))
        return std::nullopt;
    const QString& table = keyTableFor(keyboardLayout);
    for (qsizetype position = 0; position < table.size(); ++position) {
        const QChar c = table.at(position);
        // A code without a character is no match for an underscore typed: that would press a key
        // whose character depends on the layout (the ISO key left of Z, where X puts "<").
        if (c != kNoCharacter && inputString.contains(c)) {
            key.keyCode = uint16_t(position);
            return key;
        }
    }
    return std::nullopt;
}

void KeyboardInput::handleKeyboardEvent(const QVariantMap& event) {
    const QString inputString = PeerMessage::stringValue(event, QStringLiteral("inputString"));
    const std::optional<Key> key =
        keyForEvent(PeerMessage::stringValue(event, QStringLiteral("modifiers")), inputString,
                    PeerMessage::stringValue(event, QStringLiteral("keyboardLayout")));
    if (!key) {
        qCDebug(lcInput) << "no key for the device's key" << inputString.left(kMaxKeyInputLength);
        return;
    }
    shortcuts_.postKeyWithModifiers(key->keyCode, key->flags);
}

void KeyboardInput::handleVirtualKeyboardEvent(const QVariantMap& event) {
    const QString text = PeerMessage::stringValue(event, QStringLiteral("inputString"));
    // Nothing to insert: the user's clipboard stays as it is.
    if (text.isEmpty()) return;
    // Counted as the clipboard carries it; a UTF-8 byte is at most one UTF-16 unit, so only a text
    // that may be too long is converted to count it.
    if (text.size() > kMaxPasteBytes / 3 && text.toUtf8().size() > kMaxPasteBytes) {
        qCWarning(lcInput, "a text of more than %lld bytes from the device's keyboard is not pasted",
                  static_cast<long long>(kMaxPasteBytes));
        return;
    }
    if (pending_.size() >= kMaxPendingPastes) {
        if (!std::exchange(floodLogged_, true))
            qCWarning(lcInput, "the device's keyboard sends text faster than it can be pasted: text dropped");
        return;
    }
    pending_.push_back(text);
    pasteNext();
}

void KeyboardInput::pasteNext() {
    if (pasting_ || pending_.empty()) return;
    pasting_ = true;
    floodLogged_ = false;
    // A blank comes a moment later than the text before it.
    if (pending_.front() == u" ") {
        pasteTimer_ = mainQueue().after(kBlankDelay, [self = lifetime_.guard()] {
            if (!self) return;
            self->pasteTimer_.reset();
            self->paste();
        });
        return;
    }
    paste();
}

void KeyboardInput::paste() {
    const QString text = pending_.front();
    pending_.pop_front();
    const uint64_t serial = ++pasteSerial_;
    const auto taken = [self = lifetime_.guard(), serial] {
        // Read while the paste shortcut is handled; the next text goes in once that is done.
        mainQueue().async([self, serial] {
            if (self && self->pasting_ && self->pasteSerial_ == serial) self->pasteDone();
        });
    };
    if (!clipboard_ || !clipboard_->setText(text, taken)) {
        qCDebug(lcInput, "the clipboard did not take the device's text");
        pasting_ = false;
        pasteNext();
        return;
    }
    pasteTimer_ = mainQueue().after(kPasteReadTimeout, [self = lifetime_.guard()] {
        if (!self) return;
        self->pasteTimer_.reset();
        self->pasteDone();
    });
    shortcuts_.postKeyWithModifiers(shortcuts_.keyCodeForChar(u'v', kKeyCodeV), EventFlag::kMaskCommand);
}

void KeyboardInput::pasteDone() {
    if (pasteTimer_) Clock::shared().cancel(*std::exchange(pasteTimer_, std::nullopt));
    pasting_ = false;
    pasteNext();
}

void KeyboardInput::cancelPendingPastes() {
    pending_.clear();
    if (pasteTimer_) Clock::shared().cancel(*std::exchange(pasteTimer_, std::nullopt));
    pasting_ = false;
    ++pasteSerial_;
}

bool KeyboardInput::isEnglish(const QString& language) {
    static const QStringList kEnglish{QStringLiteral("en-US"), QStringLiteral("en-GB"),
                                      QStringLiteral("en-AU"), QStringLiteral("en-CA"),
                                      QStringLiteral("en-IN"), QStringLiteral("en-SG")};
    return kEnglish.contains(language);
}

void KeyboardInput::handleVirtualKeyboardSourceEvent(const QVariantMap& event) {
    const QString language = PeerMessage::stringValue(event, QStringLiteral("language"));
    const QString current = inputSources_.currentKeyboardInputSourceID();
    if (language == u"ko-KR" && current != kKoreanSource)
        changeInputSource(kLanguageKorean);
    else if (language == u"ja-JP" && current != kJapaneseSource)
        changeInputSource(kLanguageJapanese);
    else if (isEnglish(language) && !englishSources().contains(current))
        changeInputSource(kLanguageEnglish);
}

bool KeyboardInput::changeInputSource(int32_t language) {
    static const QStringList kJapanese{kJapaneseSource}, kKorean{kKoreanSource};
    const QStringList* set = language == kLanguageEnglish    ? &englishSources()
                             : language == kLanguageJapanese ? &kJapanese
                             : language == kLanguageKorean   ? &kKorean
                                                             : nullptr;
    if (!set) return false;
    const QStringList enabled = inputSources_.enabledInputSourceIDs();
    const auto found = std::find_if(set->begin(), set->end(),
                                    [&](const QString& source) { return enabled.contains(source); });
    if (found == set->end()) {
        qCDebug(lcInput) << "no enabled input source for language set" << language;
        return false;
    }
    if (!inputSources_.selectInputSource(*found)) return false;
    if (language == kLanguageEnglish) {
        if (std::exchange(bNeedCommandTap_, false)) roundTripThroughApplications();
    } else {
        roundTripThroughApplications();
        if (language == kLanguageKorean) bNeedCommandTap_ = true;
    }
    return true;
}

void KeyboardInput::roundTripThroughApplications() {
    // Only where the new input method waits for the focus to come back.
    if (!inputSources_.selectionNeedsFocusRoundTrip()) return;
    commandTab();
    commandTab();
}

void KeyboardInput::commandTab() {
    const auto post = [this](int32_t type, uint16_t keyCode, uint64_t flags) {
        Event event;
        event.type = type;
        event.keyCode = keyCode;
        event.flags = flags;
        poster_.post(event, EventTap::kHID);
    };
    post(EventType::kKeyDown, ButtonShortcuts::kKeyCodeCommand, 0);
    post(EventType::kKeyDown, kKeyCodeTab, EventFlag::kMaskCommand);
    post(EventType::kKeyUp, kKeyCodeTab, EventFlag::kMaskCommand);
    post(EventType::kKeyUp, ButtonShortcuts::kKeyCodeCommand, 0);
}
