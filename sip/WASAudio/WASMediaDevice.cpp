#include "WASAudio/WASMediaDevice.h"

#include "kmt/log.h"
#include "plat/dl.h"
#include "plat/qos.h"
#include "plat/sync.h"
#include "plat/time.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace wasmedia {

using namespace plat;

std::atomic<int> WASMediaDevice::captureDumpCounter{0};

namespace {

enum class SampleType { U8, S16, S32, Float, None };

SampleType sampleTypeOf(const WAVEFORMATEX* f) {
    bool isFloat = f->wFormatTag == WAVE_FORMAT_IEEE_FLOAT;
    bool isPcm = f->wFormatTag == WAVE_FORMAT_PCM;
    if (f->wFormatTag == WAVE_FORMAT_EXTENSIBLE && f->cbSize >= 22) {
        const auto* x = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(f);
        isFloat = x->SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
        isPcm = x->SubFormat == KSDATAFORMAT_SUBTYPE_PCM;
    }
    if (isFloat)
        return f->wBitsPerSample == 32 ? SampleType::Float : SampleType::None;
    if (isPcm) {
        switch (f->wBitsPerSample) {
        case 8:
            return SampleType::U8;
        case 16:
            return SampleType::S16;
        case 32:
            return SampleType::S32;
        default:
            break;
        }
    }
    return SampleType::None;
}

// Frees a format from GetMixFormat.
struct MixFormat {
    WAVEFORMATEX* format = nullptr;
    ~MixFormat() { CoTaskMemFree(format); }
};

// The multimedia class of the audio thread, over the avrt library.
class MmClass {
public:
    explicit MmClass(const char* task) {
        module = LoadLibraryA("avrt.dll");
        if (!module)
            return;
        auto set = reinterpret_cast<AvSetMmThreadCharacteristicsAFn>(
            GetProcAddress(module, kAvSetMmThreadCharacteristicsAName));
        revert = reinterpret_cast<AvRevertMmThreadCharacteristicsFn>(
            GetProcAddress(module, kAvRevertMmThreadCharacteristicsName));
        DWORD index = 0;
        if (set)
            handle = set(task, &index);
    }
    ~MmClass() {
        if (handle && revert)
            revert(handle);
        if (module)
            FreeLibrary(module);
    }
    MmClass(const MmClass&) = delete;
    MmClass& operator=(const MmClass&) = delete;
    HANDLE get() const { return handle; }

private:
    HMODULE module = nullptr;
    AvRevertMmThreadCharacteristicsFn revert = nullptr;
    HANDLE handle = nullptr;
};

} // namespace

WASMediaDevice::WASMediaDevice(const std::string& input, const std::string& output, MediaChannel* consumer_,
                               int frameSamples_, int sampleRate_)
    : audioThread(this), frameSamples(frameSamples_), sampleRate(sampleRate_), consumer(consumer_) {
    if (frameSamples <= 0 || sampleRate <= 0)
        throw std::invalid_argument("bad frame size or sample rate");
    outputEndpoint = WASMediaManager::findEndpoint(eRender, output);
    inputName = input;
    inputEndpoint = WASMediaManager::findEndpoint(eCapture, input);
    try {
        openDump();
        setupRender();
        setupCapture();
        stopEvent.handle = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (!stopEvent.handle)
            throw std::runtime_error("CreateEvent stop failed");
    } catch (...) {
        closeDump();
        throw;
    }
}

WASMediaDevice::~WASMediaDevice() {
    // The owner stops the device first; a device destroyed while running is stopped here.
    if (audioThread.joinable()) {
        SetEvent(stopEvent.handle);
        audioThread.join();
    }
    closeDump();
    // Clients go before the events they signal.
    inputConverter.reset();
    captureClient.reset();
    captureAudioClient.reset();
    inputEndpoint.reset();
    outputConverter.reset();
    renderClient.reset();
    renderAudioClient.reset();
    outputEndpoint.reset();
}

