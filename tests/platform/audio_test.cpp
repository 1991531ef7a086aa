#include "plat/audio.h"
#include "plat/audio_sim.h"
#include "plat/sync.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace plat;
namespace sim = plat::audiosim;

namespace {

template <class I> struct Ref {
    I* p = nullptr;
    ~Ref() {
        if (p)
            p->Release();
    }
    I* operator->() const { return p; }
    void** out() { return reinterpret_cast<void**>(&p); }
};

class SimAudio : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        ::setenv("KBR_AUDIO_BACKEND", "sim", 1);
        sim::reset();
        sim::setPeriodMs(10);
        sim::setRenderBufferPeriods(2);
        sim::setManualClock(true);
        ASSERT_EQ(CoCreateInstance(CLSID_MMDeviceEnumerator, nullptr, CLSCTX_ALL, IID_IMMDeviceEnumerator,
                                   enumerator.out()),
                  S_OK);
    }
    void TearDown() override {
        sim::setManualClock(false);
        sim::clearFailures();
        CoUninitialize();
    }
    std::string nameOf(IMMDevice* d) {
        Ref<IPropertyStore> store;
        EXPECT_EQ(d->OpenPropertyStore(STGM_READ, &store.p), S_OK);
        PROPVARIANT v;
        PropVariantInit(&v);
        EXPECT_EQ(store->GetValue(PKEY_Device_FriendlyName, &v), S_OK);
        EXPECT_EQ(v.vt, VT_LPWSTR);
        std::string name;
        for (const WCHAR* c = v.pwszVal; c && *c; ++c)
            name += static_cast<char>(*c);
        PropVariantClear(&v);
        EXPECT_EQ(v.vt, VT_EMPTY);
        return name;
    }
    // An initialized client on the default endpoint of flow, with its event.
    void open(EDataFlow flow, Ref<IAudioClient>& client, HANDLE& event) {
        Ref<IMMDevice> device;
        ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(flow, eCommunications, &device.p), S_OK);
        ASSERT_EQ(device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, client.out()), S_OK);
        WAVEFORMATEX* mix = nullptr;
        ASSERT_EQ(client->GetMixFormat(&mix), S_OK);
        format = *reinterpret_cast<WAVEFORMATEXTENSIBLE*>(mix);
        ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 200, 200,
                                     mix, nullptr),
                  S_OK);
        CoTaskMemFree(mix);
        event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ASSERT_EQ(client->SetEventHandle(event), S_OK);
    }
    Ref<IMMDeviceEnumerator> enumerator;
    WAVEFORMATEXTENSIBLE format{};
};

TEST_F(SimAudio, EnumeratesConfiguredEndpointsAndDefaults) {
    sim::configure("Speakers;Headset,rate=16000,channels=1,format=s16,default", "Mic A;Mic B,default");
    const struct {
        EDataFlow flow;
        std::vector<std::string> names;
        std::string byDefault;
    } cases[] = {{eRender, {"Speakers", "Headset"}, "Headset"}, {eCapture, {"Mic A", "Mic B"}, "Mic B"}};
    for (const auto& c : cases) {
        Ref<IMMDeviceCollection> list;
        ASSERT_EQ(enumerator->EnumAudioEndpoints(c.flow, DEVICE_STATE_ACTIVE, &list.p), S_OK);
        UINT count = 0;
        ASSERT_EQ(list->GetCount(&count), S_OK);
        ASSERT_EQ(count, c.names.size());
        for (UINT i = 0; i < count; ++i) {
            Ref<IMMDevice> d;
            ASSERT_EQ(list->Item(i, &d.p), S_OK);
            EXPECT_EQ(nameOf(d.p), c.names[i]);
        }
        Ref<IMMDevice> none;
        EXPECT_EQ(list->Item(count, &none.p), E_INVALIDARG);
        Ref<IMMDevice> def;
        ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(c.flow, eCommunications, &def.p), S_OK);
        EXPECT_EQ(nameOf(def.p), c.byDefault);
    }
    // The mix formats as configured: 48000 Hz stereo float unless said otherwise.
    Ref<IAudioClient> client;
    HANDLE event = nullptr;
    open(eRender, client, event);
    EXPECT_EQ(format.Format.nSamplesPerSec, 16000u);
    EXPECT_EQ(format.Format.nChannels, 1);
    EXPECT_EQ(format.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
    CloseHandle(event);
    sim::configure("", "");
    Ref<IMMDevice> def;
    EXPECT_EQ(enumerator->GetDefaultAudioEndpoint(eCapture, eCommunications, &def.p), E_NOTFOUND);
}

