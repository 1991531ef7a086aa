#include "SipOutMessage.h"

#include "Md5.h"
#include "SipAddress.h"
#include "SipDialog.h"
#include "SipEndPoint.h"
#include "SipInMessage.h"
#include "SipProxy.h"
#include "kmt/ident.h"
#include "kmt/log.h"
#include "kmt/stringstream.h"

namespace sip {

const char* const allowedMethods = "INVITE, ACK, CANCEL, BYE, REFER, SUBSCRIBE, NOTIFY";
const char* const allowedOutsideDialog = "INVITE, ACK, CANCEL, BYE, OPTIONS";

namespace {

// A reason phrase ends the status line, so it may not carry a line break of its own.
std::string singleLine(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c == '\r' || c == '\n')
            c = ' ';
    return out;
}

std::string ackBranch(SipInMessage& response) {
    bool answeredInvite = response.statusCode >= 200 && response.statusCode <= 299 &&
                          noCaseEqual(response.cseqMethod, "INVITE");
    return answeredInvite ? std::string() : response.headerParameter("Via", "branch");
}

} // namespace

// ---- shared header writers

std::vector<std::string> headerEntries(SipInMessage& message, const std::string& name) {
    std::vector<std::string> out;
    for (auto it = message.findHeader(name, false);
         it != message.headersEnd() && !headerNameLess(name, it->first); ++it) {
        const std::string& value = it->second;
        std::string entry;
        bool quoted = false;
        int angle = 0;
        for (size_t i = 0; i < value.size(); ++i) {
            const char c = value[i];
            if (quoted) {
                if (c == '\\' && i + 1 < value.size()) {
                    entry += c;
                    entry += value[++i];
                    continue;
                }
                if (c == '"')
                    quoted = false;
            } else if (c == '"') {
                quoted = true;
            } else if (c == '<') {
                ++angle;
            } else if (c == '>' && angle > 0) {
                --angle;
            } else if (c == ',' && angle == 0) {
                if (!trimBlank(entry).empty())
                    out.push_back(trimBlank(entry));
                entry.clear();
                continue;
            }
            entry += c;
        }
        if (!trimBlank(entry).empty())
            out.push_back(trimBlank(entry));
    }
    return out;
}

void writeViaHeader(std::ostream& os, const kmt::SocketAddress& localAddress, const std::string& branch) {
    os << "Via: SIP/2.0/UDP ";
    if (isUnspecifiedAddress(localAddress))
        os << kmt::hostName();
    else
        os << localAddress;
    writePortSuffix(os, localAddress);
    os << ";branch=" << branch << ";rport\r\n";
}

void writeResponseVia(std::ostream& os, const std::string& viaValue, const kmt::SocketAddress& source) {
    SipHeaderValue via(viaValue);
    os << "Via: " << via.nextToken(';');
    if (via.position < via.text.size())
        via.parseParameters(';');
    for (const std::string& name : via.parameterNames) {
        if (noCaseEqual(name, "rport"))
            os << ";rport=" << source.port();
        else
            os << ';' << name << '=' << via.parameter(name);
    }
    os << ";received=" << source.toString() << "\r\n";
}

void writeContactHeader(std::ostream& os, const std::string& user, const kmt::SocketAddress& localAddress) {
    os << "Contact: <sip:" << user << '@' << localAddress;
    writePortSuffix(os, localAddress);
    os << ">\r\n";
}

void writeNameAddrHeader(std::ostream& os, const char* name, const std::string& uri,
                         const std::string& displayName, const std::string& tag) {
    os << name << ':';
    if (!displayName.empty()) {
        os << " \"";
        for (char c : displayName) {
            if (c == '"' || c == '\\')
                os << '\\';
            os << c;
        }
        os << '"';
    }
    os << " <" << uri << '>';
    if (!tag.empty())
        os << ";tag=" << tag;
    os << "\r\n";
}

void writeEscaped(std::ostream& os, const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    for (char c : text) {
        unsigned char b = static_cast<unsigned char>(c);
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9')) {
            os << c;
        } else {
            char escaped[3] = {'%', digits[b >> 4], digits[b & 0x0f]};
            os.write(escaped, 3);
        }
    }
}