void WASMediaDevice::openDump() {
    const char* dir = std::getenv("KBR_WASAPI_DIR");
    if (!dir || kmt::logWasapi.effectiveLevel() <= 1)
        return;
    int n = captureDumpCounter.load();
    while (!captureDumpCounter.compare_exchange_weak(n, (n + 1) % 10)) {
    }
    const std::string name = std::string(dir) + "/call" + std::to_string(n) + ".log";
    dump = std::fopen(name.c_str(), "wb");
    if (!dump) {
        KMT_LOG(kmt::logWasapi, 1) << "cannot open capture dump " << name;
        return;
    }
    const int32_t header[2] = {8980, 3};
    dumpWrite(header, sizeof header);
}

void WASMediaDevice::closeDump() {
    if (dump) {
        std::fclose(dump);
        dump = nullptr;
    }
}

void WASMediaDevice::dumpWrite(const void* data, size_t bytes) {
    if (dump && bytes)
        std::fwrite(data, 1, bytes, dump);
}

// The converter for a format's sample type; none when the type is not one the converters handle.
template <class Base, template <typename> class Converter, class... Args>
std::unique_ptr<Base> converterFor(const WAVEFORMATEX* f, Args... args) {
    switch (sampleTypeOf(f)) {
    case SampleType::U8:
        return std::unique_ptr<Base>(new Converter<unsigned char>(args...));
    case SampleType::S16:
        return std::unique_ptr<Base>(new Converter<unsigned short>(args...));
    case SampleType::S32:
        return std::unique_ptr<Base>(new Converter<unsigned int>(args...));
    case SampleType::Float:
        return std::unique_ptr<Base>(new Converter<float>(args...));
    case SampleType::None:
        break;
    }
    return nullptr;
}

void WASMediaDevice::createOutputConverter(const WAVEFORMATEX* f) {
    const int rate = static_cast<int>(f->nSamplesPerSec);
    outputConverter = converterFor<OutputConverter, OutputConverterT>(f, consumer, frameSamples, sampleRate,
                                                                     rate, static_cast<int>(f->nChannels));
    if (!outputConverter)
        throw std::runtime_error("output wave format not supported");
}

void WASMediaDevice::createInputConverter(const WAVEFORMATEX* f) {
    const int rate = static_cast<int>(f->nSamplesPerSec);
    inputConverter = converterFor<InputConverter, InputConverterT>(f, consumer, frameSamples, rate, sampleRate,
                                                                  static_cast<int>(f->nChannels));
    if (!inputConverter)
        throw std::runtime_error("input wave format not supported");
    inputConverter->resizeBuffer(frameSamples * 10);
}

void WASMediaDevice::setupRender() {
    renderClient.reset();
    checkAudioClientResult(
        "IAudioClient::Activate",
        outputEndpoint->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, renderAudioClient.putVoid()));
    MixFormat mix;
    checkAudioClientResult("IAudioClient::GetMixFormat", renderAudioClient->GetMixFormat(&mix.format));
    createOutputConverter(mix.format);
    renderEvent.handle = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!renderEvent.handle)
        throw std::runtime_error("CreateEvent playback failed");
    REFERENCE_TIME defaultPeriod = 0, minimumPeriod = 0;
    checkAudioClientResult("IAudioClient::GetDevicePeriod",
                           renderAudioClient->GetDevicePeriod(&defaultPeriod, &minimumPeriod));
    KMT_LOG(kmt::logWasapi, 2) << "Device period: " << defaultPeriod / 10000 << "ms (minimum "
                               << minimumPeriod / 10000 << "ms)";
    // In 100-ns units: far below the engine's minimum buffer, which then applies.
    const REFERENCE_TIME duration = static_cast<REFERENCE_TIME>(frameSamples) * 10000 / sampleRate;
    checkAudioClientResult("IAudioCLient::Initialize",
                           renderAudioClient->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                                         AUDCLNT_STREAMFLAGS_EVENTCALLBACK, duration,
                                                         duration, mix.format, &kAudioSessionGuid));
    checkAudioClientResult("IAudioClient::GetBufferSize)", renderAudioClient->GetBufferSize(&renderBufferFrames));
    checkAudioClientResult("IAudioClient::SetEventHandle",
                           renderAudioClient->SetEventHandle(renderEvent.handle));
    checkAudioClientResult("GetService render client",
                           renderAudioClient->GetService(IID_IAudioRenderClient, renderClient.putVoid()));
}

