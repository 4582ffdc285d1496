#include "fakes/SimProcess.h"

#include "fakes/TestSupport.h"

SimProcess::SimProcess(const QString& name, const QStringList& extraArgs)
    : path_(tempPath(name)),
      process_(QStringLiteral("usbmuxd-sim"), QStringList{QStringLiteral("--socket"), path_} + extraArgs) {
    ready_ = process_.started() && !waitForLine(QStringLiteral("ready")).isEmpty();
}

SimProcess::~SimProcess() {
    command(QStringLiteral("quit"));
    process_.waitForExit(3000);
}

QString SimProcess::waitForLine(const QString& prefix, int timeoutMs) {
    return process_.waitForLine(QRegularExpression(QLatin1Char('^') + QRegularExpression::escape(prefix)),
                                timeoutMs);
}

void SimProcess::command(const QString& line) {
    process_.writeLine(line);
}
