// Events on eventfd, waits on poll, threads on pthreads.
#include "internal.h"

#include "plat/sync.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace plat {

namespace {

std::atomic<int> openEvents{0};
std::atomic<DWORD> nextThreadId{1};
// Thread starts still to fail (tests); negative: all of them.
std::atomic<int> failingThreadStarts{0};

bool threadStartFails() {
    int n = failingThreadStarts.load();
    while (n != 0) {
        if (n < 0)
            return true;
        if (failingThreadStarts.compare_exchange_weak(n, n - 1))
            return true;
    }
    return false;
}

thread_local std::shared_ptr<detail::ThreadState> threadState;

constexpr int kThreadPriorityErrorReturn = INT_MAX;

bool validPriority(int priority) {
    // THREAD_PRIORITY_IDLE (-15), LOWEST (-2) .. HIGHEST (2), TIME_CRITICAL (15).
    return priority == -15 || priority == 15 || (priority >= -2 && priority <= 2);
}

// Signals an event or an ended thread's handle: readable from now on.
void signalObject(HandleObject& object) {
    PLAT_TSAN_RELEASE(&object);
    const uint64_t one = 1;
    while (::write(object.fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

// Reads the eventfd counter to 0. True when it was nonzero (the caller consumed the signal).
bool drainFd(int fd) {
    uint64_t value = 0;
    for (;;) {
        if (::read(fd, &value, sizeof value) == sizeof value) {
            return true;
        }
        if (errno != EINTR) {
            return false;
        }
    }
}

// One object of a wait with the descriptors it is watched through.
struct WaitItem {
    std::shared_ptr<HandleObject> object;
    size_t firstFd = 0; // index into the poll array
    size_t fdCount = 0;
};

void buildPollSet(std::vector<WaitItem>& items, std::vector<pollfd>& fds) {
    fds.clear();
    for (WaitItem& item : items) {
        item.firstFd = fds.size();
        fds.push_back(pollfd{item.object->fd, POLLIN, 0});
        if (item.object->kind == HandleObject::Kind::Event) {
            auto* event = static_cast<detail::EventObject*>(item.object.get());
            std::lock_guard<std::mutex> guard(event->bindingsLock);
            for (const detail::SocketBinding& b : event->bindings) {
                fds.push_back(pollfd{b.fd, b.pollEvents, 0});
            }
        }
        item.fdCount = fds.size() - item.firstFd;
    }
}

// Whether a socket descriptor's poll result counts for its binding (an error or hang-up is
// something the socket's owner must read, as FD_READ / FD_CLOSE would report it).
bool socketReady(const pollfd& p) {
    return (p.revents & (p.events | POLLERR | POLLHUP)) && !(p.revents & POLLNVAL);
}

// Polls one item on its own without waiting: is it signalled now?
bool itemSignalled(const WaitItem& item, const std::vector<pollfd>& fds, bool* ownFdReady) {
    *ownFdReady = (fds[item.firstFd].revents & POLLIN) != 0;
    if (*ownFdReady) {
        return true;
    }
    for (size_t k = 1; k < item.fdCount; ++k) {
        if (socketReady(fds[item.firstFd + k])) {
            return true;
        }
    }
    return false;
}

bool isAutoReset(const WaitItem& item) {
    return item.object->kind == HandleObject::Kind::Event &&
           !static_cast<detail::EventObject*>(item.object.get())->manualReset;
}

// Claims a signalled item for the caller: an auto-reset event is reset by the wait that reports
// it. False when another waiter consumed the signal first.
bool claim(const WaitItem& item, bool ownFdReady, bool socketSignal) {
    if (!isAutoReset(item)) {
        return true;
    }
    const bool consumed = drainFd(item.object->fd);
    return consumed || socketSignal || !ownFdReady;
}

int pollRemaining(std::vector<pollfd>& fds, DWORD timeoutMs,
                  const std::chrono::steady_clock::time_point& deadline) {
    int waitMs = -1;
    if (timeoutMs != INFINITE) {
        const auto left = deadline - std::chrono::steady_clock::now();
        const auto leftMs = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        waitMs = leftMs <= 0 ? 0 : static_cast<int>(leftMs > INT_MAX ? INT_MAX : leftMs);
    }
    return ::poll(fds.data(), fds.size(), waitMs);
}

bool expired(DWORD timeoutMs, const std::chrono::steady_clock::time_point& deadline) {
    return timeoutMs != INFINITE && std::chrono::steady_clock::now() >= deadline;
}

DWORD waitAny(std::vector<WaitItem>& items, DWORD timeoutMs,
              const std::chrono::steady_clock::time_point& deadline) {
    std::vector<pollfd> fds;
    for (;;) {
        buildPollSet(items, fds);
        const int n = pollRemaining(fds, timeoutMs, deadline);
        if (n < 0 && errno != EINTR) {
            return detail::fail<DWORD>(ERROR_INVALID_HANDLE, WAIT_FAILED);
        }
        if (n > 0) {
            // The lowest signalled index wins.
            for (size_t i = 0; i < items.size(); ++i) {
                bool ownFdReady = false;
                if (!itemSignalled(items[i], fds, &ownFdReady)) {
                    continue;
                }
                bool socketSignal = false;
                for (size_t k = 1; k < items[i].fdCount; ++k) {
                    socketSignal = socketSignal || socketReady(fds[items[i].firstFd + k]);
                }
                if (claim(items[i], ownFdReady, socketSignal)) {
                    PLAT_TSAN_ACQUIRE(items[i].object.get());
                    return WAIT_OBJECT_0 + static_cast<DWORD>(i);
                }
            }
        }
        if (expired(timeoutMs, deadline)) {
            return WAIT_TIMEOUT;
        }
    }
}

// Every object at once. The state is sampled with a zero-time poll; while some objects are not
// signalled the wait sleeps on those only.
DWORD waitAll(std::vector<WaitItem>& items, DWORD timeoutMs,
              const std::chrono::steady_clock::time_point& deadline) {
    std::vector<pollfd> fds;
    for (;;) {
        buildPollSet(items, fds);
        if (::poll(fds.data(), fds.size(), 0) < 0 && errno != EINTR) {
            return detail::fail<DWORD>(ERROR_INVALID_HANDLE, WAIT_FAILED);
        }
        std::vector<pollfd> pending;
        std::vector<bool> ownReady(items.size());
        for (size_t i = 0; i < items.size(); ++i) {
            bool own = false;
            if (itemSignalled(items[i], fds, &own)) {
                ownReady[i] = own;
            } else {
                pending.insert(pending.end(), fds.begin() + items[i].firstFd,
                               fds.begin() + items[i].firstFd + items[i].fdCount);
            }
        }
        if (pending.empty()) {
            for (size_t i = 0; i < items.size(); ++i) {
                if (isAutoReset(items[i])) {
                    drainFd(items[i].object->fd);
                }
                PLAT_TSAN_ACQUIRE(items[i].object.get());
            }
            return WAIT_OBJECT_0;
        }
        if (expired(timeoutMs, deadline)) {
            return WAIT_TIMEOUT;
        }
        for (pollfd& p : pending) {
            p.revents = 0;
        }
        if (pollRemaining(pending, timeoutMs, deadline) < 0 && errno != EINTR) {
            return detail::fail<DWORD>(ERROR_INVALID_HANDLE, WAIT_FAILED);
        }
    }
}

struct StartRecord {
    plat::ThreadStart start;
    void* arg;
    std::shared_ptr<detail::ThreadObject> object;
};

// Signals the thread's handle when the thread's own thread-local objects are gone: it is the
// first thread-local constructed in a new thread, so it is destroyed last.
struct ThreadExitSignal {
    std::shared_ptr<detail::ThreadObject> object;
    ~ThreadExitSignal() {
        if (object) {
            signalObject(*object);
        }
    }
};

void* threadEntry(void* raw) {
    StartRecord* record = static_cast<StartRecord*>(raw);
    thread_local ThreadExitSignal exitSignal;
    exitSignal.object = std::move(record->object);
    threadState = exitSignal.object->state;
    plat::ThreadStart start = record->start;
    void* arg = record->arg;
    delete record;
    start(arg);
    return nullptr;
}

std::shared_ptr<detail::ThreadState> stateOf(HANDLE thread) {
    if (thread == detail::currentThreadPseudoHandle()) {
        return detail::currentThreadState();
    }
    std::shared_ptr<HandleObject> object = detail::findHandle(thread);
    if (!object || object->kind != HandleObject::Kind::Thread) {
        return nullptr;
    }
    return static_cast<detail::ThreadObject*>(object.get())->state;
}

} // namespace

namespace detail {

std::shared_ptr<ThreadState> currentThreadState() {
    if (!threadState) {
        auto state = std::make_shared<ThreadState>();
        state->id = nextThreadId.fetch_add(1);
        threadState = std::move(state);
    }
    return threadState;
}

void eventClosed() {
    openEvents.fetch_sub(1);
}

} // namespace detail

HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name) {
        return detail::fail<HANDLE>(ERROR_NOT_SUPPORTED, nullptr);
    }
    auto event = std::make_shared<detail::EventObject>();
    event->manualReset = manualReset != FALSE;
    event->fd = ::eventfd(initialState ? 1 : 0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (event->fd < 0) {
        return detail::fail<HANDLE>(ERROR_NO_SYSTEM_RESOURCES, nullptr);
    }
    openEvents.fetch_add(1);
    return detail::addHandle(std::move(event));
}

BOOL SetEvent(HANDLE h) {
    std::shared_ptr<detail::EventObject> event = detail::findEvent(h);
    if (!event) {
        return detail::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    }
    signalObject(*event);
    return TRUE;
}

BOOL ResetEvent(HANDLE h) {
    std::shared_ptr<detail::EventObject> event = detail::findEvent(h);
    if (!event) {
        return detail::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    }
    drainFd(event->fd);
    return TRUE;
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAllFlag, DWORD timeoutMs) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        return detail::fail<DWORD>(ERROR_INVALID_PARAMETER, WAIT_FAILED);
    }
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs == INFINITE ? 0 : timeoutMs);
    std::vector<WaitItem> items(count);
    for (DWORD i = 0; i < count; ++i) {
        items[i].object = detail::findHandle(handles[i]);
        if (!items[i].object) {
            return detail::fail<DWORD>(ERROR_INVALID_HANDLE, WAIT_FAILED);
        }
        if (waitAllFlag) {
            for (DWORD j = 0; j < i; ++j) {
                if (handles[j] == handles[i]) {
                    return detail::fail<DWORD>(ERROR_INVALID_PARAMETER, WAIT_FAILED);
                }
            }
        }
    }
    return waitAllFlag ? waitAll(items, timeoutMs, deadline) : waitAny(items, timeoutMs, deadline);
}

