#include "SipInviteDialog.h"

#include "SipClientTransaction.h"
#include "SipEndPoint.h"
#include "SipInMessage.h"
#include "SipLine.h"
#include "SipProxy.h"
#include "SipServerTransaction.h"
#include "kmt/ident.h"
#include "kmt/log.h"

#include <algorithm>
#include <cctype>
#include <functional>
#include <climits>
#include <sstream>

namespace sip {

namespace {

const SdpCodec kPcma{8, "PCMA", 8000, ""};
const SdpCodec kTelephoneEvent{101, "telephone-event", 8000, ""};
const char* const kSdpType = "application/sdp";

// The leading decimal integer of a header value; 0 when it holds none. Saturates instead of wrapping.
int leadingInteger(const std::string& value) {
    const std::string text = trimBlank(value);
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    long long number = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        number = number * 10 + (text[i] - '0');
        if (number > INT_MAX)
            number = INT_MAX;
    }
    return static_cast<int>(negative ? -number : number);
}

bool isSuccess(int code) {
    return code >= 200 && code <= 299;
}
bool isFailure(int code) {
    return code >= 300 && code <= 699;
}

} // namespace

std::atomic<size_t> SipInviteDialog::Counted::live{0};

int telephoneEventType(const SdpDescription& sdp) {
    const SdpCodec* codec = sdp.findCodec(kTelephoneEvent);
    return codec ? codec->payloadType : -1;
}

std::string contactTarget(const std::string& contactValue, const std::string& fallback) {
    SipHeaderValue contact(contactValue);
    std::string first = trimBlank(contact.nextToken(','));
    if (first.empty())
        first = fallback;
    // The URI as the Contact gives it, its parameters (transport, gr, ...) kept; the parameters after a
    // bare URI belong to the header. URI headers have no place in a request-URI.
    SipHeaderValue entry(first);
    std::string uri = entry.nameAddr(nullptr, ';');
    uri.erase(std::min(uri.find('?'), uri.size()));
    return uri.empty() ? fallback : uri;
}

// ---- construction and lifetime

SipInviteDialog::SipInviteDialog(SipLine* line_, SipEndPoint* endPoint_, const std::string& target,
                                 const std::string& displayName)
    : SipDialog(endPoint_, endPoint_->getProxy(), target, displayName), callState(callCalling),
      pendingOperation(operationInvite), line(line_) {
    outgoing = true;
    destination = proxy->addresses.front();
    line->dialog = this;
    newInvite(destination, 1)->send(1);
    setLineState(kbrphone::lineDialing);
}

SipInviteDialog::SipInviteDialog(SipEndPoint* endPoint_, const kmt::SocketAddress& source,
                                 SipInMessage& invite, std::unique_ptr<SdpDescription> offer)
    : SipDialog(endPoint_, endPoint_->getProxy(), invite), callState(callOffered),
      pendingOperation(operationOffered) {
    destination = proxy->addresses.front();
    callType = invite.header("X-Brimel-CallType");
    wrapUpTime = leadingInteger(invite.header("P-Brimel-Wrap-Up-Time"));
    // The proxies that record-routed the INVITE stay on the path of every later request, in order.
    routeSet = headerEntries(invite, "Record-Route");
    if (!checkOffer(source, invite, std::move(offer))) {
        // Nothing more happens in this dialog: it goes when its refusal has ended.
        finished = true;
        return;
    }
    remoteTarget = contactTarget(invite.header("Contact"), remoteUri);
    const std::string lineName = invite.header("X-Brimel-id");
    try {
        SipLine* created = SipLine::create(endPoint, lineName.empty() ? kmt::randomId() : lineName, lineName);
        line = created;
        created->dialog = this;
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logSipInvite, 1) << "in createline(" << lineName << "): " << e.what();
        sendUnableToAnswer();
        // No line was made; the dialog goes once its 486 has ended.
        finished = true;
        return;
    }
    inviteResponse->sendResponse(100, "trying");
    setLineState(kbrphone::lineOffered);
}

