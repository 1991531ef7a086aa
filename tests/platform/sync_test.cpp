// Events, waits and threads as the event scheduler and the thread objects use them.
#include "plat/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <vector>

using namespace plat;

namespace {

int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A few events closed at the end of the test; checks that none leaks.
class EventsTest : public ::testing::Test {
protected:
    void SetUp() override { eventsBefore_ = plat::testing::openEventCount(); }
    void TearDown() override {
        for (HANDLE h : events_) {
            EXPECT_EQ(TRUE, CloseHandle(h));
        }
        EXPECT_EQ(eventsBefore_, plat::testing::openEventCount());
    }
    HANDLE make(bool manualReset, bool initialState = false) {
        HANDLE h = CreateEventA(nullptr, manualReset, initialState, nullptr);
        EXPECT_NE(nullptr, h);
        events_.push_back(h);
        return h;
    }
    std::vector<HANDLE> events_;
    int eventsBefore_ = 0;
};

TEST_F(EventsTest, LowestSignalledIndexWinsAndOnlyTheReportedAutoEventIsReset) {
    HANDLE h[3] = {make(false), make(false), make(false)};
    ASSERT_EQ(TRUE, SetEvent(h[2]));
    ASSERT_EQ(TRUE, SetEvent(h[1]));
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(3, h, FALSE, 0));
    // h[2] was signalled too but not reported: it must still be set.
    EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, h, FALSE, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(3, h, FALSE, 0));
}

TEST_F(EventsTest, WakeEventLastCountsOnlyWhenNothingEarlierIsSignalled) {
    // The scheduler's layout: socket events first, its wake event last.
    HANDLE h[3] = {make(false), make(false), make(false)};
    SetEvent(h[2]);
    SetEvent(h[0]);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(3, h, FALSE, INFINITE));
    EXPECT_EQ(WAIT_OBJECT_0 + 2, WaitForMultipleObjects(3, h, FALSE, INFINITE));
}

TEST_F(EventsTest, ResetModes) {
    struct Case {
        bool manualReset;
        bool initialState;
        DWORD secondWait;
    } const cases[] = {
        {false, true, WAIT_TIMEOUT},  // auto-reset: the first wait consumes the signal
        {true, true, WAIT_OBJECT_0},  // manual reset: stays signalled
        {false, false, WAIT_TIMEOUT}, // not signalled at all
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "manual=" << c.manualReset << " initial=" << c.initialState);
        HANDLE e = make(c.manualReset, c.initialState);
        EXPECT_EQ(c.initialState ? WAIT_OBJECT_0 : WAIT_TIMEOUT, WaitForSingleObject(e, 0));
        EXPECT_EQ(c.secondWait, WaitForSingleObject(e, 0));
        if (c.manualReset) {
            EXPECT_EQ(TRUE, ResetEvent(e));
            EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
        }
    }
}

TEST_F(EventsTest, SettingTwiceSignalsOnce) {
    HANDLE e = make(false);
    SetEvent(e);
    SetEvent(e);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
}

TEST_F(EventsTest, TimeoutElapsesWithoutSignal) {
    HANDLE e = make(false);
    const int64_t start = steadyMs();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 60));
    const int64_t elapsed = steadyMs() - start;
    EXPECT_GE(elapsed, 55);
    EXPECT_LT(elapsed, 10000);
}

TEST_F(EventsTest, EventSetFromAnotherThreadEndsAnInfiniteWait) {
    HANDLE wake = make(false);
    HANDLE other = make(false);
    struct Arg {
        HANDLE event;
    } arg{wake};
    auto body = [](void* p) -> unsigned {
        Sleep(20);
        SetEvent(static_cast<Arg*>(p)->event);
        return 0;
    };
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, body, &arg, 0, nullptr));
    ASSERT_NE(nullptr, thread);
    HANDLE h[2] = {other, wake};
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, h, FALSE, INFINITE));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    EXPECT_EQ(TRUE, CloseHandle(thread));
}

TEST_F(EventsTest, WaitAllNeedsEveryObjectAndConsumesOnlyThen) {
    HANDLE h[2] = {make(false), make(true)};
    SetEvent(h[0]);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, h, TRUE, 20));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h[0], 0)) << "a timed-out wait-all consumed an event";
    SetEvent(h[0]);
    SetEvent(h[1]);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, h, TRUE, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(h[0], 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(h[1], 0));
}

