// The single-threaded event loop: socket events, one-shot timers and work posted from other threads.
#pragma once

#include "plat/net.h"
#include "plat/sync.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kmt {

class Socket;

class EventCallbackBase {
public:
    virtual ~EventCallbackBase() = default;
    virtual void invoke() = 0;
};

template <class T> class EventCallback : public EventCallbackBase {
public:
    using Member = void (T::*)();
    EventCallback(T* object_, Member member_) : object(object_), member(member_) {}
    void invoke() override { (object->*member)(); }

private:
    T* object;
    Member member;
};

class EventScheduler {
public:
    // At most this many sockets: the wait takes 64 handles and one is the wake event.
    static constexpr size_t kMaxSockets = plat::MAXIMUM_WAIT_OBJECTS - 1;

    EventScheduler();
    ~EventScheduler();
    EventScheduler(const EventScheduler&) = delete;
    EventScheduler& operator=(const EventScheduler&) = delete;

    void addSocket(Socket& socket, EventCallbackBase* callback);
    void addTimer(int delayMs, EventCallbackBase* callback);
    void removeTimer(EventCallbackBase* callback);
    void runOnce();
    void run();
    void stop();

    // Pending timer entries (tests, diagnostics).
    size_t timerCount();
    // Whether the loop is at the end of what it can serve: over its last measuring windows it ran a
    // flood of events, one after the other, with hardly a pause between them; until it has time to
    // spare again. One slow event, or one busy window, is no overload. Loop thread only.
    bool isOverloaded() const { return overloaded; }

    // The measuring window; the smoothed share of time spent in events (the rest is the loop's wait
    // and its bookkeeping) from which the loop is overloaded, and below which it is no longer; and
    // the events in a window it takes to make a flood.
    static constexpr int64_t kLoadWindowUs = 100000;
    static constexpr int kOverloadPercent = 90;
    static constexpr int kRecoveredPercent = 85;
    static constexpr int kFloodEvents = 50;

private:
    struct SocketEntry {
        plat::SOCKET socket;
        plat::HANDLE event;
        EventCallbackBase* callback;
    };
    // Timers are ordered by due time on the loop's own time line, then by posting order. That time
    // line follows the wall clock, except that the head's due time becomes "now" when the clock
    // jumps or the loop is late: later timers keep their spacing after the head.
    using TimerKey = std::pair<int64_t, uint64_t>; // due time, posting number
    using TimerMap = std::map<TimerKey, EventCallbackBase*>;

    void ageHead();
    // Milliseconds until the head is due; the list must not be empty.
    uint32_t headDelay() const;
    void eraseTimer(TimerMap::iterator entry);
    // Closes the measuring window when it is over. Events are the callbacks run (a wake by the
    // event alone is none), timed by invokeCounted.
    void noteLoad();
    void invokeCounted(EventCallbackBase* callback);

    std::recursive_mutex lock;
    plat::HANDLE wakeEvent;
    std::atomic<bool> running;
    std::vector<SocketEntry> sockets;
    TimerMap timers;
    // Every pending entry of a callback, for removal without a walk.
    std::unordered_multimap<EventCallbackBase*, TimerMap::iterator> timersByCallback;
    uint64_t postings = 0;
    // The loop's time line at the last update.
    int64_t timeline = 0;
    int64_t lastUpdate = 0;
    // The current measuring window (steady clock, microseconds).
    int64_t windowStartUs = 0;
    int64_t busyUs = 0;
    int windowEvents = 0;
    int loadPercent = 0;
    bool overloaded = false;
};

} // namespace kmt
