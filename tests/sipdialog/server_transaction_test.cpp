// Server transactions: responses that answer retransmitted requests, an INVITE's final response repeated
// until the ACK, and the 32 s end timer, driven by a loopback peer and the virtual clock.
#include "DialogTestSupport.h"

#include <gtest/gtest.h>

using namespace dialogtest;

namespace {

constexpr int64_t kSlackMs = 150;
const char* const kCallId = "call-1@127.0.0.1";
const char* const kInviteBranch = "z9hG4bKinvite1";

struct ServerTransactionTest : ::testing::Test {
    void SetUp() override {
        h.installProxy();
        invite = requestText("INVITE", h.proxy.port, kCallId, 1, kInviteBranch);
        parsed.reset(new Parsed(invite));
        dialog.reset(new RecordingDialog(h, *parsed->message));
    }
    sip::SipInviteResponse* newInviteResponse() {
        return new sip::SipInviteResponse(dialog.get(), h.proxy.address(), *parsed->message);
    }
    // A request of the dialog from the proxy peer (or the other peer).
    std::string inDialog(const std::string& method, int cseq, const std::string& branch,
                         const std::string& cseqMethod = "") {
        return requestText(method, h.proxy.port, kCallId, cseq, branch, "ft1", dialog->localTag, cseqMethod);
    }
    std::vector<std::string> statusLines() {
        std::vector<std::string> out;
        for (const Datagram& d : h.takeProxy())
            out.push_back(firstLine(d.text) + " / " + headerOf(d.text, "CSeq"));
        return out;
    }

