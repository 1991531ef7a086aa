#include "SipDialog.h"

#include "SipClientTransaction.h"
#include "SipEndPoint.h"
#include "SipInMessage.h"
#include "SipProxy.h"
#include "SipAddress.h"
#include "SipServerTransaction.h"
#include "kmt/ident.h"
#include "kmt/log.h"

#include <algorithm>
#include <cstring>

namespace sip {

namespace {

// URI and display name of a name-addr header value.
std::string nameAddrOf(const std::string& value, std::string& displayName) {
    SipHeaderValue cursor(value);
    return cursor.nameAddr(&displayName, ';');
}

} // namespace

SipDialog::SipDialog(SipEndPoint* endPoint_, SipProxy* proxy_) : endPoint(endPoint_), proxy(proxy_) {}

SipDialog::SipDialog(SipEndPoint* endPoint_, SipProxy* proxy_, const std::string& target,
                     const std::string& displayName)
    : endPoint(endPoint_), proxy(proxy_) {
    callId = kmt::randomId();
    localTag = kmt::randomId();
    const std::string host = proxy ? proxy->host : std::string();
    localUri = "sip:" + (proxy ? proxy->user : std::string()) + "@" + host;
    localName = proxy ? proxy->displayName : std::string();
    calledName = localName;
    remoteUri = target.find(':') != std::string::npos ? target : "sip:" + target + "@" + host;
    remoteName = displayName;
    KMT_LOG(kmt::logSip, 5) << "Create dialog for to dial " << displayName << " <" << target << ">";
    endPoint->addDialog(this);
}

SipDialog::SipDialog(SipEndPoint* endPoint_, SipProxy* proxy_, SipInMessage& request)
    : endPoint(endPoint_), proxy(proxy_) {
    callId = request.header("Call-ID");
    localTag = kmt::randomId();
    KMT_LOG(kmt::logSip, 5) << "Created dialog for a response";
    remoteUri = nameAddrOf(request.header("From"), remoteName);
    remoteTag = request.headerParameter("From", "tag");
    const std::string xFrom = request.header("X-Brimel-From");
    if (!xFrom.empty()) {
        xFromUri = nameAddrOf(xFrom, xFromName);
        hasXFrom = true;
    }
    KMT_LOG(kmt::logSip, 5) << "Dialog response to " << remoteName << " <" << remoteUri << ">";
    localUri = nameAddrOf(request.header("To"), localName);
    calledUri = localUri;
    calledName = localName;
    const std::string xTo = request.header("X-Brimel-To");
    if (!xTo.empty()) {
        xToUri = nameAddrOf(xTo, xToName);
        hasXTo = true;
    }
    remoteCSeq = request.cseqNumber;
    localCSeq = 0;
    endPoint->addDialog(this);
}

SipDialog::~SipDialog() {
    KMT_LOG(kmt::logSip, 5) << "Deleting dialog " << localUri << " <--> " << remoteUri;
    // Each transaction's destructor takes itself out of its list.
    while (!activeRequests.empty())
        delete activeRequests.back();
    while (!activeResponses.empty())
        delete activeResponses.back();
    KMT_LOG(kmt::logSip, 5) << "unregister dialog " << localUri << " <--> " << remoteUri;
    endPoint->removeDialog(this);
    KMT_LOG(kmt::logSip, 5) << "destructor dialog finished " << localUri << " <--> " << remoteUri;
}

kmt::EventScheduler& SipDialog::scheduler() const {
    return endPoint->scheduler();
}

void SipDialog::addRequest(SipTransactionalRequest* request) {
    activeRequests.push_back(request);
    KMT_LOG(kmt::logSipDialog, 5) << "there are now " << activeRequests.size() << " active requests";
}

void SipDialog::addResponse(SipTransactionalResponse* response) {
    activeResponses.push_back(response);
    KMT_LOG(kmt::logSipDialog, 5) << "there are now " << activeResponses.size() << " active responses";
}

void SipDialog::removeRequest(SipTransactionalRequest* request) {
    auto it = std::find(activeRequests.begin(), activeRequests.end(), request);
    if (it == activeRequests.end())
        return;
    activeRequests.erase(it);
    KMT_LOG(kmt::logSipDialog, 5) << "there are now " << activeRequests.size() << " active requests";
    if (activeRequests.empty() && activeResponses.empty())
        checkFinished();
}

void SipDialog::removeResponse(SipTransactionalResponse* response) {
    auto it = std::find(activeResponses.begin(), activeResponses.end(), response);
    if (it == activeResponses.end())
        return;
    activeResponses.erase(it);
    KMT_LOG(kmt::logSipDialog, 5) << "there are now " << activeResponses.size() << " active responses";
    if (activeRequests.empty() && activeResponses.empty())
        checkFinished();
}

void SipDialog::handleRequest(const kmt::SocketAddress& source, SipInMessage& request) {
    const std::string fromTag = request.headerParameter("From", "tag");
    if (fromTag != remoteTag) {
        KMT_LOG_BOUNDED(kmt::logSipDialog, 1, foreignTagLog)
            << "tag from message (" << fromTag << ")  doesn't match dialog tag (" << remoteTag << ")";
        return;
    }
    const std::string toTag = request.headerParameter("To", "tag");
    if (!toTag.empty() && toTag != localTag) {
        // A request for another dialog of this Call-ID (one that has gone): told so, not left to resend.
        if (!noCaseEqual(request.cseqMethod, "ACK")) {
            SipResponse answer(this, source, request);
            answer.toTag = toTag;
            answer.sendResponse(481, "Call/Transaction Does Not Exist");
        }
        return;
    }
    const std::string branch = request.headerParameter("Via", "branch");
    const bool ack = noCaseEqual(request.cseqMethod, "ACK");
    for (SipTransactionalResponse* response : activeResponses) {
        if ((ack || response->branch == branch) && response->cseq == request.cseqNumber) {
            // The transaction may end the dialog: nothing here touches either afterwards.
            response->onRequest(source, request);
            return;
        }
    }
    if (static_cast<uint32_t>(request.cseqNumber) < static_cast<uint32_t>(remoteCSeq)) {
        // Out of order (RFC 3261 12.2.2): told so, not left to time out. An ACK is never answered,
        // and a CANCEL carries the number of the request it cancels.
        if (ack) {
            KMT_LOG_BOUNDED(kmt::logSipDialog, 1, oldAckLog) << "ignore old message " << request.cseqMethod;
            return;
        }
        if (!noCaseEqual(request.cseqMethod, "CANCEL")) {
            KMT_LOG_BOUNDED(kmt::logSipDialog, 1, oldRequestLog)
                << "old message " << request.cseqMethod << " " << request.cseqNumber << " (remote CSeq "
                << remoteCSeq << "): answered 500";
            // Without a transaction: a retransmission meets the same check and the same answer, the
            // ACK to it is an old message too, and the dialog keeps nothing of it.
            SipResponse answer(this, source, request);
            answer.sendResponse(500, "CSeq out of order");
            return;
        }
        onRequest(source, request);
        return;
    }
    remoteCSeq = request.cseqNumber;
    onRequest(source, request);
}

void SipDialog::handleResponse(const kmt::SocketAddress& source, SipInMessage& response) {
    if (response.headerParameter("From", "tag") != localTag)
        return;
    if (!remoteTag.empty()) {
        const std::string toTag = response.headerParameter("To", "tag");
        if (!toTag.empty() && toTag != remoteTag)
            return;
    }
    const std::string branch = response.headerParameter("Via", "branch");
    for (SipTransactionalRequest* request : activeRequests) {
        if (request->branch == branch) {
            request->onResponse(source, response);
            return;
        }
    }
    onUnmatchedResponse(source, response);
}

void SipDialog::learnRemoteTag(SipInMessage& response) {
    if (remoteTag.empty())
        remoteTag = response.headerParameter("To", "tag");
}

bool SipDialog::parseChallenge(SipInMessage& response, DigestCredentials& credentials,
                               const char* headerName) {
    const std::string value = response.header(headerName);
    // The scheme ("Digest") is the text up to the first blank; the parameters follow.
    const size_t blank = value.find(' ');
    SipHeaderValue cursor(blank == std::string::npos ? std::string() : value.substr(blank + 1));
    cursor.parseParameters(',');
    DigestCredentials parsed;
    parsed.nonce = cursor.parameter("nonce");
    parsed.realm = cursor.parameter("realm");
    parsed.opaque = cursor.parameter("opaque");
    if (!isUsableChallenge(parsed)) {
        KMT_LOG(kmt::logSipDialog, 1)
            << "unusable challenge in " << headerName << ": quote, backslash or line end";
        credentials = DigestCredentials();
        return false;
    }
    parsed.ha1 = proxy ? proxy->digestHA1(parsed.realm) : std::string();
    credentials = parsed;
    return true;
}

kmt::SocketAddress SipDialog::localAddress() {
    if (isUnspecifiedAddress(localAddressCache)) {
        kmt::SocketAddress local =
            proxy ? proxy->localAddress() : kmt::SocketAddress::fromHost(kmt::hostName().c_str());
        localAddressCache = local.withPort(endPoint->socket.localAddress().port());
    }
    return localAddressCache;
}

} // namespace sip
