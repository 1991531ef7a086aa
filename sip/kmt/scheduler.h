// The single-threaded event loop: socket events, one-shot timers and work posted from other threads.
#pragma once

#include "plat/net.h"
#include "plat/sync.h"

#include <atomic>
#include <cstdint>
#include <mutex>
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

private:
    struct SocketEntry {
        plat::SOCKET socket;
        plat::HANDLE event;
        EventCallbackBase* callback;
    };
    struct TimerEntry {
        uint32_t delta;
        EventCallbackBase* callback;
        TimerEntry* prev;
        TimerEntry* next;
    };

    void ageHead();

    std::recursive_mutex lock;
    plat::HANDLE wakeEvent;
    std::atomic<bool> running;
    std::vector<SocketEntry> sockets;
    TimerEntry* head = nullptr;
    TimerEntry* tail = nullptr;
    int64_t lastUpdate = 0;
};

} // namespace kmt