void WASMediaDevice::setupCapture() {
    captureClient.reset();
    checkAudioClientResult(
        "IAudioClient::Activate capture",
        inputEndpoint->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, captureAudioClient.putVoid()));
    MixFormat mix;
    checkAudioClientResult("IAudioClient::GetMixFormat", captureAudioClient->GetMixFormat(&mix.format));
    if (dump) {
        dumpBytesPerFrame = mix.format->wBitsPerSample * mix.format->nChannels / 8;
        // The first 40 bytes of the format; a plain WAVEFORMATEX is padded with zeros.
        uint8_t head[40] = {};
        std::memcpy(head, mix.format, std::min<size_t>(40, sizeof(WAVEFORMATEX) + mix.format->cbSize));
        dumpWrite(head, sizeof head);
    }
    createInputConverter(mix.format);
    captureEvent.handle = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!captureEvent.handle)
        throw std::runtime_error("CreateEvent capture failed");
    REFERENCE_TIME defaultPeriod = 0, minimumPeriod = 0;
    checkAudioClientResult("IAudioClient::GetDevicePeriod",
                           captureAudioClient->GetDevicePeriod(&defaultPeriod, &minimumPeriod));
    KMT_LOG(kmt::logWasapi, 2) << "Device period: " << defaultPeriod / 10000 << "ms (minimum "
                               << minimumPeriod / 10000 << "ms)";
    REFERENCE_TIME duration = static_cast<REFERENCE_TIME>(frameSamples) * 10000 / sampleRate;
    if (duration < minimumPeriod)
        duration = minimumPeriod;
    if (duration > defaultPeriod)
        duration = defaultPeriod;
    captureBufferDuration = duration;
    checkAudioClientResult("IAudioCLient::Initialize",
                           captureAudioClient->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                                          AUDCLNT_STREAMFLAGS_EVENTCALLBACK, duration,
                                                          duration, mix.format, &kAudioSessionGuid));
    checkAudioClientResult("IAudioClient::SetEventHandle",
                           captureAudioClient->SetEventHandle(captureEvent.handle));
    checkAudioClientResult("GetService capture client",
                           captureAudioClient->GetService(IID_IAudioCaptureClient, captureClient.putVoid()));
    // Gaps up to the capture buffer's size are filled with silence.
    UINT bufferFrames = 0;
    if (SUCCEEDED(captureAudioClient->GetBufferSize(&bufferFrames))) {
        const uint32_t byDuration = static_cast<uint32_t>(duration * mix.format->nSamplesPerSec / 10000000);
        captureGapLimit = std::max<uint32_t>(bufferFrames, byDuration);
        captureBlockAlign = mix.format->nBlockAlign;
        captureSilence.assign(static_cast<size_t>(captureGapLimit) * captureBlockAlign,
                              sampleTypeOf(mix.format) == SampleType::U8 ? 0x80 : 0);
    }
}

void WASMediaDevice::start() {
    audioThread.start();
}

void WASMediaDevice::stop() {
    SetEvent(stopEvent.handle);
    if (audioThread.joinable())
        audioThread.join();
    closeDump();
}

void WASMediaDevice::setInputLevel(float level) {
    ComApartment bracket;
    if (!boundLevel(level)) {
        KMT_LOG(kmt::logWasapi, 1) << "getLevel failed: level is not a number";
        return;
    }
    setEndpointVolume(inputEndpoint.get(), level);
}

float WASMediaDevice::getInputLevel() {
    ComApartment bracket;
    return getEndpointVolume(inputEndpoint.get());
}

void WASMediaDevice::setOutputLevel(float level) {
    ComApartment bracket;
    if (!boundLevel(level)) {
        KMT_LOG(kmt::logWasapi, 1) << "getLevel failed: level is not a number";
        return;
    }
    wasmedia::setOutputLevel(outputEndpoint.get(), level);
}

float WASMediaDevice::getOutputLevel() {
    ComApartment bracket;
    return wasmedia::getOutputLevel(outputEndpoint.get());
}

