#include "base/UserDefaults.h"
#include "fakes/FakeDesktop.h"
#include "fakes/ManualClock.h"
#include "fakes/TestSupport.h"
#include "platform/linux/XdgAutostart.h"
#include "shell/Appcast.h"
#include "shell/DocumentServer.h"
#include "shell/InputPermission.h"
#include "shell/LaunchAtLoginController.h"
#include "shell/Settings.h"
#include "shell/Updater.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A feed binding `prefix` to our namespace, with one item per (version, link).
QByteArray feed(const std::vector<std::pair<const char*, const char*>>& items, const char* prefix = "zubpad",
                const char* ns = Appcast::kNamespace) {
    QByteArray xml = QByteArray("<?xml version=\"1.0\"?><rss version=\"2.0\" xmlns:") + prefix + "=\"" + ns +
                     "\"><channel><link>https://zubpad.app/</link>";
    for (const auto& [version, link] : items)
        xml += QByteArray("<item><title>Zub Pad ") + version + "</title>" +
               (link ? QByteArray("<link>") + link + "</link>" : QByteArray()) +
               "<enclosure url=\"https://zubpad.app/z.deb\" " + prefix + ":version=\"" + version +
               "\"/></item>";
    return xml + "</channel></rss>";
}

} // namespace

// The autostart entry in a private XDG_CONFIG_HOME: what counts as our login item, and what enabling
// and disabling leave behind.
TEST(LoginItemTest, TheAutostartEntryIsTheLoginItem) {
    const QString config = freshTempPath(QStringLiteral("config"));
    qputenv("XDG_CONFIG_HOME", config.toUtf8());
    XdgAutostart autostart(QStringLiteral("Zub Pad"));
    qunsetenv("XDG_CONFIG_HOME");
    ASSERT_EQ(autostart.entryPath(), config + "/autostart/zubpad.desktop");
    const QString app = QStringLiteral("/opt/Zub Pad \"$HOME\" 100%/bin/zubpad");
    LaunchAtLoginController controller(autostart, app);

    const QByteArray ours =
        "[Desktop Entry]\nType=Application\nName=Zub Pad\nExec=/usr/bin/zubpad\nX-Mine=1\n";
    struct Row {
        const char* name;
        std::optional<QByteArray> before; // the entry's bytes; nothing: no entry
        bool launchesBefore;
        std::optional<bool> set;
        bool launchesAfter;
        bool keptAsItWas;
    };
    // clang-format off
    const Row rows[] = {
        {"none, enabled", std::nullopt, false, true, true, false},
        {"none, disabled", std::nullopt, false, false, false, false},
        {"ours, enabled again: kept", ours, true, true, true, true},
        {"ours, disabled", ours, true, false, false, false},
        {"turned off by the user", ours + "Hidden=true\n", false, std::nullopt, false, true},
        {"turned off by the user, enabled", ours + "Hidden=true\n", false, true, true, false},
        {"turned off in GNOME", ours + "X-GNOME-Autostart-enabled=false\n", false, std::nullopt, false, true},
        {"another program's, disabled: left alone", "[Desktop Entry]\nType=Application\nExec=other\n", false, false,
         false, true},
        {"not an entry", "\x01garbage", false, std::nullopt, false, true},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove(autostart.entryPath());
        if (row.before) {
            ASSERT_TRUE(writeFile(autostart.entryPath(), *row.before));
        }
        EXPECT_EQ(controller.launchAtLogin(), row.launchesBefore);
        if (row.set) controller.setLaunchAtLogin(*row.set);
        EXPECT_EQ(controller.launchAtLogin(), row.launchesAfter);
        if (row.keptAsItWas) {
            EXPECT_EQ(readAll(autostart.entryPath()), row.before.value_or(QByteArray()));
        }
        if (!row.launchesAfter && !row.keptAsItWas) {
            EXPECT_FALSE(QFile::exists(autostart.entryPath()));
        }
    }
    // Written by us, the entry starts this very program, whatever its path holds.
    QFile::remove(autostart.entryPath());
    controller.setLaunchAtLogin(true);
    EXPECT_TRUE(
        readAll(autostart.entryPath()).contains(R"(Exec="/opt/Zub Pad \\"\\$HOME\\" 100%%/bin/zubpad")"))
        << readAll(autostart.entryPath()).toStdString();
    // A path that cannot be one line writes nothing.
    QFile::remove(autostart.entryPath());
    EXPECT_TRUE(autostart.insertLoginItem(QStringLiteral("/tmp/a\n[Desktop Entry]\nExec=evil/zubpad")));
    EXPECT_FALSE(QFile::exists(autostart.entryPath()));
}

