// Shared internals of the platform library: the handle table and the waitable objects behind HANDLE.
// Not installed; only platform/src/*.cpp include it.
#pragma once

#include "plat/types.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

// ThreadSanitizer sees no ordering in an eventfd written by one thread and polled by another: a
// thread's work before it signals an event, or before it ends, and its waiter's work after the wait
// would be reported as races. A signal releases the object and a wait that reports it acquires it.
#if defined(__SANITIZE_THREAD__)
#define PLAT_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define PLAT_TSAN 1
#endif
#endif
#ifdef PLAT_TSAN
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#define PLAT_TSAN_ACQUIRE(address) __tsan_acquire(address)
#define PLAT_TSAN_RELEASE(address) __tsan_release(address)
#else
#define PLAT_TSAN_ACQUIRE(address) ((void)0)
#define PLAT_TSAN_RELEASE(address) ((void)0)
#endif

namespace plat {

// Every HANDLE this library gives out points at one of these. The table below owns them; a wait
// holds its own reference, so CloseHandle during a wait in another thread is safe.
struct HandleObject {
    enum class Kind { Event, Thread, Process, File };
    explicit HandleObject(Kind k) : kind(k) {}
    virtual ~HandleObject();
    HandleObject(const HandleObject&) = delete;
    HandleObject& operator=(const HandleObject&) = delete;

    const Kind kind;
    // eventfd: readable while the object is signalled.
    int fd = -1;
};

namespace detail {

// Per-thread record: the id GetCurrentThreadId reports and the priority SetThreadPriority recorded.
struct ThreadState {
    DWORD id = 0;
    std::atomic<int> priority{0};
};
std::shared_ptr<ThreadState> currentThreadState();

// A socket bound to an event by WSAEventSelect: the event counts as signalled while poll reports
// pollEvents on fd.
struct SocketBinding {
    int fd;
    short pollEvents;
};

struct EventObject : HandleObject {
    EventObject() : HandleObject(Kind::Event) {}
    bool manualReset = false;
    std::mutex bindingsLock;
    std::vector<SocketBinding> bindings;
};

struct ThreadObject : HandleObject {
    ThreadObject() : HandleObject(Kind::Thread) {}
    std::shared_ptr<ThreadState> state;
};

// The handle table.
HANDLE addHandle(std::shared_ptr<HandleObject> object);
std::shared_ptr<HandleObject> findHandle(HANDLE h);
std::shared_ptr<HandleObject> removeHandle(HANDLE h);
std::shared_ptr<EventObject> findEvent(HANDLE h);

// Pseudo handle returned by GetCurrentThread.
inline HANDLE currentThreadPseudoHandle() {
    return reinterpret_cast<HANDLE>(~uintptr_t(1));
}

// Called by CloseHandle for each kind it closes.
void eventClosed();

// Sets the last error and returns the given result (for one-line failure paths).
template <typename T> T fail(DWORD code, T result) {
    SetLastError(code);
    return result;
}

} // namespace detail
} // namespace plat
