#include "SipAddress.h"

#include <cstring>

namespace sip {

bool isUnspecifiedAddress(const kmt::SocketAddress& address) {
    switch (address.family()) {
    case 0:
        return true;
    case AF_INET:
        return reinterpret_cast<const plat::SOCKADDR_IN*>(address.sockaddr())->sin_addr.s_addr == 0;
    case AF_INET6: {
        static const unsigned char zero[16] = {};
        const auto* in6 = reinterpret_cast<const plat::SOCKADDR_IN6*>(address.sockaddr());
        return std::memcmp(&in6->sin6_addr, zero, sizeof zero) == 0;
    }
    default:
        return false;
    }
}

void writePortSuffix(std::ostream& os, const kmt::SocketAddress& address) {
    int family = address.family();
    if (family == AF_INET || family == AF_INET6) {
        if (address.port() != 5060)
            os << ':' << address.port();
    } else {
        os << ":0";
    }
}

} // namespace sip
