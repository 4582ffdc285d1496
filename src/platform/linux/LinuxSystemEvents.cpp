#include "platform/linux/LinuxSystemEvents.h"

#include "base/Logging.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSettings>
#include <QStandardPaths>

#include <unistd.h>

namespace {

const QString kScreenSaverService = QStringLiteral("org.freedesktop.ScreenSaver");
const QString kScreenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");
const QString kLogindService = QStringLiteral("org.freedesktop.login1");
const QString kPortalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kPortalSettings = QStringLiteral("org.freedesktop.portal.Settings");
const QString kAppearance = QStringLiteral("org.freedesktop.appearance");
const QString kColorScheme = QStringLiteral("color-scheme");
// Start-up must not hang on a bus that does not answer.
constexpr int kCallTimeoutMs = 1000;

// Replies carry values wrapped in one or more variants.
QVariant unwrap(QVariant value) {
    while (value.userType() == qMetaTypeId<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value;
}

std::optional<uint> colorSchemeFrom(const QVariant& value) {
    const QVariant v = unwrap(value);
    bool ok = false;
    const uint scheme = v.toUInt(&ok);
    if (!ok || (v.typeId() != QMetaType::UInt && v.typeId() != QMetaType::Int)) return std::nullopt;
    return scheme;
}

bool isDarkName(const QString& name) {
    return name.contains(QStringLiteral("dark"), Qt::CaseInsensitive);
}

} // namespace

LinuxSystemEvents::Sources LinuxSystemEvents::userSources() {
    return Sources{QDBusConnection::sessionBus(), QDBusConnection::systemBus(), QString(),
                   qEnvironmentVariable("GTK_THEME")};
}

LinuxSystemEvents::LinuxSystemEvents() : LinuxSystemEvents(userSources()) {}

LinuxSystemEvents::LinuxSystemEvents(Sources sources) : sources_(std::move(sources)) {
    if (sources_.gtkConfigHome.isEmpty())
        sources_.gtkConfigHome = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    watchScreenSaverOverDBus();
    watchLogind();
    watchAppearance();
    qCDebug(lcPlatform,
            "desktop notices: screen saver over D-Bus %s, lock from logind %s, appearance from %s",
            screenSaverOverDBus_ ? "yes" : "no", lockOverLogind() ? "yes" : "no",
            appearanceFromPortal() ? "the portal" : "GTK's settings");
}

LinuxSystemEvents::~LinuxSystemEvents() = default;

void LinuxSystemEvents::watchScreenSaverOverDBus() {
    if (!sources_.sessionBus || !sources_.sessionBus->isConnected()) return;
    QDBusConnectionInterface* bus = sources_.sessionBus->interface();
    if (!bus || !bus->isServiceRegistered(kScreenSaverService).value()) return;
    screenSaverOverDBus_ = sources_.sessionBus->connect(kScreenSaverService, kScreenSaverPath,
                                                        kScreenSaverService, QStringLiteral("ActiveChanged"),
                                                        this, SLOT(screenSaverActiveChanged(bool)));
}

void LinuxSystemEvents::watchLogind() {
    if (!sources_.systemBus || !sources_.systemBus->isConnected()) return;
    const auto sessionPath = [this](const QString& method, const QVariant& argument) -> QString {
        QDBusMessage call =
            QDBusMessage::createMethodCall(kLogindService, QStringLiteral("/org/freedesktop/login1"),
                                           QStringLiteral("org.freedesktop.login1.Manager"), method);
        call << argument;
        const QDBusMessage reply = sources_.systemBus->call(call, QDBus::Block, kCallTimeoutMs);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
        return reply.arguments().constFirst().value<QDBusObjectPath>().path();
    };
    QString path = sessionPath(QStringLiteral("GetSessionByPID"), QVariant::fromValue(uint(::getpid())));
    const QString sessionId = qEnvironmentVariable("XDG_SESSION_ID");
    if (path.isEmpty() && !sessionId.isEmpty()) path = sessionPath(QStringLiteral("GetSession"), sessionId);
    if (path.isEmpty()) return;
    const QString iface = QStringLiteral("org.freedesktop.login1.Session");
    const bool locked = sources_.systemBus->connect(kLogindService, path, iface, QStringLiteral("Lock"), this,
                                                    SLOT(sessionLock()));
    const bool unlocked = sources_.systemBus->connect(kLogindService, path, iface, QStringLiteral("Unlock"),
                                                      this, SLOT(sessionUnlock()));
    if (locked && unlocked) sessionPath_ = path;
}

void LinuxSystemEvents::watchAppearance() {
    if (sources_.sessionBus && sources_.sessionBus->isConnected()) {
        // The current portal answers ReadOne with the value itself; older ones only know Read.
        for (const QString& method : {QStringLiteral("ReadOne"), QStringLiteral("Read")}) {
            QDBusMessage call =
                QDBusMessage::createMethodCall(kPortalService, kPortalPath, kPortalSettings, method);
            call << kAppearance << kColorScheme;
            const QDBusMessage reply = sources_.sessionBus->call(call, QDBus::Block, kCallTimeoutMs);
            if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) continue;
            portalColorScheme_ = colorSchemeFrom(reply.arguments().constFirst());
            if (portalColorScheme_) break;
        }
        if (portalColorScheme_)
            sources_.sessionBus->connect(kPortalService, kPortalPath, kPortalSettings,
                                         QStringLiteral("SettingChanged"), this,
                                         SLOT(portalSettingChanged(QString, QString, QDBusVariant)));
    }
    // GTK's files are watched in any case: a portal that says "no preference" defers to them.
    gtkWatcher_ = std::make_unique<QFileSystemWatcher>();
    for (const char* dir : {"gtk-3.0", "gtk-4.0"}) {
        const QString path = sources_.gtkConfigHome + u'/' + QLatin1String(dir);
        if (QFileInfo::exists(path)) gtkWatcher_->addPath(path);
        if (QFileInfo::exists(path + QStringLiteral("/settings.ini")))
            gtkWatcher_->addPath(path + QStringLiteral("/settings.ini"));
    }
    if (QFileInfo::exists(sources_.gtkConfigHome)) gtkWatcher_->addPath(sources_.gtkConfigHome);
    connect(gtkWatcher_.get(), &QFileSystemWatcher::fileChanged, this,
            &LinuxSystemEvents::gtkSettingsChanged);
    connect(gtkWatcher_.get(), &QFileSystemWatcher::directoryChanged, this,
            &LinuxSystemEvents::gtkSettingsChanged);
    dark_ = computeDarkMode();
}

