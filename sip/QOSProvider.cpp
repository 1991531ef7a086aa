#include "QOSProvider.h"

#include "plat/dl.h"
#include "plat/qos.h"

#include <cstdio>
#include <mutex>

namespace kbrphone {

namespace {

std::recursive_mutex qosMutex;
bool qwaveAvailable = true;
// The library was found once: later streams take the bound entry points without looking again.
bool qwaveProbed = false;

// The qWAVE entry points, bound once; they hold their own reference to the library.
struct QWave {
    plat::QOSCreateHandleFn createHandle = nullptr;
    plat::QOSCloseHandleFn closeHandle = nullptr;
    plat::QOSAddSocketToFlowFn addSocketToFlow = nullptr;
    bool bound = false;
};

QWave& qwave() {
    static QWave q;
    if (!q.bound) {
        if (plat::HMODULE m = plat::LoadLibraryA("qwave.dll")) {
            q.createHandle = reinterpret_cast<plat::QOSCreateHandleFn>(
                plat::GetProcAddress(m, plat::kQosCreateHandleName));
            q.closeHandle =
                reinterpret_cast<plat::QOSCloseHandleFn>(plat::GetProcAddress(m, plat::kQosCloseHandleName));
            q.addSocketToFlow = reinterpret_cast<plat::QOSAddSocketToFlowFn>(
                plat::GetProcAddress(m, plat::kQosAddSocketToFlowName));
            q.bound = true;
        }
    }
    return q;
}

const char* errorName(plat::DWORD code) {
    switch (code) {
    case plat::ERROR_INVALID_HANDLE:
        return "ERROR_INVALID_HANDLE";
    case plat::ERROR_NOT_ENOUGH_MEMORY:
        return "ERROR_NOT_ENOUGH_MEMORY";
    case plat::ERROR_NOT_SUPPORTED:
        return "ERROR_NOT_SUPPORTED";
    case plat::ERROR_ADAP_HDW_ERR:
        return "ERROR_ADAP_HDW_ERR";
    case plat::ERROR_INVALID_PARAMETER:
        return "ERROR_INVALID_PARAMETER";
    case plat::ERROR_IO_DEVICE:
        return "ERROR_IO_DEVICE";
    case plat::ERROR_DEVICE_REINITIALIZATION_NEEDED:
        return "ERROR_DEVICE_REINITIALIZATION_NEEDED";
    case plat::ERROR_CONNECTION_REFUSED:
        return "ERROR_CONNECTION_REFUSED";
    case plat::ERROR_HOST_UNREACHABLE:
        return "ERROR_HOST_UNREACHABLE";
    case plat::ERROR_NO_SYSTEM_RESOURCES:
        return "ERROR_NO_SYSTEM_RESOURCES";
    default:
        return nullptr;
    }
}

} // namespace

QOSProvider* QOSProvider::create() {
    std::lock_guard<std::recursive_mutex> guard(qosMutex);
    if (qwaveAvailable) {
        plat::HMODULE module = qwaveProbed ? nullptr : plat::LoadLibraryA("qwave.dll");
        if (qwaveProbed || module) {
            auto* provider = new QWaveQOSProvider;
            QWave& q = qwave();
            qwaveProbed = true;
            plat::QOS_VERSION version{1, 0};
            if (!q.createHandle || !q.createHandle(&version, &provider->handle)) {
                provider->handle = nullptr;
                plat::DWORD e = q.createHandle ? plat::GetLastError() : plat::ERROR_PROC_NOT_FOUND;
                std::printf("QOSCreateHandle failed %d (%#x)\n", static_cast<int>(e),
                            static_cast<unsigned>(e));
            }
            if (module)
                plat::FreeLibrary(module);
            return provider;
        }
        qwaveAvailable = false;
    }
    return new QOSProvider;
}

plat::SOCKET QOSProvider::createSocket(int family, int type, int protocol) {
    plat::SOCKET s = plat::socket(family, type, protocol);
    if (s == plat::INVALID_SOCKET)
        throw kmt::SocketException("socket", plat::WSAGetLastError());
    return s;
}

QWaveQOSProvider::~QWaveQOSProvider() {
    if (handle && qwave().closeHandle)
        qwave().closeHandle(handle);
}

void QWaveQOSProvider::addSocketToFlow(plat::SOCKET socket, const kmt::SocketAddress& destination) {
    QWave& q = qwave();
    plat::QOS_FLOWID flowId = 0;
    kmt::SocketAddress dest = destination;
    bool ok = false;
    if (q.addSocketToFlow)
        ok = q.addSocketToFlow(handle, socket, dest.sockaddr(), plat::QOSTrafficTypeVoice,
                               plat::QOS_NON_ADAPTIVE_FLOW, &flowId) != 0;
    else
        plat::SetLastError(plat::ERROR_PROC_NOT_FOUND);
    if (ok)
        return;
    plat::DWORD e = plat::GetLastError();
    std::printf("QOSAddSocketToFlow failed: ");
    if (const char* name = errorName(e))
        std::printf("error %s\n", name);
    else
        std::printf("Unkwnon error: %d\n", static_cast<int>(e));
}

namespace qos_testing {
bool qwaveAvailable() {
    std::lock_guard<std::recursive_mutex> guard(qosMutex);
    return kbrphone::qwaveAvailable;
}
void resetAvailability() {
    std::lock_guard<std::recursive_mutex> guard(qosMutex);
    kbrphone::qwaveAvailable = true;
    kbrphone::qwaveProbed = false;
}
} // namespace qos_testing

} // namespace kbrphone
