// Changes to established calls: hold and resume by re-INVITE, the far end's re-INVITEs, blind transfer by
// REFER with the NOTIFY outcomes, and the attended transfer with Replaces.
#include "CallTestSupport.h"
#include "support/ParamNames.h"

#include <chrono>
#include <thread>

using namespace calltest;

namespace {

// One connected outgoing call, or two, with their far ends' contacts at the other peer.
struct ConnectedCall : ::testing::Test {
    struct Call {
        sip::SipLine* line = nullptr;
        std::string lineId;
        std::string invite;
        std::string remoteTag;
        std::string callId() const { return headerOf(invite, "Call-ID"); }
        std::string localTag() const { return paramOf(headerOf(invite, "From"), "tag"); }
    };

    Call connect(const std::string& number, const std::string& remoteTag) {
        Call c;
        c.line = h.newLine();
        c.lineId = c.line->getLineId();
        c.remoteTag = remoteTag;
        h.dial(c.lineId, number);
        c.invite = h.oneAtProxy("INVITE ");
        h.fromProxy(reply(c.invite, 200, "OK", contactOf(h.other.port, number), "application/sdp",
                          farSdp(h.rtp.port), remoteTag));
        h.oneAtOther("ACK ");
        return c;
    }
    void SetUp() override { a = connect("3002", "rtA"); }

    // A request of the far end inside a call.
    std::string farIn(const Call& c, const std::string& method, int cseq, const std::string& branch,
                      const std::string& contentType = "", const std::string& body = "") {
        FarRequest r;
        r.method = method;
        r.callId = c.callId();
        r.cseq = cseq;
        r.branch = branch;
        r.fromTag = c.remoteTag;
        r.toTag = c.localTag();
        r.contentType = contentType;
        r.body = body;
        if (method == "INVITE")
            r.extra = contactOf(h.other.port);
        return farRequest(r, h.other.port);
    }
    void hangUp(const Call& c) {
        h.post(c.lineId, &kbrphone::Line::hangup);
        h.fromOther(reply(h.oneAtOther("BYE "), 200, "OK", "", "", "", ""));
    }

