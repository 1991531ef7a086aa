// The audio facility's COM objects: the device enumerator, collections, endpoints, property stores,
// the audio client with its render and capture services, and the volumes. The back ends provide
// the endpoints and their device I/O (audio_sim.cpp, audio_alsa.cpp).
#include "audio_internal.h"

#include "plat/sync.h"
#include "plat/text.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace plat {

const GUID KSDATAFORMAT_SUBTYPE_PCM = {
    0x00000001, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const PROPERTYKEY PKEY_Device_FriendlyName = {
    {0xA45C254E, 0xDF1C, 0x4EFD, {0x80, 0x20, 0x67, 0xD1, 0x46, 0xA8, 0x50, 0xE0}}, 14};
const CLSID CLSID_MMDeviceEnumerator = {
    0xBCDE0395, 0xE52F, 0x467C, {0x8E, 0x3D, 0xC4, 0x57, 0x92, 0x91, 0x69, 0x2E}};
const IID IID_IMMDeviceEnumerator = {
    0xA95664D2, 0x9614, 0x4F35, {0xA7, 0x46, 0xDE, 0x8D, 0xB6, 0x36, 0x17, 0xE6}};
const IID IID_IMMDeviceCollection = {
    0x0BD7A1BE, 0x7A1A, 0x44DB, {0x83, 0x97, 0xCC, 0x53, 0x92, 0x38, 0x7B, 0x5E}};
const IID IID_IMMDevice = {0xD666063F, 0x1587, 0x4E43, {0x81, 0xF1, 0xB9, 0x48, 0xE8, 0x07, 0x36, 0x3F}};
const IID IID_IPropertyStore = {0x886D8EEB, 0x8CF2, 0x4446, {0x8D, 0x02, 0xCD, 0xBA, 0x1D, 0xBD, 0xCF, 0x99}};
const IID IID_IAudioClient = {0x1CB9AD4C, 0xDBFA, 0x4C32, {0xB1, 0x78, 0xC2, 0xF5, 0x68, 0xA7, 0x03, 0xB2}};
const IID IID_IAudioRenderClient = {
    0xF294ACFC, 0x3146, 0x4483, {0xA7, 0xBF, 0xAD, 0xDC, 0xA7, 0xC2, 0x60, 0xE2}};
const IID IID_IAudioCaptureClient = {
    0xC8ADBD64, 0xE71E, 0x48A0, {0xA4, 0xDE, 0x18, 0x5C, 0x39, 0x5C, 0xD3, 0x17}};
const IID IID_IAudioEndpointVolume = {
    0x5CDF2C82, 0x841E, 0x4546, {0x97, 0x22, 0x0C, 0xF7, 0x40, 0x78, 0x22, 0x9A}};
const IID IID_IAudioSessionManager = {
    0xBFA971F1, 0x4D5E, 0x40BB, {0x93, 0x5E, 0x96, 0x70, 0x39, 0xBF, 0xBE, 0xE4}};
const IID IID_ISimpleAudioVolume = {
    0x87CE5498, 0x68D6, 0x44E5, {0x92, 0x15, 0x6D, 0xA4, 0x7E, 0xF8, 0x83, 0xD8}};

HRESULT PropVariantClear(PROPVARIANT* pv) {
    if (!pv)
        return E_POINTER;
    if (pv->vt == VT_LPWSTR)
        CoTaskMemFree(pv->pwszVal);
    PropVariantInit(pv);
    return S_OK;
}

namespace audio {

namespace {

// The checks every call on a device object makes first: the device is still there and no failure
// is injected for the call.
HRESULT reachable(const Endpoint& endpoint, const char* call) {
    if (!endpoint.present())
        return AUDCLNT_E_DEVICE_INVALIDATED;
    return injected(call, endpoint.name);
}

// Reference counting and QueryInterface for an object with one interface.
template <class I> class ComObject : public I {
public:
    explicit ComObject(const IID& iid_) : iid(iid_) {}
    virtual ~ComObject() = default;
    HRESULT QueryInterface(REFIID riid, void** object) override {
        if (!object)
            return E_POINTER;
        if (riid == IID_IUnknown || riid == iid) {
            *object = static_cast<I*>(this);
            this->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG AddRef() override { return ++refs; }
    ULONG Release() override {
        const ULONG left = --refs;
        if (left == 0)
            delete this;
        return left;
    }

private:
    const IID& iid;
    std::atomic<ULONG> refs{1};
};

LPWSTR taskString(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (n <= 0)
        return nullptr;
    auto* out = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof(WCHAR) * static_cast<size_t>(n)));
    if (out)
        MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out, n);
    return out;
}

// --- property store ---
class PropertyStore : public ComObject<IPropertyStore> {
public:
    explicit PropertyStore(EndpointPtr ep) : ComObject(IID_IPropertyStore), endpoint(std::move(ep)) {}
    HRESULT GetCount(DWORD* count) override {
        if (!count)
            return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT GetValue(REFPROPERTYKEY key, PROPVARIANT* value) override {
        if (!value)
            return E_POINTER;
        PropVariantInit(value);
        if (HRESULT hr = injected("GetValue", endpoint->name); FAILED(hr))
            return hr;
        if (key.fmtid == PKEY_Device_FriendlyName.fmtid && key.pid == PKEY_Device_FriendlyName.pid) {
            value->pwszVal = taskString(endpoint->name);
            if (!value->pwszVal)
                return E_OUTOFMEMORY;
            value->vt = VT_LPWSTR;
        }
        return S_OK; // an unknown key gives an empty value
    }

private:
    EndpointPtr endpoint;
};

// --- volumes ---
class EndpointVolume : public ComObject<IAudioEndpointVolume> {
public:
    explicit EndpointVolume(EndpointPtr ep) : ComObject(IID_IAudioEndpointVolume), endpoint(std::move(ep)) {}
    HRESULT SetMasterVolumeLevelScalar(float level, const GUID*) override {
        if (HRESULT hr = reachable(*endpoint, "SetMasterVolumeLevelScalar"); FAILED(hr))
            return hr;
        if (!(level >= 0.0f && level <= 1.0f))
            return E_INVALIDARG;
        if (endpoint->setMixerVolume(level))
            return S_OK;
        std::lock_guard<std::mutex> guard(endpoint->volumeLock);
        endpoint->endpointVolume = level;
        return S_OK;
    }
    HRESULT GetMasterVolumeLevelScalar(float* level) override {
        if (!level)
            return E_POINTER;
        if (HRESULT hr = reachable(*endpoint, "GetMasterVolumeLevelScalar"); FAILED(hr))
            return hr;
        if (endpoint->getMixerVolume(*level))
            return S_OK;
        std::lock_guard<std::mutex> guard(endpoint->volumeLock);
        *level = endpoint->endpointVolume;
        return S_OK;
    }

private:
    EndpointPtr endpoint;
};

class SimpleVolume : public ComObject<ISimpleAudioVolume> {
public:
    SimpleVolume(EndpointPtr ep, const GUID& session_)
        : ComObject(IID_ISimpleAudioVolume), endpoint(std::move(ep)), session(session_) {}
    HRESULT SetMasterVolume(float level, const GUID*) override {
        if (HRESULT hr = reachable(*endpoint, "SetMasterVolume"); FAILED(hr))
            return hr;
        if (!(level >= 0.0f && level <= 1.0f))
            return E_INVALIDARG;
        std::lock_guard<std::mutex> guard(endpoint->volumeLock);
        endpoint->sessionVolumes[session] = level;
        return S_OK;
    }
    HRESULT GetMasterVolume(float* level) override {
        if (!level)
            return E_POINTER;
        if (HRESULT hr = reachable(*endpoint, "GetMasterVolume"); FAILED(hr))
            return hr;
        std::lock_guard<std::mutex> guard(endpoint->volumeLock);
        auto it = endpoint->sessionVolumes.find(session);
        *level = it == endpoint->sessionVolumes.end() ? 1.0f : it->second;
        return S_OK;
    }

private:
    EndpointPtr endpoint;
    GUID session;
};

class SessionManager : public ComObject<IAudioSessionManager> {
public:
    explicit SessionManager(EndpointPtr ep) : ComObject(IID_IAudioSessionManager), endpoint(std::move(ep)) {}
    HRESULT GetSimpleAudioVolume(const GUID* sessionGuid, DWORD, ISimpleAudioVolume** volume) override {
        if (!volume)
            return E_POINTER;
        *volume = nullptr;
        if (HRESULT hr = injected("GetSimpleAudioVolume", endpoint->name); FAILED(hr))
            return hr;
        const GUID nullGuid{};
        *volume = new SimpleVolume(endpoint, sessionGuid ? *sessionGuid : nullGuid);
        return S_OK;
    }

private:
    EndpointPtr endpoint;
};

// --- the audio client ---
class AudioClient;

class RenderClient : public ComObject<IAudioRenderClient> {
public:
    explicit RenderClient(AudioClient* c);
    ~RenderClient() override;
    HRESULT GetBuffer(UINT frames, BYTE** data) override;
    HRESULT ReleaseBuffer(UINT frames, DWORD flags) override;

private:
    AudioClient* client;
};

class CaptureClient : public ComObject<IAudioCaptureClient> {
public:
    explicit CaptureClient(AudioClient* c);
    ~CaptureClient() override;
    HRESULT GetBuffer(BYTE** data, UINT* frames, DWORD* flags, ULONGLONG* devicePosition,
                      ULONGLONG* qpc) override;
    HRESULT ReleaseBuffer(UINT frames) override;
    HRESULT GetNextPacketSize(UINT* frames) override;

private:
    AudioClient* client;
};

class AudioClient : public ComObject<IAudioClient>, public Stepper {
public:
    explicit AudioClient(EndpointPtr ep) : ComObject(IID_IAudioClient), endpoint(std::move(ep)) {}
    ~AudioClient() override { halt(); }

    HRESULT Initialize(AUDCLNT_SHAREMODE shareMode, DWORD streamFlags, REFERENCE_TIME bufferDuration,
                       REFERENCE_TIME periodicity, const WAVEFORMATEX* format, const GUID*) override {
        std::lock_guard<std::mutex> guard(lock);
        if (HRESULT hr = reachable(*endpoint, "Initialize"); FAILED(hr))
            return hr;
        if (initialized)
            return AUDCLNT_E_ALREADY_INITIALIZED;
        if (!format)
            return E_POINTER;
        if (shareMode != AUDCLNT_SHAREMODE_SHARED)
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        if (bufferDuration < 0 || periodicity < 0)
            return E_INVALIDARG;
        WAVEFORMATEXTENSIBLE mix;
        if (HRESULT hr = endpoint->mixFormat(mix); FAILED(hr))
            return hr;
        // Shared mode takes the mix format only.
        if (format->nChannels != mix.Format.nChannels ||
            format->nSamplesPerSec != mix.Format.nSamplesPerSec ||
            format->wBitsPerSample != mix.Format.wBitsPerSample ||
            isFloatFormat(*format) != isFloatFormat(mix.Format))
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        fmt = mix;
        block = fmt.Format.nBlockAlign;
        const REFERENCE_TIME period = endpoint->defaultPeriod();
        periodFrames = static_cast<UINT>(static_cast<int64_t>(fmt.Format.nSamplesPerSec) * period / 10000000);
        if (periodFrames == 0)
            periodFrames = 1;
        periodNs = period * 100;
        const UINT requested = static_cast<UINT>(
            (static_cast<int64_t>(fmt.Format.nSamplesPerSec) * bufferDuration + 9999999) / 10000000);
        // The audio engine's own minimum: a few periods for playback; capture keeps ten periods of
        // packets so that a late reader loses nothing.
        const UINT floor =
            endpoint->flow == eRender ? endpoint->renderBufferPeriods() * periodFrames : 10 * periodFrames;
        bufferFrames = std::max(requested, floor);
        if (bufferFrames > fmt.Format.nSamplesPerSec * 2)
            return AUDCLNT_E_BUFFER_SIZE_ERROR;
        if (HRESULT hr = endpoint->openIo(fmt, periodFrames, io); FAILED(hr))
            return hr;
        eventMode = (streamFlags & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0;
        ring.assign(static_cast<size_t>(bufferFrames) * block * (endpoint->flow == eRender ? 2 : 1), 0);
        scratch.assign(static_cast<size_t>(periodFrames) * block, 0);
        slotCount = std::max<size_t>(1, bufferFrames / periodFrames);
        packets.assign(slotCount, Packet{});
        initialized = true;
        return S_OK;
    }
    HRESULT GetBufferSize(UINT* frames) override {
        if (!frames)
            return E_POINTER;
        std::lock_guard<std::mutex> guard(lock);
        if (HRESULT hr = usable("GetBufferSize"); FAILED(hr))
            return hr;
        *frames = bufferFrames;
        return S_OK;
    }
    HRESULT GetCurrentPadding(UINT* frames) override {
        if (!frames)
            return E_POINTER;
        std::lock_guard<std::mutex> guard(lock);
        if (HRESULT hr = usable("GetCurrentPadding"); FAILED(hr))
            return hr;
        *frames = endpoint->flow == eRender ? padding : queuedFrames();
        return S_OK;
    }
    HRESULT GetMixFormat(WAVEFORMATEX** format) override {
        if (!format)
            return E_POINTER;
        *format = nullptr;
        if (HRESULT hr = reachable(*endpoint, "GetMixFormat"); FAILED(hr))
            return hr;
        WAVEFORMATEXTENSIBLE mix;
        if (HRESULT hr = endpoint->mixFormat(mix); FAILED(hr))
            return hr;
        auto* out = static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
        if (!out)
            return E_OUTOFMEMORY;
        *out = mix;
        *format = &out->Format;
        return S_OK;
    }
    HRESULT GetDevicePeriod(REFERENCE_TIME* defaultPeriod, REFERENCE_TIME* minimumPeriod) override {
        if (!defaultPeriod && !minimumPeriod)
            return E_POINTER;
        if (HRESULT hr = reachable(*endpoint, "GetDevicePeriod"); FAILED(hr))
            return hr;
        if (defaultPeriod)
            *defaultPeriod = endpoint->defaultPeriod();
        if (minimumPeriod)
            *minimumPeriod = endpoint->minimumPeriod();
        return S_OK;
    }
    HRESULT Start() override {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (HRESULT hr = usable("Start"); FAILED(hr))
                return hr;
            if (running)
                return AUDCLNT_E_NOT_STOPPED;
            if (eventMode && !event)
                return AUDCLNT_E_EVENTHANDLE_NOT_SET;
            running = true;
            invalidationSignalled = false;
            if (endpoint->flow == eRender)
                endpoint->paddingAtStart.store(static_cast<int>(padding));
        }
        io->start();
        endpoint->streamStarted();
        if (manualClock()) {
            stepping = true;
            addStepper(this);
        } else {
            pacer = std::thread([this] { pace(); });
        }
        return S_OK;
    }
    HRESULT Stop() override {
        const bool wasRunning = halt();
        if (!initialized)
            return AUDCLNT_E_NOT_INITIALIZED;
        if (!endpoint->present() || (io && io->failed()))
            return AUDCLNT_E_DEVICE_INVALIDATED;
        return wasRunning ? S_OK : S_FALSE;
    }
    HRESULT SetEventHandle(HANDLE e) override {
        std::lock_guard<std::mutex> guard(lock);
        if (HRESULT hr = usable("SetEventHandle"); FAILED(hr))
            return hr;
        if (!eventMode)
            return AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED;
        if (!e || e == INVALID_HANDLE_VALUE)
            return E_INVALIDARG;
        event = e;
        return S_OK;
    }
    HRESULT GetService(REFIID iid, void** service) override {
        if (!service)
            return E_POINTER;
        *service = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock);
            if (HRESULT hr = usable("GetService"); FAILED(hr))
                return hr;
        }
        if (iid == IID_IAudioRenderClient) {
            if (endpoint->flow != eRender)
                return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
            *service = static_cast<IAudioRenderClient*>(new RenderClient(this));
            return S_OK;
        }
        if (iid == IID_IAudioCaptureClient) {
            if (endpoint->flow != eCapture)
                return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
            *service = static_cast<IAudioCaptureClient*>(new CaptureClient(this));
            return S_OK;
        }
        return E_NOINTERFACE;
    }

    // Render service.
    HRESULT renderGetBuffer(UINT frames, BYTE** data) {
        if (!data)
            return E_POINTER;
        *data = nullptr;
        std::lock_guard<std::mutex> guard(lock);
        if (HRESULT hr = usable("GetBuffer"); FAILED(hr))
            return hr;
        if (lent)
            return AUDCLNT_E_OUT_OF_ORDER;
        if (frames > bufferFrames - padding)
            return AUDCLNT_E_BUFFER_TOO_LARGE;
        if (frames == 0) {
            served = true;
            return S_OK;
        }
        // The queued frames sit at [base, base + padding) of a ring twice the buffer's size; move
        // them to the front when the lent buffer would not fit behind them.
        if (base + padding + frames > 2 * bufferFrames) {
            std::memmove(ring.data(), ring.data() + static_cast<size_t>(base) * block,
                         static_cast<size_t>(padding) * block);
            base = 0;
        }
        lent = true;
        lentFrames = frames;
        *data = ring.data() + static_cast<size_t>(base + padding) * block;
        return S_OK;
    }
    HRESULT renderReleaseBuffer(UINT frames, DWORD flags) {
        std::lock_guard<std::mutex> guard(lock);
        if (HRESULT hr = usable("ReleaseBuffer"); FAILED(hr)) {
            lent = false;
            return hr;
        }
        if (!lent)
            return frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
        if (frames > lentFrames)
            return AUDCLNT_E_INVALID_SIZE;
        if (flags & AUDCLNT_BUFFERFLAGS_SILENT)
            std::memset(ring.data() + static_cast<size_t>(base + padding) * block, 0,
                        static_cast<size_t>(frames) * block);
        padding += frames;
        lent = false;
        served = true;
        return S_OK;
    }

    // Capture service.
    HRESULT captureGetBuffer(BYTE** data, UINT* frames, DWORD* flags, ULONGLONG* devicePosition,
                             ULONGLONG* qpc) {
        if (!data || !frames || !flags)
            return E_POINTER;
        *data = nullptr;
        *frames = 0;
        *flags = 0;
        std::lock_guard<std::mutex> guard(lock);
        if (HRESULT hr = usable("GetBuffer"); FAILED(hr))
            return hr;
        if (lent)
            return AUDCLNT_E_OUT_OF_ORDER;
        if (queued == 0) {
            served = true;
            return AUDCLNT_S_BUFFER_EMPTY;
        }
        Packet& p = packets[head];
        *data = ring.data() + head * static_cast<size_t>(periodFrames) * block;
        *frames = p.frames;
        *flags = p.flags;
        if (devicePosition)
            *devicePosition = p.position;
        if (qpc)
            *qpc = static_cast<ULONGLONG>(p.timeNs / 100);
        lent = true;
        return S_OK;
    }
    HRESULT captureReleaseBuffer(UINT frames) {
        std::lock_guard<std::mutex> guard(lock);
        if (HRESULT hr = usable("ReleaseBuffer"); FAILED(hr)) {
            lent = false;
            return hr;
        }
        if (!lent)
            return AUDCLNT_E_OUT_OF_ORDER;
        if (frames != 0 && frames != packets[head].frames)
            return AUDCLNT_E_INVALID_SIZE;
        lent = false;
        if (frames == 0)
            return S_OK;
        head = (head + 1) % slotCount;
        --queued;
        return S_OK;
    }
    HRESULT captureNextPacketSize(UINT* frames) {
        if (!frames)
            return E_POINTER;
        std::lock_guard<std::mutex> guard(lock);
        if (HRESULT hr = usable("GetNextPacketSize"); FAILED(hr))
            return hr;
        *frames = queued ? packets[head].frames : 0;
        return S_OK;
    }

    // One device period.
    void step(int64_t timeNs) override {
        if (!endpoint->present() || io->failed()) {
            HANDLE e = nullptr;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (!invalidationSignalled) {
                    invalidationSignalled = true;
                    e = event;
                }
            }
            // One more event, so the stream's reader sees the invalidation.
            if (e)
                SetEvent(e);
            return;
        }
        if (endpoint->flow == eRender) {
            {
                std::lock_guard<std::mutex> guard(lock);
                const UINT taken = std::min(padding, periodFrames);
                const size_t takenBytes = static_cast<size_t>(taken) * block;
                std::memcpy(scratch.data(), ring.data() + static_cast<size_t>(base) * block, takenBytes);
                std::memset(scratch.data() + takenBytes, 0, scratch.size() - takenBytes);
                base += taken;
                padding -= taken;
                if (padding == 0 && !lent)
                    base = 0;
                position += periodFrames;
            }
            io->play(scratch.data(), periodFrames, timeNs);
        } else {
            io->record(scratch.data(), periodFrames, timeNs);
            std::lock_guard<std::mutex> guard(lock);
            if (queued == slotCount || (lent && queued + 1 == slotCount)) {
                // Overflow: the packet is lost and the next one says so.
                discontinuity = true;
            } else {
                const size_t slot = (head + queued) % slotCount;
                std::memcpy(ring.data() + slot * static_cast<size_t>(periodFrames) * block, scratch.data(),
                            scratch.size());
                packets[slot] =
                    Packet{periodFrames, discontinuity ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0u,
                           position, timeNs};
                discontinuity = false;
                ++queued;
            }
            position += periodFrames;
        }
        if (event) {
            {
                std::lock_guard<std::mutex> guard(lock);
                served = false;
            }
            SetEvent(event);
        }
    }

    bool busy() override {
        std::lock_guard<std::mutex> guard(lock);
        return !served && endpoint->present() && !io->failed();
    }

    EndpointPtr endpoint;

private:
    struct Packet {
        UINT frames = 0;
        DWORD flags = 0;
        ULONGLONG position = 0;
        int64_t timeNs = 0;
    };

    HRESULT usable(const char* call) {
        if (HRESULT hr = reachable(*endpoint, call); FAILED(hr))
            return hr;
        if (io && io->failed())
            return AUDCLNT_E_DEVICE_INVALIDATED;
        return initialized ? S_OK : AUDCLNT_E_NOT_INITIALIZED;
    }
    UINT queuedFrames() const {
        UINT total = 0;
        for (size_t i = 0; i < queued; ++i)
            total += packets[(head + i) % slotCount].frames;
        return total;
    }

    // Stops pacing; true when the stream was running.
    bool halt() {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!running)
                return false;
            running = false;
        }
        wake.notify_all();
        if (pacer.joinable())
            pacer.join();
        if (stepping) {
            removeStepper(this);
            stepping = false;
        }
        if (io)
            io->stop();
        return true;
    }

    // The stream's clock: one step per period, on a fixed schedule so that periods do not drift.
    void pace() {
        const auto start = std::chrono::steady_clock::now();
        const int64_t startNs = clockNowNs();
        for (int64_t n = 1;; ++n) {
            if (!io->blocks()) {
                std::unique_lock<std::mutex> guard(lock);
                const auto due = start + std::chrono::nanoseconds(n * periodNs);
                if (wake.wait_until(guard, due, [this] { return !running; }))
                    return;
            } else {
                std::lock_guard<std::mutex> guard(lock);
                if (!running)
                    return;
            }
            // A simulated period is stamped with its place on the sample clock, not with the moment the
            // pacer woke: a late wake-up must not move the samples in time (echoes stay where they are).
            step(io->blocks() ? clockNowNs() : startNs + n * periodNs);
        }
    }

    std::mutex lock;
    std::condition_variable wake;
    bool initialized = false;
    bool eventMode = false;
    bool running = false;
    bool stepping = false;
    bool invalidationSignalled = false;
    HANDLE event = nullptr;
    WAVEFORMATEXTENSIBLE fmt{};
    UINT block = 1;
    UINT periodFrames = 0;
    int64_t periodNs = 10000000;
    UINT bufferFrames = 0;
    std::unique_ptr<StreamIo> io;
    std::vector<BYTE> ring;
    std::vector<BYTE> scratch;
    ULONGLONG position = 0;
    bool lent = false;
    bool served = true;
    // Render: frames queued to play and the size of the lent buffer.
    UINT padding = 0;
    UINT base = 0;
    UINT lentFrames = 0;
    // Capture: packets in period-sized slots of ring.
    std::vector<Packet> packets;
    size_t slotCount = 1;
    size_t head = 0;
    size_t queued = 0;
    bool discontinuity = false;
    std::thread pacer;
};

