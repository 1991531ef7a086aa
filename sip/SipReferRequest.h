// REFER: the request that hands a connected call to a new party, blind or replacing another call.
#pragma once

#include "SipClientTransaction.h"

#include <string>

namespace sip {

class SipInviteDialog;

class SipReferRequest : public SipNonInviteRequest {
public:
    // Blind transfer: the target as it is, to destination with the default request-URI.
    SipReferRequest(SipDialog* dialog, const kmt::SocketAddress& destination, const std::string& target);
    // Attended transfer: this call's peer is referred to the other call's party, replacing that call.
    SipReferRequest(SipInviteDialog* dialog, SipInviteDialog* other);

    std::ostream& writeHeaders(std::ostream& os, const kmt::SocketAddress& destination) override;

    std::string referTarget;
};

} // namespace sip
