#include "SipLine.h"

#include "SipEndPoint.h"
#include "SipInviteDialog.h"
#include "SipClientTransaction.h"
#include "SipServerTransaction.h"
#include "kmt/log.h"

#include <memory>

namespace sip {

SipLine* SipLine::create(SipEndPoint* endPoint, const std::string& lineId, const std::string& name) {
    std::unique_ptr<SipLine> line(new SipLine(endPoint, lineId, name));
    endPoint->getPhone()->addLine(line.get());
    return line.release();
}

SipLine::SipLine(SipEndPoint* endPoint_, const std::string& lineId, const std::string& name)
    : Line(endPoint_->getPhone(), lineId, name), endPoint(endPoint_) {}

SipLine::~SipLine() {
    if (dialog && dialog->line == this)
        dialog->line = nullptr;
}

void SipLine::dial(const std::string& number, const std::string& displayName) {
    if (getState() != kbrphone::lineIdle)
        return;
    if (!endPoint->getProxy()) {
        KMT_LOG(kmt::logSip, 1) << "cannot dial " << number << ": no proxy set";
        setState(kbrphone::lineFailedOther);
        return;
    }
    try {
        // The dialog attaches itself to this line and sends the INVITE.
        new SipInviteDialog(this, endPoint, number, displayName);
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logSipInvite, 1) << "cannot place call to " << number << ": " << e.what();
        dialog = nullptr;
        setState(kbrphone::lineFailedOther);
    }
}

void SipLine::hangup() {
    if (dialog && dialog->line == this) {
        // The line enters state 8 and is deleted inside.
        dialog->hangup(kbrphone::lineEnded);
        return;
    }
    dialog = nullptr;
    setState(kbrphone::lineEnded);
}

void SipLine::toneFinished() {
    const int state = getState();
    if (state == kbrphone::lineBusy || state == kbrphone::lineFailed || state == kbrphone::lineRemoteEnded ||
        state == kbrphone::lineFailedOther)
        setState(kbrphone::lineEndedTonePlayed);
}

void SipLine::putOnHold() {
    if (!dialog)
        return;
    if (dialog->callState == SipInviteDialog::callConnected) {
        dialog->invite(2);
        dialog->rtpSession.hold();
    }
    getPhone()->disconnectMedia(this);
    // Reports the line as not active.
    setState(getState());
}

void SipLine::activate() {
    if (!dialog)
        return;
    if (dialog->callState == SipInviteDialog::callConnected) {
        dialog->invite(1);
        dialog->rtpSession.unhold();
    }
    getPhone()->connectMedia(this);
    setState(getState());
}

void SipLine::setRinging() {
    if (dialog && dialog->callState == SipInviteDialog::callOffered && dialog->inviteResponse)
        dialog->inviteResponse->sendResponse(180, "ringing");
}

void SipLine::answerIncoming() {
    if (dialog)
        dialog->answer();
}

void SipLine::rejectIncoming() {
    if (dialog)
        dialog->reject();
}

void SipLine::busyIncoming() {
    if (dialog)
        dialog->busy();
}

void SipLine::blindTransfer(const std::string& target) {
    if (dialog)
        dialog->transfer(target);
}

void SipLine::transfer(Line* other) {
    SipLine* otherLine = dynamic_cast<SipLine*>(other);
    if (!dialog || !otherLine || !otherLine->dialog || otherLine->dialog == dialog)
        return;
    SipInviteDialog* partner = otherLine->dialog;
    KMT_LOG(kmt::logSipTransfer, 2) << "transfer call " << dialog->callId << " to the party of "
                                    << partner->callId;
    dialog->markTransfer();
    // Earlier partners of either leg are let go first (a second transfer, or a leg transferred again).
    dialog->linkTransferPartner(partner);
    (new SipReferRequest(dialog, dialog->destination, std::string(), dialog->replacesTargetOf(*partner)))
        ->send(1);
}

std::string SipLine::remoteName() {
    if (!dialog)
        return std::string();
    return dialog->hasXFrom ? dialog->xFromName : dialog->remoteName;
}

std::string SipLine::remoteUri() {
    if (!dialog)
        return std::string();
    return dialog->hasXFrom ? dialog->xFromUri : dialog->remoteUri;
}

std::string SipLine::localName() {
    if (!dialog)
        return std::string();
    return dialog->hasXTo ? dialog->xToName : dialog->localName;
}

std::string SipLine::localUri() {
    if (!dialog)
        return std::string();
    return dialog->hasXTo ? dialog->xToUri : dialog->localUri;
}

std::string SipLine::calledUri() {
    return dialog ? dialog->calledUri : std::string();
}

bool SipLine::isInternal() {
    return dialog && dialog->callType == "internal";
}

int SipLine::wrapUpTime() {
    return dialog ? dialog->wrapUpTime : 0;
}

kbrphone::TransportChannel* SipLine::transportChannel() {
    return dialog ? &dialog->rtpSession : nullptr;
}

rtp::RTPSession* SipLine::rtpSession() {
    return dialog ? &dialog->rtpSession : nullptr;
}

} // namespace sip
