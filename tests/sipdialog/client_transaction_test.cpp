// Client transactions on the scheduler's own timers, against a UDP peer on 127.0.0.1. The wall clock the
// scheduler reads is moved forward in 1 ms steps, so 32 s of retransmissions take a fraction of a second.
#include "DialogTestSupport.h"

#include <gtest/gtest.h>

using namespace dialogtest;

namespace {

// How late a send may come. The harness's clock moves only by its steps, so a timer runs at most a
// step late, whatever the machine's speed.
constexpr int64_t kSlackMs = 150;

std::vector<int64_t> timesOf(const std::vector<Datagram>& sent, int64_t t0) {
    std::vector<int64_t> out;
    for (const Datagram& d : sent)
        out.push_back(d.at - t0);
    return out;
}

void expectTimes(const std::vector<int64_t>& actual, const std::vector<int64_t>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_GE(actual[i], expected[i] - 2) << "datagram " << i;
        EXPECT_LE(actual[i], expected[i] + kSlackMs) << "datagram " << i;
    }
}

sip::SipTransactionalRequest* newRequest(RecordingDialog& d, Harness& h, const std::string& method) {
    if (method == "INVITE")
        return new sip::SipInviteRequest(&d, h.proxy.address(), "", 40000, 40001, 1);
    return new sip::SipNonInviteRequest(&d, h.proxy.address(), method, "");
}

struct ClientTransactionTest : ::testing::Test {
    void SetUp() override { h.installProxy(); }
    Harness h;
};

class NoAnswer : public ClientTransactionTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(NoAnswer, ElevenSendsBetweenZeroAnd31AndAHalfSecondsThenTheTimeOut) {
    RecordingDialog d(h);
    const int64_t t0 = h.now();
    newRequest(d, h, GetParam())->send(1);
    h.advance(31900);
    std::vector<Datagram> sent = h.takeProxy();
    expectTimes(timesOf(sent, t0), {0, 500, 1500, 3500, 7500, 11500, 15500, 19500, 23500, 27500, 31500});
    for (const Datagram& s : sent)
        EXPECT_EQ(firstLine(s.text), std::string(GetParam()) + " sip:3002@127.0.0.1 SIP/2.0");
    EXPECT_TRUE(d.events.empty());

    h.advance(200);
    EXPECT_EQ(d.events, (std::vector<std::string>{"timeout " + std::string(GetParam()),
                                                  "finished " + std::string(GetParam()), "check finished"}));
    ASSERT_FALSE(d.times.empty());
    EXPECT_NEAR(static_cast<double>(d.times[0] - t0), 32000.0, static_cast<double>(kSlackMs));
    EXPECT_EQ(d.activeRequestCount(), 0u);
    EXPECT_EQ(h.phone.timerCount(), 0u);
    h.advance(10000, 10);
    EXPECT_TRUE(h.takeProxy().empty()) << "nothing is sent after the time-out";
}

// The virtual clock takes in none of the real time the test takes: a stall of a loaded machine
// while a retransmission is due delays neither that send nor the ones scheduled after it.
TEST_F(ClientTransactionTest, AStallOfTheMachineWhileASendIsDueDelaysNoSend) {
    RecordingDialog d(h);
    const int64_t t0 = h.now();
    newRequest(d, h, "BYE")->send(1);
    h.advance(499);
    ::usleep(300 * 1000); // the stall: the test thread gets no processor for 300 ms
    h.advance(3100);
    expectTimes(timesOf(h.takeProxy(), t0), {0, 500, 1500, 3500});
}

