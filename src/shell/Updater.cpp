#include "shell/Updater.h"

#include "base/Bundle.h"
#include "base/Logging.h"
#include "base/MainQueue.h"
#include "base/UserDefaults.h"
#include "display/ZDUtil.h"
#include "platform/Alerts.h"
#include "platform/Workspace.h"
#include "shell/Localization.h"
#include "shell/Settings.h"
#include "shell/VersionDocument.h"

namespace {

QString infoString(const char* key) {
    return Bundle::main().objectForInfoDictionaryKey(QString::fromLatin1(key)).toString();
}

} // namespace

QUrl Updater::feedURL() {
    const QString override = qEnvironmentVariable("ZUBPAD_APPCAST_URL");
    return QUrl(override.isEmpty() ? infoString("AppcastURL") : override);
}

QString Updater::userAgentString(const SystemInfo& systemInfo) {
    const QString own =
        QStringLiteral("%1/%2").arg(infoString("CFBundleName"), infoString("CFBundleShortVersionString"));
    return QStringLiteral("%1 Linux/%2").arg(own, ZDUtil::getMacOSVersionString(systemInfo));
}

Updater::Updater(UserDefaults& defaults, Alerts& alerts, Workspace& workspace, QUrl feed, QString userAgent)
    : defaults_(defaults), alerts_(alerts), workspace_(workspace), feed_(std::move(feed)),
      userAgent_(std::move(userAgent)) {}

Updater::~Updater() {
    cancelScheduledCheck();
    lifetime_.end();
    download_.reset();
}

void Updater::setAutoUpdateConfig() {
    automaticallyChecksForUpdates_ = defaults_.boolForKey(DefaultsKey::autoUpdateApp);
    cancelScheduledCheck();
    if (automaticallyChecksForUpdates_) scheduleNextCheck();
}

void Updater::scheduleNextCheck() {
    scheduled_ = mainQueue().after(kUpdateCheckInterval, [self = lifetime_.guard()] {
        if (!self) return;
        self->scheduled_.reset();
        self->checkForUpdatesInBackground();
        self->scheduleNextCheck();
    });
}

void Updater::cancelScheduledCheck() {
    if (scheduled_) Clock::shared().cancel(*scheduled_);
    scheduled_.reset();
}

void Updater::checkForUpdatesInBackground() {
    if (!download_) startCheck();
}

void Updater::checkForUpdates() {
    // A check already under way answers this request too.
    userAsked_ = true;
    if (!download_) startCheck();
}

void Updater::startCheck() {
    if (!feed_.isValid() || feed_.isEmpty()) {
        checkFinished(std::nullopt, QStringLiteral("no update feed is configured"));
        return;
    }
    // The feed is read on the download's thread too, so that a large one does not hold up the main
    // thread.
    download_ = std::make_unique<BoundedDownload>(
        feed_, userAgent_, [self = lifetime_.guard()](BoundedDownload::Result result) {
            std::optional<AppcastRelease> newest;
            if (result.body) newest = Appcast::newestRelease(*result.body);
            const QString error =
                result.body ? QStringLiteral("not a feed with a release in it") : result.error;
            mainQueue().async([self, newest = std::move(newest), error] {
                if (self) self->checkFinished(newest, error);
            });
        });
    download_->start();
}

void Updater::checkFinished(const std::optional<AppcastRelease>& newest, const QString& error) {
    download_.reset();
    const bool failed = !newest;
    if (failed)
        qCInfo(lcShell).noquote() << "no update information from" << feed_.toDisplayString() << "-" << error;
    const QString running = infoString("CFBundleShortVersionString");
    if (newest && isVersionGreater(newest->version, running)) {
        if (!availableRelease_ || availableRelease_->version != newest->version) {
            qCInfo(lcShell).noquote() << "a newer release is available:" << newest->version;
        }
        availableRelease_ = newest;
    } else if (newest) {
        availableRelease_.reset();
    }
    if (userAsked_) {
        userAsked_ = false;
        answerUser(failed);
    }
}

void Updater::answerUser(bool failed) {
    const QString name = infoString("CFBundleDisplayName");
    const QString running = infoString("CFBundleShortVersionString");
    Alert alert;
    alert.style = Alert::Style::Informational;
    if (failed) {
        // A feed that could not be read says nothing about being up to date.
        alert.style = Alert::Style::Warning;
        alert.messageText = localizedString(QStringLiteral("UpdateCheckFailed"));
        alert.informativeText = localizedString(QStringLiteral("UpdateCheckFailedBody"));
        alerts_.runModal(alert);
        return;
    }
    if (!availableRelease_) {
        alert.messageText = localizedString(QStringLiteral("UpToDate"));
        alert.informativeText = localizedString(QStringLiteral("UpToDateBody")).arg(name, running);
        alerts_.runModal(alert);
        return;
    }
    const AppcastRelease release = *availableRelease_;
    alert.messageText = localizedString(QStringLiteral("OSXAppUpdate")).arg(name);
    alert.informativeText =
        localizedString(QStringLiteral("UpdateAvailableBody")).arg(name, release.version, running);
    if (!release.releasePage.isEmpty())
        alert.buttons = {localizedString(QStringLiteral("OpenReleasePage")),
                         localizedString(QStringLiteral("NotNow"))};
    if (alerts_.runModal(alert) == Alerts::kFirstButtonReturn && !release.releasePage.isEmpty())
        workspace_.openURL(release.releasePage);
}
