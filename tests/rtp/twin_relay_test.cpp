// The twin line relay between two real RTP sessions: payloads pass both ways unchanged, key events get
// the other call's payload type, mute sends A-law silence, the phone's tones go to the twin call, and a
// failed twin call ends the other calls.
#include "phone/phone_fakes.h"
#include "rtp_support.h"

#include "RTPHeader.h"
#include "RTPSession.h"
#include "RTPStream.h"
#include "ToneGenerator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <atomic>
#include <future>
#include <numeric>
#include <thread>

using namespace phonetest;
using rtptest::UdpPeer;
using Bytes = std::vector<uint8_t>;

namespace {

LogCapture& logCapture = LogCapture::instance();

// A line with a real RTP session towards a UDP peer of the test.
class SessionLine : public FakeLine {
public:
    SessionLine(kbrphone::Phone* phone, const std::string& id, const std::string& name, Journal& journal)
        : FakeLine(phone, id, name, journal), session(new rtp::RTPSession) {}
    kbrphone::TransportChannel* transportChannel() override { return session.get(); }
    rtp::RTPSession* rtpSession() override { return session.get(); }

    std::unique_ptr<rtp::RTPSession> session;
};

class SessionProtocol : public kbrphone::Protocol {
public:
    SessionProtocol(kbrphone::Phone* phone, Journal& journal_) : Protocol(phone), journal(journal_) {}
    kbrphone::Line* createLine(const std::string& name) override {
        std::unique_ptr<SessionLine> line(new SessionLine(phone, "line" + std::to_string(++created), name, journal));
        phone->addLine(line.get());
        return line.release();
    }
    void processEvents() override {}
    void registerWithProxy(const std::string&, const std::string&, const std::string&, const std::string&,
                           const std::string&, int) override {}
    void setProxy(const std::string&, const std::string&, const std::string&, const std::string&,
                  const std::string&, int) override {}
    void cancelRegistration() override {}

private:
    Journal& journal;
    int created = 0;
};

// An RTP datagram as a far end sends it.
Bytes packet(int payloadType, const Bytes& payload, int marker = 0, uint16_t sequence = 1) {
    Bytes d(12 + payload.size());
    d[0] = 0x80;
    d[1] = uint8_t(payloadType | (marker ? 0x80 : 0));
    d[2] = uint8_t(sequence >> 8);
    d[3] = uint8_t(sequence);
    d[11] = 9;
    std::copy(payload.begin(), payload.end(), d.begin() + 12);
    return d;
}

int payloadTypeOf(const Bytes& d) {
    return d[1] & 0x7F;
}
int markerOf(const Bytes& d) {
    return d[1] >> 7;
}
Bytes payloadOf(const Bytes& d) {
    return Bytes(d.begin() + 12, d.end());
}

Bytes ramp(size_t n) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), uint8_t(1));
    return b;
}

constexpr int kTwinEvents = 101;
constexpr int kActiveEvents = 96;

class TwinRelay : public ::testing::Test {
protected:
    void SetUp() override {
        auto m = std::make_unique<FakeMediaManager>(journal);
        FakeCreator creator(journal, false);
        phone = std::make_unique<TestPhone>(std::move(m), creator, journal);
        protocol = new SessionProtocol(phone.get(), journal);
        twin = static_cast<SessionLine*>(phone->createTwinLine("twin"));
        twinId = twin->getLineId();
    }
    void TearDown() override {
        drain(*phone);
        for (int i = 1; i <= 5; ++i)
            delete phone->findLine("line" + std::to_string(i));
        phone.reset();
    }

    // The twin call connects; the four opening packets are taken off its peer.
    void connectTwin(int twinEvents = kTwinEvents) {
        twin->session->start(twinPeer.address(), kmt::SocketAddress(), twinEvents);
        twin->setState(kbrphone::lineDialing);
        twin->setState(kbrphone::lineConnected);
    }
    // An incoming call is answered and becomes the active line.
    SessionLine* answerCall(int events = kActiveEvents) {
        auto* line = static_cast<SessionLine*>(protocol->createLine(""));
        line->session->start(activePeer.address(), kmt::SocketAddress(), events);
        line->setState(kbrphone::lineOffered);
        line->setState(kbrphone::lineConnected);
        return line;
    }
    Bytes expect(UdpPeer& peer) {
        Bytes d;
        EXPECT_TRUE(peer.receive(d, 2000)) << "no packet arrived";
        return d;
    }
    bool nothingArrives(UdpPeer& peer) {
        Bytes d;
        return !peer.receive(d, 150);
    }
    void fromTwin(const Bytes& d) { twin->session->getStream().deliverDatagram(d.data(), d.size()); }
    void fromActive(SessionLine* line, const Bytes& d) {
        line->session->getStream().deliverDatagram(d.data(), d.size());
    }

