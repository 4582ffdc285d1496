#pragma once

#include "platform/Privileged.h"

#include <QString>

// The administrator's rights through polkit: pkcheck asks for the authorisation to run programs as
// another user (the action pkexec itself needs), pkexec runs the program. As root both are skipped.
// The two programs are found on PATH unless given; `administrator` says whether this process runs as
// root.
class Polkit final : public Privileged {
public:
    static constexpr const char* kExecAction = "org.freedesktop.policykit.exec";
    // pkexec's status when the user dismissed its dialog, and when the authorisation failed.
    static constexpr int kDismissed = 126;
    static constexpr int kNotAuthorized = 127;

    static bool runsAsAdministrator();

    explicit Polkit(QString pkexec = QStringLiteral("pkexec"), QString pkcheck = QStringLiteral("pkcheck"),
                    bool administrator = runsAsAdministrator());

    bool isAuthorized() override;
    bool authorize() override;
    void execute(const QString& program, const QStringList& args, std::function<void(Result)> done) override;

private:
    bool check(bool allowUserInteraction);

    QString pkexec_;
    QString pkcheck_;
    bool administrator_;
};
