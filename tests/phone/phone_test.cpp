// The phone's lines: ids, state changes with their tones and media effects, the active line.
#include "phone_fakes.h"

#include "ToneGenerator.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

using namespace phonetest;
using kbrphone::Line;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// Installed before any category resolves its level.
LogCapture& logCapture = LogCapture::instance();

class PhoneLines : public ::testing::Test {
protected:
    void SetUp() override {
        auto m = std::make_unique<FakeMediaManager>(journal);
        manager = m.get();
        FakeCreator creator(journal, true);
        phone = std::make_unique<TestPhone>(std::move(m), creator, journal);
        protocol = new FakeProtocol(phone.get(), journal);
        journal.take();
        logCapture.take();
    }
    void TearDown() override {
        drain(*phone); // posted actions belong to the loop until they have run
        for (int i = 1; i <= 20; ++i)
            delete phone->findLine("line" + std::to_string(i));
        phone.reset();
    }

    bool contains(const std::vector<std::string>& entries, const std::string& entry) {
        return std::find(entries.begin(), entries.end(), entry) != entries.end();
    }

    Journal journal;
    FakeMediaManager* manager = nullptr;
    std::unique_ptr<TestPhone> phone;
    FakeProtocol* protocol = nullptr;
};

TEST_F(PhoneLines, DuplicateLineIdIsRefusedAndTheFirstLineStays) {
    FakeLine* first = protocol->newLine();
    auto* duplicate = new FakeLine(phone.get(), first->getLineId(), "", journal);
    try {
        phone->addLine(duplicate);
        FAIL() << "a duplicate id was accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "line id is not unique");
    }
    delete duplicate; // the refused line must not take the first line's entry with it
    EXPECT_EQ(phone->findLine(first->getLineId()), first);
    EXPECT_EQ(phone->lineCount(), 1u);
}

TEST_F(PhoneLines, LineNameDefaultsToItsId) {
    FakeLine* unnamed = protocol->newLine();
    FakeLine* named = protocol->newLine("Desk");
    EXPECT_EQ(unnamed->getName(), unnamed->getLineId());
    EXPECT_EQ(named->getName(), "Desk");
}

TEST_F(PhoneLines, ProtocolIsOwnedAndReplacedByTheNextOne) {
    EXPECT_EQ(phone->getProtocol(), protocol);
    auto* next = new FakeProtocol(phone.get(), journal);
    EXPECT_EQ(phone->getProtocol(), next);
    EXPECT_THAT(journal.take(), ElementsAre("protocol deleted"));
    protocol = next;
}

enum class Tone { none, dialing, ringback, busy, congestion };

Tone toneOf(Line* line) {
    kbrphone::SoundGenerator* t = line->getTone();
    if (!t)
        return Tone::none;
    if (dynamic_cast<kbrphone::DTMFNumberGenerator*>(t))
        return Tone::dialing;
    if (dynamic_cast<kbrphone::DialingToneGenerator*>(t))
        return Tone::ringback;
    if (dynamic_cast<kbrphone::BusyToneGenerator*>(t))
        return Tone::busy;
    if (dynamic_cast<kbrphone::CongestionToneGenerator*>(t))
        return Tone::congestion;
    return Tone::none;
}

struct StateCase {
    int state;
    Tone tone;
    bool initiator;
    bool channelActive;
    bool becomesActive;
    bool notified;
    bool deleted;
};

// Each state entered from a new idle line.
const StateCase stateCases[] = {
    {0, Tone::none, false, false, false, true, false},
    {1, Tone::dialing, true, false, true, true, false},
    {2, Tone::ringback, false, false, false, true, false},
    {3, Tone::busy, false, false, false, true, false},
    {4, Tone::busy, false, false, false, true, false},
    {5, Tone::none, false, false, false, true, false},
    {6, Tone::none, false, true, false, true, false}, // 0 to 6 connects nothing: only 5 to 6 does
    {7, Tone::congestion, false, false, false, true, false},
    {8, Tone::none, false, false, false, true, true},
    {9, Tone::none, false, false, false, true, false},
    {10, Tone::none, false, true, false, false, false},
    {11, Tone::congestion, false, false, false, true, false},
};

TEST_F(PhoneLines, EachStateFromIdleHasItsToneAndEffects) {
    for (const StateCase& c : stateCases) {
        SCOPED_TRACE("state " + std::to_string(c.state));
        FakeLine* line = protocol->newLine();
        const std::string id = line->getLineId();
        line->setState(c.state);
        const auto entries = journal.take();
        const std::string active = c.becomesActive ? "1" : "0";
        EXPECT_EQ(contains(entries, "java " + id + " state " + std::to_string(c.state) + " active " + active),
                  c.notified);
        EXPECT_EQ(contains(entries, "device " + id + " state " + std::to_string(c.state) + " active " +
                                        active + " initiator " + (c.initiator ? "1" : "0")),
                  c.notified);
        EXPECT_EQ(contains(entries, "audio start"), c.becomesActive);
        if (c.deleted) {
            EXPECT_EQ(phone->findLine(id), nullptr);
            EXPECT_EQ(entries.back(), id + " deleted") << "the line goes after the notifications";
            continue;
        }
        ASSERT_EQ(phone->findLine(id), line);
        EXPECT_EQ(line->getState(), c.state == 10 ? 0 : c.state);
        EXPECT_EQ(toneOf(line), c.tone);
        EXPECT_EQ(line->isInitiator(), c.initiator);
        EXPECT_EQ(line->isTransportChannelActive(), c.channelActive);
        EXPECT_EQ(phone->getActiveLine() == line, c.becomesActive);
        delete line; // also disconnects an active line
        EXPECT_EQ(phone->getActiveLine(), nullptr);
        journal.take();
    }
}

