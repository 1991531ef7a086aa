// Base of every SIP dialog: identity, CSeq counters, live transactions, the local address and the
// two digest credential records.
#pragma once

#include "DigestCredentials.h"
#include "kmt/socket.h"

#include <string>
#include <vector>

namespace sip {

class SipEndPoint;
class SipInMessage;
class SipProxy;
class SipTransactionalRequest;
class SipTransactionalResponse;

class SipDialog {
public:
    virtual ~SipDialog();
    SipDialog(const SipDialog&) = delete;
    SipDialog& operator=(const SipDialog&) = delete;

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
    // Both transaction lists have become empty: the subclass decides whether the dialog is over.
    virtual void checkFinished() = 0;

    // The address put into Via, Contact and SDP: the local address toward the proxy with the port
    // of the SIP socket, computed once and cached.
    kmt::SocketAddress localAddress();

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

protected:
    // Empty identity, counters 0, no cached address; the subclasses' constructors fill the rest.
    SipDialog(SipEndPoint* endPoint, SipProxy* proxy);
};

} // namespace sip