TEST_F(EventsTest, InvalidWaitsFail) {
    HANDLE e = make(false);
    HANDLE closed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(TRUE, CloseHandle(closed));
    std::vector<HANDLE> many(MAXIMUM_WAIT_OBJECTS + 1, e);
    HANDLE withClosed[2] = {e, closed};
    HANDLE withNull[2] = {e, nullptr};
    HANDLE twice[2] = {e, e};
    struct Case {
        const char* name;
        DWORD count;
        const HANDLE* handles;
        BOOL waitAll;
        DWORD error;
    } const cases[] = {
        {"no handles", 0, withClosed, FALSE, ERROR_INVALID_PARAMETER},
        {"more than 64", MAXIMUM_WAIT_OBJECTS + 1, many.data(), FALSE, ERROR_INVALID_PARAMETER},
        {"closed handle", 2, withClosed, FALSE, ERROR_INVALID_HANDLE},
        {"null handle", 2, withNull, FALSE, ERROR_INVALID_HANDLE},
        {"duplicate in wait-all", 2, twice, TRUE, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetLastError(0);
        EXPECT_EQ(WAIT_FAILED, WaitForMultipleObjects(c.count, c.handles, c.waitAll, INFINITE));
        EXPECT_EQ(c.error, GetLastError());
    }
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(GetCurrentThread(), 0));
}

TEST_F(EventsTest, SixtyFourHandlesAreAccepted) {
    std::vector<HANDLE> h;
    for (DWORD i = 0; i < MAXIMUM_WAIT_OBJECTS; ++i) {
        h.push_back(make(false));
    }
    SetEvent(h.back());
    EXPECT_EQ(WAIT_OBJECT_0 + MAXIMUM_WAIT_OBJECTS - 1,
              WaitForMultipleObjects(MAXIMUM_WAIT_OBJECTS, h.data(), FALSE, 0));
}

TEST(Events, NamedEventsAreNotSupportedAndBadHandlesFail) {
    SetLastError(0);
    EXPECT_EQ(nullptr, CreateEventA(nullptr, FALSE, FALSE, "name"));
    EXPECT_EQ(ERROR_NOT_SUPPORTED, GetLastError());
    HANDLE closed = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(TRUE, CloseHandle(closed));
    for (HANDLE h : {closed, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        SetLastError(0);
        EXPECT_EQ(FALSE, SetEvent(h));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
        SetLastError(0);
        EXPECT_EQ(FALSE, CloseHandle(h));
        EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    }
}

// A thread that runs until released, recording what it saw.
struct Worker {
    HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<DWORD> idInside{0};
    std::atomic<int> priorityInside{-99};
    std::atomic<int> priorityAfterSet{-99};
    std::atomic<bool> done{false};
    ~Worker() { CloseHandle(release); }

    static unsigned body(void* p) {
        auto* w = static_cast<Worker*>(p);
        w->idInside = GetCurrentThreadId();
        w->priorityInside = plat::testing::currentThreadPriority();
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        w->priorityAfterSet = plat::testing::currentThreadPriority();
        WaitForSingleObject(w->release, INFINITE);
        w->done = true;
        return 7;
    }
};

TEST(Threads, HandleIsSignalledWhenTheThreadEnds) {
    Worker w;
    unsigned id = 0;
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Worker::body, &w, 0, &id));
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(thread, 20));
    SetEvent(w.release);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    EXPECT_TRUE(w.done);
    // Stays signalled.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
    EXPECT_EQ(TRUE, CloseHandle(thread));
    EXPECT_EQ(FALSE, CloseHandle(thread));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

TEST(Threads, IdsAreNonzeroUniqueAndMatchTheCreator) {
    Worker w;
    SetEvent(w.release);
    unsigned id = 0;
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 64 * 1024, &Worker::body, &w, 0, &id));
    ASSERT_NE(nullptr, thread);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    CloseHandle(thread);
    EXPECT_NE(0u, id);
    EXPECT_EQ(id, w.idInside.load());
    EXPECT_NE(0u, GetCurrentThreadId());
    EXPECT_NE(GetCurrentThreadId(), id);
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
}

TEST(Threads, ClosingTheHandleFirstLetsTheThreadRunOn) {
    Worker w;
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Worker::body, &w, 0, nullptr));
    ASSERT_NE(nullptr, thread);
    EXPECT_EQ(TRUE, CloseHandle(thread));
    SetEvent(w.release);
    for (int i = 0; i < 1000 && !w.done; ++i) {
        Sleep(10);
    }
    EXPECT_TRUE(w.done);
}

