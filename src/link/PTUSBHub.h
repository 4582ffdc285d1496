#pragma once

#include "base/Error.h"
#include "base/Lifetime.h"
#include "base/PropertyList.h"

#include <QString>
#include <QVariantMap>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class IoChannel;
class PTUSBChannel;

// The property-list format requests to the daemon are written in (answers are read in any format).
// Debian's usbmuxd 1.1.x parses only XML property lists and drops a binary request without an answer,
// so Linux writes XML; Apple's daemon takes the binary form.
#ifdef __APPLE__
inline constexpr PropertyList::Format kUsbmuxRequestFormat = PropertyList::Format::Binary;
#else
inline constexpr PropertyList::Format kUsbmuxRequestFormat = PropertyList::Format::Xml;
#endif

// Where the usbmux daemon listens: "/var/run/usbmuxd", or what USBMUXD_SOCKET_ADDRESS names
// ("UNIX:/path" for a Unix socket, "host:port" for TCP), as other usbmux clients do.
struct UsbmuxAddress {
    enum Kind { Unix, Tcp } kind = Unix;
    QString path;     // Unix
    QString host;     // Tcp
    quint16 port = 0; // Tcp
    PropertyList::Format requestFormat = kUsbmuxRequestFormat;

    static UsbmuxAddress fromEnvironment();
    // "UNIX:/path", "host:port" or "[v6-host]:port"; nothing for any other text.
    static std::optional<UsbmuxAddress> fromString(const QString& text);
    static UsbmuxAddress unixSocket(const QString& path);
    // The socket's path or "host:port", as a log line shows it.
    QString toString() const;
};

inline const QString kPTUSBDeviceDidAttachNotification = QStringLiteral("PTUSBDeviceDidAttachNotification");
inline const QString kPTUSBDeviceDidDetachNotification = QStringLiteral("PTUSBDeviceDidDetachNotification");

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
    PTUSBHub(const PTUSBHub&) = delete;
    PTUSBHub& operator=(const PTUSBHub&) = delete;

    // `onStart` gets the result of the "Listen" request (nil at once when already listening);
    // `onEnd` runs when the listening connection's socket is closed. After that, listening again
    // opens a new connection.
    void listenOnQueue(Callback onStart, Callback onEnd);
    // How long the daemon has to answer a "Connect" request.
    static constexpr double kConnectTimeout = 5.0;

    // `port` in host order. On success the I/O channel carries the device port's bytes from the byte
    // after the daemon's answer; `onEnd` runs once that channel is finally closed. A failed attempt
    // gets its error through `onStart` only.
    void connectToDevice(qint64 deviceID, quint16 port, ConnectStart onStart, Callback onEnd);
    void handleBroadcastPacket(const QVariantMap& packet);

    const UsbmuxAddress& address() const { return address_; }
    // Why the daemon could not be reached, for a log line: "usbmuxd is not running at /var/run/usbmuxd
    // (No such file or directory)" when nothing listens there, "usbmuxd cannot be reached at ..." else.
    QString unreachableText(const Error& error) const;
    bool isListening() const { return channel_ != nullptr; }

private:
    UsbmuxAddress address_;
    std::shared_ptr<PTUSBChannel> channel_;
    Lifetime<PTUSBHub> lifetime_{this};
};
