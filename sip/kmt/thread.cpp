#include "kmt/thread.h"

#include <exception>
#include <system_error>

namespace kmt {

namespace {
struct StartRecord {
    Thread* thread;
    // Set once the starter has stored handle and id, so that the body sees itself joinable.
    plat::HANDLE started;
};
} // namespace

unsigned Thread::threadMain(void* startRecord) {
    auto* record = static_cast<StartRecord*>(startRecord);
    Thread* self = record->thread;
    plat::WaitForSingleObject(record->started, plat::INFINITE);
    plat::CloseHandle(record->started);
    delete record;
    // An exception leaving a thread body ends the process; bodies catch what they must.
    try {
        self->run();
    } catch (...) {
        std::terminate();
    }
    return 0;
}

void Thread::start() {
    if (joinable())
        std::terminate();
    plat::HANDLE started = plat::CreateEventA(nullptr, plat::TRUE, plat::FALSE, nullptr);
    if (!started)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    auto* record = new StartRecord{this, started};
    unsigned id = 0;
    uintptr_t h = plat::_beginthreadex(nullptr, 0, &Thread::threadMain, record, 0, &id);
    if (h == 0) {
        plat::CloseHandle(started);
        delete record;
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    handle = reinterpret_cast<plat::HANDLE>(h);
    threadId = id;
    plat::SetEvent(started);
}

void Thread::join() {
    if (!joinable())
        return;
    if (threadId == plat::GetCurrentThreadId())
        throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur));
    if (plat::WaitForSingleObject(handle, plat::INFINITE) == plat::WAIT_FAILED)
        throw std::system_error(std::make_error_code(std::errc::no_such_process));
    plat::CloseHandle(handle);
    handle = nullptr;
    threadId = 0;
}

void Thread::detach() {
    if (!joinable())
        return;
    plat::CloseHandle(handle);
    handle = nullptr;
    threadId = 0;
}

Thread::~Thread() {
    try {
        join();
    } catch (...) {
        std::terminate();
    }
}

} // namespace kmt
