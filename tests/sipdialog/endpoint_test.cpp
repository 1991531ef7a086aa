// The end point: built by the phone, datagrams routed by Call-ID, the proxy-source rule, OPTIONS, the
// refusal of offerless calls, and bad input from anywhere that never stops the loop or leaves state behind.
#include "DialogTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

using namespace dialogtest;

namespace {

struct EndPointTest : ::testing::Test {
    Harness h;
};

TEST_F(EndPointTest, ThePhoneBuildsTheEndPointAsItsProtocolWithItsSocketOnThePhonesLoop) {
    EXPECT_NE(dynamic_cast<sip::SipEndPoint*>(h.phone.getProtocol()), nullptr);
    EXPECT_NE(h.sipPort(), 0) << "a port the system chose";
    // createLine makes an idle line with a new id; without a call, hanging up deletes it.
    kbrphone::Line* line = h.endPoint.createLine("Desk");
    EXPECT_EQ(line->getName(), "Desk");
    EXPECT_EQ(line->getLineId().size(), 16u);
    EXPECT_EQ(h.phone.lineCount(), 1u);
    line->hangup();
    EXPECT_EQ(h.phone.lineCount(), 0u);

    // processEvents runs the phone's loop on the calling thread: an OPTIONS is answered there.
    h.installProxy();
    std::thread loop([&] { h.endPoint.processEvents(); });
    h.proxy.sendTo(h.sipPort(), requestText("OPTIONS", h.proxy.port, "loop-1"));
    Datagram d;
    bool answered = false;
    for (int i = 0; i < 500 && !answered; ++i) {
        answered = h.proxy.poll(d);
        if (!answered)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    h.phone.stop();
    loop.join();
    ASSERT_TRUE(answered);
    EXPECT_EQ(firstLine(d.text), "SIP/2.0 200 OK");
}

TEST_F(EndPointTest, OptionsFromTheProxyAddressAndPortIsAnswered200AndLeavesNoDialog) {
    h.installProxy();
    const std::string options = requestText("OPTIONS", h.proxy.port, "opt-1", 7, "z9hG4bKopt");
    h.fromProxy(options);
    std::vector<Datagram> answers = h.takeProxy();
    ASSERT_EQ(answers.size(), 1u);
    const std::string& r = answers[0].text;
    EXPECT_EQ(firstLine(r), "SIP/2.0 200 OK");
    EXPECT_EQ(headerOf(r, "Call-ID"), "opt-1");
    EXPECT_EQ(headerOf(r, "CSeq"), "7 OPTIONS");
    EXPECT_EQ(paramOf(headerOf(r, "Via"), "branch"), "z9hG4bKopt");
    EXPECT_EQ(headerOf(r, "Content-Length"), "0");
    EXPECT_FALSE(paramOf(headerOf(r, "To"), "tag").empty());
    EXPECT_EQ(h.endPoint.dialogCount(), 0u);
    EXPECT_EQ(h.phone.timerCount(), 0u);

    // The same OPTIONS from another port of the same host gets nothing.
    h.fromOther(options);
    h.collect();
    EXPECT_TRUE(h.otherReceived.empty());
    EXPECT_TRUE(h.takeProxy().empty());
}

TEST_F(EndPointTest, RequestsAreAcceptedFromTheAddressThatLastAnsweredARegister) {
    h.installProxy();
    h.endPoint.getProxy()->registeredAddress = h.other.address();
    h.fromOther(requestText("OPTIONS", h.other.port, "opt-2"));
    h.collect();
    ASSERT_EQ(h.otherReceived.size(), 1u);
    EXPECT_EQ(firstLine(h.otherReceived[0].text), "SIP/2.0 200 OK");
}

TEST_F(EndPointTest, WithoutAProxyNothingOutsideADialogIsAnswered) {
    h.fromProxy(requestText("OPTIONS", h.proxy.port, "opt-3"));
    h.fromProxy(requestText("INVITE", h.proxy.port, "inv-3"));
    EXPECT_TRUE(h.takeProxy().empty());
    EXPECT_EQ(h.endPoint.dialogCount(), 0u);
}

TEST_F(EndPointTest, RequestsOutsideADialogThatAreNotServedAreRefusedAtOnce) {
    h.installProxy();
    const struct {
        const char* method;
        const char* answer; // empty: none
    } rows[] = {
        {"INFO", "SIP/2.0 405 Method Not Allowed"},      {"UPDATE", "SIP/2.0 405 Method Not Allowed"},
        {"MESSAGE", "SIP/2.0 405 Method Not Allowed"},   {"SUBSCRIBE", "SIP/2.0 405 Method Not Allowed"},
        {"NOTIFY", "SIP/2.0 405 Method Not Allowed"},    {"REFER", "SIP/2.0 405 Method Not Allowed"},
        {"PUBLISH", "SIP/2.0 405 Method Not Allowed"},   {"PRACK", "SIP/2.0 405 Method Not Allowed"},
        {"OPTIONS", "SIP/2.0 200 OK"},                   {"BYE", "SIP/2.0 481 Call/Transaction Does Not Exist"},
        {"CANCEL", "SIP/2.0 481 Call/Transaction Does Not Exist"}, {"ACK", ""},
    };
    int cseq = 0;
    for (const auto& row : rows) {
        const std::string callId = std::string("none-") + row.method;
        ++cseq;
        h.fromProxy(requestText(row.method, h.proxy.port, callId, cseq, "z9hG4bKnone" + std::to_string(cseq)));
        std::vector<Datagram> answers = h.takeProxy();
        if (!*row.answer) {
            EXPECT_TRUE(answers.empty()) << row.method;
            continue;
        }
        ASSERT_EQ(answers.size(), 1u) << row.method;
        EXPECT_EQ(firstLine(answers[0].text), row.answer) << row.method;
        EXPECT_EQ(headerOf(answers[0].text, "CSeq"), std::to_string(cseq) + " " + row.method);
        EXPECT_EQ(headerOf(answers[0].text, "Call-ID"), callId);
        // A 405 names what is served outside a call; the other answers what a call serves.
        EXPECT_EQ(headerOf(answers[0].text, "Allow"), std::string(row.answer).find(" 405 ") != std::string::npos
                                                          ? "INVITE, ACK, CANCEL, BYE, OPTIONS"
                                                          : "INVITE, ACK, CANCEL, BYE, REFER, SUBSCRIBE, NOTIFY")
            << row.method;
        // The same request from anywhere but the proxy gets nothing.
        h.fromOther(requestText(row.method, h.other.port, callId + "-other", cseq));
        h.collect();
        EXPECT_TRUE(h.otherReceived.empty()) << row.method << " from another address";
    }
    EXPECT_EQ(h.endPoint.dialogCount(), 0u);
    EXPECT_EQ(h.phone.timerCount(), 0u);
}

TEST_F(EndPointTest, ResponsesOfNoDialogAreDroppedWithoutAnAnswer) {
    h.installProxy();
    h.fromProxy("SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1;branch=z9hG4bKx\r\nFrom: <sip:a@b>;tag=1\r\n"
                "To: <sip:a@b>\r\nCall-ID: nobody\r\nCSeq: 1 REGISTER\r\n\r\n");
    EXPECT_TRUE(h.takeProxy().empty());
    EXPECT_EQ(h.endPoint.dialogCount(), 0u);
    EXPECT_EQ(h.phone.timerCount(), 0u);
}

TEST_F(EndPointTest, AnIncomingInviteWithoutAnOfferIsRefused400AndLeavesNothingOnceItsAnswerEnds) {
    h.installProxy();
    h.fromProxy(requestText("INVITE", h.proxy.port, "inv-1", 1, "z9hG4bKinv"));
    std::vector<Datagram> answers = h.takeProxy();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(firstLine(answers[0].text), "SIP/2.0 400 unrecognized ContentType");
    EXPECT_EQ(headerOf(answers[0].text, "CSeq"), "1 INVITE");
    EXPECT_EQ(h.phone.lineCount(), 0u);
    // Its ACK and a retransmission reach the dialog's transaction; the retransmission gets the 400 again.
    h.fromProxy(requestText("INVITE", h.proxy.port, "inv-1", 1, "z9hG4bKinv"));
    h.fromProxy(requestText("ACK", h.proxy.port, "inv-1", 1, "z9hG4bKinv"));
    answers = h.takeProxy();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(firstLine(answers[0].text), "SIP/2.0 400 unrecognized ContentType");
    h.advance(36000, 20);
    EXPECT_EQ(h.endPoint.dialogCount(), 0u);
    EXPECT_EQ(h.phone.timerCount(), 0u);
    EXPECT_EQ(h.phone.lineCount(), 0u);
}

TEST_F(EndPointTest, BadDatagramsFromAnywhereNeverStopTheLoopOrLeaveStateBehind) {
    h.installProxy();
    const std::string options = requestText("OPTIONS", h.proxy.port, "good");
    std::string manyVias = "OPTIONS sip:2001@127.0.0.1 SIP/2.0\r\n";
    for (int i = 0; i < 500; ++i)
        manyVias += "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(h.proxy.port) + ";branch=z9hG4bK" +
                    std::to_string(i) + ";rport;received\r\n";
    manyVias += "From: <sip:x@127.0.0.1>;tag=1\r\nTo: <sip:2001@127.0.0.1>\r\nCall-ID: vias\r\nCSeq: 1 "
                "OPTIONS\r\n\r\n";
    const std::string cases[] = {
        "",
        "\r\n",
        "\r\n\r\n",
        std::string("\0\0\0\xff\xfe garbage", 14),
        "SIP/2.0 abc Bad\r\nCall-ID: x\r\n\r\n",
        "SIP/3.0 200 OK\r\nCall-ID: x\r\n\r\n",
        "SIP",
        "OPTIONS sip:2001@127.0.0.1 SIP/2.0\r\nCSeq: 1 INVITE\r\nCall-ID: mismatch\r\n\r\n",
        "OPTIONS sip:2001@127.0.0.1\r\nCSeq: 1 OPTIONS\r\n\r\n",
        "OPTIONS sip:2001@127.0.0.1 SIP/2.0\r\nCSeq: 1 OPTIONS\r\n\r\n",
        "INVITE sip:2001@127.0.0.1 SIP/2.0\r\nCSeq: 1 INVITE\r\nVia: ;;;=;rport\r\nFrom: <<<>>>;tag\r\nTo: "
        "\"\r\n\r\n",
        "OPTIONS sip:2001@127.0.0.1 SIP/2.0\r\nno colon line\r\n   folded\r\nCSeq: 99999999999999999999 "
        "OPTIONS\r\n\r\n",
        "OPTIONS sip:2001@127.0.0.1 SIP/2.0\r\nCSeq: -1 OPTIONS\r\nVia: SIP/2.0/UDP "
        "[::1]:99999;rport=abc\r\n\r\n",
        manyVias,
    };
    for (const std::string& c : cases) {
        h.fromProxy(c);
        h.fromOther(c);
    }
    h.takeProxy();
    // A malformed INVITE from the proxy is refused 400; its dialog goes when that answer has ended.
    h.advance(36000, 20);
    h.takeProxy();
    EXPECT_EQ(h.endPoint.dialogCount(), 0u);
    EXPECT_EQ(h.phone.timerCount(), 0u);
    h.fromProxy(options);
    std::vector<Datagram> answers = h.takeProxy();
    ASSERT_EQ(answers.size(), 1u) << "the loop still answers";
    EXPECT_EQ(firstLine(answers[0].text), "SIP/2.0 200 OK");
}

TEST_F(EndPointTest, AnExceptionWhileHandlingOneDatagramIsLoggedAndTheNextIsHandled) {
    h.installProxy();
    Parsed invite(requestText("INVITE", h.proxy.port, "thrower", 1));
    RecordingDialog d(h, *invite.message);
    d.onRequestAction = [](const kmt::SocketAddress&, sip::SipInMessage&) {
        throw std::runtime_error("boom");
    };
    LogCapture::instance().take();
    h.fromProxy(requestText("BYE", h.proxy.port, "thrower", 2, "z9hG4bKb", "ft1", d.localTag));
    EXPECT_TRUE(LogCapture::instance().contains(LogCapture::instance().take(), "caught exception: boom"));
    d.onRequestAction = nullptr;
    h.fromProxy(requestText("BYE", h.proxy.port, "thrower", 3, "z9hG4bKc", "ft1", d.localTag));
    EXPECT_EQ(d.takeEvents(), (std::vector<std::string>{"request BYE 2", "request BYE 3"}));
}

TEST_F(EndPointTest, ALargeDatagramIsHandledWholeAndAReadErrorIsLoggedAndSkipped) {
    h.installProxy();
    std::string big = requestText("OPTIONS", h.proxy.port, "big");
    big.insert(big.find("Content-Length"), "X-Pad: " + std::string(60000, 'a') + "\r\n");
    ASSERT_GT(big.size(), 60000u);
    h.fromProxy(big);
    std::vector<Datagram> answers = h.takeProxy();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(headerOf(answers[0].text, "Call-ID"), "big");

    LogCapture::instance().take();
    plat::testing::failNext("recvfrom", plat::WSAEMSGSIZE);
    h.fromProxy(requestText("OPTIONS", h.proxy.port, "after-error"));
    plat::testing::clearFailures();
    std::vector<std::string> log = LogCapture::instance().take();
    EXPECT_TRUE(LogCapture::instance().contains(log, "sip_core: ignoring socket read error"));
    EXPECT_TRUE(LogCapture::instance().contains(log, "dropped a datagram longer than 65535 bytes"));
    // The loop goes on reading.
    h.fromProxy(requestText("OPTIONS", h.proxy.port, "still-there"));
    bool answered = false;
    for (const Datagram& d : h.takeProxy())
        answered = answered || headerOf(d.text, "Call-ID") == "still-there";
    EXPECT_TRUE(answered);
}

TEST_F(EndPointTest, AtLevel3OfSipCoreRegisterTrafficIsNotLoggedButOtherTrafficIs) {
    h.installProxy();
    LogCapture::instance().take();
    h.fromProxy(requestText("OPTIONS", h.proxy.port, "logged"));
    h.fromProxy("SIP/2.0 200 OK\r\nCall-ID: reg\r\nCSeq: 1 REGISTER\r\n\r\n");
    std::vector<std::string> log = LogCapture::instance().take();
    const std::string received = "sip_core: received from 127.0.0.1:" + std::to_string(h.proxy.port) + ":\n";
    EXPECT_TRUE(LogCapture::instance().contains(log, received + "OPTIONS sip:2001@127.0.0.1 SIP/2.0"));
    EXPECT_TRUE(LogCapture::instance().contains(log, "sip_core: sending to : 127.0.0.1:"));
    EXPECT_FALSE(LogCapture::instance().contains(log, "CSeq: 1 REGISTER"));
}

TEST_F(EndPointTest, TheProxyIsResolvedOnTheCallingThreadAndPort0MeansTheSipPort) {
    h.endPoint.setProxy("2001", "Desk", "a", "p", "127.0.0.1", 0);
    h.pump();
    ASSERT_NE(h.endPoint.getProxy(), nullptr);
    EXPECT_EQ(h.endPoint.getProxy()->addresses.at(0).port(), 5060);
    EXPECT_EQ(h.endPoint.getProxy()->host, "127.0.0.1");
    EXPECT_EQ(h.endPoint.getProxy()->authUser, "a");
    sip::SipProxy* before = h.endPoint.getProxy();
    // Under IPv4 an IPv6 literal resolves to nothing; a port out of range is refused, not wrapped.
    EXPECT_THROW(h.endPoint.registerWithProxy("2001", "", "a", "p", "::1", 5060), std::exception);
    EXPECT_THROW(h.endPoint.registerWithProxy("2001", "", "a", "p", "127.0.0.1", 70000), std::runtime_error);
    EXPECT_THROW(h.endPoint.setProxy("2001", "", "a", "p", "127.0.0.1", -1), std::runtime_error);
    h.pump();
    EXPECT_EQ(h.endPoint.getProxy(), before) << "nothing was posted";
    EXPECT_EQ(h.endPoint.getRegisterDialog(), nullptr);
}

} // namespace

// A burst that arrives while the loop is busy waits in the socket: every request of it is answered.
TEST(EndPointBurst, AThousandRequestsArrivingAtOnceAreAllAnswered) {
    Harness h;
    h.installProxy();
    // What this system grants at most (a probe socket asks for the same size).
    kmt::Socket probe;
    probe.bindUdp(loopback(0));
    const int asked = sip::SipEndPoint::kSocketBufferBytes;
    plat::setsockopt(probe.handle(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&asked), sizeof asked);
    int possible = 0, granted = 0;
    int length = sizeof possible;
    plat::getsockopt(probe.handle(), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<char*>(&possible), &length);
    length = sizeof granted;
    ASSERT_EQ(0, plat::getsockopt(h.endPoint.socket.handle(), SOL_SOCKET, SO_RCVBUF,
                                  reinterpret_cast<char*>(&granted), &length));
    EXPECT_EQ(granted, possible) << "the end point asks for as much as the system grants";
    if (possible < asked)
        GTEST_SKIP() << "the system grants only " << possible << " bytes of receive buffer (net.core.rmem_max)";
    // The peer's own buffer must hold the answers until it reads them.
    const int peerBuffer = 8 << 20;
    ::setsockopt(h.proxy.fd, SOL_SOCKET, SO_RCVBUFFORCE, &peerBuffer, sizeof peerBuffer);

    constexpr int kBurst = 1000;
    for (int i = 0; i < kBurst; ++i)
        h.proxy.sendTo(h.sipPort(), requestText("OPTIONS", h.proxy.port, "burst-" + std::to_string(i), i + 1));
    for (int i = 0; i < 4 * kBurst && h.proxyReceived.size() < size_t(kBurst); ++i) {
        h.cycle();
        if (i % 50 == 0)
            h.collect();
    }
    h.collect();
    size_t ok = 0;
    for (const Datagram& d : h.proxyReceived)
        ok += firstLine(d.text) == "SIP/2.0 200 OK";
    EXPECT_EQ(ok, size_t(kBurst));
}

// A Content-Length longer than the bytes that came means the datagram was cut: it is dropped with a log
// line. Shorter or equal lengths, and values that are no number, leave the message as it is.
TEST_F(EndPointTest, AMessageShorterThanItsContentLengthIsDroppedAndLogged) {
    struct Case {
        const char* lengthHeader;
        const char* body;
        bool answered;
    };
    const Case cases[] = {
        {"Content-Length: 0", "", true},
        {"Content-Length: 10", "0123456789", true},
        {"Content-Length: 4", "0123456789", true},
        {"Content-Length: 50", "0123456789", false},
        {"l: 99", "", false},
        {"Content-Length: 99999999999999", "", true}, // no sensible number: not judged here
        {"Content-Length: ten", "", true},
    };
    h.installProxy();
    int n = 0;
    for (const Case& c : cases) {
        std::string text = requestText("OPTIONS", h.proxy.port, "cl-" + std::to_string(++n));
        text.replace(text.find("Content-Length: 0"), 17, c.lengthHeader);
        text += c.body;
        // Each row is an interval after the one before, so its line is not held back by the bound.
        h.advance(kmt::LogBound::kDefaultIntervalMs, 1000);
        h.takeProxy();
        LogCapture::instance().take();
        h.fromProxy(text);
        const std::vector<Datagram> answers = h.takeProxy();
        EXPECT_EQ(answers.size(), c.answered ? 1u : 0u) << c.lengthHeader;
        EXPECT_EQ(LogCapture::instance().contains(LogCapture::instance().take(), "is longer than its body"),
                  !c.answered)
            << c.lengthHeader;
    }
    EXPECT_EQ(h.endPoint.dialogCount(), 0u);
}

// A sender repeating a datagram that the end point drops or fails on gets one line of it, then one
// per interval that tells how many were left out; the datagrams themselves are all handled.
TEST_F(EndPointTest, LinesThatAnySenderCausesPerDatagramAreBounded) {
    h.installProxy();
    Parsed invite(requestText("INVITE", h.proxy.port, "thrower", 1));
    RecordingDialog d(h, *invite.message);
    d.onRequestAction = [](const kmt::SocketAddress&, sip::SipInMessage&) {
        throw std::runtime_error("boom");
    };
    std::string cut = requestText("OPTIONS", h.proxy.port, "cut");
    cut.replace(cut.find("Content-Length: 0"), 17, "Content-Length: 50");
    const struct {
        const char* name;
        std::string text;
        const char* line;
    } rows[] = {
        {"cut short", cut, "is longer than its body"},
        {"failing", requestText("BYE", h.proxy.port, "thrower", 2, "z9hG4bKb", "ft1", d.localTag),
         "caught exception: boom"},
    };
    const kmt::SocketAddress from = kmt::SocketAddress::fromHost("127.0.0.1").withPort(h.proxy.port);
    for (const auto& row : rows) {
        h.advance(kmt::LogBound::kDefaultIntervalMs, 1000);
        LogCapture::instance().take();
        for (int i = 0; i < 1000; ++i)
            h.endPoint.handleDatagram(row.text.data(), row.text.size(), from);
        std::vector<std::string> lines = LogCapture::instance().take();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [&](const std::string& l) { return l.find(row.line) != std::string::npos; }),
                  1)
            << row.name;
        EXPECT_FALSE(LogCapture::instance().contains(lines, "more like it")) << row.name;

        plat::testing::setWallClockOffsetMs(plat::testing::wallClockOffsetMs() +
                                            kmt::LogBound::kDefaultIntervalMs);
        h.endPoint.handleDatagram(row.text.data(), row.text.size(), from);
        lines = LogCapture::instance().take();
        EXPECT_TRUE(LogCapture::instance().contains(lines, row.line)) << row.name;
        EXPECT_TRUE(LogCapture::instance().contains(lines, "(999 more like it not logged since the one before)"))
            << row.name;
    }
    EXPECT_EQ(d.takeEvents().size(), 1001u) << "every datagram reached the dialog";
}
