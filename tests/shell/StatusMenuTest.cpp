#include "shell/StatusMenu.h"
#include "fakes/TestSupport.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QWidgetAction>
#include <gtest/gtest.h>

namespace {

const QString kHead = QStringLiteral("Zub Pad 1.0.0");

StylusInfo pencil(int32_t status, int64_t battery, const QString& name = QStringLiteral("Apple Pencil")) {
    StylusInfo stylus;
    stylus.status = status;
    stylus.batteryLevel = battery;
    stylus.name = name;
    return stylus;
}

MenuState unplugged() {
    return {};
}

MenuState waiting() {
    MenuState state;
    state.bUSBAttached = true;
    return state;
}

MenuState linked(const QVariantMap& info = {{"name", "Anna's iPad"}, {"hardwareString", "iPad6,11"}},
                 StylusInfo stylus = {}) {
    MenuState state;
    state.bUSBAttached = state.bUSBConnected = state.connected = true;
    state.deviceInfo = info;
    state.stylus = stylus;
    state.resolutions = {{{"1366 x 1024", 1, true}, {.on = true}},
                         {{"1366 x 1024 (Retina)", 2, false}, {.heavy = true}}};
    state.videoCaptureFPS = 60.0;
    state.systemCursorSupported = true;
    return state;
}

// One line per item: its title, then " *" when ticked and " (off)" when disabled; a submenu follows
// its title as "> {item | item}"; hidden items are left out, separators are "-".
QString describe(QAction* item);

QString describe(QMenu* menu) {
    QStringList items;
    for (QAction* item : menu->actions())
        if (item->isVisible()) items << describe(item);
    return items.join(QStringLiteral(" | "));
}

QString describe(QAction* item) {
    if (item->isSeparator()) return QStringLiteral("-");
    QString text = item->text().replace(QLatin1Char('\n'), QStringLiteral(" / "));
    if (item->isChecked()) text += QStringLiteral(" *");
    if (!item->isEnabled() && !qobject_cast<QWidgetAction*>(item)) text += QStringLiteral(" (off)");
    if (item->menu()) text += QStringLiteral(" > {%1}").arg(describe(item->menu()));
    return text;
}

class StatusMenuTest : public ::testing::Test {
protected:
    StatusMenuTest() {
        actions.quit = [this] { log << "quit"; };
        actions.checkForUpdates = [this] { log << "checkForUpdates"; };
        actions.aboutTheApp = [this] { log << "about"; };
        actions.uninstall = [this] { log << "uninstall"; };
        actions.setupStylus = [this] { log << "setupStylus"; };
        actions.launchAtLogin = [this] { log << "launchAtLogin"; };
        actions.autoUpdateApp = [this] { log << "autoUpdateApp"; };
        actions.useSystemCursor = [this] { log << "useSystemCursor"; };
        actions.enableTouchBar = [this] { log << "enableTouchBar"; };
        actions.launchDisplaySettings = [this] { log << "displaySettings"; };
        actions.howToEnablePressure = [this] { log << "pressureHelp"; };
        actions.changeResolutionSelected = [this](int32_t tag) {
            log << QStringLiteral("resolution:%1").arg(tag);
        };
        actions.setFrameRate = [this](int32_t tag) { log << QStringLiteral("fps:%1").arg(tag); };
    }

    StatusMenu& build() {
        menu = std::make_unique<StatusMenu>([this] { return state; }, actions);
        menu->setupMenu();
        return *menu;
    }
    // The menu as it shows after opening, with Preferences highlighted once.
    QString opened() {
        menu->menuWillOpen();
        menu->menuWillHighlightItem(menu->preferencesItem());
        return describe(menu->menu());
    }
    QAction* find(QMenu* in, const QString& title) {
        for (QAction* item : in->actions())
            if (item->text() == title) return item;
        return nullptr;
    }