DWORD WaitForSingleObject(HANDLE h, DWORD timeoutMs) {
    return WaitForMultipleObjects(1, &h, FALSE, timeoutMs);
}

uintptr_t _beginthreadex(void* security, unsigned stackSize, plat::ThreadStart start, void* arg,
                         unsigned flags, unsigned* threadId) {
    // Suspended creation (the only flag) is not supported.
    if (!start || flags != 0) {
        errno = EINVAL;
        return detail::fail<uintptr_t>(ERROR_INVALID_PARAMETER, 0);
    }
    if (threadStartFails()) {
        errno = EAGAIN;
        return detail::fail<uintptr_t>(ERROR_NOT_ENOUGH_MEMORY, 0);
    }
    auto object = std::make_shared<detail::ThreadObject>();
    object->fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (object->fd < 0) {
        errno = EAGAIN;
        return detail::fail<uintptr_t>(ERROR_NO_SYSTEM_RESOURCES, 0);
    }
    object->state = std::make_shared<detail::ThreadState>();
    object->state->id = nextThreadId.fetch_add(1);
    const DWORD id = object->state->id;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0) {
        pthread_attr_setstacksize(&attr, stackSize < PTHREAD_STACK_MIN ? PTHREAD_STACK_MIN : stackSize);
    }
    HANDLE handle = detail::addHandle(object);
    auto* record = new StartRecord{start, arg, std::move(object)};
    pthread_t thread;
    const int rc = pthread_create(&thread, &attr, threadEntry, record);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete record;
        detail::removeHandle(handle);
        errno = EAGAIN;
        return detail::fail<uintptr_t>(ERROR_NOT_ENOUGH_MEMORY, 0);
    }
    if (threadId) {
        *threadId = id;
    }
    return reinterpret_cast<uintptr_t>(handle);
}

