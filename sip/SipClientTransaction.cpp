#include "SipClientTransaction.h"

#include "SipDialog.h"
#include "SipInMessage.h"
#include "Sdp.h"
#include "kmt/log.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

namespace sip {

// ---- SipTransactionalRequest

SipTransactionalRequest::SipTransactionalRequest(SipDialog* dialog_, const kmt::SocketAddress& destination_,
                                                 const std::string& method_, const std::string& requestUri_)
    : SipRequest(dialog_, destination_, method_, requestUri_, 0, std::string()),
      retransmitTimer(this, &SipTransactionalRequest::onRetransmitTimer),
      timeoutTimer(this, &SipTransactionalRequest::onTimeout) {
    dialog->addRequest(this);
}

SipTransactionalRequest::~SipTransactionalRequest() {
    kmt::EventScheduler& scheduler = dialog->scheduler();
    scheduler.removeTimer(&retransmitTimer);
    scheduler.removeTimer(&timeoutTimer);
    dialog->removeRequest(this);
}

void SipTransactionalRequest::send(int attemptNumber) {
    kmt::EventScheduler& scheduler = dialog->scheduler();
    if (state == stateNew) {
        scheduler.addTimer(kTimeoutMs, &timeoutTimer);
        state = stateCalling;
    }
    scheduler.addTimer(retransmitInterval, &retransmitTimer);
    if (state == stateCancelWanted) {
        sendCancel();
    } else {
        SipRequest::send(attemptNumber);
    }
}

void SipTransactionalRequest::onRetransmitTimer() {
    if (retransmitInterval < kMaxIntervalMs)
        retransmitInterval = std::min(retransmitInterval * 2, kMaxIntervalMs);
    send(1);
}

void SipTransactionalRequest::onTimeout() {
    if (state != stateCompleted && state != stateCancelWanted)
        dialog->onRequestTimeout(this);
    finish();
}

void SipTransactionalRequest::finish() {
    dialog->onRequestFinished(this);
    delete this;
}

void SipTransactionalRequest::sendCancel() {
    // A CANCEL repeats the request-URI of the INVITE it cancels.
    SipCancelRequest cancel(dialog, destination, requestUri, cseq, branch);
    cancel.send(1);
}

// ---- SipInviteRequest

SipInviteRequest::SipInviteRequest(SipDialog* dialog_, const kmt::SocketAddress& destination_,
                                   const std::string& requestUri_, int rtpPort, int rtcpPort, int direction)
    : SipTransactionalRequest(dialog_, destination_, "INVITE", requestUri_) {
    std::ostringstream sdp;
    writeSdpSession(sdp, dialog->localAddress());
    SdpLocalMedia media;
    media.address = dialog->localAddress();
    media.port = rtpPort;
    media.rtcpPort = rtcpPort;
    media.direction = direction;
    media.codecs = {SdpCodec{8, "PCMA", 8000, ""}, SdpCodec{101, "telephone-event", 8000, "0-11"}};
    media.writeSdpMedia(sdp, "audio", "RTP/AVP", media.codecs);
    body = sdp.str();
    contentType = "application/sdp";
}

std::ostream& SipInviteRequest::writeHeaders(std::ostream& os, const kmt::SocketAddress& destination_) {
    SipRequest::writeHeaders(os, destination_);
    writeInviteAdditions(os, lineName);
    return os;
}

void SipInviteRequest::onResponse(const kmt::SocketAddress& source, SipInMessage& response) {
    if (noCaseEqual(response.cseqMethod, "CANCEL"))
        return;
    const int s = state;
    const int code = response.statusCode;
    if (s == stateCancelWanted && code >= 100 && code <= 199)
        sendCancel();
    if ((s == stateCalling || s == stateProceeding || s == stateCancelWanted) && code >= 200 && code <= 299) {
        dialog->onFinalResponse(this, source, response);
        finish();
        return;
    }
    if (code >= 300 && code <= 699) {
        SipAckRequest ack(dialog, destination, requestUri, response);
        ack.send(1);
        if (s != stateCompleted && s != stateCancelWanted)
            dialog->onFinalResponse(this, source, response);
        state = stateCompleted;
    } else if ((s == stateCalling || s == stateProceeding) && code >= 100 && code <= 199) {
        dialog->onProvisionalResponse(this, source, response);
        state = stateProceeding;
    }
    kmt::EventScheduler& scheduler = dialog->scheduler();
    if (s == stateCalling && state != s) {
        scheduler.removeTimer(&retransmitTimer);
        scheduler.removeTimer(&timeoutTimer);
        if (state == stateProceeding) {
            // A proceeding INVITE has no time-out; it is sent again every 20 s until a final response.
            retransmitInterval = kProceedingInviteIntervalMs;
            scheduler.addTimer(kProceedingInviteIntervalMs, &retransmitTimer);
        }
    }
    if (state == stateCompleted && s != stateCompleted) {
        // The end timer may still be pending (from cancel wanted or proceeding): never run it twice.
        scheduler.removeTimer(&timeoutTimer);
        scheduler.addTimer(kTimeoutMs, &timeoutTimer);
        scheduler.removeTimer(&retransmitTimer);
    }
}

void SipInviteRequest::cancel() {
    if (state == stateCalling) {
        state = stateCancelWanted;
    } else if (state == stateProceeding) {
        // A proceeding INVITE has no time-out; without one a far end that never answers the CANCEL
        // would keep the transaction, and its dialog, for ever.
        state = stateCancelWanted;
        kmt::EventScheduler& scheduler = dialog->scheduler();
        scheduler.removeTimer(&timeoutTimer);
        scheduler.addTimer(kTimeoutMs, &timeoutTimer);
        sendCancel();
    }
}

// ---- SipNonInviteRequest

void SipNonInviteRequest::onResponse(const kmt::SocketAddress& source, SipInMessage& response) {
    if (state != stateCalling && state != stateProceeding)
        return;
    const int code = response.statusCode;
    if (code >= 100 && code <= 199) {
        state = stateProceeding;
        dialog->onProvisionalResponse(this, source, response);
        kmt::EventScheduler& scheduler = dialog->scheduler();
        scheduler.removeTimer(&retransmitTimer);
        retransmitInterval = kMaxIntervalMs;
        scheduler.addTimer(kMaxIntervalMs, &retransmitTimer);
        return;
    }
    state = stateCompleted;
    dialog->onFinalResponse(this, source, response);
    finish();
}

// ---- SipReferRequest

std::ostream& SipReferRequest::writeHeaders(std::ostream& os, const kmt::SocketAddress& destination_) {
    SipRequest::writeHeaders(os, destination_);
    writeReferAdditions(os, referTarget);
    return os;
}

// ---- SipRegisterRequest

std::ostream& SipRegisterRequest::writeHeaders(std::ostream& os, const kmt::SocketAddress& destination_) {
    SipRequest::writeHeaders(os, destination_);
    writeRegisterAdditions(os, expires);
    return os;
}

} // namespace sip
