#pragma once

#include "base/Lifetime.h"
#include "platform/Privileged.h"

#include <QString>
#include <QStringList>
#include <functional>

class BLAuthentication;

// Told of what the administrator's rights did; every message is optional.
class BLAuthenticationDelegate {
public:
    virtual ~BLAuthenticationDelegate() = default;
    virtual void authenticationDidAuthorize(BLAuthentication&) {}
    virtual void authenticationDidDeauthorize(BLAuthentication&) {}
    virtual void authenticationDidExecute(BLAuthentication&) {}
    virtual void authenticationFailedExecute(BLAuthentication&) {}
};

// Commands run with the administrator's rights. Rights granted once stay valid for later checks in the
// same process until deauthenticate. Main thread only.
class BLAuthentication {
public:
    // The longest command path accepted, in bytes of UTF-8, and the most arguments passed.
    static constexpr int kMaxCommandPathBytes = 1023;
    static constexpr int kMaxArguments = 19;

    explicit BLAuthentication(Privileged& privileged) : privileged_(privileged) {}

    void setDelegate(BLAuthenticationDelegate* delegate) { delegate_ = delegate; }

    // Whether running `commandPath` as the administrator is allowed now, without a dialog.
    bool isAuthenticated(const QString& commandPath);
    // Asks for the administrator's rights with the system's dialog; true when granted.
    bool fetchPassword(const QString& commandPath);
    // isAuthenticated, else fetchPassword followed by isAuthenticated.
    bool authenticate(const QString& commandPath);
    // Forgets the rights granted.
    void deauthenticate();
    // Authenticates, then starts the command as the administrator; `done` (main thread) hears whether
    // it ran and its status. More arguments than kMaxArguments are refused: cutting them off would
    // run a different command. Empty `done`: nobody waits.
    void executeCommand(const QString& commandPath, const QStringList& args,
                        std::function<void(Privileged::Result)> done = {});

private:
    static bool acceptablePath(const QString& commandPath);
    void executed(Privileged::Result result, const QString& commandPath,
                  const std::function<void(Privileged::Result)>& done);
    void failed(Privileged::Result result, const QString& why,
                const std::function<void(Privileged::Result)>& done);

    Privileged& privileged_;
    BLAuthenticationDelegate* delegate_ = nullptr;
    bool granted_ = false;
    Lifetime<BLAuthentication> lifetime_{this};
};
