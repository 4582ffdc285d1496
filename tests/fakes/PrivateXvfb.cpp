#include "fakes/PrivateXvfb.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QThread>

#include <csignal>
#include <sys/prctl.h>

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
        auto process = std::make_unique<QProcess>();
        process->setProgram(xvfb);
        // -noreset: the server keeps its configuration when the last client leaves.
        process->setArguments({QStringLiteral(":%1").arg(n), QStringLiteral("-screen"), QStringLiteral("0"),
                               QStringLiteral("%1x%2x24").arg(width).arg(height), QStringLiteral("-nolisten"),
                               QStringLiteral("tcp"), QStringLiteral("-noreset")});
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // A test that dies (a sanitizer stops it) must not leave its server behind, holding the pipe
        // the test's output goes to.
        process->setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
        process->setStandardOutputFile(QProcess::nullDevice());
        process->start();
        if (!process->waitForStarted(5000)) continue;
        QDeadlineTimer deadline(5000);
        const QString socket = QStringLiteral("/tmp/.X11-unix/X%1").arg(n);
        while (!deadline.hasExpired() && process->state() == QProcess::Running && !QFile::exists(socket))
            QThread::msleep(20);
        if (process->state() == QProcess::Running && QFile::exists(socket)) {
            process_ = std::move(process);
            name_ = QStringLiteral(":%1").arg(n);
            return;
        }
        process->kill();
        process->waitForFinished(2000);
    }
    failure_ = QStringLiteral("no Xvfb could be started");
}

PrivateXvfb::~PrivateXvfb() {
    if (!process_) return;
    process_->terminate();
    if (!process_->waitForFinished(3000)) {
        process_->kill();
        process_->waitForFinished(3000);
    }
}