TEST_F(PhoneLines, EarlyMediaStopsTheToneAndTellsNobody) {
    FakeLine* line = protocol->newLine();
    line->setState(1);
    line->setState(2);
    journal.take();
    ASSERT_EQ(toneOf(line), Tone::ringback);
    line->setState(10);
    EXPECT_EQ(line->getState(), 2);
    EXPECT_EQ(toneOf(line), Tone::none);
    EXPECT_TRUE(line->isTransportChannelActive());
    EXPECT_TRUE(journal.take().empty());
}

TEST_F(PhoneLines, SecondCallTakesTheMediaAndHoldsTheFirst) {
    FakeLine* first = protocol->newLine();
    first->setState(1);
    first->setState(2);
    first->setState(6);
    EXPECT_EQ(phone->getActiveLine(), first);
    EXPECT_EQ(phone->getActiveChannel(), &first->channel);
    journal.take();

    FakeLine* second = protocol->newLine();
    second->setState(5);
    second->setState(6);
    const auto entries = journal.take();
    EXPECT_EQ(phone->getActiveLine(), second);
    EXPECT_EQ(phone->getActiveChannel(), &second->channel);
    EXPECT_TRUE(contains(entries, first->getLineId() + " putOnHold")) << "the first call is held directly";
    EXPECT_FALSE(contains(entries, "audio start")) << "audio keeps running";
    EXPECT_TRUE(contains(entries, "java " + second->getLineId() + " state 6 active 1"));
}

TEST_F(PhoneLines, EndingTheActiveLineStopsAudioAndDeletesIt) {
    FakeLine* line = protocol->newLine();
    const std::string id = line->getLineId();
    line->setState(1);
    line->setState(6);
    journal.take();
    line->setState(8);
    EXPECT_THAT(journal.take(),
                ElementsAre("audio stop", "audio deleted", "device " + id + " state 8 active 0 initiator 1",
                            "java " + id + " state 8 active 0", id + " deleted"));
    EXPECT_EQ(phone->getActiveLine(), nullptr);
    EXPECT_EQ(phone->findLine(id), nullptr);
    EXPECT_EQ(phone->getActiveChannel(), nullptr);
}

TEST_F(PhoneLines, StateNineDisconnectsButKeepsTheLine) {
    FakeLine* line = protocol->newLine();
    line->setState(1);
    line->setState(11);
    EXPECT_EQ(phone->getActiveLine(), line) << "a failed call keeps the media for its end tone";
    journal.take();
    line->setState(9);
    EXPECT_THAT(journal.take(), ElementsAre("audio stop", "audio deleted",
                                            "device " + line->getLineId() + " state 9 active 0 initiator 1",
                                            "java " + line->getLineId() + " state 9 active 0"));
    EXPECT_EQ(phone->findLine(line->getLineId()), line);
    EXPECT_EQ(phone->getActiveLine(), nullptr);
}

TEST_F(PhoneLines, ActiveChannelOnlyInDialingRingbackOrConnected) {
    EXPECT_EQ(phone->getActiveChannel(), nullptr);
    EXPECT_THAT(logCapture.take(),
                ElementsAre("Transport channel null: channel is null, activeLine is  null, "
                            "transportChannelActive=0, activeLineState=0"));
    FakeLine* line = protocol->newLine();
    line->setState(1);
    EXPECT_EQ(phone->getActiveChannel(), nullptr) << "the channel runs only once the media does";
    line->setState(10);
    EXPECT_EQ(phone->getActiveChannel(), &line->channel) << "early media in state 1";
    line->setState(5);
    logCapture.take();
    EXPECT_EQ(phone->getActiveChannel(), nullptr);
    EXPECT_THAT(logCapture.take(),
                ElementsAre("Transport channel null: channel is not  null, activeLine is not  "
                            "null, transportChannelActive=1, activeLineState=5"));
}

TEST_F(PhoneLines, MuteChangesPostOneNotificationEach) {
    phone->setMute(true);
    phone->setMute(true);
    drain(*phone);
    EXPECT_THAT(journal.take(), ElementsAre("java mute on", "device mute on"));
    phone->setMute(true);
    EXPECT_EQ(phone->timerCount(), 0u);

    // A line that becomes active unmutes the phone.
    FakeLine* line = protocol->newLine();
    line->setState(1);
    EXPECT_FALSE(phone->isMuted());
    drain(*phone);
    const auto entries = journal.take();
    EXPECT_EQ(std::count(entries.begin(), entries.end(), "java mute off"), 1);
    phone->setMute(false);
    EXPECT_EQ(phone->timerCount(), 0u);
}

