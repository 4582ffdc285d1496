#pragma once

#include <QString>
#include <QtGlobal>
#include <vector>

// What the machine says about itself: the system's version, the machine's model, and who owns a
// local listening socket (so a loopback peer can be told apart from any local process).
class SystemInfo {
public:
    virtual ~SystemInfo() = default;

    // The operating system's version text ("12" for Debian 12, "22.04" for Ubuntu 22.04).
    virtual QString osVersionString() const = 0;
    // The machine's model identifier (the DMI product name on a PC).
    virtual QString machineModel() const = 0;
    // The processor architecture the system runs on, as uname names it ("x86_64", "aarch64").
    virtual QString machineArchitecture() const = 0;
    // Whether this process runs translated from another instruction set; no backend here has such a
    // translator.
    virtual bool processTranslated() const { return false; }

    // The user the program runs as.
    virtual quint32 userID() const = 0;
    // The owners (user IDs) of the TCP sockets listening on `port` that a connection to 127.0.0.1 can
    // reach; empty when none is found or the table cannot be read.
    virtual std::vector<quint32> listeningSocketOwners(quint16 port) const = 0;
};
