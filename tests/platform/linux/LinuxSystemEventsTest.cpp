#include "platform/linux/LinuxSystemEvents.h"

#include "fakes/TestSupport.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

namespace {

// Counts the notices posted on a centre, by name.
struct NoticeLog {
    explicit NoticeLog(NotificationCenter& center) : center(center) {
        for (const QString& name :
             {kScreenSaverDidStartNotification, kScreenSaverDidStopNotification, kScreenIsLockedNotification,
              kScreenIsUnlockedNotification, kInterfaceThemeChangedNotification})
            ids.push_back(
                center.addObserver(name, nullptr, [this](const Notification& n) { names << n.name; }));
    }
    ~NoticeLog() {
        for (auto id : ids)
            center.removeObserver(id);
    }
    NotificationCenter& center;
    std::vector<NotificationCenter::ObserverId> ids;
    QStringList names;
};

// A private message bus for the test, and the desktop services that answer on it: the screen saver,
// logind and the settings portal. They live on their own thread, so that the blocking calls the code
// under test makes at start-up are answered while the main thread waits.
class FakeLogindManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")
public slots:
    QDBusObjectPath GetSessionByPID(uint) {
        return QDBusObjectPath(QStringLiteral("/org/freedesktop/login1/session/_31"));
    }
};

class FakePortalSettings : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")
public:
    std::atomic<uint> colorScheme{1};
public slots:
    QDBusVariant ReadOne(const QString& nameSpace, const QString& key) {
        if (nameSpace == u"org.freedesktop.appearance" && key == u"color-scheme")
            return QDBusVariant(QVariant::fromValue(colorScheme.load()));
        return QDBusVariant(QVariant::fromValue(0u));
    }
};

class PrivateBus {
public:
    PrivateBus() {
        daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--session"), QStringLiteral("--nofork"),
                                                     QStringLiteral("--print-address=1")});
        if (!daemon.waitForStarted(5000) || !daemon.waitForReadyRead(5000)) return;
        address = QString::fromUtf8(daemon.readLine()).trimmed();
        services = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(address, QStringLiteral("services")));
        client = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(address, QStringLiteral("client")));
        serviceThread.start();
        logind.moveToThread(&serviceThread);
        portal.moveToThread(&serviceThread);
    }
    ~PrivateBus() {
        serviceThread.quit();
        serviceThread.wait();
        services.reset();
        client.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("services"));
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
        daemon.terminate();
        daemon.waitForFinished();
    }
    bool ok() const { return services && services->isConnected() && client && client->isConnected(); }

    void offer(const QString& service) { services->registerService(service); }
    void offerLogind() {
        offer(QStringLiteral("org.freedesktop.login1"));
        services->registerObject(QStringLiteral("/org/freedesktop/login1"), &logind,
                                 QDBusConnection::ExportAllSlots);
    }
    void offerPortal() {
        offer(QStringLiteral("org.freedesktop.portal.Desktop"));
        services->registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal,
                                 QDBusConnection::ExportAllSlots);
    }
    void signal(const QString& path, const QString& iface, const QString& name,
                const QVariantList& args = {}) {
        QDBusMessage message = QDBusMessage::createSignal(path, iface, name);
        message.setArguments(args);
        services->send(message);
    }

    QProcess daemon;
    QString address;
    std::unique_ptr<QDBusConnection> services, client;
    QThread serviceThread;
    FakeLogindManager logind;
    FakePortalSettings portal;
};

} // namespace