void WASMediaDevice::renderFill() {
    UINT padding = 0;
    checkAudioClientResult("IAudioClient::GetCurrentPadding", renderAudioClient->GetCurrentPadding(&padding));
    const UINT available = renderBufferFrames > padding ? renderBufferFrames - padding : 0;
    BYTE* buffer = nullptr;
    checkAudioClientResult("IRenderClient::GetBuffer", renderClient->GetBuffer(available, &buffer));
    if (!buffer)
        return;
    // What the device asks for is filled: as many engine frames as it takes (a device period
    // longer than a frame takes more than one).
    UINT written = outputConverter->write(buffer, 0, available);
    while (written < available) {
        const uint32_t number = outputConverter->takeFrameNumber();
        int16_t* frame = outputConverter->frameBuffer();
        if (!consumer || !consumer->getFrame(number, frame, frameSamples, false))
            std::memset(frame, 0, sizeof(int16_t) * static_cast<size_t>(frameSamples));
        outputConverter->rewind();
        const UINT more = outputConverter->write(buffer, written, available - written);
        if (more == 0)
            break;
        written += more;
    }
    checkAudioClientResult("IRenderClient::ReleaseBuffer", renderClient->ReleaseBuffer(written, 0));
}

void WASMediaDevice::captureDrain() {
    int inThisDrain = 0;
    for (;;) {
        BYTE* data = nullptr;
        UINT frames = 0;
        DWORD flags = 0;
        ULONGLONG position = 0;
        const HRESULT hr = captureClient->GetBuffer(&data, &frames, &flags, &position, nullptr);
        if (dump) {
            struct {
                int32_t ms, result, flags, frames;
                int64_t position;
            } record{static_cast<int32_t>(static_cast<uint32_t>(wallClockMs())), hr,
                     static_cast<int32_t>(flags), static_cast<int32_t>(frames),
                     static_cast<int64_t>(position)};
            dumpWrite(&record, sizeof record);
            if (data && frames && dumpBytesPerFrame > 0)
                dumpWrite(data, static_cast<size_t>(frames) * static_cast<size_t>(dumpBytesPerFrame));
        }
        if (hr == AUDCLNT_S_BUFFER_EMPTY || !data || frames == 0) {
            // A failure without data still ends the thread.
            checkAudioClientResult("IAudioCaptureClient::GetBuffer", hr);
            return;
        }
        const bool first = capturedPackets.load() == 0;
        if (first)
            expectedCapturePosition = position;
        capturedPackets.fetch_add(1);
        if (++inThisDrain > 1) {
            KMT_LOG(kmt::logWasapi, 2) << "processed buffer more than once";
        }
        checkAudioClientResult("IAudioCaptureClient::GetBuffer", hr);
        if (position > expectedCapturePosition) {
            const uint64_t gap = position - expectedCapturePosition;
            if (gap <= captureGapLimit && !captureSilence.empty()) {
                KMT_LOG(kmt::logWasapi, 2) << "capture gap of " << gap << " frames filled with silence";
                inputConverter->convert(captureSilence.data(), static_cast<uint32_t>(gap));
            } else {
                KMT_LOG(kmt::logWasapi, 2) << "capture gap of " << gap << " frames";
            }
        }
        expectedCapturePosition = position + frames;
        inputConverter->convert(data, frames);
        checkAudioClientResult("IAudioCaptureClient::ReleaseBuffer", captureClient->ReleaseBuffer(frames));
        while (inputConverter->buffered() >= frameSamples)
            inputConverter->deliverFrame();
        if (!first && (flags & AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY)) {
            KMT_LOG(kmt::logWasapi, 2) << "got AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY\n";
        }
    }
}

void WASMediaDevice::AudioThread::run() {
    device->runThread();
}

void WASMediaDevice::runThread() {
    ComApartment apartment;
    MmClass mmClass("Pro Audio");
    try {
        if (!mmClass.get())
            throw std::runtime_error("AvSetMmThreadCharacteristics failed\n");
        renderFill();
        checkAudioClientResult("IAudioClient::Start playback", renderAudioClient->Start());
        checkAudioClientResult("IAudioClient::Start capture", captureAudioClient->Start());
        const HANDLE events[3] = {renderEvent.handle, captureEvent.handle, stopEvent.handle};
        for (;;) {
            const DWORD which = WaitForMultipleObjects(3, events, FALSE, INFINITE);
            if (which == WAIT_OBJECT_0)
                renderFill();
            else if (which == WAIT_OBJECT_0 + 1)
                captureDrain();
            else
                break;
        }
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logWasapi, 1) << "caught exception:" << e.what();
    }
    renderAudioClient->Stop();
    captureAudioClient->Stop();
}

} // namespace wasmedia
