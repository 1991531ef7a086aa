#include "kmt/scheduler.h"

#include "kmt/socket.h"
#include "plat/net.h"
#include "plat/time.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <system_error>

namespace kmt {

namespace {

int64_t nowMs() {
    plat::__timeb64 tb{};
    plat::_ftime64_s(&tb);
    return tb.time * 1000 + tb.millitm;
}

int64_t steadyUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

EventScheduler::EventScheduler() : running(true) {
    wakeEvent = plat::CreateEventA(nullptr, plat::FALSE, plat::FALSE, nullptr);
    if (!wakeEvent)
        throw std::system_error(std::make_error_code(std::errc::too_many_files_open), "EventScheduler: create event failed");
}

EventScheduler::~EventScheduler() {
    plat::CloseHandle(wakeEvent);
    for (SocketEntry& e : sockets)
        if (e.event)
            plat::CloseHandle(e.event);
}

void EventScheduler::addSocket(Socket& socket, EventCallbackBase* callback) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    // A 64th socket would make every wait fail and the loop spin; refuse it instead.
    if (sockets.size() >= kMaxSockets)
        throw std::runtime_error("EventScheduler: too many sockets");
    plat::HANDLE event = plat::CreateEventA(nullptr, plat::FALSE, plat::FALSE, nullptr);
    sockets.push_back(SocketEntry{socket.handle(), event, callback});
    if (!event)
        throw std::system_error(std::make_error_code(std::errc::too_many_files_open), "EventScheduler: create event failed");
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

uint32_t EventScheduler::headDelay() const {
    const int64_t delay = timers.begin()->first.first - timeline;
    return static_cast<uint32_t>(delay < 0 ? 0 : delay);
}

void EventScheduler::ageHead() {
    int64_t now = nowMs();
    int64_t elapsed = now - lastUpdate;
    lastUpdate = now;
    if (timers.empty())
        return;
    // A clock set back, or a head already overdue, makes the head due now.
    if (elapsed < 0 || elapsed > static_cast<int64_t>(headDelay()))
        timeline = timers.begin()->first.first;
    else
        timeline += elapsed;
}

void EventScheduler::eraseTimer(TimerMap::iterator entry) {
    auto range = timersByCallback.equal_range(entry->second);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == entry) {
            timersByCallback.erase(it);
            break;
        }
    }
    timers.erase(entry);
}

void EventScheduler::addTimer(int delayMs, EventCallbackBase* callback) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    ageHead();
    const int64_t due = timeline + (delayMs < 0 ? 0 : delayMs);
    // Equal due times run in posting order.
    auto entry = timers.emplace(TimerKey(due, postings++), callback).first;
    timersByCallback.emplace(callback, entry);
    plat::SetEvent(wakeEvent);
}

void EventScheduler::removeTimer(EventCallbackBase* callback) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto range = timersByCallback.equal_range(callback);
    int removed = 0;
    for (auto it = range.first; it != range.second; ++it) {
        timers.erase(it->second);
        if (++removed > 1)
            std::printf("event removed more then one\n");
    }
    timersByCallback.erase(range.first, range.second);
}

size_t EventScheduler::timerCount() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return timers.size();
}

void EventScheduler::noteLoad() {
    const int64_t now = steadyUs();
    const int64_t length = now - windowStartUs;
    if (length < kLoadWindowUs)
        return;
    // The share of time in events, smoothed over the last windows: a window busier than the loop can
    // be for long is a burst, several in a row are an overload.
    const int64_t share = busyUs * 100 / length;
    loadPercent = (loadPercent + static_cast<int>(share > 100 ? 100 : share)) / 2;
    if (!overloaded)
        overloaded = windowEvents >= kFloodEvents && loadPercent >= kOverloadPercent;
    else
        overloaded = loadPercent >= kRecoveredPercent;
    windowStartUs = now;
    busyUs = 0;
    windowEvents = 0;
}

void EventScheduler::runOnce() {
    noteLoad();
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
        if (!timers.empty()) {
            ageHead();
            timeout = headDelay();
        }
    }
    if (timeout != 0) {
        handles.push_back(wakeEvent);
        plat::DWORD r = plat::WaitForMultipleObjects(static_cast<plat::DWORD>(handles.size()), handles.data(),
                                                     plat::FALSE, timeout);
        // The wait was time not busy: what woke the loop is judged with it counted.
        noteLoad();
        if (r == plat::WAIT_OBJECT_0 + handles.size() - 1)
            return;
        if (r < plat::WAIT_OBJECT_0 + handles.size() - 1) {
            EventCallbackBase* callback;
            {
                std::lock_guard<std::recursive_mutex> guard(lock);
                callback = sockets[owners[r - plat::WAIT_OBJECT_0]].callback;
            }
            invokeCounted(callback);
            return;
        }
        // A time-out, or a failed wait: the head timer runs.
    }
    EventCallbackBase* callback = nullptr;
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        if (!timers.empty()) {
            auto head = timers.begin();
            callback = head->second;
            const int64_t due = head->first.first;
            if (due > timeline) {
                lastUpdate += due - timeline;
                timeline = due;
            }
            eraseTimer(head);
        }
    }
    if (callback)
        invokeCounted(callback);
}

void EventScheduler::invokeCounted(EventCallbackBase* callback) {
    ++windowEvents;
    const int64_t start = steadyUs();
    callback->invoke();
    busyUs += steadyUs() - start;
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