DWORD GetCurrentThreadId() {
    return detail::currentThreadState()->id;
}

HANDLE GetCurrentThread() {
    return detail::currentThreadPseudoHandle();
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
    std::shared_ptr<detail::ThreadState> state = stateOf(thread);
    if (!state) {
        return detail::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    }
    if (!validPriority(priority)) {
        return detail::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    }
    state->priority.store(priority);
    return TRUE;
}

int GetThreadPriority(HANDLE thread) {
    std::shared_ptr<detail::ThreadState> state = stateOf(thread);
    if (!state) {
        return detail::fail<int>(ERROR_INVALID_HANDLE, kThreadPriorityErrorReturn);
    }
    return state->priority.load();
}

namespace {
thread_local EXECUTION_STATE executionState = 0;
} // namespace

EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags) {
    EXECUTION_STATE previous = executionState;
    // Without ES_CONTINUOUS the request is a one-off reset and is not kept.
    if (flags & ES_CONTINUOUS)
        executionState = flags;
    return previous;
}

namespace testing {
EXECUTION_STATE currentExecutionState() { return executionState; }

int currentThreadPriority() {
    return detail::currentThreadState()->priority.load();
}
int openEventCount() {
    return openEvents.load();
}
void failThreadStarts(int count) {
    failingThreadStarts.store(count);
}
} // namespace testing

} // namespace plat