bool LinuxSystemEvents::gtkPrefersDark(const QString& configHome, const QString& gtkThemeEnvironment) {
    // GTK_THEME is "name" or "name:variant" and overrides the files.
    if (!gtkThemeEnvironment.isEmpty()) return isDarkName(gtkThemeEnvironment);
    // gtk-4.0 first: a desktop that writes both keeps them in step anyway.
    for (const char* dir : {"gtk-4.0", "gtk-3.0"}) {
        const QString file = configHome + u'/' + QLatin1String(dir) + QStringLiteral("/settings.ini");
        if (!QFileInfo::exists(file)) continue;
        QSettings ini(file, QSettings::IniFormat);
        ini.beginGroup(QStringLiteral("Settings"));
        const QString prefer =
            ini.value(QStringLiteral("gtk-application-prefer-dark-theme")).toString().trimmed();
        if (prefer == u"1" || prefer.compare(u"true", Qt::CaseInsensitive) == 0) return true;
        const QString theme = ini.value(QStringLiteral("gtk-theme-name")).toString();
        if (!theme.isEmpty() || !prefer.isEmpty()) return isDarkName(theme);
    }
    return false;
}

bool LinuxSystemEvents::computeDarkMode() const {
    if (portalColorScheme_ && *portalColorScheme_ != 0) return *portalColorScheme_ == 1; // 1 dark, 2 light
    return gtkPrefersDark(sources_.gtkConfigHome, sources_.gtkThemeEnvironment);
}

void LinuxSystemEvents::updateDarkMode() {
    const bool dark = computeDarkMode();
    if (dark == dark_) return;
    dark_ = dark;
    center_.post(kInterfaceThemeChangedNotification, this);
}

void LinuxSystemEvents::screenSaverActiveChanged(bool active) {
    center_.post(active ? kScreenSaverDidStartNotification : kScreenSaverDidStopNotification, this);
}

void LinuxSystemEvents::sessionLock() {
    center_.post(kScreenIsLockedNotification, this);
}

void LinuxSystemEvents::sessionUnlock() {
    center_.post(kScreenIsUnlockedNotification, this);
}

void LinuxSystemEvents::portalSettingChanged(const QString& nameSpace, const QString& key,
                                             const QDBusVariant& value) {
    if (nameSpace != kAppearance || key != kColorScheme) return;
    if (std::optional<uint> scheme = colorSchemeFrom(QVariant::fromValue(value))) {
        portalColorScheme_ = scheme;
        updateDarkMode();
    }
}

void LinuxSystemEvents::gtkSettingsChanged() {
    // Files that appear after start are watched from then on (editors replace files, too).
    for (const char* dir : {"gtk-3.0", "gtk-4.0"}) {
        const QString path = sources_.gtkConfigHome + u'/' + QLatin1String(dir);
        if (QFileInfo::exists(path) && !gtkWatcher_->directories().contains(path)) gtkWatcher_->addPath(path);
        const QString file = path + QStringLiteral("/settings.ini");
        if (QFileInfo::exists(file) && !gtkWatcher_->files().contains(file)) gtkWatcher_->addPath(file);
    }
    updateDarkMode();
}
