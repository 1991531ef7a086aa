// Stand-in for avrt.dll, the multimedia class scheduler: it records the task of each thread and
// changes nothing in scheduling. Tests read the record with plat_avrt_current_task.
#include "plat/qos.h"

#include <memory>
#include <string>

namespace {

// The calling thread's registration with a task; its address is the handle given out.
struct TaskRegistration {
    std::string taskName;
};

thread_local std::unique_ptr<TaskRegistration> currentRegistration;

} // namespace

extern "C" {

__attribute__((visibility("default"))) plat::HANDLE AvSetMmThreadCharacteristicsA(plat::LPCSTR taskName,
                                                                                  plat::DWORD* taskIndex) {
    if (!taskName || !*taskName || !taskIndex) {
        plat::SetLastError(plat::ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // A second call on the same thread replaces the task and keeps the handle.
    if (!currentRegistration) {
        currentRegistration = std::make_unique<TaskRegistration>();
    }
    currentRegistration->taskName = taskName;
    if (*taskIndex == 0) {
        *taskIndex = 1;
    }
    return reinterpret_cast<plat::HANDLE>(currentRegistration.get());
}

// Only the thread that registered can revert its registration.
__attribute__((visibility("default"))) plat::BOOL AvRevertMmThreadCharacteristics(plat::HANDLE avrtHandle) {
    if (!avrtHandle || reinterpret_cast<TaskRegistration*>(avrtHandle) != currentRegistration.get()) {
        plat::SetLastError(plat::ERROR_INVALID_HANDLE);
        return plat::FALSE;
    }
    currentRegistration.reset();
    return plat::TRUE;
}

// Test driver: the task recorded for the calling thread, or null when none. The text stays valid
// until the thread changes or reverts its task.
__attribute__((visibility("default"))) const char* plat_avrt_current_task() {
    return currentRegistration ? currentRegistration->taskName.c_str() : nullptr;
}

} // extern "C"
