// Outgoing SIP messages: the wire text of request and response heads, and sending over UDP.
#pragma once

#include "DigestCredentials.h"
#include "kmt/socket.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace sip {

class SipDialog;
class SipInMessage;

// The methods this user agent accepts, as every request and response announces them.
extern const char* const allowedMethods;
// The methods it accepts outside a call, as a 405 there announces them.
extern const char* const allowedOutsideDialog;

class SipOutMessage {
public:
    // cseq 0 takes the dialog's next CSeq number (unless numberIfZero is false: ACK, CANCEL and
    // responses repeat the number they are given); an empty requestUri becomes the dialog's target
    // URI; an empty branch becomes "z9hG4bK" and a random id.
    SipOutMessage(SipDialog* dialog, const std::string& method, const std::string& requestUri, int32_t cseq,
                  const std::string& branch, bool numberIfZero = true);
    virtual ~SipOutMessage();
    SipOutMessage(const SipOutMessage&) = delete;
    SipOutMessage& operator=(const SipOutMessage&) = delete;

    // "CSeq: <number> <method>"
    void writeCSeq(std::ostream& os) const;
    // "Contact: <sip:user@local-address[:port]>"
    void writeContact(std::ostream& os) const;
    // "Content-Length: n", and "Content-Type: ..." when there are both a body and a type.
    void writeContentLength(std::ostream& os) const;

    SipDialog* dialog;
    std::string method;
    int32_t cseq;
    std::string requestUri;
    std::string branch;
    std::string contentType;
    std::string body;

protected:
    // Logs the whole text on sip_core and sends it on the end point's socket; socket failures are
    // logged and swallowed.
    void transmit(const std::string& text, const kmt::SocketAddress& to, bool isResponse);
};

class SipRequest : public SipOutMessage {
public:
    SipRequest(SipDialog* dialog, const kmt::SocketAddress& destination, const std::string& method,
               const std::string& requestUri, int32_t cseq, const std::string& branch,
               bool numberIfZero = true);

    // Request line and the common headers; subclasses call this and append their own.
    virtual std::ostream& writeHeaders(std::ostream& os, const kmt::SocketAddress& destination);

    // Writes the request and sends it to destination; never throws.
    void send(int attemptNumber);

    // Digest Authorization or Proxy-Authorization line for this request's method and request-URI;
    // nothing while the record has no HA1 or holds an unusable challenge.
    void writeAuthorization(std::ostream& os, const DigestCredentials& credentials,
                            const char* headerName) const;

    // Header lines that the request kinds append after the common ones.
    // INVITE: Contact, then "X-Brimel-id: <line name>" when the name is not empty.
    void writeInviteAdditions(std::ostream& os, const std::string& lineName) const;
    // REGISTER: Contact, then "Expires:<seconds>" when expires is 0 or more.
    void writeRegisterAdditions(std::ostream& os, int expires) const;
    // REFER: "Refer-to: <target>", then Contact.
    void writeReferAdditions(std::ostream& os, const std::string& referTarget) const;

    kmt::SocketAddress destination;
    std::string toText; // when not empty, the To header's value as written
    int attempt = 0;
};

// Sent once, never retransmitted. The branch is new for the ACK of a 2xx to an INVITE and the
// INVITE's own otherwise; the To header repeats the response's.
class SipAckRequest : public SipRequest {
public:
    SipAckRequest(SipDialog* dialog, const kmt::SocketAddress& destination, const std::string& requestUri,
                  SipInMessage& response);
};

class SipCancelRequest : public SipRequest {
public:
    SipCancelRequest(SipDialog* dialog, const kmt::SocketAddress& destination, const std::string& requestUri,
                     int32_t cseq, const std::string& branch);
};

class SipResponse : public SipOutMessage {
public:
    // From the received request: its CSeq, method, request-URI and top Via branch; reads the
    // rest of its header block to keep every Via, the From value and the To name-addr.
    SipResponse(SipDialog* dialog, const kmt::SocketAddress& source, SipInMessage& request);

    // Stores the status and sends the response.
    virtual void sendResponse(int statusCode, const std::string& reasonPhrase);
    virtual std::ostream& writeHeaders(std::ostream& os);
    // Writes the response and sends it to destination; never throws.
    void send();

    std::vector<std::string> viaValues;
    // The request's Record-Route values in arrival order; repeated in the answers to an INVITE that
    // set up or refresh a dialog (101-299), so that the far end learns the same route set.
    std::vector<std::string> recordRoutes;
    std::string fromText;
    std::string toUri;
    std::string toDisplayName;
    kmt::SocketAddress destination; // where the request came from
    // The To tag written; empty: the dialog's local tag. A request that reached no dialog of ours is
    // answered with its own To tag.
    std::string toTag;
    int statusCode = 0;
    std::string reasonPhrase;
    // "Retry-After: <seconds>" when above 0 (a refusal for want of resources).
    int retryAfterSeconds = 0;
    // The Allow header's value.
    const char* allow = allowedMethods;
};

// "Via: SIP/2.0/UDP host[:port];branch=...;rport"; the host name stands in for an unspecified
// local address.
void writeViaHeader(std::ostream& os, const kmt::SocketAddress& localAddress, const std::string& branch);
// The request's top Via for the response: rport filled with the source port, every other
// parameter as name=value, then received=source address.
void writeResponseVia(std::ostream& os, const std::string& viaValue, const kmt::SocketAddress& source);
// "Contact: <sip:user@address[:port]>", the address as it is (no host name for the wildcard).
void writeContactHeader(std::ostream& os, const std::string& user, const kmt::SocketAddress& localAddress);
// "Name: "display" <uri>;tag=..." with quotes and backslashes in the display name escaped.
void writeNameAddrHeader(std::ostream& os, const char* name, const std::string& uri,
                         const std::string& displayName, const std::string& tag);
// Every value of the named header in arrival order, comma-separated lists split into their
// entries (commas inside <...> or quotes do not split).
std::vector<std::string> headerEntries(SipInMessage& message, const std::string& name);
// Letters and digits as they are, every other byte as "%" and two lowercase hex digits.
void writeEscaped(std::ostream& os, const std::string& text);

// The Refer-to target that replaces another call: that call's remote target (its remote contact
// with the port suffix of its peer address, or its remote URI when it has no contact), then
// "?Replaces=" and its escaped Call-ID, to-tag and from-tag.
std::string replacesReferTarget(const std::string& remoteContact, const kmt::SocketAddress& peerAddress,
                                const std::string& remoteUri, const std::string& callId,
                                const std::string& remoteTag, const std::string& localTag);

} // namespace sip
