// The RTP session against plain UDP peers on loopback: the packets it writes, telephone events,
// hold and the timestamp catch-up, keep-alive and the sender report, and audio between two sessions.
#include "RTPSession.h"
#include "plat/time.h"
#include "rtp_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cmath>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using rtptest::UdpPeer;
using Bytes = std::vector<uint8_t>;

// Wakes a scheduler so that it looks at its timers again.
struct Poke : kmt::EventCallbackBase {
    void invoke() override {}
};

// Counts its runs; posted behind a due timer, its run shows that the timer's work is done.
struct Marker : kmt::EventCallbackBase {
    void invoke() override {
        std::lock_guard<std::mutex> guard(mutex);
        ++runs;
        changed.notify_all();
    }
    bool waitFor(int n, int timeoutMs) {
        std::unique_lock<std::mutex> guard(mutex);
        return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return runs >= n; });
    }
    std::mutex mutex;
    std::condition_variable changed;
    int runs = 0;
};

std::vector<int16_t> tone(int frame, double hz, int amplitude) {
    std::vector<int16_t> f(160);
    for (int i = 0; i < 160; ++i)
        f[size_t(i)] = static_cast<int16_t>(amplitude * std::sin(2 * M_PI * hz * (frame * 160 + i) / 8000.0));
    return f;
}

std::vector<int16_t> throughALaw(const std::vector<int16_t>& in) {
    std::vector<int16_t> out;
    for (int16_t s : in)
        out.push_back(rtp::RTPSession::decodeALaw(rtp::RTPSession::encodeALaw(s)));
    return out;
}

// Takes one frame from a session once it is ready, waiting at most timeoutMs.
bool takeFrame(rtp::RTPSession& s, std::vector<int16_t>& out, int timeoutMs = 2000) {
    out.assign(160, 0);
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (s.getFrame(0, out.data(), 160, true))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

rtp::RTPPacket decode(const Bytes& d) {
    return rtp::RTPStream::decodeRTP(d.data(), d.size());
}

class SessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        uint16_t port = rtptest::freeUdpPortPair();
        rtpPeer = std::make_unique<UdpPeer>(port);
        rtcpPeer = std::make_unique<UdpPeer>(static_cast<uint16_t>(port + 1));
        session = std::make_unique<rtp::RTPSession>();
    }
    void TearDown() override {
        session.reset();
        plat::testing::setWallClockOffsetMs(0);
    }

    void startSession(int telephoneEvent = -1) {
        session->start(rtpPeer->address(), kmt::SocketAddress(), telephoneEvent);
    }
    // Moves the wall clock past the 5 s timers and wakes the receive thread's scheduler.
    void tick() {
        clockOffset += 5001;
        plat::testing::setWallClockOffsetMs(clockOffset);
        session->getStream().getScheduler().addTimer(0, &poke);
    }
    void putFrame(uint32_t number, std::vector<int16_t> samples) {
        session->putFrame(number, samples.data(), static_cast<int>(samples.size()));
    }
    Bytes expectPacket(UdpPeer& peer) {
        Bytes d;
        EXPECT_TRUE(peer.receive(d, 2000)) << "no packet";
        return d;
    }

    // tick(), then waits until the keep-alive timer's run is over: its log line shows that it has
    // begun, and a marker posted after that runs once it has ended (one thread runs the timers).
    // Then it waits for the sender report armed with the keep-alive, due a moment after it: the
    // scheduler carries a clock step only up to its first timer, so a report still waiting at the
    // next tick would take that tick's step, and the keep-alive would not be due.
    void tickAndWait() {
        const std::string line = "keep alive called on " + std::to_string(session->getSsrc());
        rtptest::CaptureLog& log = rtptest::CaptureLog::instance();
        const size_t runs = log.count("rtp", 2, line);
        tick();
        ASSERT_EQ(log.waitFor(runs + 1, "rtp", 2, line, 3000), runs + 1) << "the keep-alive did not run";
        int before;
        {
            std::lock_guard<std::mutex> guard(marker.mutex);
            before = marker.runs;
        }
        kmt::EventScheduler& scheduler = session->getStream().getScheduler();
        scheduler.addTimer(0, &marker);
        ASSERT_TRUE(marker.waitFor(before + 1, 3000)) << "the receive thread's scheduler did not run";
        for (int i = 0; i < 300 && scheduler.timerCount() > 1; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(scheduler.timerCount(), 1u) << "timers other than the keep-alive are left";
    }

    Poke poke; // outlives the session whose scheduler may hold it
    Marker marker;
    int64_t clockOffset = 0;
    std::unique_ptr<UdpPeer> rtpPeer;
    std::unique_ptr<UdpPeer> rtcpPeer;
    std::unique_ptr<rtp::RTPSession> session;
};

