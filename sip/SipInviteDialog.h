// One call leg: the INVITE that sets it up in either direction, its answer, its media, hold and
// transfer, and its end. The dialog drives the state of its SIP line and deletes itself once the call
// is over and its last transaction has ended.
#pragma once

#include "RTPSession.h"
#include "Sdp.h"
#include "SipDialog.h"
#include "kmt/scheduler.h"

#include <atomic>
#include <memory>
#include <string>

namespace sip {

class SipInMessage;
class SipInviteRequest;
class SipInviteResponse;
class SipLine;

class SipInviteDialog : public SipDialog {
    // Counts the dialog from its first member on, so that a constructor that throws counts right.
    struct Counted {
        Counted() { ++live; }
        ~Counted() { --live; }
        static std::atomic<size_t> live;
    };

public:
    enum CallState {
        callCalling = 0,
        callRinging = 1,
        callOffered = 3,
        callConnected = 4,
        callDisconnected = 5,
    };
    enum Operation {
        operationNone = 0,
        operationInvite = 1,   // an INVITE or re-INVITE awaits its final response
        operationRefer = 2,    // a transfer runs until a NOTIFY settles it
        operationCancel = 4,   // the user hung up during set-up
        operationOffered = 5,  // an incoming INVITE awaits our answer
        operationAwaitAck = 7, // answered with 200, the ACK awaited
    };
    // A challenged INVITE is sent with credentials up to this attempt.
    static constexpr int kMaxAttempts = 4;

    // An outgoing call of the line to the dial target; sends the INVITE and puts the line in state 1.
    SipInviteDialog(SipLine* line, SipEndPoint* endPoint, const std::string& target,
                    const std::string& displayName);
    // An incoming call: checks the offer (or takes the one already read from the INVITE), creates the
    // line named by X-Brimel-id, answers 100 and puts the line in state 5. A refused offer is answered
    // 400 or 488 and the dialog goes once that answer ends.
    SipInviteDialog(SipEndPoint* endPoint, const kmt::SocketAddress& source, SipInMessage& invite,
                    std::unique_ptr<SdpDescription> offer = nullptr);
    ~SipInviteDialog() override;

    void onUnmatchedResponse(const kmt::SocketAddress& source, SipInMessage& response) override;
    void onProvisionalResponse(SipTransactionalRequest* request, const kmt::SocketAddress& source,
                               SipInMessage& response) override;
    void onFinalResponse(SipTransactionalRequest* request, const kmt::SocketAddress& source,
                         SipInMessage& response) override;
    void onRequestTimeout(SipTransactionalRequest* request) override;
    void onRequestFinished(SipTransactionalRequest* request) override;
    void onRequest(const kmt::SocketAddress& source, SipInMessage& request) override;
    void onResponseNotAcknowledged(SipTransactionalResponse* response) override;
    void onAckOrCancel(SipTransactionalResponse* response, const kmt::SocketAddress& source,
                       SipInMessage& request) override;
    void onResponseFinished(SipTransactionalResponse* response) override;
    // Deletes the dialog once it is finished and has no transaction left.
    void checkFinished() override;
    // With a route set, later requests go to the far end's contact; otherwise to its address of record.
    std::string targetUri() const override;

    // The offered call. Each may delete the dialog (and its line) before it returns.
    void answer();
    void busy();
    void reject();
    // 486 "user unable to answer" while the call is still offered.
    void sendUnableToAnswer();
    // Ends the call in whatever state it is; the line enters lineState. With 8 the dialog lets go of
    // its line and may be deleted before this returns.
    void hangup(int lineState);

    // A re-INVITE whose offer carries the direction (0 recvonly, 1 sendrecv, 2 sendonly, 3 inactive).
    void invite(int direction);
    // Blind transfer of a connected call by REFER; the outcome comes by NOTIFY.
    void transfer(const std::string& target);
    // A REFER of this call goes out: the transfer runs until a NOTIFY settles it, whatever re-INVITEs
    // either side sends meanwhile (a transferee holds us before it calls the target).
    void markTransfer();

    // Creates the INVITE server transaction for the request and checks its SDP offer (read here unless
    // given); a bad offer is answered 400, one without a codec we take 488, and remoteSdp stays as it was.
    bool checkOffer(const kmt::SocketAddress& source, SipInMessage& invite,
                    std::unique_ptr<SdpDescription> offer = nullptr);
    // The SDP offer of an INVITE when this side can take it; otherwise null, with the status code and
    // reason of the refusal: 400 for a body that is not SDP or cannot be read, 488 when no audio
    // stream offers a codec we take (another profile than RTP/AVP, or no PCMA).
    static std::unique_ptr<SdpDescription> readOffer(SipInMessage& invite, int& code, std::string& reason);

