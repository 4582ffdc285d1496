#include "input/InputFixture.h"

#include <QCoreApplication>

namespace {

// What postKeyWithModifiers lets go after any key whose flags are not exactly one modifier.
const QString kAllModifiersUp = QStringLiteral("ku55 ku58 ku59 ku56");
const QString kCommandTab = QStringLiteral("kd55 kd48^100000 ku48^100000 ku55");
const QString kPaste = QStringLiteral("kd47^100000 ku47 ku58 ku59 ku56");

QVariantMap keyMessage(const QVariant& input, const QString& modifiers = {}, const QString& layout = {}) {
    return {{"eventName", "KeyboardEvent"},
            {"inputString", input},
            {"modifiers", modifiers},
            {"keyboardLayout", layout}};
}
QVariantMap textMessage(const QVariant& text) {
    return {{"eventName", "vKeyboardEvent"}, {"inputString", text}};
}
QVariantMap languageMessage(const QString& language) {
    return {{"eventName", "vKeyboardSourceEvent"}, {"language", language}};
}

} // namespace

class KeyboardInputTest : public InputTest {
protected:
    // The paste shortcut takes the key of v on the current layout.
    KeyboardInputTest() { inputSources.keys = {{9, "ü"}, {47, "v"}}; }
    KeyboardInput& keyboard() { return input().keyboard(); }
};

TEST_F(KeyboardInputTest, DeviceKeysArePostedByPositionWithTheirModifiers) {
    const struct {
        QVariant input;
        QString modifiers, layout;
        QString posted; // "" for nothing at all
    } cases[] = {
        {"Z", "⌘SHIFT", "", "kd6^12000a ku6 " + kAllModifiersUp},
        {"ENTER", "", "", "kd36 ku36 " + kAllModifiersUp},
        {"↑", "", "", "kd126^a00000 ku126 " + kAllModifiersUp},
        {"→", "⌥", "", "kd124^a80020 ku124 " + kAllModifiersUp},
        {"DELETE", "", "", "kd51 ku51 " + kAllModifiersUp}, // a name inside a longer one
        {" ", "", "", "kd49 ku49 " + kAllModifiersUp},
        {"Z", "CTRL", "", "kd6^40001 ku6 " + kAllModifiersUp},
        {"A", "⇪SHIFT", "", "kd0^30002 ku0 " + kAllModifiersUp},
        // A French keyboard's keys sit elsewhere, unless its hardware is a US one.
        {"A", "", "fr_FR", "kd12 ku12 " + kAllModifiersUp},
        {"A", "", "fr_FR@sw=AZERTY;hw=US", "kd0 ku0 " + kAllModifiersUp},
        {"É", "", "fr-FR", "kd19 ku19 " + kAllModifiersUp},
        {"É", "", "en_US", ""},
        {"9", "", "", "kd25 ku25 " + kAllModifiersUp},
        // Names of keys not in the table are not the keys of their letters.
        {"HOME", "", "", ""},
        {"F5", "", "", ""},
        {"AB", "", "", ""},
        {"😀", "", "", ""},
        // Modifiers not known add nothing; the key still goes.
        {"Q", "HYPER FN", "", "kd12 ku12 " + kAllModifiersUp},
        // Nothing that is a key.
        {"a", "⌘", "", ""},
        {"_", "", "", ""},
        {"", "⌘", "", ""},
        {QString(100000, u'A'), "", "", ""},
        {42, "", "", ""},
        {QVariant(), "SHIFT", "", ""},
    };
    for (const auto& c : cases) {
        input().handleKeyboardEvent(keyMessage(c.input, c.modifiers, c.layout));
        EXPECT_EQ(take(), c.posted) << c.input.toString().left(10).toStdString() << " "
                                    << c.layout.toStdString();
    }
}

TEST_F(KeyboardInputTest, OnScreenTextIsPastedInOrderOneAtATime) {
    const double blank = KeyboardInput::kBlankDelay, timeout = KeyboardInput::kPasteReadTimeout;
    const QString atLimit = QString(KeyboardInput::kMaxPasteBytes / 3, u'€') + "x";
    const struct {
        const char* what;
        std::vector<QVariant> texts;
        // After the texts come: time passes (seconds) or another program reads the clipboard (-1).
        std::vector<double> steps;
        QStringList pasted;
        int pastes;
    } cases[] = {
        {"a word", {"héllo wörld"}, {}, {"héllo wörld"}, 1},
        {"a blank waits first", {" "}, {blank - 0.01}, {}, 0},
        {"a blank after its wait", {" "}, {blank}, {" "}, 1},
        {"text behind a blank keeps its place", {" ", "b"}, {blank, -1}, {" ", "b"}, 2},
        {"the next waits for the read", {"a", "b", "c"}, {-1, -1}, {"a", "b", "c"}, 3},
        {"or for the timeout", {"a", "b"}, {timeout - 0.01}, {"a"}, 1},
        {"after the timeout", {"a", "b"}, {timeout}, {"a", "b"}, 2},
        {"nothing to paste", {"", QVariant(), 3}, {}, {}, 0},
        {"over the limit", {QString(KeyboardInput::kMaxPasteBytes + 1, u'x')}, {}, {}, 0},
        // Fewer characters than bytes: counted as UTF-8.
        {"over the limit in UTF-8", {QString(KeyboardInput::kMaxPasteBytes / 3 + 1, u'€')}, {}, {}, 0},
        {"at the limit", {atLimit}, {}, {atLimit}, 1},
    };
    for (const auto& c : cases) {
        input().releaseHeldInput();
        clipboard.texts.clear();
        take();
        for (const QVariant& text : c.texts)
            input().handleVirtualKeyboardEvent(textMessage(text));
        for (const double step : c.steps) {
            if (step < 0)
                clipboard.read();
            else
                clock.advance(step);
            QCoreApplication::processEvents(); // the read is taken in on the next turn
        }
        EXPECT_TRUE(clipboard.texts == c.pasted) << c.what;
        QStringList keys;
        for (int i = 0; i < c.pastes; ++i)
            keys << kPaste;
        EXPECT_EQ(take(), keys.join(' ')) << c.what;
    }
}