TEST_F(SimAudio, RenderBufferRulesFollowTheSharedModeContract) {
    Ref<IAudioClient> client;
    HANDLE event = nullptr;
    {
        Ref<IMMDevice> device;
        ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eCommunications, &device.p), S_OK);
        ASSERT_EQ(device->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, client.out()), S_OK);
        UINT frames = 0;
        EXPECT_EQ(client->GetBufferSize(&frames), AUDCLNT_E_NOT_INITIALIZED);
        WAVEFORMATEXTENSIBLE wrong = {};
        wrong.Format = {WAVE_FORMAT_PCM, 2, 44100, 44100 * 4, 4, 16, 0};
        EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0,
                                     &wrong.Format, nullptr),
                  AUDCLNT_E_UNSUPPORTED_FORMAT);
    }
    client.p->Release();
    client.p = nullptr;
    open(eRender, client, event);
    WAVEFORMATEX* mix = nullptr;
    client->GetMixFormat(&mix);
    EXPECT_EQ(
        client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 0, 0, mix, nullptr),
        AUDCLNT_E_ALREADY_INITIALIZED);
    CoTaskMemFree(mix);
    UINT size = 0, padding = 0;
    ASSERT_EQ(client->GetBufferSize(&size), S_OK);
    EXPECT_EQ(size, 960u); // the engine's minimum: two 10 ms periods at 48000 Hz
    Ref<IAudioRenderClient> render;
    ASSERT_EQ(client->GetService(IID_IAudioRenderClient, render.out()), S_OK);
    Ref<IAudioCaptureClient> wrongService;
    EXPECT_EQ(client->GetService(IID_IAudioCaptureClient, wrongService.out()), AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    BYTE* data = nullptr;
    EXPECT_EQ(render->GetBuffer(961, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
    ASSERT_EQ(render->GetBuffer(600, &data), S_OK);
    BYTE* again = nullptr;
    EXPECT_EQ(render->GetBuffer(10, &again), AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(render->ReleaseBuffer(601, 0), AUDCLNT_E_INVALID_SIZE);
    EXPECT_EQ(render->ReleaseBuffer(600, 0), S_OK);
    ASSERT_EQ(client->GetCurrentPadding(&padding), S_OK);
    EXPECT_EQ(padding, 600u);
    EXPECT_EQ(render->GetBuffer(361, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
    EXPECT_EQ(client->Start(), S_OK);
    EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_STOPPED);
    sim::tick(1, false);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ASSERT_EQ(client->GetCurrentPadding(&padding), S_OK);
    EXPECT_EQ(padding, 120u); // one period of 480 frames played
    EXPECT_EQ(client->Stop(), S_OK);
    EXPECT_EQ(client->Stop(), S_FALSE);
    CloseHandle(event);
}

TEST_F(SimAudio, PlaysWhatWasWrittenThenSilenceAndKeepsALentBufferAcrossAPeriod) {
    sim::configure("Out,rate=8000,channels=2,format=s16", "In");
    Ref<IAudioClient> client;
    HANDLE event = nullptr;
    open(eRender, client, event);
    Ref<IAudioRenderClient> render;
    ASSERT_EQ(client->GetService(IID_IAudioRenderClient, render.out()), S_OK);
    auto write = [&](UINT frames, int16_t first) {
        BYTE* data = nullptr;
        ASSERT_EQ(render->GetBuffer(frames, &data), S_OK);
        auto* s = reinterpret_cast<int16_t*>(data);
        for (UINT i = 0; i < frames; ++i)
            s[2 * i] = s[2 * i + 1] = static_cast<int16_t>(first + static_cast<int>(i));
    };
    write(100, 1000);
    ASSERT_EQ(render->ReleaseBuffer(100, 0), S_OK);
    ASSERT_EQ(client->Start(), S_OK);
    write(60, 2000); // lent while the device plays its period
    sim::tick(1, false);
    ASSERT_EQ(render->ReleaseBuffer(60, 0), S_OK);
    sim::tick(2, false);
    const auto played = sim::takePlayed("Out");
    ASSERT_EQ(played.size(), 240u); // three periods of 80 frames
    for (int i = 0; i < 80; ++i)
        EXPECT_FLOAT_EQ(played[i], (1000 + i) / 32768.0f);
    for (int i = 80; i < 100; ++i)
        EXPECT_FLOAT_EQ(played[i], (1000 + i) / 32768.0f);
    for (int i = 0; i < 60; ++i)
        EXPECT_FLOAT_EQ(played[100 + i], (2000 + i) / 32768.0f);
    for (size_t i = 160; i < played.size(); ++i)
        EXPECT_EQ(played[i], 0.0f);
    client->Stop();
    CloseHandle(event);
}

TEST_F(SimAudio, CapturePacketsAreContiguousAndAnOverflowIsMarked) {
    sim::configure("Out", "In,rate=16000,channels=1,format=s16,source=tone:400:0.5");
    Ref<IAudioClient> client;
    HANDLE event = nullptr;
    open(eCapture, client, event);
    Ref<IAudioCaptureClient> capture;
    ASSERT_EQ(client->GetService(IID_IAudioCaptureClient, capture.out()), S_OK);
    ASSERT_EQ(client->Start(), S_OK);
    UINT size = 0;
    ASSERT_EQ(client->GetBufferSize(&size), S_OK);
    const UINT slots = size / 160;
    sim::tick(static_cast<int>(slots) + 2, false); // two periods more than the buffer holds
    std::vector<int16_t> samples;
    std::vector<ULONGLONG> positions;
    std::vector<DWORD> flags;
    for (int k = 0; k < 2; ++k) {
        for (;;) {
            BYTE* data = nullptr;
            UINT frames = 0;
            DWORD f = 0;
            ULONGLONG pos = 0;
            const HRESULT hr = capture->GetBuffer(&data, &frames, &f, &pos, nullptr);
            if (hr == AUDCLNT_S_BUFFER_EMPTY) {
                EXPECT_EQ(data, nullptr);
                EXPECT_EQ(frames, 0u);
                break;
            }
            ASSERT_EQ(hr, S_OK);
            ASSERT_EQ(frames, 160u);
            EXPECT_EQ(capture->ReleaseBuffer(frames - 1), AUDCLNT_E_INVALID_SIZE);
            samples.insert(samples.end(), reinterpret_cast<int16_t*>(data),
                           reinterpret_cast<int16_t*>(data) + frames);
            positions.push_back(pos);
            flags.push_back(f);
            ASSERT_EQ(capture->ReleaseBuffer(frames), S_OK);
        }
        sim::tick(1, false);
    }
    ASSERT_EQ(positions.size(), slots + 1);
    for (UINT i = 0; i < slots; ++i) {
        EXPECT_EQ(positions[i], i * 160u);
        EXPECT_EQ(flags[i], 0u);
    }
    // The packets that found the buffer full are lost; the next one says so and where it starts.
    EXPECT_EQ(positions[slots], (slots + 2) * 160u);
    EXPECT_EQ(flags[slots], AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY);
    // The tone: 400 Hz at half scale.
    double re = 0, im = 0;
    for (size_t i = 0; i < slots * 160; ++i) {
        re += samples[i] * std::cos(2 * M_PI * 400 * double(i) / 16000);
        im += samples[i] * std::sin(2 * M_PI * 400 * double(i) / 16000);
    }
    EXPECT_NEAR(2 * std::sqrt(re * re + im * im) / (slots * 160) / 32767, 0.5, 0.01);
    client->Stop();
    CloseHandle(event);
}

TEST_F(SimAudio, InjectedFailuresCountDownAndNameTheirEndpoint) {
    ::setenv("KBR_AUDIO_SIM_FAIL", "Activate@Speakers=0x8889000A*2;GetCount=80004005*1", 1);
    sim::reset();
    sim::setManualClock(true);
    ::unsetenv("KBR_AUDIO_SIM_FAIL");
    Ref<IMMDeviceCollection> list;
    ASSERT_EQ(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &list.p), S_OK);
    UINT count = 0;
    EXPECT_EQ(list->GetCount(&count), E_FAIL);
    EXPECT_EQ(list->GetCount(&count), S_OK);
    Ref<IMMDevice> speakers, microphone;
    ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eRender, eCommunications, &speakers.p), S_OK);
    ASSERT_EQ(enumerator->GetDefaultAudioEndpoint(eCapture, eCommunications, &microphone.p), S_OK);
    const HRESULT expected[] = {AUDCLNT_E_DEVICE_IN_USE, AUDCLNT_E_DEVICE_IN_USE, S_OK};
    for (HRESULT e : expected) {
        Ref<IAudioClient> c;
        EXPECT_EQ(speakers->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, c.out()), e);
        Ref<IAudioClient> m;
        EXPECT_EQ(microphone->Activate(IID_IAudioClient, CLSCTX_ALL, nullptr, m.out()), S_OK);
    }
}

