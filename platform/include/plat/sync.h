// Events, waits and threads.
#pragma once

#include "plat/time.h"
#include "plat/types.h"

namespace plat {

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED_0 = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

// Events (eventfd underneath). The security attributes are ignored; names are not supported
// (a non-null name fails with ERROR_NOT_SUPPORTED).
HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState, LPCSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Waits on events and thread handles. With waitAll false the lowest signalled index wins; an
// auto-reset event is reset by the wait that reports it. Fails (WAIT_FAILED, ERROR_INVALID_PARAMETER)
// for count 0 or above MAXIMUM_WAIT_OBJECTS, or an invalid handle (ERROR_INVALID_HANDLE).
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeoutMs);
DWORD WaitForSingleObject(HANDLE h, DWORD timeoutMs);

// Threads. The handle is waitable (signalled when the thread ends) and closed with CloseHandle.
using ThreadStart = unsigned (*)(void*);
uintptr_t _beginthreadex(void* security, unsigned stackSize, ThreadStart start, void* arg, unsigned flags,
                         unsigned* threadId);
DWORD GetCurrentThreadId();
HANDLE GetCurrentThread();

constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
// Records the priority for the thread; changes nothing in scheduling.
BOOL SetThreadPriority(HANDLE thread, int priority);
int GetThreadPriority(HANDLE thread);

// Power requests: recorded for the calling thread, no effect on the machine.
using EXECUTION_STATE = DWORD;
constexpr EXECUTION_STATE ES_SYSTEM_REQUIRED = 0x00000001;
constexpr EXECUTION_STATE ES_DISPLAY_REQUIRED = 0x00000002;
constexpr EXECUTION_STATE ES_CONTINUOUS = 0x80000000u;
// Returns the calling thread's previous state.
EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags);

namespace testing {
// Execution state last set on the calling thread (0 if never set).
EXECUTION_STATE currentExecutionState();
// Priority last set on the calling thread (THREAD_PRIORITY_NORMAL if never set).
int currentThreadPriority();
// Number of event handles currently open (leak checks).
int openEventCount();
// Makes the next count thread starts fail as the system does when it has no thread to give
// (_beginthreadex returns 0, errno EAGAIN); a negative count makes every start fail until
// failThreadStarts(0).
void failThreadStarts(int count);
} // namespace testing

} // namespace plat