std::string replacesReferTarget(const std::string& remoteContact, const kmt::SocketAddress& peerAddress,
                                const std::string& remoteUri, const std::string& callId,
                                const std::string& remoteTag, const std::string& localTag) {
    kmt::stringstream os;
    if (!remoteContact.empty()) {
        os << remoteContact;
        writePortSuffix(os, peerAddress);
    } else {
        os << remoteUri;
    }
    // The Replaces value is a URI header value: its own ';' and '=' are escaped too, or a peer that
    // splits the URI's headers first reads the tags as parameters of their own.
    os << "?Replaces=";
    writeEscaped(os, callId);
    writeEscaped(os, ";");
    os << "to-tag%3D";
    writeEscaped(os, remoteTag);
    writeEscaped(os, ";");
    os << "from-tag%3D";
    writeEscaped(os, localTag);
    return os.str();
}

// ---- SipOutMessage

SipOutMessage::SipOutMessage(SipDialog* dialog_, const std::string& method_, const std::string& requestUri_,
                             int32_t cseq_, const std::string& branch_, bool numberIfZero)
    : dialog(dialog_), method(method_), cseq(cseq_), requestUri(requestUri_), branch(branch_) {
    if (cseq == 0 && numberIfZero)
        cseq = ++dialog->localCSeq;
    if (requestUri.empty())
        requestUri = dialog->targetUri();
    if (branch.empty())
        branch = "z9hG4bK" + kmt::randomId();
}

SipOutMessage::~SipOutMessage() = default;

void SipOutMessage::writeCSeq(std::ostream& os) const {
    os << "CSeq: " << cseq << ' ' << method << "\r\n";
}

void SipOutMessage::writeContact(std::ostream& os) const {
    writeContactHeader(os, dialog->proxy ? dialog->proxy->user : std::string(), dialog->localAddress());
}

void SipOutMessage::writeContentLength(std::ostream& os) const {
    os << "Content-Length: " << body.size() << "\r\n";
    if (!body.empty() && !contentType.empty())
        os << "Content-Type: " << contentType << "\r\n";
}

void SipOutMessage::transmit(const std::string& text, const kmt::SocketAddress& to, bool isResponse) {
    int level = method == "REGISTER" ? 4 : 3;
    if (isResponse)
        KMT_LOG(kmt::logSipCore, level) << "sending to : " << to << ":" << to.port() << ":\n"
                                        << text << "*** end message ***";
    else
        KMT_LOG(kmt::logSipCore, level) << "sending to : " << to << ":" << to.port() << ":\n" << text;
    dialog->endPoint->socket.sendTo(to, text.data(), static_cast<int>(text.size()));
}

// ---- SipRequest

SipRequest::SipRequest(SipDialog* dialog_, const kmt::SocketAddress& destination_, const std::string& method_,
                       const std::string& requestUri_, int32_t cseq_, const std::string& branch_,
                       bool numberIfZero)
    : SipOutMessage(dialog_, method_, requestUri_, cseq_, branch_, numberIfZero), destination(destination_) {}

std::ostream& SipRequest::writeHeaders(std::ostream& os, const kmt::SocketAddress& to) {
    os << method << ' ' << requestUri << " SIP/2.0\r\n";
    writeViaHeader(os, dialog->localAddress(), branch);
    os << "Max-Forwards: 70\r\n";
    for (const std::string& route : dialog->routeSet)
        os << "Route: " << route << "\r\n";
    writeNameAddrHeader(os, "From", dialog->localUri, dialog->localName, dialog->localTag);
    if (!toText.empty())
        os << "To: " << toText << "\r\n";
    else
        writeNameAddrHeader(os, "To", dialog->remoteUri, dialog->remoteName, dialog->remoteTag);
    os << "Call-ID: " << dialog->callId << "\r\n";
    writeCSeq(os);
    writeContentLength(os);
    writeAuthorization(os, dialog->authorization, "Authorization");
    SipProxy* proxy = dialog->proxy;
    if (proxy && !proxy->addresses.empty() && to == proxy->addresses.front())
        writeAuthorization(os, dialog->proxyAuthorization, "Proxy-Authorization");
    os << "Allow: " << allowedMethods << "\r\n";
    return os;
}

void SipRequest::writeAuthorization(std::ostream& os, const DigestCredentials& credentials,
                                    const char* headerName) const {
    if (credentials.ha1.empty())
        return;
    if (!isUsableChallenge(credentials)) {
        KMT_LOG(kmt::logSip, 1) << "unusable digest challenge, no " << headerName << " written";
        return;
    }
    std::string ha2 = md5Hex(method + ":" + requestUri);
    std::string response = md5Hex(credentials.ha1 + ":" + credentials.nonce + ":" + ha2);
    os << headerName << ": Digest username=\"" << (dialog->proxy ? dialog->proxy->authUser : std::string())
       << "\", realm=\"" << credentials.realm << "\", nonce=\"" << credentials.nonce << "\", response=\""
       << response << "\", uri=\"" << requestUri << "\", algorithm=MD5";
    if (!credentials.opaque.empty())
        os << ", opaque=\"" << credentials.opaque << '"';
    os << "\r\n";
}

