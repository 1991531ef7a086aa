#include "kmt/scheduler.h"
#include "kmt/socket.h"
#include "plat/time.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// A callback that records its name and runs an optional action.
struct Recorder : kmt::EventCallbackBase {
    Recorder(std::vector<std::string>& log_, std::string name_, std::function<void()> action_ = {})
        : log(log_), name(std::move(name_)), action(std::move(action_)) {}
    void invoke() override {
        log.push_back(name);
        if (action)
            action();
    }
    std::vector<std::string>& log;
    std::string name;
    std::function<void()> action;
};

struct ClockShift {
    ~ClockShift() {
        plat::testing::holdWallClock(false);
        plat::testing::setWallClockOffsetMs(0);
    }
    void by(int64_t ms) { plat::testing::setWallClockOffsetMs(plat::testing::wallClockOffsetMs() + ms); }
    // While held, the clock stands still: delays posted meanwhile all count from one moment.
    void hold(bool held) { plat::testing::holdWallClock(held); }
};

// Runs cycles until n callbacks have been recorded (bounded).
void runUntil(kmt::EventScheduler& s, const std::vector<std::string>& log, size_t n) {
    for (int i = 0; i < 200 && log.size() < n; ++i)
        s.runOnce();
    ASSERT_EQ(log.size(), n);
}

TEST(EventScheduler, PostingsFromAnotherThreadRunInOrderOnePerCycle) {
    kmt::EventScheduler s;
    std::vector<std::string> log;
    Recorder a(log, "a"), b(log, "b"), c(log, "c");
    std::thread poster([&] {
        s.addTimer(0, &a);
        s.addTimer(0, &b);
        s.addTimer(0, &c);
    });
    poster.join();
    s.runOnce();
    EXPECT_EQ(log, (std::vector<std::string>{"a"}));
    runUntil(s, log, 3);
    EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(EventScheduler, EqualDueTimesRunInPostingOrderAndAnEarlierOneGoesFirst) {
    kmt::EventScheduler s;
    std::vector<std::string> log;
    Recorder a(log, "A"), b(log, "B"), c(log, "C"), probe(log, "probe");
    s.addTimer(100, &a);
    s.addTimer(100, &b);
    s.addTimer(50, &c);
    s.addTimer(130, &probe); // due after A and B only if C's insertion left their due time alone
    runUntil(s, log, 4);
    EXPECT_EQ(log, (std::vector<std::string>{"C", "A", "B", "probe"}));
}

TEST(EventScheduler, RemoveTimerRemovesEveryEntryAndKeepsOthersDue) {
    kmt::EventScheduler s;
    std::vector<std::string> log;
    Recorder x(log, "x"), y(log, "y"), before(log, "before"), after(log, "after");
    // y is due 5 ms after before and 5 ms before after: posted while the clock stands still, none of
    // them moves past another however long the capture of the output between them takes.
    ClockShift clock;
    clock.hold(true);
    s.addTimer(10, &x);
    s.addTimer(20, &x);
    s.addTimer(60, &y);
    s.addTimer(30, &x);
    testing::internal::CaptureStdout();
    s.removeTimer(&x);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "event removed more then one\nevent removed more then one\n");
    EXPECT_EQ(s.timerCount(), 1u);
    s.addTimer(55, &before);
    s.addTimer(65, &after);
    clock.hold(false);
    runUntil(s, log, 3);
    EXPECT_EQ(log, (std::vector<std::string>{"before", "y", "after"}));
    s.removeTimer(&x); // nothing left of it: silent
}

// A wall clock that jumps (either way) makes the head due at once; the entries behind it keep
// their spacing: a probe posted after the jump, due before them, still runs first.
class ClockJump : public ::testing::TestWithParam<int64_t> {};

