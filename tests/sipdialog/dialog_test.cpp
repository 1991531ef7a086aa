// The dialog base: identity from a dial target or a received request, matching of in-dialog requests and
// responses, the transaction lists, challenges and the local address.
#include "DialogTestSupport.h"

#include "Md5.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace dialogtest;

namespace {

struct DialogTest : ::testing::Test {
    void SetUp() override { h.installProxy(); }
    Harness h;
};

TEST_F(DialogTest, TheDialTargetGivesTheRemoteUri) {
    struct Case {
        const char* target;
        const char* remoteUri;
    } cases[] = {
        {"3002", "sip:3002@127.0.0.1"},
        {"tel:+31201234567", "tel:+31201234567"},
        {"sip:alice@example.org", "sip:alice@example.org"},
        {":7", ":7"},
        {"", "sip:@127.0.0.1"},
    };
    for (const Case& c : cases) {
        struct Dial : sip::SipDialog {
            Dial(Harness& h, const char* target)
                : SipDialog(&h.endPoint, h.endPoint.getProxy(), target, "Name") {}
        } d(h, c.target);
        EXPECT_EQ(d.remoteUri, c.remoteUri) << c.target;
        EXPECT_EQ(d.remoteName, "Name");
        EXPECT_EQ(d.localUri, "sip:2001@127.0.0.1");
        EXPECT_EQ(d.localName, "Desk");
        EXPECT_EQ(d.calledName, "Desk");
        EXPECT_TRUE(d.calledUri.empty());
        EXPECT_EQ(d.callId.size(), 16u);
        EXPECT_EQ(d.localTag.size(), 16u);
        EXPECT_NE(d.callId, d.localTag);
        EXPECT_TRUE(d.remoteTag.empty());
        EXPECT_EQ(h.endPoint.dialogs.at(d.callId), &d);
    }
    EXPECT_EQ(h.endPoint.dialogCount(), 0u) << "every dialog leaves the Call-ID map when it goes";
}

TEST_F(DialogTest, AReceivedRequestGivesTheIdentityOfBothSides) {
    const std::string text = "INVITE sip:2001@127.0.0.1 SIP/2.0\r\n"
                             "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bKa\r\n"
                             "From: \"Alice \\\"A\\\"\" <sip:alice@127.0.0.1;user=phone>;tag=AbC\r\n"
                             "To: Desk Phone <sip:2001@127.0.0.1>\r\n"
                             "X-Brimel-From: \"Queue\" <sip:queue@127.0.0.1>\r\n"
                             "X-Brimel-To: <sip:sales@127.0.0.1>\r\n"
                             "Call-ID: xyz@127.0.0.1\r\n"
                             "CSeq: 17 INVITE\r\n"
                             "Content-Length: 0\r\n\r\n";
    Parsed p(text);
    RecordingDialog d(h, *p.message);
    EXPECT_EQ(d.callId, "xyz@127.0.0.1");
    EXPECT_EQ(d.remoteUri, "sip:alice@127.0.0.1;user=phone");
    EXPECT_EQ(d.remoteName, "Alice \"A\"");
    EXPECT_EQ(d.remoteTag, "AbC");
    EXPECT_EQ(d.localUri, "sip:2001@127.0.0.1");
    EXPECT_EQ(d.localName, "Desk Phone");
    EXPECT_EQ(d.calledUri, d.localUri);
    EXPECT_EQ(d.calledName, d.localName);
    EXPECT_TRUE(d.hasXFrom);
    EXPECT_EQ(d.xFromUri, "sip:queue@127.0.0.1");
    EXPECT_EQ(d.xFromName, "Queue");
    EXPECT_TRUE(d.hasXTo);
    EXPECT_EQ(d.xToUri, "sip:sales@127.0.0.1");
    EXPECT_EQ(d.remoteCSeq, 17);
    EXPECT_EQ(d.localCSeq, 0);
    EXPECT_EQ(d.localTag.size(), 16u);
    EXPECT_EQ(h.endPoint.dialogs.at("xyz@127.0.0.1"), &d);
}

TEST_F(DialogTest, InDialogRequestsAreCheckedByTagsAndCSeq) {
    Parsed first(requestText("INVITE", h.proxy.port, "c1", 5, "z9hG4bK1"));
    RecordingDialog d(h, *first.message);
    LogCapture::instance().take();
    h.takeProxy();
    struct Case {
        const char* what;
        const char* method;
        std::string fromTag;
        std::string toTag;
        int cseq;
        const char* event;  // "" when not handed on
        const char* log;    // "" when nothing is logged
        const char* answer; // the response's first line, "" for none
    } cases[] = {
        {"a foreign From tag is logged and dropped", "BYE", "other", d.localTag, 6, "",
         "tag from message (other)  doesn't match dialog tag (ft1)", ""},
        {"a foreign To tag is answered 481", "BYE", "ft1", "wrong", 6, "", "", "SIP/2.0 481 Call/Transaction Does Not Exist"},
        // Out of order: answered 500, and the remote CSeq stays.
        {"a lower CSeq is answered 500", "BYE", "ft1", d.localTag, 4, "",
         "old message BYE 4 (remote CSeq 5): answered 500", "SIP/2.0 500 CSeq out of order"},
        {"a lower CSeq of an INVITE too", "INVITE", "ft1", d.localTag, 3, "",
         "old message INVITE 3 (remote CSeq 5): answered 500", "SIP/2.0 500 CSeq out of order"},
        {"an old ACK is never answered", "ACK", "ft1", d.localTag, 2, "", "ignore old message ACK", ""},
        {"an old CANCEL is handed on", "CANCEL", "ft1", d.localTag, 2, "request CANCEL 2", "", ""},
        {"an equal CSeq counts as new", "BYE", "ft1", d.localTag, 5, "request BYE 5", "", ""},
        {"an empty To tag is accepted", "BYE", "ft1", "", 6, "request BYE 6", "", ""},
        {"a CSeq above 2^31 is newer, compared unsigned", "BYE", "ft1", d.localTag, -5, "request BYE -5", "", ""},
        {"and the lower one is old again", "BYE", "ft1", d.localTag, 7, "",
         "old message BYE 7 (remote CSeq -5): answered 500", "SIP/2.0 500 CSeq out of order"},
    };
    int n = 0;
    for (const Case& c : cases) {
        const std::string branch = "z9hG4bKb" + std::to_string(n++);
        // Each line is bounded per dialog: the row's own is due again.
        h.advance(kmt::LogBound::kDefaultIntervalMs, 1000);
        h.fromProxy(requestText(c.method, h.proxy.port, "c1", c.cseq, branch, c.fromTag, c.toTag));
        std::vector<std::string> events = d.takeEvents();
        if (*c.event)
            EXPECT_EQ(events, std::vector<std::string>{c.event}) << c.what;
        else
            EXPECT_TRUE(events.empty()) << c.what;
        std::vector<std::string> log = LogCapture::instance().take();
        if (*c.log)
            EXPECT_TRUE(LogCapture::instance().contains(log, std::string("sip_dialog: ") + c.log)) << c.what;
        else
            EXPECT_FALSE(LogCapture::instance().contains(log, "sip_dialog: ")) << c.what;
        std::vector<Datagram> sent = h.takeProxy();
        if (*c.answer) {
            ASSERT_EQ(sent.size(), 1u) << c.what;
            EXPECT_EQ(firstLine(sent[0].text), c.answer) << c.what;
            EXPECT_EQ(headerOf(sent[0].text, "CSeq"), std::to_string(c.cseq) + " " + c.method) << c.what;
            // A retransmission of the old request is answered again from its transaction.
            h.fromProxy(requestText(c.method, h.proxy.port, "c1", c.cseq, branch, c.fromTag, c.toTag));
            sent = h.takeProxy();
            ASSERT_EQ(sent.size(), 1u) << c.what;
            EXPECT_EQ(firstLine(sent[0].text), c.answer) << c.what;
            EXPECT_TRUE(d.takeEvents().empty()) << c.what;
        } else if (std::string(c.method) != "CANCEL") {
            EXPECT_TRUE(sent.empty()) << c.what;
        }
    }
}

// Anyone who has seen the Call-ID can send in-dialog requests with a foreign From tag or an old CSeq
// as fast as it likes: each kind costs one line per interval, and every old request is still answered.
TEST_F(DialogTest, FloodsOfForeignTagsAndOldCSeqsCostALineAnInterval) {
    Parsed first(requestText("INVITE", h.proxy.port, "c1", 5, "z9hG4bK1"));
    RecordingDialog d(h, *first.message);
    h.takeProxy();
    const struct {
        const char* name;
        std::string text;
        const char* line;
        const char* answer; // the response to each, "" for none
    } rows[] = {
        {"a foreign From tag", requestText("INFO", h.proxy.port, "c1", 6, "z9hG4bKf", "other", d.localTag),
         "doesn't match dialog tag", ""},
        {"an old CSeq", requestText("INFO", h.proxy.port, "c1", 0, "z9hG4bKo", "ft1", d.localTag),
         "old message INFO 0 (remote CSeq 5): answered 500", "SIP/2.0 500 CSeq out of order"},
        {"an old ACK", requestText("ACK", h.proxy.port, "c1", 1, "z9hG4bKa", "ft1", d.localTag),
         "ignore old message ACK", ""},
    };
    const kmt::SocketAddress from = loopback(h.proxy.port);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        h.advance(kmt::LogBound::kDefaultIntervalMs, 1000);
        LogCapture::instance().take();
        size_t answered = 0;
        const auto flood = [&](int count) {
            for (int i = 0; i < count; ++i) {
                h.endPoint.handleDatagram(row.text.data(), row.text.size(), from);
                h.collect(); // each answer is read before the next request goes
                for (const Datagram& sent : h.takeProxy())
                    answered += firstLine(sent.text) == row.answer;
            }
        };
        flood(1000);
        std::vector<std::string> lines = LogCapture::instance().take();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& l) { return l.find(row.line) != std::string::npos; }),
                  1);
        EXPECT_FALSE(LogCapture::instance().contains(lines, "more like it"));

        plat::testing::setWallClockOffsetMs(plat::testing::wallClockOffsetMs() +
                                            kmt::LogBound::kDefaultIntervalMs);
        flood(1);
        lines = LogCapture::instance().take();
        EXPECT_TRUE(LogCapture::instance().contains(lines, row.line));
        EXPECT_TRUE(LogCapture::instance().contains(lines, "(999 more like it not logged since the one before)"));
        EXPECT_EQ(answered, *row.answer ? 1001u : 0u) << "every old request is answered";
        EXPECT_TRUE(d.takeEvents().empty()) << "none reaches the dialog";
    }
}