TEST_F(SimAudio, EndpointVanishesAfterItsTimeAndLeavesTheList) {
    ::setenv("KBR_AUDIO_SIM_VANISH", "Speakers@50", 1);
    sim::reset();
    sim::setManualClock(true);
    ::unsetenv("KBR_AUDIO_SIM_VANISH");
    Ref<IAudioClient> client;
    HANDLE event = nullptr;
    open(eRender, client, event);
    ASSERT_EQ(client->Start(), S_OK);
    sim::tick(4, false);
    UINT padding = 0;
    EXPECT_EQ(client->GetCurrentPadding(&padding), S_OK);
    sim::tick(2, false);
    EXPECT_EQ(client->GetCurrentPadding(&padding), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0); // the reader is woken to see it
    Ref<IMMDeviceCollection> list;
    ASSERT_EQ(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, &list.p), S_OK);
    UINT count = 1;
    list->GetCount(&count);
    EXPECT_EQ(count, 0u);
    client->Stop();
    CloseHandle(event);
}

TEST_F(SimAudio, CaptureHearsTheDelayedEchoOfARenderEndpoint) {
    sim::configure("Out,rate=8000,channels=1,format=s16",
                   "In,rate=8000,channels=1,format=s16,echo=Out:40:0.5");
    Ref<IAudioClient> out, in;
    HANDLE outEvent = nullptr, inEvent = nullptr;
    open(eRender, out, outEvent);
    open(eCapture, in, inEvent);
    Ref<IAudioRenderClient> render;
    Ref<IAudioCaptureClient> capture;
    ASSERT_EQ(out->GetService(IID_IAudioRenderClient, render.out()), S_OK);
    ASSERT_EQ(in->GetService(IID_IAudioCaptureClient, capture.out()), S_OK);
    // A click of one period at full scale, then silence.
    BYTE* data = nullptr;
    ASSERT_EQ(render->GetBuffer(80, &data), S_OK);
    for (int i = 0; i < 80; ++i)
        reinterpret_cast<int16_t*>(data)[i] = 20000;
    render->ReleaseBuffer(80, 0);
    ASSERT_EQ(out->Start(), S_OK);
    ASSERT_EQ(in->Start(), S_OK);
    sim::tick(10, false);
    std::vector<int16_t> heard;
    for (;;) {
        UINT frames = 0;
        DWORD flags = 0;
        if (capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr) != S_OK)
            break;
        heard.insert(heard.end(), reinterpret_cast<int16_t*>(data),
                     reinterpret_cast<int16_t*>(data) + frames);
        capture->ReleaseBuffer(frames);
    }
    ASSERT_EQ(heard.size(), 800u);
    // The click played in the first period (0-10 ms) is heard 40 ms later at half its level.
    size_t first = 0;
    while (first < heard.size() && heard[first] == 0)
        ++first;
    EXPECT_NEAR(static_cast<double>(first), 400.0,
                2.0); // 10 ms of the period + 40 ms delay, minus the 10 ms capture lead
    EXPECT_NEAR(heard[first + 10], 10000, 2);
    out->Stop();
    in->Stop();
    CloseHandle(outEvent);
    CloseHandle(inEvent);
}

