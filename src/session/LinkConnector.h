#pragma once

#include "base/Clock.h"
#include "base/Error.h"
#include "base/Lifetime.h"
#include "base/NotificationCenter.h"
#include "link/PTUSBHub.h"

#include <QtGlobal>
#include <functional>
#include <memory>
#include <set>

class PTAddress;
class PTChannel;

// How the session's channels reach the companion app: over USB through the usbmux daemon, or on a
// loopback TCP port. Separate from the session so tests can stand in for the daemon.
class LinkConnector {
public:
    using Callback = std::function<void(const OptError&)>;
    using ConnectCallback = std::function<void(const OptError&, const PTAddress&)>;

    virtual ~LinkConnector() = default;

    // The poster of "PTUSBDeviceDidAttachNotification" and "PTUSBDeviceDidDetachNotification".
    virtual const void* hub() = 0;
    // Device notices are wanted from now on (until stopListening).
    virtual void startListening() {}
    virtual void stopListening() {}
    // False while the usbmux daemon cannot be reached: no device can show up then.
    virtual bool daemonReachable() const { return true; }
    // Connects `channel` to `port` (host order) on the device, through the daemon.
    virtual void connectToUSBDevice(PTChannel& channel, quint16 port, qint64 deviceID, Callback callback) = 0;
    // Connects `channel` to `port` (host order) on 127.0.0.1.
    virtual void connectToLocalIPv4Port(PTChannel& channel, quint16 port, ConnectCallback callback) = 0;
};

// The real road: a PTUSBHub on the daemon's socket, and TCP. The daemon is followed: while it is
// absent the hub tries to listen again every second, and when its connection ends, every device it
// had announced is reported detached (the daemon announces the present ones again when it is back).
class HubLinkConnector final : public LinkConnector {
public:
    static constexpr double kRelistenDelay = 1.0;

    explicit HubLinkConnector(UsbmuxAddress address = UsbmuxAddress::fromEnvironment());
    ~HubLinkConnector() override;

    const void* hub() override { return hub_.get(); }
    PTUSBHub& usbHub() { return *hub_; }
    void startListening() override;
    void stopListening() override;
    bool daemonReachable() const override { return !daemonAbsenceSaid_; }
    void connectToUSBDevice(PTChannel& channel, quint16 port, qint64 deviceID, Callback callback) override;
    void connectToLocalIPv4Port(PTChannel& channel, quint16 port, ConnectCallback callback) override;

private:
    void listen();
    void daemonLost();
    void relistenLater();

    std::unique_ptr<PTUSBHub> hub_;
    bool wanted_ = false;
    std::optional<Clock::TimerId> relistenTimer_;
    bool daemonAbsenceSaid_ = false; // logged once while the daemon is away
    // The devices the daemon has announced and not yet taken back.
    std::set<qint64> attached_;
    std::vector<NotificationCenter::ObserverId> observers_;
    Lifetime<HubLinkConnector> lifetime_{this};
};
