// qWAVE shapes. The functions live in the stand-in library found by LoadLibraryA("qwave.dll") and
// are bound by name with GetProcAddress; they mark a socket added to a voice flow with IP_TOS 0xB8.
#pragma once

#include "plat/net.h"
#include "plat/types.h"

namespace plat {

struct QOS_VERSION {
    uint16_t MajorVersion;
    uint16_t MinorVersion;
};
enum QOS_TRAFFIC_TYPE {
    QOSTrafficTypeBestEffort = 0,
    QOSTrafficTypeBackground = 1,
    QOSTrafficTypeExcellentEffort = 2,
    QOSTrafficTypeAudioVideo = 3,
    QOSTrafficTypeVoice = 4,
    QOSTrafficTypeControl = 5,
};
using QOS_FLOWID = uint32_t;
constexpr DWORD QOS_NON_ADAPTIVE_FLOW = 0x00000002;

using QOSCreateHandleFn = BOOL (*)(QOS_VERSION* version, HANDLE* handle);
using QOSCloseHandleFn = BOOL (*)(HANDLE handle);
using QOSAddSocketToFlowFn = BOOL (*)(HANDLE handle, SOCKET socket, SOCKADDR* destination,
                                      QOS_TRAFFIC_TYPE trafficType, DWORD flags, QOS_FLOWID* flowId);

// The exported C names of the stand-in library.
constexpr const char* kQosCreateHandleName = "QOSCreateHandle";
constexpr const char* kQosCloseHandleName = "QOSCloseHandle";
constexpr const char* kQosAddSocketToFlowName = "QOSAddSocketToFlow";

// Multimedia class scheduler (avrt.dll stand-in): records the task per thread, changes nothing.
using AvSetMmThreadCharacteristicsAFn = HANDLE (*)(LPCSTR taskName, DWORD* taskIndex);
using AvRevertMmThreadCharacteristicsFn = BOOL (*)(HANDLE avrtHandle);
constexpr const char* kAvSetMmThreadCharacteristicsAName = "AvSetMmThreadCharacteristicsA";
constexpr const char* kAvRevertMmThreadCharacteristicsName = "AvRevertMmThreadCharacteristics";

} // namespace plat