SipInviteDialog::~SipInviteDialog() {
    scheduler().removeTimer(&glareTimer);
    unlinkTransferPartner();
    if (line && line->dialog == this)
        line->dialog = nullptr;
}

std::string SipInviteDialog::targetUri() const {
    return !routeSet.empty() && !remoteTarget.empty() ? remoteTarget : remoteUri;
}

void SipInviteDialog::linkTransferPartner(SipInviteDialog* other) {
    unlinkTransferPartner();
    other->unlinkTransferPartner();
    transferPartner = other;
    other->transferPartner = this;
}

void SipInviteDialog::unlinkTransferPartner() {
    if (transferPartner && transferPartner->transferPartner == this)
        transferPartner->transferPartner = nullptr;
    transferPartner = nullptr;
}

void SipInviteDialog::checkFinished() {
    if (finished && activeRequests.empty() && activeResponses.empty())
        delete this;
}

void SipInviteDialog::setLineState(int state) {
    if (!line)
        return;
    try {
        line->setState(state);
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logSipInvite, 1) << "error: " << e.what();
    } catch (...) {
        KMT_LOG(kmt::logSipInvite, 1) << "error: unknown exception in a line state change";
    }
}

void SipInviteDialog::letGoOfLine() {
    // State 8 deletes the line, whose destructor clears our pointer.
    setLineState(kbrphone::lineEnded);
    line = nullptr;
    // The call is over: its media sockets go now, not when the last transaction has run out.
    rtpSession.release();
    finished = true;
    checkFinished();
}

int SipInviteDialog::rtpPort() const {
    return const_cast<rtp::RTPSession&>(rtpSession).getStream().rtpLocalAddress().port();
}

int SipInviteDialog::rtcpPort() const {
    return const_cast<rtp::RTPSession&>(rtpSession).getStream().rtcpLocalAddress().port();
}

SipInviteRequest* SipInviteDialog::newInvite(const kmt::SocketAddress& to, int direction) {
    auto* request = new SipInviteRequest(this, to, targetUri(), rtpPort(), rtcpPort(), direction);
    if (line)
        request->lineName = line->getName();
    offerDirection = direction;
    inviteRequest = request;
    return request;
}

// ---- the offer of an incoming INVITE

std::unique_ptr<SdpDescription> SipInviteDialog::readOffer(SipInMessage& invite, int& code,
                                                           std::string& reason) {
    if (!isSdpContentType(invite.header("Content-Type"))) {
        code = 400;
        reason = "unrecognized ContentType";
        return nullptr;
    }
    std::unique_ptr<SdpDescription> offer;
    try {
        offer.reset(new SdpDescription(parseSdp(invite.body())));
    } catch (const std::exception& e) {
        code = 400;
        reason = std::string("error in sdp message: ") + e.what();
        return nullptr;
    }
    if (!offer->selectAudio(kPcma)) {
        // A well-formed offer of nothing we take (no PCMA, or only a secure or feedback profile).
        code = 488;
        reason = "error in sdp message: no supported codecs found";
        return nullptr;
    }
    return offer;
}

bool SipInviteDialog::checkOffer(const kmt::SocketAddress& source, SipInMessage& invite,
                                 std::unique_ptr<SdpDescription> offer) {
    inviteResponse = new SipInviteResponse(this, source, invite);
    int code = 0;
    std::string reason;
    if (!offer)
        offer = readOffer(invite, code, reason);
    if (!offer) {
        KMT_LOG(kmt::logSipInvite, 2)
            << "offer of " << invite.cseqMethod << " refused: " << code << " " << reason;
        inviteResponse->sendResponse(code, reason);
        return false;
    }
    remoteSdp = std::move(offer);
    return true;
}

SipRefusedInvite::SipRefusedInvite(SipEndPoint* endPoint_, const kmt::SocketAddress& source,
                                   SipInMessage& invite, int code, const std::string& reason)
    : SipDialog(endPoint_, endPoint_->getProxy(), invite) {
    KMT_LOG(kmt::logSipInvite, 2) << "offer of a new call refused: " << code << " " << reason;
    (new SipInviteResponse(this, source, invite))->sendResponse(code, reason);
}

