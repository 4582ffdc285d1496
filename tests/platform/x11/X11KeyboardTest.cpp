// The device's keys, text and keyboard language on a real X server: an Xvfb of the test's own, layouts
// switched with setxkbmap, and scribble's line of text as the X client that receives keys and pastes.
//
// The clipboard must belong to a program on that server, so the checks run in a child of this test
// whose toolkit is connected to it (the outer test only starts the server and waits for the child).
#include "base/UserDefaults.h"
#include "input/ButtonShortcuts.h"
#include "input/InputHooks.h"
#include "input/KeyboardInput.h"
#include "platform/linux/QtClipboard.h"
#include "platform/x11/X11DisplayServices.h"
#include "platform/x11/X11EventPoster.h"
#include "platform/x11/X11InputSources.h"
#include "platform/x11/XConnection.h"

#include "fakes/ChildProcess.h"
#include "fakes/FakeDesktop.h"
#include "fakes/PrivateXvfb.h"
#include "fakes/TestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <gtest/gtest.h>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>

namespace {

const char* const kInner = "ZUB_KEYBOARD_INNER";
using Strings = std::vector<std::string>;

bool anyKeyDownOrLocked(Display* dpy) {
    char keys[32] = {};
    XQueryKeymap(dpy, keys);
    XkbStateRec state{};
    XkbGetState(dpy, XkbUseCoreKbd, &state);
    return state.locked_mods || std::any_of(std::begin(keys), std::end(keys), [](char c) { return c; });
}

// scribble's log: the keys other than modifiers ("Control+z"), and the line's text after the last change.
struct ScribbleLog {
    Strings keys;
    QString text;
    bool ready = false;
    explicit ScribbleLog(const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) return;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            ready |= o.value("type") == "ready";
            if (o.value("type") == "text") text = o.value("text").toString();
            QStringList key;
            for (const QJsonValue& m : o.value("modifiers").toArray())
                key << m.toString();
            key << o.value("keysym").toString();
            if (o.value("type") == "key" &&
                !QRegularExpression("^(Control|Shift|Alt|Meta|ISO)_").match(key.last()).hasMatch())
                keys.push_back(key.join('+').toStdString());
        }
    }
};

} // namespace

TEST(X11Keyboard, DeviceKeysTextAndLanguageReachAnXClient) {
    if (qEnvironmentVariableIsSet(kInner)) GTEST_SKIP() << "the child runs the checks";
    PrivateXvfb xvfb(1366, 1024);
    if (!xvfb.running()) GTEST_SKIP() << xvfb.failure().toStdString();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DISPLAY", xvfb.displayName());
    env.insert("QT_QPA_PLATFORM", "xcb");
    env.insert(kInner, "1");
    // Qt's X11 plugin reads the keymap through libxkbcommon-x11, whose strndup of counted atom names
    // (not terminated) strict string checks take for an overflow: not ours to mend.
    env.insert("ASAN_OPTIONS",
               env.value("ASAN_OPTIONS").replace("strict_string_checks=1", "strict_string_checks=0"));
    ChildProcess inner(QStringLiteral("x11_keyboard_tests"), {"--gtest_filter=X11KeyboardInner.*"}, env);
    ASSERT_TRUE(inner.started());
    const std::optional<int> status = inner.waitForExit(240000);
    EXPECT_EQ(status, 0) << inner.transcript().toStdString();
    EXPECT_TRUE(inner.transcript().contains("[  PASSED  ] 1 test")) << inner.transcript().toStdString();
}