    Journal journal;
    std::unique_ptr<TestPhone> phone;
    SessionProtocol* protocol = nullptr;
    SessionLine* twin = nullptr;
    std::string twinId;
    UdpPeer twinPeer;
    UdpPeer activePeer;
};

TEST_F(TwinRelay, ConnectedTwinCallGetsFourOpeningPacketsOfTheSameSilence) {
    EXPECT_TRUE(phone->isTwinActive());
    connectTwin();
    Bytes first = expect(twinPeer);
    ASSERT_EQ(first.size(), 172u);
    EXPECT_EQ(payloadTypeOf(first), 8);
    EXPECT_EQ(markerOf(first), 0);
    EXPECT_EQ(payloadOf(first), Bytes(160, 0));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(expect(twinPeer), first) << "the same packet four times";
    EXPECT_TRUE(nothingArrives(twinPeer));
    // The twin line itself never becomes active and opens no audio.
    EXPECT_EQ(phone->getActiveLine(), nullptr);
}

TEST_F(TwinRelay, PayloadsPassBothWaysUnchangedAndKeyEventsTakeTheOtherCallsType) {
    connectTwin();
    twinPeer.drain(50);
    SessionLine* call = answerCall();
    EXPECT_FALSE(phone->isAudioRunning()) << "the twin call stands in for the local audio";
    EXPECT_THAT(journal.snapshot(), testing::Not(testing::Contains(testing::HasSubstr("audio open"))));

    struct Case {
        bool fromTheTwin;
        int type, marker;
        int expectedType;
    } cases[] = {
        {true, 8, 0, 8},
        {true, 8, 1, 8},
        {true, kTwinEvents, 1, kActiveEvents},
        {false, 8, 0, 8},
        {false, kActiveEvents, 0, kTwinEvents},
        {false, 0, 0, 0}, // any other type passes as it is
    };
    for (const Case& c : cases) {
        const Bytes payload = c.type == 8 || c.type == 0 ? ramp(160) : Bytes{5, 0x80, 0, 160};
        if (c.fromTheTwin)
            fromTwin(packet(c.type, payload, c.marker));
        else
            fromActive(call, packet(c.type, payload, c.marker));
        Bytes got = expect(c.fromTheTwin ? activePeer : twinPeer);
        ASSERT_GE(got.size(), 12u);
        EXPECT_EQ(payloadTypeOf(got), c.expectedType) << c.fromTheTwin << " " << c.type;
        EXPECT_EQ(markerOf(got), c.marker) << c.fromTheTwin << " " << c.type;
        EXPECT_EQ(payloadOf(got), payload) << c.fromTheTwin << " " << c.type;
    }
}

TEST_F(TwinRelay, TwinsKeyEventsAreDroppedWhenTheActiveCallHasNoEventType) {
    connectTwin(kTwinEvents);
    twinPeer.drain(50);
    answerCall(-1);
    fromTwin(packet(kTwinEvents, {5, 0x80, 0, 160}));
    EXPECT_TRUE(nothingArrives(activePeer));
    fromTwin(packet(8, ramp(160)));
    EXPECT_EQ(payloadOf(expect(activePeer)), ramp(160)) << "audio still passes";
}

TEST_F(TwinRelay, ActiveCallsKeyEventsAreDroppedWhenTheTwinHasNoEventType) {
    connectTwin(-1);
    twinPeer.drain(50);
    SessionLine* call = answerCall(kActiveEvents);
    fromActive(call, packet(kActiveEvents, {5, 0x80, 0, 160}));
    EXPECT_TRUE(nothingArrives(twinPeer));
}

TEST_F(TwinRelay, MutedPhoneSendsALawSilenceAndDropsTheTwinsKeys) {
    connectTwin();
    twinPeer.drain(50);
    answerCall();
    phone->setMute(true);
    fromTwin(packet(8, ramp(160)));
    Bytes got = expect(activePeer);
    EXPECT_EQ(payloadOf(got), Bytes(160, 0xD5));
    fromTwin(packet(kTwinEvents, {5, 0x80, 0, 160}));
    EXPECT_TRUE(nothingArrives(activePeer));
}