void SipRefusedInvite::onRequest(const kmt::SocketAddress& source, SipInMessage& request) {
    // No call was made of the INVITE: nothing else of its Call-ID belongs to a dialog.
    if (noCaseEqual(request.cseqMethod, "ACK"))
        return;
    SipResponse answer(this, source, request);
    answer.sendResponse(481, "Call/Transaction Does Not Exist");
}

void SipRefusedInvite::checkFinished() {
    if (activeRequests.empty() && activeResponses.empty())
        delete this;
}

// ---- answering

void SipInviteDialog::answer() {
    if (pendingOperation != operationOffered || !inviteResponse || !remoteSdp)
        return;
    const kmt::SocketAddress remote = remoteSdp->remoteRtpAddress();
    KMT_LOG(kmt::logRtp, 3) << "send rtp output to: " << remote << ":" << remote.port();
    const int eventType = telephoneEventType(*remoteSdp);
    KMT_LOG(kmt::logSdp, 1) << "Matched telephone-event, nr is " << eventType;
    if (callState != callConnected) {
        try {
            rtpSession.start(remote, kmt::SocketAddress(), eventType);
            endPoint->noteAcceptedCall();
        } catch (const std::exception& e) {
            const int code = shortageAnswer(e);
            if (code) {
                refuseForWantOf(code, e);
                return;
            }
            KMT_LOG(kmt::logSipInvite, 1) << "error: " << e.what();
        }
    }
    SdpLocalMedia local;
    local.address = localAddress();
    local.port = rtpPort();
    local.rtcpPort = rtcpPort();
    // A stream offered sendonly or recvonly (a hold) is answered the matching way round; while we
    // hold the call ourselves we only send, so a hold of the far end then makes it inactive. What we
    // answer is what the media does.
    const SdpMedia* offered = remoteSdp->selectedMedia();
    local.direction = sdpAnswerDirection(offered ? offered->direction : 1, rtpSession.isHeld() ? 2 : 1);
    rtpSession.setAnsweredDirection(local.direction);
    local.codecs.push_back(kPcma);
    if (eventType >= 0)
        local.codecs.push_back(SdpCodec{eventType, "telephone-event", 8000, "0-11"});
    std::ostringstream sdp;
    local.writeSdpAnswer(sdp, *remoteSdp);
    inviteResponse->body = sdp.str();
    inviteResponse->contentType = kSdpType;
    pendingOperation = operationAwaitAck;
    inviteResponse->sendResponse(200, "OK");
    if (callState != callConnected) {
        callState = callConnected;
        setLineState(kbrphone::lineConnected);
    }
}

void SipInviteDialog::refuseForWantOf(int code, const std::exception& reason) {
    endPoint->noteRefusedCall(code, reason.what());
    inviteResponse->retryAfterSeconds = kRetryAfterSeconds;
    inviteResponse->sendResponse(code, shortageReason(code));
    callState = callDisconnected;
    pendingOperation = operationNone;
    letGoOfLine();
}

void SipInviteDialog::busy() {
    if (callState != callOffered || pendingOperation != operationOffered || !inviteResponse)
        return;
    inviteResponse->sendResponse(486, "busy");
    callState = callDisconnected;
    pendingOperation = operationNone;
    letGoOfLine();
}

void SipInviteDialog::sendUnableToAnswer() {
    if (callState != callOffered || pendingOperation != operationOffered || !inviteResponse)
        return;
    inviteResponse->sendResponse(486, "user unable to answer");
    callState = callDisconnected;
    pendingOperation = operationNone;
}

void SipInviteDialog::reject() {
    sendUnableToAnswer();
    letGoOfLine();
}

// ---- ending

