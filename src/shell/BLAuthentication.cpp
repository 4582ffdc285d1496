#include "shell/BLAuthentication.h"

#include "base/Logging.h"

bool BLAuthentication::acceptablePath(const QString& commandPath) {
    const qsizetype bytes = commandPath.toUtf8().size();
    return bytes > 0 && bytes <= kMaxCommandPathBytes;
}

bool BLAuthentication::isAuthenticated(const QString& commandPath) {
    if (!acceptablePath(commandPath)) return false;
    if (!granted_ && privileged_.isAuthorized()) granted_ = true;
    return granted_;
}

bool BLAuthentication::fetchPassword(const QString& commandPath) {
    if (!acceptablePath(commandPath) || !privileged_.authorize()) return false;
    granted_ = true;
    if (delegate_) delegate_->authenticationDidAuthorize(*this);
    return true;
}

bool BLAuthentication::authenticate(const QString& commandPath) {
    return isAuthenticated(commandPath) || (fetchPassword(commandPath) && isAuthenticated(commandPath));
}

void BLAuthentication::deauthenticate() {
    granted_ = false;
    if (delegate_) delegate_->authenticationDidDeauthorize(*this);
}

void BLAuthentication::failed(Privileged::Result result, const QString& why,
                              const std::function<void(Privileged::Result)>& done) {
    qCWarning(lcShell).noquote() << QStringLiteral("Error %1 in pkexec:").arg(result.exitStatus) << why;
    if (delegate_) delegate_->authenticationFailedExecute(*this);
    if (done) done(result);
}

void BLAuthentication::executeCommand(const QString& commandPath, const QStringList& args,
                                      std::function<void(Privileged::Result)> done) {
    if (args.size() > kMaxArguments)
        return failed({Privileged::Outcome::Failed, -1},
                      QStringLiteral("too many arguments for %1").arg(commandPath), done);
    if (!authenticate(commandPath))
        return failed({Privileged::Outcome::Refused, -1},
                      QStringLiteral("the administrator's rights were refused"), done);
    privileged_.execute(commandPath, args,
                        [self = lifetime_.guard(), commandPath, done](Privileged::Result result) {
                            if (self) self->executed(result, commandPath, done);
                        });
}

void BLAuthentication::executed(Privileged::Result result, const QString& commandPath,
                                const std::function<void(Privileged::Result)>& done) {
    if (result.outcome == Privileged::Outcome::Ran && result.exitStatus == 0) {
        if (delegate_) delegate_->authenticationDidExecute(*this);
        if (done) done(result);
        return;
    }
    const QString why = result.outcome == Privileged::Outcome::Refused
                            ? QStringLiteral("running %1 was refused")
                        : result.outcome == Privileged::Outcome::Failed ? QStringLiteral("cannot start %1")
                                                                        : QStringLiteral("%1 failed");
    failed(result, why.arg(commandPath), done);
}