TEST_F(SessionTest, AudioFramesBecomeALawPackets) {
    // Without a remote address nothing goes out, but the timestamp follows the frames.
    for (int i = 0; i < 3; ++i)
        putFrame(uint32_t(i), tone(i, 440, 9000));
    EXPECT_TRUE(rtpPeer->drain(100).empty());

    startSession();
    for (int i = 0; i < 3; ++i) {
        std::vector<int16_t> frame = tone(i, 1000, 20000);
        putFrame(uint32_t(10 + i), frame);
        Bytes d = expectPacket(*rtpPeer);
        ASSERT_EQ(d.size(), 172u);
        EXPECT_EQ(d[0], 0x80);
        EXPECT_EQ(d[1], 8) << "payload type 8, no marker";
        rtp::RTPPacket p = decode(d);
        EXPECT_EQ(p.header.sequenceNumber, i);
        EXPECT_EQ(p.header.timestamp, uint32_t(480 + 160 * i));
        EXPECT_EQ(p.header.ssrc, session->getSsrc());
        for (int k = 0; k < 160; ++k)
            ASSERT_EQ(p.payload[k], rtp::RTPSession::encodeALaw(frame[size_t(k)])) << k;
    }

    // More than 800 samples are not sent; 800 are.
    std::vector<int16_t> big(801, 100);
    putFrame(20, big);
    big.resize(800);
    putFrame(21, big);
    Bytes d = expectPacket(*rtpPeer);
    EXPECT_EQ(d.size(), 812u);
    EXPECT_TRUE(rtpPeer->drain(100).empty());
}

struct EventPacket {
    bool isEvent;
    int marker;
    uint16_t sequence;
    uint32_t timestamp;
    int code;
    bool end;
    int duration;
};

EventPacket parse(const Bytes& d) {
    rtp::RTPPacket p = decode(d);
    EventPacket e{p.header.payloadType == 101,
                  p.header.marker,
                  p.header.sequenceNumber,
                  p.header.timestamp,
                  -1,
                  false,
                  -1};
    if (e.isEvent && p.payloadLength == 4) {
        e.code = p.payload[0];
        e.end = (p.payload[1] & 0x80) != 0;
        EXPECT_EQ(p.payload[1] & 0x3F, 10) << "volume";
        e.duration = rtp::loadBE16(p.payload + 2);
    }
    return e;
}