    CallHarness h;
    Call a;
};

TEST_F(ConnectedCall, HoldAndResumeSendReInvitesWithSendonlyAndSendrecv) {
    h.post(a.lineId, &kbrphone::Line::putOnHold);
    const std::string hold = h.oneAtOther("INVITE ");
    EXPECT_EQ(firstLine(hold), "INVITE sip:3002@127.0.0.1 SIP/2.0");
    EXPECT_EQ(headerOf(hold, "CSeq"), "2 INVITE");
    EXPECT_EQ(paramOf(headerOf(hold, "To"), "tag"), "rtA");
    EXPECT_NE(bodyOf(hold).find("a=sendonly\r\n"), std::string::npos);
    EXPECT_EQ(audioPortOf(bodyOf(hold)), a.line->rtpSession()->getStream().rtpLocalAddress().port());
    EXPECT_TRUE(a.line->rtpSession()->isHeld());
    EXPECT_EQ(h.reportsOf(a.lineId).back(), "6/0") << "reported as not active";
    EXPECT_EQ(h.phone.getActiveLine(), nullptr);
    h.fromOther(reply(hold, 200, "OK", contactOf(h.other.port), "application/sdp",
                      farSdp(h.rtp.port, "recvonly"), "rtA"));
    EXPECT_EQ(headerOf(h.oneAtOther("ACK "), "CSeq"), "2 ACK");
    EXPECT_EQ(a.line->dialog->pendingOperation, sip::SipInviteDialog::operationNone);

    h.post(a.lineId, &kbrphone::Line::activate);
    const std::string resume = h.oneAtOther("INVITE ");
    EXPECT_EQ(headerOf(resume, "CSeq"), "3 INVITE");
    EXPECT_NE(bodyOf(resume).find("a=sendrecv\r\n"), std::string::npos);
    EXPECT_FALSE(a.line->rtpSession()->isHeld());
    EXPECT_EQ(h.reportsOf(a.lineId).back(), "6/1");
    EXPECT_EQ(h.phone.getActiveLine(), a.line);
    h.fromOther(
        reply(resume, 200, "OK", contactOf(h.other.port), "application/sdp", farSdp(h.rtp.port), "rtA"));
    h.oneAtOther("ACK ");
    hangUp(a);
    h.expectAllReleased();
}

TEST_F(ConnectedCall, AFailedReInviteLeavesTheCallConnected) {
    h.post(a.lineId, &kbrphone::Line::putOnHold);
    h.fromOther(reply(h.oneAtOther("INVITE "), 491, "Request Pending", "", "", "", "rtA"));
    h.oneAtOther("ACK ");
    EXPECT_EQ(a.line->dialog->callState, sip::SipInviteDialog::callConnected);
    EXPECT_EQ(a.line->dialog->pendingOperation, sip::SipInviteDialog::operationNone);
    EXPECT_EQ(h.statesOf(a.lineId).back(), 6);
    hangUp(a);
    h.expectAllReleased();
}

class HoldTwice : public ConnectedCall, public ::testing::WithParamInterface<int> {};

// A second offer while the first re-INVITE is unanswered waits for its final answer (one INVITE
// transaction at a time), whatever that answer is; every 2xx is acknowledged.
TEST_P(HoldTwice, TheSecondReInviteWaitsForTheFirstsFinalAnswer) {
    const int firstAnswer = GetParam();
    h.post(a.lineId, &kbrphone::Line::putOnHold);
    const std::string first = h.oneAtOther("INVITE ");
    h.fromOther(reply(first, 100, "Trying", "", "", "", ""));
    sip::SipInviteDialog* d = a.line->dialog;
    h.post(a.lineId, &kbrphone::Line::activate);
    h.advance(1000, 10);
    EXPECT_TRUE(h.take(h.otherReceived, "INVITE ").empty()) << "no second INVITE while the first is out";
    EXPECT_TRUE(h.take(h.otherReceived, "CANCEL ").empty());
    h.fromOther(reply(first, firstAnswer, firstAnswer == 200 ? "OK" : "Not Acceptable Here",
                      firstAnswer == 200 ? contactOf(h.other.port) : "",
                      firstAnswer == 200 ? "application/sdp" : "", firstAnswer == 200 ? farSdp(h.rtp.port) : "",
                      "rtA"));
    EXPECT_EQ(headerOf(h.oneAtOther("ACK "), "CSeq"), "2 ACK");
    const std::string second = h.oneAtOther("INVITE ");
    EXPECT_EQ(headerOf(second, "CSeq"), "3 INVITE");
    EXPECT_NE(bodyOf(second).find("a=sendrecv\r\n"), std::string::npos) << "the resume follows";
    h.fromOther(
        reply(second, 200, "OK", contactOf(h.other.port), "application/sdp", farSdp(h.rtp.port), "rtA"));
    EXPECT_EQ(headerOf(h.oneAtOther("ACK "), "CSeq"), "3 ACK");
    EXPECT_EQ(d->pendingOperation, sip::SipInviteDialog::operationNone);
    EXPECT_EQ(d->callState, sip::SipInviteDialog::callConnected);
    h.advance(5000, 50);
    EXPECT_TRUE(h.take(h.otherReceived, "INVITE ").empty()) << "nothing more is sent";
    hangUp(a);
    h.expectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(FirstAnswer, HoldTwice, ::testing::Values(200, 488),
                         [](const ::testing::TestParamInfo<int>& info) { return paramnames::code(info.param); });

TEST_F(ConnectedCall, AFarEndReInviteIsAnsweredAtOnceAndItsMediaFollowsAtTheAck) {
    Peer& newRtp = h.other; // any other socket of the far end
    rtp::RTPStream& stream = a.line->rtpSession()->getStream();
    h.fromOther(farIn(a, "INVITE", 5, "z9hG4bKre1", "application/sdp", farSdp(newRtp.port)));
    const std::string ok = h.oneAtOther("SIP/2.0 ");
    EXPECT_EQ(firstLine(ok), "SIP/2.0 200 OK");
    EXPECT_EQ(headerOf(ok, "CSeq"), "5 INVITE");
    EXPECT_NE(bodyOf(ok).find("a=sendrecv"), std::string::npos);
    EXPECT_EQ(audioPortOf(bodyOf(ok)), stream.rtpLocalAddress().port());
    EXPECT_EQ(stream.remoteRtpAddress(), h.rtp.address()) << "not before the ACK";
    EXPECT_EQ(h.statesOf(a.lineId), (std::vector<int>{1, 6})) << "no line change";
    h.fromOther(farIn(a, "ACK", 5, "z9hG4bKack5"));
    EXPECT_EQ(stream.remoteRtpAddress(), newRtp.address());
    EXPECT_TRUE(stream.isRunning());

    // An unusable offer is refused and changes nothing.
    h.fromOther(farIn(a, "INVITE", 6, "z9hG4bKre2", "application/sdp",
                      farSdp(4000, "sendrecv", "127.0.0.1", "0", "a=rtpmap:0 PCMU/8000\r\n")));
    EXPECT_EQ(firstLine(h.oneAtOther("SIP/2.0 ")),
              "SIP/2.0 488 error in sdp message: no supported codecs found");
    h.fromOther(farIn(a, "ACK", 6, "z9hG4bKre2"));
    EXPECT_EQ(a.line->dialog->remoteSdp->remoteRtpAddress(), newRtp.address());
    EXPECT_EQ(stream.remoteRtpAddress(), newRtp.address());
    hangUp(a);
    h.expectAllReleased();
}

// Whether audio from the microphone reaches the far end's RTP socket.
bool audioReaches(CallHarness& h, sip::SipLine* line) {
    Datagram d;
    while (h.rtp.poll(d)) {
    }
    int16_t frame[160];
    for (int i = 0; i < 160; ++i)
        frame[i] = static_cast<int16_t>(4000 * ((i / 10) % 2 ? 1 : -1));
    line->rtpSession()->putFrame(1, frame, 160);
    for (int i = 0; i < 50; ++i) {
        if (h.rtp.poll(d))
            return d.text.size() == 12 + 160;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

// The far end's offers in a call, with what we answer and whether our audio then goes out; we may
// have put the call on hold ourselves first.
struct DirectionStep {
    const char* offered;
    const char* answered;
    bool audio;
};
struct DirectionCase {
    const char* name;
    bool weHold;
    std::vector<DirectionStep> steps;
};

TEST_F(ConnectedCall, TheDirectionWeAnswerIsWhatTheMediaDoes) {
    const DirectionCase cases[] = {
        {"the far end holds and resumes", false, {{"sendonly", "recvonly", false}, {"sendrecv", "sendrecv", true}}},
        {"the far end holds with inactive", false, {{"inactive", "inactive", false}, {"sendrecv", "sendrecv", true}}},
        {"the far end only listens", false, {{"recvonly", "sendonly", true}}},
        {"both hold", true, {{"sendonly", "inactive", false}}},
        {"we hold, the far end offers both ways", true, {{"sendrecv", "sendonly", false}}},
    };
    hangUp(a); // one call at a time: a second connected call would put the first on hold
    int call = 0;
    for (const DirectionCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Call x = connect("3002", "rtD" + std::to_string(call++));
        EXPECT_TRUE(audioReaches(h, x.line)) << "a connected call sends";
        if (c.weHold) {
            h.post(x.lineId, &kbrphone::Line::putOnHold);
            const std::string hold = h.oneAtOther("INVITE ");
            h.fromOther(reply(hold, 200, "OK", contactOf(h.other.port), "application/sdp",
                              farSdp(h.rtp.port, "recvonly"), x.remoteTag));
            h.oneAtOther("ACK ");
        }
        int cseq = 10;
        for (const DirectionStep& step : c.steps) {
            SCOPED_TRACE(std::string("offered ") + step.offered);
            const std::string branch = "z9hG4bKdir" + std::to_string(cseq);
            h.fromOther(farIn(x, "INVITE", cseq, branch, "application/sdp", farSdp(h.rtp.port, step.offered)));
            const std::string ok = h.oneAtOther("SIP/2.0 ");
            EXPECT_EQ(firstLine(ok), "SIP/2.0 200 OK");
            EXPECT_NE(bodyOf(ok).find(std::string("a=") + step.answered + "\r\n"), std::string::npos) << bodyOf(ok);
            h.fromOther(farIn(x, "ACK", cseq, branch + "a"));
            EXPECT_EQ(audioReaches(h, x.line), step.audio);
            ++cseq;
        }
        hangUp(x);
    }
    h.expectAllReleased();
}

// The far end's answers to our offers, with whether our audio then goes out: to the first INVITE
// (after an early answer in a 183 where there is one), to our hold and to our resume.
struct AnswerStep {
    enum Offer { early, call, hold, resume } offer;
    const char* answered;
    bool audio;
};
struct AnswerCase {
    const char* name;
    std::vector<AnswerStep> steps;
};

TEST_F(ConnectedCall, TheDirectionTheFarEndAnswersIsWhatTheMediaDoes) {
    using S = AnswerStep;
    const AnswerCase cases[] = {
        {"the call answered sendonly", {{S::call, "sendonly", false}, {S::hold, "inactive", false},
                                        {S::resume, "sendrecv", true}}},
        {"the call answered inactive", {{S::call, "inactive", false}}},
        {"the call answered recvonly", {{S::call, "recvonly", true}}},
        {"early media sendonly, then both ways", {{S::early, "sendonly", false}, {S::call, "sendrecv", true}}},
        {"a resume answered inactive", {{S::call, "sendrecv", true}, {S::hold, "recvonly", false},
                                        {S::resume, "inactive", false}, {S::hold, "recvonly", false},
                                        {S::resume, "sendrecv", true}}},
        {"a resume answered sendonly", {{S::call, "sendrecv", true}, {S::hold, "recvonly", false},
                                        {S::resume, "sendonly", false}}},
    };
    hangUp(a); // one call at a time: a second connected call would put the first on hold
    int call = 0;
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.name);
        Call x;
        x.line = h.newLine();
        x.lineId = x.line->getLineId();
        x.remoteTag = "rtF" + std::to_string(call++);
        h.dial(x.lineId, "3002");
        x.invite = h.oneAtProxy("INVITE ");
        for (const AnswerStep& step : c.steps) {
            SCOPED_TRACE(std::string("answered ") + step.answered);
            const std::string body = farSdp(h.rtp.port, step.answered);
            if (step.offer == S::early) {
                h.fromProxy(reply(x.invite, 183, "Session Progress", contactOf(h.other.port), "application/sdp",
                                  body, x.remoteTag));
            } else if (step.offer == S::call) {
                h.fromProxy(reply(x.invite, 200, "OK", contactOf(h.other.port), "application/sdp", body,
                                  x.remoteTag));
                h.oneAtOther("ACK ");
            } else {
                h.post(x.lineId, step.offer == S::hold ? &kbrphone::Line::putOnHold : &kbrphone::Line::activate);
                const std::string offer = h.oneAtOther("INVITE ");
                h.fromOther(reply(offer, 200, "OK", contactOf(h.other.port), "application/sdp", body, x.remoteTag));
                h.oneAtOther("ACK ");
            }
            EXPECT_EQ(audioReaches(h, x.line), step.audio);
        }
        EXPECT_EQ(h.statesOf(x.lineId).back(), 6) << "the line shows the call as it did";
        hangUp(x);
    }
    h.expectAllReleased();
}

TEST(ReInvite, WhileTheCallIsStillOfferedIsRefused488) {
    CallHarness h;
    FarRequest r;
    r.extra = "X-Brimel-id: offered\r\n";
    r.contentType = "application/sdp";
    r.body = farSdp(h.rtp.port);
    h.fromProxy(farRequest(r, h.proxy.port));
    h.takeProxy();
    r.cseq = 2;
    r.branch = "z9hG4bKre";
    h.fromProxy(farRequest(r, h.proxy.port));
    const std::string refusal = h.oneAtProxy("SIP/2.0 ");
    EXPECT_EQ(firstLine(refusal), "SIP/2.0 488 re-invites are accepted only in connected dialogs");
    EXPECT_EQ(headerOf(refusal, "CSeq"), "2 INVITE");
    EXPECT_EQ(h.statesOf("offered"), std::vector<int>{5}) << "the call is still offered";
    h.post("offered", &kbrphone::Line::answerIncoming);
    EXPECT_EQ(firstLine(h.oneAtProxy("SIP/2.0 ")), "SIP/2.0 200 OK") << "and can be answered";
    h.post("offered", &kbrphone::Line::hangup);
    h.fromProxy(reply(h.oneAtProxy("BYE "), 200, "OK", "", "", "", ""));
    h.expectAllReleased();
}

struct BlindTarget {
    const char* name;
    const char* target;
    const char* referTo;
};

class BlindTransfer : public ConnectedCall, public ::testing::WithParamInterface<BlindTarget> {};

TEST_P(BlindTransfer, SendsAReferWithTheTarget) {
    h.post(a.lineId, &kbrphone::Line::blindTransfer, GetParam().target);
    const std::string refer = h.oneAtOther("REFER ");
    EXPECT_EQ(firstLine(refer), "REFER sip:3002@127.0.0.1 SIP/2.0");
    EXPECT_EQ(headerOf(refer, "Refer-to"), GetParam().referTo);
    EXPECT_EQ(headerOf(refer, "CSeq"), "2 REFER");
    EXPECT_EQ(a.line->dialog->pendingOperation, sip::SipInviteDialog::operationRefer);
    LogCapture::instance().take();
    h.fromOther(reply(refer, 202, "Accepted", "", "", "", "rtA"));
    EXPECT_FALSE(LogCapture::instance().contains(LogCapture::instance().take(), "cannot be handled"))
        << "the REFER's answer is not the outcome";
    EXPECT_EQ(a.line->dialog->pendingOperation, sip::SipInviteDialog::operationRefer);
    hangUp(a);
    h.expectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(Targets, BlindTransfer,
                         ::testing::Values(BlindTarget{"Number", "4004", "<sip:4004@127.0.0.1>"},
                                           BlindTarget{"SipUri", "sip:4004@10.1.1.1:5070", "<sip:4004@10.1.1.1:5070>"},
                                           BlindTarget{"TelUri", "tel:+31201234567", "<tel:+31201234567>"}),
                         paramnames::ByName());

TEST(BlindTransferOfAnUnconnectedCall, SendsNothing) {
    CallHarness h;
    sip::SipLine* line = h.newLine();
    const std::string id = line->getLineId();
    h.dial(id, "3002");
    const std::string invite = h.oneAtProxy("INVITE ");
    h.post(id, &kbrphone::Line::blindTransfer, "4004");
    EXPECT_TRUE(h.take(h.proxyReceived, "REFER ").empty());
    EXPECT_EQ(line->dialog->pendingOperation, sip::SipInviteDialog::operationInvite);
    h.fromProxy(reply(invite, 486, "Busy Here"));
    h.post(id, &kbrphone::Line::hangup);
    h.expectAllReleased();
}

struct Outcome {
    const char* name;
    const char* fragment;
    bool ends;
    int pendingAfter;
    const char* log;
};

class TransferOutcome : public ConnectedCall, public ::testing::WithParamInterface<Outcome> {};

TEST_P(TransferOutcome, ComesByNotify) {
    const Outcome& o = GetParam();
    h.post(a.lineId, &kbrphone::Line::blindTransfer, "4004");
    h.fromOther(reply(h.oneAtOther("REFER "), 202, "Accepted", "", "", "", "rtA"));
    LogCapture::instance().take();
    h.fromOther(farIn(a, "NOTIFY", 1, "z9hG4bKn1", "message/sipfrag;version=2.0", o.fragment));
    const std::string ok = h.oneAtOther("SIP/2.0 ");
    EXPECT_EQ(firstLine(ok), "SIP/2.0 200 OK");
    EXPECT_EQ(headerOf(ok, "CSeq"), "1 NOTIFY");
    if (*o.log) {
        EXPECT_TRUE(LogCapture::instance().contains(LogCapture::instance().take(), o.log)) << o.log;
    }
    if (o.ends) {
        const std::string bye = h.oneAtOther("BYE ");
        EXPECT_EQ(h.statesOf(a.lineId).back(), 8);
        EXPECT_EQ(h.phone.lineCount(), 0u);
        h.fromOther(reply(bye, 200, "OK", "", "", "", ""));
    } else {
        EXPECT_TRUE(h.otherReceived.empty());
        EXPECT_EQ(h.statesOf(a.lineId).back(), 6) << "the call stays";
        EXPECT_EQ(a.line->dialog->pendingOperation, o.pendingAfter);
        hangUp(a);
    }
    h.expectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(Fragments, TransferOutcome,
                         ::testing::Values(Outcome{"Trying", "SIP/2.0 100 Trying\r\n", false, 2, ""},
                                           Outcome{"Ringing", "SIP/2.0 180 Ringing\r\n", false, 2, ""},
                                           Outcome{"Ok", "SIP/2.0 200 OK\r\n", true, 0, "dialog transfered"},
                                           Outcome{"Declined", "SIP/2.0 603 Decline\r\n", false, 0,
                                                   "transfer failed: 603 Decline"},
                                           Outcome{"NotAFragment", "HTTP/1.1 200 OK\r\n", false, 2, ""},
                                           Outcome{"NoCode", "SIP/2.0 OK\r\n", false, 2, ""}),
                         [](const ::testing::TestParamInfo<Outcome>& info) {
                             return std::string(info.param.name);
                         });

// The transferee holds us before it calls the target: its re-INVITE is answered and the transfer runs
// on, whether its NOTIFY comes after the re-INVITE's ACK or before it.
struct HoldDuringTransfer {
    const char* name;
    bool attended;
    bool notifyBeforeAck;
};

class TransfereeHolds : public ConnectedCall, public ::testing::WithParamInterface<HoldDuringTransfer> {};

TEST_P(TransfereeHolds, BeforeCallingTheTargetAndTheTransferStillEndsOurLeg) {
    const HoldDuringTransfer& p = GetParam();
    Call b;
    if (p.attended) {
        b.line = h.newLine();
        b.lineId = b.line->getLineId();
        b.remoteTag = "rtB";
        h.dial(b.lineId, "4004");
        const std::string hold = h.oneAtOther("INVITE ");
        h.fromOther(reply(hold, 200, "OK", contactOf(h.other.port), "application/sdp",
                          farSdp(h.rtp.port, "recvonly"), "rtA"));
        h.oneAtOther("ACK ");
        b.invite = h.oneAtProxy("INVITE ");
        h.fromProxy(reply(b.invite, 200, "OK", contactOf(h.other.port, "4004"), "application/sdp",
                          farSdp(h.rtp.port), "rtB"));
        h.oneAtOther("ACK ");
        h.transfer(a.lineId, b.lineId);
    } else {
        h.post(a.lineId, &kbrphone::Line::blindTransfer, "4004");
    }
    sip::SipInviteDialog* d = a.line->dialog;
    h.fromOther(reply(h.oneAtOther("REFER "), 202, "Accepted", "", "", "", "rtA"));
    h.fromOther(farIn(a, "NOTIFY", 1, "z9hG4bKn1", "message/sipfrag", "SIP/2.0 100 Trying\r\n"));
    h.oneAtOther("SIP/2.0 200");
    h.fromOther(farIn(a, "INVITE", 2, "z9hG4bKhold", "application/sdp", farSdp(h.rtp.port, "sendonly")));
    EXPECT_EQ(firstLine(h.oneAtOther("SIP/2.0 ")), "SIP/2.0 200 OK") << "the transferee's hold is answered";
    if (!p.notifyBeforeAck) {
        h.fromOther(farIn(a, "ACK", 2, "z9hG4bKholdack"));
        EXPECT_EQ(d->pendingOperation, sip::SipInviteDialog::operationRefer) << "the transfer runs on";
    }
    h.fromOther(farIn(a, "NOTIFY", 3, "z9hG4bKn3", "message/sipfrag", "SIP/2.0 200 OK\r\n"));
    h.oneAtOther("SIP/2.0 200");
    const std::string bye = h.oneAtOther("BYE ");
    EXPECT_EQ(headerOf(bye, "Call-ID"), a.callId());
    EXPECT_EQ(h.statesOf(a.lineId).back(), 8);
    if (p.notifyBeforeAck)
        h.fromOther(farIn(a, "ACK", 2, "z9hG4bKholdack"));
    h.fromOther(reply(bye, 200, "OK", "", "", "", ""));
    if (p.attended) {
        // The target replaced the other call and ends it.
        h.fromOther(farIn(b, "BYE", 9, "z9hG4bKbyeB"));
        EXPECT_EQ(firstLine(h.oneAtOther("SIP/2.0 ")), "SIP/2.0 200 OK");
        EXPECT_EQ(h.statesOf(b.lineId).back(), 8);
    }
    h.expectAllReleased();
}

INSTANTIATE_TEST_SUITE_P(Transfers, TransfereeHolds,
                         ::testing::Values(HoldDuringTransfer{"Blind", false, false},
                                           HoldDuringTransfer{"BlindNotifiedBeforeTheAck", false, true},
                                           HoldDuringTransfer{"Attended", true, false},
                                           HoldDuringTransfer{"AttendedNotifiedBeforeTheAck", true, true}),
                         paramnames::ByName());

TEST_F(ConnectedCall, ANotifyOutsideATransferIsAnswered200AndIgnored) {
    h.fromOther(farIn(a, "NOTIFY", 1, "z9hG4bKn1", "message/sipfrag", "SIP/2.0 200 OK\r\n"));
    EXPECT_EQ(firstLine(h.oneAtOther("SIP/2.0 ")), "SIP/2.0 200 OK");
    EXPECT_TRUE(h.otherReceived.empty());
    EXPECT_EQ(h.statesOf(a.lineId).back(), 6);
    hangUp(a);
    h.expectAllReleased();
}

TEST_F(ConnectedCall, AttendedTransferRefersToTheOtherCallWithReplacesAndBothLegsEnd) {
    // Dialling a second call holds the first.
    Call b;
    b.line = h.newLine();
    b.lineId = b.line->getLineId();
    b.remoteTag = "rtB";
    h.dial(b.lineId, "4004");
    const std::string hold = h.oneAtOther("INVITE ");
    EXPECT_NE(bodyOf(hold).find("a=sendonly"), std::string::npos) << "the first call goes on hold";
    h.fromOther(
        reply(hold, 200, "OK", contactOf(h.other.port), "application/sdp", farSdp(h.rtp.port), "rtA"));
    h.oneAtOther("ACK ");
    b.invite = h.oneAtProxy("INVITE ");
    h.fromProxy(reply(b.invite, 200, "OK", contactOf(h.other.port, "4004"), "application/sdp",
                      farSdp(h.rtp.port), "rtB"));
    h.oneAtOther("ACK ");
    EXPECT_EQ(h.statesOf(b.lineId).back(), 6);

    h.transfer(a.lineId, b.lineId);
    const std::string refer = h.oneAtOther("REFER ");
    EXPECT_EQ(headerOf(refer, "Call-ID"), a.callId());
    std::string escapedCallId;
    for (char c : b.callId()) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02x", static_cast<unsigned char>(c));
        escapedCallId += std::isalnum(static_cast<unsigned char>(c)) ? std::string(1, c) : std::string(hex);
    }
    EXPECT_EQ(headerOf(refer, "Refer-to"), "<sip:4004@127.0.0.1:" + std::to_string(h.other.port) +
                                               "?Replaces=" + escapedCallId +
                                               "%3bto-tag%3DrtB%3bfrom-tag%3D" + b.localTag() + ">");
    EXPECT_EQ(a.line->dialog->transferPartner, b.line->dialog);
    EXPECT_EQ(b.line->dialog->transferPartner, a.line->dialog);
    h.fromOther(reply(refer, 202, "Accepted", "", "", "", "rtA"));

    // The transfer succeeds: the transferring leg ends with BYE ...
    h.fromOther(farIn(a, "NOTIFY", 1, "z9hG4bKn1", "message/sipfrag", "SIP/2.0 200 OK\r\n"));
    h.oneAtOther("SIP/2.0 200");
    const std::string byeA = h.oneAtOther("BYE ");
    EXPECT_EQ(headerOf(byeA, "Call-ID"), a.callId());
    EXPECT_EQ(h.statesOf(a.lineId).back(), 8);
    h.fromOther(reply(byeA, 200, "OK", "", "", "", ""));
    // ... and the replaced call's BYE ends the other leg without an end tone.
    h.fromOther(farIn(b, "BYE", 9, "z9hG4bKbyeB"));
    EXPECT_EQ(firstLine(h.oneAtOther("SIP/2.0 ")), "SIP/2.0 200 OK");
    EXPECT_EQ(h.statesOf(b.lineId).back(), 8);
    EXPECT_EQ(h.phone.lineCount(), 0u);
    h.expectAllReleased();
}

TEST_F(ConnectedCall, AFailedAttendedTransferClearsBothLegsAndKeepsTheCalls) {
    Call b;
    b.line = h.newLine();
    b.lineId = b.line->getLineId();
    b.remoteTag = "rtB";
    h.dial(b.lineId, "4004");
    h.fromOther(reply(h.oneAtOther("INVITE "), 200, "OK", contactOf(h.other.port), "", "", "rtA"));
    b.invite = h.oneAtProxy("INVITE ");
    h.fromProxy(reply(b.invite, 200, "OK", contactOf(h.other.port, "4004"), "application/sdp",
                      farSdp(h.rtp.port), "rtB"));
    h.takeProxy();
    h.collect();
    h.otherReceived.clear();
    h.transfer(a.lineId, b.lineId);
    h.fromOther(reply(h.oneAtOther("REFER "), 202, "Accepted", "", "", "", "rtA"));
    h.fromOther(farIn(a, "NOTIFY", 1, "z9hG4bKn1", "message/sipfrag", "SIP/2.0 486 Busy Here\r\n"));
    h.oneAtOther("SIP/2.0 200");
    EXPECT_EQ(a.line->dialog->transferPartner, nullptr);
    EXPECT_EQ(b.line->dialog->transferPartner, nullptr);
    EXPECT_EQ(a.line->dialog->pendingOperation, sip::SipInviteDialog::operationNone);
    // A BYE on the other leg now gives the normal end tone state.
    h.fromOther(farIn(b, "BYE", 9, "z9hG4bKbyeB"));
    h.oneAtOther("SIP/2.0 200");
    EXPECT_EQ(h.statesOf(b.lineId).back(), 7);
    h.post(b.lineId, &kbrphone::Line::hangup);
    hangUp(a);
    h.expectAllReleased();
}

TEST_F(ConnectedCall, TransferToItselfOrToALineWithoutCallDoesNothing) {
    sip::SipLine* idle = h.newLine();
    h.transfer(a.lineId, a.lineId);
    h.transfer(a.lineId, idle->getLineId());
    h.transfer(idle->getLineId(), a.lineId);
    EXPECT_TRUE(h.otherReceived.empty());
    EXPECT_TRUE(h.proxyReceived.empty());
    EXPECT_EQ(a.line->dialog->pendingOperation, sip::SipInviteDialog::operationNone);
    EXPECT_EQ(a.line->dialog->transferPartner, nullptr);
    h.post(idle->getLineId(), &kbrphone::Line::hangup);
    hangUp(a);
    h.expectAllReleased();
}

TEST_F(ConnectedCall, AFailedInviteOnATransferLegEndsItsLineAtOnceAndTheDialogGoesByItself) {
    // A second call that is still ringing becomes the partner of the first.
    sip::SipLine* bLine = h.newLine();
    const std::string bId = bLine->getLineId();
    h.dial(bId, "4004");
    h.fromOther(reply(h.oneAtOther("INVITE "), 200, "OK", contactOf(h.other.port), "", "", "rtA"));
    const std::string bInvite = h.oneAtProxy("INVITE ");
    h.transfer(a.lineId, bId);
    h.oneAtOther("REFER ");
    h.fromProxy(reply(bInvite, 486, "Busy Here"));
    EXPECT_EQ(h.statesOf(bId).back(), 8) << "no busy tone on a transfer leg";
    EXPECT_EQ(h.phone.findLine(bId), nullptr);
    hangUp(a);
    h.expectAllReleased();
}

} // namespace

namespace {

// A transfer started while the hold's re-INVITE is still out: its 200 is acknowledged all the same.
TEST_F(ConnectedCall, AHoldAnsweredAfterATransferStartedIsStillAcknowledged) {
    h.post(a.lineId, &kbrphone::Line::putOnHold);
    const std::string hold = h.oneAtOther("INVITE ");
    h.post(a.lineId, &kbrphone::Line::blindTransfer, "3009");
    const std::string refer = h.oneAtOther("REFER ");
    EXPECT_EQ(a.line->dialog->pendingOperation, sip::SipInviteDialog::operationRefer);
    h.fromOther(reply(hold, 200, "OK", contactOf(h.other.port), "application/sdp",
                      farSdp(h.rtp.port, "recvonly"), "rtA"));
    EXPECT_EQ(headerOf(h.oneAtOther("ACK "), "CSeq"), "2 ACK");
    EXPECT_EQ(a.line->dialog->pendingOperation, sip::SipInviteDialog::operationRefer) << "the transfer runs on";
    h.fromOther(reply(refer, 202, "Accepted", "", "", "", "rtA"));
    // A resume asked for now goes at once: nothing else is under way.
    h.post(a.lineId, &kbrphone::Line::activate);
    const std::string resume = h.oneAtOther("INVITE ");
    h.fromOther(reply(resume, 200, "OK", contactOf(h.other.port), "application/sdp", farSdp(h.rtp.port), "rtA"));
    EXPECT_EQ(headerOf(h.oneAtOther("ACK "), "CSeq"), "4 ACK");
    h.fromOther(farIn(a, "NOTIFY", 1, "z9hG4bKn1", "message/sipfrag", "SIP/2.0 200 OK\r\n"));
    h.oneAtOther("SIP/2.0 200");
    h.fromOther(reply(h.oneAtOther("BYE "), 200, "OK", "", "", "", ""));
    EXPECT_EQ(h.statesOf(a.lineId).back(), 8);
    h.expectAllReleased();
}

// Both sides offer at once: the far end's re-INVITE gets 491, ours is sent again after a 491.
TEST_F(ConnectedCall, CrossingReInvitesAreSettledBy491AndARetry) {
    h.post(a.lineId, &kbrphone::Line::putOnHold);
    const std::string hold = h.oneAtOther("INVITE ");
    h.fromOther(farIn(a, "INVITE", 7, "z9hG4bKfar7", "application/sdp", farSdp(h.rtp.port)));
    const std::string pending = h.oneAtOther("SIP/2.0 ");
    EXPECT_EQ(firstLine(pending), "SIP/2.0 491 Request Pending");
    EXPECT_EQ(headerOf(pending, "CSeq"), "7 INVITE");
    h.fromOther(farIn(a, "ACK", 7, "z9hG4bKfar7"));
    h.fromOther(reply(hold, 491, "Request Pending", "", "", "", "rtA"));
    EXPECT_EQ(headerOf(h.oneAtOther("ACK "), "CSeq"), "2 ACK");
    // The side that placed the call waits 2.1 to 4 s.
    h.advance(2000, 10);
    EXPECT_TRUE(h.take(h.otherReceived, "INVITE ").empty());
    for (int step = 0; step < 210 && h.otherReceived.empty(); ++step)
        h.advance(10, 10);
    const std::string again = h.oneAtOther("INVITE ");
    EXPECT_EQ(headerOf(again, "CSeq"), "3 INVITE");
    EXPECT_NE(bodyOf(again).find("a=sendonly\r\n"), std::string::npos) << "the same offer";
    h.fromOther(reply(again, 200, "OK", contactOf(h.other.port), "application/sdp", farSdp(h.rtp.port), "rtA"));
    EXPECT_EQ(headerOf(h.oneAtOther("ACK "), "CSeq"), "3 ACK");
    EXPECT_EQ(a.line->dialog->pendingOperation, sip::SipInviteDialog::operationNone);
    hangUp(a);
    h.expectAllReleased();
}

// A second attended transfer of the same leg to another call: the first partner is let go on both
// sides, so its far end's BYE is an ordinary end and no leg points at a dialog that has gone.
TEST_F(ConnectedCall, ARetargetedAttendedTransferLetsTheFirstPartnerGo) {
    auto second = [&](const std::string& number, const std::string& tag) {
        Call c;
        c.line = h.newLine();
        c.lineId = c.line->getLineId();
        c.remoteTag = tag;
        h.dial(c.lineId, number);
        // Any hold of an earlier call that dialling caused is answered.
        for (const Datagram& d : h.take(h.otherReceived, "INVITE ")) {
            const std::string& hold = d.text;
            h.fromOther(reply(hold, 200, "OK", contactOf(h.other.port), "application/sdp", farSdp(h.rtp.port),
                              paramOf(headerOf(hold, "To"), "tag")));
        }
        h.take(h.otherReceived, "ACK ");
        c.invite = h.oneAtProxy("INVITE ");
        h.fromProxy(reply(c.invite, 200, "OK", contactOf(h.other.port, number), "application/sdp",
                          farSdp(h.rtp.port), tag));
        h.oneAtOther("ACK ");
        return c;
    };
    Call b = second("4004", "rtB");
    Call c = second("5005", "rtC");
    sip::SipInviteDialog* da = a.line->dialog;
    sip::SipInviteDialog* db = b.line->dialog;
    sip::SipInviteDialog* dc = c.line->dialog;

    h.transfer(a.lineId, b.lineId);
    h.fromOther(reply(h.oneAtOther("REFER "), 202, "Accepted", "", "", "", "rtA"));
    h.transfer(a.lineId, c.lineId);
    const std::string refer = h.oneAtOther("REFER ");
    EXPECT_NE(headerOf(refer, "Refer-to").find("to-tag%3DrtC"), std::string::npos);
    h.fromOther(reply(refer, 202, "Accepted", "", "", "", "rtA"));
    EXPECT_EQ(da->transferPartner, dc);
    EXPECT_EQ(dc->transferPartner, da);
    EXPECT_EQ(db->transferPartner, nullptr) << "the first partner is let go";

    // The transfer succeeds and the transferring leg goes ...
    h.fromOther(farIn(a, "NOTIFY", 1, "z9hG4bKn1", "message/sipfrag", "SIP/2.0 200 OK\r\n"));
    h.oneAtOther("SIP/2.0 200");
    h.fromOther(reply(h.oneAtOther("BYE "), 200, "OK", "", "", "", ""));
    h.advance(33000, 50);
    EXPECT_EQ(dc->transferPartner, nullptr) << "cleared by the leg that went";
    // ... then the first partner's far end hangs up: an ordinary end of a call, state 7.
    h.fromOther(farIn(b, "BYE", 9, "z9hG4bKbyeB"));
    EXPECT_EQ(firstLine(h.oneAtOther("SIP/2.0 ")), "SIP/2.0 200 OK");
    EXPECT_EQ(h.statesOf(b.lineId).back(), 7);
    h.post(b.lineId, &kbrphone::Line::hangup);
    h.fromOther(farIn(c, "BYE", 9, "z9hG4bKbyeC"));
    h.oneAtOther("SIP/2.0 200");
    EXPECT_EQ(h.statesOf(c.lineId).back(), 7) << "its partner has gone: an ordinary end";
    h.post(c.lineId, &kbrphone::Line::hangup);
    h.expectAllReleased();
}

// Transferring one leg of a pending attended transfer to a third call unlinks the other leg too.
TEST_F(ConnectedCall, TransferringAPartnerLegToAThirdCallUnlinksItsOldPartner) {
    Call b = connect("4004", "rtB");
    Call c = connect("5005", "rtC");
    h.takeProxy();
    h.otherReceived.clear();
    h.transfer(a.lineId, b.lineId);
    h.transfer(b.lineId, c.lineId);
    EXPECT_EQ(a.line->dialog->transferPartner, nullptr);
    EXPECT_EQ(b.line->dialog->transferPartner, c.line->dialog);
    EXPECT_EQ(c.line->dialog->transferPartner, b.line->dialog);
    // The far end of the first call hangs up: an ordinary end.
    h.fromOther(farIn(a, "BYE", 9, "z9hG4bKbyeA"));
    EXPECT_EQ(h.statesOf(a.lineId).back(), 7);
    for (const Call* call : {&a, &b, &c})
        h.post(call->lineId, &kbrphone::Line::hangup);
    for (const Datagram& d : h.take(h.otherReceived, "BYE "))
        h.fromOther(reply(d.text, 200, "OK", "", "", "", ""));
    h.expectAllReleased();
}

} // namespace

namespace {

// A hold that the far end never answers leaves the call as it was after the 32 s time-out, and the
// resume that waited for it goes then.
TEST_F(ConnectedCall, AReInviteNeverAnsweredLetsTheWaitingOfferGoAfterItsTimeOut) {
    h.post(a.lineId, &kbrphone::Line::putOnHold);
    h.oneAtOther("INVITE ");
    h.post(a.lineId, &kbrphone::Line::activate);
    h.advance(31000, 50);
    EXPECT_EQ(h.take(h.otherReceived, "INVITE ").size(), 9u) << "copies of the hold only";
    h.advance(1200, 50);
    std::vector<Datagram> invites = h.take(h.otherReceived, "INVITE ");
    ASSERT_EQ(invites.size(), 2u) << "the hold's last copy, then the resume";
    const std::string resume = invites.back().text;
    EXPECT_EQ(headerOf(resume, "CSeq"), "3 INVITE");
    EXPECT_NE(bodyOf(resume).find("a=sendrecv\r\n"), std::string::npos);
    EXPECT_EQ(a.line->dialog->callState, sip::SipInviteDialog::callConnected);
    EXPECT_EQ(h.statesOf(a.lineId).back(), 6);
    h.fromOther(reply(resume, 200, "OK", contactOf(h.other.port), "application/sdp", farSdp(h.rtp.port), "rtA"));
    EXPECT_EQ(headerOf(h.oneAtOther("ACK "), "CSeq"), "3 ACK");
    hangUp(a);
    h.expectAllReleased();
}

} // namespace
