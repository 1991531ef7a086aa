#include "SipServerTransaction.h"

#include "SipDialog.h"
#include "SipInMessage.h"
#include "kmt/log.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace sip {

namespace {

bool isProvisional(int code) {
    return code >= 100 && code <= 199;
}

} // namespace

// ---- SipTransactionalResponse

SipTransactionalResponse::SipTransactionalResponse(SipDialog* dialog_, const kmt::SocketAddress& source,
                                                   SipInMessage& request)
    : SipResponse(dialog_, source, request),
      retransmitTimer(this, &SipTransactionalResponse::onRetransmitTimer),
      endTimer(this, &SipTransactionalResponse::onEndTimer) {
    dialog->addResponse(this);
}

SipTransactionalResponse::~SipTransactionalResponse() {
    kmt::EventScheduler& scheduler = dialog->scheduler();
    scheduler.removeTimer(&retransmitTimer);
    scheduler.removeTimer(&endTimer);
    dialog->removeResponse(this);
}

void SipTransactionalResponse::onRequest(const kmt::SocketAddress& source, SipInMessage& request) {
    // Nothing to repeat before the first response.
    if (source == destination && statusCode != 0)
        send();
}

void SipTransactionalResponse::onRetransmitTimer() {
    send();
    if (retransmitInterval < kMaxIntervalMs)
        retransmitInterval = std::min(retransmitInterval * 2, kMaxIntervalMs);
    dialog->scheduler().addTimer(retransmitInterval, &retransmitTimer);
}

void SipTransactionalResponse::onEndTimer() {
    dialog->onResponseFinished(this);
    delete this;
}

// ---- SipInviteResponse

void SipInviteResponse::sendResponse(int code, const std::string& reason) {
    KMT_LOG(kmt::logSipInvite, 2) << "send " << code << " response";
    statusCode = code;
    reasonPhrase = reason;
    send();
    const int p = state;
    // A response after the final one never takes the state back, so the timers start only once.
    if (p >= stateCompleted)
        return;
    state = stateProceeding;
    if (isProvisional(code))
        return;
    state = stateCompleted;
    // The first final response starts the timers, whether or not a provisional response went before it,
    // so that the transaction always ends (a re-INVITE is answered with a final response at once).
    {
        KMT_LOG(kmt::logSipInvite, 2) << "state is set to complete";
        kmt::EventScheduler& scheduler = dialog->scheduler();
        scheduler.addTimer(retransmitInterval, &retransmitTimer);
        scheduler.addTimer(kEndMs, &endTimer);
    }
}

void SipInviteResponse::onRequest(const kmt::SocketAddress& source, SipInMessage& request) {
    const std::string& method = request.cseqMethod;
    if (noCaseEqual(method, "INVITE")) {
        if (source == destination && statusCode != 0) {
            send();
            KMT_LOG(kmt::logSipInvite, 2) << "resend " << statusCode << " response";
        }
    } else if (noCaseEqual(method, "CANCEL")) {
        if (state != stateProceeding) {
            // Too late to cancel (or a retransmitted CANCEL): the CANCEL itself is still answered.
            if (statusCode != 0 && source == destination) {
                SipResponse cancelAnswer(dialog, destination, request);
                cancelAnswer.sendResponse(200, "invite canceled");
            }
            return;
        }
        SipResponse cancelAnswer(dialog, destination, request);
        cancelAnswer.sendResponse(200, "invite canceled");
        sendResponse(487, "request terminated");
        dialog->onAckOrCancel(this, source, request);
    } else if (noCaseEqual(method, "ACK")) {
        // Only a final response is acknowledged; an early ACK would keep the end timer from ever starting.
        if (state != stateCompleted && state != stateConfirmed)
            return;
        const bool success = statusCode >= 200 && statusCode <= 299;
        if (!success && request.headerParameter("Via", "branch") != branch)
            return;
        dialog->scheduler().removeTimer(&retransmitTimer);
        state = stateConfirmed;
        dialog->onAckOrCancel(this, source, request);
        KMT_LOG(kmt::logSipInvite, 2) << "received ack, state changed to confirmed";
    }
}

void SipInviteResponse::onEndTimer() {
    if (state != stateConfirmed)
        dialog->onResponseNotAcknowledged(this);
    KMT_LOG(kmt::logSipInvite, 2) << "invite response terminated";
    dialog->onResponseFinished(this);
    delete this;
}

// ---- SipNonInviteResponse

void SipNonInviteResponse::sendResponse(int code, const std::string& reason) {
    statusCode = code;
    reasonPhrase = reason;
    send();
    if (isProvisional(code)) {
        state = stateProceeding;
        return;
    }
    if (state != stateCompleted) {
        dialog->scheduler().addTimer(kEndMs, &endTimer);
        state = stateCompleted;
    }
}

} // namespace sip
