// Simulated audio endpoints: named render and capture endpoints with their mix formats, capture
// from a tone, a WAV file or silence (plus an echo of a render endpoint), playback recorded to WAV
// files, endpoints that go away, configured by environment variables or the test driver.
#include "audio_internal.h"

#include "plat/audio_sim.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <chrono>
#include <thread>

namespace plat {
namespace audio {

namespace {

constexpr double kPi = 3.14159265358979323846;

std::string envOr(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v ? v : fallback;
}

std::vector<std::string> split(const std::string& text, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find(sep, start);
        const size_t stop = end == std::string::npos ? text.size() : end;
        out.push_back(text.substr(start, stop - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return out;
}

std::string trim(const std::string& s) {
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    const size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

struct EndpointConfig {
    std::string name;
    EDataFlow flow = eRender;
    DWORD rate = 48000;
    WORD channels = 2;
    WORD bits = 32;
    bool isFloat = true;
    bool isDefault = false;
    std::string source = "silence";
    std::string record;
    std::string echoFrom;
    double echoDelayMs = 0;
    double echoGain = 0;
};

// Renders what was played: a short history for echoes and the log the driver hands out.
struct PlayedHistory {
    std::mutex lock;
    std::vector<float> ring;
    size_t write = 0;
    size_t filled = 0;
    int64_t endNs = 0; // time just after the newest sample
    DWORD rate = 48000;
    std::vector<float> log;
};

class SimEndpoint;
std::shared_ptr<SimEndpoint> findSim(const std::string& name, EDataFlow flow);

class WavRecorder {
public:
    bool open(const std::string& path, DWORD rate_) {
        file = std::fopen(path.c_str(), "wb");
        if (!file) {
            std::fprintf(stderr, "audio simulation: cannot write %s\n", path.c_str());
            return false;
        }
        rate = rate_;
        writeHeader();
        return true;
    }
    ~WavRecorder() { close(); }
    void append(const float* mono, size_t n) {
        if (!file)
            return;
        for (size_t i = 0; i < n; ++i) {
            const double v = std::max(-1.0, std::min(1.0, static_cast<double>(mono[i])));
            const int16_t s = static_cast<int16_t>(std::lround(v * 32767.0));
            const BYTE b[2] = {static_cast<BYTE>(s & 0xFF), static_cast<BYTE>((s >> 8) & 0xFF)};
            std::fwrite(b, 1, 2, file);
        }
        samples += n;
        // Keep the header current about twice a second, so an interrupted run leaves a readable file.
        if (samples - lastHeader >= rate / 2) {
            lastHeader = samples;
            writeHeader();
        }
    }
    void close() {
        if (!file)
            return;
        writeHeader();
        std::fclose(file);
        file = nullptr;
    }

private:
    static void put32(BYTE* p, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            p[i] = static_cast<BYTE>(v >> (8 * i));
    }
    static void put16(BYTE* p, uint16_t v) {
        p[0] = static_cast<BYTE>(v);
        p[1] = static_cast<BYTE>(v >> 8);
    }
    void writeHeader() {
        BYTE h[44];
        const uint32_t dataBytes = static_cast<uint32_t>(samples * 2);
        std::memcpy(h, "RIFF", 4);
        put32(h + 4, 36 + dataBytes);
        std::memcpy(h + 8, "WAVEfmt ", 8);
        put32(h + 16, 16);
        put16(h + 20, 1);
        put16(h + 22, 1);
        put32(h + 24, rate);
        put32(h + 28, rate * 2);
        put16(h + 32, 2);
        put16(h + 34, 16);
        std::memcpy(h + 36, "data", 4);
        put32(h + 40, dataBytes);
        const long at = std::ftell(file);
        std::fseek(file, 0, SEEK_SET);
        std::fwrite(h, 1, sizeof h, file);
        std::fseek(file, at > 44 ? at : 44, SEEK_SET);
        std::fflush(file);
    }

    FILE* file = nullptr;
    DWORD rate = 8000;
    size_t samples = 0;
    size_t lastHeader = 0;
};

int recordCounter = 0;
std::mutex configLock;

class SimEndpoint : public Endpoint {
public:
    SimEndpoint(const EndpointConfig& c, int index)
        : Endpoint((c.flow == eRender ? "sim.render." : "sim.capture.") + std::to_string(index) + "." +
                       c.name,
                   c.name, c.flow),
          config(c) {
        history.rate = c.rate;
        history.ring.assign(static_cast<size_t>(c.rate) * 2, 0.0f);
    }

    HRESULT mixFormat(WAVEFORMATEXTENSIBLE& format) override {
        format = makeFormat(config.rate, config.channels, config.bits, config.isFloat);
        return S_OK;
    }
    HRESULT openIo(const WAVEFORMATEXTENSIBLE& format, UINT periodFrames,
                   std::unique_ptr<StreamIo>& io) override;
    REFERENCE_TIME defaultPeriod() const override { return periodMs.load() * 10000; }
    UINT renderBufferPeriods() const override { return static_cast<UINT>(bufferPeriods.load()); }
    bool present() const override {
        if (gone.load())
            return false;
        const int64_t at = vanishAtNs.load();
        return at == 0 || clockNowNs() < at;
    }
    void streamStarted() override {
        if (vanishAfterMs >= 0 && vanishAtNs.load() == 0)
            vanishAtNs.store(clockNowNs() + vanishAfterMs * 1000000 + 1);
    }

    float volume() {
        std::lock_guard<std::mutex> guard(volumeLock);
        return endpointVolume;
    }
    float outputGain(const GUID& session) {
        std::lock_guard<std::mutex> guard(volumeLock);
        auto it = sessionVolumes.find(session);
        return endpointVolume * (it == sessionVolumes.end() ? 1.0f : it->second);
    }

    // Played samples (render side).
    void played(const float* mono, size_t n, int64_t startNs) {
        std::lock_guard<std::mutex> guard(history.lock);
        for (size_t i = 0; i < n; ++i) {
            history.ring[history.write] = mono[i];
            history.write = (history.write + 1) % history.ring.size();
        }
        history.filled = std::min(history.ring.size(), history.filled + n);
        history.endNs = startNs + static_cast<int64_t>(n) * 1000000000 / history.rate;
        const size_t cap = static_cast<size_t>(history.rate) * 120;
        if (history.log.size() + n <= cap)
            history.log.insert(history.log.end(), mono, mono + n);
    }
    // The samples played at startNs + i * 1e9 / rate - delayNs for i < frames (0 where unknown), read
    // under one lock for a whole period.
    void playedAt(int64_t startNs, int64_t delayNs, DWORD rate, UINT frames, std::vector<float>& out) {
        out.resize(frames);
        std::lock_guard<std::mutex> guard(history.lock);
        for (UINT i = 0; i < frames; ++i)
            out[i] = playedAtLocked(startNs + static_cast<int64_t>(i) * 1000000000 / rate - delayNs);
    }
    bool waitStreams(int count, int timeoutMs) {
        for (int waited = 0; audio::stepperCount() < count; ++waited) {
            if (waited >= timeoutMs * 10)
                return false;
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        return true;
    }

    std::vector<float> takePlayed() {
        std::lock_guard<std::mutex> guard(history.lock);
        std::vector<float> out;
        out.swap(history.log);
        return out;
    }

    const EndpointConfig config;
    std::atomic<int64_t> vanishAtNs{0};
    int64_t vanishAfterMs = -1;
    static std::atomic<int> periodMs;
    static std::atomic<int> bufferPeriods;

private:
    // The sample played at timeNs (0 when unknown); history.lock is held.
    float playedAtLocked(int64_t timeNs) const {
        if (history.filled == 0 || timeNs >= history.endNs)
            return 0.0f;
        const int64_t back = (history.endNs - timeNs) * history.rate / 1000000000 + 1;
        if (back < 1 || static_cast<size_t>(back) > history.filled)
            return 0.0f;
        const size_t n = history.ring.size();
        return history.ring[(history.write + n - static_cast<size_t>(back)) % n];
    }

    PlayedHistory history;
};
std::atomic<int> SimEndpoint::periodMs{10};
std::atomic<int> SimEndpoint::bufferPeriods{4};

// The session the engine's stream plays in is not known to the device side: the simulation
// applies the lowest session volume of the endpoint, which is the engine's when it is the only one.
class SimRenderIo : public StreamIo {
public:
    SimRenderIo(std::shared_ptr<SimEndpoint> ep, const WAVEFORMATEXTENSIBLE& f, UINT periodFrames)
        : endpoint(std::move(ep)), format(f), mono(periodFrames) {
        std::string path = endpoint->config.record;
        const std::string dir = envOr("KBR_AUDIO_SIM_RECORD_DIR", "");
        if (path.empty() && !dir.empty()) {
            int n;
            {
                std::lock_guard<std::mutex> guard(configLock);
                n = ++recordCounter;
            }
            path = dir + "/" + endpoint->name + "-" + std::to_string(n) + ".wav";
        }
        if (!path.empty())
            recorder.open(path, f.Format.nSamplesPerSec);
    }
    void play(const BYTE* data, UINT frames, int64_t timeNs) override {
        float gain;
        {
            std::lock_guard<std::mutex> guard(endpoint->volumeLock);
            float session = 1.0f;
            for (auto& kv : endpoint->sessionVolumes)
                session = std::min(session, kv.second);
            gain = endpoint->endpointVolume * session;
        }
        const UINT n = std::min<UINT>(frames, static_cast<UINT>(mono.size()));
        for (UINT i = 0; i < n; ++i)
            mono[i] = static_cast<float>(
                readFrame(format, data + static_cast<size_t>(i) * format.Format.nBlockAlign) * gain);
        endpoint->played(mono.data(), n, timeNs);
        recorder.append(mono.data(), n);
    }
    void stop() override { recorder.close(); }

private:
    std::shared_ptr<SimEndpoint> endpoint;
    WAVEFORMATEXTENSIBLE format;
    std::vector<float> mono;
    WavRecorder recorder;
};

class SimCaptureIo : public StreamIo {
public:
    SimCaptureIo(std::shared_ptr<SimEndpoint> ep, const WAVEFORMATEXTENSIBLE& f)
        : endpoint(std::move(ep)), format(f) {
        const std::string& src = endpoint->config.source;
        if (src.rfind("tone:", 0) == 0) {
            auto parts = split(src.substr(5), ':');
            toneHz = std::atof(parts[0].c_str());
            toneAmplitude = parts.size() > 1 ? std::atof(parts[1].c_str()) : 0.5;
            kind = Kind::Tone;
        } else if (src.rfind("wav:", 0) == 0 || src.rfind("wavloop:", 0) == 0) {
            const bool loop = src[3] == 'l';
            const std::string path = src.substr(loop ? 8 : 4);
            audiosim::WavData wav;
            std::string error;
            if (audiosim::readWav(path, wav, &error)) {
                kind = Kind::Wav;
                looping = loop;
                wavRate = wav.rate;
                wavSamples = std::move(wav.mono);
            } else {
                std::fprintf(stderr, "audio simulation: capture source %s: %s; capturing silence\n",
                             path.c_str(), error.c_str());
            }
        }
        if (!endpoint->config.echoFrom.empty())
            echoSource = findSim(endpoint->config.echoFrom, eRender);
    }
    void record(BYTE* data, UINT frames, int64_t timeNs) override {
        const DWORD rate = format.Format.nSamplesPerSec;
        const float volume = endpoint->volume();
        const int64_t startNs = timeNs - static_cast<int64_t>(frames) * 1000000000 / rate;
        if (echoSource)
            echoSource->playedAt(startNs, static_cast<int64_t>(endpoint->config.echoDelayMs * 1e6), rate, frames,
                                 echo);
        for (UINT i = 0; i < frames; ++i, ++produced) {
            double v = 0;
            if (kind == Kind::Tone) {
                v = toneAmplitude * std::sin(2 * kPi * toneHz * static_cast<double>(produced) / rate);
            } else if (kind == Kind::Wav && !wavSamples.empty()) {
                const double pos = static_cast<double>(produced) * wavRate / rate;
                double at = pos;
                if (looping)
                    at = std::fmod(pos, static_cast<double>(wavSamples.size()));
                const size_t k = static_cast<size_t>(at);
                if (k + 1 < wavSamples.size()) {
                    const double frac = at - static_cast<double>(k);
                    v = wavSamples[k] * (1 - frac) + wavSamples[k + 1] * frac;
                } else if (k < wavSamples.size()) {
                    v = wavSamples[k];
                }
            }
            if (echoSource)
                v += endpoint->config.echoGain * echo[i];
            writeFrame(format, data + static_cast<size_t>(i) * format.Format.nBlockAlign, v * volume);
        }
    }

private:
    enum class Kind { Silence, Tone, Wav };
    std::shared_ptr<SimEndpoint> endpoint;
    WAVEFORMATEXTENSIBLE format;
    Kind kind = Kind::Silence;
    double toneHz = 0;
    double toneAmplitude = 0;
    bool looping = false;
    DWORD wavRate = 8000;
    std::vector<float> wavSamples;
    uint64_t produced = 0;
    std::shared_ptr<SimEndpoint> echoSource;
    std::vector<float> echo; // the echo source's samples for the period being recorded
};

HRESULT SimEndpoint::openIo(const WAVEFORMATEXTENSIBLE& format, UINT periodFrames,
                            std::unique_ptr<StreamIo>& io) {
    auto self = std::static_pointer_cast<SimEndpoint>(shared_from_this());
    if (flow == eRender)
        io.reset(new SimRenderIo(self, format, periodFrames));
    else
        io.reset(new SimCaptureIo(self, format));
    return S_OK;
}

bool parseEndpoint(const std::string& text, EDataFlow flow, EndpointConfig& c) {
    auto attrs = split(text, ',');
    c = EndpointConfig{};
    c.flow = flow;
    c.name = trim(attrs[0]);
    if (c.name.empty())
        return false;
    for (size_t i = 1; i < attrs.size(); ++i) {
        const std::string a = trim(attrs[i]);
        const size_t eq = a.find('=');
        const std::string key = a.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : a.substr(eq + 1);
        if (key == "rate") {
            const long r = std::atol(value.c_str());
            if (r >= 1000 && r <= 384000)
                c.rate = static_cast<DWORD>(r);
            else
                std::fprintf(stderr, "audio simulation: endpoint %s: rate %s out of range\n", c.name.c_str(),
                             value.c_str());
        } else if (key == "channels") {
            const long ch = std::atol(value.c_str());
            if (ch >= 1 && ch <= 8)
                c.channels = static_cast<WORD>(ch);
            else
                std::fprintf(stderr, "audio simulation: endpoint %s: channels %s out of range\n",
                             c.name.c_str(), value.c_str());
        } else if (key == "format") {
            if (value == "float") {
                c.bits = 32;
                c.isFloat = true;
            } else if (value == "s16") {
                c.bits = 16;
                c.isFloat = false;
            } else if (value == "s32") {
                c.bits = 32;
                c.isFloat = false;
            } else if (value == "u8") {
                c.bits = 8;
                c.isFloat = false;
            } else if (value == "s24") {
                c.bits = 24;
                c.isFloat = false;
            } else {
                std::fprintf(stderr, "audio simulation: endpoint %s: unknown format %s\n", c.name.c_str(),
                             value.c_str());
            }
        } else if (key == "default") {
            c.isDefault = true;
        } else if (key == "source") {
            c.source = value;
        } else if (key == "record") {
            c.record = value;
        } else if (key == "echo") {
            auto parts = split(value, ':');
            c.echoFrom = parts[0];
            c.echoDelayMs = parts.size() > 1 ? std::atof(parts[1].c_str()) : 0;
            c.echoGain = parts.size() > 2 ? std::atof(parts[2].c_str()) : 0.5;
        } else {
            std::fprintf(stderr, "audio simulation: endpoint %s: unknown attribute %s\n", c.name.c_str(),
                         key.c_str());
        }
    }
    return true;
}

class SimBackend : public Backend {
public:
    const char* name() const override { return "sim"; }
    std::vector<EndpointPtr> endpoints() override {
        std::lock_guard<std::mutex> guard(configLock);
        ensure();
        return list;
    }
    EndpointPtr defaultEndpoint(EDataFlow flow) override {
        std::lock_guard<std::mutex> guard(configLock);
        ensure();
        EndpointPtr first;
        for (auto& e : list) {
            if (e->flow != flow || !e->present())
                continue;
            if (static_cast<SimEndpoint&>(*e).config.isDefault)
                return e;
            if (!first)
                first = e;
        }
        return first;
    }

    // Under configLock.
    void configure(const std::string& render, const std::string& capture) {
        for (auto& e : list)
            e->gone.store(true);
        list.clear();
        int index = 0;
        for (auto [text, flow] : {std::make_pair(render, eRender), std::make_pair(capture, eCapture)}) {
            for (const auto& item : split(text, ';')) {
                EndpointConfig c;
                if (trim(item).empty())
                    continue;
                if (parseEndpoint(item, flow, c))
                    list.push_back(std::make_shared<SimEndpoint>(c, ++index));
            }
        }
        loaded = true;
    }
    void readEnvironment() {
        configure(envOr("KBR_AUDIO_SIM_RENDER", "Speakers"), envOr("KBR_AUDIO_SIM_CAPTURE", "Microphone"));
        const int period = std::atoi(envOr("KBR_AUDIO_SIM_PERIOD_MS", "10").c_str());
        SimEndpoint::periodMs.store(period >= 3 && period <= 100 ? period : 10);
        const int periods = std::atoi(envOr("KBR_AUDIO_SIM_BUFFER_PERIODS", "4").c_str());
        SimEndpoint::bufferPeriods.store(periods >= 2 && periods <= 50 ? periods : 4);
        clearFailures();
        for (const auto& entry : split(envOr("KBR_AUDIO_SIM_FAIL", ""), ';')) {
            const size_t eq = entry.find('=');
            if (eq == std::string::npos)
                continue;
            std::string call = trim(entry.substr(0, eq));
            std::string endpoint;
            const size_t at = call.find('@');
            if (at != std::string::npos) {
                endpoint = call.substr(at + 1);
                call = call.substr(0, at);
            }
            const std::string value = entry.substr(eq + 1);
            const size_t star = value.find('*');
            const HRESULT hr = static_cast<HRESULT>(std::strtoul(value.substr(0, star).c_str(), nullptr, 16));
            const int count = star == std::string::npos ? -1 : std::atoi(value.c_str() + star + 1);
            addFailure(call, endpoint, hr, count);
        }
        for (const auto& entry : split(envOr("KBR_AUDIO_SIM_VANISH", ""), ';')) {
            const size_t at = entry.rfind('@');
            if (at == std::string::npos)
                continue;
            const std::string name = trim(entry.substr(0, at));
            for (auto& e : list)
                if (e->name == name)
                    static_cast<SimEndpoint&>(*e).vanishAfterMs = std::atol(entry.c_str() + at + 1);
        }
    }

    std::vector<EndpointPtr> list;

private:
    void ensure() {
        if (!loaded)
            readEnvironment();
    }
    bool loaded = false;
};

SimBackend& sim() {
    static SimBackend* b = new SimBackend();
    return *b;
}

std::shared_ptr<SimEndpoint> findSim(const std::string& name, EDataFlow flow) {
    for (auto& e : sim().endpoints())
        if (e->name == name && e->flow == flow)
            return std::static_pointer_cast<SimEndpoint>(e);
    return nullptr;
}

uint32_t le32(const BYTE* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t le16(const BYTE* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

} // namespace

Backend& simBackend() {
    return sim();
}

} // namespace audio

namespace audiosim {

void reset() {
    std::lock_guard<std::mutex> guard(audio::configLock);
    audio::sim().readEnvironment();
    audio::setManualClock(false);
}

void configure(const std::string& render, const std::string& capture) {
    std::lock_guard<std::mutex> guard(audio::configLock);
    audio::sim().configure(render, capture);
}

void setRenderBufferPeriods(int periods) {
    audio::SimEndpoint::bufferPeriods.store(std::max(2, std::min(periods, 50)));
}

void setPeriodMs(int ms) {
    audio::SimEndpoint::periodMs.store(std::max(1, std::min(ms, 100)));
}

void failCall(const std::string& call, HRESULT result, int count, const std::string& endpoint) {
    audio::addFailure(call, endpoint, result, count);
}
void clearFailures() {
    audio::clearFailures();
}

void vanish(const std::string& name) {
    for (auto& e : audio::sim().endpoints())
        if (e->name == name)
            e->gone.store(true);
}

void setManualClock(bool manual) {
    audio::setManualClock(manual);
}

bool tick(int periods, bool wait) {
    bool idle = true;
    for (int i = 0; i < periods; ++i) {
        audio::stepAll(static_cast<int64_t>(audio::SimEndpoint::periodMs.load()) * 1000000);
        if (wait)
            idle = audio::waitIdle(2000) && idle;
    }
    return idle;
}

bool waitIdle(int timeoutMs) {
    return audio::waitIdle(timeoutMs);
}

bool waitStreams(int count, int timeoutMs) {
    for (int waited = 0; audio::stepperCount() < count; ++waited) {
        if (waited >= timeoutMs * 10)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
    return true;
}

int renderPaddingAtStart(const std::string& renderName) {
    auto e = audio::findSim(renderName, eRender);
    return e ? e->paddingAtStart.load() : -1;
}

std::vector<float> takePlayed(const std::string& renderName) {
    auto e = audio::findSim(renderName, eRender);
    return e ? e->takePlayed() : std::vector<float>();
}

bool parseWav(const BYTE* data, size_t size, WavData& out, std::string* error) {
    auto fail = [&](const char* why) {
        if (error)
            *error = why;
        return false;
    };
    if (!data || size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WAVE", 4) != 0)
        return fail("not a RIFF WAVE file");
    size_t pos = 12;
    bool haveFormat = false;
    WORD tag = 0, channels = 0, bits = 0;
    DWORD rate = 0;
    while (pos + 8 <= size) {
        const uint32_t chunk = audio::le32(data + pos + 4);
        const BYTE* body = data + pos + 8;
        const size_t avail = size - pos - 8;
        if (std::memcmp(data + pos, "fmt ", 4) == 0) {
            if (chunk < 16 || chunk > avail)
                return fail("bad fmt chunk");
            tag = audio::le16(body);
            channels = audio::le16(body + 2);
            rate = audio::le32(body + 4);
            bits = audio::le16(body + 14);
            if (tag == WAVE_FORMAT_EXTENSIBLE && chunk >= 40) {
                GUID sub;
                std::memcpy(&sub, body + 24, sizeof sub);
                tag = sub == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT ? WAVE_FORMAT_IEEE_FLOAT
                      : sub == KSDATAFORMAT_SUBTYPE_PCM      ? WAVE_FORMAT_PCM
                                                             : 0;
            }
            const bool ok =
                (tag == WAVE_FORMAT_PCM && (bits == 8 || bits == 16 || bits == 24 || bits == 32)) ||
                (tag == WAVE_FORMAT_IEEE_FLOAT && bits == 32);
            if (!ok)
                return fail("unsupported sample format");
            if (channels == 0 || channels > 32 || rate < 1000 || rate > 384000)
                return fail("bad channel count or rate");
            haveFormat = true;
        } else if (std::memcmp(data + pos, "data", 4) == 0) {
            if (!haveFormat)
                return fail("data before fmt");
            // A data chunk longer than the file (a recording cut short) is read as far as it goes.
            const size_t length = std::min<size_t>(chunk, avail);
            const WAVEFORMATEXTENSIBLE f =
                audio::makeFormat(rate, channels, bits, tag == WAVE_FORMAT_IEEE_FLOAT);
            const size_t blockBytes = static_cast<size_t>(channels) * bits / 8;
            const size_t frames = length / blockBytes;
            out.rate = rate;
            out.channels = channels;
            out.mono.resize(frames);
            for (size_t i = 0; i < frames; ++i) {
                double v = audio::readFrame(f, body + i * blockBytes);
                if (!std::isfinite(v))
                    v = 0;
                out.mono[i] = static_cast<float>(std::max(-1.0, std::min(1.0, v)));
            }
            return true;
        }
        const size_t step = 8 + static_cast<size_t>(chunk) + (chunk & 1);
        if (step > size - pos)
            break;
        pos += step;
    }
    return fail(haveFormat ? "no data chunk" : "no fmt chunk");
}

bool readWav(const std::string& path, WavData& out, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (error)
            *error = "cannot open";
        return false;
    }
    std::vector<BYTE> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parseWav(bytes.data(), bytes.size(), out, error);
}

bool writeWav(const std::string& path, DWORD rate, const std::vector<float>& mono) {
    audio::WavRecorder r;
    if (!r.open(path, rate))
        return false;
    r.append(mono.data(), mono.size());
    r.close();
    return true;
}

} // namespace audiosim
} // namespace plat
