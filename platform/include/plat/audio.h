// Audio endpoints and streams, shaped like the multimedia device and core audio interfaces the
// engine calls: the device enumerator (a COM class), device collections, property stores with the
// friendly name, the audio client in shared event mode with its render and capture services, the
// endpoint volume and the session volume.
//
// Two back ends serve these interfaces; "KBR_AUDIO_BACKEND" chooses one:
//   sim    simulated endpoints (below)
//   alsa   the machine's ALSA PCM devices: each device that ALSA lists (its name hints) is an
//          endpoint named by its description; the device period drives the events. Streams open
//          non-blocking (a device held by another program is AUDCLNT_E_DEVICE_IN_USE at once);
//          playback keeps at least two periods queued and mends an underrun with silence; a
//          device that fails past mending invalidates its streams (AUDCLNT_E_DEVICE_INVALIDATED);
//          volumes go to the card's mixer where it has one, else they scale the samples.
// Without the variable ALSA serves when the machine has a sound card, else the simulation.
//
// Simulated endpoints are configured by environment variables, read when the first enumerator of
// the process is created (plat::audiosim::reset in plat/audio_sim.h reads them again):
//   KBR_AUDIO_SIM_RENDER    render endpoints, ";" between endpoints, "," between attributes:
//                               Name[,rate=48000][,channels=2][,format=float|s16|s32|u8|s24]
//                                   [,record=PATH.wav][,default]
//                           default "Speakers"; the first endpoint marked default (else the first)
//                           is the default communications endpoint.
//   KBR_AUDIO_SIM_CAPTURE   capture endpoints, the same attributes plus
//                               [,source=silence|tone:HZ[:AMPLITUDE]|wav:PATH.wav|wavloop:PATH.wav]
//                               [,echo=RENDERNAME:DELAY_MS:GAIN]
//                           default "Microphone" (silence). A WAV source plays once, then silence
//                           (wavloop: repeats it);
//                           echo adds what the named render endpoint played DELAY_MS earlier,
//                           times GAIN.
//   KBR_AUDIO_SIM_RECORD_DIR  every render stream records what it played (after the volumes) to
//                           DIR/<endpoint name>-<n>.wav (n counts streams from 1), unless the
//                           endpoint has its own record=PATH; 16-bit mono at the endpoint's rate.
//   KBR_AUDIO_SIM_PERIOD_MS   device period (default 10; the minimum period reported is 3).
//   KBR_AUDIO_SIM_BUFFER_PERIODS  render buffer in periods (default 4, at least 2): room for a
//                           late audio thread on a loaded machine, at the cost of latency. A
//                           capture buffer holds ten periods.
//   KBR_AUDIO_SIM_FAIL      injected failures, ";" between entries: CALL[@ENDPOINT]=HRESULT[*COUNT]
//                           CALL is the interface call's name (Activate, Initialize, GetMixFormat,
//                           GetBuffer, Start, EnumAudioEndpoints, GetValue, ...), HRESULT in hex
//                           (0x8889000A) and COUNT how many calls fail (default all).
//   KBR_AUDIO_SIM_VANISH    NAME@MS;...: the endpoint goes away MS milliseconds after a stream on it
//                           starts: its streams then fail with AUDCLNT_E_DEVICE_INVALIDATED and it
//                           leaves the lists.
// Volumes start at 1.0 (endpoint scalar and session volume), kept per endpoint for the process;
// capture is scaled by the endpoint volume, playback by endpoint volume times session volume.
// The tone amplitude (default 0.5) and the echo gain are fractions of full scale.
#pragma once

#include "plat/com.h"
#include "plat/types.h"

