// Stand-in for qwave.dll. A socket added to a flow is marked with the IP type of service of its
// traffic type (voice: 0xB8, expedited forwarding), which is what the marking does on Linux.
//
// Test driver, for tests in this process and for tests hosted in a JVM:
//   plat_qwave_fail_create(code) / plat_qwave_fail_add(code): every later QOSCreateHandle /
//     QOSAddSocketToFlow fails with that last-error code until called again with 0;
//   the environment variables PLAT_QWAVE_FAIL_CREATE / PLAT_QWAVE_FAIL_ADD (a decimal or 0x code),
//     read at each call, do the same;
//   plat_qwave_open_handle_count() tells how many handles are open (leak checks).
#include "plat/qos.h"

#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <netinet/ip.h>
#include <set>

using namespace plat;

namespace {

#define PLAT_EXPORT __attribute__((visibility("default")))

struct Flow {
    SOCKET socket;
    QOS_TRAFFIC_TYPE trafficType;
};

// One QOSCreateHandle; its address is the handle.
struct QosHandle {
    std::map<QOS_FLOWID, Flow> flows;
};

std::mutex lock;
std::set<QosHandle*> handles;
QOS_FLOWID nextFlowId = 1;
DWORD forcedCreateFailure = 0;
DWORD forcedAddFailure = 0;

DWORD forcedFailure(DWORD driverCode, const char* variable) {
    if (driverCode != 0) {
        return driverCode;
    }
    const char* value = std::getenv(variable);
    return value && *value ? static_cast<DWORD>(std::strtoul(value, nullptr, 0)) : 0;
}

BOOL failWith(DWORD code) {
    SetLastError(code);
    return FALSE;
}

// Type of service per traffic type: DSCP 0, 8 (CS1), 40 (CS5), 40 (CS5), 46 (EF), 56 (CS7).
int typeOfService(QOS_TRAFFIC_TYPE trafficType) {
    switch (trafficType) {
    case QOSTrafficTypeBackground:
        return 0x20;
    case QOSTrafficTypeExcellentEffort:
    case QOSTrafficTypeAudioVideo:
        return 0xA0;
    case QOSTrafficTypeVoice:
        return 0xB8;
    case QOSTrafficTypeControl:
        return 0xE0;
    case QOSTrafficTypeBestEffort:
    default:
        return 0;
    }
}

// Marks the socket; false (last error set) when the system refuses.
bool mark(int fd, QOS_TRAFFIC_TYPE trafficType) {
    SOCKADDR_STORAGE local{};
    socklen_t len = sizeof local;
    if (::getsockname(fd, reinterpret_cast<SOCKADDR*>(&local), &len) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const int tos = typeOfService(trafficType);
    int rc;
    if (local.ss_family == AF_INET6) {
        rc = ::setsockopt(fd, IPPROTO_IPV6, IPV6_TCLASS, &tos, sizeof tos);
    } else if (local.ss_family == AF_INET) {
        rc = ::setsockopt(fd, IPPROTO_IP, IP_TOS, &tos, sizeof tos);
    } else {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }
    if (rc != 0) {
        SetLastError(errno == ENOMEM || errno == ENOBUFS ? ERROR_NOT_ENOUGH_MEMORY : ERROR_NOT_SUPPORTED);
        return false;
    }
    return true;
}

} // namespace

extern "C" {

PLAT_EXPORT BOOL QOSCreateHandle(QOS_VERSION* version, HANDLE* handle) {
    std::lock_guard<std::mutex> guard(lock);
    if (DWORD code = forcedFailure(forcedCreateFailure, "PLAT_QWAVE_FAIL_CREATE")) {
        return failWith(code);
    }
    if (!version || !handle || version->MajorVersion != 1 || version->MinorVersion != 0) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    auto* h = new QosHandle();
    handles.insert(h);
    *handle = reinterpret_cast<HANDLE>(h);
    return TRUE;
}

PLAT_EXPORT BOOL QOSCloseHandle(HANDLE handle) {
    std::lock_guard<std::mutex> guard(lock);
    auto* h = reinterpret_cast<QosHandle*>(handle);
    if (!handles.erase(h)) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    delete h;
    return TRUE;
}

// A flow id of 0 asks for a new flow; a nonzero one adds the socket to that existing flow.
PLAT_EXPORT BOOL QOSAddSocketToFlow(HANDLE handle, SOCKET socket, SOCKADDR* destination,
                                    QOS_TRAFFIC_TYPE trafficType, DWORD flags, QOS_FLOWID* flowId) {
    std::lock_guard<std::mutex> guard(lock);
    if (DWORD code = forcedFailure(forcedAddFailure, "PLAT_QWAVE_FAIL_ADD")) {
        return failWith(code);
    }
    auto* h = reinterpret_cast<QosHandle*>(handle);
    if (!handles.count(h)) {
        return failWith(ERROR_INVALID_HANDLE);
    }
    const int fd = plat::socketFd(socket);
    if (fd < 0 || !flowId || (flags & ~QOS_NON_ADAPTIVE_FLOW) || trafficType < QOSTrafficTypeBestEffort ||
        trafficType > QOSTrafficTypeControl) {
        return failWith(ERROR_INVALID_PARAMETER);
    }
    if (!destination) {
        // An unconnected datagram socket needs the destination.
        SOCKADDR_STORAGE peer{};
        socklen_t len = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<SOCKADDR*>(&peer), &len) != 0) {
            return failWith(ERROR_INVALID_PARAMETER);
        }
    }
    QOS_TRAFFIC_TYPE type = trafficType;
    if (*flowId != 0) {
        auto existing = h->flows.find(*flowId);
        if (existing == h->flows.end()) {
            return failWith(ERROR_INVALID_PARAMETER);
        }
        type = existing->second.trafficType;
    }
    if (!mark(fd, type)) {
        return FALSE;
    }
    if (*flowId == 0) {
        *flowId = nextFlowId++;
        h->flows[*flowId] = Flow{socket, type};
    }
    return TRUE;
}

PLAT_EXPORT void plat_qwave_fail_create(DWORD code) {
    std::lock_guard<std::mutex> guard(lock);
    forcedCreateFailure = code;
}

PLAT_EXPORT void plat_qwave_fail_add(DWORD code) {
    std::lock_guard<std::mutex> guard(lock);
    forcedAddFailure = code;
}

PLAT_EXPORT int plat_qwave_open_handle_count() {
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<int>(handles.size());
}

} // extern "C"
