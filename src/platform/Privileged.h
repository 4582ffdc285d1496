#pragma once

#include <QString>
#include <QStringList>
#include <functional>

// Commands run as the administrator, after the system's own authorisation.
class Privileged {
public:
    enum class Outcome {
        Ran,     // the command ran; `exitStatus` is its status
        Refused, // the user or the system's policy refused: nothing ran
        Failed,  // the command could not be started
    };
    struct Result {
        Outcome outcome = Outcome::Failed;
        int exitStatus = -1;
    };

    virtual ~Privileged() = default;
    // Whether this process may run commands as the administrator now, without asking anyone.
    virtual bool isAuthorized() = 0;
    // Asks the user for the administrator's authorisation with the system's dialog, and waits for
    // the answer; true when granted.
    virtual bool authorize() = 0;
    // Starts `program` with `args` as the administrator; `done` runs on the main thread once it ended
    // or was refused.
    virtual void execute(const QString& program, const QStringList& args,
                         std::function<void(Result)> done) = 0;
};
