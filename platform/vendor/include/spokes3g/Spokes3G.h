// The interfaces of the Plantronics hub's COM server, as this build declares them: slot order and
// the arguments the engine passes and relies on. Reserved slots keep later methods in place.
#pragma once

#include "plat/oleauto.h"

namespace spokes3g {

using plat::BSTR;
using plat::HRESULT;
using plat::IDispatch;
using plat::LONG;
using plat::VARIANT_BOOL;

// {69ED1B66-6D98-4C42-858E-7D8CB2728AB7}, version 3.0
inline const plat::GUID LIBID_Spokes3GCOMServerLib = {
    0x69ED1B66, 0x6D98, 0x4C42, {0x85, 0x8E, 0x7D, 0x8C, 0xB2, 0x72, 0x8A, 0xB7}};
inline const plat::CLSID CLSID_COMSessionManager = {
    0x750B4A16, 0x1338, 0x4DB0, {0x85, 0xBB, 0xC6, 0xC8, 0x9E, 0x4C, 0xB9, 0xAC}};
inline const plat::IID IID_ICOMSessionManager = {
    0xF6DAE359, 0x7E61, 0x4729, {0xB5, 0xA7, 0x47, 0xC5, 0x62, 0x20, 0x79, 0x4B}};
inline const plat::IID IID_ICOMSessionManagerEvents = {
    0xEC9236BD, 0xB937, 0x4CB5, {0xB5, 0xE6, 0x87, 0xA7, 0x64, 0x0E, 0x3B, 0x99}};
inline const plat::IID IID_ICOMCallEvents = {
    0x2E7842AE, 0x253A, 0x40B7, {0x9D, 0xBF, 0x12, 0x47, 0xCC, 0x29, 0x2E, 0xF8}};
inline const plat::IID IID_ICOMCall = {0xBA07181A, 0x80C9, 0x4844, {0xA0, 0xAF, 0x0C, 0xAB, 0x8C, 0xD7, 0x0D, 0x1D}};
inline const plat::IID IID_ICOMContact = {
    0xFD20A049, 0x4197, 0x4C10, {0x91, 0x54, 0xC8, 0x42, 0xDB, 0x97, 0x7F, 0x57}};
// Interfaces of the server's own objects (reached through the methods below, never by query).
inline const plat::IID IID_ICOMSession = {0x4B1DB8C3, 0x5A0E, 0x4E43, {0x9C, 0x31, 0x6F, 0x12, 0x80, 0x55, 0xA1, 0x01}};
inline const plat::IID IID_ICOMCallCommand = {
    0x4B1DB8C3, 0x5A0E, 0x4E43, {0x9C, 0x31, 0x6F, 0x12, 0x80, 0x55, 0xA1, 0x02}};
inline const plat::IID IID_ICOMDevice = {0x4B1DB8C3, 0x5A0E, 0x4E43, {0x9C, 0x31, 0x6F, 0x12, 0x80, 0x55, 0xA1, 0x03}};
inline const plat::IID IID_ICOMCallEventArgs = {
    0x4B1DB8C3, 0x5A0E, 0x4E43, {0x9C, 0x31, 0x6F, 0x12, 0x80, 0x55, 0xA1, 0x04}};
inline const plat::IID IID_ICOMCallRequestEventArgs = {
    0x4B1DB8C3, 0x5A0E, 0x4E43, {0x9C, 0x31, 0x6F, 0x12, 0x80, 0x55, 0xA1, 0x05}};
inline const plat::IID IID_ICOMSettings = {0x4B1DB8C3, 0x5A0E, 0x4E43, {0x9C, 0x31, 0x6F, 0x12, 0x80, 0x55, 0xA1, 0x06}};

// Dispatch ids of the event methods in the type library.
constexpr plat::DISPID DISPID_onCallRequested = 1;
constexpr plat::DISPID DISPID_onCallStateChanged = 2;
constexpr plat::DISPID DISPID_onDeviceStateChanged = 1;
constexpr plat::DISPID DISPID_onCallStateChangedOfManager = 2;

struct ICOMCall : IDispatch {
    virtual HRESULT get_Id(LONG* id) = 0;
    virtual HRESULT put_Id(LONG id) = 0;
    virtual HRESULT get_ConferenceId(LONG* id) = 0;
    virtual HRESULT put_ConferenceId(LONG id) = 0;
    virtual HRESULT get_InConference(VARIANT_BOOL* value) = 0;
    virtual HRESULT put_InConference(VARIANT_BOOL value) = 0;
};

struct ICOMContact : IDispatch {
    virtual HRESULT get_Name(BSTR* value) = 0;
    virtual HRESULT put_Name(BSTR value) = 0;
    virtual HRESULT get_FriendlyName(BSTR* value) = 0;
    virtual HRESULT put_FriendlyName(BSTR value) = 0;
    virtual HRESULT get_Id(LONG* value) = 0;
    virtual HRESULT put_Id(LONG value) = 0;
    virtual HRESULT get_SipUri(BSTR* value) = 0;
    virtual HRESULT put_SipUri(BSTR value) = 0;
    virtual HRESULT get_Phone(BSTR* value) = 0;
    virtual HRESULT put_Phone(BSTR value) = 0;
    virtual HRESULT get_Email(BSTR* value) = 0;
    virtual HRESULT put_Email(BSTR value) = 0;
    virtual HRESULT get_WorkPhone(BSTR* value) = 0;
    virtual HRESULT put_WorkPhone(BSTR value) = 0;
    virtual HRESULT get_MobilePhone(BSTR* value) = 0;
    virtual HRESULT put_MobilePhone(BSTR value) = 0;
    virtual HRESULT get_HomePhone(BSTR* value) = 0;
    virtual HRESULT put_HomePhone(BSTR value) = 0;
};

struct ICOMCallCommand : IDispatch {
    virtual HRESULT IncomingCall(ICOMCall* call, ICOMContact* contact, LONG ringTone, LONG route) = 0;
    virtual HRESULT OutgoingCall(ICOMCall* call, ICOMContact* contact, LONG route) = 0;
    virtual HRESULT TerminateCall(ICOMCall* call) = 0;
    virtual HRESULT AnsweredCall(ICOMCall* call) = 0;
    virtual HRESULT HoldCall(ICOMCall* call) = 0;
    virtual HRESULT ResumeCall(ICOMCall* call) = 0;
    virtual HRESULT Reserved7() = 0;
    virtual HRESULT MuteCall(ICOMCall* call, VARIANT_BOOL mute) = 0;
};

struct ICOMDevice : IDispatch {
    virtual HRESULT Reserved1() = 0;
    virtual HRESULT Reserved2() = 0;
    virtual HRESULT Reserved3() = 0;
    virtual HRESULT get_InternalName(BSTR* value) = 0;
    virtual HRESULT get_ProductName(BSTR* value) = 0;
    virtual HRESULT get_ManufacturerName(BSTR* value) = 0;
    virtual HRESULT get_SerialNumber(BSTR* value) = 0;
    virtual HRESULT get_HostCommand(IDispatch** value) = 0;
};

struct ICOMSession : IDispatch {
    virtual HRESULT get_CallCommand(ICOMCallCommand** value) = 0;
    virtual HRESULT Reserved2() = 0;
    virtual HRESULT Reserved3() = 0;
    virtual HRESULT get_ActiveDevice(ICOMDevice** value) = 0;
};

struct ICOMSettings : IDispatch {
    virtual HRESULT Reserved1() = 0;
    virtual HRESULT Reserved2() = 0;
    virtual HRESULT Reserved3() = 0;
    virtual HRESULT Reserved4() = 0;
    virtual HRESULT Reserved5() = 0;
    virtual HRESULT Reserved6() = 0;
    virtual HRESULT Reserved7() = 0;
    virtual HRESULT put_PluginName(BSTR name) = 0;
};

struct ICOMSessionManager : IDispatch {
    virtual HRESULT Register(BSTR pluginName, ICOMSession** session) = 0;
    virtual HRESULT UnRegister(ICOMSession* session) = 0;
    virtual HRESULT get_Settings(ICOMSettings** value) = 0;
};

struct ICOMCallEventArgs : IDispatch {
    virtual HRESULT get_CallState(LONG* value) = 0;
    virtual HRESULT get_DeviceEventKind(LONG* value) = 0;
    virtual HRESULT GetEventInfo(BSTR key, BSTR* value) = 0;
    virtual HRESULT get_Call(ICOMCall** value) = 0;
    virtual HRESULT get_CallSource(BSTR* value) = 0;
    virtual HRESULT get_CallerIdentity(BSTR* value) = 0;
};

struct ICOMCallRequestEventArgs : IDispatch {
    virtual HRESULT get_Contact(ICOMContact** value) = 0;
};

// The event interfaces the engine's sinks implement.
struct ICOMCallEvents : IDispatch {
    virtual HRESULT onCallRequested(ICOMCallRequestEventArgs* args) = 0;
    virtual HRESULT onCallStateChanged(ICOMCallEventArgs* args) = 0;
};

struct ICOMSessionManagerEvents : IDispatch {
    virtual HRESULT onDeviceStateChanged(IDispatch* args) = 0;
    virtual HRESULT onCallStateChanged(IDispatch* args) = 0;
};

} // namespace spokes3g
