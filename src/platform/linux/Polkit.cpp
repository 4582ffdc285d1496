#include "platform/linux/Polkit.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QProcess>
#include <unistd.h>

bool Polkit::runsAsAdministrator() {
    return ::geteuid() == 0;
}

Polkit::Polkit(QString pkexec, QString pkcheck, bool administrator)
    : pkexec_(std::move(pkexec)), pkcheck_(std::move(pkcheck)), administrator_(administrator) {}

bool Polkit::isAuthorized() {
    return administrator_ || check(false);
}

bool Polkit::authorize() {
    return administrator_ || check(true);
}

bool Polkit::check(bool allowUserInteraction) {
    QStringList args{QStringLiteral("--action-id"), QString::fromLatin1(kExecAction),
                     QStringLiteral("--process"), QString::number(QCoreApplication::applicationPid())};
    if (allowUserInteraction) args << QStringLiteral("--allow-user-interaction");
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    // The dialog is modal: the event loop keeps running beneath it, as beneath an alert, while the
    // user answers.
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    process.start(pkcheck_, args);
    if (process.state() != QProcess::NotRunning) loop.exec();
    return process.exitStatus() == QProcess::NormalExit && process.error() == QProcess::UnknownError &&
           process.exitCode() == 0;
}

void Polkit::execute(const QString& program, const QStringList& args, std::function<void(Result)> done) {
    auto* process = new QProcess;
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->setStandardInputFile(QProcess::nullDevice());
    auto finish = [process, done = std::move(done)](Result result) {
        process->disconnect();
        process->deleteLater();
        done(result);
    };
    QObject::connect(process, &QProcess::errorOccurred, process, [finish](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) finish({Outcome::Failed, -1});
    });
    QObject::connect(process, &QProcess::finished, process,
                     [finish, viaPkexec = !administrator_](int code, QProcess::ExitStatus status) {
                         if (status != QProcess::NormalExit) return finish({Outcome::Ran, -1});
                         if (viaPkexec && (code == kDismissed || code == kNotAuthorized))
                             return finish({Outcome::Refused, code});
                         finish({Outcome::Ran, code});
                     });
    if (administrator_)
        process->start(program, args);
    else
        process->start(pkexec_, QStringList{program} + args);
}
