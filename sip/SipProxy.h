// The SIP proxy (also the SIP domain), its resolved addresses and the user's credentials.
#pragma once

#include "kmt/socket.h"

#include <string>
#include <vector>

namespace sip {

class SipProxy {
public:
    // addresses must not be empty: requests and keep-alives go to the first one.
    SipProxy(const std::string& host, std::vector<kmt::SocketAddress> addresses, const std::string& user,
             const std::string& displayName);
    virtual ~SipProxy();
    SipProxy(const SipProxy&) = delete;
    SipProxy& operator=(const SipProxy&) = delete;

    // Resolves every address of host with port; throws std::runtime_error "cannot resolve proxy
    // address" when there is none. The auth user and password start empty.
    static SipProxy* create(const std::string& host, int port, const std::string& user,
                            const std::string& displayName);

    // MD5 hex of "authUser:realm:password".
    std::string digestHA1(const std::string& realm) const;

    // The local address the system uses toward the proxy (port 0), learnt again when the last
    // probe is older than kLocalAddressReuseMs (every message carries it: a route that changes is
    // followed within that time). When it cannot be learnt now (no descriptor for the probe: the
    // calls that are refused for want of them need it too), the one learnt last; the first address
    // of the local host name when none was ever learnt.
    kmt::SocketAddress localAddress() const;
    static constexpr int64_t kLocalAddressReuseMs = 1000;

    std::string host;
    std::vector<kmt::SocketAddress> addresses;
    kmt::SocketAddress registeredAddress; // source of the latest 2xx to REGISTER; all zero until then
    std::string user;
    std::string displayName;
    std::string authUser;
    std::string password;

private:
    kmt::SocketAddress probeLocalAddress() const;
    mutable kmt::SocketAddress learntLocal;
    mutable int64_t learntAtMs = 0;
    mutable bool learntRecently = false;
};

} // namespace sip