// At start the login item's real state wins over the stored setting, both ways.
TEST(LoginItemTest, TheRealStateWinsAtStart) {
    const QString directory = freshTempPath(QStringLiteral("autostart"));
    XdgAutostart autostart(QStringLiteral("Zub Pad"), directory);
    LaunchAtLoginController controller(autostart, QStringLiteral("/usr/bin/zubpad"));
    for (const bool real : {false, true}) {
        SCOPED_TRACE(real);
        UserDefaults defaults(freshTempPath(QStringLiteral("defaults")) + "/zubpad.plist");
        defaults.setBool(!real, DefaultsKey::launchAtLogin);
        controller.setLaunchAtLogin(real);
        Settings settings(defaults);
        settings.loadDefaults(&controller);
        settings.waitForBackgroundWork();
        EXPECT_EQ(settings.launchAtLogin(), real);
        EXPECT_EQ(defaults.boolForKey(DefaultsKey::launchAtLogin), real);
    }
}

// The newest release is the greatest comparable version under whatever prefix the feed binds to our
// namespace; links other than web pages are never offered.
TEST(AppcastTest, FindsTheNewestRelease) {
    struct Row {
        const char* name;
        QByteArray xml;
        const char* version; // nullptr: no release
        const char* page;
    };
    // clang-format off
    const Row rows[] = {
        {"numeric order", feed({{"1.9", "https://zubpad.app/1.9"}, {"1.10", "https://zubpad.app/1.10"}, {"1.2", nullptr}}),
         "1.10", "https://zubpad.app/1.10"},
        {"another prefix", feed({{"2.0", "http://zubpad.app/2"}}, "up"), "2.0", "http://zubpad.app/2"},
        {"no link: the channel's", feed({{"2.0", nullptr}}), "2.0", "https://zubpad.app/"},
        {"not a web page", feed({{"2.0", "javascript:alert(1)"}}), "2.0", "https://zubpad.app/"},
        {"file link", feed({{"2.0", "file:///etc/passwd"}}), "2.0", "https://zubpad.app/"},
        {"bad versions skipped", feed({{"", nullptr}, {"1..2", nullptr}, {"99999999999999999999", nullptr},
                                       {"1.-2", nullptr}, {"1.1", nullptr}}), "1.1", "https://zubpad.app/"},
        {"only bad versions", feed({{"x", nullptr}}), nullptr, nullptr},
        {"another namespace", feed({{"2.0", nullptr}}, "zubpad", "urn:other"), nullptr, nullptr},
        {"no items", feed({}), nullptr, nullptr},
        {"cut off", feed({{"2.0", nullptr}}).chopped(30), nullptr, nullptr},
        {"not XML", "<rss", nullptr, nullptr},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::optional<AppcastRelease> release = Appcast::newestRelease(row.xml);
        ASSERT_EQ(release.has_value(), row.version != nullptr);
        if (!release) continue;
        EXPECT_EQ(release->version, row.version);
        EXPECT_EQ(release->releasePage, QUrl(row.page));
    }
}

class UpdaterTest : public ::testing::Test {
protected:
    UpdaterTest() : defaults(freshTempPath(QStringLiteral("defaults")) + "/zubpad.plist") {}

    std::unique_ptr<Updater> make(const QUrl& url) {
        auto updater = std::make_unique<Updater>(defaults, alerts, workspace, url,
                                                 QStringLiteral("ZubPad/1.0.0 Linux/12"));
        return updater;
    }
    static QUrl file(const QByteArray& bytes) {
        const QString path = freshTempPath(QStringLiteral("appcast"));
        EXPECT_TRUE(writeFile(path, bytes));
        return QUrl::fromLocalFile(path);
    }
    void waitForCheck(Updater& updater) {
        ASSERT_TRUE(waitUntil([&] { return !updater.checkInProgress(); }));
    }

    UserDefaults defaults;
    FakeAlerts alerts;
    FakeWorkspace workspace;
};

// The user's check always answers: a newer release (its page opened on request), up to date, or a
// failure, which is never told as "up to date". The background check only marks the menu.
TEST_F(UpdaterTest, TheUsersCheckAlwaysAnswers) {
    struct Row {
        const char* name;
        QUrl url;
        bool user;
        int answer;
        const char* title; // the alert's, nullptr: none
        const char* opened;
        bool announced;
    };
    const int open = Alerts::kFirstButtonReturn, notNow = open + 1;
    // clang-format off
    const Row rows[] = {
        {"newer, opened", file(feed({{"1.2.0", "https://zubpad.app/r/1.2.0"}})), true, open,
         "A new version of Zub Pad is available", "https://zubpad.app/r/1.2.0", true},
        {"newer, not now", file(feed({{"1.2.0", "https://zubpad.app/r/1.2.0"}})), true, notNow,
         "A new version of Zub Pad is available", nullptr, true},
        {"current", file(feed({{"1.0.0", nullptr}, {"0.9", nullptr}})), true, open, "You're up to date", nullptr, false},
        {"no feed there", QUrl::fromLocalFile(tempPath("no-such-feed.xml")), true, open, "Update check failed", nullptr, false},
        {"not a feed", file("<html>"), true, open, "Update check failed", nullptr, false},
        {"none configured", QUrl(), true, open, "Update check failed", nullptr, false},
        {"background, newer", file(feed({{"1.2.0", nullptr}})), false, open, nullptr, nullptr, true},
        {"background, failed", file("<html>"), false, open, nullptr, nullptr, false},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        alerts.shown.clear();
        alerts.answers = {row.answer};
        workspace.openedURLs.clear();
        auto updater = make(row.url);
        row.user ? updater->checkForUpdates() : updater->checkForUpdatesInBackground();
        waitForCheck(*updater);
        ASSERT_EQ(alerts.shown.size(), row.title ? 1u : 0u);
        if (row.title) {
            EXPECT_EQ(alerts.shown[0].messageText, row.title);
        }
        EXPECT_EQ(workspace.openedURLs,
                  row.opened ? std::vector<QUrl>{QUrl(row.opened)} : std::vector<QUrl>{});
        EXPECT_EQ(updater->newVersion(), row.announced ? QStringLiteral("1.2.0") : QString());
    }
}

