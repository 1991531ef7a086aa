#include "kmt/scheduler.h"

#include "kmt/socket.h"
#include "plat/net.h"
#include "plat/time.h"

#include <cstdio>
#include <stdexcept>

namespace kmt {

namespace {

int64_t nowMs() {
    plat::__timeb64 tb{};
    plat::_ftime64_s(&tb);
    return tb.time * 1000 + tb.millitm;
}

} // namespace

EventScheduler::EventScheduler() : running(true) {
    wakeEvent = plat::CreateEventA(nullptr, plat::FALSE, plat::FALSE, nullptr);
    if (!wakeEvent)
        throw std::runtime_error("EventScheduler: create event failed");
}

EventScheduler::~EventScheduler() {
    plat::CloseHandle(wakeEvent);
    for (SocketEntry& e : sockets)
        if (e.event)
            plat::CloseHandle(e.event);
    while (head) {
        TimerEntry* next = head->next;
        delete head;
        head = next;
    }
}

void EventScheduler::addSocket(Socket& socket, EventCallbackBase* callback) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    // A 64th socket would make every wait fail and the loop spin; refuse it instead.
    if (sockets.size() >= kMaxSockets)
        throw std::runtime_error("EventScheduler: too many sockets");
    plat::HANDLE event = plat::CreateEventA(nullptr, plat::FALSE, plat::FALSE, nullptr);
    sockets.push_back(SocketEntry{socket.handle(), event, callback});
    if (!event)
        throw std::runtime_error("EventScheduler: create event failed");
    if (plat::WSAEventSelect(socket.handle(), event, plat::FD_READ | plat::FD_ACCEPT | plat::FD_CLOSE) ==
        plat::SOCKET_ERROR) {
        int code = plat::WSAGetLastError();
        // The entry stays, but its event must never fire.
        plat::CloseHandle(event);
        sockets.back().event = nullptr;
        throw SocketException("WSAEventSelect", code);
    }
    plat::SetEvent(wakeEvent);
}

void EventScheduler::ageHead() {
    int64_t now = nowMs();
    int64_t elapsed = now - lastUpdate;
    lastUpdate = now;
    if (!head)
        return;
    if (elapsed < 0 || elapsed > static_cast<int64_t>(head->delta))
        head->delta = 0;
    else
        head->delta -= static_cast<uint32_t>(elapsed);
}

void EventScheduler::addTimer(int delayMs, EventCallbackBase* callback) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    ageHead();
    uint32_t remaining = static_cast<uint32_t>(delayMs < 0 ? 0 : delayMs);
    TimerEntry* at = head;
    while (at && at->delta <= remaining) {
        remaining -= at->delta;
        at = at->next;
    }
    TimerEntry* entry = new TimerEntry{remaining, callback, nullptr, at};
    if (at) {
        at->delta -= remaining;
        entry->prev = at->prev;
        at->prev = entry;
    } else {
        entry->prev = tail;
        tail = entry;
    }
    if (entry->prev)
        entry->prev->next = entry;
    else
        head = entry;
    plat::SetEvent(wakeEvent);
}

void EventScheduler::removeTimer(EventCallbackBase* callback) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    int removed = 0;
    TimerEntry* e = head;
    while (e) {
        TimerEntry* next = e->next;
        if (e->callback == callback) {
            if (next)
                next->delta += e->delta;
            (e->prev ? e->prev->next : head) = next;
            (next ? next->prev : tail) = e->prev;
            delete e;
            if (++removed > 1)
                std::printf("event removed more then one\n");
        }
        e = next;
    }
}

size_t EventScheduler::timerCount() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    size_t n = 0;
    for (TimerEntry* e = head; e; e = e->next)
        ++n;
    return n;
}

void EventScheduler::runOnce() {
    std::vector<plat::HANDLE> handles;
    std::vector<size_t> owners; // socket index of each handle
    plat::DWORD timeout = plat::INFINITE;
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        handles.reserve(sockets.size() + 1);
        for (size_t i = 0; i < sockets.size(); ++i) {
            if (sockets[i].event) {
                handles.push_back(sockets[i].event);
                owners.push_back(i);
            }
        }
        if (head) {
            ageHead();
            timeout = head->delta;
        }
    }
    if (timeout != 0) {
        handles.push_back(wakeEvent);
        plat::DWORD r = plat::WaitForMultipleObjects(static_cast<plat::DWORD>(handles.size()), handles.data(),
                                                     plat::FALSE, timeout);
        if (r == plat::WAIT_OBJECT_0 + handles.size() - 1)
            return;
        if (r < plat::WAIT_OBJECT_0 + handles.size() - 1) {
            EventCallbackBase* callback;
            {
                std::lock_guard<std::recursive_mutex> guard(lock);
                callback = sockets[owners[r - plat::WAIT_OBJECT_0]].callback;
            }
            callback->invoke();
            return;
        }
        // A time-out, or a failed wait: the head timer runs.
    }
    EventCallbackBase* callback = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        if (head) {
            TimerEntry* e = head;
            callback = e->callback;
            lastUpdate += e->delta;
            head = e->next;
            (head ? head->prev : tail) = nullptr;
            delete e;
        }
    }
    if (callback)
        callback->invoke();
}

void EventScheduler::run() {
    try {
        while (running.load())
            runOnce();
    } catch (...) {
        running.store(true);
        throw;
    }
    running.store(true);
}

void EventScheduler::stop() {
    running.store(false);
    plat::SetEvent(wakeEvent);
}

} // namespace kmt