TEST(LinuxSystemEventsTest, TheDesktopsServicesOverDBusBecomeNotices) {
    PrivateBus bus;
    if (!bus.ok()) GTEST_SKIP() << "no dbus-daemon to run a private bus";
    bus.offer(QStringLiteral("org.freedesktop.ScreenSaver"));
    bus.offerLogind();
    bus.offerPortal();

    LinuxSystemEvents events({*bus.client, *bus.client, freshTempPath(QStringLiteral("gtk-")), QString()});
    EXPECT_TRUE(events.screenSaverOverDBus());
    EXPECT_TRUE(events.lockOverLogind());
    EXPECT_TRUE(events.appearanceFromPortal());
    EXPECT_TRUE(events.isDarkMode());

    NoticeLog log(events.distributedCenter());
    const QString saver = QStringLiteral("org.freedesktop.ScreenSaver");
    bus.signal(QStringLiteral("/org/freedesktop/ScreenSaver"), saver, QStringLiteral("ActiveChanged"),
               {true});
    bus.signal(QStringLiteral("/org/freedesktop/ScreenSaver"), saver, QStringLiteral("ActiveChanged"),
               {false});
    const QString session = QStringLiteral("/org/freedesktop/login1/session/_31");
    const QString sessionIface = QStringLiteral("org.freedesktop.login1.Session");
    bus.signal(session, sessionIface, QStringLiteral("Lock"));
    bus.signal(session, sessionIface, QStringLiteral("Unlock"));
    // Another session's lock is not ours.
    bus.signal(QStringLiteral("/org/freedesktop/login1/session/_32"), sessionIface, QStringLiteral("Lock"));
    const QString settings = QStringLiteral("org.freedesktop.portal.Settings");
    const QVariant light = QVariant::fromValue(QDBusVariant(QVariant::fromValue(2u)));
    bus.signal(QStringLiteral("/org/freedesktop/portal/desktop"), settings, QStringLiteral("SettingChanged"),
               {QStringLiteral("org.freedesktop.appearance"), QStringLiteral("color-scheme"), light});
    // Other settings change nothing.
    bus.signal(QStringLiteral("/org/freedesktop/portal/desktop"), settings, QStringLiteral("SettingChanged"),
               {QStringLiteral("org.gnome.desktop.interface"), QStringLiteral("color-scheme"),
                QVariant::fromValue(QDBusVariant(QVariant::fromValue(1u)))});

    const QStringList expected = {kScreenSaverDidStartNotification, kScreenSaverDidStopNotification,
                                  kScreenIsLockedNotification, kScreenIsUnlockedNotification,
                                  kInterfaceThemeChangedNotification};
    EXPECT_TRUE(waitUntil([&] { return log.names.size() >= expected.size(); }));
    spinEventLoop(100);
    EXPECT_EQ(log.names, expected);
    EXPECT_FALSE(events.isDarkMode());
}

TEST(LinuxSystemEventsTest, ABusWithoutTheServicesLeavesEverythingSilent) {
    PrivateBus bus;
    if (!bus.ok()) GTEST_SKIP() << "no dbus-daemon to run a private bus";
    LinuxSystemEvents events({*bus.client, *bus.client, freshTempPath(QStringLiteral("gtk-")), QString()});
    EXPECT_FALSE(events.screenSaverOverDBus());
    EXPECT_FALSE(events.lockOverLogind());
    EXPECT_FALSE(events.appearanceFromPortal());
    EXPECT_FALSE(events.isDarkMode());
}

TEST(LinuxSystemEventsTest, TheGtkThemeTellsDarkFromLight) {
    const QString home = freshTempPath(QStringLiteral("gtk-"));
    EXPECT_FALSE(LinuxSystemEvents::gtkPrefersDark(home, QString()));
    EXPECT_TRUE(LinuxSystemEvents::gtkPrefersDark(home, QStringLiteral("Adwaita:dark")));
    EXPECT_FALSE(LinuxSystemEvents::gtkPrefersDark(home, QStringLiteral("Adwaita")));

    writeFile(home + QStringLiteral("/gtk-3.0/settings.ini"), "[Settings]\ngtk-theme-name=Arc-Dark\n");
    EXPECT_TRUE(LinuxSystemEvents::gtkPrefersDark(home, QString()));
    writeFile(home + QStringLiteral("/gtk-3.0/settings.ini"),
              "[Settings]\ngtk-theme-name=Adwaita\ngtk-application-prefer-dark-theme=true\n");
    EXPECT_TRUE(LinuxSystemEvents::gtkPrefersDark(home, QString()));
    // GTK 4's file speaks first.
    writeFile(home + QStringLiteral("/gtk-4.0/settings.ini"), "[Settings]\ngtk-theme-name=Adwaita\n");
    EXPECT_FALSE(LinuxSystemEvents::gtkPrefersDark(home, QString()));
}

TEST(LinuxSystemEventsTest, EditingTheGtkSettingsPostsTheAppearanceNotice) {
    const QString home = freshTempPath(QStringLiteral("gtk-"));
    writeFile(home + QStringLiteral("/gtk-3.0/settings.ini"), "[Settings]\ngtk-theme-name=Adwaita\n");
    LinuxSystemEvents events({std::nullopt, std::nullopt, home, QString()});
    EXPECT_FALSE(events.isDarkMode());
    NoticeLog log(events.distributedCenter());
    writeFile(home + QStringLiteral("/gtk-3.0/settings.ini"), "[Settings]\ngtk-theme-name=Adwaita-dark\n");
    ASSERT_TRUE(waitUntil([&] { return !log.names.isEmpty(); }));
    EXPECT_EQ(log.names, QStringList{kInterfaceThemeChangedNotification});
    EXPECT_TRUE(events.isDarkMode());
}

#include "LinuxSystemEventsTest.moc"
