#include "fakes/PrivateXvfb.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QThread>

#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// Starts `argv` with its output to /dev/null; -1 when it cannot.
pid_t spawn(const QByteArray& program, const QList<QByteArray>& args) {
    std::vector<char*> argv{const_cast<char*>(program.constData())};
    for (const QByteArray& a : args)
        argv.push_back(const_cast<char*>(a.constData()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    // The child: only calls that are safe after fork, then the server.
    // A test that dies (a sanitizer stops it) must not leave its server behind, holding the pipe the
    // test's output goes to.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    execv(argv[0], argv.data());
    _exit(127);
}

bool alive(pid_t pid) {
    return waitpid(pid, nullptr, WNOHANG) == 0;
}

// Waits up to `ms` for the child to end; whether it did.
bool reap(pid_t pid, int ms) {
    QDeadlineTimer deadline(ms);
    do {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return true;
        QThread::msleep(10);
    } while (!deadline.hasExpired());
    return false;
}

} // namespace

PrivateXvfb::PrivateXvfb(int width, int height) {
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) {
        failure_ = QStringLiteral("Xvfb is not installed");
        return;
    }
    // Away from the numbers scripts/test uses; a number someone else took makes Xvfb exit at once.
    const int first = 200 + int(QRandomGenerator::global()->bounded(400));
    for (int n = first; n < first + 20; ++n) {
        if (QFile::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(n)) ||
            QFile::exists(QStringLiteral("/tmp/.X%1-lock").arg(n)))
            continue;
        // -noreset: the server keeps its configuration when the last client leaves.
        const pid_t pid = spawn(xvfb.toLocal8Bit(), {QByteArray(":") + QByteArray::number(n), "-screen", "0",
                                                     QStringLiteral("%1x%2x24").arg(width).arg(height).toLatin1(),
                                                     "-nolisten", "tcp", "-noreset"});
        if (pid < 0) continue;
        QDeadlineTimer deadline(5000);
        const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(n);
        while (!deadline.hasExpired() && alive(pid) && !QFile::exists(socket))
            QThread::msleep(20);
        if (alive(pid) && QFile::exists(socket)) {
            pid_ = pid;
            name_ = QStringLiteral(":%1").arg(n);
            return;
        }
        kill(pid, SIGKILL);
        reap(pid, 2000);
    }
    failure_ = QStringLiteral("no Xvfb could be started");
}

PrivateXvfb::~PrivateXvfb() {
    if (pid_ < 0) return;
    kill(pid_, SIGTERM);
    if (!reap(pid_, 3000)) {
        kill(pid_, SIGKILL);
        reap(pid_, 3000);
    }
}
