// A joinable thread with a virtual body.
#pragma once

#include "plat/sync.h"

namespace kmt {

class Thread {
public:
    Thread() = default;
    // Joins a running thread; a derived class must make run() return before this runs.
    virtual ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    virtual void run() = 0;

    void start();
    void join();
    // Lets the thread run on without a handle: nothing waits for it any more and the object is idle
    // at once. Whoever detaches must see to it that the body is done with what it uses (the object
    // included) before that goes.
    void detach();
    bool joinable() const { return threadId != 0; }
    unsigned id() const { return threadId; }

private:
    static unsigned threadMain(void* startRecord);

    plat::HANDLE handle = nullptr;
    unsigned threadId = 0;
};

} // namespace kmt