INSTANTIATE_TEST_SUITE_P(Methods, NoAnswer, ::testing::Values("INVITE", "BYE"),
                         [](const ::testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

TEST_F(ClientTransactionTest, A100ToANonInviteMakesTheRetransmissionsFourSecondsApartUntilTheTimeOut) {
    RecordingDialog d(h);
    const int64_t t0 = h.now();
    newRequest(d, h, "BYE")->send(1);
    ASSERT_TRUE(h.advanceUntil(2, 1000));
    const std::string bye = h.proxyReceived.front().text;
    h.advance(100);
    // Taken before the answer goes: delivering it may step the clock past the moment it is read.
    const int64_t t100 = h.now() - t0;
    h.fromProxy(responseTo(bye, 100, "Trying"));
    EXPECT_EQ(d.takeEvents(), (std::vector<std::string>{"provisional 100"}));

    h.advance(32100 - (h.now() - t0));
    std::vector<int64_t> times = timesOf(h.takeProxy(), t0);
    std::vector<int64_t> expected = {0, 500};
    for (int64_t t = t100 + 4000; t < 32000; t += 4000)
        expected.push_back(t);
    expectTimes(times, expected);
    EXPECT_EQ(d.events, (std::vector<std::string>{"timeout BYE", "finished BYE", "check finished"}));
    EXPECT_EQ(h.phone.timerCount(), 0u);
}

TEST_F(ClientTransactionTest, AFinalResponseToANonInviteEndsItAtOnce) {
    RecordingDialog d(h);
    newRequest(d, h, "BYE")->send(1);
    h.pump();
    const std::string bye = h.takeProxy().at(0).text;
    h.fromProxy(responseTo(bye, 404, "Not Found"));
    EXPECT_EQ(d.takeEvents(), (std::vector<std::string>{"final 404", "finished BYE", "check finished"}));
    EXPECT_EQ(h.phone.timerCount(), 0u);
    // A late copy of the answer finds no transaction any more.
    h.fromProxy(responseTo(bye, 404, "Not Found"));
    EXPECT_EQ(d.takeEvents(), (std::vector<std::string>{"unmatched 404"}));
}

TEST_F(ClientTransactionTest, A180StopsTheInviteTimeOutAndTheInviteGoesAgainEvery20Seconds) {
    RecordingDialog d(h);
    const int64_t t0 = h.now();
    newRequest(d, h, "INVITE")->send(1);
    h.pump();
    const std::string invite = h.takeProxy().at(0).text;
    h.advance(200);
    h.fromProxy(responseTo(invite, 180, "Ringing"));
    const int64_t t180 = h.now() - t0;
    EXPECT_EQ(d.takeEvents(), (std::vector<std::string>{"provisional 180"}));

    h.advance(61000 - (h.now() - t0), 2);
    expectTimes(timesOf(h.takeProxy(), t0), {t180 + 20000, t180 + 40000, t180 + 60000});
    EXPECT_TRUE(d.events.empty()) << "a proceeding INVITE has no time-out";

    h.fromProxy(responseTo(invite, 200, "OK"));
    EXPECT_EQ(d.takeEvents(), (std::vector<std::string>{"final 200", "finished INVITE", "check finished"}));
    EXPECT_EQ(h.phone.timerCount(), 0u);
    h.advance(25000, 10);
    EXPECT_TRUE(h.takeProxy().empty());
}

TEST_F(ClientTransactionTest, ARefusedInviteIsAcknowledgedOnceReportedAndEnds32SecondsLater) {
    RecordingDialog d(h);
    newRequest(d, h, "INVITE")->send(1);
    h.pump();
    const std::string invite = h.takeProxy().at(0).text;
    const std::string busy = responseTo(invite, 486, "Busy Here");
    h.fromProxy(busy);
    const int64_t t486 = h.now();
    EXPECT_EQ(d.takeEvents(), (std::vector<std::string>{"final 486"}));
    std::vector<Datagram> acks = h.takeProxy();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(firstLine(acks[0].text), "ACK sip:3002@127.0.0.1 SIP/2.0");
    EXPECT_EQ(paramOf(headerOf(acks[0].text, "Via"), "branch"), paramOf(headerOf(invite, "Via"), "branch"));
    EXPECT_EQ(headerOf(acks[0].text, "CSeq"), "1 ACK");
    EXPECT_EQ(headerOf(acks[0].text, "To"), headerOf(busy, "To"));

    // A repeated 486 is acknowledged again but not reported again.
    h.advance(1000);
    h.fromProxy(busy);
    acks = h.takeProxy();
    ASSERT_EQ(acks.size(), 1u);
    EXPECT_EQ(firstLine(acks[0].text), "ACK sip:3002@127.0.0.1 SIP/2.0");
    EXPECT_TRUE(d.events.empty());

    h.advance(32000 - (h.now() - t486) + 50, 2);
    EXPECT_TRUE(h.takeProxy().empty()) << "no INVITE retransmission once completed";
    EXPECT_EQ(d.events, (std::vector<std::string>{"finished INVITE", "check finished"}));
    EXPECT_NEAR(static_cast<double>(d.times[0] - t486), 32000.0, static_cast<double>(kSlackMs));
    EXPECT_EQ(h.phone.timerCount(), 0u);
}

TEST_F(ClientTransactionTest, AHangUpBeforeAnyResponseSendsCancelAtTheNextRetransmissionAndOnTheFirst1xx) {
    RecordingDialog d(h);
    auto* invite = newRequest(d, h, "INVITE");
    invite->send(1);
    h.pump();
    const std::string inviteText = h.takeProxy().at(0).text;
    invite->state = sip::SipTransactionalRequest::stateCancelWanted;

    ASSERT_TRUE(h.advanceUntil(1, 1000));
    Datagram cancel = h.takeProxy().at(0);
    EXPECT_EQ(firstLine(cancel.text), "CANCEL sip:3002@127.0.0.1 SIP/2.0");
    EXPECT_EQ(paramOf(headerOf(cancel.text, "Via"), "branch"),
              paramOf(headerOf(inviteText, "Via"), "branch"));
    EXPECT_EQ(headerOf(cancel.text, "CSeq"), "1 CANCEL");

    h.fromProxy(responseTo(inviteText, 180, "Ringing"));
    std::vector<Datagram> sent = h.takeProxy();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(firstLine(sent[0].text), "CANCEL sip:3002@127.0.0.1 SIP/2.0");
    EXPECT_TRUE(d.events.empty()) << "the 1xx is not reported once the call is to be cancelled";

    // The answer to the CANCEL itself changes nothing.
    h.fromProxy(responseTo(cancel.text, 200, "OK"));
    EXPECT_TRUE(d.events.empty());
    EXPECT_EQ(invite->state, sip::SipTransactionalRequest::stateCancelWanted);

    h.fromProxy(responseTo(inviteText, 487, "Request Terminated"));
    const int64_t t487 = h.now();
    sent = h.takeProxy();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(firstLine(sent[0].text), "ACK sip:3002@127.0.0.1 SIP/2.0");
    EXPECT_TRUE(d.events.empty()) << "the 487 is acknowledged, not reported";

    h.advance(32100, 2);
    EXPECT_EQ(d.events, (std::vector<std::string>{"finished INVITE", "check finished"}));
    EXPECT_NEAR(static_cast<double>(d.times[0] - t487), 32000.0, static_cast<double>(kSlackMs))
        << "one end timer, from the final response";
    EXPECT_EQ(h.phone.timerCount(), 0u);
    EXPECT_TRUE(h.takeProxy().empty());
}

TEST_F(ClientTransactionTest, CancellingAProceedingInviteSendsTheCancelAtOnceAndThenInPlaceOfTheInvite) {
    RecordingDialog d(h);
    auto* invite = static_cast<sip::SipInviteRequest*>(newRequest(d, h, "INVITE"));
    invite->send(1);
    h.pump();
    const std::string inviteText = h.takeProxy().at(0).text;
    h.fromProxy(responseTo(inviteText, 183, "Session Progress"));
    d.takeEvents();
    invite->cancel();
    const int64_t tCancel = h.now();
    h.pump();
    std::vector<Datagram> sent = h.takeProxy();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(firstLine(sent[0].text), "CANCEL sip:3002@127.0.0.1 SIP/2.0");
    // The 20 s re-send of a proceeding INVITE now repeats the CANCEL.
    h.advance(20500, 5);
    sent = h.takeProxy();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(firstLine(sent[0].text), "CANCEL sip:3002@127.0.0.1 SIP/2.0");
    invite->cancel();
    h.pump();
    EXPECT_TRUE(h.takeProxy().empty()) << "asking again changes nothing";
    EXPECT_TRUE(d.events.empty());
    // A far end that never answers the CANCEL: the transaction still ends, without a time-out report.
    h.advance(32100 - (h.now() - tCancel), 5);
    EXPECT_EQ(d.events, (std::vector<std::string>{"finished INVITE", "check finished"}));
    EXPECT_EQ(h.phone.timerCount(), 0u);
}

TEST_F(ClientTransactionTest, AReferCarriesItsTargetAndEndsOnItsFinalResponse) {
    RecordingDialog d(h);
    (new sip::SipReferRequest(&d, h.proxy.address(), "", "sip:4004@127.0.0.1"))->send(1);
    h.pump();
    const std::string refer = h.takeProxy().at(0).text;
    EXPECT_EQ(firstLine(refer), "REFER sip:3002@127.0.0.1 SIP/2.0");
    EXPECT_EQ(headerOf(refer, "Refer-to"), "<sip:4004@127.0.0.1>");
    EXPECT_FALSE(headerOf(refer, "Contact").empty());
    h.fromProxy(responseTo(refer, 202, "Accepted"));
    EXPECT_EQ(d.takeEvents(), (std::vector<std::string>{"final 202", "finished REFER", "check finished"}));
}

TEST_F(ClientTransactionTest, A200AfterTheCancelWasWantedIsReported) {
    RecordingDialog d(h);
    auto* invite = newRequest(d, h, "INVITE");
    invite->send(1);
    h.pump();
    const std::string inviteText = h.takeProxy().at(0).text;
    invite->state = sip::SipTransactionalRequest::stateCancelWanted;
    h.fromProxy(responseTo(inviteText, 200, "OK"));
    EXPECT_EQ(d.takeEvents(), (std::vector<std::string>{"final 200", "finished INVITE", "check finished"}));
    EXPECT_EQ(h.phone.timerCount(), 0u);
}

TEST_F(ClientTransactionTest, ADialogThatGoesTakesItsLiveTransactionsAndTheirTimersWithIt) {
    auto d = std::make_unique<RecordingDialog>(h);
    newRequest(*d, h, "INVITE")->send(1);
    newRequest(*d, h, "BYE")->send(1);
    h.pump();
    EXPECT_EQ(d->activeRequestCount(), 2u);
    EXPECT_EQ(h.phone.timerCount(), 4u);
    d.reset();
    EXPECT_EQ(h.phone.timerCount(), 0u);
    EXPECT_EQ(h.endPoint.dialogCount(), 0u);
    h.advance(2000, 10);
    h.takeProxy();
    h.advance(2000, 10);
    EXPECT_TRUE(h.takeProxy().empty());
}

} // namespace
