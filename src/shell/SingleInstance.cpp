#include "shell/SingleInstance.h"

#include "platform/Workspace.h"

OptError SingleInstance::launch(const QString& bundleIdentifier) {
    OptError error = workspace_.registerRunningApplication(bundleIdentifier);
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
    return workspace_.forceTerminate(running.front());
}
