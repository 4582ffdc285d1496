#include "base/PropertyList.h"
#include "shell/ShellFixture.h"

#include <QFile>

namespace {

const QString kBundleId = QStringLiteral("app.zubpad.agent");

QVariantMap storedFile(const UserDefaults& defaults) {
    QFile file(defaults.filePath());
    if (!file.open(QIODevice::ReadOnly)) return {};
    return PropertyList::parseDictionary(file.readAll());
}

} // namespace

using ScreenRecordingGateTest = ShellTest;

TEST_F(ScreenRecordingGateTest, FirstLaunchWithoutPermissionMarksTheAlertShownAndAsksFourSecondsLater) {
    permissions.granted = false;
    makeDelegate();
    EXPECT_EQ(storedFile(defaults).value(QStringLiteral("srAlertShown")), QVariant(qlonglong(1)));
    spinEventLoop(20);
    clock.advance(3.9);
    EXPECT_TRUE(alerts.shown.empty());
    clock.advance(0.1);
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(alerts.shown[0].style, Alert::Style::Warning);
    EXPECT_EQ(alerts.shown[0].buttons.size(), 2);
    EXPECT_TRUE(alerts.shown[0].showHelp);
    EXPECT_FALSE(delegate->bScreenRecordingGranted());
    EXPECT_EQ(delegate->captureController(), nullptr);
    EXPECT_FALSE(log.contains(QStringLiteral("makeCaptureController")));
}

TEST_F(ScreenRecordingGateTest, StoredNoStillWaitsFourSecondsAndIsNotRewritten) {
    permissions.granted = false;
    defaults.setBool(false, QStringLiteral("srAlertShown"));
    makeDelegate();
    spinEventLoop(20);
    EXPECT_TRUE(alerts.shown.empty());
    clock.advance(4.0);
    EXPECT_EQ(alerts.shown.size(), 1u);
    EXPECT_EQ(storedFile(defaults).value(QStringLiteral("srAlertShown")), QVariant(qlonglong(0)));
}

TEST_F(ScreenRecordingGateTest, LaterLaunchesAskAtOnce) {
    permissions.granted = false;
    defaults.setBool(true, QStringLiteral("srAlertShown"));
    makeDelegate();
    // Scheduled on the main queue, not shown from inside the start-up.
    EXPECT_TRUE(alerts.shown.empty());
    ASSERT_TRUE(waitUntil([&] { return !alerts.shown.empty(); }));
    EXPECT_EQ(alerts.shown.size(), 1u);
}

TEST_F(ScreenRecordingGateTest, AnswersQuitOpenSettingsAndHelp) {
    permissions.granted = false;
    makeDelegate();
    // Help first: the page opens and the question stays; then the settings.
    alerts.answers = {FakeAlerts::kHelp, Alerts::kFirstButtonReturn};
    delegate->alertForScreenRecording();
    EXPECT_EQ(alerts.helpResults, std::vector<bool>{true});
    ASSERT_EQ(workspace.openedURLs.size(), 1u);
    EXPECT_TRUE(workspace.openedURLs[0].isValid());
    EXPECT_EQ(permissions.settingsOpened, 1);
    EXPECT_TRUE(exits.empty());

    workspace.openSucceeds = false;
    EXPECT_FALSE(delegate->alertShowHelp());

    alerts.answers = {Alerts::kFirstButtonReturn + 1};
    delegate->alertForScreenRecording();
    EXPECT_EQ(exits, std::vector<int>{0});
}

TEST_F(ScreenRecordingGateTest, CalledOffTheMainThreadTheAlertRunsOnIt) {
    permissions.granted = false;
    makeDelegate();
    std::atomic<bool> returned = false;
    std::thread caller([&] {
        delegate->alertForScreenRecording();
        returned = true;
    });
    ASSERT_TRUE(waitUntil([&] { return returned.load(); }));
    caller.join();
    EXPECT_EQ(alerts.shown.size(), 1u);
}

TEST_F(ScreenRecordingGateTest, WithPermissionTheSessionIsMadeAndNothingIsAsked) {
    makeDelegate();
    clock.advance(10);
    spinEventLoop(20);
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_FALSE(defaults.containsKey(QStringLiteral("srAlertShown")));
    EXPECT_TRUE(delegate->bScreenRecordingGranted());
    EXPECT_EQ(delegate->captureController(), session);
    ASSERT_NE(session, nullptr);
}

using StartUpTest = ShellTest;

TEST_F(StartUpTest, StepsRunInOrder) {
    defaults.setBool(true, QStringLiteral("autoUpdateApp"));
    makeDelegate();
    const QStringList expected = {QStringLiteral("checkMinVersion"),
                                  QStringLiteral("assistiveAccessGranted:1"),
                                  QStringLiteral("makeCaptureController"),
                                  QStringLiteral("setAutoUpdateConfig"),
                                  QStringLiteral("checkForUpdatesInBackground"),
                                  QStringLiteral("frontmostApplication")};
    EXPECT_EQ(log, expected);
    EXPECT_EQ(displays.callbackCount(), 1u);
    EXPECT_TRUE(power.handler != nullptr);
    EXPECT_EQ(delegate->protocolVersion(), QStringLiteral("1.0.9"));
    EXPECT_FALSE(delegate->bRequireAccessibilityGrant());
}