TEST_F(DialogTest, ResponsesMustCarryOurFromTagAndTheKnownToTag) {
    RecordingDialog d(h);
    auto* request = new sip::SipNonInviteRequest(&d, h.proxy.address(), "BYE", "");
    request->send(1);
    h.pump();
    const std::string bye = h.takeProxy().at(0).text;
    d.remoteTag = "known";

    std::string foreignFrom = responseTo(bye, 200, "OK", "", "known");
    foreignFrom.replace(foreignFrom.find(d.localTag), d.localTag.size(), "someoneelse");
    h.fromProxy(foreignFrom);
    h.fromProxy(responseTo(bye, 200, "OK", "", "otherTag"));
    EXPECT_TRUE(d.events.empty()) << "dropped silently";

    std::string otherBranch = responseTo(bye, 200, "OK", "", "known");
    const std::string branch = paramOf(headerOf(bye, "Via"), "branch");
    otherBranch.replace(otherBranch.find(branch), branch.size(), "z9hG4bKnotours");
    h.fromProxy(otherBranch);
    EXPECT_EQ(d.takeEvents(), std::vector<std::string>{"unmatched 200"});

    h.fromProxy(responseTo(bye, 200, "OK", "", ""));
    EXPECT_EQ(d.takeEvents(), (std::vector<std::string>{"final 200", "finished BYE", "check finished"}))
        << "an empty To tag is accepted";
}

