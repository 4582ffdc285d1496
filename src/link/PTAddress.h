#pragma once

#include <QMetaType>
#include <QString>
#include <cstdint>
#include <sys/socket.h>

// A peer's socket address, copied: IPv4 or IPv6, or empty.
class PTAddress {
public:
    PTAddress() = default;
    // Copies `length` bytes of the address (at most a sockaddr_storage).
    PTAddress(const sockaddr* address, socklen_t length);
    // Address and port in host order.
    static PTAddress ipv4(uint32_t address, uint16_t port);

    bool isEmpty() const { return length_ == 0; }
    // Numeric text form (dotted quad, or the standard IPv6 form); a null QString when empty or not
    // convertible.
    QString name() const;
    // Host order; 0 when empty.
    uint16_t port() const;
    // "name:port", or "(?)" when empty.
    QString description() const;

    const struct sockaddr* address() const { return reinterpret_cast<const struct sockaddr*>(&sockaddr_); }
    socklen_t length() const { return length_; }

private:
    sockaddr_storage sockaddr_{};
    socklen_t length_ = 0;
};

Q_DECLARE_METATYPE(PTAddress)
