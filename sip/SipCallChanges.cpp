// Changes to an established call: re-INVITEs in both directions (hold, resume and the other side's new
// offers) and transfer by REFER, with its outcome reported by NOTIFY.
#include "SipClientTransaction.h"
#include "SipInMessage.h"
#include "SipInviteDialog.h"
#include "SipOutMessage.h"
#include "Phone.h"
#include "SipProxy.h"
#include "SipServerTransaction.h"
#include "kmt/log.h"

#include <istream>

namespace sip {

void SipInviteDialog::invite(int direction) {
    // One INVITE transaction at a time: a later offer waits for the one under way (ours, or the far
    // end's until its ACK), and only the latest waiting offer is sent.
    if (inviteInProgress() || glareWait) {
        KMT_LOG(kmt::logSipReinvite, 2) << "re-invite " << callId << " with " << sdpDirectionName(direction)
                                        << " waits for the INVITE under way";
        queuedDirection = direction;
        return;
    }
    KMT_LOG(kmt::logSipReinvite, 2) << "re-invite " << callId << " with " << sdpDirectionName(direction);
    SipInviteRequest* request = newInvite(destination, direction);
    // A transfer under way keeps its mark: its outcome still comes by NOTIFY.
    if (pendingOperation != operationRefer)
        pendingOperation = operationInvite;
    request->send(1);
}

void SipInviteDialog::onReInvite(const kmt::SocketAddress& source, SipInMessage& request) {
    if (callState != callConnected) {
        (new SipInviteResponse(this, source, request))
            ->sendResponse(488, "re-invites are accepted only in connected dialogs");
        return;
    }
    if (inviteRequest) {
        // Our own re-INVITE is still unanswered: the far end tries again later.
        (new SipInviteResponse(this, source, request))->sendResponse(491, "Request Pending");
        return;
    }
    if (!checkOffer(source, request))
        return;
    // Answered at once; the media follows the new offer at the ACK.
    pendingOperation = operationOffered;
    answer();
}

void SipInviteDialog::transfer(const std::string& target) {
    if (callState != callConnected) {
        KMT_LOG(kmt::logSipTransfer, 2) << "transfer to " << target << " dropped: the call is not connected";
        return;
    }
    markTransfer();
    const std::string referTo = target.find(':') == std::string::npos
                                    ? "sip:" + target + "@" + (proxy ? proxy->host : std::string())
                                    : target;
    KMT_LOG(kmt::logSipTransfer, 2) << "transfer call " << callId << " to " << referTo;
    (new SipReferRequest(this, destination, std::string(), referTo))->send(1);
}

void SipInviteDialog::markTransfer() {
    referPending = true;
    // An offer of the far end being answered keeps its state; the mark comes back when it is settled.
    if (pendingOperation != operationOffered && pendingOperation != operationAwaitAck)
        pendingOperation = operationRefer;
}

void SipInviteDialog::settleFarOffer() {
    pendingOperation = referPending ? operationRefer : operationNone;
}

std::string SipInviteDialog::replacesTargetOf(const SipInviteDialog& other) const {
    // The other call's remote target carries the port of its contact already, so it is passed whole:
    // a second port suffix would make the URI unusable.
    const std::string& target = other.remoteTarget.empty() ? other.remoteUri : other.remoteTarget;
    return replacesReferTarget(std::string(), other.destination, target, other.callId, other.remoteTag,
                               other.localTag);
}

void SipInviteDialog::onNotify(const kmt::SocketAddress& source, SipInMessage& request) {
    (new SipNonInviteResponse(this, source, request))->sendResponse(200, "OK");
    if (!referPending)
        return;
    // The body is a message fragment: "SIP/2.0 <code> <reason>".
    std::istream& status = request.body();
    std::string version;
    int code = 0;
    if (!(status >> version) || version != "SIP/2.0" || !(status >> code))
        return;
    if (code >= 100 && code <= 199)
        return; // a later NOTIFY settles it
    if (code >= 200 && code <= 299) {
        KMT_LOG(kmt::logSipInvite, 2) << "dialog transfered";
        referPending = false;
        hangup(kbrphone::lineEnded);
        return;
    }
    if (code < 300 || code > 699)
        return;
    std::string reason;
    std::getline(status, reason);
    KMT_LOG(kmt::logSipInvite, 1) << "transfer failed: " << code << " " << trimBlank(reason);
    referPending = false;
    if (pendingOperation == operationRefer)
        pendingOperation = operationNone;
    if (SipInviteDialog* partner = transferPartner) {
        partner->pendingOperation = operationNone;
        partner->transferPartner = nullptr;
        transferPartner = nullptr;
    }
}

} // namespace sip
