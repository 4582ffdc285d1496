#include "input/InputFixture.h"

#include <QCoreApplication>

namespace {

// What postKeyWithModifiers lets go after a key whose flags are not exactly one modifier.
const QString kUps = QStringLiteral(" ku55 ku58 ku59 ku56");
const QString kPaste = QStringLiteral("kd47^100000 ku47 ku58 ku59 ku56");
const QString kRoundTrip =
    QStringLiteral("kd55 kd48^100000 ku48^100000 ku55 kd55 kd48^100000 ku48^100000 ku55");

} // namespace

class KeyboardInputTest : public InputTest {
protected:
    // The paste shortcut takes the key of v on the current layout.
    KeyboardInputTest() { inputSources.keys = {{9, "ü"}, {47, "v"}}; }
    void type(const QVariant& text) { input().handleVirtualKeyboardEvent({{"inputString", text}}); }
};

TEST_F(KeyboardInputTest, DeviceKeysArePostedByPositionWithTheirModifiers) {
    const struct {
        QVariant input;
        QString modifiers, layout, posted; // posted: "" for nothing at all
    } cases[] = {
        {"Z", "⌘SHIFT", "", "kd6^12000a ku6" + kUps}, {"ENTER", "", "", "kd36 ku36" + kUps},
        {"↑", "", "", "kd126^a00000 ku126" + kUps},   {"DELETE", "", "", "kd51 ku51" + kUps},
        {"Z", "CTRL", "", "kd6^40001 ku6" + kUps},    {"A", "⇪SHIFT", "", "kd0^30002 ku0" + kUps},
        {"A", "", "fr_FR", "kd12 ku12" + kUps},       {"A", "", "fr_FR@sw=AZERTY;hw=US", "kd0 ku0" + kUps},
        {"É", "", "fr-FR", "kd19 ku19" + kUps},       {"Q", "HYPER", "", "kd12 ku12" + kUps},
    };
    for (const auto& c : cases) {
        input().handleKeyboardEvent(
            {{"inputString", c.input}, {"modifiers", c.modifiers}, {"keyboardLayout", c.layout}});
        EXPECT_EQ(take(), c.posted) << c.input.toString().toStdString() << " " << c.layout.toStdString();
    }
    // Nothing that is a key: lower case, a character the table only marks as missing, names it does not
    // know (not the keys of their first letters), no text, too much, no string.
    for (const QVariant& input : {QVariant("a"), QVariant("_"), QVariant("HOME"), QVariant("AB"),
                                  QVariant(""), QVariant(QString(100000, u'A')), QVariant(42)}) {
        input_->handleKeyboardEvent({{"inputString", input}, {"modifiers", "⌘"}});
        EXPECT_EQ(take(), "") << input.toString().left(8).toStdString();
    }
}

TEST_F(KeyboardInputTest, OnScreenTextIsPastedInOrderOneAtATime) {
    const double blank = KeyboardInput::kBlankDelay, timeout = KeyboardInput::kPasteReadTimeout;
    const QString atLimit = QString(KeyboardInput::kMaxPasteBytes / 3, u'€') + "x";
    const struct {
        std::vector<QVariant> texts;
        std::vector<double> steps; // time passing, or another program reading the clipboard (-1)
        QStringList pasted;
    } cases[] = {
        {{"héllo wörld"}, {}, {"héllo wörld"}},
        {{" "}, {blank - 0.01}, {}},
        {{" ", "b"}, {blank, -1}, {" ", "b"}},
        {{"a", "b", "c"}, {-1, -1}, {"a", "b", "c"}},
        {{"a", "b"}, {timeout - 0.01}, {"a"}},
        {{"a", "b"}, {timeout}, {"a", "b"}},
        {{"", QVariant(), 3}, {}, {}},
        {{QString(KeyboardInput::kMaxPasteBytes / 3 + 1, u'€')}, {}, {}}, // over the limit in UTF-8
        {{atLimit}, {}, {atLimit}},
    };
    for (const auto& c : cases) {
        input().releaseHeldInput();
        clipboard.texts.clear();
        take();
        for (const QVariant& text : c.texts)
            type(text);
        for (const double step : c.steps) {
            step < 0 ? clipboard.read() : clock.advance(step);
            QCoreApplication::processEvents(); // a read is taken in on the next turn
        }
        EXPECT_TRUE(clipboard.texts == c.pasted) << c.texts.front().toString().left(8).toStdString();
        EXPECT_EQ(take(), QStringList(c.pasted.size(), kPaste).join(' '));
    }
}

TEST_F(KeyboardInputTest, PastesThatFailFloodOrOutliveTheLinkLeaveNothingBehind) {
    clipboard.refuse = true;
    type("a");
    clipboard.refuse = false;
    for (size_t i = 0; i < KeyboardInput::kMaxPendingPastes + 10; ++i)
        type("b");
    EXPECT_EQ(input().keyboard().pendingPasteCount(), KeyboardInput::kMaxPendingPastes);
    input().releaseHeldInput();
    EXPECT_EQ(input().keyboard().pendingPasteCount(), 0u);
    clipboard.read(); // a late read of a text from before
    QCoreApplication::processEvents();
    clock.advance(1);
    type("c");
    EXPECT_EQ(clipboard.texts, (QStringList{"b", "c"}));
    EXPECT_EQ(take(), kPaste + " released " + kPaste);
}

TEST_F(KeyboardInputTest, TheInputSourceFollowsTheDeviceKeyboardsLanguage) {
    const QString us = "com.apple.keylayout.US", abc = "com.apple.keylayout.ABC",
                  british = "com.apple.keylayout.British", german = "xkb:de",
                  korean = KeyboardInput::kKoreanSource, japanese = KeyboardInput::kJapaneseSource;
    const struct {
        QStringList enabled;
        std::vector<std::pair<QString, QString>> languages; // language, keys posted after it
        QString finallyCurrent;
    } cases[] = {
        {{abc, german}, {{"en-GB", ""}}, abc},
        {{german, british, us}, {{"en-GB", ""}}, us},
        {{us, korean}, {{"ko-KR", kRoundTrip}, {"ko-KR", ""}, {"en-US", kRoundTrip}}, us},
        {{us, korean, japanese},
         {{"ja-JP", kRoundTrip}, {"en-US", ""}, {"ko-KR", kRoundTrip}, {"ja-JP", kRoundTrip}},
         japanese},
        {{german}, {{"ko-KR", ""}, {"en-US", ""}, {"de-DE", ""}, {"en", ""}}, german},
    };
    for (const auto& c : cases) {
        input_.reset();
        inputSources.enabled = c.enabled;
        inputSources.current = c.enabled.front();
        for (const auto& [language, keys] : c.languages) {
            input().handleVirtualKeyboardSourceEvent({{"language", language}});
            EXPECT_EQ(take(), keys) << c.enabled.join(',').toStdString() << " " << language.toStdString();
        }
        EXPECT_EQ(inputSources.current, c.finallyCurrent);
    }
    // A selection the desktop refuses, or one that needs no round trip, posts nothing.
    inputSources.refuseSelection = true;
    inputSources.enabled = {us, korean};
    inputSources.current = us;
    input().handleVirtualKeyboardSourceEvent({{"language", "ko-KR"}});
    inputSources.refuseSelection = inputSources.needsRoundTrip = false;
    input().handleVirtualKeyboardSourceEvent({{"language", "ko-KR"}});
    EXPECT_EQ(inputSources.current, korean);
    EXPECT_EQ(take(), "");
}
