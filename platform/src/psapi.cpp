// OpenProcess and the executable path of a process, from /proc.
#include "internal.h"

#include "plat/psapi.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

namespace {

struct ProcessObject : HandleObject {
    ProcessObject() : HandleObject(Kind::Process) {}
    DWORD pid = 0;
};

} // namespace

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(::getpid());
}

HANDLE OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId) {
    struct stat st {};
    const std::string dir = "/proc/" + std::to_string(processId);
    if (processId == 0 || ::stat(dir.c_str(), &st) != 0) {
        return detail::fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
    }
    if (st.st_uid != ::geteuid() && ::geteuid() != 0) {
        return detail::fail<HANDLE>(ERROR_ACCESS_DENIED, nullptr);
    }
    auto object = std::make_shared<ProcessObject>();
    object->pid = processId;
    return detail::addHandle(object);
}

DWORD K32GetModuleFileNameExA(HANDLE process, HMODULE module, LPSTR fileName, DWORD size) {
    std::shared_ptr<HandleObject> object = detail::findHandle(process);
    if (!object || object->kind != HandleObject::Kind::Process) {
        return detail::fail<DWORD>(ERROR_INVALID_HANDLE, 0);
    }
    if (module || !fileName || size == 0) {
        return detail::fail<DWORD>(ERROR_INVALID_PARAMETER, 0);
    }
    const auto* p = static_cast<ProcessObject*>(object.get());
    char path[4096];
    const ssize_t n = ::readlink(("/proc/" + std::to_string(p->pid) + "/exe").c_str(), path, sizeof path - 1);
    if (n < 0) {
        return detail::fail<DWORD>(errno == ENOENT ? ERROR_INVALID_PARAMETER : ERROR_ACCESS_DENIED, 0);
    }
    const size_t length = static_cast<size_t>(n);
    if (length + 1 > size) {
        std::memcpy(fileName, path, size - 1);
        fileName[size - 1] = '\0';
        return detail::fail<DWORD>(ERROR_INSUFFICIENT_BUFFER, size - 1);
    }
    std::memcpy(fileName, path, length);
    fileName[length] = '\0';
    return static_cast<DWORD>(length);
}

} // namespace plat
