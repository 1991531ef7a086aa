#include "SipReferRequest.h"

#include "SipInviteDialog.h"

namespace sip {

SipReferRequest::SipReferRequest(SipDialog* dialog_, const kmt::SocketAddress& destination_,
                                 const std::string& target)
    : SipNonInviteRequest(dialog_, destination_, "REFER", std::string()), referTarget(target) {}

SipReferRequest::SipReferRequest(SipInviteDialog* dialog_, SipInviteDialog* other)
    : SipNonInviteRequest(dialog_, dialog_->destination, "REFER", std::string()) {
    // The other call's remote target already carries the port of its contact, so it is passed whole
    // (a second port suffix would make the URI unusable).
    const std::string& target = other->remoteTarget.empty() ? other->remoteUri : other->remoteTarget;
    referTarget = replacesReferTarget(std::string(), other->destination, target, other->callId,
                                      other->remoteTag, other->localTag);
}

std::ostream& SipReferRequest::writeHeaders(std::ostream& os, const kmt::SocketAddress& destination_) {
    SipRequest::writeHeaders(os, destination_);
    writeReferAdditions(os, referTarget);
    return os;
}

} // namespace sip