void SipInviteDialog::hangup(int lineState) {
    rtpSession.stop();
    queuedDirection = -1;
    glareWait = false;
    scheduler().removeTimer(&glareTimer);
    switch (callState) {
    case callCalling:
    case callRinging:
        if (inviteRequest)
            inviteRequest->cancel();
        pendingOperation = operationCancel;
        break;
    case callOffered:
        sendUnableToAnswer();
        break;
    case callConnected:
        (new SipNonInviteRequest(this, destination, "BYE", std::string()))->send(1);
        callState = callDisconnected;
        break;
    default:
        break;
    }
    setLineState(lineState);
    if (lineState == kbrphone::lineEnded) {
        line = nullptr;
        rtpSession.release();
        finished = true;
        checkFinished();
    }
}

// ---- responses to our requests

void SipInviteDialog::onUnmatchedResponse(const kmt::SocketAddress& source, SipInMessage& response) {
    // A 2xx repeated after its INVITE transaction has ended: our ACK was lost.
    if (isSuccess(response.statusCode) && noCaseEqual(response.cseqMethod, "INVITE"))
        sendAck(response);
}

void SipInviteDialog::onProvisionalResponse(SipTransactionalRequest* request,
                                            const kmt::SocketAddress& source, SipInMessage& response) {
    if (request->method != "INVITE")
        return;
    if (response.statusCode == 180 && callState == callCalling) {
        callState = callRinging;
        setLineState(kbrphone::lineRingback);
    }
    if ((callState == callCalling || callState == callRinging) && line &&
        isSdpContentType(response.header("Content-Type"))) {
        // Early media: any provisional response with a usable answer starts the media; a bad one is
        // logged and the call goes on without it.
        if (startMediaFrom(response, true) == mediaStarted)
            setLineState(kbrphone::lineEarlyMedia);
    }
}

SipInviteDialog::MediaStart SipInviteDialog::startMediaFrom(SipInMessage& response, bool early) {
    try {
        SdpDescription answerSdp = parseSdp(response.body());
        if (!answerSdp.selectAudio(kPcma)) {
            KMT_LOG(kmt::logSipInvite, early ? 2 : 1)
                << "no supported codecs found in the answer of " << response.statusCode << ": no media";
            return mediaNoCodec;
        }
        const int eventType = telephoneEventType(answerSdp);
        KMT_LOG(kmt::logSdp, 1) << "Matched telephone-event, nr is " << eventType;
        const kmt::SocketAddress remote = answerSdp.remoteRtpAddress();
        KMT_LOG(kmt::logRtp, 3) << "send rtp output to: " << remote << ":" << remote.port()
                                << ", dtmf payload is " << eventType;
        followAnsweredDirection(answerSdp);
        rtpSession.start(remote, kmt::SocketAddress(), eventType);
        return mediaStarted;
    } catch (const kmt::SocketException& e) {
        KMT_LOG(kmt::logSipInvite, 1) << "socket exception in " << e.call() << ": " << e.what();
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logSipInvite, 1) << "error: " << e.what();
    }
    return mediaError;
}

void SipInviteDialog::followAnsweredDirection(const SdpDescription& answer) {
    // The answer's direction is the far end's: its sendonly is our recvonly.
    if (const SdpMedia* media = answer.selectedMedia())
        rtpSession.setAnsweredDirection(sdpReverseDirection(media->direction));
}

void SipInviteDialog::followAnsweredDirection(SipInMessage& response) {
    if (!isSdpContentType(response.header("Content-Type")))
        return;
    try {
        SdpDescription answerSdp = parseSdp(response.body());
        if (answerSdp.selectAudio(kPcma))
            followAnsweredDirection(answerSdp);
        else
            KMT_LOG(kmt::logSipInvite, 1) << "no supported codecs found in the answer of "
                                          << response.statusCode << ": the media goes on as it was";
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logSipInvite, 1) << "error in the answer of " << response.statusCode << ": " << e.what();
    }
}

