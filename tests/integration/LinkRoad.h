#pragma once

#include "../link/LinkTestSupport.h"
#include "fakes/ChildProcess.h"

#include <QJsonObject>
#include <vector>

// device-sim on a free port playing `script`, recording to a file of its own.
class DeviceSimProcess {
public:
    explicit DeviceSimProcess(const QString& script, const QStringList& extraArguments = {});
    bool listening() const { return port_ != 0; }
    uint16_t port() const { return port_; }
    ChildProcess& process() { return process_; }
    // The record so far, one object per line.
    std::vector<QJsonObject> record() const;
    // The texts the device received, in order.
    QStringList textsReceived() const;

private:
    QString recordPath_;
    ChildProcess process_;
    uint16_t port_ = 0;
};
