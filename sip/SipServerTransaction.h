// Server transactions: responses that answer retransmitted requests and end on a fixed timer.
#pragma once

#include "SipOutMessage.h"
#include "kmt/scheduler.h"

namespace sip {

class SipDialog;
class SipInMessage;

class SipTransactionalResponse : public SipResponse {
public:
    enum State { stateNothingSent = 0, stateProceeding = 1, stateCompleted = 2, stateConfirmed = 3 };

    static constexpr int kEndMs = 32000;
    static constexpr int kFirstIntervalMs = 500;
    static constexpr int kMaxIntervalMs = 4000;

    // Appends itself to the dialog's active responses.
    SipTransactionalResponse(SipDialog* dialog, const kmt::SocketAddress& source, SipInMessage& request);
    // Removes both timers, then leaves the dialog (which may end the dialog).
    ~SipTransactionalResponse() override;

    // A request that matched this transaction (a retransmission, or for an INVITE the ACK or CANCEL).
    virtual void onRequest(const kmt::SocketAddress& source, SipInMessage& request);
    virtual void onRetransmitTimer();
    virtual void onEndTimer();

    int retransmitInterval = kFirstIntervalMs;
    int state = stateNothingSent;
    kmt::EventCallback<SipTransactionalResponse> retransmitTimer;
    kmt::EventCallback<SipTransactionalResponse> endTimer;
};

class SipInviteResponse : public SipTransactionalResponse {
public:
    SipInviteResponse(SipDialog* dialog, const kmt::SocketAddress& source, SipInMessage& request)
        : SipTransactionalResponse(dialog, source, request) {}

    void sendResponse(int code, const std::string& reason) override;
    void onRequest(const kmt::SocketAddress& source, SipInMessage& request) override;
    void onEndTimer() override;
};

class SipNonInviteResponse : public SipTransactionalResponse {
public:
    SipNonInviteResponse(SipDialog* dialog, const kmt::SocketAddress& source, SipInMessage& request)
        : SipTransactionalResponse(dialog, source, request) {}

    void sendResponse(int code, const std::string& reason) override;
};

} // namespace sip
