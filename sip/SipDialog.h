// The base of every SIP dialog: identity, CSeq counters, live transactions, credentials.
#pragma once

#include "DigestCredentials.h"
#include "kmt/log.h"
#include "kmt/socket.h"

#include <string>
#include <vector>

namespace kmt {
class EventScheduler;
}

namespace sip {

class SipEndPoint;
class SipProxy;
class SipInMessage;
class SipTransactionalRequest;
class SipTransactionalResponse;

class SipDialog {
public:
    // A dialog that places a request (a call to dial, the registration): new Call-ID and local tag.
    SipDialog(SipEndPoint* endPoint, SipProxy* proxy, const std::string& target,
              const std::string& displayName);
    // A dialog opened by a received request; identity from its Call-ID, From and To.
    SipDialog(SipEndPoint* endPoint, SipProxy* proxy, SipInMessage& request);
    virtual ~SipDialog();
    SipDialog(const SipDialog&) = delete;
    SipDialog& operator=(const SipDialog&) = delete;

    // What the transactions report; the base does nothing.
    virtual void onUnmatchedResponse(const kmt::SocketAddress& source, SipInMessage& response) {}
    virtual void onRequestTimeout(SipTransactionalRequest* request) {}
    virtual void onProvisionalResponse(SipTransactionalRequest* request, const kmt::SocketAddress& source,
                                       SipInMessage& response) {}
    virtual void onFinalResponse(SipTransactionalRequest* request, const kmt::SocketAddress& source,
                                 SipInMessage& response) {}
    virtual void onRequestFinished(SipTransactionalRequest* request) {}
    virtual void onRequest(const kmt::SocketAddress& source, SipInMessage& request) {}
    virtual void onResponseNotAcknowledged(SipTransactionalResponse* response) {}
    virtual void onAckOrCancel(SipTransactionalResponse* response, const kmt::SocketAddress& source,
                               SipInMessage& request) {}
    virtual void onResponseFinished(SipTransactionalResponse* response) {}
    // Both transaction lists have become empty; a subclass decides whether the dialog is over.
    virtual void checkFinished() {}
    // The request-URI of a request of this dialog that names none of its own.
    virtual std::string targetUri() const { return remoteUri; }

    // Called by the transactions' constructors and destructors.
    void addRequest(SipTransactionalRequest* request);
    void addResponse(SipTransactionalResponse* response);
    void removeRequest(SipTransactionalRequest* request);
    void removeResponse(SipTransactionalResponse* response);

    // Routing by the end point. The dialog may be gone when these return.
    void handleRequest(const kmt::SocketAddress& source, SipInMessage& request);
    void handleResponse(const kmt::SocketAddress& source, SipInMessage& response);

    void learnRemoteTag(SipInMessage& response);
    // Reads the challenge of the named header into the record. A challenge whose realm, nonce or opaque
    // holds a quote, backslash, CR or LF cannot be written into a header: the record is cleared and the
    // result is false.
    bool parseChallenge(SipInMessage& response, DigestCredentials& credentials, const char* headerName);

    // The address put into Via, Contact and SDP: the local address toward the proxy with the SIP port.
    kmt::SocketAddress localAddress();

    kmt::EventScheduler& scheduler() const;
    size_t activeRequestCount() const { return activeRequests.size(); }
    size_t activeResponseCount() const { return activeResponses.size(); }

    SipEndPoint* endPoint;
    SipProxy* proxy;
    std::vector<SipTransactionalRequest*> activeRequests;
    std::vector<SipTransactionalResponse*> activeResponses;
    std::string callId;
    std::string localTag;
    std::string remoteTag;
    std::string localUri;
    std::string localName;
    bool hasXTo = false;
    std::string xToUri;
    std::string xToName;
    std::string remoteUri;
    std::string remoteName;
    bool hasXFrom = false;
    std::string xFromUri;
    std::string xFromName;
    std::string calledUri;
    std::string calledName;
    int localCSeq = 0;
    int remoteCSeq = 0;
    kmt::SocketAddress localAddressCache;
    DigestCredentials authorization;
    DigestCredentials proxyAuthorization;
    // The proxies that stay on the path of the dialog's later requests, each written as a Route header
    // in this order; empty when none asked to (no Record-Route).
    std::vector<std::string> routeSet;
    // Anyone who knows the Call-ID can send a request with a foreign From tag or an old CSeq as often
    // as it likes: its lines are logged under bounds of the dialog's own.
    kmt::LogBound foreignTagLog, oldAckLog, oldRequestLog;

protected:
    // Empty identity, counters 0, not in the Call-ID map; the subclass fills the identity.
    SipDialog(SipEndPoint* endPoint, SipProxy* proxy);
};

} // namespace sip
