// Registration against a registrar played by a loopback peer: digest challenges, the refresh before
// expiry, the CRLF keep-alive, the five-minute retry, cancelling, and a second registration replacing
// the first, all on the scheduler's timers with the virtual clock.
#include "DialogTestSupport.h"
#include "support/ParamNames.h"

#include "Md5.h"

#include <gtest/gtest.h>

using namespace dialogtest;

namespace {

constexpr int64_t kSlackMs = 150;

struct RegisterTest : ::testing::Test {
    void registerAt(Peer& registrar) {
        h.endPoint.registerWithProxy("2001", "Desk", "auth2001", "secret", "127.0.0.1", registrar.port);
        h.pump();
    }
    // The one datagram the proxy peer has received since the last take.
    std::string takeOne() {
        std::vector<Datagram> got = h.takeProxy();
        EXPECT_EQ(got.size(), 1u);
        return got.empty() ? std::string() : got.back().text;
    }
    std::vector<std::string> registrations() {
        std::vector<std::string> out;
        for (const std::string& e : h.journal.take())
            if (e.compare(0, 13, "registration ") == 0)
                out.push_back(e);
        return out;
    }
    // Registers and answers 200 with the given extra headers; returns the 200's time.
    int64_t registered(const std::string& extra) {
        registerAt(h.proxy);
        h.fromProxy(responseTo(takeOne(), 200, "OK", extra));
        EXPECT_EQ(registrations(), std::vector<std::string>{"registration 1 OK"});
        return h.now();
    }

    Harness h;
};

std::string digestResponse(const std::string& realm, const std::string& nonce) {
    const std::string ha1 = sip::md5Hex("auth2001:" + realm + ":secret");
    return sip::md5Hex(ha1 + ":" + nonce + ":" + sip::md5Hex("REGISTER:sip:127.0.0.1"));
}

class Challenge : public RegisterTest, public ::testing::WithParamInterface<int> {};

TEST_P(Challenge, TheChallengeIsAnsweredAndTheRegistrationIsRefreshedAndKeptAlive) {
    const int code = GetParam();
    const char* challengeHeader = code == 401 ? "WWW-Authenticate" : "Proxy-Authenticate";
    const char* answerHeader = code == 401 ? "Authorization" : "Proxy-Authorization";
    registerAt(h.proxy);
    const std::string first = takeOne();
    EXPECT_EQ(firstLine(first), "REGISTER sip:127.0.0.1 SIP/2.0");
    EXPECT_EQ(headerOf(first, "To"), "<sip:2001@127.0.0.1>");
    EXPECT_EQ(headerOf(first, "From").substr(0, 29), "\"Desk\" <sip:2001@127.0.0.1>;t");
    EXPECT_EQ(headerOf(first, "Contact"), "<sip:2001@127.0.0.1:" + std::to_string(h.sipPort()) + ">");
    EXPECT_EQ(headerOf(first, "Expires"), "") << "the registrar chooses the expiry";
    EXPECT_EQ(headerOf(first, "Authorization"), "");

    h.fromProxy(responseTo(first, code, code == 401 ? "Unauthorized" : "Proxy Authentication Required",
                           std::string(challengeHeader) +
                               ": Digest realm=\"127.0.0.1\", nonce=\"n0nce\", opaque=\"0paque\"\r\n"));
    const std::string second = takeOne();
    EXPECT_EQ(headerOf(second, "Call-ID"), headerOf(first, "Call-ID"));
    EXPECT_EQ(paramOf(headerOf(second, "From"), "tag"), paramOf(headerOf(first, "From"), "tag"));
    EXPECT_EQ(headerOf(second, "CSeq"), "2 REGISTER");
    EXPECT_EQ(headerOf(second, answerHeader),
              "Digest username=\"auth2001\", realm=\"127.0.0.1\", nonce=\"n0nce\", response=\"" +
                  digestResponse("127.0.0.1", "n0nce") +
                  "\", uri=\"sip:127.0.0.1\", algorithm=MD5, opaque=\"0paque\"");
    EXPECT_TRUE(registrations().empty()) << "a challenge is not reported";

    h.fromProxy(responseTo(second, 200, "OK", "Contact: <sip:2001@127.0.0.1>;expires=120\r\n"));
    const int64_t t200 = h.now();
    EXPECT_EQ(registrations(), std::vector<std::string>{"registration 1 OK"});

    h.advance(88000 + 200, 2);
    std::vector<Datagram> sent = h.takeProxy();
    ASSERT_EQ(sent.size(), 9u) << "eight keep-alives and the refresh";
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(sent[i].text, "\r\n") << "exactly CR LF";
        EXPECT_NEAR(static_cast<double>(sent[i].at - t200), 10000.0 * double(i + 1), double(kSlackMs));
        EXPECT_EQ(sent[i].fromPort, h.sipPort()) << "from the SIP socket";
    }
    EXPECT_EQ(firstLine(sent[8].text), "REGISTER sip:127.0.0.1 SIP/2.0");
    EXPECT_NEAR(static_cast<double>(sent[8].at - t200), 88000.0, double(kSlackMs)) << "32 s before it lapses";
    EXPECT_EQ(headerOf(sent[8].text, "Call-ID"), headerOf(first, "Call-ID"));
    EXPECT_EQ(headerOf(sent[8].text, "CSeq"), "3 REGISTER");
    EXPECT_FALSE(headerOf(sent[8].text, answerHeader).empty()) << "the refresh keeps the credentials";
}