// A WAV file as the microphone: played once at the endpoint's rate, then silence; and playback
// recorded to a WAV file that reads back as what was played.
TEST_F(SimAudio, CapturesAWavFileAndRecordsPlayback) {
    char dirTemplate[] = "/tmp/kbr-simwav-XXXXXX";
    ASSERT_NE(::mkdtemp(dirTemplate), nullptr);
    const std::string dir = dirTemplate;
    std::vector<float> ramp(400);
    for (size_t i = 0; i < ramp.size(); ++i)
        ramp[i] = static_cast<float>(i) / 1000.0f;
    ASSERT_TRUE(sim::writeWav(dir + "/in.wav", 8000, ramp));
    sim::configure("Out,rate=16000,channels=1,format=s16,record=" + dir + "/out.wav",
                   "In,rate=16000,channels=1,format=float,source=wav:" + dir + "/in.wav");
    Ref<IAudioClient> in, out;
    HANDLE inEvent = nullptr, outEvent = nullptr;
    open(eCapture, in, inEvent);
    open(eRender, out, outEvent);
    Ref<IAudioCaptureClient> capture;
    Ref<IAudioRenderClient> render;
    ASSERT_EQ(in->GetService(IID_IAudioCaptureClient, capture.out()), S_OK);
    ASSERT_EQ(out->GetService(IID_IAudioRenderClient, render.out()), S_OK);
    ASSERT_EQ(in->Start(), S_OK);
    ASSERT_EQ(out->Start(), S_OK);
    std::vector<float> heard;
    for (int period = 0; period < 8; ++period) {
        sim::tick(1, false);
        BYTE* data = nullptr;
        UINT frames = 0;
        DWORD flags = 0;
        while (capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr) == S_OK) {
            // Played back as it came in.
            BYTE* play = nullptr;
            ASSERT_EQ(render->GetBuffer(frames, &play), S_OK);
            for (UINT i = 0; i < frames; ++i) {
                float v;
                std::memcpy(&v, data + 4 * i, 4);
                heard.push_back(v);
                const int16_t s = static_cast<int16_t>(std::lround(v * 32767));
                std::memcpy(play + 2 * i, &s, 2);
            }
            ASSERT_EQ(render->ReleaseBuffer(frames, 0), S_OK);
            capture->ReleaseBuffer(frames);
        }
    }
    in->Stop();
    out->Stop();
    in.p->Release();
    in.p = nullptr;
    out.p->Release();
    out.p = nullptr;
    render.p->Release();
    render.p = nullptr;
    capture.p->Release();
    capture.p = nullptr;
    ASSERT_EQ(heard.size(), 8u * 160);
    // 400 samples at 8000 Hz last 800 samples at 16000 Hz, interpolated between the file's samples.
    for (size_t i = 0; i + 2 < 798; i += 2)
        EXPECT_NEAR(heard[i], ramp[i / 2], 1.0 / 16384) << i; // the file holds 16-bit samples
    EXPECT_NEAR(heard[1], (ramp[0] + ramp[1]) / 2, 1.0 / 16384);
    for (size_t i = 800; i < heard.size(); ++i)
        ASSERT_EQ(heard[i], 0.0f) << i;
    sim::WavData recorded;
    std::string error;
    ASSERT_TRUE(sim::readWav(dir + "/out.wav", recorded, &error)) << error;
    EXPECT_EQ(recorded.rate, 16000u);
    ASSERT_GE(recorded.mono.size(), 640u);
    // The render buffer lags capture by one period; its content is what was written to it.
    EXPECT_NEAR(recorded.mono[160 + 300], heard[300], 1.0 / 16000);
    CloseHandle(inEvent);
    CloseHandle(outEvent);
    std::system(("rm -rf " + dir).c_str());
}