RenderClient::RenderClient(AudioClient* c) : ComObject(IID_IAudioRenderClient), client(c) {
    client->AddRef();
}
RenderClient::~RenderClient() {
    client->Release();
}
HRESULT RenderClient::GetBuffer(UINT frames, BYTE** data) {
    return client->renderGetBuffer(frames, data);
}
HRESULT RenderClient::ReleaseBuffer(UINT frames, DWORD flags) {
    return client->renderReleaseBuffer(frames, flags);
}

CaptureClient::CaptureClient(AudioClient* c) : ComObject(IID_IAudioCaptureClient), client(c) {
    client->AddRef();
}
CaptureClient::~CaptureClient() {
    client->Release();
}
HRESULT CaptureClient::GetBuffer(BYTE** data, UINT* frames, DWORD* flags, ULONGLONG* devicePosition,
                                 ULONGLONG* qpc) {
    return client->captureGetBuffer(data, frames, flags, devicePosition, qpc);
}
HRESULT CaptureClient::ReleaseBuffer(UINT frames) {
    return client->captureReleaseBuffer(frames);
}
HRESULT CaptureClient::GetNextPacketSize(UINT* frames) {
    return client->captureNextPacketSize(frames);
}

// --- endpoints, collections, enumerator ---
class Device : public ComObject<IMMDevice> {
public:
    explicit Device(EndpointPtr ep) : ComObject(IID_IMMDevice), endpoint(std::move(ep)) {}
    HRESULT Activate(REFIID iid, DWORD, void*, void** object) override {
        if (!object)
            return E_POINTER;
        *object = nullptr;
        if (HRESULT hr = reachable(*endpoint, "Activate"); FAILED(hr))
            return hr;
        if (iid == IID_IAudioClient) {
            *object = static_cast<IAudioClient*>(new AudioClient(endpoint));
        } else if (iid == IID_IAudioEndpointVolume) {
            *object = static_cast<IAudioEndpointVolume*>(new EndpointVolume(endpoint));
        } else if (iid == IID_IAudioSessionManager) {
            *object = static_cast<IAudioSessionManager*>(new SessionManager(endpoint));
        } else {
            return E_NOINTERFACE;
        }
        return S_OK;
    }
    HRESULT OpenPropertyStore(DWORD, IPropertyStore** store) override {
        if (!store)
            return E_POINTER;
        *store = nullptr;
        if (HRESULT hr = injected("OpenPropertyStore", endpoint->name); FAILED(hr))
            return hr;
        *store = new PropertyStore(endpoint);
        return S_OK;
    }
    HRESULT GetId(LPWSTR* id) override {
        if (!id)
            return E_POINTER;
        *id = taskString(endpoint->id);
        return *id ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT GetState(DWORD* state) override {
        if (!state)
            return E_POINTER;
        *state = endpoint->present() ? DEVICE_STATE_ACTIVE : DEVICE_STATE_NOTPRESENT;
        return S_OK;
    }

private:
    EndpointPtr endpoint;
};

class Collection : public ComObject<IMMDeviceCollection> {
public:
    explicit Collection(std::vector<EndpointPtr> list)
        : ComObject(IID_IMMDeviceCollection), items(std::move(list)) {}
    HRESULT GetCount(UINT* count) override {
        if (!count)
            return E_POINTER;
        if (HRESULT hr = injected("GetCount", ""); FAILED(hr))
            return hr;
        *count = static_cast<UINT>(items.size());
        return S_OK;
    }
    HRESULT Item(UINT index, IMMDevice** device) override {
        if (!device)
            return E_POINTER;
        *device = nullptr;
        if (index >= items.size())
            return E_INVALIDARG;
        if (HRESULT hr = injected("Item", items[index]->name); FAILED(hr))
            return hr;
        *device = new Device(items[index]);
        return S_OK;
    }

private:
    std::vector<EndpointPtr> items;
};

DWORD stateOf(const EndpointPtr& e) {
    return e->present() ? DEVICE_STATE_ACTIVE : DEVICE_STATE_NOTPRESENT;
}

class Enumerator : public ComObject<IMMDeviceEnumerator> {
public:
    Enumerator() : ComObject(IID_IMMDeviceEnumerator) {}
    HRESULT EnumAudioEndpoints(EDataFlow flow, DWORD stateMask, IMMDeviceCollection** devices) override {
        if (!devices)
            return E_POINTER;
        *devices = nullptr;
        if (flow != eRender && flow != eCapture && flow != eAll)
            return E_INVALIDARG;
        if (stateMask == 0 || (stateMask & ~DEVICE_STATEMASK_ALL))
            return E_INVALIDARG;
        if (HRESULT hr = injected("EnumAudioEndpoints", ""); FAILED(hr))
            return hr;
        std::vector<EndpointPtr> list;
        for (auto& e : backend().endpoints())
            if ((flow == eAll || e->flow == flow) && (stateOf(e) & stateMask))
                list.push_back(e);
        *devices = new Collection(std::move(list));
        return S_OK;
    }
    HRESULT GetDefaultAudioEndpoint(EDataFlow flow, ERole role, IMMDevice** endpoint) override {
        if (!endpoint)
            return E_POINTER;
        *endpoint = nullptr;
        if ((flow != eRender && flow != eCapture) || role < eConsole || role > eCommunications)
            return E_INVALIDARG;
        if (HRESULT hr = injected("GetDefaultAudioEndpoint", ""); FAILED(hr))
            return hr;
        EndpointPtr e = backend().defaultEndpoint(flow);
        if (!e || !e->present())
            return E_NOTFOUND;
        *endpoint = new Device(e);
        return S_OK;
    }
};

struct FailureEntry {
    std::string call;
    std::string endpoint;
    HRESULT result;
    int remaining; // negative: every call
};

std::mutex& failureLock() {
    static std::mutex m;
    return m;
}
std::vector<FailureEntry>& failures() {
    static std::vector<FailureEntry> list;
    return list;
}

std::mutex& stepperLock() {
    static std::mutex m;
    return m;
}
std::vector<Stepper*>& steppers() {
    static std::vector<Stepper*> list;
    return list;
}
std::atomic<bool> manualMode{false};
std::atomic<int64_t> manualNow{0};

struct Registration {
    Registration() { registerAudioClasses(); }
} registration;

} // namespace

