// Datagrams into a call. Every input starts an outgoing call to a proxy on 127.0.0.1. The first input byte
// chooses: bit 0 connects the call first with a canned 200; bit 1 sends the datagrams from another port than
// the proxy's; bits 2-3 give a line command before the datagrams (none, hold, resume, blind transfer). The
// rest is datagrams separated by lines "%%", in which "$C", "$T" and "$B" become the call's Call-ID, local
// tag and INVITE branch, so that responses and in-dialog requests reach the dialog. Afterwards the line
// hangs up and every call is released: no dialog, line or call may be left.
#include "Phone.h"
#include "SipClientTransaction.h"
#include "SipEndPoint.h"
#include "SipInviteDialog.h"
#include "SipLine.h"
#include "SipProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

class NoDevice : public PhoneDeviceCreatorBase {
public:
    void create(PhoneDeviceInterface*& device, kbrphone::Phone*) override { device = nullptr; }
};

class FuzzPhone : public kbrphone::Phone {
public:
    explicit FuzzPhone(PhoneDeviceCreatorBase& creator) : Phone(nullptr, creator) {}
    void registrationStateChanged(int, const std::string&) override {}
    void lineStateChanged(kbrphone::Line*, bool) override {}
};

kmt::SocketAddress loopback(uint16_t port) {
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return kmt::SocketAddress(reinterpret_cast<const sockaddr*>(&v4), sizeof v4);
}

struct World {
    World() {
        kmt::ipMode = 1;
        // Everything the engine sends (SIP and RTP) lands here and is thrown away.
        sink = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(sink, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(sink, reinterpret_cast<sockaddr*>(&a), &len);
        sinkPort = ntohs(a.sin_port);
        phone.reset(new FuzzPhone(creator));
        endPoint = static_cast<sip::SipEndPoint*>(phone->getProtocol());
        sip::SipProxy* proxy = sip::SipProxy::create("127.0.0.1", sinkPort, "2001", "Desk");
        proxy->authUser = "auth2001";
        proxy->password = "secret";
        endPoint->installProxy(proxy);
    }
    void drain() {
        char buffer[70000];
        while (::recv(sink, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
    }

    NoDevice creator;
    std::unique_ptr<FuzzPhone> phone;
    sip::SipEndPoint* endPoint = nullptr;
    int sink = -1;
    uint16_t sinkPort = 0;
};

World* world = nullptr;

struct NullBuffer : std::streambuf {
    int overflow(int c) override { return c; }
};

void replaceAll(std::string& text, const std::string& token, const std::string& value) {
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at + value.size()))
        text.replace(at, token.size(), value);
}

void dispatch(const std::string& text, const kmt::SocketAddress& source) {
    std::istringstream stream(text);
    try {
        world->endPoint->dispatch(stream, source);
    } catch (const std::exception&) {
        // The receive path catches and logs these per datagram; here they are an accepted outcome.
    }
}

// Calls go at once with their lines, whatever transactions they still have.
void releaseCalls() {
    std::vector<sip::SipInviteDialog*> calls;
    for (const auto& entry : world->endPoint->dialogs)
        if (auto* call = dynamic_cast<sip::SipInviteDialog*>(entry.second))
            calls.push_back(call);
    for (sip::SipInviteDialog* call : calls) {
        sip::SipLine* line = call->line;
        delete call;
        delete line;
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static NullBuffer discard;
    std::cout.rdbuf(&discard);
    world = new World;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const uint8_t choice = data[0];
    auto* line = static_cast<sip::SipLine*>(world->endPoint->createLine(""));
    const std::string lineId = line->getLineId();
    line->dial("3002", "Callee");
    sip::SipInviteDialog* call = line->dialog;
    if (!call || !call->inviteRequest)
        std::abort();
    const std::string callId = call->callId;
    const std::string localTag = call->localTag;
    const std::string branch = call->inviteRequest->branch;
    const std::string sink = std::to_string(world->sinkPort);
    const kmt::SocketAddress proxy = loopback(world->sinkPort);
    if (choice & 1) {
        const std::string sdp = "v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio " + sink +
                                " RTP/AVP 8 101\r\na=rtpmap:8 PCMA/8000\r\n"
                                "a=rtpmap:101 telephone-event/8000\r\n";
        dispatch("SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1;branch=" + branch +
                     "\r\nFrom: <sip:2001@127.0.0.1>;tag=" + localTag +
                     "\r\nTo: <sip:3002@127.0.0.1>;tag=far\r\nCall-ID: " + callId +
                     "\r\nCSeq: 1 INVITE\r\nContact: <sip:3002@127.0.0.1:" + sink +
                     ">\r\nContent-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()) +
                     "\r\n\r\n" + sdp,
                 proxy);
    }
    if (kbrphone::Line* l = world->phone->findLine(lineId)) {
        switch ((choice >> 2) & 3) {
        case 1:
            l->putOnHold();
            break;
        case 2:
            l->activate();
            break;
        case 3:
            l->blindTransfer("4004");
            break;
        default:
            break;
        }
    }
    const kmt::SocketAddress source =
        (choice & 2) ? loopback(static_cast<uint16_t>(world->sinkPort + 1)) : proxy;
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    replaceAll(rest, "$C", callId);
    replaceAll(rest, "$T", localTag);
    replaceAll(rest, "$B", branch);
    size_t start = 0;
    for (int n = 0; n < 16 && start <= rest.size(); ++n) {
        const size_t end = rest.find("\n%%\n", start);
        dispatch(rest.substr(start, end == std::string::npos ? std::string::npos : end - start), source);
        if (end == std::string::npos)
            break;
        start = end + 4;
    }
    // The user hangs up (a line that has ended meanwhile is gone already).
    if (kbrphone::Line* l = world->phone->findLine(lineId))
        l->hangup();
    releaseCalls();
    if (world->endPoint->dialogCount() != 0 || world->phone->lineCount() != 0 ||
        sip::SipInviteDialog::instanceCount() != 0)
        std::abort();
    world->drain();
    return 0;
}