// Against a web server: the feed is asked for with our user agent, and a newer release announced.
TEST_F(UpdaterTest, ReadsTheFeedFromTheWeb) {
    SKIP_WITHOUT_HTTP();
    DocumentServer server;
    server.paths["/appcast.xml"] = DocumentServer::response(200, feed({{"1.0.3", "https://zubpad.app/r"}}));
    auto updater = make(server.url("/appcast.xml"));
    updater->checkForUpdates();
    waitForCheck(*updater);
    ASSERT_EQ(server.requests.size(), 1);
    EXPECT_TRUE(server.requests[0].contains("\r\nUser-Agent: ZubPad/1.0.0 Linux/12\r\n"))
        << server.requests[0].toStdString();
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_TRUE(alerts.shown[0].informativeText.startsWith("Zub Pad 1.0.3 is available; you have 1.0.0."));
}

// While "autoUpdateApp" is on a check runs every day; turned off, no more.
TEST_F(UpdaterTest, AutomaticChecksFollowTheSetting) {
    ManualClock clock;
    auto updater = make(file(feed({{"1.2.0", nullptr}})));
    for (const bool on : {true, false}) {
        SCOPED_TRACE(on);
        defaults.setBool(on, DefaultsKey::autoUpdateApp);
        updater->setAutoUpdateConfig();
        for (int day = 0; day < 2; ++day) {
            clock.advance(Updater::kUpdateCheckInterval - 1);
            EXPECT_FALSE(updater->checkInProgress());
            clock.advance(1);
            EXPECT_EQ(updater->checkInProgress(), on);
            waitForCheck(*updater);
        }
        EXPECT_EQ(updater->automaticallyChecksForUpdates(), on);
        // What the menu announces: still the release found while checks ran.
        EXPECT_EQ(updater->newVersion(), QStringLiteral("1.2.0"));
        EXPECT_TRUE(alerts.shown.empty());
    }
}

// Synthetic input is granted when it works; the pressure alert comes when asked for, once a session,
// and waits for the pen to lift.
TEST(InputPermissionTest, ThePressureAlertComesOnceAndNeverMidStroke) {
    struct Row {
        const char* name;
        bool input, pressure, prompt;
        bool granted;
        size_t alerts;
    };
    const Row rows[] = {
        {"all there", true, true, true, true, 0},
        {"no pressure, asked", true, false, true, true, 1},
        {"no pressure, not asked", true, false, false, true, 0},
        {"no input, not asked", false, true, false, false, 0},
        {"nothing, asked", false, false, true, false, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FakePermissions permissions;
        permissions.inputGranted = row.input;
        permissions.pressureGranted = row.pressure;
        FakeAlerts alerts;
        FakeWorkspace workspace;
        InputPermission permission(permissions, alerts, workspace,
                                   QUrl("https://zubpad.app/readme#pressure"));
        EXPECT_EQ(permission.assistiveAccessGranted(row.prompt), row.granted);
        EXPECT_EQ(permission.assistiveAccessGranted(row.prompt), row.granted);
        spinEventLoop(10);
        EXPECT_EQ(alerts.shown.size(), row.alerts);
        EXPECT_EQ(workspace.openedURLs.size(), row.alerts);
    }

    ManualClock clock;
    FakePermissions permissions;
    permissions.pressureGranted = false;
    FakeAlerts alerts;
    FakeWorkspace workspace;
    InputPermission permission(permissions, alerts, workspace, QUrl("https://zubpad.app/readme#pressure"));
    bool drawing = true;
    permission.setDrawing([&] { return drawing; });
    permission.assistiveAccessGranted(true);
    spinEventLoop(10);
    clock.advance(InputPermission::kDrawingRecheck * 3);
    EXPECT_TRUE(alerts.shown.empty());
    drawing = false;
    clock.advance(InputPermission::kDrawingRecheck);
    ASSERT_EQ(alerts.shown.size(), 1u);
    EXPECT_TRUE(alerts.shown[0].informativeText.contains("/dev/uinput"));
    EXPECT_EQ(permission.alertCloseTime(), clock.uptime());
}