    Harness h;
    std::string invite;
    std::unique_ptr<Parsed> parsed;
    std::unique_ptr<RecordingDialog> dialog;
};

enum class Ack { none, foreignBranch, inviteBranch };

class RefusedInvite : public ServerTransactionTest, public ::testing::WithParamInterface<Ack> {};

TEST_P(RefusedInvite, The486IsRepeatedUntilAnAckWithTheInviteBranchAndTheTransactionEndsAt32Seconds) {
    auto* response = newInviteResponse();
    response->sendResponse(100, "Trying");
    const int64_t t0 = h.now();
    response->sendResponse(486, "Busy Here");
    h.pump();
    EXPECT_EQ(statusLines(), (std::vector<std::string>{"SIP/2.0 100 Trying / 1 INVITE",
                                                       "SIP/2.0 486 Busy Here / 1 INVITE"}));

    h.advance(5000 - (h.now() - t0));
    std::vector<int64_t> copies;
    for (const Datagram& d : h.takeProxy()) {
        EXPECT_EQ(firstLine(d.text), "SIP/2.0 486 Busy Here");
        copies.push_back(d.at - t0);
    }
    ASSERT_EQ(copies.size(), 3u);
    const double expectedCopies[] = {500, 1500, 3500};
    for (size_t i = 0; i < 3; ++i)
        EXPECT_NEAR(static_cast<double>(copies[i]), expectedCopies[i], double(kSlackMs));

    if (GetParam() != Ack::none)
        h.fromProxy(inDialog("ACK", 1, GetParam() == Ack::inviteBranch ? kInviteBranch : "z9hG4bKother"));
    h.advance(32000 - (h.now() - t0) - 100, 2);
    const size_t later = h.takeProxy().size();
    if (GetParam() == Ack::inviteBranch) {
        EXPECT_EQ(later, 0u) << "the ACK stops the repetitions";
        EXPECT_EQ(dialog->takeEvents(), (std::vector<std::string>{"ack or cancel ACK"}));
    } else {
        EXPECT_EQ(later, 7u) << "every 4 s from 7.5 s to 31.5 s";
        EXPECT_TRUE(dialog->takeEvents().empty()) << "an ACK with another branch changes nothing";
    }

    h.advance(300, 2);
    std::vector<std::string> expected = {"response finished", "check finished"};
    if (GetParam() != Ack::inviteBranch)
        expected.insert(expected.begin(), "not acknowledged");
    EXPECT_EQ(dialog->events, expected);
    EXPECT_NEAR(static_cast<double>(dialog->times[0] - t0), 32000.0, double(kSlackMs));
    EXPECT_EQ(dialog->activeResponseCount(), 0u);
    EXPECT_EQ(h.phone.timerCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Acks, RefusedInvite,
                         ::testing::Values(Ack::none, Ack::foreignBranch, Ack::inviteBranch),
                         [](const ::testing::TestParamInfo<Ack>& info) {
                             return std::string(info.param == Ack::none            ? "NoAck"
                                                : info.param == Ack::foreignBranch ? "AckOfAnotherBranch"
                                                                                   : "AckOfTheInviteBranch");
                         });

TEST_F(ServerTransactionTest, AFirstResponseThatIsFinalStillRepeatsAndEndsSoTheDialogIsReleased) {
    auto* response = newInviteResponse();
    const int64_t t0 = h.now();
    response->sendResponse(200, "OK");
    h.advance(2000);
    EXPECT_EQ(statusLines(),
              (std::vector<std::string>{"SIP/2.0 200 OK / 1 INVITE", "SIP/2.0 200 OK / 1 INVITE",
                                        "SIP/2.0 200 OK / 1 INVITE"}));
    // The ACK of a 2xx has a branch of its own and is accepted.
    h.fromProxy(inDialog("ACK", 1, "z9hG4bKack2xx"));
    EXPECT_EQ(dialog->takeEvents(), (std::vector<std::string>{"ack or cancel ACK"}));
    h.advance(32100 - (h.now() - t0), 2);
    EXPECT_TRUE(h.takeProxy().empty());
    EXPECT_EQ(dialog->events, (std::vector<std::string>{"response finished", "check finished"}));
    EXPECT_EQ(h.phone.timerCount(), 0u);
}

TEST_F(ServerTransactionTest, ARetransmittedInviteGetsTheCurrentResponseOnlyFromTheAddressItCameFrom) {
    auto* response = newInviteResponse();
    response->sendResponse(100, "Trying");
    h.pump();
    h.takeProxy();
    h.fromProxy(invite);
    EXPECT_EQ(statusLines(), (std::vector<std::string>{"SIP/2.0 100 Trying / 1 INVITE"}));
    h.fromOther(invite);
    EXPECT_TRUE(h.takeProxy().empty());
    EXPECT_TRUE(h.otherReceived.empty());
    response->sendResponse(180, "Ringing");
    h.pump();
    h.takeProxy();
    h.fromProxy(invite);
    EXPECT_EQ(statusLines(), (std::vector<std::string>{"SIP/2.0 180 Ringing / 1 INVITE"}));
    EXPECT_TRUE(dialog->events.empty()) << "retransmissions never reach the dialog";
}

TEST_F(ServerTransactionTest, ACancelWhileProceedingIsAnsweredThenTheInviteGets487ThenTheDialogIsTold) {
    auto* response = newInviteResponse();
    response->sendResponse(180, "Ringing");
    h.pump();
    h.takeProxy();
    const std::string cancel = requestText("CANCEL", h.proxy.port, kCallId, 1, kInviteBranch);
    h.fromProxy(cancel);
    EXPECT_EQ(statusLines(), (std::vector<std::string>{"SIP/2.0 200 invite canceled / 1 CANCEL",
                                                       "SIP/2.0 487 request terminated / 1 INVITE"}));
    EXPECT_EQ(dialog->takeEvents(), (std::vector<std::string>{"ack or cancel CANCEL"}));
    // A retransmitted CANCEL is answered 200 again; the INVITE's answer and the dialog stay as they are.
    h.fromProxy(cancel);
    EXPECT_EQ(statusLines(), (std::vector<std::string>{"SIP/2.0 200 invite canceled / 1 CANCEL"}));
    EXPECT_TRUE(dialog->events.empty());
}

TEST_F(ServerTransactionTest, ANonInviteResponseRepeatsOnlyForARetransmittedRequestAndEnds32SecondsAfterIt) {
    sip::SipNonInviteResponse* byeResponse = nullptr;
    dialog->onRequestAction = [&](const kmt::SocketAddress& source, sip::SipInMessage& request) {
        byeResponse = new sip::SipNonInviteResponse(dialog.get(), source, request);
        byeResponse->sendResponse(200, "OK");
    };
    const std::string bye = inDialog("BYE", 2, "z9hG4bKbye1");
    h.fromProxy(bye);
    const int64_t t0 = h.now();
    std::vector<Datagram> first = h.takeProxy();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(firstLine(first[0].text), "SIP/2.0 200 OK");
    EXPECT_EQ(dialog->takeEvents(), (std::vector<std::string>{"request BYE 2"}));

    h.advance(10000, 2);
    EXPECT_TRUE(h.takeProxy().empty()) << "no repetition of its own";
    h.fromProxy(bye);
    std::vector<Datagram> again = h.takeProxy();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].text, first[0].text);
    EXPECT_TRUE(dialog->events.empty());

    h.advance(32100 - (h.now() - t0), 2);
    EXPECT_EQ(dialog->events, (std::vector<std::string>{"response finished", "check finished"}));
    EXPECT_NEAR(static_cast<double>(dialog->times[0] - t0), 32000.0, double(kSlackMs));
    // The transaction has gone: the same BYE (same CSeq) reaches the dialog again as a new request.
    dialog->takeEvents();
    dialog->onRequestAction = nullptr;
    h.fromProxy(bye);
    EXPECT_EQ(dialog->takeEvents(), (std::vector<std::string>{"request BYE 2"}));
}

} // namespace
