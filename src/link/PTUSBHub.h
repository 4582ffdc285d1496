#pragma once

#include "base/Error.h"

#include <QString>
#include <QVariantMap>
#include <functional>
#include <memory>

class IoChannel;
class PTUSBChannel;

// Where the usbmux daemon listens: "/var/run/usbmuxd", or what USBMUXD_SOCKET_ADDRESS names
// ("UNIX:/path" for a Unix socket, "host:port" for TCP), as other usbmux clients do.
struct UsbmuxAddress {
    enum Kind { Unix, Tcp } kind = Unix;
    QString path;     // Unix
    QString host;     // Tcp
    quint16 port = 0; // Tcp
    static UsbmuxAddress fromEnvironment();
};

// The client side of the usbmux daemon: one listening connection that turns the daemon's broadcasts
// into "PTUSBDeviceDidAttachNotification" / "PTUSBDeviceDidDetachNotification" on the default
// NotificationCenter (object: the hub, userInfo: the broadcast dictionary), and connect requests
// that turn a fresh daemon socket into a byte stream to a device's TCP port.
class PTUSBHub {
public:
    using Callback = std::function<void(const OptError&)>;
    using ConnectStart = std::function<void(const OptError&, std::shared_ptr<IoChannel>)>;

    // Made once, on first use, listening from the start; all notifications arrive on the main thread.
    static PTUSBHub* sharedHub();

    explicit PTUSBHub(UsbmuxAddress address = UsbmuxAddress::fromEnvironment());
    ~PTUSBHub();

    void listenOnQueue(Callback onStart, Callback onEnd);
    // `port` in host order. On success the I/O channel carries the device port's bytes from the byte
    // after the daemon's answer; `onEnd` runs once that channel is finally closed.
    void connectToDevice(qint64 deviceID, quint16 port, ConnectStart onStart, Callback onEnd);
    void handleBroadcastPacket(const QVariantMap& packet);

    const UsbmuxAddress& address() const { return address_; }

private:
    UsbmuxAddress address_;
    std::shared_ptr<PTUSBChannel> channel_;
};
