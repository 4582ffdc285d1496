#pragma once

#include "platform/SystemInfo.h"

// SystemInfo from what Linux publishes: /etc/os-release, the DMI identity under /sys and the socket
// tables under /proc/net. `root` moves all of those under another directory (for tests).
class LinuxSystemInfo final : public SystemInfo {
public:
    explicit LinuxSystemInfo(const QString& root = QStringLiteral("/"));

    QString osVersionString() const override { return osVersion_; }
    QString machineModel() const override { return machineModel_; }
    QString machineArchitecture() const override;
    quint32 userID() const override;
    std::vector<quint32> listeningSocketOwners(quint16 port) const override;

    // The owners of the listening sockets on `port` reachable from 127.0.0.1, from the text of
    // /proc/net/tcp (`ipv6` false) or /proc/net/tcp6 (`ipv6` true). Lines that do not parse are skipped.
    static std::vector<quint32> listeningOwnersInTable(const QByteArray& table, quint16 port, bool ipv6);

private:
    QString root_;
    QString osVersion_;
    QString machineModel_;
};
