// SIP message costs: reading a datagram as a dispatch does (Call-ID and CSeq only) and reading
// every header, on an INVITE with SDP and on a 200 response; writing an INVITE with its SDP offer;
// md5Hex of a 64-byte text.
#include "Md5.h"
#include "Phone.h"
#include "PhoneDeviceInterface.h"
#include "Sdp.h"
#include "SipDialog.h"
#include "SipEndPoint.h"
#include "SipInMessage.h"
#include "SipOutMessage.h"
#include "SipProxy.h"
#include "kmt/stringstream.h"

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>

#include <memory>
#include <sstream>
#include <string>

namespace {

const std::string inviteBody = "v=0\r\n"
                               "o=root 2021 2021 IN IP4 10.0.0.9\r\n"
                               "s=Asterisk\r\n"
                               "c=IN IP4 10.0.0.9\r\n"
                               "t=0 0\r\n"
                               "m=audio 18000 RTP/AVP 8 0 101\r\n"
                               "a=rtpmap:8 PCMA/8000\r\n"
                               "a=rtpmap:0 PCMU/8000\r\n"
                               "a=rtpmap:101 telephone-event/8000\r\n"
                               "a=fmtp:101 0-16\r\n"
                               "a=ptime:20\r\n"
                               "a=sendrecv\r\n";

const std::string invite = "INVITE sip:2001@10.0.0.5:5062 SIP/2.0\r\n"
                           "Via: SIP/2.0/UDP 10.0.0.1:5060;branch=z9hG4bK4c2e.8f1a9b3c0d;rport\r\n"
                           "Via: SIP/2.0/UDP 10.0.0.9:5060;branch=z9hG4bK7a6b5c4d;received=10.0.0.9\r\n"
                           "Record-Route: <sip:10.0.0.1;lr>\r\n"
                           "Max-Forwards: 69\r\n"
                           "From: \"Reception\" <sip:3002@pbx.example>;tag=as5c2b1e9d\r\n"
                           "To: <sip:2001@pbx.example>\r\n"
                           "Contact: <sip:3002@10.0.0.9:5060>\r\n"
                           "Call-ID: 6f1c2b3a4d5e6f708192a3b4c5d6e7f8@10.0.0.9\r\n"
                           "CSeq: 102 INVITE\r\n"
                           "User-Agent: Asterisk PBX 18.0\r\n"
                           "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, SUBSCRIBE, NOTIFY, INFO\r\n"
                           "Supported: replaces, timer\r\n"
                           "X-Brimel-CallType: external\r\n"
                           "Content-Type: application/sdp\r\n"
                           "Content-Length: " +
                           std::to_string(inviteBody.size()) + "\r\n\r\n" + inviteBody;

const std::string okResponse = "SIP/2.0 200 OK\r\n"
                               "Via: SIP/2.0/UDP 10.0.0.5:5062;branch=z9hG4bK5f1e0c2a9b7d4e31;rport=5062;"
                               "received=10.0.0.5\r\n"
                               "From: \"Desk 2001\" <sip:2001@pbx.example>;tag=8c1d2e3f4a5b6c7d\r\n"
                               "To: <sip:3002@pbx.example>;tag=as5c2b1e9d\r\n"
                               "Call-ID: 0a1b2c3d4e5f6a7b\r\n"
                               "CSeq: 7 BYE\r\n"
                               "Server: Asterisk PBX 18.0\r\n"
                               "Allow: INVITE, ACK, CANCEL, OPTIONS, BYE, REFER, SUBSCRIBE, NOTIFY, INFO\r\n"
                               "Supported: replaces, timer\r\n"
                               "Content-Length: 0\r\n"
                               "\r\n";

// What the end point does with a datagram: copy it into a stream, read the first line, build the
// message, look up the Call-ID; the constructor has read the CSeq.
template <bool everyHeader> void readMessage(benchmark::State& state, const std::string& text) {
    for (auto _ : state) {
        std::istringstream stream(text);
        std::string first;
        std::getline(stream, first);
        std::unique_ptr<sip::SipInMessage> m(
            first.compare(0, 3, "SIP") == 0
                ? new sip::SipInMessage(sip::SipInMessage::response, first, stream)
                : new sip::SipInMessage(sip::SipInMessage::request, first, stream));
        benchmark::DoNotOptimize(m->header("Call-ID").size());
        benchmark::DoNotOptimize(m->cseqNumber);
        if (everyHeader) {
            while (!m->headersComplete())
                m->parseNextHeader();
            benchmark::DoNotOptimize(m->headerOrder().size());
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("messages");
}

void DispatchReadInviteWithSdp(benchmark::State& state) {
    readMessage<false>(state, invite);
}
void EveryHeaderInviteWithSdp(benchmark::State& state) {
    readMessage<true>(state, invite);
}
void DispatchRead200(benchmark::State& state) {
    readMessage<false>(state, okResponse);
}
void EveryHeader200(benchmark::State& state) {
    readMessage<true>(state, okResponse);
}

class NoDevice : public PhoneDeviceCreatorBase {
public:
    void create(PhoneDeviceInterface*& device, kbrphone::Phone*) override { device = nullptr; }
};

// The phone builds the end point that a dialog needs.
class BenchPhone : public kbrphone::Phone {
public:
    explicit BenchPhone(PhoneDeviceCreatorBase& creator) : Phone(nullptr, creator) {}
    void registrationStateChanged(int, const std::string&) override {}
    void lineStateChanged(kbrphone::Line*, bool) override {}
};

class BenchDialog : public sip::SipDialog {
public:
    BenchDialog(sip::SipEndPoint* endPoint, sip::SipProxy* proxy) : SipDialog(endPoint, proxy) {}
    void checkFinished() override {}
};

kmt::SocketAddress ipv4(const char* text, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, text, &a.sin_addr);
    return kmt::SocketAddress(reinterpret_cast<const sockaddr*>(&a), sizeof a);
}

// The head and SDP offer of an INVITE, with a fixed branch (the random branch is not counted).
void WriteInviteWithSdp(benchmark::State& state) {
    NoDevice creator;
    BenchPhone phone(creator);
    sip::SipEndPoint& endPoint = *static_cast<sip::SipEndPoint*>(phone.getProtocol());
    sip::SipProxy proxy("pbx.example", {ipv4("10.0.0.1", 5060)}, "2001", "Desk 2001");
    BenchDialog dialog(&endPoint, &proxy);
    dialog.callId = "0a1b2c3d4e5f6a7b";
    dialog.localTag = "8c1d2e3f4a5b6c7d";
    dialog.localUri = "sip:2001@pbx.example";
    dialog.localName = "Desk 2001";
    dialog.remoteUri = "sip:3002@pbx.example";
    dialog.localAddressCache = ipv4("10.0.0.5", 5062);
    sip::SdpLocalMedia media;
    media.address = dialog.localAddressCache;
    media.port = 40000;
    media.rtcpPort = 40001;
    const std::vector<sip::SdpCodec> codecs = {{8, "PCMA", 8000, ""}, {101, "telephone-event", 8000, "0-11"}};
    size_t bytes = 0;
    for (auto _ : state) {
        sip::SipRequest request(&dialog, proxy.addresses.front(), "INVITE", "", 1, "z9hG4bK5f1e0c2a9b7d4e31");
        kmt::stringstream sdp;
        sip::writeSdpSession(sdp, media.address);
        media.writeSdpMedia(sdp, "audio", "RTP/AVP", codecs);
        request.body = sdp.str();
        request.contentType = "application/sdp";
        kmt::stringstream os;
        request.writeHeaders(os, request.destination);
        request.writeInviteAdditions(os, "line-1");
        os << "\r\n" << request.body;
        std::string text = os.str();
        bytes += text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.SetLabel("messages");
}

void Md5Hex64Bytes(benchmark::State& state) {
    const std::string text(64, 'k');
    for (auto _ : state)
        benchmark::DoNotOptimize(sip::md5Hex(text));
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(DispatchReadInviteWithSdp);
BENCHMARK(EveryHeaderInviteWithSdp);
BENCHMARK(DispatchRead200);
BENCHMARK(EveryHeader200);
BENCHMARK(WriteInviteWithSdp);
BENCHMARK(Md5Hex64Bytes);

} // namespace

BENCHMARK_MAIN();