    MenuState state;
    StatusMenu::Actions actions;
    QStringList log;
    std::unique_ptr<StatusMenu> menu;
};

TEST(StatusLine, FollowsTheLinkAndTheStylus) {
    MenuState daemonDown;
    daemonDown.usbmuxdRunning = false;
    MenuState noUinput = waiting();
    noUinput.pressureAvailable = false;
    MenuState tooOld = linked();
    tooOld.bNotSupportedVersion = true;
    const QString connected = QStringLiteral("'Anna's iPad' is connected");
    const struct {
        const char* name;
        MenuState state;
        QStringList lines;
        int spacing;
    } cases[] = {
        {"unplugged", unplugged(), {kHead, "(No tablet plugged in)"}, 4},
        {"no daemon", daemonDown, {kHead, "(usbmuxd is not running)"}, 4},
        {"waiting", waiting(), {kHead, "(Waiting for the Zub Pad app)"}, 4},
        {"no uinput",
         noUinput,
         {kHead, "(Waiting for the Zub Pad app)", "Pressure and tilt off: /dev/uinput is not writable"},
         4},
        {"linked", linked(), {kHead, connected}, 4},
        {"paired",
         linked({{"name", "Anna's iPad"}}, pencil(1, 0)),
         {kHead, connected, "Apple Pencil is paired"},
         5},
        {"battery",
         linked({{"name", "Anna's iPad"}}, pencil(1, 80)),
         {kHead, connected, "Apple Pencil (Battery: 80%)"},
         5},
        {"battery beyond",
         linked({{"name", "Anna's iPad"}}, pencil(1, 250)),
         {kHead, connected, "Apple Pencil (Battery: 100%)"},
         5},
        {"placeholder in the name",
         linked({{"name", "%1 Pad"}}, pencil(1, 9, "Pen %1%2")),
         {kHead, "'%1 Pad' is connected", "Pen %1%2 (Battery: 9%)"},
         5},
        {"nameless stylus",
         linked({{"name", "Anna's iPad"}}, pencil(1, 0, "\n\u202E")),
         {kHead, connected, "Stylus is paired"},
         5},
        {"nameless device", linked({{"hardwareString", "iPhone10,3"}}), {kHead, "'iPhone' is connected"}, 4},
        {"hostile device",
         linked({{"name", "Bob\n\u202Egnp.exe" + QString(QChar(0)) + "\t  X" + QString(10000, 'y')}}),
         {kHead, "'Bob gnp.exe X" + QString(27, 'y') + QChar(0x2026) + "' is connected"},
         4},
        {"unsupported", tooOld, {"Zub Pad"}, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(StatusMenu::statusLineText(c.state), c.lines);
        StatusMenu menu([&] { return c.state; }, {});
        menu.setupMenu();
        menu.menuWillOpen();
        EXPECT_EQ(menu.statusLines(), c.lines);
        EXPECT_EQ(menu.statusLineSpacing(), c.spacing);
    }
}

TEST(StatusLine, NamesAreCutAndCleanedForOneLine) {
    const QString face = QString::fromUtf8("\xF0\x9F\x98\x80"); // outside the basic plane: two UTF-16 units
    const struct {
        QString in;
        int max;
        QString out;
    } cases[] = {
        {"Anna's iPad", 40, "Anna's iPad"},
        {"  two\r\nlines \u2028 here ", 40, "two lines here"},
        {"\u202Eevil\u202C\u200F\u2066x\u2069", 40, "evilx"},
        {"a\u0007b\u001Bc\u007Fd\u0085e", 40, "abcd e"},
        {"12345", 5, "12345"},
        {"123456", 5, "12345" + QString(QChar(0x2026))},
        {"1234 6", 5, "1234" + QString(QChar(0x2026))},
        {QString(10000, 'x'), 40, QString(40, 'x') + QChar(0x2026)},
        {QString(10000, '\n'), 40, ""},
        {"ab" + face + face, 3, "ab" + face + QChar(0x2026)},
        {"a" + QString(QChar(0xD83D)) + "b" + QString(QChar(0xDE00)), 40, "ab"},
        {"", 40, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in.left(20).toStdString());
        EXPECT_EQ(StatusMenu::menuSafeText(c.in, c.max), c.out);
    }
}

TEST_F(StatusMenuTest, ItemByItemForEachLinkState) {
    MenuState extended = linked();
    extended.mirrorMode = false;
    MenuState ready = linked({{"name", "Anna's iPad"}, {"hardwareString", "iPad6,11"}}, pencil(1, 55));
    ready.launchAtLogin = ready.autoUpdateApp = ready.useSystemCursor = true;
    ready.systemCursorSupported = false;
    ready.videoCaptureFPS = 30.0;
    ready.newVersion = "2.0";
    ready.touchBarSupported = ready.enableTouchBar = true;

    const QString tail = "- | Check for Updates... | About Zub Pad | Uninstall | - | Quit";
    const QString prefs = "Preferences > {Set Up Stylus on iPad | Start at Login | Update Automatically | "
                          "Show the Desktop Cursor on the Tablet}";
    const QString submenus =
        "Resolution > {1366 x 1024 * | 1366 x 1024 (Retina) (off) | - | Display Settings...} | "
        "Frame Rate > {30 frames per second | 60 frames per second *}";
    const struct {
        const char* name;
        MenuState state;
        QString menu;
    } cases[] = {
        {"unplugged", unplugged(),
         kHead +
             " / (No tablet plugged in) | - | Preferences > {Set Up Stylus on iPad (off) | Start at Login | "
             "Update Automatically | Show the Desktop Cursor on the Tablet (off)} | " +
             tail},
        {"linked", linked(),
         kHead + " / 'Anna's iPad' is connected | - | " + submenus + " | " + prefs + " | " + tail},
        {"extended mode", extended, kHead + " / 'Anna's iPad' is connected | - | " + prefs + " | " + tail},
        {"stylus, options on, old protocol", ready,
         kHead +
             " / 'Anna's iPad' is connected / Apple Pencil (Battery: 55%) | - | Resolution > {1366 x 1024 * "
             "| "
             "1366 x 1024 (Retina) (off) | - | Display Settings...} | Frame Rate > {30 frames per second * | "
             "60 frames per second} | Preferences > {Set Up Stylus on iPad (off) | Start at Login * | Update "
             "Automatically * | Show the Desktop Cursor on the Tablet * (off) | Show the Touch Bar *} | - | "
             "Check for Updates... "
             "(new "
             "version) | About Zub Pad | Uninstall | - | Quit"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        state = c.state;
        build();
        EXPECT_EQ(opened(), c.menu);
    }

    // The stylus item names the device's kind and is open only to a pencil that does not pair itself.
    const struct {
        QVariantMap info;
        const char* item;
    } stylusCases[] = {
        {{{"hardwareString", "iPad8,1"}}, "Set Up Stylus on iPad (off)"},
        {{{"hardwareString", "iPad8,1"}, {"supportApplePencil", false}}, "Set Up Stylus on iPad"},
        {{{"hardwareString", "iPhone10,3"}, {"supportApplePencil", true}}, "Set Up Stylus on iPhone (off)"},
        {{{"hardwareString", "iPod7,1"}}, "Set Up Stylus on iPod"},
    };
    for (const auto& c : stylusCases) {
        state = linked(c.info);
        build();
        opened();
        EXPECT_EQ(describe(menu->preferencesItem()->menu()->actions().front()), c.item);
    }
}

// Reopening rebuilds the dynamic submenus instead of piling them up, and a device that goes takes
// them along; a closed menu is left alone.
TEST_F(StatusMenuTest, SubmenusAreRebuiltOnEveryOpeningAndOnlyWhileOpen) {
    state = linked();
    build();
    const QString first = opened();
    menu->menuDidClose();
    EXPECT_EQ(opened(), first);
    state = unplugged();
    menu->updateMenu(false);
    EXPECT_EQ(find(menu->menu(), "Resolution"), nullptr);
    menu->menuDidClose();
    state = linked();
    menu->updateMenu(false);
    EXPECT_EQ(menu->statusLines(), (QStringList{kHead, "(No tablet plugged in)"}));
    EXPECT_EQ(find(menu->menu(), "Resolution"), nullptr);
    EXPECT_FALSE(menu->bMenuOpen());
}

TEST_F(StatusMenuTest, ItemsCallTheirActionsAndTheTicksFollowTheState) {
    state = linked();
    state.pressureAvailable = false;
    build();
    opened();
    QMenu* root = menu->menu();
    QMenu* resolution = find(root, "Resolution")->menu();
    QMenu* frameRate = find(root, "Frame Rate")->menu();
    QMenu* prefs = menu->preferencesItem()->menu();
    for (const char* title :
         {"How to enable pressure...", "Check for Updates...", "About Zub Pad", "Uninstall", "Quit"})
        find(root, title)->trigger();
    for (const char* title : {"1366 x 1024", "1366 x 1024 (Retina)", "Display Settings..."})
        find(resolution, title)->trigger();
    for (const char* title : {"30 frames per second", "60 frames per second"})
        find(frameRate, title)->trigger();
    for (const char* title : {"Set Up Stylus on iPad", "Start at Login", "Update Automatically",
                              "Show the Desktop Cursor on the Tablet"})
        find(prefs, title)->trigger();
    EXPECT_EQ(log, (QStringList{"pressureHelp", "checkForUpdates", "about", "uninstall", "quit",
                                "resolution:1", "displaySettings", "fps:30", "fps:60", "setupStylus",
                                "launchAtLogin", "autoUpdateApp", "useSystemCursor"}));

    // A submenu about to show takes the state of that moment, whatever the clicks did to the ticks.
    state.videoCaptureFPS = 30.0;
    state.resolutions = {{{"1366 x 1024", 1, true}, {}},
                         {{"1366 x 1024 (Retina)", 2, false}, {.on = true, .heavy = true}}};
    state.launchAtLogin = true;
    for (QMenu* submenu : {resolution, frameRate, prefs})
        menu->menuWillHighlightItem(submenu->menuAction());
    EXPECT_EQ(describe(frameRate), "30 frames per second * | 60 frames per second");
    EXPECT_EQ(describe(resolution), "1366 x 1024 | 1366 x 1024 (Retina) * (off) | - | Display Settings...");
    EXPECT_EQ(describe(prefs), "Set Up Stylus on iPad | Start at Login * | Update Automatically | "
                               "Show the Desktop Cursor on the Tablet");
    EXPECT_TRUE(find(resolution, "1366 x 1024 (Retina)")->font().italic());
    EXPECT_FALSE(find(resolution, "1366 x 1024")->font().italic());
}

// Without an updater, an uninstaller or a login item those items are not offered or stay off; a device
// name is shown as text, never as markup.
TEST_F(StatusMenuTest, MissingPartsAndMarkupInNames) {
    actions.checkForUpdates = actions.uninstall = actions.launchAtLogin = actions.autoUpdateApp = nullptr;
    state = linked({{"name", "<b>Tom</b> & Jerry"}});
    build();
    EXPECT_TRUE(
        opened().endsWith("Start at Login (off) | Update Automatically (off) | Show the Desktop Cursor on "
                          "the Tablet} | - | About Zub Pad | - | Quit"));
    auto* line = qobject_cast<QWidgetAction*>(menu->statusLineItem());
    const QString html = qobject_cast<QLabel*>(line->defaultWidget())->text();
    EXPECT_TRUE(html.contains("&lt;b&gt;Tom&lt;/b&gt; &amp; Jerry")) << html.toStdString();
}

} // namespace
