#pragma once

#include "base/Error.h"

#include <QtGlobal>
#include <functional>

class PTAddress;
class PTChannel;
class PTUSBHub;

// How the session's channels reach the companion app: over USB through the usbmux daemon, or on a
// loopback TCP port. Separate from the session so tests can stand in for the daemon.
class LinkConnector {
public:
    using Callback = std::function<void(const OptError&)>;
    using ConnectCallback = std::function<void(const OptError&, const PTAddress&)>;

    virtual ~LinkConnector() = default;

    // The poster of "PTUSBDeviceDidAttachNotification" and "PTUSBDeviceDidDetachNotification".
    virtual const void* hub() = 0;
    // Connects `channel` to `port` (host order) on the device, through the daemon.
    virtual void connectToUSBDevice(PTChannel& channel, quint16 port, qint64 deviceID, Callback callback) = 0;
    // Connects `channel` to `port` (host order) on 127.0.0.1.
    virtual void connectToLocalIPv4Port(PTChannel& channel, quint16 port, ConnectCallback callback) = 0;
};

// The real road: a PTUSBHub (the shared one unless given) and TCP.
class HubLinkConnector final : public LinkConnector {
public:
    // `hub` nullptr: the shared hub, made (and listening) on first use.
    explicit HubLinkConnector(PTUSBHub* hub = nullptr) : hub_(hub) {}

    const void* hub() override;
    void connectToUSBDevice(PTChannel& channel, quint16 port, qint64 deviceID, Callback callback) override;
    void connectToLocalIPv4Port(PTChannel& channel, quint16 port, ConnectCallback callback) override;

private:
    PTUSBHub* usbHub();
    PTUSBHub* hub_;
};
