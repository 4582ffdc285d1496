#include "fakes/TestSupport.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>

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

QString freshTempPath(const QString& stem) {
    static std::atomic<int> n{0};
    return tempPath(stem + QString::number(++n));
}

bool writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QString binDir() {
    const QString env = qEnvironmentVariable("ZUB_BIN_DIR");
    return env.isEmpty() ? QCoreApplication::applicationDirPath() : env;
}
