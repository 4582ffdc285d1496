#pragma once

#include <QString>
#include <cstdint>
#include <sys/socket.h>

// A peer's socket address, copied, or empty. Channels connect and listen over IPv4 only, so only
// that form has a text.
class PTAddress {
public:
    PTAddress() = default;
    // Copies `length` bytes of the address (at most a sockaddr_storage).
    PTAddress(const sockaddr* address, socklen_t length);
    // Address and port in host order.
    static PTAddress ipv4(uint32_t address, uint16_t port);

    bool isEmpty() const { return length_ == 0; }
    // The dotted quad; a null QString when empty or not an IPv4 address.
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