void SipRequest::writeInviteAdditions(std::ostream& os, const std::string& lineName) const {
    writeContact(os);
    if (!lineName.empty())
        os << "X-Brimel-id: " << lineName << "\r\n";
}

void SipRequest::writeRegisterAdditions(std::ostream& os, int expires) const {
    writeContact(os);
    if (expires >= 0)
        os << "Expires:" << expires << "\r\n";
}

void SipRequest::writeReferAdditions(std::ostream& os, const std::string& referTarget) const {
    os << "Refer-to: <" << referTarget << ">\r\n";
    writeContact(os);
}

void SipRequest::send(int attemptNumber) {
    attempt = attemptNumber;
    try {
        kmt::stringstream os;
        writeHeaders(os, destination) << "\r\n" << body;
        transmit(os.str(), destination, false);
    } catch (const kmt::SocketException& e) {
        KMT_LOG(kmt::logSipCore, 1) << "ignoring socket exception in " << e.call() << "error: " << e.code();
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logSipCore, 2) << "ignoring exception during socket write: " << e.what();
    }
}

SipAckRequest::SipAckRequest(SipDialog* dialog_, const kmt::SocketAddress& destination_,
                             const std::string& requestUri_, SipInMessage& response)
    : SipRequest(dialog_, destination_, "ACK", requestUri_, response.cseqNumber, ackBranch(response), false) {
    toText = response.header("To");
}

SipCancelRequest::SipCancelRequest(SipDialog* dialog_, const kmt::SocketAddress& destination_,
                                   const std::string& requestUri_, int32_t cseq_, const std::string& branch_)
    : SipRequest(dialog_, destination_, "CANCEL", requestUri_, cseq_, branch_, false) {}

// ---- SipResponse

SipResponse::SipResponse(SipDialog* dialog_, const kmt::SocketAddress& source, SipInMessage& request)
    : SipOutMessage(dialog_, request.cseqMethod, request.requestUri, request.cseqNumber,
                    request.headerParameter("Via", "branch"), false),
      destination(source) {
    static const std::string via = "Via";
    for (auto it = request.findHeader(via, false);
         it != request.headersEnd() && !headerNameLess(via, it->first); ++it)
        viaValues.push_back(it->second);
    if (noCaseEqual(request.cseqMethod, "INVITE"))
        recordRoutes = headerEntries(request, "Record-Route");
    fromText = request.header("From");
    SipHeaderValue to(request.header("To"));
    toUri = to.nameAddr(&toDisplayName, ';');
}

void SipResponse::sendResponse(int code, const std::string& reason) {
    statusCode = code;
    reasonPhrase = reason;
    send();
}

std::ostream& SipResponse::writeHeaders(std::ostream& os) {
    os << "SIP/2.0 " << statusCode << ' ' << singleLine(reasonPhrase) << "\r\n";
    if (!viaValues.empty()) {
        writeResponseVia(os, viaValues.front(), destination);
        for (size_t i = 1; i < viaValues.size(); ++i)
            os << "Via: " << viaValues[i] << "\r\n";
    }
    if (statusCode > 100 && statusCode <= 299)
        for (const std::string& route : recordRoutes)
            os << "Record-Route: " << route << "\r\n";
    os << "From: " << fromText << "\r\n";
    writeNameAddrHeader(os, "To", toUri, toDisplayName, toTag.empty() ? dialog->localTag : toTag);
    os << "Call-ID: " << dialog->callId << "\r\n";
    writeCSeq(os);
    writeContact(os);
    os << "Allow: " << allow << "\r\n";
    if (retryAfterSeconds > 0)
        os << "Retry-After: " << retryAfterSeconds << "\r\n";
    writeContentLength(os);
    return os;
}

void SipResponse::send() {
    try {
        kmt::stringstream os;
        writeHeaders(os) << "\r\n" << body;
        transmit(os.str(), destination, true);
    } catch (const kmt::SocketException& e) {
        KMT_LOG(kmt::logSipCore, 1) << "caught socket exception in " << e.call() << "error: " << e.code();
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logSipCore, 2) << "ignoring socket exception: " << e.what();
    }
}

} // namespace sip