TEST_F(DialogTest, RemovingATransactionThatIsNotListedChangesNothing) {
    RecordingDialog d(h);
    auto* request = new sip::SipNonInviteRequest(&d, h.proxy.address(), "BYE", "");
    d.removeRequest(reinterpret_cast<sip::SipTransactionalRequest*>(&d));
    d.removeResponse(reinterpret_cast<sip::SipTransactionalResponse*>(&d));
    EXPECT_TRUE(d.events.empty());
    EXPECT_EQ(d.activeRequestCount(), 1u);
    delete request;
    EXPECT_EQ(d.takeEvents(), std::vector<std::string>{"check finished"});
}

TEST_F(DialogTest, ChallengesFillTheCredentialsAndUnsafeValuesAreRefused) {
    RecordingDialog d(h);
    struct Case {
        const char* header;
        bool usable;
        const char* realm;
        const char* nonce;
        const char* opaque;
    } cases[] = {
        {"Digest realm=\"127.0.0.1\", nonce=\"abc123\", opaque=\"op\", algorithm=MD5", true, "127.0.0.1",
         "abc123", "op"},
        {"Digest NONCE=\"n2\",Realm=\"r2\"", true, "r2", "n2", ""},
        {"Digest", true, "", "", ""},
        {"Digest realm=\"r\", nonce=\"a\\\"b\"", false, "", "", ""},
        {"Digest realm=\"r\\\\x\", nonce=\"n\"", false, "", "", ""},
    };
    for (const Case& c : cases) {
        const std::string text =
            std::string("SIP/2.0 401 Unauthorized\r\nCSeq: 1 REGISTER\r\nWWW-Authenticate: ") + c.header +
            "\r\n\r\n";
        Parsed p(text);
        sip::DigestCredentials credentials;
        credentials.ha1 = "stale";
        EXPECT_EQ(d.parseChallenge(*p.message, credentials, "WWW-Authenticate"), c.usable) << c.header;
        EXPECT_EQ(credentials.realm, c.realm) << c.header;
        EXPECT_EQ(credentials.nonce, c.nonce) << c.header;
        EXPECT_EQ(credentials.opaque, c.opaque) << c.header;
        if (c.usable)
            EXPECT_EQ(credentials.ha1, sip::md5Hex(std::string("auth2001:") + c.realm + ":secret"));
        else
            EXPECT_TRUE(credentials.ha1.empty()) << "a refused challenge is never answered";
    }
}

TEST_F(DialogTest, TheLocalAddressIsTheRouteTowardTheProxyWithTheSipPort) {
    RecordingDialog d(h);
    kmt::SocketAddress local = d.localAddress();
    EXPECT_EQ(local.toString(), "127.0.0.1");
    EXPECT_EQ(local.port(), h.sipPort());
}

} // namespace
