// Datagrams into a call. Every input starts an outgoing call to a proxy on 127.0.0.1. The first input byte
// chooses: bit 0 connects the call first with a canned 200; bit 1 sends the datagrams from another port than
// the proxy's; bits 2-3 give a line command before the datagrams (none, hold, resume, blind transfer). The
// rest is datagrams separated by lines "%%", in which "$C", "$T" and "$B" become the call's Call-ID, local
// tag and INVITE branch, so that responses and in-dialog requests reach the dialog. Afterwards the line
// hangs up and every call is released: no dialog, line or call may be left.
#include "EndPointWorld.h"
#include "SipClientTransaction.h"
#include "SipProxy.h"

#include <cstdlib>

namespace {

struct World : fuzzworld::World {
    World() {
        sip::SipProxy* proxy = sip::SipProxy::create("127.0.0.1", sinkPort, "2001", "Desk");
        proxy->authUser = "auth2001";
        proxy->password = "secret";
        endPoint->installProxy(proxy);
    }
};

World* world = nullptr;

void dispatch(const std::string& text, const kmt::SocketAddress& source) {
    fuzzworld::dispatch(world->endPoint, text, source);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzworld::quietConsole();
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
    const kmt::SocketAddress proxy = fuzzworld::loopback(world->sinkPort);
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
        (choice & 2) ? fuzzworld::loopback(static_cast<uint16_t>(world->sinkPort + 1)) : proxy;
    std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    fuzzworld::replaceAll(rest, "$C", callId);
    fuzzworld::replaceAll(rest, "$T", localTag);
    fuzzworld::replaceAll(rest, "$B", branch);
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
    fuzzworld::releaseCalls(world->endPoint);
    if (world->endPoint->dialogCount() != 0 || world->phone->lineCount() != 0 ||
        sip::SipInviteDialog::instanceCount() != 0)
        std::abort();
    world->drain();
    return 0;
}
