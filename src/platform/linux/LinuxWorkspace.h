#pragma once

#include "platform/Workspace.h"

#include <optional>

// The running instances of an application are kept in a per-user record,
// <runtime dir>/<bundle identifier>.pids, one "pid start-time" line per instance in launch order.
// The start time (from /proc) tells a live instance from an unrelated process that happens to have
// reused a recorded pid, so a stale line can never make us end a stranger.
class LinuxWorkspace : public Workspace {
public:
    // `runtimeDirectory` empty: $XDG_RUNTIME_DIR/zubpad, or /tmp/zubpad-<uid> without one.
    explicit LinuxWorkspace(QString runtimeDirectory = {});

    OptError registerRunningApplication(const QString& bundleIdentifier) override;
    std::vector<RunningApplication>
    runningApplicationsWithBundleIdentifier(const QString& bundleIdentifier) override;
    qint64 currentProcessIdentifier() const override;
    bool forceTerminate(const RunningApplication& application) override;
    bool openURL(const QUrl& url) override;
    // Windows programs run under Wine keep their settings in each prefix's roaming application data:
    // every <prefix>/drive_c/users/<user>/AppData/Roaming/<maker>/<program> folder, for the prefix
    // in $WINEPREFIX and ~/.wine.
    QStringList applicationPreferencesRoots() const override;

    const QString& runtimeDirectory() const { return runtimeDirectory_; }
    // The kernel's start time of a running process (clock ticks since boot); none when there is no such
    // process or it has ended.
    static std::optional<quint64> processStartTime(qint64 pid);

private:
    struct Entry {
        qint64 pid;
        quint64 startTime;
    };
    // Runs `fn` on the live entries of the record under an exclusive lock and writes back what it
    // leaves; the record and its directory are made when missing.
    OptError withRecord(const QString& bundleIdentifier, const std::function<void(std::vector<Entry>&)>& fn);
    OptError ensureDirectory() const;
    QString recordPath(const QString& bundleIdentifier) const;

    QString runtimeDirectory_;
};