TEST(Threads, ThreadHandleAndEventInOneWait) {
    Worker w;
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Worker::body, &w, 0, nullptr));
    ASSERT_NE(nullptr, thread);
    HANDLE other = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE h[2] = {other, thread};
    EXPECT_EQ(WAIT_TIMEOUT, WaitForMultipleObjects(2, h, FALSE, 10));
    SetEvent(w.release);
    EXPECT_EQ(WAIT_OBJECT_0 + 1, WaitForMultipleObjects(2, h, FALSE, 10000));
    CloseHandle(other);
    CloseHandle(thread);
}

TEST(Threads, PriorityIsRecordedPerThread) {
    Worker w;
    HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &Worker::body, &w, 0, nullptr));
    ASSERT_NE(nullptr, thread);
    for (int i = 0; i < 1000 && w.priorityAfterSet == -99; ++i) {
        Sleep(5);
    }
    EXPECT_EQ(THREAD_PRIORITY_NORMAL, w.priorityInside.load());
    EXPECT_EQ(THREAD_PRIORITY_TIME_CRITICAL, w.priorityAfterSet.load());
    EXPECT_EQ(THREAD_PRIORITY_TIME_CRITICAL, GetThreadPriority(thread));
    EXPECT_EQ(THREAD_PRIORITY_NORMAL, plat::testing::currentThreadPriority()) << "leaked to the creator";

    EXPECT_EQ(TRUE, SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(THREAD_PRIORITY_HIGHEST, GetThreadPriority(thread));
    SetLastError(0);
    EXPECT_EQ(FALSE, SetThreadPriority(thread, 7));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetLastError());
    SetEvent(w.release);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
    CloseHandle(thread);
    SetLastError(0);
    EXPECT_EQ(FALSE, SetThreadPriority(thread, THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
}

// What a thread wrote before it ended, or before it set an event, is seen by the thread whose wait
// reports that: plain memory, written on both sides, so that ThreadSanitizer checks the ordering
// the wait gives (the thread handle and a manual-reset event are only polled, never read).
TEST(Threads, WorkBeforeTheEndOrASignalIsOrderedBeforeTheWait) {
    enum class Wait { ThreadEnd, ManualEvent, AutoEvent, ThreadEndInWaitAll };
    const struct {
        const char* name;
        Wait wait;
    } cases[] = {
        {"the thread's handle", Wait::ThreadEnd},
        {"a manual-reset event", Wait::ManualEvent},
        {"an auto-reset event", Wait::AutoEvent},
        {"the thread's handle in a wait for all", Wait::ThreadEndInWaitAll},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        struct Shared {
            HANDLE event = nullptr;
            int written = 0;
            std::vector<int> list;
        } shared;
        if (c.wait == Wait::ManualEvent || c.wait == Wait::AutoEvent) {
            shared.event = CreateEventA(nullptr, c.wait == Wait::ManualEvent, FALSE, nullptr);
        }
        auto body = [](void* p) -> unsigned {
            auto* s = static_cast<Shared*>(p);
            s->written = 42;
            s->list.assign(100, 7);
            if (s->event) {
                SetEvent(s->event);
                Sleep(50); // runs on after the signal
            }
            return 0;
        };
        HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, body, &shared, 0, nullptr));
        ASSERT_NE(nullptr, thread);
        if (c.wait == Wait::ThreadEndInWaitAll) {
            HANDLE other = CreateEventA(nullptr, TRUE, TRUE, nullptr);
            HANDLE h[2] = {other, thread};
            ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, h, TRUE, 10000));
            CloseHandle(other);
        } else {
            ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(shared.event ? shared.event : thread, 10000));
        }
        EXPECT_EQ(42, shared.written);
        EXPECT_EQ(100u, shared.list.size());
        shared.written = 0;
        shared.list.clear();
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 10000));
        CloseHandle(thread);
        if (shared.event) {
            CloseHandle(shared.event);
        }
    }
}

TEST(Threads, BadStartsFail) {
    EXPECT_EQ(0u, _beginthreadex(nullptr, 0, nullptr, nullptr, 0, nullptr));
    auto body = [](void*) -> unsigned { return 0; };
    EXPECT_EQ(0u, _beginthreadex(nullptr, 0, body, nullptr, 4 /* CREATE_SUSPENDED */, nullptr));
}

} // namespace