namespace plat {

// Wave formats.
constexpr WORD WAVE_FORMAT_PCM = 0x0001;
constexpr WORD WAVE_FORMAT_IEEE_FLOAT = 0x0003;
constexpr WORD WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

#pragma pack(push, 1)
struct WAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
};
struct WAVEFORMATEXTENSIBLE {
    WAVEFORMATEX Format;
    union {
        WORD wValidBitsPerSample;
        WORD wSamplesPerBlock;
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask;
    GUID SubFormat;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is 18 bytes");
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40, "WAVEFORMATEXTENSIBLE is 40 bytes");

extern const GUID KSDATAFORMAT_SUBTYPE_PCM;
extern const GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;

// Property stores.
struct PROPERTYKEY {
    GUID fmtid;
    DWORD pid;
};
using REFPROPERTYKEY = const PROPERTYKEY&;
using VARTYPE = WORD;
constexpr VARTYPE VT_EMPTY = 0;
constexpr VARTYPE VT_LPWSTR = 31;
// The subset of PROPVARIANT the engine reads: empty or a task-memory wide string.
struct PROPVARIANT {
    VARTYPE vt;
    WORD wReserved1, wReserved2, wReserved3;
    union {
        LPWSTR pwszVal;
        ULONGLONG uhVal;
    };
};
inline void PropVariantInit(PROPVARIANT* pv) {
    pv->vt = VT_EMPTY;
    pv->wReserved1 = pv->wReserved2 = pv->wReserved3 = 0;
    pv->uhVal = 0;
}
// Frees what the value holds and leaves it empty.
HRESULT PropVariantClear(PROPVARIANT* pv);

constexpr DWORD STGM_READ = 0x00000000;
extern const PROPERTYKEY PKEY_Device_FriendlyName;

struct IPropertyStore : IUnknown {
    virtual HRESULT GetCount(DWORD* count) = 0;
    virtual HRESULT GetValue(REFPROPERTYKEY key, PROPVARIANT* value) = 0;
};

// Endpoints.
enum EDataFlow { eRender = 0, eCapture = 1, eAll = 2 };
enum ERole { eConsole = 0, eMultimedia = 1, eCommunications = 2 };
constexpr DWORD DEVICE_STATE_ACTIVE = 0x1;
constexpr DWORD DEVICE_STATE_NOTPRESENT = 0x4;
constexpr DWORD DEVICE_STATE_UNPLUGGED = 0x8;
constexpr DWORD DEVICE_STATEMASK_ALL = 0xF;

struct IMMDevice : IUnknown {
    virtual HRESULT Activate(REFIID iid, DWORD clsContext, void* activationParams, void** object) = 0;
    virtual HRESULT OpenPropertyStore(DWORD access, IPropertyStore** store) = 0;
    // The endpoint's id string in task memory.
    virtual HRESULT GetId(LPWSTR* id) = 0;
    virtual HRESULT GetState(DWORD* state) = 0;
};

struct IMMDeviceCollection : IUnknown {
    virtual HRESULT GetCount(UINT* count) = 0;
    virtual HRESULT Item(UINT index, IMMDevice** device) = 0;
};

struct IMMDeviceEnumerator : IUnknown {
    virtual HRESULT EnumAudioEndpoints(EDataFlow flow, DWORD stateMask, IMMDeviceCollection** devices) = 0;
    virtual HRESULT GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** endpoint) = 0;
};

// Audio clients.
using REFERENCE_TIME = LONGLONG; // 100-ns units
enum AUDCLNT_SHAREMODE { AUDCLNT_SHAREMODE_SHARED = 0, AUDCLNT_SHAREMODE_EXCLUSIVE = 1 };
constexpr DWORD AUDCLNT_STREAMFLAGS_EVENTCALLBACK = 0x00040000;
constexpr DWORD AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY = 0x1;
constexpr DWORD AUDCLNT_BUFFERFLAGS_SILENT = 0x2;
constexpr DWORD AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR = 0x4;

constexpr HRESULT AUDCLNT_E_NOT_INITIALIZED = static_cast<HRESULT>(0x88890001u);
constexpr HRESULT AUDCLNT_E_ALREADY_INITIALIZED = static_cast<HRESULT>(0x88890002u);
constexpr HRESULT AUDCLNT_E_WRONG_ENDPOINT_TYPE = static_cast<HRESULT>(0x88890003u);
constexpr HRESULT AUDCLNT_E_DEVICE_INVALIDATED = static_cast<HRESULT>(0x88890004u);
constexpr HRESULT AUDCLNT_E_NOT_STOPPED = static_cast<HRESULT>(0x88890005u);
constexpr HRESULT AUDCLNT_E_BUFFER_TOO_LARGE = static_cast<HRESULT>(0x88890006u);
constexpr HRESULT AUDCLNT_E_OUT_OF_ORDER = static_cast<HRESULT>(0x88890007u);
constexpr HRESULT AUDCLNT_E_UNSUPPORTED_FORMAT = static_cast<HRESULT>(0x88890008u);
constexpr HRESULT AUDCLNT_E_INVALID_SIZE = static_cast<HRESULT>(0x88890009u);
constexpr HRESULT AUDCLNT_E_DEVICE_IN_USE = static_cast<HRESULT>(0x8889000Au);
constexpr HRESULT AUDCLNT_E_BUFFER_OPERATION_PENDING = static_cast<HRESULT>(0x8889000Bu);
constexpr HRESULT AUDCLNT_E_SERVICE_NOT_RUNNING = static_cast<HRESULT>(0x88890010u);
constexpr HRESULT AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED = static_cast<HRESULT>(0x88890011u);
constexpr HRESULT AUDCLNT_E_EVENTHANDLE_NOT_SET = static_cast<HRESULT>(0x88890014u);
constexpr HRESULT AUDCLNT_E_BUFFER_SIZE_ERROR = static_cast<HRESULT>(0x88890016u);
constexpr HRESULT AUDCLNT_S_BUFFER_EMPTY = static_cast<HRESULT>(0x08890001u);
constexpr HRESULT E_NOTFOUND = static_cast<HRESULT>(0x80070490u);