TEST_F(KeyboardInputTest, PastesFailOrEndWithoutLeavingWorkBehind) {
    // A clipboard that refuses: no paste shortcut, and the next text is not held up.
    clipboard.refuse = true;
    input().handleVirtualKeyboardEvent(textMessage("a"));
    EXPECT_EQ(take(), "");
    clipboard.refuse = false;
    input().handleVirtualKeyboardEvent(textMessage("b"));
    EXPECT_EQ(clipboard.texts, QStringList{"b"});
    EXPECT_EQ(take(), kPaste);

    // A flood while nobody reads is bounded; the link's end drops what waits, and a late read of a
    // text from before changes nothing.
    for (size_t i = 0; i < KeyboardInput::kMaxPendingPastes + 10; ++i)
        input().handleVirtualKeyboardEvent(textMessage("x"));
    EXPECT_EQ(keyboard().pendingPasteCount(), KeyboardInput::kMaxPendingPastes);
    input().releaseHeldInput();
    EXPECT_EQ(keyboard().pendingPasteCount(), 0u);
    clipboard.read();
    QCoreApplication::processEvents();
    clock.advance(1);
    EXPECT_EQ(clipboard.texts, QStringList{"b"});
    take();
    // Pasting starts afresh.
    input().handleVirtualKeyboardEvent(textMessage("c"));
    EXPECT_EQ(clipboard.texts, (QStringList{"b", "c"}));
    EXPECT_EQ(take(), kPaste);
}

TEST_F(KeyboardInputTest, TheInputSourceFollowsTheDeviceKeyboardsLanguage) {
    const QString us = "com.apple.keylayout.US", abc = "com.apple.keylayout.ABC",
                  british = "com.apple.keylayout.British", german = "com.apple.keylayout.German",
                  korean = KeyboardInput::kKoreanSource, japanese = KeyboardInput::kJapaneseSource;
    const QString roundTrip = kCommandTab + " " + kCommandTab;
    const struct {
        const char* what;
        QStringList enabled;
        QString current;
        std::vector<std::pair<QString, QString>> languages; // language, keys posted after it
        QString finallyCurrent;
    } cases[] = {
        {"English while English", {abc, german}, abc, {{"en-GB", ""}}, abc},
        {"English while German", {german, british, us}, german, {{"en-GB", ""}}, us},
        {"Korean and back", {us, korean}, us, {{"ko-KR", roundTrip}, {"en-US", roundTrip}}, us},
        {"Korean twice", {us, korean}, us, {{"ko-KR", roundTrip}, {"ko-KR", ""}}, korean},
        {"Japanese and back", {us, japanese}, us, {{"ja-JP", roundTrip}, {"en-US", ""}}, us},
        {"Korean, Japanese, English",
         {us, korean, japanese},
         us,
         {{"ko-KR", roundTrip}, {"ja-JP", roundTrip}, {"en-AU", roundTrip}},
         us},
        {"no Korean source", {us}, us, {{"ko-KR", ""}}, us},
        {"no English source", {german}, german, {{"en-US", ""}}, german},
        {"a language not followed", {us, german}, us, {{"de-DE", ""}, {"en", ""}, {"", ""}}, us},
    };
    for (const auto& c : cases) {
        input_.reset();
        inputSources.enabled = c.enabled;
        inputSources.current = c.current;
        for (const auto& [language, keys] : c.languages) {
            input().handleVirtualKeyboardSourceEvent(languageMessage(language));
            EXPECT_EQ(take(), keys) << c.what << " " << language.toStdString();
        }
        EXPECT_EQ(inputSources.current, c.finallyCurrent) << c.what;
    }
}

TEST_F(KeyboardInputTest, ASelectionThatFailsOrNeedsNoRoundTripPostsNothing) {
    const QString korean = KeyboardInput::kKoreanSource;
    inputSources.enabled = {korean};
    for (const auto& [refuse, roundTrip, answer] : {std::tuple{true, true, false}, {false, false, true}}) {
        input_.reset();
        inputSources.current.clear();
        inputSources.refuseSelection = refuse;
        inputSources.needsRoundTrip = roundTrip;
        EXPECT_EQ(keyboard().changeInputSource(KeyboardInput::kLanguageKorean), answer);
        EXPECT_EQ(keyboard().bNeedCommandTap(), answer);
        EXPECT_EQ(take(), "");
    }
    EXPECT_FALSE(keyboard().changeInputSource(0));
    EXPECT_FALSE(keyboard().changeInputSource(4));
}