INSTANTIATE_TEST_SUITE_P(Codes, Challenge, ::testing::Values(401, 407),
                         [](const ::testing::TestParamInfo<int>& info) { return paramnames::code(info.param); });

TEST_F(RegisterTest, TheGrantedExpiryAndTheRefreshDelay) {
    struct Case {
        const char* headers;
        int64_t expires;
        int64_t refreshMs;
    } cases[] = {
        {"Contact: <sip:2001@127.0.0.1>;expires=120\r\n", 120, 88000},
        {"Contact: <sip:2001@127.0.0.1>;EXPIRES=120\r\nExpires: 60\r\n", 120, 88000},
        {"Contact: <sip:2001@127.0.0.1>\r\nExpires: 60\r\n", 60, 30000},
        {"Contact: <sip:2001@127.0.0.1>;expires=0\r\nExpires: 65\r\n", 65, 33000},
        {"", 3600, 3568000},
        {"Expires: 0\r\n", 3600, 3568000},
        {"Expires: junk\r\n", 3600, 3568000},
        {"Contact: <sip:2001@127.0.0.1>;expires=64\r\n", 64, 32000},
        {"Contact: <sip:2001@127.0.0.1>;expires=1\r\n", 1, 500},
        {"Contact: <sip:2001@127.0.0.1>;expires=40000\r\n", 40000, 39968000},
        {"Expires: 100000\r\n", 86400, 86368000},
        {"Expires: 99999999999999999999999\r\n", 86400, 86368000},
    };
    for (const Case& c : cases) {
        Parsed p(std::string("SIP/2.0 200 OK\r\nCSeq: 1 REGISTER\r\n") + c.headers + "\r\n");
        const int64_t expires = sip::SipRegisterDialog::grantedExpires(*p.message);
        EXPECT_EQ(expires, c.expires) << c.headers;
        EXPECT_EQ(sip::SipRegisterDialog::refreshDelayMs(expires), c.refreshMs) << c.headers;
    }
}

TEST_F(RegisterTest, AnExpiresHeaderOf60IsRefreshedAfterHalfOfIt) {
    const int64_t t200 = registered("Expires: 60\r\n");
    ASSERT_TRUE(h.advanceUntil(3, 31000, 2));
    std::vector<Datagram> sent = h.takeProxy();
    EXPECT_EQ(sent[0].text, "\r\n");
    EXPECT_EQ(sent[1].text, "\r\n");
    EXPECT_EQ(firstLine(sent[2].text), "REGISTER sip:127.0.0.1 SIP/2.0");
    EXPECT_NEAR(static_cast<double>(sent[2].at - t200), 30000.0, double(kSlackMs));
}

