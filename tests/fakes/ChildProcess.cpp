#include "fakes/ChildProcess.h"

#include "fakes/TestSupport.h"

#include <QDir>

#include <csignal>

ChildProcess::ChildProcess(const QString& binary, const QStringList& arguments,
                           const QProcessEnvironment& environment) {
    process_.setProcessChannelMode(QProcess::MergedChannels);
    process_.setProcessEnvironment(environment);
    output_ = QObject::connect(&process_, &QProcess::readyReadStandardOutput, [this] { collect(); });
    process_.start(QDir(binDir()).filePath(binary), arguments);
    started_ = process_.waitForStarted(5000);
}

ChildProcess::~ChildProcess() {
    QObject::disconnect(output_);
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(5000)) {
        process_.kill();
        process_.waitForFinished(5000);
    }
}

void ChildProcess::collect() {
    partial_ += process_.readAllStandardOutput();
    qsizetype newline;
    while ((newline = partial_.indexOf('\n')) >= 0) {
        lines_.append(QString::fromUtf8(partial_.left(newline)));
        partial_.remove(0, newline + 1);
    }
}

QString ChildProcess::waitForLine(const QRegularExpression& pattern, int timeoutMs) {
    QString found;
    waitUntil(
        [&] {
            // waitUntil may ask again after the answer was yes.
            if (!found.isNull()) return true;
            collect();
            for (qsizetype i = next_; i < lines_.size(); ++i) {
                if (pattern.match(lines_[i]).hasMatch()) {
                    found = lines_[i];
                    next_ = i + 1;
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

void ChildProcess::writeLine(const QString& line) {
    process_.write(line.toUtf8() + '\n');
    process_.waitForBytesWritten(1000);
}

std::optional<int> ChildProcess::waitForExit(int timeoutMs) {
    if (!waitUntil([&] { return process_.state() == QProcess::NotRunning; }, timeoutMs)) return std::nullopt;
    collect();
    if (process_.exitStatus() != QProcess::NormalExit) return std::nullopt;
    return process_.exitCode();
}

void ChildProcess::signal(int signalNumber) {
    if (running()) ::kill(pid_t(process_.processId()), signalNumber);
}
