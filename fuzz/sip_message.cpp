// Whole datagrams through the SIP reader: start line, every header, parameters, name-addr and URI
// splitting, the body, and the response and ACK heads built from what was read.
#include "Phone.h"
#include "PhoneDeviceInterface.h"
#include "SipDialog.h"
#include "SipEndPoint.h"
#include "SipInMessage.h"
#include "SipOutMessage.h"
#include "SipProxy.h"
#include "kmt/stringstream.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>

namespace {

class FuzzDialog : public sip::SipDialog {
public:
    FuzzDialog(sip::SipEndPoint* endPoint, sip::SipProxy* proxy) : SipDialog(endPoint, proxy) {}
    void checkFinished() override {}
};

class NoDevice : public PhoneDeviceCreatorBase {
public:
    void create(PhoneDeviceInterface*& device, kbrphone::Phone*) override { device = nullptr; }
};

// The phone builds the end point that a dialog needs.
class FuzzPhone : public kbrphone::Phone {
public:
    explicit FuzzPhone(PhoneDeviceCreatorBase& creator) : Phone(nullptr, creator) {}
    void registrationStateChanged(int, const std::string&) override {}
    void lineStateChanged(kbrphone::Line*, bool) override {}
};

kmt::SocketAddress ipv4(const char* text, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, text, &a.sin_addr);
    return kmt::SocketAddress(reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

struct Setting {
    Setting()
        : phone(creator), proxy("pbx.example", {ipv4("10.0.0.1", 5060)}, "2001", "Desk"),
          dialog(static_cast<sip::SipEndPoint*>(phone.getProtocol()), &proxy) {
        dialog.callId = "c0ffee";
        dialog.localTag = "lt";
        dialog.localUri = "sip:2001@pbx.example";
        dialog.remoteUri = "sip:3002@pbx.example";
        dialog.localAddressCache = ipv4("10.0.0.5", 5062);
    }
    NoDevice creator;
    FuzzPhone phone;
    sip::SipProxy proxy;
    FuzzDialog dialog;
};

volatile size_t sink;

void consume(const std::string& text) {
    sink = sink + text.size();
}

// Every way the stack reads a header value.
void readValue(const std::string& value) {
    sip::SipHeaderValue parameters(value);
    consume(parameters.nextToken(';'));
    parameters.parseParameters(';');
    for (const std::string& name : parameters.parameterNames)
        consume(parameters.parameter(name));

    sip::SipHeaderValue challenge(value);
    consume(challenge.nextToken(' '));
    challenge.parseParameters(',');

    sip::SipHeaderValue entries(value);
    for (int i = 0; i < 64; ++i) {
        std::string displayName;
        std::string uri = entries.nameAddr(&displayName, ',');
        if (uri.empty() && entries.position >= entries.text.size())
            break;
        consume(uri);
        consume(displayName);
    }

    sip::SipUriParts uri = sip::parseSipUri(value);
    consume(uri.uri);
    consume(uri.user);
    consume(uri.host);
    sink = sink + uri.port;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65535) // the largest UDP datagram
        return 0;
    static Setting setting;
    std::istringstream stream(std::string(reinterpret_cast<const char*>(data), size));
    std::string firstLine;
    std::getline(stream, firstLine);
    std::unique_ptr<sip::SipInMessage> message;
    try {
        if (firstLine.compare(0, 3, "SIP") == 0)
            message.reset(new sip::SipInMessage(sip::SipInMessage::response, firstLine, stream));
        else
            message.reset(new sip::SipInMessage(sip::SipInMessage::request, firstLine, stream));
    } catch (const sip::SipIllegalMessageException&) {
        return 0;
    }
    sip::SipInMessage& m = *message;

    // A dispatch's lookups first, lazily, then the rest of the block.
    consume(m.header("Call-ID"));
    consume(m.headerParameter("Via", "branch"));
    consume(m.headerParameter("To", "tag"));
    consume(m.headerParameter("From", "tag"));
    consume(m.headerParameter("Contact", "expires"));
    while (!m.headersComplete())
        m.parseNextHeader();
    for (auto position : m.headerOrder()) {
        consume(sip::compactHeaderName(position->first));
        readValue(position->second);
    }
    for (auto it = m.findHeader("Via", false); it != m.headersEnd() && !sip::headerNameLess("Via", it->first);
         ++it)
        consume(it->second);
    std::string body(std::istreambuf_iterator<char>(m.body()), {});
    consume(body);

    // The heads written from what was read.
    kmt::stringstream os;
    if (m.isRequest()) {
        sip::SipResponse response(&setting.dialog, ipv4("10.0.0.1", 5070), m);
        response.statusCode = 200;
        response.reasonPhrase = "OK";
        response.writeHeaders(os);
    } else {
        sip::SipAckRequest ack(&setting.dialog, setting.proxy.addresses.front(), "", m);
        ack.writeHeaders(os, ack.destination);
    }
    consume(os.str());
    return 0;
}