struct IAudioClient : IUnknown {
    virtual HRESULT Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags, REFERENCE_TIME bufferDuration,
                               REFERENCE_TIME periodicity, const WAVEFORMATEX* format,
                               const GUID* sessionGuid) = 0;
    virtual HRESULT GetBufferSize(UINT* frames) = 0;
    virtual HRESULT GetCurrentPadding(UINT* frames) = 0;
    // The shared-mode format in task memory (a WAVEFORMATEXTENSIBLE).
    virtual HRESULT GetMixFormat(WAVEFORMATEX** format) = 0;
    virtual HRESULT GetDevicePeriod(REFERENCE_TIME* defaultPeriod, REFERENCE_TIME* minimumPeriod) = 0;
    virtual HRESULT Start() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT SetEventHandle(HANDLE event) = 0;
    virtual HRESULT GetService(REFIID iid, void** service) = 0;
};

struct IAudioRenderClient : IUnknown {
    virtual HRESULT GetBuffer(UINT frames, BYTE** data) = 0;
    virtual HRESULT ReleaseBuffer(UINT frames, DWORD flags) = 0;
};

struct IAudioCaptureClient : IUnknown {
    virtual HRESULT GetBuffer(BYTE** data, UINT* frames, DWORD* flags, ULONGLONG* devicePosition,
                              ULONGLONG* qpcPosition) = 0;
    virtual HRESULT ReleaseBuffer(UINT frames) = 0;
    virtual HRESULT GetNextPacketSize(UINT* frames) = 0;
};

// Volumes.
struct IAudioEndpointVolume : IUnknown {
    virtual HRESULT SetMasterVolumeLevelScalar(float level, const GUID* eventContext) = 0;
    virtual HRESULT GetMasterVolumeLevelScalar(float* level) = 0;
};

struct ISimpleAudioVolume : IUnknown {
    virtual HRESULT SetMasterVolume(float level, const GUID* eventContext) = 0;
    virtual HRESULT GetMasterVolume(float* level) = 0;
};

struct IAudioSessionManager : IUnknown {
    virtual HRESULT GetSimpleAudioVolume(const GUID* sessionGuid, DWORD crossProcess,
                                         ISimpleAudioVolume** volume) = 0;
};

extern const CLSID CLSID_MMDeviceEnumerator;
extern const IID IID_IMMDeviceEnumerator;
extern const IID IID_IMMDeviceCollection;
extern const IID IID_IMMDevice;
extern const IID IID_IPropertyStore;
extern const IID IID_IAudioClient;
extern const IID IID_IAudioRenderClient;
extern const IID IID_IAudioCaptureClient;
extern const IID IID_IAudioEndpointVolume;
extern const IID IID_IAudioSessionManager;
extern const IID IID_ISimpleAudioVolume;

// Registers the device enumerator class with the COM class registry (done when the platform
// library loads; again after a test unregistered it).
void registerAudioClasses();

// The back end in use: "sim" or "alsa" (chosen on first use).
const char* audioBackendName();

// Notes of the back ends about their devices (an underrun mended, a device that failed), with a
// level (1 errors, 2 events). The engine sends them to its log; without a sink they go to stderr.
using AudioNoteSink = void (*)(int level, const char* text);
void setAudioNoteSink(AudioNoteSink sink);

} // namespace plat
