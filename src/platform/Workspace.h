#pragma once

#include "base/Error.h"

#include <QString>
#include <QStringList>
#include <QUrl>
#include <functional>
#include <vector>

// The application in front: its identifier (a reverse-DNS bundle identifier where the desktop has
// one, else the closest stable name it gives) and its name in the user's language. Both empty when
// nothing is in front.
struct FrontmostApplicationInfo {
    QString bundleIdentifier;
    QString localizedName;
    bool operator==(const FrontmostApplicationInfo&) const = default;
};

struct RunningApplication {
    qint64 processIdentifier = 0;
    QString bundleIdentifier;
};

// The running applications, the application in front, URLs.
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

    // The application in front now.
    virtual FrontmostApplicationInfo frontmostApplication() { return {}; }
    // `handler` runs on the main thread each time another application comes to the front; empty
    // stops. A desktop that cannot tell never calls it.
    virtual void setFrontmostApplicationChangedHandler(std::function<void()> handler) { (void)handler; }

    // The folders where other applications keep folders of their own settings (Photoshop's "Adobe
    // Photoshop <version> Settings"), in no particular order; none where the desktop has no such place.
    virtual QStringList applicationPreferencesRoots() const { return {}; }

    // Opens the URL in the user's preferred application; false when nothing could open it.
    virtual bool openURL(const QUrl& url) = 0;
};
