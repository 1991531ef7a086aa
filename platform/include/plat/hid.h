// Device interface enumeration (SetupAPI) and the HID library: attributes, capabilities and usages
// of HID devices described by their report descriptors. Devices come from one of two back ends:
// a simulated bus (plat/hidsim.h) or the machine's hidraw devices. The hidraw devices serve, and every
// enumeration sees those present then, unless "KBR_HID" is "sim" (or a test chooses).
// "KBR_HIDRAW_SYSFS" (default /sys) and "KBR_HIDRAW_DEV" (default /dev) relocate the hidraw tree.
// Report descriptors are held to the Linux HID core's limits (at most 4096 bytes, Report Size at most 256
// bits, Report Count at most 12288, reports of at most 16384 bytes): a device beyond them is listed, but
// its preparsed data cannot be had, and for a hidraw device one line on standard error says why.
#pragma once

#include "plat/file.h"
#include "plat/com.h"
#include "plat/types.h"

namespace plat {

using USHORT = uint16_t;
using UCHAR = uint8_t;
using USAGE = uint16_t;
using BOOLEAN = uint8_t;
using NTSTATUS = int32_t;

// ---- SetupAPI

struct DeviceInfoSet;
using HDEVINFO = DeviceInfoSet*;

constexpr DWORD DIGCF_DEFAULT = 0x01;
constexpr DWORD DIGCF_PRESENT = 0x02;
constexpr DWORD DIGCF_ALLCLASSES = 0x04;
constexpr DWORD DIGCF_PROFILE = 0x08;
constexpr DWORD DIGCF_DEVICEINTERFACE = 0x10;

struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};

struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize; // the size of the fixed part: sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)
    char DevicePath[1];
};

// A set of the present interfaces of the class; INVALID_HANDLE_VALUE (as HDEVINFO) with the last error on
// failure. Only DIGCF_DEVICEINTERFACE sets of the HID class have members.
HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent, DWORD flags);
// FALSE with ERROR_NO_MORE_ITEMS past the last member.
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, void* deviceInfoData, const GUID* interfaceClassGuid,
                                 DWORD memberIndex, SP_DEVICE_INTERFACE_DATA* data);
// With no detail record (size 0): FALSE, ERROR_INSUFFICIENT_BUFFER and the size wanted in requiredSize.
// With one: its cbSize must be the size of the fixed part (else ERROR_INVALID_USER_BUFFER) and size must
// hold the path (else ERROR_INSUFFICIENT_BUFFER).
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, SP_DEVICE_INTERFACE_DATA* data,
                                      SP_DEVICE_INTERFACE_DETAIL_DATA_A* detail, DWORD detailSize,
                                      DWORD* requiredSize, void* deviceInfoData);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

// ---- HID library

struct HidpPreparsedData;
using PHIDP_PREPARSED_DATA = HidpPreparsedData*;

struct HIDD_ATTRIBUTES {
    ULONG Size; // sizeof(HIDD_ATTRIBUTES), 12
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
};

struct HIDP_CAPS {
    USAGE Usage;
    USAGE UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
};

struct HIDP_RANGE {
    USAGE UsageMin, UsageMax;
    USHORT StringMin, StringMax;
    USHORT DesignatorMin, DesignatorMax;
    USHORT DataIndexMin, DataIndexMax;
};

struct HIDP_NOT_RANGE {
    USAGE Usage, Reserved1;
    USHORT StringIndex, Reserved2;
    USHORT DesignatorIndex, Reserved3;
    USHORT DataIndex, Reserved4;
};

struct HIDP_BUTTON_CAPS {
    USAGE UsagePage;
    UCHAR ReportID;
    BOOLEAN IsAlias;
    USHORT BitField;
    USHORT LinkCollection;
    USAGE LinkUsage;
    USAGE LinkUsagePage;
    BOOLEAN IsRange;
    BOOLEAN IsStringRange;
    BOOLEAN IsDesignatorRange;
    BOOLEAN IsAbsolute;
    USHORT ReportCount; // the buttons of the main item the capability belongs to
    USHORT Reserved2;
    ULONG Reserved[9];
    union {
        HIDP_RANGE Range;
        HIDP_NOT_RANGE NotRange;
    };
};