TEST_F(SessionTest, TelephoneEventReplacesFourteenFramesThenEndsThreeTimes) {
    startSession(101);
    putFrame(0, tone(0, 440, 5000));
    ASSERT_TRUE(session->sendDtmf('5'));
    for (int i = 1; i <= 18; ++i)
        putFrame(uint32_t(i), tone(i, 440, 5000));

    std::vector<EventPacket> got;
    for (int i = 0; i < 1 + 14 + 1 + 2 * 2 + 1; ++i)
        got.push_back(parse(expectPacket(*rtpPeer)));
    EXPECT_TRUE(rtpPeer->drain(100).empty());

    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(got[i].sequence, i) << "one sequence for events and audio";
    EXPECT_FALSE(got[0].isEvent);
    EXPECT_EQ(got[0].timestamp, 0u);
    for (int k = 1; k <= 14; ++k) {
        SCOPED_TRACE(k);
        EXPECT_TRUE(got[size_t(k)].isEvent);
        EXPECT_EQ(got[size_t(k)].marker, k == 1 ? 1 : 0);
        EXPECT_EQ(got[size_t(k)].timestamp, 160u) << "every packet carries the event's start";
        EXPECT_EQ(got[size_t(k)].code, 5);
        EXPECT_FALSE(got[size_t(k)].end);
        EXPECT_EQ(got[size_t(k)].duration, 160 * k);
    }
    // The 15th frame is replaced by the first end packet; two more go out beside frames 16, 17.
    const size_t endPackets[] = {15, 16, 18};
    for (size_t k : endPackets) {
        SCOPED_TRACE(k);
        EXPECT_TRUE(got[k].isEvent);
        EXPECT_TRUE(got[k].end);
        EXPECT_EQ(got[k].duration, 2400);
        EXPECT_EQ(got[k].timestamp, 160u);
        EXPECT_EQ(got[k].marker, 0);
    }
    const size_t audio[] = {17, 19, 20};
    for (size_t k : audio) {
        SCOPED_TRACE(k);
        EXPECT_FALSE(got[k].isEvent);
    }
    EXPECT_EQ(got[17].timestamp, 160u + 15 * 160) << "the event's frames advanced the timestamp";
    EXPECT_EQ(got[19].timestamp, got[17].timestamp + 160);
    EXPECT_EQ(got[20].timestamp, got[19].timestamp + 160);
}

TEST_F(SessionTest, TelephoneEventCodes) {
    startSession(101);
    const struct {
        char key;
        int code;
    } keys[] = {{'0', 0}, {'9', 9}, {'*', 10}, {'#', 11}, {'A', 12}, {'D', 15}, {'X', 255}, {'a', 255}};
    for (const auto& k : keys) {
        SCOPED_TRACE(k.key);
        // A new key restarts the event at once, with the marker again.
        ASSERT_TRUE(session->sendDtmf(k.key));
        putFrame(0, tone(0, 440, 5000));
        EventPacket e = parse(expectPacket(*rtpPeer));
        EXPECT_TRUE(e.isEvent);
        EXPECT_EQ(e.code, k.code);
        EXPECT_EQ(e.marker, 1);
        EXPECT_EQ(e.duration, 160);
    }

    rtp::RTPSession withoutEvents;
    withoutEvents.start(rtpPeer->address(), kmt::SocketAddress(), -1);
    EXPECT_FALSE(withoutEvents.sendDtmf('1'));
}

TEST_F(SessionTest, HoldSendsNothingAndPlaysSilence) {
    startSession();
    uint8_t payload[160];
    for (int i = 0; i < 160; ++i)
        payload[i] = rtp::RTPSession::encodeALaw(static_cast<int16_t>(1000 + 10 * i));
    rtp::RTPHeader h;
    h.payloadType = 8;
    h.sequenceNumber = 1;
    session->receivePacket(h, payload, sizeof payload);

    session->hold();
    EXPECT_TRUE(session->isHeld());
    putFrame(1, tone(1, 440, 5000));
    EXPECT_TRUE(rtpPeer->drain(100).empty());
    std::vector<int16_t> frame(160, 0x1234);
    EXPECT_TRUE(session->getFrame(0, frame.data(), 160, false));
    EXPECT_EQ(frame, std::vector<int16_t>(160, 0));
    h.sequenceNumber = 2;
    session->receivePacket(h, payload, sizeof payload); // dropped while held

    session->unhold();
    EXPECT_FALSE(session->isHeld());
    EXPECT_FALSE(session->getFrame(0, frame.data(), 160, true)) << "the buffer was reset";
    h.sequenceNumber = 3;
    session->receivePacket(h, payload, sizeof payload);
    ASSERT_TRUE(session->getFrame(0, frame.data(), 160, true));
    EXPECT_EQ(frame[0], rtp::RTPSession::decodeALaw(payload[0]));

    // The held frame still counted: the first packet sent is a frame on.
    putFrame(2, tone(2, 440, 5000));
    rtp::RTPPacket p = decode(expectPacket(*rtpPeer));
    EXPECT_GE(p.header.timestamp, 160u);
}