TEST_F(TwinRelay, TheActiveLinesBusyToneGoesToTheTwinAndEndsWithToneFinished) {
    connectTwin();
    twinPeer.drain(50);
    auto* call = static_cast<SessionLine*>(protocol->createLine(""));
    call->setState(kbrphone::lineDialing);
    call->setState(kbrphone::lineBusy);
    journal.take();
    // Every audio packet from the twin clocks one frame of the tone towards the twin call.
    int toneFrames = 0;
    for (uint16_t i = 0; i < 230; ++i) {
        fromTwin(packet(8, Bytes(160, 0xD5), 0, i));
        Bytes got;
        if (twinPeer.receive(got, i < 200 ? 1000 : 30)) {
            EXPECT_EQ(payloadTypeOf(got), 8);
            ++toneFrames;
        }
    }
    // 4 s of busy tone is 200 frames of 160 samples, then the tone has finished.
    EXPECT_EQ(toneFrames, 200);
    drain(*phone);
    EXPECT_THAT(journal.take(), testing::Contains(call->getLineId() + " toneFinished"));
}

TEST_F(TwinRelay, KeyFeedbackGoesToTheTwinInPlaceOfTheReceivedAudio) {
    connectTwin();
    twinPeer.drain(50);
    SessionLine* call = answerCall();
    phone->setLocalSound(new kbrphone::DTMFGenerator(4000, '3'));
    fromActive(call, packet(8, ramp(160)));
    Bytes got = expect(twinPeer);
    EXPECT_EQ(payloadTypeOf(got), 8);
    EXPECT_NE(payloadOf(got), ramp(160)) << "the key tone replaces the relayed audio";
    // A payload of 200 or more samples is relayed as it is.
    fromActive(call, packet(8, ramp(200)));
    EXPECT_EQ(payloadOf(expect(twinPeer)), ramp(200));
}

TEST_F(TwinRelay, FailedTwinCallEndsTheOtherCallsAndClearsTheTwin) {
    connectTwin();
    auto* offered = static_cast<SessionLine*>(protocol->createLine(""));
    offered->setState(kbrphone::lineOffered);
    SessionLine* call = answerCall();
    journal.take();
    twin->setState(kbrphone::lineBusy);
    EXPECT_FALSE(phone->isTwinActive());
    drain(*phone);
    EXPECT_THAT(journal.take(), testing::IsSupersetOf({twinId + " hangup", offered->getLineId() + " rejectIncoming",
                                                       call->getLineId() + " hangup"}));
    EXPECT_FALSE(twin->session->getStream().isRunning());
}

TEST_F(TwinRelay, TwinCallEndedByTheFarEndLeavesTheOtherCalls) {
    connectTwin();
    SessionLine* call = answerCall();
    journal.take();
    twin->setState(kbrphone::lineRemoteEnded);
    EXPECT_FALSE(phone->isTwinActive());
    drain(*phone);
    const auto entries = journal.take();
    EXPECT_THAT(entries, testing::Contains(twinId + " hangup"));
    EXPECT_THAT(entries, testing::Not(testing::Contains(call->getLineId() + " hangup")));
}

TEST_F(TwinRelay, TwinWithoutSessionIsClearedWhenItEnds) {
    // The far end never answered: the twin line goes without media.
    twin->session.reset();
    twin->setState(kbrphone::lineDialing);
    twin->setState(kbrphone::lineEnded);
    EXPECT_FALSE(phone->isTwinActive());
    EXPECT_EQ(phone->getTwinLine(), nullptr);
}

} // namespace

namespace {

TEST_F(TwinRelay, ResumingACallWhileItsRelayRunsDoesNotDeadlock) {
    connectTwin();
    SessionLine* call = answerCall();
    std::atomic<bool> stop{false};
    // The active call's receive thread: relays under its receive lock, which then takes phoneLock.
    std::thread receiver([&] {
        const Bytes d = packet(8, ramp(160));
        for (int i = 0; i < 200000 && !stop.load(); ++i)
            fromActive(call, d);
    });
    // The loop thread: hold and resume take phoneLock and install the relay again.
    auto worker = std::async(std::launch::async, [&] {
        for (int i = 0; i < 300; ++i) {
            phone->disconnectMedia(call);
            phone->connectMedia(call);
        }
    });
    const bool finished = worker.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    stop = true;
    if (!finished) {
        ADD_FAILURE() << "connectMedia and the relay wait for each other";
        std::_Exit(1); // the threads cannot be joined
    }
    receiver.join();
    EXPECT_EQ(phone->getActiveLine(), call);
    activePeer.drain(20, 200);
    twinPeer.drain(20, 200);
}

} // namespace