void SipInviteDialog::onFinalResponse(SipTransactionalRequest* request, const kmt::SocketAddress& source,
                                      SipInMessage& response) {
    if (request == inviteRequest)
        inviteRequest = nullptr;
    if (callState == callDisconnected) {
        // A 2xx is acknowledged even now (a re-INVITE answered after our BYE went out).
        if (request->method == "INVITE" && isSuccess(response.statusCode))
            sendAck(response);
        KMT_LOG(kmt::logSipInvite, 2)
            << "ingnoring response " << response.cseqMethod << " in a disconnected session";
        return;
    }
    const int code = response.statusCode;
    if (request->method == "INVITE" && isSuccess(code)) {
        // Every 2xx is acknowledged at once, whatever else is under way (a transfer started while a
        // re-INVITE was out, for one).
        if (callState == callCalling || callState == callRinging)
            onInviteAccepted(response);
        else {
            learnRemoteTag(response);
            sendAck(response);
            followAnsweredDirection(response);
            if (pendingOperation == operationInvite)
                pendingOperation = operationNone;
        }
        sendQueuedInvite();
        return;
    }
    if (request->method == "INVITE" &&
        (pendingOperation == operationInvite || pendingOperation == operationCancel)) {
        if ((code == 401 || code == 407) && request->attempt < kMaxAttempts) {
            retryWithCredentials(request, response);
            return;
        }
        if (isFailure(code)) {
            // A challenge to the last attempt is a refusal like any other.
            if (callState == callCalling || callState == callRinging) {
                KMT_LOG(kmt::logSipInvite, 2) << "call failed: " << code << " " << response.reasonPhrase;
                failCall(code == 480 || code == 486 || code == 600 ? kbrphone::lineBusy
                                                                   : kbrphone::lineFailedOther);
                return;
            }
            pendingOperation = operationNone;
            if (code == 491 && callState == callConnected) {
                // Both sides offered at once: the offer goes again after a random wait, longer for the
                // side that placed the call.
                if (queuedDirection < 0)
                    queuedDirection = offerDirection;
                glareWait = true;
                const size_t spread = std::hash<std::string>()(localTag + std::to_string(localCSeq));
                const int delay = outgoing ? 2100 + static_cast<int>(spread % 1900)
                                           : static_cast<int>(spread % 2000);
                KMT_LOG(kmt::logSipReinvite, 2)
                    << "re-invite crossed the far end's, again in " << delay << " ms";
                scheduler().removeTimer(&glareTimer);
                scheduler().addTimer(delay, &glareTimer);
                return;
            }
            sendQueuedInvite();
        }
        return;
    }
    if (request->method == "INVITE" && isFailure(code)) {
        // A refused re-INVITE while a transfer runs: the next offer may go.
        sendQueuedInvite();
        return;
    }
    if (request->method == "REFER" && referPending)
        return;
    KMT_LOG(kmt::logSipInvite, 1) << "request " << response.cseqMethod
                                  << " cannot be handled in the current state";
}

void SipInviteDialog::failCall(int lineState) {
    callState = callDisconnected;
    pendingOperation = operationNone;
    queuedDirection = -1;
    setLineState(transferPartner ? kbrphone::lineEnded : lineState);
    if (transferPartner) {
        // The leg's line is gone; the dialog goes once its INVITE transaction has ended.
        line = nullptr;
        finished = true;
    }
}

void SipInviteDialog::onRequestTimeout(SipTransactionalRequest* request) {
    if (request != inviteRequest)
        return;
    inviteRequest = nullptr;
    if (pendingOperation == operationInvite && (callState == callCalling || callState == callRinging)) {
        KMT_LOG(kmt::logSipInvite, 1) << "no answer to the INVITE: call failed";
        failCall(kbrphone::lineFailedOther);
        return;
    }
    // An unanswered re-INVITE leaves the call as it was; a waiting offer may go now.
    if (pendingOperation == operationInvite)
        pendingOperation = operationNone;
    sendQueuedInvite();
}

bool SipInviteDialog::inviteInProgress() const {
    return inviteRequest != nullptr || pendingOperation == operationAwaitAck ||
           (callState == callConnected && pendingOperation == operationOffered);
}

