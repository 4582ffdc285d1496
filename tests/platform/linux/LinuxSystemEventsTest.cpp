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

// Collects the names of the notices posted on a centre; the observers go with the centre.
void logNotices(NotificationCenter& center, QStringList& names) {
    for (const QString& name :
         {kScreenSaverDidStartNotification, kScreenSaverDidStopNotification, kScreenIsLockedNotification,
          kScreenIsUnlockedNotification, kInterfaceThemeChangedNotification})
        center.addObserver(name, nullptr, [&names](const Notification& n) { names << n.name; });
}

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

// Without the services the bus stays silent; with them, their signals for this session become notices.
TEST(LinuxSystemEventsTest, TheDesktopsServicesOverDBusBecomeNotices) {
    PrivateBus bus;
    if (!bus.ok()) GTEST_SKIP() << "no dbus-daemon to run a private bus";
    QStringList names;
    const auto make = [&] {
        return std::make_unique<LinuxSystemEvents>(
            LinuxSystemEvents::Sources{*bus.client, *bus.client, freshTempPath(QStringLiteral("gtk-")), {}});
    };
    auto events = make();
    EXPECT_FALSE(events->screenSaverOverDBus() || events->lockOverLogind() ||
                 events->appearanceFromPortal() || events->isDarkMode());

    bus.offer(QStringLiteral("org.freedesktop.ScreenSaver"));
    bus.offerLogind();
    bus.offerPortal();
    events = make();
    EXPECT_TRUE(events->screenSaverOverDBus());
    EXPECT_TRUE(events->lockOverLogind());
    EXPECT_TRUE(events->appearanceFromPortal());
    EXPECT_TRUE(events->isDarkMode());

    logNotices(events->distributedCenter(), names);
    const auto scheme = [](uint value) {
        return QVariant::fromValue(QDBusVariant(QVariant::fromValue(value)));
    };
    const struct {
        const char *path, *iface, *name;
        QVariantList args;
    } sent[] = {
        {"/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", {true}},
        {"/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged", {false}},
        {"/org/freedesktop/login1/session/_31", "org.freedesktop.login1.Session", "Lock", {}},
        {"/org/freedesktop/login1/session/_31", "org.freedesktop.login1.Session", "Unlock", {}},
        // Another session's lock is not ours, and other settings change nothing.
        {"/org/freedesktop/login1/session/_32", "org.freedesktop.login1.Session", "Lock", {}},
        {"/org/freedesktop/portal/desktop",
         "org.freedesktop.portal.Settings",
         "SettingChanged",
         {QStringLiteral("org.freedesktop.appearance"), QStringLiteral("color-scheme"), scheme(2)}},
        {"/org/freedesktop/portal/desktop",
         "org.freedesktop.portal.Settings",
         "SettingChanged",
         {QStringLiteral("org.gnome.desktop.interface"), QStringLiteral("color-scheme"), scheme(1)}},
    };
    for (const auto& signal : sent)
        bus.signal(QLatin1String(signal.path), QLatin1String(signal.iface), QLatin1String(signal.name),
                   signal.args);

    const QStringList expected = {kScreenSaverDidStartNotification, kScreenSaverDidStopNotification,
                                  kScreenIsLockedNotification, kScreenIsUnlockedNotification,
                                  kInterfaceThemeChangedNotification};
    EXPECT_TRUE(waitUntil([&] { return names.size() >= expected.size(); }));
    spinEventLoop(100);
    EXPECT_EQ(names, expected);
    EXPECT_FALSE(events->isDarkMode());
}

// GTK_THEME first, then GTK 4's settings over GTK 3's; editing them posts the appearance notice.
TEST(LinuxSystemEventsTest, TheGtkThemeTellsDarkFromLightAndItsEditsPostTheNotice) {
    const QString home = freshTempPath(QStringLiteral("gtk-"));
    const QString gtk3 = home + QStringLiteral("/gtk-3.0/settings.ini");
    EXPECT_FALSE(LinuxSystemEvents::gtkPrefersDark(home, QString()));
    EXPECT_TRUE(LinuxSystemEvents::gtkPrefersDark(home, QStringLiteral("Adwaita:dark")));
    EXPECT_FALSE(LinuxSystemEvents::gtkPrefersDark(home, QStringLiteral("Adwaita")));
    writeFile(gtk3, "[Settings]\ngtk-theme-name=Adwaita\ngtk-application-prefer-dark-theme=true\n");
    EXPECT_TRUE(LinuxSystemEvents::gtkPrefersDark(home, QString()));
    writeFile(home + QStringLiteral("/gtk-4.0/settings.ini"), "[Settings]\ngtk-theme-name=Adwaita\n");
    EXPECT_FALSE(LinuxSystemEvents::gtkPrefersDark(home, QString()));

    const QString other = freshTempPath(QStringLiteral("gtk-"));
    QStringList names;
    writeFile(other + QStringLiteral("/gtk-3.0/settings.ini"), "[Settings]\ngtk-theme-name=Adwaita\n");
    LinuxSystemEvents events({std::nullopt, std::nullopt, other, QString()});
    EXPECT_FALSE(events.isDarkMode());
    logNotices(events.distributedCenter(), names);
    writeFile(other + QStringLiteral("/gtk-3.0/settings.ini"), "[Settings]\ngtk-theme-name=Arc-Dark\n");
    ASSERT_TRUE(waitUntil([&] { return !names.isEmpty(); }));
    EXPECT_EQ(names, QStringList{kInterfaceThemeChangedNotification});
    EXPECT_TRUE(events.isDarkMode());
}

#include "LinuxSystemEventsTest.moc"