    // The Refer-to target that hands this call's peer to the other call's party, replacing that call.
    std::string replacesTargetOf(const SipInviteDialog& other) const;
    // Makes this dialog and the other the two legs of an attended transfer; earlier partners of
    // either are let go first, so that no leg keeps pointing at a dialog that is linked elsewhere.
    void linkTransferPartner(SipInviteDialog* other);
    // Clears the link to the transfer partner on both sides.
    void unlinkTransferPartner();

    // Live INVITE dialogs in the process (tests, diagnostics).
    static size_t instanceCount() { return Counted::live.load(); }

    Counted counted;
    int callState = callCalling;
    int pendingOperation = operationNone;
    bool finished = false;
    SipInviteResponse* inviteResponse = nullptr;
    SipInviteRequest* inviteRequest = nullptr;
    std::unique_ptr<SdpDescription> remoteSdp;
    rtp::RTPSession rtpSession;
    SipLine* line = nullptr;
    kmt::SocketAddress destination;
    std::string remoteTarget; // the Contact URI of the far end, parameters kept
    SipInviteDialog* transferPartner = nullptr;
    // A REFER went out and no NOTIFY has settled it yet; pendingOperation shows it as operationRefer
    // whenever no INVITE of the far end is being answered.
    bool referPending = false;
    std::string callType;
    int wrapUpTime = 0;

private:
    // A new INVITE client transaction with this side's offer; becomes inviteRequest. Not yet sent.
    SipInviteRequest* newInvite(const kmt::SocketAddress& to, int direction);
    void retryWithCredentials(SipTransactionalRequest* request, SipInMessage& response);
    void onInviteAccepted(SipInMessage& response);
    void sendAck(SipInMessage& response);
    // Starts the media towards the audio of the SDP carried by a response (early: a provisional
    // one); errors are logged and the call goes on without media. False when no media was started.
    enum MediaStart { mediaStarted, mediaNoCodec, mediaError };
    MediaStart startMediaFrom(SipInMessage& response, bool early);
    // The far end's answer to our offer tells what we may send: nothing but keep-alives to a stream
    // it answered sendonly or inactive. For the answer to a re-INVITE, whose media goes on as it is.
    void followAnsweredDirection(SipInMessage& response);
    void followAnsweredDirection(const SdpDescription& answer);
    void onReInvite(const kmt::SocketAddress& source, SipInMessage& request);
    void onBye(const kmt::SocketAddress& source, SipInMessage& request);
    void onNotify(const kmt::SocketAddress& source, SipInMessage& request);
    // Line state change; a failing notification is logged, never thrown into the dialog's work.
    void setLineState(int state);
    // The line enters state 8 and the dialog is finished; the dialog may be gone when this returns.
    void letGoOfLine();
    // The answered call cannot have what it needs (its receive thread): the INVITE is answered with
    // the code and Retry-After instead of 200 and the line ends. The dialog may be gone on return.
    void refuseForWantOf(int code, const std::exception& reason);
    int rtpPort() const;
    int rtcpPort() const;

    // Sends the re-INVITE that waited for the one before it (or for the ACK of the far end's).
    void sendQueuedInvite();
    // Whether an INVITE transaction of this dialog is still under way in either direction.
    bool inviteInProgress() const;
    void onGlareTimer();
    // The far end's offer has been answered and acknowledged, or given up: back to what was under way.
    void settleFarOffer();
    // The call is given up before it was answered: the line shows the failure (the end on a transfer leg).
    void failCall(int lineState);

    // The direction of the latest offer we sent, repeated when it is sent again with credentials.
    int offerDirection = 1;
    // A re-INVITE asked for while another INVITE transaction was under way: its direction, -1 for none.
    int queuedDirection = -1;
    // After a 491 the re-INVITE is sent again once this timer has run.
    bool glareWait = false;
    kmt::EventCallback<SipInviteDialog> glareTimer{this, &SipInviteDialog::onGlareTimer};
    // True for a call placed by this side (it chose the Call-ID).
    bool outgoing = false;
};

// An INVITE refused for its offer before any call was made of it: the refusal goes through an INVITE
// server transaction of its own (repeated for retransmissions, until the ACK), and the dialog deletes
// itself when that has ended. No media is bound for it.
class SipRefusedInvite : public SipDialog {
public:
    SipRefusedInvite(SipEndPoint* endPoint, const kmt::SocketAddress& source, SipInMessage& invite, int code,
                     const std::string& reason);
    void onRequest(const kmt::SocketAddress& source, SipInMessage& request) override;
    void checkFinished() override;
};

// The telephone-event payload type of the selected audio of an SDP description; -1 when absent.
int telephoneEventType(const SdpDescription& sdp);

// The URI of the first entry of a Contact value, with its parameters, as the remote target; fallback
// is used when the value is empty.
std::string contactTarget(const std::string& contactValue, const std::string& fallback);

} // namespace sip
