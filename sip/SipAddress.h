// Address text as SIP and SDP write it.
#pragma once

#include "kmt/socket.h"

#include <ostream>

namespace sip {

// No address at all: family 0, IPv4 0.0.0.0 or IPv6 ::.
bool isUnspecifiedAddress(const kmt::SocketAddress& address);

// ":" and the port, except for IPv4 and IPv6 addresses on the default port 5060;
// an address of any other family writes ":0".
void writePortSuffix(std::ostream& os, const kmt::SocketAddress& address);

} // namespace sip
