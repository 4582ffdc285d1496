#include "fakes/SimProcess.h"

#include "fakes/TestSupport.h"

SimProcess::SimProcess(const QString& name, const QStringList& extraArgs)
    : ChildProcess(QStringLiteral("usbmuxd-sim"),
                   QStringList{QStringLiteral("--socket"), tempPath(name)} + extraArgs),
      path_(tempPath(name)) {
    ready_ = ChildProcess::started() && !waitForLine(QStringLiteral("ready")).isEmpty();
}

SimProcess::~SimProcess() {
    command(QStringLiteral("quit"));
    waitForExit(3000);
}