std::vector<BYTE> wavBytes(WORD tag, WORD channels, DWORD rate, WORD bits, const std::vector<BYTE>& data,
                           bool dataFirst = false, uint32_t dataLength = 0xFFFFFFFF) {
    std::vector<BYTE> out;
    auto put = [&](const void* p, size_t n) { out.insert(out.end(), (const BYTE*)p, (const BYTE*)p + n); };
    auto put32 = [&](uint32_t v) { put(&v, 4); };
    auto put16 = [&](uint16_t v) { put(&v, 2); };
    put("RIFF", 4);
    put32(0);
    put("WAVE", 4);
    auto dataChunk = [&] {
        put("data", 4);
        put32(dataLength == 0xFFFFFFFF ? static_cast<uint32_t>(data.size()) : dataLength);
        put(data.data(), data.size());
    };
    if (dataFirst)
        dataChunk();
    put("LIST", 4); // an odd-sized chunk to pass over
    put32(3);
    put("abc\0", 4);
    put("fmt ", 4);
    put32(16);
    put16(tag);
    put16(channels);
    put32(rate);
    put32(rate * channels * bits / 8);
    put16(static_cast<uint16_t>(channels * bits / 8));
    put16(bits);
    if (!dataFirst)
        dataChunk();
    return out;
}