IMMDevice* newDevice(const EndpointPtr& endpoint) {
    return new Device(endpoint);
}

HRESULT injected(const char* call, const std::string& endpointName) {
    std::lock_guard<std::mutex> guard(failureLock());
    for (auto& f : failures()) {
        if (f.remaining == 0 || f.call != call)
            continue;
        if (!f.endpoint.empty() && f.endpoint != endpointName)
            continue;
        if (f.remaining > 0)
            --f.remaining;
        return f.result;
    }
    return S_OK;
}

void addFailure(const std::string& call, const std::string& endpoint, HRESULT result, int count) {
    std::lock_guard<std::mutex> guard(failureLock());
    failures().push_back(FailureEntry{call, endpoint, result, count});
}

void clearFailures() {
    std::lock_guard<std::mutex> guard(failureLock());
    failures().clear();
}

int64_t clockNowNs() {
    if (manualMode.load())
        return manualNow.load();
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
bool manualClock() {
    return manualMode.load();
}

int stepperCount() {
    std::lock_guard<std::mutex> guard(stepperLock());
    return static_cast<int>(steppers().size());
}

bool waitIdle(int timeoutMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        bool busy = false;
        {
            std::lock_guard<std::mutex> guard(stepperLock());
            for (Stepper* s : steppers())
                busy = busy || s->busy();
        }
        if (!busy)
            return true;
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}
void setManualClock(bool on) {
    manualMode.store(on);
}

void addStepper(Stepper* s) {
    std::lock_guard<std::mutex> guard(stepperLock());
    steppers().push_back(s);
}
void removeStepper(Stepper* s) {
    std::lock_guard<std::mutex> guard(stepperLock());
    auto& list = steppers();
    list.erase(std::remove(list.begin(), list.end(), s), list.end());
}
void stepAll(int64_t periodNs) {
    std::lock_guard<std::mutex> guard(stepperLock());
    manualNow.fetch_add(periodNs);
    for (Stepper* s : steppers())
        s->step(manualNow.load());
}

WAVEFORMATEXTENSIBLE makeFormat(DWORD rate, WORD channels, WORD bits, bool isFloat) {
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = bits;
    f.dwChannelMask = channels == 1 ? 0x4 : channels == 2 ? 0x3 : 0;
    f.SubFormat = isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

bool isFloatFormat(const WAVEFORMATEX& format) {
    if (format.wFormatTag == WAVE_FORMAT_IEEE_FLOAT)
        return true;
    if (format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && format.cbSize >= 22)
        return reinterpret_cast<const WAVEFORMATEXTENSIBLE&>(format).SubFormat ==
               KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    return false;
}

void writeFrame(const WAVEFORMATEXTENSIBLE& format, BYTE* out, double v) {
    v = std::max(-1.0, std::min(1.0, v));
    const int bytes = format.Format.wBitsPerSample / 8;
    BYTE sample[4] = {};
    if (isFloatFormat(format.Format)) {
        const float f = static_cast<float>(v);
        std::memcpy(sample, &f, 4);
    } else if (bytes == 1) {
        sample[0] = static_cast<BYTE>(static_cast<int>(std::lround(v * 127.0)) + 128);
    } else {
        const int64_t full = (int64_t(1) << (bytes * 8 - 1)) - 1;
        int64_t s = std::llround(v * static_cast<double>(full));
        for (int i = 0; i < bytes; ++i)
            sample[i] = static_cast<BYTE>((static_cast<uint64_t>(s) >> (8 * i)) & 0xFF);
    }
    for (int c = 0; c < format.Format.nChannels; ++c)
        std::memcpy(out + c * bytes, sample, static_cast<size_t>(bytes));
}

double readFrame(const WAVEFORMATEXTENSIBLE& format, const BYTE* in) {
    const int bytes = format.Format.wBitsPerSample / 8;
    const int channels = format.Format.nChannels;
    double sum = 0;
    for (int c = 0; c < channels; ++c) {
        const BYTE* p = in + c * bytes;
        if (isFloatFormat(format.Format)) {
            float f;
            std::memcpy(&f, p, 4);
            sum += f;
        } else if (bytes == 1) {
            sum += (static_cast<int>(p[0]) - 128) / 128.0;
        } else {
            uint64_t u = 0;
            for (int i = 0; i < bytes; ++i)
                u |= static_cast<uint64_t>(p[i]) << (8 * i);
            const int shift = 64 - bytes * 8;
            const int64_t s = static_cast<int64_t>(u << shift) >> shift;
            sum += static_cast<double>(s) / static_cast<double>(int64_t(1) << (bytes * 8 - 1));
        }
    }
    return channels ? sum / channels : 0.0;
}

void scaleSamples(const WAVEFORMATEXTENSIBLE& format, BYTE* data, UINT frames, float gain) {
    const size_t count = static_cast<size_t>(frames) * format.Format.nChannels;
    const double g = gain;
    if (isFloatFormat(format.Format)) {
        for (size_t i = 0; i < count; ++i) {
            float f;
            std::memcpy(&f, data + 4 * i, 4);
            f = static_cast<float>(std::max(-1.0, std::min(1.0, f * g)));
            std::memcpy(data + 4 * i, &f, 4);
        }
    } else if (format.Format.wBitsPerSample == 8) {
        for (size_t i = 0; i < count; ++i)
            data[i] = static_cast<BYTE>(std::lround((static_cast<int>(data[i]) - 128) * g) + 128);
    } else if (format.Format.wBitsPerSample == 16) {
        for (size_t i = 0; i < count; ++i) {
            int16_t v;
            std::memcpy(&v, data + 2 * i, 2);
            v = static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, std::round(v * g))));
            std::memcpy(data + 2 * i, &v, 2);
        }
    } else if (format.Format.wBitsPerSample == 32) {
        for (size_t i = 0; i < count; ++i) {
            int32_t v;
            std::memcpy(&v, data + 4 * i, 4);
            v = static_cast<int32_t>(std::max(-2147483648.0, std::min(2147483647.0, std::round(v * g))));
            std::memcpy(data + 4 * i, &v, 4);
        }
    }
}

