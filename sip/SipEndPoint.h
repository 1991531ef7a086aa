// The SIP user agent's transport: the one UDP socket all SIP traffic uses, the proxy, and the
// live dialogs by Call-ID.
#pragma once

#include "kmt/socket.h"

#include <map>
#include <string>

namespace sip {

class SipDialog;
class SipProxy;
class SipRegisterDialog;

class SipEndPoint {
public:
    SipEndPoint() = default;
    SipEndPoint(const SipEndPoint&) = delete;
    SipEndPoint& operator=(const SipEndPoint&) = delete;

    SipRegisterDialog* registerDialog = nullptr;
    kmt::Socket socket;
    SipProxy* proxy = nullptr;
    std::map<std::string, SipDialog*> dialogs;
};

} // namespace sip