// The direction answered to the far end's offer: audio (and relayed payloads) go out only when the
// answer lets us send; while it does not, the keep-alives still go every tick, as on a hold of ours.
TEST_F(SessionTest, TheAnsweredDirectionDecidesWhetherAudioGoesOut) {
    const struct {
        int direction;
        bool audio;
    } cases[] = {{0, false}, {1, true}, {2, true}, {3, false}};
    startSession();
    uint32_t frame = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE("answered " + std::to_string(c.direction));
        session->setAnsweredDirection(c.direction);
        EXPECT_EQ(session->maySend(), c.audio);
        putFrame(frame, tone(int(frame), 440, 5000));
        ++frame;
        const uint8_t relayed[160] = {};
        session->sendPayload(8, relayed, sizeof relayed, 0);
        std::vector<Bytes> sent = rtpPeer->drain(100);
        EXPECT_EQ(sent.size(), c.audio ? 2u : 0u);
        // Two ticks: a keep-alive on each, but for the first after audio went out.
        tickAndWait();
        tickAndWait();
        sent = rtpPeer->drain(100);
        ASSERT_EQ(sent.size(), c.audio ? 1u : 2u) << "keep-alives";
        for (const Bytes& k : sent)
            EXPECT_EQ(k.size(), 13u);
    }
    session->stop();
}

