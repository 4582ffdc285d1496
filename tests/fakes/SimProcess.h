#pragma once

#include "fakes/ChildProcess.h"

// usbmuxd-sim run as a child process on a private socket; its event lines are collected.
class SimProcess : public ChildProcess {
public:
    explicit SimProcess(const QString& name, const QStringList& extraArgs = {});
    ~SimProcess();
    bool started() const { return ready_; }
    const QString& path() const { return path_; }
    // Waits for an event line starting with `prefix` (counting from the last one matched) and returns it.
    QString waitForLine(const QString& prefix, int timeoutMs = 5000) {
        return ChildProcess::waitForLine(QRegularExpression(u'^' + QRegularExpression::escape(prefix)),
                                         timeoutMs);
    }
    void command(const QString& line) { writeLine(line); }

private:
    QString path_;
    bool ready_ = false;
};
