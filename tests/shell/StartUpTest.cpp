#include "base/Bundle.h"
#include "base/PropertyList.h"
#include "shell/ShellFixture.h"

#include <QAction>
#include <QFile>
#include <QImage>
#include <QMenu>

namespace {

const QString kBundleId = QStringLiteral("app.zubpad.agent");

// What is on disk, not what the defaults object caches.
QVariant stored(const UserDefaults& defaults, const QString& key) {
    QFile file(defaults.filePath());
    return file.open(QIODevice::ReadOnly) ? PropertyList::parseDictionary(file.readAll()).value(key)
                                          : QVariant();
}

} // namespace

using StartUpTest = ShellTest;

// Without screen recording no session is made and the user is asked: the first time 4 seconds after
// the start (the alert then marks itself shown; a stored NO stays), once shown at once but not inside
// the start-up. Help opens the page, the first button the settings, Quit ends the program.
TEST_F(StartUpTest, WithoutScreenRecordingTheUserIsAskedAndTheAnswersDoWhatTheySay) {
    permissions.granted = false;
    for (const QVariant& before : {QVariant(), QVariant(qlonglong(0)), QVariant(qlonglong(1))}) {
        alerts.shown.clear();
        alerts.answers = {FakeAlerts::kHelp, Alerts::kFirstButtonReturn};
        defaults.setObject(before, "srAlertShown");
        launch();
        EXPECT_EQ(stored(defaults, "srAlertShown"), before.isValid() ? before : QVariant(qlonglong(1)));
        EXPECT_EQ(delegate->captureController(), nullptr);
        spinEventLoop(20);
        if (!before.toBool()) {
            clock.advance(3.9);
            EXPECT_TRUE(alerts.shown.empty());
            clock.advance(0.1);
        }
        ASSERT_EQ(alerts.shown.size(), 1u);
        EXPECT_EQ(alerts.shown[0].buttons.size(), 2);
    }
    EXPECT_EQ(alerts.helpResults, std::vector<bool>(3, true));
    EXPECT_EQ(workspace.openedURLs.size(), 3u);
    EXPECT_EQ(permissions.settingsOpened, 3);
    EXPECT_TRUE(exits.empty());
    EXPECT_FALSE(log.contains("makeCaptureController"));

    alerts.answers = {Alerts::kFirstButtonReturn + 1}; // "Quit"
    delegate->alertForScreenRecording();
    EXPECT_EQ(exits, std::vector<int>{0});
}

TEST_F(StartUpTest, StepsRunInOrderAndTheSessionIsMadeWithThePermission) {
    defaults.setBool(true, "autoUpdateApp");
    launch();
    EXPECT_EQ(log, (QStringList{"assistiveAccessGranted:1", "makeCaptureController", "setAutoUpdateConfig",
                                "checkForUpdatesInBackground"}));
    EXPECT_EQ(delegate->captureController(), controller);
    EXPECT_EQ(displays.callbackCount(), 1u);
    EXPECT_TRUE(power.handler != nullptr);
    EXPECT_EQ(delegate->protocolVersion(), "1.0.9");
    EXPECT_FALSE(delegate->bRequireAccessibilityGrant());
    // The menu runs from the status line to Quit, and works without a tray (the offscreen platform has none).
    StatusItem& item = delegate->statusItem();
    ASSERT_NE(item.menu(), nullptr);
    const QList<QAction*> actions = item.menu()->actions();
    EXPECT_EQ(actions.front()->text(), "Zub Pad 1.0.0");
    EXPECT_EQ(actions.back(), item.quitItem());
    EXPECT_EQ(actions.back()->text(), "Quit");
    EXPECT_FALSE(item.isShownInTray());
    EXPECT_EQ(item.images().image, "zubpad_off");
    clock.advance(10);
    EXPECT_TRUE(alerts.shown.empty());
    EXPECT_FALSE(defaults.containsKey("srAlertShown"));

    // A missing accessibility permission is remembered; without the later parts the start-up completes.
    recorded.accessibilityGranted = false;
    launch();
    EXPECT_TRUE(delegate->bRequireAccessibilityGrant());
    launch(false);
    EXPECT_NE(delegate->captureController(), nullptr);
    EXPECT_EQ(delegate->getRelativePoint(QPointF(960, 540)).x(), -1.0);
    EXPECT_FALSE(delegate->isInZubScreen(QPointF(960, 540)));
}

// The stream writes its own first-launch settings ("FPS", "zubPadNoRetina") as it loads them; the
// shell's is the grant notice, decided by whether a rate was ever stored.
TEST_F(StartUpTest, FirstLaunchWritesItsSettingsAndLaterLaunchesDoNot) {
    launch();
    EXPECT_EQ(stored(defaults, "photoshopNeedGrant"), QVariant(qlonglong(1)));

    defaults.removePersistentDomain();
    defaults.setDouble(60.0, "FPS");
    launch();
    EXPECT_FALSE(defaults.containsKey("photoshopNeedGrant"));
    EXPECT_EQ(defaults.doubleForKey("FPS"), 60.0);
}