TEST_F(RegisterTest, AChallengeToTheFourthAttemptFailsAndTheRegistrationIsTriedAgainFiveMinutesLater) {
    registerAt(h.proxy);
    for (int attempt = 1; attempt <= 4; ++attempt) {
        const std::string reg = takeOne();
        EXPECT_EQ(headerOf(reg, "CSeq"), std::to_string(attempt) + " REGISTER");
        EXPECT_EQ(headerOf(reg, "Authorization").empty(), attempt == 1);
        h.fromProxy(responseTo(reg, 401, "Unauthorized",
                               "WWW-Authenticate: Digest realm=\"r\", nonce=\"n" + std::to_string(attempt) +
                                   "\"\r\n"));
    }
    const int64_t tFail = h.now();
    EXPECT_EQ(registrations(), std::vector<std::string>{"registration 2 Unauthorized"});
    EXPECT_TRUE(h.takeProxy().empty()) << "no fifth REGISTER in a row";
    EXPECT_EQ(h.phone.timerCount(), 1u) << "the retry only";

    h.advance(300000 + 500, 100);
    std::vector<Datagram> retry = h.takeProxy();
    ASSERT_GE(retry.size(), 1u);
    EXPECT_NEAR(static_cast<double>(retry[0].at - tFail), 300000.0, 150.0);
    EXPECT_EQ(firstLine(retry[0].text), "REGISTER sip:127.0.0.1 SIP/2.0");
}

TEST_F(RegisterTest, AForbiddenRefreshReportsTheReasonStopsTheKeepAliveAndRetriesInFiveMinutes) {
    registered("Expires: 60\r\n");
    ASSERT_TRUE(h.advanceUntil(3, 31000, 2));
    // The refresh at 30 s goes out beside the keep-alive of the same moment, in either order.
    std::string refresh;
    for (int round = 0; round < 20 && refresh.empty(); ++round) {
        for (const Datagram& d : h.takeProxy())
            if (firstLine(d.text) == "REGISTER sip:127.0.0.1 SIP/2.0")
                refresh = d.text;
        if (refresh.empty())
            h.advance(10, 2);
    }
    ASSERT_FALSE(refresh.empty());
    h.fromProxy(responseTo(refresh, 403, "Forbidden"));
    const int64_t tFail = h.now();
    EXPECT_EQ(registrations(), std::vector<std::string>{"registration 2 Forbidden"});
    h.advance(299000, 100);
    // At most the keep-alive sent at the same moment as the refresh may still arrive late; a keep-alive
    // still running would have sent about thirty by now.
    std::vector<Datagram> after = h.takeProxy();
    EXPECT_LE(after.size(), 1u) << "no keep-alive after a failure";
    for (const Datagram& d : after)
        EXPECT_EQ(firstLine(d.text), "") << "only a keep-alive";
    h.advance(2000, 100);
    std::vector<Datagram> retry = h.takeProxy();
    ASSERT_GE(retry.size(), 1u);
    EXPECT_EQ(firstLine(retry[0].text), "REGISTER sip:127.0.0.1 SIP/2.0");
    EXPECT_NEAR(static_cast<double>(retry[0].at - tFail), 300000.0, 150.0);
}

TEST_F(RegisterTest, ARegistrarThatNeverAnswersGivesTimeoutAndARetryFiveMinutesLater) {
    const int64_t t0 = h.now();
    registerAt(h.proxy);
    h.advance(31900);
    EXPECT_EQ(h.takeProxy().size(), 11u);
    EXPECT_TRUE(registrations().empty());
    h.advance(200);
    EXPECT_EQ(registrations(), std::vector<std::string>{"registration 3 timeout"});
    h.advance(300000 - (h.now() - t0 - 32000) + 300, 100);
    std::vector<Datagram> retry = h.takeProxy();
    ASSERT_GE(retry.size(), 1u);
    EXPECT_EQ(firstLine(retry[0].text), "REGISTER sip:127.0.0.1 SIP/2.0");
    EXPECT_NEAR(static_cast<double>(retry[0].at - t0), 332000.0, 150.0);
}

TEST_F(RegisterTest, CancellingUnregistersWithExpiresZeroAndLeavesNoTimer) {
    registered("Expires: 600\r\n");
    h.endPoint.cancelRegistration();
    h.pump();
    const std::string unregister = takeOne();
    EXPECT_EQ(headerOf(unregister, "Expires"), "0");
    EXPECT_EQ(headerOf(unregister, "CSeq"), "2 REGISTER");
    h.fromProxy(responseTo(unregister, 200, "Unregistered"));
    EXPECT_EQ(registrations(), std::vector<std::string>{"registration 3 Unregistered"});
    EXPECT_EQ(h.phone.timerCount(), 0u);
    h.advance(60000, 10);
    EXPECT_TRUE(h.takeProxy().empty()) << "no keep-alive and no refresh";
}

