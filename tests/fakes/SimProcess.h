#pragma once

#include "fakes/ChildProcess.h"

#include <QString>
#include <QStringList>

// usbmuxd-sim run as a child process on a private socket; its event lines are collected.
class SimProcess {
public:
    explicit SimProcess(const QString& name, const QStringList& extraArgs = {});
    ~SimProcess();
    bool started() const { return ready_; }
    const QString& path() const { return path_; }
    // Waits for an event line starting with `prefix` (counting from the last one matched) and returns it.
    QString waitForLine(const QString& prefix, int timeoutMs = 5000);
    void command(const QString& line);
    // Everything the daemon said so far, for failure messages.
    QString transcript() const { return process_.transcript(); }

private:
    QString path_;
    ChildProcess process_;
    bool ready_ = false;
};
