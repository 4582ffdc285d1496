#pragma once

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <optional>

// One of our binaries (from binDir()) run as a child process for an integration test: its output
// (standard output and error together) is collected line by line while the test waits.
class ChildProcess {
public:
    ChildProcess(const QString& binary, const QStringList& arguments,
                 const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
    // Stops the process if it still runs.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool started() const { return started_; }
    // The first line after the last one returned that matches, or a null QString after the timeout.
    QString waitForLine(const QRegularExpression& pattern, int timeoutMs = 5000);
    // Writes one line to the process's standard input.
    void writeLine(const QString& line);
    // Asks the process to stop (SIGTERM); waitForExit tells how it ended.
    void terminate() { process_.terminate(); }
    // Ends the process's standard input.
    void closeInput() { process_.closeWriteChannel(); }
    // The exit code once the process has ended by itself, or nothing after the timeout (or a crash).
    std::optional<int> waitForExit(int timeoutMs = 5000);
    // Sends a signal to the process (SIGTERM to ask it to end, ...).
    void signal(int signalNumber);
    bool running() const { return process_.state() != QProcess::NotRunning; }
    // How it ended: by a signal (QProcess::CrashExit) or by itself.
    QProcess::ExitStatus exitStatus() const { return process_.exitStatus(); }
    qint64 processId() const { return process_.processId(); }
    // Everything said so far, for failure messages.
    QString transcript() const { return lines_.join(u'\n'); }

private:
    void collect();

    QProcess process_;
    QMetaObject::Connection output_;
    QStringList lines_;
    QByteArray partial_;
    qsizetype next_ = 0;
    bool started_ = false;
};
