// Incoming calls from the proxy: the offer checked, the line created with the proxy's id and identity
// headers, ringing, answer with the SDP answer and media, refusals, CANCEL before and after the answer,
// and the end by either side, each flow ending with nothing left of the call.
#include "CallTestSupport.h"
#include "support/ParamNames.h"

using namespace calltest;

namespace {

struct IncomingCall : ::testing::Test {
    FarRequest inviteRequest(const std::string& lineId = "line-in-1") {
        FarRequest r;
        r.extra = contactOf(h.other.port) + (lineId.empty() ? "" : "X-Brimel-id: " + lineId + "\r\n");
        r.contentType = "application/sdp";
        r.body = farSdp(h.rtp.port);
        return r;
    }
    // The proxy offers a call; the first answer waits at the proxy peer.
    void offer(const FarRequest& r) {
        invite = r;
        h.fromProxy(farRequest(r, h.proxy.port));
    }
    void offer() { offer(inviteRequest()); }
    sip::SipLine* line(const std::string& id = "line-in-1") {
        return static_cast<sip::SipLine*>(h.phone.findLine(id));
    }
    // A request of the far end in this call, from the proxy, after our answer gave our tag.
    void inCall(const std::string& method, int cseq, const std::string& branch,
                const std::string& cseqMethod = "") {
        FarRequest r = invite;
        r.method = method;
        r.cseq = cseq;
        r.branch = branch;
        r.toTag = ourTag;
        r.contentType.clear();
        r.body.clear();
        r.extra.clear();
        r.cseqMethod = cseqMethod;
        h.fromProxy(farRequest(r, h.proxy.port));
    }
    void ack() { inCall("ACK", invite.cseq, invite.branch); }
    void answerCall() {
        h.post("line-in-1", &kbrphone::Line::answerIncoming);
        answer200 = h.oneAtProxy("SIP/2.0 200");
        ourTag = paramOf(headerOf(answer200, "To"), "tag");
    }