TEST(WavFiles, ParsedOrRefusedWithAReason) {
    const std::vector<BYTE> s16 = {0x00, 0x40, 0x00, 0xC0};             // 0.5, -0.5
    const std::vector<BYTE> stereo8 = {0xC0, 0x40, 0xFF, 0xFF};         // (0.5 - 0.5) / 2 = 0, 127/128
    const std::vector<BYTE> s24 = {0x00, 0x00, 0x40, 0x00, 0x00, 0xC0}; // 0.5, -0.5
    float half = 0.5f, big = 3.0f;
    std::vector<BYTE> f32(8);
    std::memcpy(&f32[0], &half, 4);
    std::memcpy(&f32[4], &big, 4); // beyond full scale: bounded
    const struct {
        std::vector<BYTE> file;
        bool ok;
        std::vector<float> mono;
        const char* error;
    } cases[] = {
        {wavBytes(1, 1, 8000, 16, s16), true, {0.5f, -0.5f}, ""},
        {wavBytes(1, 2, 8000, 8, stereo8), true, {0.0f, 127 / 128.0f}, ""},
        {wavBytes(1, 1, 44100, 24, s24), true, {0.5f, -0.5f}, ""},
        {wavBytes(3, 1, 48000, 32, f32), true, {0.5f, 1.0f}, ""},
        {wavBytes(1, 1, 8000, 16, s16, false, 1000),
         true,
         {0.5f, -0.5f},
         ""}, // cut short: read what is there
        {wavBytes(1, 1, 8000, 12, s16), false, {}, "unsupported sample format"},
        {wavBytes(3, 1, 8000, 64, s16), false, {}, "unsupported sample format"},
        {wavBytes(1, 0, 8000, 16, s16), false, {}, "bad channel count or rate"},
        {wavBytes(1, 1, 8000, 16, s16, true), false, {}, "data before fmt"},
        {std::vector<BYTE>{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '},
         false,
         {},
         "not a RIFF WAVE file"},
        {std::vector<BYTE>{'R', 'I', 'F', 'F'}, false, {}, "not a RIFF WAVE file"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const auto& c = cases[i];
        sim::WavData wav;
        std::string error;
        EXPECT_EQ(sim::parseWav(c.file.data(), c.file.size(), wav, &error), c.ok) << i;
        if (c.ok)
            EXPECT_EQ(wav.mono, c.mono) << i;
        else
            EXPECT_EQ(error, c.error) << i;
    }
}

} // namespace
