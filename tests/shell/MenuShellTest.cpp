#include "shell/ShellFixture.h"

#include <QAction>
#include <QMenu>

using MenuShellTest = ShellTest;

namespace {

QVariant stored(UserDefaults& defaults, const char* key) {
    return defaults.objectForKey(QString::fromLatin1(key));
}

} // namespace

// Each toggle flips the stored choice, keeps it across launches and tells the part it concerns; the
// login item is changed off the main thread, and the last of two quick flips is what stays.
TEST_F(MenuShellTest, PreferenceTogglesStoreAndApplyTheirChoice) {
    launch();
    auto peer = introducedDevice();
    log.clear();
    delegate->autoUpdateApp();
    delegate->autoUpdateApp();
    delegate->useSystemCursor();
    EXPECT_TRUE(delegate->captureController()->usesSystemCursor());
    delegate->launchAtLogin();
    delegate->launchAtLogin();
    delegate->launchAtLogin();
    delegate->settings().waitForBackgroundWork();
    EXPECT_EQ(stored(defaults, "autoUpdateApp"), QVariant(qlonglong(0)));
    EXPECT_EQ(stored(defaults, "useSystemCursor"), QVariant(qlonglong(1)));
    EXPECT_EQ(stored(defaults, "launchAtLogin"), QVariant(qlonglong(1)));
    const QStringList updates{"checkForUpdatesInBackground", "setAutoUpdateConfig", "setAutoUpdateConfig"};
    EXPECT_EQ(log.mid(0, 3), updates);
    EXPECT_EQ(log.mid(3), (QStringList{"setLaunchAtLogin:1", "setLaunchAtLogin:0", "setLaunchAtLogin:1"}));

    // The menu shows what was stored, and a new start reads it back.
    const MenuState state = delegate->menuState();
    EXPECT_TRUE(state.useSystemCursor && state.launchAtLogin && !state.autoUpdateApp);
    recorded.loginItem = true;
    peer.reset();
    launch();
    delegate->settings().waitForBackgroundWork();
    EXPECT_TRUE(delegate->settings().useSystemCursor());
    EXPECT_TRUE(delegate->settings().launchAtLogin());
}

// The menu's picture of a real session: nothing, then a device linked in mirror mode, with the
// system cursor choice open to protocol 1.0.2 and later only.
TEST_F(MenuShellTest, MenuStateFollowsTheSession) {
    launch();
    MenuState state = delegate->menuState();
    EXPECT_FALSE(state.connected || state.bUSBConnected || state.bUSBAttached);
    EXPECT_TRUE(state.usbmuxdRunning);
    EXPECT_TRUE(state.pressureAvailable);
    for (const auto& [protocol, supported] : {std::pair{"1.0.1", false}, std::pair{"1.0.2", true}}) {
        SCOPED_TRACE(protocol);
        launch();
        auto peer = introducedDevice(
            {{"protocolVersion", protocol}, {"hardwareString", "iPad7,3"}, {"name", "Slate"}});
        state = delegate->menuState();
        EXPECT_TRUE(state.connected && state.bUSBConnected && state.mirrorMode);
        EXPECT_EQ(state.systemCursorSupported, supported);
        EXPECT_EQ(StatusMenu::statusLineText(state).value(1), "'Slate' is connected");
    }
}

TEST_F(MenuShellTest, UninstallAsksFirstAndAboutOpensTheSite) {
    launch();
    for (int answer : {Alerts::kFirstButtonReturn + 1, Alerts::kFirstButtonReturn}) {
        alerts.answers = {answer};
        delegate->uninstall();
    }
    ASSERT_EQ(alerts.shown.size(), 2u);
    EXPECT_EQ(alerts.shown[0].messageText, "Uninstall Zub Pad?");
    EXPECT_EQ(alerts.shown[0].buttons, (QStringList{"Uninstall", "Cancel"}));
    EXPECT_EQ(log.count("uninstall"), 1);
    delegate->aboutTheApp();
    delegate->howToEnablePressure();
    EXPECT_EQ(workspace.openedURLs,
              (std::vector<QUrl>{QUrl("https://zubpad.app/"), QUrl("https://zubpad.app/readme#pressure")}));
}

// Screen recording granted after a start without it: opening the menu says a restart is needed and
// quits; still missing, it asks for the permission again.
TEST_F(MenuShellTest, OpeningTheMenuAfterTheGrantAsksForARestart) {
    permissions.granted = false;
    defaults.setBool(false, "srAlertShown");
    launch();
    QMenu* menu = delegate->statusItem().menu();
    alerts.answers = {Alerts::kFirstButtonReturn + 1};
    QMetaObject::invokeMethod(menu, "aboutToShow");
    spinEventLoop(20);
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].messageText, "Zub Pad needs to record the screen");
    EXPECT_EQ(exits, std::vector<int>{0});
    exits.clear();
    permissions.granted = true;
    QMetaObject::invokeMethod(menu, "aboutToShow");
    spinEventLoop(20);
    ASSERT_EQ(alerts.shown.size(), 2u);
    EXPECT_EQ(alerts.shown[1].messageText, "Restart Zub Pad");
    EXPECT_EQ(alerts.shown[1].buttons, QStringList{"Quit Zub Pad"});
    EXPECT_EQ(exits, std::vector<int>{0});
    // With the permission there from the start, opening the menu asks nothing.
    launch();
    alerts.shown.clear();
    QMetaObject::invokeMethod(delegate->statusItem().menu(), "aboutToShow");
    spinEventLoop(20);
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_TRUE(delegate->statusItem().statusMenu()->bMenuOpen());
}