    CallHarness h;
    FarRequest invite;
    std::string answer200;
    std::string ourTag;
};

TEST_F(IncomingCall, RingsIsAnsweredWithTheSdpAnswerStartsMediaAndEndsByTheFarEndsBye) {
    offer();
    EXPECT_EQ(firstLine(h.oneAtProxy("SIP/2.0 ")), "SIP/2.0 100 trying");
    sip::SipLine* l = line();
    ASSERT_NE(l, nullptr) << "the line carries the proxy's id";
    EXPECT_EQ(l->getName(), "line-in-1");
    EXPECT_EQ(h.reportsOf("line-in-1"), std::vector<std::string>{"5/0"});
    EXPECT_FALSE(l->isInitiator());
    EXPECT_EQ(l->remoteName(), "Far End");
    EXPECT_EQ(l->remoteUri(), "sip:3002@127.0.0.1");
    EXPECT_EQ(l->localUri(), "sip:2001@127.0.0.1");
    EXPECT_EQ(l->calledUri(), "sip:2001@127.0.0.1");
    EXPECT_EQ(l->dialog->remoteTarget, "sip:3002@127.0.0.1:" + std::to_string(h.other.port));

    h.post("line-in-1", &kbrphone::Line::setRinging);
    EXPECT_EQ(firstLine(h.oneAtProxy("SIP/2.0 ")), "SIP/2.0 180 ringing");

    answerCall();
    EXPECT_EQ(firstLine(answer200), "SIP/2.0 200 OK");
    EXPECT_EQ(headerOf(answer200, "Content-Type"), "application/sdp");
    EXPECT_EQ(headerOf(answer200, "CSeq"), "1 INVITE");
    EXPECT_FALSE(ourTag.empty());
    rtp::RTPStream& stream = l->rtpSession()->getStream();
    const std::string sdp = bodyOf(answer200);
    EXPECT_EQ(audioPortOf(sdp), stream.rtpLocalAddress().port());
    EXPECT_NE(sdp.find("RTP/AVP 8 101\r\na=rtcp:" + std::to_string(stream.rtcpLocalAddress().port()) +
                       "\r\na=sendrecv\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:101 telephone-event/8000\r\n"
                       "a=fmtp:101 0-11\r\n"),
              std::string::npos)
        << sdp;
    EXPECT_EQ(h.reportsOf("line-in-1"), (std::vector<std::string>{"5/0", "6/1"}));
    EXPECT_EQ(h.phone.getActiveChannel(), l->transportChannel());
    EXPECT_TRUE(stream.isRunning()) << "the answer starts the media";
    EXPECT_EQ(stream.remoteRtpAddress(), h.rtp.address());

    // Without its ACK the 200 is repeated; the ACK starts the media again and stops the repeats.
    h.advance(600, 50);
    EXPECT_EQ(h.take(h.proxyReceived, "SIP/2.0 200").size(), 1u);
    ack();
    EXPECT_EQ(l->dialog->pendingOperation, sip::SipInviteDialog::operationNone);
    EXPECT_TRUE(stream.isRunning());
    h.advance(2000, 50);
    EXPECT_TRUE(h.proxyReceived.empty());

    inCall("BYE", 2, "z9hG4bKbye");
    EXPECT_EQ(firstLine(h.oneAtProxy("SIP/2.0 ")), "SIP/2.0 200 OK");
    EXPECT_EQ(h.statesOf("line-in-1").back(), 7);
    EXPECT_FALSE(stream.isRunning());
    h.post("line-in-1", &kbrphone::Line::hangup);
    EXPECT_TRUE(h.proxyReceived.empty());
    h.expectAllReleased();
}

TEST_F(IncomingCall, HangingUpAnAnsweredCallSendsByeToTheProxy) {
    offer();
    answerCall();
    ack();
    h.takeProxy();
    h.post("line-in-1", &kbrphone::Line::hangup);
    const std::string bye = h.oneAtProxy("BYE ");
    EXPECT_EQ(firstLine(bye), "BYE sip:3002@127.0.0.1 SIP/2.0");
    EXPECT_EQ(headerOf(bye, "CSeq"), "1 BYE");
    EXPECT_EQ(paramOf(headerOf(bye, "From"), "tag"), ourTag);
    EXPECT_EQ(paramOf(headerOf(bye, "To"), "tag"), "ft1");
    EXPECT_EQ(headerOf(bye, "Call-ID"), "call-in-1");
    h.fromProxy(reply(bye, 200, "OK", "", "", "", ""));
    h.expectAllReleased();
}

// A call that is over keeps no descriptors while its dialog waits 32 s for its last transactions: at
// hundreds of calls a second those would run into the process's limit.
TEST_F(IncomingCall, AnEndedCallClosesItsMediaSocketsAtOnceWhileItsDialogLingers) {
    offer();
    answerCall();
    ack();
    h.takeProxy();
    EXPECT_GT(h.counts().files, h.baseline.files) << "the call's RTP and RTCP sockets";
    // The far end hangs up; the BYE's answer is retransmitted for 32 s if the BYE comes again.
    h.fromProxy(requestText("BYE", h.proxy.port, "call-in-1", 2, "z9hG4bKbye", "ft1", ourTag));
    h.post("line-in-1", &kbrphone::Line::hangup);
    EXPECT_EQ(h.phone.lineCount(), 0u);
    EXPECT_EQ(h.endPoint.dialogCount(), 1u) << "the dialog waits for its BYE transaction";
    EXPECT_EQ(h.settledCounts(h.baseline).files, h.baseline.files) << "descriptors held by an ended call";
    // A repeated BYE is still answered.
    h.takeProxy();
    h.fromProxy(requestText("BYE", h.proxy.port, "call-in-1", 2, "z9hG4bKbye", "ft1", ourTag));
    EXPECT_EQ(firstLine(h.oneAtProxy("SIP/2.0 ")), "SIP/2.0 200 OK");
    h.expectAllReleased();
}

struct IncomingRefusal {
    const char* name;
    void (kbrphone::Line::*command)();
    const char* status;
};

class RefusedIncomingCall : public IncomingCall, public ::testing::WithParamInterface<IncomingRefusal> {};

TEST_P(RefusedIncomingCall, Answers486EndsTheLineAndTheDialogGoesWhenItsAnswerEnds) {
    offer();
    h.takeProxy();
    h.post("line-in-1", GetParam().command);
    EXPECT_EQ(firstLine(h.oneAtProxy("SIP/2.0 ")), GetParam().status);
    EXPECT_EQ(h.statesOf("line-in-1"), (std::vector<int>{5, 8}));
    EXPECT_EQ(h.phone.lineCount(), 0u);
    // The refusal is repeated until its ACK.
    h.advance(600, 50);
    EXPECT_EQ(h.take(h.proxyReceived, "SIP/2.0 486").size(), 1u);
    ack();
    h.advance(4000, 100);
    EXPECT_TRUE(h.proxyReceived.empty());
    h.expectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(
    Commands, RefusedIncomingCall,
    ::testing::Values(IncomingRefusal{"Busy", &kbrphone::Line::busyIncoming, "SIP/2.0 486 busy"},
                      IncomingRefusal{"Reject", &kbrphone::Line::rejectIncoming, "SIP/2.0 486 user unable to answer"},
                      IncomingRefusal{"Hangup", &kbrphone::Line::hangup, "SIP/2.0 486 user unable to answer"}),
    paramnames::ByName());

struct BadOffer {
    const char* name;
    const char* contentType;
    std::string body;
    const char* status;
};

class RefusedOffer : public IncomingCall, public ::testing::WithParamInterface<BadOffer> {};

TEST_P(RefusedOffer, IsRefusedBeforeAnyLineOrMediaExists) {
    FarRequest r = inviteRequest();
    r.contentType = GetParam().contentType;
    r.body = GetParam().body;
    offer(r);
    const std::string refusal = h.oneAtProxy("SIP/2.0 ");
    EXPECT_EQ(firstLine(refusal), GetParam().status);
    EXPECT_TRUE(h.proxyReceived.empty()) << "no 100 before it";
    EXPECT_EQ(h.phone.lineCount(), 0u);
    EXPECT_TRUE(h.reportsOf("line-in-1").empty());
    EXPECT_EQ(sip::SipInviteDialog::instanceCount(), 0u) << "no call was made of it";
    EXPECT_EQ(h.counts().files, h.baseline.files) << "no media sockets while the refusal waits for its ACK";
    // A retransmission gets the same refusal again, with the same tag; the ACK ends it.
    offer(r);
    const std::string again = h.oneAtProxy("SIP/2.0 ");
    EXPECT_EQ(firstLine(again), GetParam().status);
    EXPECT_EQ(paramOf(headerOf(again, "To"), "tag"), paramOf(headerOf(refusal, "To"), "tag"));
    EXPECT_NE(paramOf(headerOf(again, "To"), "tag"), "");
    ourTag = paramOf(headerOf(refusal, "To"), "tag");
    ack();
    h.advance(1000, 50);
    EXPECT_TRUE(h.proxyReceived.empty()) << "not repeated after its ACK";
    h.expectAllReleased();
}

const std::string linphoneOffer = "v=0\r\no=linphone 1 1 IN IP4 127.0.0.1\r\ns=Talk\r\nc=IN IP4 127.0.0.1\r\n"
                                  "t=0 0\r\nm=audio 7082 RTP/AVP 96 97 98 0 8 18 99 100 101\r\n"
                                  "a=rtpmap:96 opus/48000/2\r\na=fmtp:96 useinbandfec=1\r\n"
                                  "a=rtpmap:97 speex/16000\r\na=rtpmap:98 speex/8000\r\n"
                                  "a=rtpmap:0 PCMU/8000\r\na=fmtp:18 annexb=yes\r\n"
                                  "a=rtpmap:99 telephone-event/48000\r\na=rtpmap:100 telephone-event/16000\r\n"
                                  "a=rtpmap:101 telephone-event/8000\r\na=rtcp-fb:* trr-int 1000\r\n"
                                  "a=rtcp-fb:* ccm tmmbr\r\n";

INSTANTIATE_TEST_SUITE_P(
    Offers, RefusedOffer,
    ::testing::Values(
        BadOffer{"NoType", "", "", "SIP/2.0 400 unrecognized ContentType"},
        BadOffer{"OtherType", "text/plain", farSdp(4000), "SIP/2.0 400 unrecognized ContentType"},
        BadOffer{"SdpPrefix", "application/sdpx", farSdp(4000), "SIP/2.0 400 unrecognized ContentType"},
        BadOffer{"Ipv6", "application/sdp", "v=0\r\nc=IN IP6 ::1\r\nm=audio 4000 RTP/AVP 8\r\n",
                 "SIP/2.0 400 error in sdp message: unsuported network protocol"},
        BadOffer{"PcmuOnly", "application/sdp",
                 farSdp(4000, "sendrecv", "127.0.0.1", "0", "a=rtpmap:0 PCMU/8000\r\n"),
                 "SIP/2.0 488 error in sdp message: no supported codecs found"},
        BadOffer{"PcmuWithoutRtpmap", "application/sdp", farSdp(4000, "sendrecv", "127.0.0.1", "0 101", ""),
                 "SIP/2.0 488 error in sdp message: no supported codecs found"},
        BadOffer{"TelephoneEventOnly", "application/sdp",
                 farSdp(4000, "sendrecv", "127.0.0.1", "101", "a=rtpmap:101 telephone-event/8000\r\n"),
                 "SIP/2.0 488 error in sdp message: no supported codecs found"},
        BadOffer{"Avpf", "application/sdp",
                 "v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/AVPF 8 101\r\na=rtpmap:8 PCMA/8000\r\n",
                 "SIP/2.0 488 error in sdp message: no supported codecs found"},
        BadOffer{"Savp", "application/sdp",
                 "v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4000 RTP/SAVP 8\r\na=rtpmap:8 PCMA/8000\r\n"
                 "a=crypto:1 AES_CM_128_HMAC_SHA1_80 inline:WVNfX19zZW1jdGwgKCkgewkyMjA7fQp9CnVubGVz\r\n",
                 "SIP/2.0 488 error in sdp message: no supported codecs found"},
        BadOffer{"NoAudio", "application/sdp", "v=0\r\nc=IN IP4 127.0.0.1\r\nm=video 4000 RTP/AVP 31\r\n",
                 "SIP/2.0 488 error in sdp message: no supported codecs found"}),
    [](const ::testing::TestParamInfo<BadOffer>& info) { return std::string(info.param.name); });

struct GoodOffer {
    const char* name;
    std::string body;
    const char* answerFormats; // the m= line of our answer after the port
    int rtpPort;
};

class AcceptedOffer : public IncomingCall, public ::testing::WithParamInterface<GoodOffer> {};

TEST_P(AcceptedOffer, IsAnsweredWithPcmaAndTheMediaGoesToTheOfferedPort) {
    FarRequest r = inviteRequest();
    r.body = GetParam().body;
    offer(r);
    EXPECT_EQ(firstLine(h.oneAtProxy("SIP/2.0 ")), "SIP/2.0 100 trying");
    EXPECT_EQ(h.statesOf("line-in-1"), std::vector<int>{5});
    answerCall();
    const std::string sdp = bodyOf(answer200);
    EXPECT_NE(sdp.find(std::string("RTP/AVP ") + GetParam().answerFormats + "\r\n"), std::string::npos) << sdp;
    EXPECT_NE(sdp.find("a=rtpmap:8 PCMA/8000\r\n"), std::string::npos) << sdp;
    ack();
    EXPECT_EQ(line()->rtpSession()->getStream().remoteRtpAddress(), loopback(static_cast<uint16_t>(GetParam().rtpPort)));
    inCall("BYE", 2, "z9hG4bKbye");
    EXPECT_EQ(firstLine(h.oneAtProxy("SIP/2.0 ")), "SIP/2.0 200 OK");
    h.post("line-in-1", &kbrphone::Line::hangup);
    h.expectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(
    Offers, AcceptedOffer,
    ::testing::Values(GoodOffer{"PcmaWithoutRtpmap", farSdp(4000, "sendrecv", "127.0.0.1", "8", ""), "8", 4000},
                      GoodOffer{"Linphone", linphoneOffer, "8 101", 7082},
                      GoodOffer{"PcmaAfterRefusedStreams",
                                "v=0\r\nc=IN IP4 127.0.0.1\r\nm=audio 4100 RTP/SAVP 8\r\n"
                                "m=audio 4200 RTP/AVP 0 8\r\n",
                                "8", 4200}),
    [](const ::testing::TestParamInfo<GoodOffer>& info) { return std::string(info.param.name); });

TEST_F(IncomingCall, ACancelBeforeTheAnswerEndsTheLineWith487) {
    offer();
    h.takeProxy();
    FarRequest cancel = invite;
    cancel.method = "CANCEL";
    cancel.contentType.clear();
    cancel.body.clear();
    cancel.extra.clear();
    h.fromProxy(farRequest(cancel, h.proxy.port));
    std::vector<Datagram> answers = h.takeProxy();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(firstLine(answers[0].text), "SIP/2.0 200 invite canceled");
    EXPECT_EQ(headerOf(answers[0].text, "CSeq"), "1 CANCEL");
    EXPECT_EQ(firstLine(answers[1].text), "SIP/2.0 487 request terminated");
    EXPECT_EQ(headerOf(answers[1].text, "CSeq"), "1 INVITE");
    EXPECT_EQ(h.statesOf("line-in-1"), (std::vector<int>{5, 8}));
    // Answering now is too late: the line has gone.
    h.post("line-in-1", &kbrphone::Line::answerIncoming);
    EXPECT_TRUE(h.proxyReceived.empty());
    ack();
    h.expectAllReleased();
}

TEST_F(IncomingCall, ACancelAfterOur200IsAbsorbedAndTheCallStaysUp) {
    offer();
    answerCall();
    h.takeProxy();
    FarRequest cancel = invite;
    cancel.method = "CANCEL";
    cancel.contentType.clear();
    cancel.body.clear();
    cancel.extra.clear();
    h.fromProxy(farRequest(cancel, h.proxy.port));
    // Too late to cancel, but the CANCEL itself is answered (and so is its retransmission).
    EXPECT_EQ(headerOf(h.oneAtProxy("SIP/2.0 200 invite canceled"), "CSeq"), "1 CANCEL");
    h.fromProxy(farRequest(cancel, h.proxy.port));
    EXPECT_EQ(headerOf(h.oneAtProxy("SIP/2.0 200 invite canceled"), "CSeq"), "1 CANCEL");
    EXPECT_TRUE(h.proxyReceived.empty()) << "no 487 after the 200";
    EXPECT_EQ(h.statesOf("line-in-1").back(), 6);
    ack();
    EXPECT_TRUE(line()->rtpSession()->getStream().isRunning());
    h.post("line-in-1", &kbrphone::Line::hangup);
    h.fromProxy(reply(h.oneAtProxy("BYE "), 200, "OK", "", "", "", ""));
    h.expectAllReleased();
}

TEST_F(IncomingCall, AnInviteNamingAnExistingLineGetsNo100ButA486AndNoLine) {
    sip::SipLine* existing = sip::SipLine::create(&h.endPoint, "taken", "");
    LogCapture::instance().take();
    offer(inviteRequest("taken"));
    EXPECT_EQ(firstLine(h.oneAtProxy("SIP/2.0 ")), "SIP/2.0 486 user unable to answer");
    EXPECT_TRUE(h.proxyReceived.empty());
    EXPECT_TRUE(LogCapture::instance().contains(LogCapture::instance().take(),
                                                "in createline(taken): line id is not unique"));
    EXPECT_EQ(h.phone.lineCount(), 1u);
    EXPECT_EQ(existing->dialog, nullptr) << "the existing line is left alone";
    EXPECT_TRUE(h.reportsOf("taken").empty());
    ack();
    h.post("taken", &kbrphone::Line::hangup);
    h.expectAllReleased();
}

TEST_F(IncomingCall, ARetransmittedInviteGetsTheCurrentAnswerAgainAndNoSecondLine) {
    offer();
    h.takeProxy();
    h.fromProxy(farRequest(invite, h.proxy.port));
    EXPECT_EQ(firstLine(h.oneAtProxy("SIP/2.0 ")), "SIP/2.0 100 trying");
    EXPECT_EQ(h.phone.lineCount(), 1u);
    EXPECT_EQ(h.statesOf("line-in-1"), std::vector<int>{5});
    h.post("line-in-1", &kbrphone::Line::rejectIncoming);
    ack();
    h.expectAllReleased();
}

struct Identity {
    const char* name;
    std::string headers;
    std::string remoteName, remoteUri, localName, localUri;
    bool internal;
    int wrapUpTime;
};

class IncomingIdentity : public IncomingCall, public ::testing::WithParamInterface<Identity> {};

TEST_P(IncomingIdentity, ComesFromTheProxysHeadersWhileRoutingUsesFromAndTo) {
    const Identity& c = GetParam();
    FarRequest r = inviteRequest();
    r.extra += c.headers;
    offer(r);
    sip::SipLine* l = line();
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->remoteName(), c.remoteName);
    EXPECT_EQ(l->remoteUri(), c.remoteUri);
    EXPECT_EQ(l->localName(), c.localName);
    EXPECT_EQ(l->localUri(), c.localUri);
    EXPECT_EQ(l->calledUri(), "sip:2001@127.0.0.1") << "the To of the INVITE as received";
    EXPECT_EQ(l->isInternal(), c.internal);
    EXPECT_EQ(l->wrapUpTime(), c.wrapUpTime);
    answerCall();
    ack();
    h.post("line-in-1", &kbrphone::Line::hangup);
    const std::string bye = h.oneAtProxy("BYE ");
    EXPECT_EQ(firstLine(bye), "BYE sip:3002@127.0.0.1 SIP/2.0") << "SIP routing keeps the From header";
    EXPECT_NE(headerOf(bye, "To").find("<sip:3002@127.0.0.1>"), std::string::npos);
    h.fromProxy(reply(bye, 200, "OK", "", "", "", ""));
    h.expectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(
    Headers, IncomingIdentity,
    ::testing::Values(
        Identity{"Plain", "", "Far End", "sip:3002@127.0.0.1", "", "sip:2001@127.0.0.1", false, 0},
        Identity{"Brimel",
                 "X-Brimel-From: \"Agent Smith\" <sip:100@pbx.example>;tag=x\r\n"
                 "X-Brimel-To: \"Sales\" <sip:sales@pbx.example>\r\n"
                 "X-Brimel-CallType: internal\r\nP-Brimel-Wrap-Up-Time: 30\r\n",
                 "Agent Smith", "sip:100@pbx.example", "Sales", "sip:sales@pbx.example", true, 30},
        Identity{"CapitalType", "X-Brimel-CallType: Internal\r\nP-Brimel-Wrap-Up-Time: abc\r\n", "Far End",
                 "sip:3002@127.0.0.1", "", "sip:2001@127.0.0.1", false, 0},
        Identity{"HugeWrapUp", "X-Brimel-CallType: external\r\nP-Brimel-Wrap-Up-Time: 99999999999\r\n",
                 "Far End", "sip:3002@127.0.0.1", "", "sip:2001@127.0.0.1", false, 2147483647}),
    [](const ::testing::TestParamInfo<Identity>& info) { return std::string(info.param.name); });

TEST_F(IncomingCall, WithoutXBrimelIdTheLineGetsANewIdAndNoHeaderOfItsOwn) {
    offer(inviteRequest(""));
    ASSERT_EQ(h.phone.lineCount(), 1u);
    const std::vector<std::string> journal = h.journal.snapshot();
    std::string id;
    for (const std::string& e : journal)
        if (e.compare(0, 5, "java ") == 0)
            id = e.substr(5, e.find(' ', 5) - 5);
    EXPECT_EQ(id.size(), 16u);
    sip::SipLine* l = line(id);
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->getName(), id);
    h.post(id, &kbrphone::Line::rejectIncoming);
    ack();
    h.expectAllReleased();
}

} // namespace