TEST_F(PhoneLines, AudioThatCannotOpenLeavesTheCallRunning) {
    manager->failOpen = true;
    FakeLine* line = protocol->newLine();
    line->setState(1);
    EXPECT_EQ(phone->getActiveLine(), line);
    EXPECT_THAT(logCapture.take(), ::testing::Contains("start audio exception: no such device"));
    line->setState(8);
    EXPECT_FALSE(contains(journal.take(), "audio stop"));
}

TEST_F(PhoneLines, EndTonePlaysLocallyThenToneFinishedIsPostedOnce) {
    FakeLine* line = protocol->newLine();
    line->setState(1);
    line->setState(3);
    journal.take();
    int16_t frame[160];
    bool heard = false;
    int frames = 0;
    for (; frames < 1000 && phone->timerCount() == 0; ++frames) {
        EXPECT_TRUE(phone->getFrame(frames, frame, 160, false));
        heard = heard || std::any_of(frame, frame + 160, [](int16_t s) { return s != 0; });
    }
    EXPECT_TRUE(heard);
    ASSERT_EQ(phone->timerCount(), 1u) << "no toneFinished after " << frames << " frames";
    // Four bursts of 0.5 s on and 0.5 s off are 200 frames; the frame after them finds the tone done.
    EXPECT_EQ(frames, 201);
    for (int i = 0; i < 50; ++i)
        phone->getFrame(frames + i, frame, 160, false);
    EXPECT_EQ(phone->timerCount(), 1u) << "one toneFinished per end tone";
    drain(*phone);
    EXPECT_THAT(journal.take(), ElementsAre(line->getLineId() + " toneFinished"));
}

TEST_F(PhoneLines, PlaybackWithoutActiveLineIsSilentAndEmpty) {
    int16_t frame[160];
    std::fill(frame, frame + 160, int16_t(5));
    EXPECT_FALSE(phone->getFrame(0, frame, 160, true));
    EXPECT_TRUE(std::all_of(frame, frame + 160, [](int16_t s) { return s == 0; }));
}

TEST_F(PhoneLines, CapturedFramesGoOutOnlyWhenConnectedAndUnmuted) {
    FakeLine* line = protocol->newLine();
    line->setState(5);
    line->setState(6);
    int16_t frame[160];
    std::fill(frame, frame + 160, int16_t(100));
    phone->putFrame(1, frame, 160);
    EXPECT_EQ(line->channel.framesSent, 1);
    // The echo canceller reshapes the frame (it removes the DC part) but the frame is not silenced.
    EXPECT_NE(line->channel.lastSample, 0);
    phone->setMute(true);
    std::fill(frame, frame + 160, int16_t(100));
    phone->putFrame(2, frame, 160);
    EXPECT_EQ(line->channel.lastSample, 0) << "muted frames are zeros";
}

TEST_F(PhoneLines, DeletingAnActiveLineWithoutEndingItClearsTheActiveLine) {
    FakeLine* line = protocol->newLine();
    line->setState(1);
    journal.take();
    delete line;
    EXPECT_EQ(phone->getActiveLine(), nullptr);
    EXPECT_EQ(phone->getActiveChannel(), nullptr);
    EXPECT_THAT(journal.take(), ElementsAre("line1 deleted", "audio stop", "audio deleted"));
}

class ThrowingPhone : public TestPhone {
public:
    using TestPhone::TestPhone;
    void lineStateChanged(kbrphone::Line*, bool) override { throw std::runtime_error("notification failed"); }
};

TEST(PhoneNotifications, EndedLineGoesEvenWhenItsNotificationThrows) {
    Journal journal;
    FakeCreator creator(journal, false);
    ThrowingPhone phone(nullptr, creator, journal);
    auto* protocol = new FakeProtocol(&phone, journal);
    FakeLine* line = protocol->newLine();
    EXPECT_THROW(line->setState(8), std::runtime_error);
    EXPECT_EQ(phone.findLine("line1"), nullptr);
    EXPECT_EQ(phone.lineCount(), 0u);
}

TEST(PhoneWithoutPieces, RunsWithoutDeviceAndAudioManager) {
    Journal journal;
    FakeCreator creator(journal, false);
    TestPhone phone(nullptr, creator, journal);
    EXPECT_EQ(phone.getPhoneDevice(), nullptr);
    auto* protocol = new FakeProtocol(&phone, journal);
    logCapture.take();
    FakeLine* line = protocol->newLine();
    line->setState(1);
    EXPECT_THAT(logCapture.take(),
                ::testing::Contains("no audio manager installed: the call runs without local audio"));
    line->setState(8);
    EXPECT_THAT(journal.take(),
                ElementsAre("java line1 state 1 active 1", "java line1 state 8 active 0", "line1 deleted"));
}

} // namespace