TEST_F(SessionTest, UnholdCatchesUpTheTimestampAndNeverGoesBack) {
    const struct {
        const char* name;
        int64_t shiftMs;
        uint32_t minJump, maxJump;
    } cases[] = {
        {"three seconds", 3000, 24000, 24000 + 8 * 1000},
        {"a minute is capped at five seconds", 60000, 40000, 40000},
        {"clock set back an hour", -3600000, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plat::testing::setWallClockOffsetMs(0);
        session = std::make_unique<rtp::RTPSession>();
        startSession();
        putFrame(0, tone(0, 440, 5000));
        const uint32_t before = decode(expectPacket(*rtpPeer)).header.timestamp;
        session->hold();
        plat::testing::setWallClockOffsetMs(c.shiftMs);
        session->unhold();
        putFrame(1, tone(1, 440, 5000));
        const uint32_t after = decode(expectPacket(*rtpPeer)).header.timestamp;
        const int64_t jump = int64_t(int32_t(after - before)) - 160;
        EXPECT_GE(jump, int64_t(c.minJump));
        EXPECT_LE(jump, int64_t(c.maxJump));
        // A restart right after does not count the same gap twice.
        session->restart();
        putFrame(2, tone(2, 440, 5000));
        const uint32_t again = decode(expectPacket(*rtpPeer)).header.timestamp;
        EXPECT_GE(int32_t(again - after), 160);
        EXPECT_LE(int32_t(again - after), 160 + 8 * 1000);
        session->stop();
    }
}

TEST_F(SessionTest, KeepAliveEveryFiveSecondsAndOneSenderReport) {
    // Starting three times keeps one entry of each timer.
    startSession();
    startSession();
    startSession();
    EXPECT_EQ(session->getStream().getScheduler().timerCount(), 2u);

    session->hold(); // keep-alive goes out held or not
    tick();
    Bytes keepAlive = expectPacket(*rtpPeer);
    ASSERT_EQ(keepAlive.size(), 13u);
    rtp::RTPPacket ka = decode(keepAlive);
    EXPECT_EQ(ka.header.marker, 1);
    EXPECT_EQ(ka.header.payloadType, 8);
    EXPECT_EQ(ka.payload[0], 0xD5);

    Bytes report = expectPacket(*rtcpPeer);
    ASSERT_EQ(report.size(), 28u);
    EXPECT_EQ(report[0], 0x80);
    EXPECT_EQ(report[1], 200);
    EXPECT_EQ(rtp::loadBE16(report.data() + 2), 6) << "length in 32-bit words minus one";
    EXPECT_EQ(rtp::loadBE32(report.data() + 4), session->getSsrc());
    EXPECT_EQ(rtp::loadBE32(report.data() + 16), ka.header.timestamp + 1) << "the keep-alive's one sample";

    EXPECT_TRUE(rtpPeer->drain(300).empty()) << "one keep-alive per tick";
    EXPECT_TRUE(rtcpPeer->drain(100).empty()) << "one sender report";
    EXPECT_EQ(session->getStream().getScheduler().timerCount(), 1u) << "the keep-alive re-armed itself";

    // Audio sent since the last tick makes the next tick send nothing.
    session->unhold();
    putFrame(1, tone(1, 440, 5000));
    EXPECT_EQ(expectPacket(*rtpPeer).size(), 172u);
    const size_t ticks = rtptest::CaptureLog::instance().count("rtp", 2, "keep alive called on");
    tick();
    EXPECT_EQ(rtptest::CaptureLog::instance().waitFor(ticks + 1, "rtp", 2, "keep alive called on", 3000),
              ticks + 1);
    EXPECT_TRUE(rtpPeer->drain(300).empty());

    tick();
    EXPECT_EQ(expectPacket(*rtpPeer).size(), 13u);
    EXPECT_TRUE(rtcpPeer->drain(200).empty()) << "the report is not repeated";

    session->stop();
    EXPECT_EQ(session->getStream().getScheduler().timerCount(), 0u);
}

// On a remote hold (the far end's SDP gives no address) keep-alives cannot go out; they must not
// use up sequence numbers or advance the timestamp, or the far end counts them as lost after
// the call resumes.
TEST_F(SessionTest, KeepAlivesNotSentUseNoSequenceNumbers) {
    const kmt::SocketAddress nowhere = kmt::SocketAddress::fromHost("0.0.0.0").withPort(rtpPeer->address().port());
    const struct {
        const char* name;
        bool localHoldToo;
        int ticks;
    } cases[] = {
        {"remote hold, three keep-alive ticks", false, 3},
        {"remote and local hold, two ticks", true, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        plat::testing::setWallClockOffsetMs(0);
        clockOffset = 0;
        session = std::make_unique<rtp::RTPSession>();
        startSession();
        putFrame(0, tone(0, 440, 5000));
        const rtp::RTPPacket first = decode(expectPacket(*rtpPeer));
        // The far end puts the call on hold.
        session->start(nowhere, kmt::SocketAddress(), -1);
        if (c.localHoldToo)
            session->hold();
        for (int i = 0; i < c.ticks; ++i)
            tickAndWait();
        EXPECT_TRUE(rtpPeer->drain(100).empty()) << "nothing can be sent without an address";
        // Resumed: the next packet follows the last one sent.
        if (c.localHoldToo)
            session->unhold();
        startSession();
        const uint32_t catchUp = c.localHoldToo ? 40000 : 0; // unhold counts at most 5 s held
        putFrame(1, tone(1, 440, 5000));
        const rtp::RTPPacket next = decode(expectPacket(*rtpPeer));
        EXPECT_EQ(next.header.sequenceNumber, uint16_t(first.header.sequenceNumber + 1));
        EXPECT_EQ(next.header.timestamp, first.header.timestamp + 160 + catchUp);
        // With the address back, a tick without audio sends its keep-alive with the next number.
        tickAndWait();
        tickAndWait();
        const rtp::RTPPacket keepAlive = decode(expectPacket(*rtpPeer));
        EXPECT_EQ(keepAlive.payloadLength, 1u);
        EXPECT_EQ(keepAlive.header.sequenceNumber, uint16_t(first.header.sequenceNumber + 2));
        session->stop();
    }
}

// The twin relay's packets (sendPayload) cannot go out on a remote hold either: they use no
// sequence number, and a key pressed meanwhile waits for the address; their samples still count on
// the timestamp, as frames putFrame cannot send do.
TEST_F(SessionTest, RelayedPayloadsNotSentUseNoSequenceNumbers) {
    const kmt::SocketAddress nowhere = kmt::SocketAddress::fromHost("0.0.0.0").withPort(rtpPeer->address().port());
    const Bytes audio(160, 0xD5);
    const struct {
        const char* name;
        bool keyPressed;
    } cases[] = {
        {"audio relayed during the hold", false},
        {"a key pressed during the hold", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        session = std::make_unique<rtp::RTPSession>();
        startSession(101);
        session->sendPayload(8, audio.data(), 160, 0);
        const rtp::RTPPacket first = decode(expectPacket(*rtpPeer));
        session->start(nowhere, kmt::SocketAddress(), 101);
        if (c.keyPressed) {
            ASSERT_TRUE(session->sendDtmf('7'));
        }
        for (int i = 0; i < 3; ++i)
            session->sendPayload(8, audio.data(), 160, 0);
        EXPECT_TRUE(rtpPeer->drain(100).empty()) << "nothing can be sent without an address";
        startSession(101);
        session->sendPayload(8, audio.data(), 160, 0);
        const rtp::RTPPacket next = decode(expectPacket(*rtpPeer));
        EXPECT_EQ(next.header.sequenceNumber, uint16_t(first.header.sequenceNumber + 1));
        if (c.keyPressed) {
            EXPECT_EQ(next.header.payloadType, 101);
            EXPECT_EQ(next.header.marker, 1) << "the event begins once it can go out";
            EXPECT_EQ(next.header.timestamp, first.header.timestamp + 160) << "the time of the key";
        } else {
            EXPECT_EQ(next.header.payloadType, 8);
            EXPECT_EQ(next.header.timestamp, first.header.timestamp + 4 * 160);
        }
        session->stop();
    }
}

TEST(TwoSessions, CarryAudioBothWaysSampleForSample) {
    rtp::RTPSession a;
    rtp::RTPSession b;
    a.start(rtptest::loopback(b.getStream().rtpLocalAddress().port()), kmt::SocketAddress(), 101);
    b.start(rtptest::loopback(a.getStream().rtpLocalAddress().port()), kmt::SocketAddress(), 101);
    std::vector<int16_t> got;
    const int frames = 100;
    for (int i = 0; i < frames; ++i) {
        std::vector<int16_t> fromA = tone(i, 440, 12000);
        std::vector<int16_t> fromB = tone(i, 1333, 30000);
        a.putFrame(uint32_t(i), fromA.data(), 160);
        b.putFrame(uint32_t(i), fromB.data(), 160);
        ASSERT_TRUE(takeFrame(b, got)) << "frame " << i << " did not reach b";
        ASSERT_EQ(got, throughALaw(fromA)) << "frame " << i;
        ASSERT_TRUE(takeFrame(a, got)) << "frame " << i << " did not reach a";
        ASSERT_EQ(got, throughALaw(fromB)) << "frame " << i;
    }
    for (rtp::RTPSession* s : {&a, &b}) {
        rtp::CallStatistics st = s->callStatistics();
        EXPECT_EQ(st.expected, frames);
        EXPECT_EQ(st.lost, 0);
    }
    EXPECT_EQ(a.callStatistics().ssrc, b.getSsrc());
    EXPECT_EQ(b.callStatistics().ssrc, a.getSsrc());

    // Stopped and started again, the stream receives on the same sockets.
    b.stop();
    b.start(rtptest::loopback(a.getStream().rtpLocalAddress().port()), kmt::SocketAddress(), 101);
    std::vector<int16_t> last = tone(7, 700, 10000);
    a.putFrame(999, last.data(), 160);
    ASSERT_TRUE(takeFrame(b, got));
    EXPECT_EQ(got, throughALaw(last));
}

} // namespace
