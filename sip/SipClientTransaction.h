// Client transactions: requests that retransmit until answered and end on a fixed time-out.
#pragma once

#include "SipOutMessage.h"
#include "kmt/scheduler.h"

#include <string>

namespace sip {

class SipDialog;
class SipInMessage;

class SipTransactionalRequest : public SipRequest {
public:
    enum State {
        stateNew = 0,
        stateCalling = 1,
        stateProceeding = 2,
        stateCompleted = 3,
        stateCancelWanted = 4
    };

    // Time-out of a request without final response, and of a completed INVITE.
    static constexpr int kTimeoutMs = 32000;
    static constexpr int kFirstIntervalMs = 500;
    static constexpr int kMaxIntervalMs = 4000;
    static constexpr int kProceedingInviteIntervalMs = 20000;

    // Appends itself to the dialog's active requests; an empty request-URI means the dialog's remote URI.
    SipTransactionalRequest(SipDialog* dialog, const kmt::SocketAddress& destination,
                            const std::string& method, const std::string& requestUri);
    // Removes both timers, then leaves the dialog (which may end the dialog).
    ~SipTransactionalRequest() override;

    // A response whose Via branch is this transaction's. The transaction may delete itself.
    virtual void onResponse(const kmt::SocketAddress& source, SipInMessage& response) = 0;
    virtual void onRetransmitTimer();
    virtual void onTimeout();

    // Sends the request (or the CANCEL while cancellation is wanted) and arms the timers.
    void send(int attemptNumber);
    // Sends the CANCEL of this INVITE once.
    void sendCancel();

    int retransmitInterval = kFirstIntervalMs;
    int state = stateNew;
    kmt::EventCallback<SipTransactionalRequest> retransmitTimer;
    kmt::EventCallback<SipTransactionalRequest> timeoutTimer;

protected:
    // Ends the transaction: tells the dialog, then deletes this. Nothing may touch this afterwards.
    void finish();
};

class SipInviteRequest : public SipTransactionalRequest {
public:
    // An INVITE whose body is this side's SDP offer (PCMA and telephone-event).
    SipInviteRequest(SipDialog* dialog, const kmt::SocketAddress& destination, const std::string& requestUri,
                     int rtpPort, int rtcpPort, int direction);

    std::ostream& writeHeaders(std::ostream& os, const kmt::SocketAddress& destination) override;
    void onResponse(const kmt::SocketAddress& source, SipInMessage& response) override;

    // The call is to be cancelled before it is answered: from then on every retransmission time sends the
    // CANCEL in place of the INVITE; a proceeding INVITE sends it at once and ends 32 s later unless a
    // final response ends it first. No effect in other states.
    void cancel();

    // The name of the dialog's line; written as X-Brimel-id when not empty. Set by the call's dialog.
    std::string lineName;
};

// BYE, NOTIFY and every other request but INVITE; also the base of REGISTER and REFER.
class SipNonInviteRequest : public SipTransactionalRequest {
public:
    SipNonInviteRequest(SipDialog* dialog, const kmt::SocketAddress& destination, const std::string& method,
                        const std::string& requestUri)
        : SipTransactionalRequest(dialog, destination, method, requestUri) {}

    void onResponse(const kmt::SocketAddress& source, SipInMessage& response) override;
};

// A REFER: "Refer-to" with the target, then Contact.
class SipReferRequest : public SipNonInviteRequest {
public:
    SipReferRequest(SipDialog* dialog, const kmt::SocketAddress& destination, const std::string& requestUri,
                    const std::string& referTarget_)
        : SipNonInviteRequest(dialog, destination, "REFER", requestUri), referTarget(referTarget_) {}

    std::ostream& writeHeaders(std::ostream& os, const kmt::SocketAddress& destination) override;

    std::string referTarget;
};

class SipRegisterRequest : public SipNonInviteRequest {
public:
    // expires -1 writes no Expires header.
    SipRegisterRequest(SipDialog* dialog, const kmt::SocketAddress& destination,
                       const std::string& requestUri, int expires_)
        : SipNonInviteRequest(dialog, destination, "REGISTER", requestUri), expires(expires_) {}

    std::ostream& writeHeaders(std::ostream& os, const kmt::SocketAddress& destination) override;

    int expires;
};

} // namespace sip
