#pragma once

#include "base/Error.h"

#include <QString>

class Workspace;

// One agent per user: a new start ends the instance already running, not itself.
class SingleInstance {
public:
    explicit SingleInstance(Workspace& workspace) : workspace_(workspace) {}

    // Enters this process among the running instances; when another one runs, ends it. The error
    // says why this process could not be recorded (a later start then cannot find it).
    OptError launch(const QString& bundleIdentifier);
    // Ends the first running instance older than this one; true when one was ended. Instances
    // started after this one are left alone: two agents started together would otherwise end each
    // other, and the newer one is the one to keep.
    bool quitApplicationWithBundleID(const QString& bundleIdentifier);

private:
    Workspace& workspace_;
};