TEST_F(RegisterTest, CancellingWhileARegisterIsPendingDropsItsLateAnswer) {
    registerAt(h.proxy);
    const std::string pending = takeOne();
    h.endPoint.cancelRegistration();
    h.pump();
    const std::string unregister = takeOne();
    EXPECT_EQ(headerOf(unregister, "Expires"), "0");
    h.fromProxy(responseTo(pending, 200, "OK"));
    EXPECT_TRUE(registrations().empty()) << "the dropped REGISTER's answer is ignored";
    h.fromProxy(responseTo(unregister, 200, "OK"));
    EXPECT_EQ(registrations(), std::vector<std::string>{"registration 3 OK"});
    EXPECT_EQ(h.phone.timerCount(), 0u);
}

TEST_F(RegisterTest, AChallengeThatCannotBeWrittenBackFailsAtOnce) {
    registerAt(h.proxy);
    h.fromProxy(responseTo(takeOne(), 401, "Unauthorized",
                           "WWW-Authenticate: Digest realm=\"r\", nonce=\"a\\\"b\\\\\"\r\n"));
    EXPECT_EQ(registrations(), std::vector<std::string>{"registration 2 Unauthorized"});
    EXPECT_TRUE(h.takeProxy().empty());
}

TEST_F(RegisterTest, TheAddressThatAnsweredTheRegisterMayOpenDialogs) {
    registerAt(h.proxy);
    const std::string reg = takeOne();
    // The registrar answers from another port; requests from there are accepted from then on.
    h.fromOther(responseTo(reg, 200, "OK"));
    EXPECT_EQ(registrations(), std::vector<std::string>{"registration 1 OK"});
    h.fromOther(requestText("OPTIONS", h.other.port, "from-registrar"));
    h.collect();
    ASSERT_EQ(h.otherReceived.size(), 1u);
    EXPECT_EQ(firstLine(h.otherReceived[0].text), "SIP/2.0 200 OK");
}

TEST_F(RegisterTest, ASecondRegistrationRetiresTheFirstWithItsTimersAndTransaction) {
    registered("Expires: 600\r\n");
    const std::string oldCallId = h.endPoint.getRegisterDialog()->callId;
    sip::SipProxy* oldProxy = h.endPoint.getProxy();
    // A dialog that still uses the old proxy keeps it alive.
    auto user = std::make_unique<RecordingDialog>(h);
    ASSERT_EQ(user->proxy, oldProxy);

    // A second registration while the first is registered; its first REGISTER goes unanswered for a while.
    h.endPoint.registerWithProxy("2002", "Other", "auth2002", "pw", "127.0.0.1", h.other.port);
    h.pump();
    h.collect();
    ASSERT_EQ(h.otherReceived.size(), 1u);
    EXPECT_EQ(headerOf(h.otherReceived[0].text, "To"), "<sip:2002@127.0.0.1>");
    EXPECT_NE(h.endPoint.getRegisterDialog()->callId, oldCallId);
    EXPECT_EQ(h.endPoint.dialogs.count(oldCallId), 0u);
    EXPECT_EQ(user->proxy->host, "127.0.0.1") << "the old proxy lives while a dialog uses it";
    user.reset();

    // A third one replaces the second while its REGISTER is still pending.
    h.endPoint.registerWithProxy("2003", "", "auth2003", "pw", "127.0.0.1", h.proxy.port);
    h.pump();
    const std::string third = takeOne();
    EXPECT_EQ(headerOf(third, "To"), "<sip:2003@127.0.0.1>");
    h.otherReceived.clear();
    h.fromProxy(responseTo(third, 200, "OK", "Expires: 600\r\n"));
    EXPECT_EQ(registrations(), std::vector<std::string>{"registration 1 OK"});

    h.advance(41000, 2);
    h.collect();
    EXPECT_TRUE(h.otherReceived.empty()) << "no retransmission of the replaced REGISTER";
    std::vector<Datagram> sent = h.takeProxy();
    ASSERT_EQ(sent.size(), 4u) << "the keep-alives of the current registration only";
    for (const Datagram& d : sent)
        EXPECT_EQ(d.text, "\r\n");
    EXPECT_EQ(h.endPoint.dialogCount(), 1u);
    EXPECT_EQ(h.phone.timerCount(), 2u) << "refresh and keep-alive of the current registration";
}

} // namespace
