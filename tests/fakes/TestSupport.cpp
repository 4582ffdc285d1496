#include "fakes/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QThread>

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (!done()) QThread::usleep(200);
    }
    return true;
}

void spinEventLoop(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::usleep(200);
    }
}

int openDescriptorCount() { return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size()); }

QString tempPath(const QString& name) {
    static QTemporaryDir dir;
    return dir.filePath(name);
}

QString binDir() {
    const QString env = qEnvironmentVariable("ZUB_BIN_DIR");
    return env.isEmpty() ? QCoreApplication::applicationDirPath() : env;
}