void SipInviteDialog::sendQueuedInvite() {
    if (queuedDirection < 0 || glareWait || callState != callConnected || inviteInProgress())
        return;
    const int direction = queuedDirection;
    queuedDirection = -1;
    invite(direction);
}

void SipInviteDialog::onGlareTimer() {
    glareWait = false;
    sendQueuedInvite();
}

void SipInviteDialog::retryWithCredentials(SipTransactionalRequest* request, SipInMessage& response) {
    const bool usable = response.statusCode == 401
                            ? parseChallenge(response, authorization, "WWW-Authenticate")
                            : parseChallenge(response, proxyAuthorization, "Proxy-Authenticate");
    if (!usable) {
        // A challenge that cannot be answered ends the call like any other refusal.
        if (callState == callCalling || callState == callRinging) {
            failCall(kbrphone::lineFailedOther);
            return;
        }
        pendingOperation = operationNone;
        sendQueuedInvite();
        return;
    }
    // Sent again where the challenged request went (the proxy for a new call), with the same offer.
    newInvite(request->destination, offerDirection)->send(request->attempt + 1);
}

void SipInviteDialog::onInviteAccepted(SipInMessage& response) {
    learnRemoteTag(response);
    if (callState == callCalling || callState == callRinging) {
        // The route set is fixed by the answer that sets the dialog up: its Record-Route, last first.
        routeSet = headerEntries(response, "Record-Route");
        std::reverse(routeSet.begin(), routeSet.end());
    }
    sendAck(response);
    if (pendingOperation == operationCancel && callState != callConnected) {
        // The answer crossed the user's hang-up: the call is ended at once.
        callState = callConnected;
        pendingOperation = operationNone;
        hangup(kbrphone::lineRemoteEnded);
        return;
    }
    if (callState > callRinging) {
        // A re-INVITE was accepted.
        if (pendingOperation == operationInvite)
            pendingOperation = operationNone;
        return;
    }
    const bool noCodec =
        isSdpContentType(response.header("Content-Type")) && startMediaFrom(response, false) == mediaNoCodec;
    callState = callConnected;
    if (pendingOperation == operationInvite)
        pendingOperation = operationNone;
    if (noCodec) {
        // The far end took the call but none of our codecs: a call without sound is no call. It is
        // ended (the ACK has gone, the BYE follows) and the line shows the failure.
        KMT_LOG(kmt::logSipInvite, 1) << "the answer holds no codec we offered: ending the call";
        hangup(transferPartner ? kbrphone::lineEnded : kbrphone::lineFailedOther);
        return;
    }
    setLineState(kbrphone::lineConnected);
}

void SipInviteDialog::sendAck(SipInMessage& response) {
    remoteTarget = contactTarget(response.header("Contact"), remoteUri);
    if (!routeSet.empty() && proxy && !proxy->addresses.empty()) {
        // With a route set every request of the dialog goes through the proxy, the ACK first.
        destination = proxy->addresses.front();
        SipAckRequest ack(this, destination, remoteTarget, response);
        ack.send(1);
        return;
    }
    try {
        const SipUriParts contact = parseSipUri(remoteTarget);
        const int mode = kmt::ipMode;
        destination = kmt::SocketAddress::resolve(mode, kmt::SocketAddress::familyFor(mode),
                                                  contact.host.c_str(), nullptr, contact.port, SOCK_DGRAM,
                                                  kmt::SocketAddress::flagsFor(mode, false));
    } catch (const kmt::SocketException&) {
        // An unresolvable contact gets no ACK.
        return;
    }
    SipAckRequest ack(this, destination, remoteTarget, response);
    ack.send(1);
}

void SipInviteDialog::onRequestFinished(SipTransactionalRequest* request) {
    if (request == inviteRequest)
        inviteRequest = nullptr;
}

// ---- requests from the other side