TEST(X11KeyboardInner, Checks) {
    if (!qEnvironmentVariableIsSet(kInner)) GTEST_SKIP() << "runs in the child of X11Keyboard";
    const QString name = qEnvironmentVariable("DISPLAY");
    Display* dpy = openXDisplay(name);
    ASSERT_NE(dpy, nullptr);
    const auto closeDisplay = qScopeGuard([dpy] { XCloseDisplay(dpy); });
    const auto services = X11DisplayServices::open(name);
    ASSERT_TRUE(services);
    const auto poster = X11EventPoster::open(*services, nullptr, name);
    ASSERT_TRUE(poster);
    X11InputSources sources(name);
    FakeWorkspace workspace;
    UserDefaults defaults(tempPath(QStringLiteral("keyboard-defaults/zubpad.plist")));
    const InputHooks hooks;
    QtClipboard clipboard;
    ButtonShortcuts shortcuts(*poster, sources, workspace, defaults, hooks);
    KeyboardInput keyboard(*poster, sources, &clipboard, shortcuts);

    const QString events = freshTempPath(QStringLiteral("scribble-keys-"));
    ChildProcess scribble(QStringLiteral("scribble"), {"--events", events});
    ASSERT_TRUE(waitUntil([&] { return ScribbleLog(events).ready; }, 30000))
        << scribble.transcript().toStdString();
    size_t seen = 0;
    // The keys that arrived since the last look.
    const auto arrived = [&](size_t count) {
        waitUntil([&] { return ScribbleLog(events).keys.size() >= seen + count; });
        spinEventLoop(50);
        const Strings keys = ScribbleLog(events).keys;
        const Strings news(keys.begin() + std::min(seen, keys.size()), keys.end());
        seen = keys.size();
        return news;
    };

    // Keys go by position: the layout in use says what they type, as with a keyboard plugged in; a
    // language picks the configured layout of that language, and keys then type in it.
    const struct {
        const char* layouts;
        QString language;                              // none: no change
        std::vector<std::pair<QString, QString>> keys; // input, modifiers
        Strings typed;
        QString source;
    } cases[] = {
        {"us",
         "",
         {{"Z", ""}, {"Z", "⌘"}, {"A", "SHIFT"}, {"ENTER", ""}, {"↑", "⌥"}, {"B", "⇪"}, {"2", "⇪"}},
         {"z", "Control+z", "Shift+A", "Return", "Alt+Up", "B", "2"},
         "com.apple.keylayout.US"},
        {"de",
         "",
         {{"Z", ""}, {"Y", ""}, {"Z", "⌘"}, {";", ""}},
         {"y", "z", "Control+y", "odiaeresis"},
         "xkb:de"},
        {"de,us", "en-US", {{"Z", ""}}, {"z"}, "com.apple.keylayout.US"},
        {"us,kr", "ko-KR", {}, {}, KeyboardInput::kKoreanSource},
        {"gb,de", "en-US", {}, {}, "com.apple.keylayout.British"},
        {"de,us", "ja-JP", {{"Z", ""}}, {"y"}, "xkb:de"},
        {"fr,de", "en-GB", {{"Q", ""}}, {"a"}, "xkb:fr"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(QProcess::execute("setxkbmap", {"-display", name, c.layouts}), 0) << c.layouts;
        if (!c.language.isEmpty()) keyboard.handleVirtualKeyboardSourceEvent({{"language", c.language}});
        EXPECT_EQ(sources.currentKeyboardInputSourceID(), c.source) << c.layouts;
        for (const auto& [input, modifiers] : c.keys)
            keyboard.handleKeyboardEvent({{"inputString", input}, {"modifiers", modifiers}});
        EXPECT_EQ(arrived(c.typed.size()), c.typed) << c.layouts;
        EXPECT_FALSE(anyKeyDownOrLocked(dpy)) << c.layouts;
    }

    // Text from the on-screen keyboard comes through the clipboard this process serves.
    for (const QString part : {" Grüße,", " ", "世界, привет"})
        keyboard.handleVirtualKeyboardEvent({{"inputString", part}});
    EXPECT_TRUE(waitUntil([&] { return ScribbleLog(events).text.endsWith(" Grüße, 世界, привет"); }, 10000))
        << ScribbleLog(events).text.toStdString();
    EXPECT_FALSE(anyKeyDownOrLocked(dpy));
    QProcess::execute("setxkbmap", {"-display", name, "us"});
}
