// Line actions: posted from any thread, run on the loop thread, harmless for lines that have gone.
#include "phone_fakes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <iostream>

using namespace phonetest;
using kbrphone::Line;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

namespace {

// Runs a function on the loop.
class CallAction : public kbrphone::InvokeLaterAction {
public:
    explicit CallAction(std::function<void()> f_) : f(std::move(f_)) {}
    void run() override { f(); }

private:
    std::function<void()> f;
};

class LineActionQueue : public ::testing::Test {
protected:
    void SetUp() override {
        FakeCreator creator(journal, true);
        phone = std::make_unique<TestPhone>(nullptr, creator, journal);
        protocol = new FakeProtocol(phone.get(), journal);
        line = protocol->newLine();
        other = protocol->newLine();
        journal.take();
    }
    void TearDown() override {
        stopLoop();
        for (int i = 1; i <= 10; ++i)
            delete phone->findLine("line" + std::to_string(i));
        phone.reset();
    }

    void startLoop() {
        loop = std::thread([this] { phone->run(); });
    }
    void stopLoop() {
        if (loop.joinable()) {
            phone->stop();
            loop.join();
        }
    }
    // Waits until everything posted before has run on the loop; bounded.
    bool settle() {
        auto done = std::make_shared<std::promise<void>>();
        std::future<void> ran = done->get_future();
        kbrphone::post(phone.get(), new CallAction([done] { done->set_value(); }));
        return ran.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    }

    Journal journal;
    std::unique_ptr<TestPhone> phone;
    FakeProtocol* protocol = nullptr;
    FakeLine* line = nullptr;
    FakeLine* other = nullptr;
    std::thread loop;
};

TEST_F(LineActionQueue, EveryActionReachesItsLineOnTheLoopThread) {
    const std::string id = line->getLineId();
    const struct {
        std::function<void()> post;
        std::string expected;
    } cases[] = {
        {[&] { phone->hangup(id.c_str()); }, id + " hangup"},
        {[&] { phone->toneFinished(id.c_str()); }, id + " toneFinished"},
        {[&] { phone->answerIncoming(id.c_str()); }, id + " answerIncoming"},
        {[&] { phone->rejectIncoming(id.c_str()); }, id + " rejectIncoming"},
        {[&] { phone->putOnHold(id.c_str()); }, id + " putOnHold"},
        {[&] { phone->activate(id.c_str()); }, id + " activate"},
        {[&] { kbrphone::post(phone.get(), new kbrphone::LineAction(phone.get(), id, &Line::setRinging)); },
         id + " setRinging"},
        {[&] { kbrphone::post(phone.get(), new kbrphone::LineAction(phone.get(), id, &Line::busyIncoming)); },
         id + " busyIncoming"},
        {[&] {
             kbrphone::post(phone.get(),
                            new kbrphone::LineAction1(phone.get(), id, &Line::blindTransfer, "200"));
         },
         id + " blindTransfer 200"},
        {[&] {
             kbrphone::post(phone.get(),
                            new kbrphone::LineAction2(phone.get(), id, &Line::dial, "100", "Desk"));
         },
         id + " dial 100 'Desk'"},
        {[&] {
             kbrphone::post(phone.get(),
                            new kbrphone::TransferLineAction(phone.get(), id, other->getLineId()));
         },
         id + " transfer " + other->getLineId()},
    };

    // With the loop held, posting returns at once and nothing runs on the posting thread.
    std::mutex gate;
    std::unique_lock<std::mutex> hold(gate);
    kbrphone::post(phone.get(), new CallAction([&] { std::lock_guard<std::mutex> wait(gate); }));
    startLoop();
    std::vector<std::string> expected;
    for (const auto& c : cases) {
        c.post();
        expected.push_back(c.expected);
    }
    EXPECT_TRUE(journal.snapshot().empty());
    hold.unlock();

    ASSERT_TRUE(settle());
    EXPECT_THAT(journal.snapshot(), ElementsAreArray(expected));
    for (std::thread::id t : journal.threadsSnapshot())
        EXPECT_EQ(t, loop.get_id());
}

TEST_F(LineActionQueue, SecondHangupOfAnEndedLineDoesNothing) {
    line->endOnHangup = true;
    const std::string id = line->getLineId();
    phone->hangup(id.c_str());
    phone->hangup(id.c_str());
    drain(*phone);
    EXPECT_THAT(journal.take(), ElementsAre(id + " hangup", "device " + id + " state 8 active 0 initiator 0",
                                            "java " + id + " state 8 active 0", id + " deleted"));
}

TEST_F(LineActionQueue, ActionsForMissingLinesDoNothing) {
    phone->hangup("no-such-line");
    kbrphone::post(phone.get(),
                   new kbrphone::TransferLineAction(phone.get(), line->getLineId(), "no-such-line"));
    kbrphone::post(phone.get(),
                   new kbrphone::TransferLineAction(phone.get(), "no-such-line", line->getLineId()));
    EXPECT_EQ(drain(*phone), 3);
    EXPECT_TRUE(journal.take().empty());
}

TEST_F(LineActionQueue, ThrowingActionIsReportedAndTheNextOneRuns) {
    std::ostringstream captured;
    std::streambuf* saved = std::cerr.rdbuf(captured.rdbuf());
    line->throwNext = "line is gone";
    phone->hangup(line->getLineId().c_str());
    kbrphone::post(phone.get(), new CallAction([] { throw 42; }));
    phone->activate(line->getLineId().c_str());
    drain(*phone);
    std::cerr.rdbuf(saved);
    EXPECT_EQ(captured.str(),
              "Ignore exception in invoke later:line is gone\nIgnore exception in invoke later\n");
    EXPECT_THAT(journal.take(), ElementsAre(line->getLineId() + " hangup", line->getLineId() + " activate"));
}

TEST_F(LineActionQueue, PhoneActionsReachTheNotifications) {
    kbrphone::post(phone.get(), new kbrphone::PhoneButtonAction(phone.get(), 11));
    kbrphone::post(phone.get(), new kbrphone::PhoneRequestDialingAction(phone.get(), "0301234"));
    phone->setMute(true);
    drain(*phone);
    EXPECT_THAT(journal.take(),
                ElementsAre("button 11", "requestDialing 0301234", "java mute on", "device mute on"));
}

TEST_F(LineActionQueue, PostsFromManyThreadsAllRunOnTheLoop) {
    startLoop();
    const std::string id = line->getLineId();
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([&] {
            for (int i = 0; i < 250; ++i)
                phone->putOnHold(id.c_str());
        });
    for (auto& t : posters)
        t.join();
    ASSERT_TRUE(settle());
    const auto entries = journal.snapshot();
    EXPECT_EQ(entries.size(), 1000u);
    for (std::thread::id t : journal.threadsSnapshot())
        ASSERT_EQ(t, loop.get_id());
}

} // namespace