float renderGain(Endpoint& endpoint) {
    std::lock_guard<std::mutex> guard(endpoint.volumeLock);
    float session = 1.0f;
    for (auto& kv : endpoint.sessionVolumes)
        session = std::min(session, kv.second);
    return endpoint.endpointVolume * session;
}

float captureGain(Endpoint& endpoint) {
    std::lock_guard<std::mutex> guard(endpoint.volumeLock);
    return endpoint.endpointVolume;
}

namespace {
std::atomic<AudioNoteSink> noteSink{nullptr};
}

void note(int level, const std::string& text) {
    if (AudioNoteSink sink = noteSink.load())
        sink(level, text.c_str());
    else
        std::fprintf(stderr, "audio: %s\n", text.c_str());
}

Backend& backend() {
    static Backend* chosen = [] {
        const char* env = std::getenv("KBR_AUDIO_BACKEND");
        const std::string want = env ? env : "";
        if (want == "alsa") {
            if (Backend* b = alsaBackend())
                return b;
        } else if (want.empty() && alsaHasSoundCard()) {
            if (Backend* b = alsaBackend())
                return b;
        }
        return &simBackend();
    }();
    return *chosen;
}

} // namespace audio

void registerAudioClasses() {
    registerComClass(CLSID_MMDeviceEnumerator, [](REFIID riid, void** object) {
        auto* e = new audio::Enumerator();
        const HRESULT hr = e->QueryInterface(riid, object);
        e->Release();
        return hr;
    });
}

const char* audioBackendName() {
    return audio::backend().name();
}

void setAudioNoteSink(AudioNoteSink sink) {
    audio::noteSink.store(sink);
}

} // namespace plat