void SipInviteDialog::onRequest(const kmt::SocketAddress& source, SipInMessage& request) {
    const std::string& method = request.cseqMethod;
    KMT_LOG(kmt::logSipInvite, 2) << "received " << method << " request in active invite dialog";
    if (noCaseEqual(method, "INVITE"))
        onReInvite(source, request);
    else if (noCaseEqual(method, "BYE"))
        onBye(source, request);
    else if (noCaseEqual(method, "NOTIFY"))
        onNotify(source, request);
    else if (noCaseEqual(method, "ACK"))
        return; // an ACK that belongs to no transaction any more: nothing to answer
    else if (noCaseEqual(method, "CANCEL")) {
        SipResponse answer(this, source, request);
        answer.sendResponse(481, "Call/Transaction Does Not Exist");
    } else if (noCaseEqual(method, "OPTIONS")) {
        // As outside a call: the capabilities are in the Allow header of every answer.
        (new SipNonInviteResponse(this, source, request))->sendResponse(200, "OK");
    } else {
        // INFO, UPDATE, PRACK, MESSAGE, the far end's REFER and the like: answered, never left to time out.
        (new SipNonInviteResponse(this, source, request))->sendResponse(501, "Not Implemented");
    }
}

void SipInviteDialog::onBye(const kmt::SocketAddress& source, SipInMessage& request) {
    if (callState == callConnected)
        rtpSession.stop();
    (new SipNonInviteResponse(this, source, request))->sendResponse(200, "OK");
    if (callState == callOffered && pendingOperation == operationOffered && inviteResponse &&
        inviteResponse->state == SipTransactionalResponse::stateProceeding) {
        // The caller gave up without CANCEL: the INVITE is ended, and can no longer be answered.
        inviteResponse->sendResponse(487, "request terminated");
    }
    if (pendingOperation == operationOffered)
        pendingOperation = operationNone;
    callState = callDisconnected;
    if (transferPartner) {
        // The transferred leg ends without an end tone; the dialog goes once the BYE is answered.
        setLineState(kbrphone::lineEnded);
        line = nullptr;
        rtpSession.release();
        finished = true;
    } else {
        setLineState(kbrphone::lineRemoteEnded);
    }
}

void SipInviteDialog::onResponseNotAcknowledged(SipTransactionalResponse* response) {
    if (pendingOperation != operationAwaitAck)
        return;
    settleFarOffer();
    if (callState == callConnected && response->statusCode >= 200 && response->statusCode <= 299) {
        // Our 200 was sent until the transaction gave up and no ACK came: the far end is not there.
        KMT_LOG(kmt::logSipInvite, 1) << "no ACK for our 200: ending the call";
        hangup(kbrphone::lineRemoteEnded);
    }
}

void SipInviteDialog::onAckOrCancel(SipTransactionalResponse* response, const kmt::SocketAddress& source,
                                    SipInMessage& request) {
    if (noCaseEqual(request.cseqMethod, "ACK")) {
        if (callState == callConnected && pendingOperation == operationAwaitAck) {
            const int eventType = remoteSdp ? telephoneEventType(*remoteSdp) : -1;
            KMT_LOG(kmt::logSdp, 2) << "Matched telephone-event, nr is " << eventType;
            try {
                rtpSession.start(remoteSdp ? remoteSdp->remoteRtpAddress() : kmt::SocketAddress(),
                                 kmt::SocketAddress(), eventType);
            } catch (const std::exception& e) {
                KMT_LOG(kmt::logSipInvite, 1) << "error: " << e.what();
            }
            settleFarOffer();
            sendQueuedInvite();
        } else if (callState == callConnected && response == inviteResponse) {
            destination = source;
        }
        return;
    }
    // CANCEL
    if (callState == callConnected &&
        (pendingOperation == operationOffered || pendingOperation == operationAwaitAck)) {
        settleFarOffer();
        return;
    }
    callState = callDisconnected;
    letGoOfLine();
}

void SipInviteDialog::onResponseFinished(SipTransactionalResponse* response) {
    if (response != inviteResponse)
        return;
    inviteResponse = nullptr;
    if (callState == callConnected && pendingOperation == operationOffered)
        settleFarOffer();
}

} // namespace sip
