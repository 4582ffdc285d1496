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

namespace {

// The address when it is a whole IPv4 one: a shorter length must not be read past.
const sockaddr_in* asIpv4(const sockaddr_storage& address, socklen_t length) {
    if (address.ss_family != AF_INET || length < sizeof(sockaddr_in)) return nullptr;
    return reinterpret_cast<const sockaddr_in*>(&address);
}

} // namespace

QString PTAddress::name() const {
    char text[INET_ADDRSTRLEN] = {};
    const sockaddr_in* in = asIpv4(sockaddr_, length_);
    if (in && inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) return QString::fromLatin1(text);
    return {};
}

uint16_t PTAddress::port() const {
    const sockaddr_in* in = asIpv4(sockaddr_, length_);
    return in ? ntohs(in->sin_port) : 0;
}

QString PTAddress::description() const {
    if (isEmpty()) return QStringLiteral("(?)");
    const QString n = name();
    return (n.isNull() ? QStringLiteral("(null)") : n) + QLatin1Char(':') + QString::number(port());
}
