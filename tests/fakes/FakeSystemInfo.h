#pragma once

#include "platform/SystemInfo.h"

#include <map>

// Answers what the test sets; records nothing.
class FakeSystemInfo final : public SystemInfo {
public:
    QString osVersion = QStringLiteral("12");
    QString model = QStringLiteral("ThinkPad X1");
    QString architecture = QStringLiteral("x86_64");
    bool translated = false;
    quint32 uid = 1000;
    // Listening-socket owners by port; a port not listed has no listener.
    std::map<quint16, std::vector<quint32>> listeners;

    QString osVersionString() const override { return osVersion; }
    QString machineModel() const override { return model; }
    QString machineArchitecture() const override { return architecture; }
    bool processTranslated() const override { return translated; }
    quint32 userID() const override { return uid; }
    std::vector<quint32> listeningSocketOwners(quint16 port) const override {
        auto it = listeners.find(port);
        return it == listeners.end() ? std::vector<quint32>{} : it->second;
    }
};
