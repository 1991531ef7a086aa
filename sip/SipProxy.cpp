#include "SipProxy.h"

#include "Md5.h"

#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>

namespace sip {

SipProxy::SipProxy(const std::string& host_, std::vector<kmt::SocketAddress> addresses_,
                   const std::string& user_, const std::string& displayName_)
    : host(host_), addresses(std::move(addresses_)), user(user_), displayName(displayName_) {}

SipProxy::~SipProxy() = default;

SipProxy* SipProxy::create(const std::string& host, int port, const std::string& user,
                           const std::string& displayName) {
    std::vector<kmt::SocketAddress> addresses =
        kmt::SocketAddress::allFromHost(host.c_str(), nullptr, static_cast<uint16_t>(port));
    if (addresses.empty())
        throw std::runtime_error("cannot resolve proxy address");
    return new SipProxy(host, std::move(addresses), user, displayName);
}

std::string SipProxy::digestHA1(const std::string& realm) const {
    return md5Hex(authUser + ":" + realm + ":" + password);
}

kmt::SocketAddress SipProxy::localAddress() const {
    try {
        kmt::Socket probe;
        probe.create(AF_INET, SOCK_DGRAM, 0);
        // Connecting a datagram socket sends nothing; it only makes the system pick the route and
        // with it the local address. The Winsock subset has no connect, so the descriptor is used.
        const kmt::SocketAddress& target = addresses.front();
        socklen_t length =
            target.family() == AF_INET6 ? sizeof(plat::SOCKADDR_IN6) : sizeof(plat::SOCKADDR_IN);
        if (::connect(plat::socketFd(probe.handle()), target.sockaddr(), length) != 0)
            throw kmt::SocketException("connect", plat::WSAENETUNREACH);
        kmt::SocketAddress local = probe.localAddress();
        return local.withPort(0);
    } catch (const kmt::SocketException&) {
        return kmt::SocketAddress::fromHost(kmt::hostName().c_str());
    }
}

} // namespace sip
