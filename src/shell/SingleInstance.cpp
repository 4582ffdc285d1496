#include "shell/SingleInstance.h"

#include "base/Logging.h"
#include "platform/Workspace.h"

OptError SingleInstance::launch(const QString& bundleIdentifier) {
    OptError error = workspace_.registerRunningApplication(bundleIdentifier);
    if (error)
        qCWarning(lcShell, "cannot record this instance, so a second start cannot end it: %s",
                  qUtf8Printable(error->description));
    if (workspace_.runningApplicationsWithBundleIdentifier(bundleIdentifier).size() >= 2)
        quitApplicationWithBundleID(bundleIdentifier);
    return error;
}

bool SingleInstance::quitApplicationWithBundleID(const QString& bundleIdentifier) {
    const std::vector<RunningApplication> running =
        workspace_.runningApplicationsWithBundleIdentifier(bundleIdentifier);
    // Launch order: the first entry is the oldest. Reaching our own entry first means every other
    // instance is younger than us.
    if (running.empty() || running.front().processIdentifier == workspace_.currentProcessIdentifier())
        return false;
    const bool ended = workspace_.forceTerminate(running.front());
    qCInfo(lcShell, "%s the instance already running (pid %lld)", ended ? "ended" : "could not end",
           running.front().processIdentifier);
    return ended;
}