TEST_F(StartUpTest, TheLoginItemsRealStateWins) {
    for (bool real : {false, true}) {
        defaults.setBool(!real, "launchAtLogin"); // changed outside the program
        recorded.loginItem = real;
        launch();
        delegate->settings().waitForBackgroundWork();
        EXPECT_EQ(delegate->settings().launchAtLogin(), real);
        EXPECT_EQ(stored(defaults, "launchAtLogin"), QVariant(qlonglong(real)));
    }
}

TEST_F(StartUpTest, ASecondStartEndsTheOlderInstanceNotItself) {
    workspace.running = {{111, kBundleId}, {222, "other.app"}};
    launch();
    EXPECT_EQ(workspace.registered, std::vector<QString>{kBundleId});
    EXPECT_EQ(workspace.terminated, std::vector<qint64>{111});

    // Started together with another one that came later: only the younger ends the other.
    workspace.running = {{workspace.pid, kBundleId}, {333, kBundleId}};
    workspace.terminated.clear();
    launch();
    EXPECT_TRUE(workspace.terminated.empty());
}

TEST(StatusItemTest, EveryImageIsInTheBundleAtBothScales) {
    for (const char* name : {"zubpad", "zubpad_off", "zubpad_dark", "zubpad_off_dark"}) {
        const QImage small =
            QImage::fromData(Bundle::main().resourceData(QLatin1String(name), QStringLiteral("png")));
        const QImage large = QImage::fromData(
            Bundle::main().resourceData(QLatin1String(name) + QStringLiteral("@2x"), QStringLiteral("png")));
        EXPECT_EQ(small.size(), QSize(22, 22)) << name;
        EXPECT_EQ(large.size(), QSize(44, 44)) << name;
        EXPECT_TRUE(small.hasAlphaChannel()) << name;
    }
}

// The application in front is read at launch and followed; the device's input reaches the desktop,
// and a link that drops mid-drag lets the button go.
TEST_F(StartUpTest, TheShellFollowsTheApplicationInFrontAndLetsGoWhenTheLinkDrops) {
    workspace.frontmost = {QStringLiteral("com.adobe.Photoshop"), QStringLiteral("Adobe Photoshop 2024")};
    launch();
    EXPECT_EQ(eventMonitor.handlers.size(), 1u); // Photoshop's bracket keys are watched
    workspace.activate({QStringLiteral("org.kde.krita"), QStringLiteral("Krita")});
    EXPECT_TRUE(eventMonitor.handlers.empty());
    EXPECT_EQ(delegate->getCurrentApp(), 22);

    delegate->handleDragEvent({{"startOfDrag", true}, {"x", 0.5}, {"y", 0.5}});
    delegate->channelChanged(1);
    delegate->channelChanged(0);
    std::vector<RecordingEventPoster::Record::Kind> kinds;
    for (const auto& r : poster.records)
        kinds.push_back(r.kind);
    ASSERT_EQ(poster.posted().size(), 2u);
    EXPECT_EQ(poster.posted()[0].type, EventType::kLeftMouseDown);
    EXPECT_EQ(poster.posted()[1].type, EventType::kLeftMouseUp);
    EXPECT_EQ(kinds.back(), RecordingEventPoster::Record::ReleaseHeld);
    EXPECT_EQ(delegate->getRelativePoint(QPointF(683, 512)), QPointF(0.5, 0.5)); // display 4, mirrored

    delegate.reset();
    EXPECT_FALSE(workspace.frontmostChanged);
}

// The gestures reach the input translation; a device that locks mid-pan lets Space and the button go.
TEST_F(StartUpTest, GesturesReachTheDesktopAndADeviceThatLocksMidPanLetsGo) {
    workspace.frontmost = {QStringLiteral("com.corel.Painter"), QStringLiteral("Corel Painter")};
    launch();
    delegate->handleTwoFingerPanEvent({{"startOfPan", true}, {"x", 0.5}, {"y", 0.5}});
    delegate->handleTwoFingerPanEvent({{"x", 0.6}, {"y", 0.5}});
    delegate->handleZoomEvent({{"startOfZoom", true}, {"x", 0.5}, {"y", 0.5}, {"scale", 1.0}, {"zoom", 1}});
    const auto types = [&] {
        std::vector<std::pair<int32_t, uint16_t>> seen;
        for (const Event& e : poster.posted())
            seen.emplace_back(e.type, e.keyCode);
        poster.records.clear();
        return seen;
    };
    using P = std::pair<int32_t, uint16_t>;
    // Space down, the drag, and Command-keypad-plus, the stepped zoom of Corel Painter.
    EXPECT_EQ(types(), (std::vector<P>{{EventType::kKeyDown, 49},
                                       {EventType::kLeftMouseDown, 0},
                                       {EventType::kLeftMouseDragged, 0},
                                       {EventType::kKeyDown, 69},
                                       {EventType::kKeyUp, 69},
                                       {EventType::kKeyUp, 55}}));
    delegate->inputInterrupted();
    EXPECT_EQ(poster.records.back().kind, RecordingEventPoster::Record::ReleaseHeld);
    EXPECT_EQ(types(), (std::vector<P>{{EventType::kKeyUp, 49}, {EventType::kLeftMouseUp, 0}}));
}
