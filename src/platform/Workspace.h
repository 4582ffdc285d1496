#pragma once

#include "base/Error.h"

#include <QString>
#include <QUrl>
#include <functional>
#include <vector>

struct RunningApplication {
    qint64 processIdentifier = 0;
    QString bundleIdentifier;
};

// The running applications, URLs and, later, the application in front.
class Workspace {
public:
    virtual ~Workspace() = default;

    // Enters this process among the running applications carrying `bundleIdentifier`, on systems
    // that do not keep such a record by themselves. Call once, at start.
    virtual OptError registerRunningApplication(const QString& bundleIdentifier) = 0;
    // The live applications carrying the identifier, in launch order (oldest first), this process
    // included once it is registered.
    virtual std::vector<RunningApplication>
    runningApplicationsWithBundleIdentifier(const QString& bundleIdentifier) = 0;
    virtual qint64 currentProcessIdentifier() const = 0;
    // Ends the application at once, without asking it; false when it could not be ended.
    virtual bool forceTerminate(const RunningApplication& application) = 0;

    // Opens the URL in the user's preferred application; false when nothing could open it.
    virtual bool openURL(const QUrl& url) = 0;
};