struct HIDP_VALUE_CAPS {
    USAGE UsagePage;
    UCHAR ReportID;
    BOOLEAN IsAlias;
    USHORT BitField;
    USHORT LinkCollection;
    USAGE LinkUsage;
    USAGE LinkUsagePage;
    BOOLEAN IsRange;
    BOOLEAN IsStringRange;
    BOOLEAN IsDesignatorRange;
    BOOLEAN IsAbsolute;
    BOOLEAN HasNull;
    UCHAR Reserved;
    USHORT BitSize;
    USHORT ReportCount;
    USHORT Reserved2[5];
    ULONG UnitsExp;
    ULONG Units;
    LONG LogicalMin, LogicalMax;
    LONG PhysicalMin, PhysicalMax;
    union {
        HIDP_RANGE Range;
        HIDP_NOT_RANGE NotRange;
    };
};

enum HIDP_REPORT_TYPE { HidP_Input = 0, HidP_Output = 1, HidP_Feature = 2 };

constexpr NTSTATUS HIDP_STATUS_SUCCESS = 0x00110000;
constexpr NTSTATUS HIDP_STATUS_INVALID_PREPARSED_DATA = static_cast<NTSTATUS>(0xC0110001u);
constexpr NTSTATUS HIDP_STATUS_INVALID_REPORT_TYPE = static_cast<NTSTATUS>(0xC0110002u);
constexpr NTSTATUS HIDP_STATUS_INVALID_REPORT_LENGTH = static_cast<NTSTATUS>(0xC0110003u);
constexpr NTSTATUS HIDP_STATUS_USAGE_NOT_FOUND = static_cast<NTSTATUS>(0xC0110004u);
constexpr NTSTATUS HIDP_STATUS_BUFFER_TOO_SMALL = static_cast<NTSTATUS>(0xC0110007u);
constexpr NTSTATUS HIDP_STATUS_INCOMPATIBLE_REPORT_ID = static_cast<NTSTATUS>(0xC0110010u);

void HidD_GetHidGuid(GUID* guid);
BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data);
BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data);
// attributes->Size must be sizeof(HIDD_ATTRIBUTES).
BOOLEAN HidD_GetAttributes(HANDLE device, HIDD_ATTRIBUTES* attributes);
// buffer[0] names the report id; the report comes back with it in byte 0.
BOOLEAN HidD_GetFeature(HANDLE device, void* buffer, ULONG length);
// buffer[0] is the report id (0 on a device without report ids).
BOOLEAN HidD_SetOutputReport(HANDLE device, void* buffer, ULONG length);

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, HIDP_CAPS* caps);
// On entry *length is the room in caps; on return the number written. BUFFER_TOO_SMALL when the room is less
// than the number of capabilities (as many as fit are written).
NTSTATUS HidP_GetButtonCaps(HIDP_REPORT_TYPE type, HIDP_BUTTON_CAPS* caps, USHORT* length,
                            PHIDP_PREPARSED_DATA data);
NTSTATUS HidP_GetValueCaps(HIDP_REPORT_TYPE type, HIDP_VALUE_CAPS* caps, USHORT* length,
                           PHIDP_PREPARSED_DATA data);
// The most usages of the page (0: every page) that one report of the type can carry at once (the report
// with the most such buttons).
ULONG HidP_MaxUsageListLength(HIDP_REPORT_TYPE type, USAGE usagePage, PHIDP_PREPARSED_DATA data);
// The button usages of the page that are set in the report; linkCollection 0 looks in every collection.
// reportLength must be the report length of the type.
NTSTATUS HidP_GetUsages(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection, USAGE* usageList,
                        ULONG* usageLength, PHIDP_PREPARSED_DATA data, char* report, ULONG reportLength);

namespace testing {
// Forces the HID back end ("sim" or "hidraw"); null or "" goes back to the environment's choice.
void setHidBackend(const char* name);
} // namespace testing

} // namespace plat
