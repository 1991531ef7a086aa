// Outgoing calls: the INVITE and its offer, ringing, early media, the answer acknowledged to the Contact
// with the media started, refusals, digest challenges, and hanging up in every phase, each flow ending
// with nothing left of the call.
#include "CallStatistics.h"
#include "CallTestSupport.h"
#include "support/ParamNames.h"

#include <chrono>
#include <thread>

using namespace calltest;

namespace {

// Waits (real time, bounded) for a datagram at a peer.
bool receiveWithin(Peer& peer, Datagram& d, int ms = 2000) {
    for (int i = 0; i < ms / 5; ++i) {
        if (peer.poll(d))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

struct OutgoingCall : ::testing::Test {
    // Dials 3002 on a new line; the INVITE waits at the proxy peer.
    void dial(const std::string& name = "Desk") {
        line = h.newLine(name);
        lineId = line->getLineId();
        h.dial(lineId, "3002");
        invite = h.oneAtProxy("INVITE ");
    }
    // The far end answers from the proxy with its contact at the other peer.
    void answer(const std::string& toTag = "rt1") {
        h.fromProxy(
            reply(invite, 200, "OK", contactOf(h.other.port), "application/sdp", farSdp(h.rtp.port), toTag));
    }
    sip::SipInviteDialog* dialog() { return line->dialog; }

    CallHarness h;
    sip::SipLine* line = nullptr;
    std::string lineId;
    std::string invite;
};

TEST_F(OutgoingCall, ConnectsWithTheOfferRingingAckToTheContactMediaBothWaysAndEndsWithBye) {
    dial();
    EXPECT_EQ(firstLine(invite), "INVITE sip:3002@127.0.0.1 SIP/2.0");
    EXPECT_EQ(headerOf(invite, "X-Brimel-id"), "Desk");
    EXPECT_EQ(headerOf(invite, "Content-Type"), "application/sdp");
    EXPECT_EQ(headerOf(invite, "To"), "\"Callee\" <sip:3002@127.0.0.1>");
    EXPECT_EQ(headerOf(invite, "CSeq"), "1 INVITE");
    EXPECT_EQ(headerOf(invite, "Contact"), "<sip:2001@127.0.0.1:" + std::to_string(h.sipPort()) + ">");
    const std::string offer = bodyOf(invite);
    rtp::RTPStream& stream = line->rtpSession()->getStream();
    const uint16_t rtpPort = stream.rtpLocalAddress().port();
    EXPECT_NE(offer.find("c=IN IP4 127.0.0.1\r\n"), std::string::npos) << offer;
    EXPECT_NE(offer.find("m=audio " + std::to_string(rtpPort) + " RTP/AVP 8 101\r\n"), std::string::npos);
    EXPECT_NE(offer.find("a=rtcp:" + std::to_string(stream.rtcpLocalAddress().port()) + "\r\n"),
              std::string::npos);
    EXPECT_NE(
        offer.find(
            "a=sendrecv\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-11"),
        std::string::npos);
    EXPECT_EQ(h.phone.getActiveLine(), line) << "the first dialling line becomes the active line";
    EXPECT_EQ(h.statesOf(lineId), std::vector<int>{1});

    h.fromProxy(reply(invite, 100, "Trying", "", "", "", ""));
    h.fromProxy(reply(invite, 180, "Ringing"));
    EXPECT_EQ(dialog()->callState, sip::SipInviteDialog::callRinging);
    answer();
    const std::string ack = h.oneAtOther("ACK ");
    EXPECT_EQ(firstLine(ack), "ACK sip:3002@127.0.0.1:" + std::to_string(h.other.port) + " SIP/2.0");
    EXPECT_EQ(headerOf(ack, "CSeq"), "1 ACK");
    EXPECT_EQ(paramOf(headerOf(ack, "To"), "tag"), "rt1");
    EXPECT_TRUE(h.proxyReceived.empty()) << "nothing more went to the proxy";
    EXPECT_EQ(h.reportsOf(lineId), (std::vector<std::string>{"1/1", "2/1", "6/1"}));
    EXPECT_TRUE(line->isTransportChannelActive());
    EXPECT_EQ(h.phone.getActiveChannel(), line->transportChannel());

    // The media runs towards the answer's address, both ways, on the call's receive thread.
    ASSERT_TRUE(stream.isRunning());
    EXPECT_EQ(h.counts().threads, h.baseline.threads + 1);
    EXPECT_GE(h.counts().files, h.baseline.files + 2) << "the call's RTP and RTCP sockets";
    EXPECT_EQ(stream.remoteRtpAddress(), h.rtp.address());
    int16_t samples[160] = {};
    line->rtpSession()->putFrame(0, samples, 160);
    Datagram packet;
    ASSERT_TRUE(receiveWithin(h.rtp, packet));
    EXPECT_EQ(packet.text.size(), 172u);
    EXPECT_EQ(packet.text[1] & 0x7f, 8) << "PCMA";
    h.rtp.sendTo(rtpPort, rtpPacket(100, 16000, 0xfeed));
    h.rtp.sendTo(rtpPort, rtpPacket(101, 16160, 0xfeed));
    h.receivedWithin(*line->rtpSession(), 2);
    const kbrphone::CallStatistics statistics = kbrphone::readCallStatistics(*line->rtpSession());
    EXPECT_EQ(statistics.remoteSsrc, 0xfeedu) << "the default reader reads the call's own session";
    EXPECT_EQ(statistics.expected, 2);
    EXPECT_EQ(statistics.lost, 0);

    // Hanging up sends BYE to the contact; its 200 ends the dialog at once.
    h.post(lineId, &kbrphone::Line::hangup);
    const std::string bye = h.oneAtOther("BYE ");
    EXPECT_EQ(headerOf(bye, "CSeq"), "2 BYE");
    EXPECT_EQ(paramOf(headerOf(bye, "To"), "tag"), "rt1");
    EXPECT_EQ(h.reportsOf(lineId).back(), "8/0");
    EXPECT_EQ(h.phone.lineCount(), 0u);
    h.fromOther(reply(bye, 200, "OK"));
    EXPECT_EQ(h.endPoint.dialogCount(), 0u);
    h.expectAllReleased();
}

TEST_F(OutgoingCall, ARetransmitted200IsAcknowledgedAgainAndAFarEndByeEndsWithState7) {
    dial();
    answer();
    h.oneAtOther("ACK ");
    // The far end did not see our ACK and sends its 200 again.
    answer();
    h.oneAtOther("ACK ");
    EXPECT_EQ(h.statesOf(lineId), (std::vector<int>{1, 6}));

    FarRequest bye;
    bye.method = "BYE";
    bye.callId = headerOf(invite, "Call-ID");
    bye.cseq = 7;
    bye.fromTag = "rt1";
    bye.toTag = paramOf(headerOf(invite, "From"), "tag");
    h.fromOther(farRequest(bye, h.other.port));
    EXPECT_EQ(firstLine(h.oneAtOther("SIP/2.0 200")), "SIP/2.0 200 OK");
    EXPECT_EQ(h.statesOf(lineId).back(), 7);
    EXPECT_FALSE(line->rtpSession()->getStream().isRunning()) << "the media stops at the BYE";
    // The end tone plays, then the user hangs up: nothing more is sent.
    h.post(lineId, &kbrphone::Line::toneFinished);
    EXPECT_EQ(h.statesOf(lineId).back(), 9);
    h.post(lineId, &kbrphone::Line::hangup);
    EXPECT_TRUE(h.otherReceived.empty());
    EXPECT_TRUE(h.proxyReceived.empty());
    h.expectAllReleased();
}

struct Refusal {
    int code;
    const char* reason;
    int lineState;
};

class RefusedOutgoingCall : public OutgoingCall, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RefusedOutgoingCall, GivesItsToneStateAndTheDialogGoesAfterTheLineHangsUp) {
    const Refusal& r = GetParam();
    dial();
    h.fromProxy(reply(invite, r.code, r.reason));
    EXPECT_EQ(firstLine(h.oneAtProxy("ACK ")), "ACK sip:3002@127.0.0.1 SIP/2.0")
        << "the failure is acknowledged";
    EXPECT_EQ(h.statesOf(lineId).back(), r.lineState);
    EXPECT_EQ(dialog()->callState, sip::SipInviteDialog::callDisconnected);
    EXPECT_EQ(h.phone.getActiveChannel(), nullptr);
    h.post(lineId, &kbrphone::Line::toneFinished);
    h.post(lineId, &kbrphone::Line::hangup);
    EXPECT_EQ(h.statesOf(lineId), (std::vector<int>{1, r.lineState, 9, 8}));
    EXPECT_TRUE(h.proxyReceived.empty());
    h.expectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(Codes, RefusedOutgoingCall,
                         ::testing::Values(Refusal{486, "Busy Here", 3},
                                           Refusal{480, "Temporarily Unavailable", 3},
                                           Refusal{600, "Busy Everywhere", 3}, Refusal{404, "Not Found", 11},
                                           Refusal{503, "Service Unavailable", 11},
                                           Refusal{302, "Moved", 11}),
                         [](const ::testing::TestParamInfo<Refusal>& info) { return paramnames::code(info.param.code); });

struct Challenge {
    int code;
    const char* challengeHeader;
    const char* answerHeader;
};

class ChallengedCall : public OutgoingCall, public ::testing::WithParamInterface<Challenge> {};

TEST_P(ChallengedCall, IsAnsweredWithCredentialsUpToTheFourthAttemptAndTheFourthChallengeEndsTheCall) {
    const Challenge& c = GetParam();
    dial();
    std::string request = invite;
    for (int attempt = 2; attempt <= 4; ++attempt) {
        h.fromProxy(reply(request, c.code, "Unauthorized",
                          std::string(c.challengeHeader) + ": Digest realm=\"pbx\", nonce=\"n" +
                              std::to_string(attempt) + "\", opaque=\"op\"\r\n"));
        h.oneAtProxy("ACK ");
        request = h.oneAtProxy("INVITE ");
        ASSERT_FALSE(request.empty()) << "attempt " << attempt;
        EXPECT_EQ(headerOf(request, "CSeq"), std::to_string(attempt) + " INVITE");
        const std::string credentials = headerOf(request, c.answerHeader);
        EXPECT_NE(credentials.find("username=\"auth2001\""), std::string::npos) << credentials;
        EXPECT_NE(credentials.find("nonce=\"n" + std::to_string(attempt) + "\""), std::string::npos);
        EXPECT_NE(credentials.find("uri=\"sip:3002@127.0.0.1\""), std::string::npos);
        EXPECT_EQ(headerOf(request, "Call-ID"), headerOf(invite, "Call-ID"));
        EXPECT_NE(bodyOf(request).find("a=sendrecv"), std::string::npos) << "the same offer";
    }
    EXPECT_EQ(dialog()->inviteRequest->attempt, 4);
    h.fromProxy(reply(request, c.code, "Unauthorized",
                      std::string(c.challengeHeader) + ": Digest realm=\"pbx\", nonce=\"n5\"\r\n"));
    h.oneAtProxy("ACK ");
    EXPECT_TRUE(h.take(h.proxyReceived, "INVITE ").empty()) << "a fourth challenge is not answered";
    EXPECT_EQ(h.statesOf(lineId), (std::vector<int>{1, 11})) << "the call fails instead of dialling on";
    // The user gives up: nothing is left to cancel.
    h.post(lineId, &kbrphone::Line::hangup);
    h.advance(600, 50);
    EXPECT_TRUE(h.take(h.proxyReceived, "CANCEL ").empty());
    h.expectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(Kinds, ChallengedCall,
                         ::testing::Values(Challenge{401, "WWW-Authenticate", "Authorization"},
                                           Challenge{407, "Proxy-Authenticate", "Proxy-Authorization"}),
                         [](const ::testing::TestParamInfo<Challenge>& info) { return paramnames::code(info.param.code); });

TEST_F(OutgoingCall, AChallengeThatCannotBeAnsweredEndsTheCallWithoutAnotherInvite) {
    dial();
    h.fromProxy(reply(invite, 407, "Proxy Authentication Required",
                      "Proxy-Authenticate: Digest realm=\"pbx\", nonce=\"a\\\"b\"\r\n"));
    h.oneAtProxy("ACK ");
    EXPECT_TRUE(h.take(h.proxyReceived, "INVITE ").empty());
    EXPECT_EQ(h.statesOf(lineId).back(), 11);
    h.post(lineId, &kbrphone::Line::hangup);
    h.expectAllReleased();
}

struct EarlyMedia {
    int code;
    const char* reason;
};

class EarlyMediaCall : public OutgoingCall, public ::testing::WithParamInterface<EarlyMedia> {};

TEST_P(EarlyMediaCall, StartsOnAProvisionalResponseWithSdp) {
    const EarlyMedia& e = GetParam();
    dial();
    h.fromProxy(reply(invite, e.code, e.reason, "", "application/sdp", farSdp(h.rtp.port)));
    rtp::RTPStream& stream = line->rtpSession()->getStream();
    EXPECT_TRUE(stream.isRunning());
    EXPECT_EQ(stream.remoteRtpAddress(), h.rtp.address());
    EXPECT_TRUE(line->isTransportChannelActive()) << "early media opens the transport";
    EXPECT_EQ(h.phone.getActiveChannel(), line->transportChannel());
    const int expectedRinging = e.code == 180 ? 2 : 1;
    EXPECT_EQ(h.statesOf(lineId).back(), expectedRinging) << "no state of its own";
    // A later 180 still rings; the answer connects.
    h.fromProxy(reply(invite, 180, "Ringing"));
    EXPECT_EQ(h.statesOf(lineId), (std::vector<int>{1, 2}));
    answer();
    EXPECT_EQ(h.statesOf(lineId).back(), 6);
    h.post(lineId, &kbrphone::Line::hangup);
    h.fromOther(reply(h.oneAtOther("BYE "), 200, "OK"));
    h.expectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(Codes, EarlyMediaCall,
                         ::testing::Values(EarlyMedia{183, "Session Progress"}, EarlyMedia{180, "Ringing"}),
                         [](const ::testing::TestParamInfo<EarlyMedia>& info) { return paramnames::code(info.param.code); });

TEST_F(OutgoingCall, AProvisionalResponseWithUnusableSdpIsLoggedAndTheCallGoesOn) {
    dial();
    LogCapture::instance().take();
    // An IPv6 connection line cannot be read; a PCMU-only answer holds no usable audio.
    h.fromProxy(reply(invite, 183, "Session Progress", "", "application/sdp",
                      "v=0\r\nc=IN IP6 ::1\r\nm=audio 4000 RTP/AVP 8\r\n"));
    EXPECT_TRUE(
        LogCapture::instance().contains(LogCapture::instance().take(), "error: unsuported network protocol"));
    h.fromProxy(reply(invite, 183, "Session Progress", "", "application/sdp",
                      farSdp(h.rtp.port, "sendrecv", "127.0.0.1", "0", "a=rtpmap:0 PCMU/8000\r\n")));
    EXPECT_FALSE(line->rtpSession()->getStream().isRunning());
    EXPECT_FALSE(line->isTransportChannelActive());
    // The loop is still there and the call connects.
    answer();
    h.oneAtOther("ACK ");
    EXPECT_EQ(h.statesOf(lineId), (std::vector<int>{1, 6}));
    EXPECT_TRUE(line->rtpSession()->getStream().isRunning());
    h.post(lineId, &kbrphone::Line::hangup);
    h.fromOther(reply(h.oneAtOther("BYE "), 200, "OK"));
    h.expectAllReleased();
}

TEST_F(OutgoingCall, AnAnswerWithBadSdpConnectsWithoutMedia) {
    dial();
    h.fromProxy(reply(invite, 200, "OK", contactOf(h.other.port), "application/sdp", "c=IN IP6 ::1\r\n"));
    h.oneAtOther("ACK ");
    EXPECT_EQ(h.statesOf(lineId).back(), 6);
    EXPECT_FALSE(line->rtpSession()->getStream().isRunning());
    h.post(lineId, &kbrphone::Line::hangup);
    h.fromOther(reply(h.oneAtOther("BYE "), 200, "OK"));
    h.expectAllReleased();
}

// Answers with the codec we offered, named or not, connect with media towards the answer; an answer
// with none of our codecs is acknowledged and ended at once, and the line shows the failure.
struct AnswerSdp {
    const char* name;
    std::string formats;
    std::string rtpmaps;
    bool media;
};

class AnswerCodecs : public OutgoingCall, public ::testing::WithParamInterface<AnswerSdp> {};

TEST_P(AnswerCodecs, DecideBetweenACallWithMediaAndNone) {
    const AnswerSdp& p = GetParam();
    dial();
    h.fromProxy(reply(invite, 200, "OK", contactOf(h.other.port), "application/sdp",
                      farSdp(h.rtp.port, "sendrecv", "127.0.0.1", p.formats, p.rtpmaps)));
    h.oneAtOther("ACK ");
    if (p.media) {
        EXPECT_EQ(h.statesOf(lineId).back(), 6);
        EXPECT_TRUE(line->rtpSession()->getStream().isRunning());
        EXPECT_EQ(line->rtpSession()->getStream().remoteRtpAddress(), h.rtp.address());
        EXPECT_TRUE(h.otherReceived.empty());
        h.post(lineId, &kbrphone::Line::hangup);
    } else {
        EXPECT_EQ(h.statesOf(lineId), (std::vector<int>{1, 11})) << "the failure, never connected";
        EXPECT_FALSE(line->rtpSession()->getStream().isRunning());
        EXPECT_EQ(dialog()->callState, sip::SipInviteDialog::callDisconnected);
        h.post(lineId, &kbrphone::Line::hangup);
    }
    h.fromOther(reply(h.oneAtOther("BYE "), 200, "OK"));
    h.expectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(
    Answers, AnswerCodecs,
    ::testing::Values(
        AnswerSdp{"PcmaWithRtpmap", "8 101", "a=rtpmap:8 PCMA/8000\r\na=rtpmap:101 telephone-event/8000\r\n", true},
        AnswerSdp{"LinphonePcmaWithoutRtpmap", "8 101", "a=rtpmap:101 telephone-event/8000\r\n", true},
        AnswerSdp{"PcmaAlone", "8", "", true},
        AnswerSdp{"PcmuOnly", "0 101", "a=rtpmap:0 PCMU/8000\r\na=rtpmap:101 telephone-event/8000\r\n", false},
        AnswerSdp{"TelephoneEventOnly", "101", "a=rtpmap:101 telephone-event/8000\r\n", false},
        AnswerSdp{"PcmaRenamed", "8", "a=rtpmap:8 opus/48000\r\n", false}),
    paramnames::ByName());

// ---- hanging up during set-up

TEST_F(OutgoingCall, HangUpBeforeAnyResponseSendsTheCancelInPlaceOfTheNextRetransmission) {
    dial();
    const int64_t sentAt = h.now();
    h.post(lineId, &kbrphone::Line::hangup);
    EXPECT_TRUE(h.proxyReceived.empty()) << "nothing at once";
    EXPECT_EQ(h.phone.lineCount(), 0u) << "the line has gone";
    EXPECT_EQ(h.statesOf(lineId), (std::vector<int>{1, 8}));
    ASSERT_TRUE(h.advanceUntil(1, 2000, 10));
    const std::string cancel = h.oneAtProxy("CANCEL ");
    EXPECT_GE(h.now() - sentAt, 450);
    EXPECT_EQ(firstLine(cancel), "CANCEL sip:3002@127.0.0.1 SIP/2.0");
    EXPECT_EQ(headerOf(cancel, "CSeq"), "1 CANCEL");
    EXPECT_EQ(paramOf(headerOf(cancel, "Via"), "branch"), paramOf(headerOf(invite, "Via"), "branch"));
    h.fromProxy(reply(cancel, 200, "OK"));
    h.fromProxy(reply(invite, 487, "Request Terminated"));
    h.oneAtProxy("ACK ");
    EXPECT_EQ(h.statesOf(lineId), (std::vector<int>{1, 8})) << "the 487 is not reported";
    h.expectAllReleased();
}

TEST_F(OutgoingCall, HangUpBeforeAnyResponseSendsTheCancelOnTheFirstProvisionalResponse) {
    dial();
    h.post(lineId, &kbrphone::Line::hangup);
    h.fromProxy(reply(invite, 180, "Ringing"));
    EXPECT_EQ(headerOf(h.oneAtProxy("CANCEL "), "CSeq"), "1 CANCEL");
    EXPECT_EQ(h.statesOf(lineId), (std::vector<int>{1, 8})) << "the 180 reaches no line";
    h.fromProxy(reply(invite, 487, "Request Terminated"));
    h.oneAtProxy("ACK ");
    h.expectAllReleased();
}

TEST_F(OutgoingCall, HangUpWhileRingingSendsTheCancelAtOnce) {
    dial();
    h.fromProxy(reply(invite, 180, "Ringing"));
    h.post(lineId, &kbrphone::Line::hangup);
    EXPECT_EQ(headerOf(h.oneAtProxy("CANCEL "), "CSeq"), "1 CANCEL");
    EXPECT_EQ(h.statesOf(lineId), (std::vector<int>{1, 2, 8}));
    h.fromProxy(reply(invite, 487, "Request Terminated"));
    h.oneAtProxy("ACK ");
    h.expectAllReleased();
}

TEST_F(OutgoingCall, ACancelledCallWhoseCancelIsNeverAnsweredStillGoes) {
    dial();
    h.fromProxy(reply(invite, 180, "Ringing"));
    h.post(lineId, &kbrphone::Line::hangup);
    h.oneAtProxy("CANCEL ");
    // No 487 ever comes.
    h.expectAllReleased();
}

TEST_F(OutgoingCall, AnAnswerThatCrossesTheHangUpIsAcknowledgedAndEndedWithBye) {
    dial();
    h.fromProxy(reply(invite, 180, "Ringing"));
    h.post(lineId, &kbrphone::Line::hangup);
    h.oneAtProxy("CANCEL ");
    answer();
    h.oneAtOther("ACK ");
    const std::string bye = h.oneAtOther("BYE ");
    EXPECT_EQ(headerOf(bye, "CSeq"), "2 BYE");
    EXPECT_EQ(h.statesOf(lineId), (std::vector<int>{1, 2, 8}));
    h.fromOther(reply(bye, 200, "OK"));
    h.expectAllReleased();
}

// ---- the line's own edge cases

TEST_F(OutgoingCall, DialWithoutProxyFailsWithState11) {
    h.endPoint.installProxy(nullptr);
    sip::SipLine* noProxy = h.newLine();
    const std::string id = noProxy->getLineId();
    h.dial(id, "3002");
    EXPECT_EQ(h.statesOf(id), std::vector<int>{11});
    EXPECT_EQ(noProxy->dialog, nullptr);
    EXPECT_NE(noProxy->getTone(), nullptr) << "the congestion tone plays";
    EXPECT_TRUE(h.proxyReceived.empty());
    h.post(id, &kbrphone::Line::toneFinished);
    h.post(id, &kbrphone::Line::hangup);
    EXPECT_EQ(h.statesOf(id), (std::vector<int>{11, 9, 8}));
    h.expectAllReleased();
}

TEST_F(OutgoingCall, CommandsThatDoNotFitARingingCallChangeNothingButHoldReleasesTheAudio) {
    dial();
    h.dial(lineId, "4004");
    EXPECT_TRUE(h.proxyReceived.empty()) << "a second dial on a calling line sends nothing";
    h.fromProxy(reply(invite, 180, "Ringing"));
    // The ring request is for offered calls, the tone end for end tones, transfers for connected calls.
    h.post(lineId, &kbrphone::Line::setRinging);
    h.post(lineId, &kbrphone::Line::toneFinished);
    h.post(lineId, &kbrphone::Line::blindTransfer, "4004");
    EXPECT_TRUE(h.proxyReceived.empty());
    EXPECT_EQ(h.statesOf(lineId), (std::vector<int>{1, 2}));
    // Holding a ringing call sends no re-INVITE but releases the audio and reports the line inactive.
    h.post(lineId, &kbrphone::Line::putOnHold);
    EXPECT_TRUE(h.proxyReceived.empty());
    EXPECT_EQ(h.reportsOf(lineId).back(), "2/0");
    EXPECT_EQ(h.phone.getActiveLine(), nullptr);
    h.post(lineId, &kbrphone::Line::hangup);
    h.oneAtProxy("CANCEL ");
    h.fromProxy(reply(invite, 487, "Request Terminated"));
    h.expectAllReleased();
}

TEST_F(OutgoingCall, HangUpOfALineWithoutCallDeletesIt) {
    sip::SipLine* idle = h.newLine("Spare");
    const std::string id = idle->getLineId();
    EXPECT_EQ(idle->remoteName(), "");
    EXPECT_EQ(idle->transportChannel(), nullptr);
    EXPECT_FALSE(idle->isInternal());
    h.post(id, &kbrphone::Line::hangup);
    EXPECT_EQ(h.statesOf(id), std::vector<int>{8});
    h.expectAllReleased();
}

} // namespace
