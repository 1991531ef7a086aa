#include "SipProxy.h"

#include "Md5.h"
#include "plat/time.h"

#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>

namespace sip {

SipProxy::SipProxy(const std::string& host_, std::vector<kmt::SocketAddress> addresses_,
                   const std::string& user_, const std::string& displayName_)
    : host(host_), addresses(std::move(addresses_)), user(user_), displayName(displayName_) {
    try {
        learntLocal = probeLocalAddress();
    } catch (const kmt::SocketException&) {
        // Learnt with the first request instead.
    }
}

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

kmt::SocketAddress SipProxy::probeLocalAddress() const {
    const kmt::SocketAddress& target = addresses.front();
    kmt::Socket probe;
    probe.create(target.family(), SOCK_DGRAM, 0);
    // Connecting a datagram socket sends nothing; it only makes the system pick the route and
    // with it the local address.
    if (plat::connect(probe.handle(), target.sockaddr(), kmt::SocketAddress::length()) == plat::SOCKET_ERROR)
        throw kmt::SocketException("connect", plat::WSAGetLastError());
    kmt::SocketAddress local = probe.localAddress();
    return local.withPort(0);
}

kmt::SocketAddress SipProxy::localAddress() const {
    const int64_t now = plat::processClockMs();
    if (learntRecently && now - learntAtMs < kLocalAddressReuseMs)
        return learntLocal;
    try {
        learntLocal = probeLocalAddress();
        learntAtMs = now;
        learntRecently = true;
        return learntLocal;
    } catch (const kmt::SocketException&) {
        if (learntLocal.family() != 0)
            return learntLocal;
        return kmt::SocketAddress::fromHost(kmt::hostName().c_str());
    }
}

} // namespace sip