TEST_P(ClockJump, HeadDueAtOnceOthersKeepSpacing) {
    ClockShift clock;
    kmt::EventScheduler s;
    std::vector<std::string> log;
    Recorder head(log, "head"), second(log, "second"), probe(log, "probe");
    s.addTimer(10000, &head);
    s.addTimer(10400, &second);
    clock.by(GetParam());
    auto start = std::chrono::steady_clock::now();
    s.runOnce();
    EXPECT_EQ(log, (std::vector<std::string>{"head"}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
        << "head ran without its delay";
    s.addTimer(200, &probe);
    runUntil(s, log, 3);
    EXPECT_EQ(log, (std::vector<std::string>{"head", "probe", "second"}));
}

INSTANTIATE_TEST_SUITE_P(EventScheduler, ClockJump, ::testing::Values(-3600 * 1000, 20000),
                         [](const ::testing::TestParamInfo<ClockJump::ParamType>& info) {
                             return std::string(info.param < 0 ? "Back" : "Forward") +
                                    std::to_string(std::abs(info.param) / 1000) + "s";
                         });

TEST(EventScheduler, DueTimerRunsBeforeAReadySocket) {
    kmt::ipMode = 1;
    kmt::EventScheduler s;
    std::vector<std::string> log;
    kmt::Socket sock;
    sock.bindUdp(kmt::SocketAddress::fromHost("127.0.0.1"));
    Recorder onRead(log, "read", [&] {
        char buf[64];
        plat::recvfrom(sock.handle(), buf, sizeof buf, 0, nullptr, nullptr);
    });
    Recorder timer(log, "timer");
    s.addSocket(sock, &onRead);
    kmt::Socket sender;
    sender.bindUdp(kmt::SocketAddress::fromHost("127.0.0.1"));
    sender.sendTo(sock.localAddress(), "x", 1);
    s.addTimer(0, &timer);
    runUntil(s, log, 2);
    EXPECT_EQ(log, (std::vector<std::string>{"timer", "read"}));
    // A second datagram wakes the loop again.
    sender.sendTo(sock.localAddress(), "y", 1);
    runUntil(s, log, 3);
    EXPECT_EQ(log.back(), "read");
}

TEST(EventScheduler, SocketTableHoldsAtMost63) {
    kmt::ipMode = 1;
    kmt::EventScheduler s;
    std::vector<std::string> log;
    Recorder cb(log, "cb");
    std::vector<std::unique_ptr<kmt::Socket>> socks;
    for (size_t i = 0; i < kmt::EventScheduler::kMaxSockets; ++i) {
        socks.push_back(std::make_unique<kmt::Socket>());
        socks.back()->bindUdp(kmt::SocketAddress::fromHost("127.0.0.1"));
        ASSERT_NO_THROW(s.addSocket(*socks.back(), &cb));
    }
    kmt::Socket extra;
    extra.bindUdp(kmt::SocketAddress::fromHost("127.0.0.1"));
    EXPECT_THROW(s.addSocket(extra, &cb), std::runtime_error);
    // The loop still works with a full table: the last socket is served.
    kmt::Socket sender;
    sender.bindUdp(kmt::SocketAddress::fromHost("127.0.0.1"));
    sender.sendTo(socks.back()->localAddress(), "x", 1);
    runUntil(s, log, 1);
}

TEST(EventScheduler, WSAEventSelectFailureThrowsAndTheEntryNeverFires) {
    kmt::ipMode = 1;
    kmt::EventScheduler s;
    std::vector<std::string> log;
    Recorder cb(log, "socket"), timer(log, "timer");
    kmt::Socket sock;
    sock.bindUdp(kmt::SocketAddress::fromHost("127.0.0.1"));
    plat::testing::failNext("WSAEventSelect", plat::WSAENOTSOCK);
    try {
        s.addSocket(sock, &cb);
        FAIL();
    } catch (const kmt::SocketException& e) {
        EXPECT_STREQ(e.call(), "WSAEventSelect");
        EXPECT_EQ(e.code(), plat::WSAENOTSOCK);
    }
    kmt::Socket sender;
    sender.bindUdp(kmt::SocketAddress::fromHost("127.0.0.1"));
    sender.sendTo(sock.localAddress(), "x", 1);
    s.addTimer(30, &timer);
    runUntil(s, log, 1);
    EXPECT_EQ(log, (std::vector<std::string>{"timer"}));
}

TEST(EventScheduler, StopFromAnotherThreadAndRunAgain) {
    kmt::EventScheduler s;
    // Written by the loop thread, read here: every access under the mutex, and the wait for the
    // loop's work is a condition, not a sleep.
    std::mutex mutex;
    std::condition_variable pinged;
    std::vector<std::string> log;
    for (int round = 0; round < 2; ++round) {
        std::thread loop([&] { s.run(); });
        // With nothing pending the loop sleeps until a posting arrives.
        std::vector<std::string> loopLog;
        Recorder ping(loopLog, "ping", [&] {
            std::lock_guard<std::mutex> guard(mutex);
            log.push_back(loopLog.back());
            pinged.notify_all();
        });
        s.addTimer(0, &ping);
        {
            std::unique_lock<std::mutex> guard(mutex);
            EXPECT_TRUE(pinged.wait_for(guard, std::chrono::seconds(5),
                                        [&] { return log.size() == static_cast<size_t>(round + 1); }))
                << "the loop did not run the posting";
        }
        s.stop();
        loop.join();
        // Joined: the loop's own record may be read directly now.
        EXPECT_EQ(loopLog, (std::vector<std::string>{"ping"}));
        std::lock_guard<std::mutex> guard(mutex);
        EXPECT_EQ(log.size(), static_cast<size_t>(round + 1));
    }
}

TEST(EventScheduler, ExceptionFromACallbackLeavesRunWhichCanRunAgain) {
    kmt::EventScheduler s;
    std::vector<std::string> log;
    Recorder thrower(log, "throw", [] { throw std::runtime_error("boom"); });
    Recorder stopper(log, "stop", [&] { s.stop(); });
    s.addTimer(0, &thrower);
    EXPECT_THROW(s.run(), std::runtime_error);
    s.addTimer(0, &stopper);
    s.run();
    EXPECT_EQ(log, (std::vector<std::string>{"throw", "stop"}));
}

TEST(EventScheduler, CallbacksMayPostAndRemoveWhileRunning) {
    kmt::EventScheduler s;
    std::vector<std::string> log;
    Recorder victim(log, "victim");
    Recorder second(log, "second", [&] { s.stop(); });
    Recorder first(log, "first", [&] {
        s.removeTimer(&victim);
        s.addTimer(0, &second);
    });
    s.addTimer(0, &first);
    s.addTimer(5, &victim);
    s.run();
    EXPECT_EQ(log, (std::vector<std::string>{"first", "second"}));
    EXPECT_EQ(s.timerCount(), 0u);
}

} // namespace
