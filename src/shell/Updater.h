#pragma once

#include "base/Clock.h"
#include "base/Lifetime.h"
#include "shell/Appcast.h"
#include "shell/BoundedDownload.h"
#include "shell/ShellHooks.h"

#include <QString>
#include <QUrl>
#include <functional>
#include <memory>
#include <optional>

class Alerts;
class SystemInfo;
class UserDefaults;
class Workspace;

// The application updater: reads our update feed (an appcast) on a thread of its own, at the user's
// request and, while "autoUpdateApp" is on, once a day. On Linux the package manager installs, so a
// newer release is announced (in the menu, and in the user's own check by an alert offering its
// release page); nothing is downloaded or run. Main thread only, apart from the download.
class Updater final : public AutoUpdater {
public:
    // The interval of automatic checks, in seconds.
    static constexpr double kUpdateCheckInterval = 86400.0;

    // "ZUBPAD_APPCAST_URL" when set (tests serve their own feed), else the "AppcastURL" of Info.plist.
    static QUrl feedURL();
    // "%1 Linux/%2": the updater's own agent ("ZubPad/1.0.0") and the system's version.
    static QString userAgentString(const SystemInfo& systemInfo);

    Updater(UserDefaults& defaults, Alerts& alerts, Workspace& workspace, QUrl feed, QString userAgent);
    ~Updater() override;
    Updater(const Updater&) = delete;
    Updater& operator=(const Updater&) = delete;

    // `automaticallyChecksForUpdates` follows "autoUpdateApp"; while on, a check every interval.
    void setAutoUpdateConfig() override;
    // A check that tells nobody unless a newer release is there: then the menu says so.
    void checkForUpdatesInBackground() override;
    // The user's check: always answered by an alert (up to date, a newer release, or no answer).
    void checkForUpdates() override;
    QString newVersion() const override { return availableRelease_ ? availableRelease_->version : QString(); }

    bool automaticallyChecksForUpdates() const { return automaticallyChecksForUpdates_; }
    bool checkInProgress() const { return download_ != nullptr; }

private:
    void startCheck();
    // The newest release in the feed, or nothing and why.
    void checkFinished(const std::optional<AppcastRelease>& newest, const QString& error);
    void scheduleNextCheck();
    void cancelScheduledCheck();
    void answerUser(bool failed);

    UserDefaults& defaults_;
    Alerts& alerts_;
    Workspace& workspace_;
    QUrl feed_;
    QString userAgent_;
    bool automaticallyChecksForUpdates_ = false;
    std::optional<Clock::TimerId> scheduled_;
    std::unique_ptr<BoundedDownload> download_;
    // The check under way answers the user when it ends.
    bool userAsked_ = false;
    std::optional<AppcastRelease> availableRelease_;
    Lifetime<Updater> lifetime_{this};
};