TEST_F(StartUpTest, AccessibilityIsAskedOnlyWithScreenRecordingAndRememberedWhenMissing) {
    hooks.accessibilityGranted = false;
    makeDelegate();
    EXPECT_TRUE(delegate->bRequireAccessibilityGrant());

    log.clear();
    permissions.granted = false;
    makeDelegate();
    EXPECT_FALSE(log.contains(QStringLiteral("assistiveAccessGranted:1")));
    EXPECT_FALSE(delegate->bRequireAccessibilityGrant());
}

TEST_F(StartUpTest, WithoutTheLaterPartsTheStartUpStillCompletes) {
    makeDelegate(true, false);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(displays.callbackCount(), 1u);
    ASSERT_NE(delegate->statusItem().menu(), nullptr);
}

TEST_F(StartUpTest, FirstLaunchWritesItsSettings) {
    firstScreen = QSizeF(2560, 1440);
    makeDelegate();
    const QVariantMap stored = storedFile(defaults);
    EXPECT_EQ(stored.value(QStringLiteral("photoshopNeedGrant")), QVariant(qlonglong(1)));
    EXPECT_EQ(stored.value(QStringLiteral("FPS")), QVariant(30.0));
    EXPECT_EQ(stored.value(QStringLiteral("zubPadNoRetina")), QVariant(qlonglong(1)));
}

TEST_F(StartUpTest, FirstLaunchOnAnOrdinaryScreenLeavesRetinaAlone) {
    firstScreen = QSizeF(1920, 1080);
    makeDelegate();
    EXPECT_EQ(defaults.doubleForKey(QStringLiteral("FPS")), 30.0);
    EXPECT_FALSE(defaults.containsKey(QStringLiteral("zubPadNoRetina")));
}

TEST_F(StartUpTest, LaterLaunchesWriteNoFirstLaunchSettings) {
    defaults.setDouble(60.0, QStringLiteral("FPS"));
    firstScreen = QSizeF(2560, 1440);
    makeDelegate();
    EXPECT_FALSE(defaults.containsKey(QStringLiteral("photoshopNeedGrant")));
    EXPECT_FALSE(defaults.containsKey(QStringLiteral("zubPadNoRetina")));
    EXPECT_EQ(defaults.doubleForKey(QStringLiteral("FPS")), 60.0);
}

TEST_F(StartUpTest, TogglesAreReadOnce) {
    defaults.setBool(true, QStringLiteral("useSystemCursor"));
    defaults.setObject(QStringLiteral("YES"), QStringLiteral("enableTouchBar"));
    defaults.setObject(qlonglong(0), QStringLiteral("preventDisplaySleep"));
    makeDelegate();
    Settings& settings = delegate->settings();
    EXPECT_TRUE(settings.useSystemCursor());
    EXPECT_TRUE(settings.enableTouchBar());
    EXPECT_FALSE(settings.preventDisplaySleep());
    EXPECT_FALSE(settings.autoUpdateApp());
    EXPECT_FALSE(log.contains(QStringLiteral("checkForUpdatesInBackground")));

    defaults.setBool(false, QStringLiteral("useSystemCursor"));
    EXPECT_TRUE(settings.useSystemCursor());
}

TEST_F(StartUpTest, TheLoginItemsRealStateWins) {
    defaults.setBool(true, QStringLiteral("launchAtLogin"));
    hooks.loginItem = false; // removed outside the program
    makeDelegate();
    delegate->settings().waitForBackgroundWork();
    EXPECT_FALSE(delegate->settings().launchAtLogin());
    EXPECT_EQ(storedFile(defaults).value(QStringLiteral("launchAtLogin")), QVariant(qlonglong(0)));

    hooks.loginItem = true;
    makeDelegate();
    delegate->settings().waitForBackgroundWork();
    EXPECT_TRUE(delegate->settings().launchAtLogin());
    EXPECT_TRUE(defaults.boolForKey(QStringLiteral("launchAtLogin")));
}

using SingleInstanceTest = ShellTest;

TEST_F(SingleInstanceTest, ASecondStartEndsTheOlderInstanceNotItself) {
    workspace.running = {{111, kBundleId}, {222, QStringLiteral("other.app")}};
    makeDelegate();
    EXPECT_EQ(workspace.registered, std::vector<QString>{kBundleId});
    EXPECT_EQ(workspace.terminated, std::vector<qint64>{111});
}

TEST_F(SingleInstanceTest, AloneOrOlderThanTheOthersNothingIsEnded) {
    makeDelegate();
    EXPECT_TRUE(workspace.terminated.empty());

    // Two started together: only the younger one ends the other.
    workspace.running = {{workspace.pid, kBundleId}, {333, kBundleId}};
    makeDelegate();
    EXPECT_TRUE(workspace.terminated.empty());
    EXPECT_FALSE(delegate->quitApplicationWithBundleID(kBundleId));
}
