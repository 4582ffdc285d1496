#include "link/PTAddress.h"

#include <arpa/inet.h>
#include <cstring>
#include <netinet/in.h>

PTAddress::PTAddress(const struct sockaddr* address, socklen_t length) {
    if (!address) return;
    length_ = std::min<socklen_t>(length, sizeof sockaddr_);
    std::memcpy(&sockaddr_, address, length_);
}

PTAddress PTAddress::ipv4(uint32_t address, uint16_t port) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(address);
    return PTAddress(reinterpret_cast<const struct sockaddr*>(&in), sizeof in);
}

QString PTAddress::name() const {
    char text[INET6_ADDRSTRLEN] = {};
    if (sockaddr_.ss_family == AF_INET && length_ >= sizeof(sockaddr_in)) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&sockaddr_);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) return QString::fromLatin1(text);
    } else if (sockaddr_.ss_family == AF_INET6 && length_ >= sizeof(sockaddr_in6)) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&sockaddr_);
        if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text)) return QString::fromLatin1(text);
    }
    return {};
}

uint16_t PTAddress::port() const {
    if (sockaddr_.ss_family == AF_INET && length_ >= sizeof(sockaddr_in))
        return ntohs(reinterpret_cast<const sockaddr_in*>(&sockaddr_)->sin_port);
    if (sockaddr_.ss_family == AF_INET6 && length_ >= sizeof(sockaddr_in6))
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&sockaddr_)->sin6_port);
    return 0;
}

QString PTAddress::description() const {
    if (isEmpty()) return QStringLiteral("(?)");
    const QString n = name();
    return (n.isNull() ? QStringLiteral("(null)") : n) + QLatin1Char(':') + QString::number(port());
}
