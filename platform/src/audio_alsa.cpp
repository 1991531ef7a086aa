// The ALSA back end of the audio facility: every PCM device ALSA lists is an endpoint, named by
// its description; streams run in the device's own format at the period the stream asks for.
#include "audio_internal.h"

#ifdef KBR_HAVE_ALSA

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <atomic>
#include <map>
#include <vector>

namespace plat {
namespace audio {

namespace {

HRESULT resultOf(int err) {
    // Busy: another program holds the card (a non-blocking open says so at once).
    if (err == -EBUSY || err == -EAGAIN)
        return AUDCLNT_E_DEVICE_IN_USE;
    if (err == -EINVAL)
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    return AUDCLNT_E_DEVICE_INVALIDATED;
}

struct Candidate {
    snd_pcm_format_t alsa;
    WORD bits;
    bool isFloat;
};
const Candidate kFormats[] = {{SND_PCM_FORMAT_S16_LE, 16, false},
                              {SND_PCM_FORMAT_S32_LE, 32, false},
                              {SND_PCM_FORMAT_FLOAT_LE, 32, true},
                              {SND_PCM_FORMAT_U8, 8, false}};

snd_pcm_format_t alsaFormatOf(const WAVEFORMATEXTENSIBLE& f) {
    const bool isFloat = isFloatFormat(f.Format);
    for (const auto& c : kFormats)
        if (c.bits == f.Format.wBitsPerSample && c.isFloat == isFloat)
            return c.alsa;
    return SND_PCM_FORMAT_UNKNOWN;
}

// Playback keeps this many periods queued at least: the card starts once two are there and the
// stream's first write (and the first after an underrun) puts a third in front as silence, so a
// wake-up late by up to two periods, or a card clock a little fast, does not run the queue dry.
constexpr snd_pcm_uframes_t kStartPeriods = 2;
constexpr snd_pcm_uframes_t kLeadPeriods = 3;
constexpr snd_pcm_uframes_t kBufferPeriods = 6;

// The device side of one stream. The handle is non-blocking: the stream's clock calls play and
// record once a period and neither may stall it; capture waits at most about a period for a card
// that is late. An error that snd_pcm_recover cannot mend (a card unplugged, -ENODEV) marks the
// stream failed, which the audio client reports as the device invalidated.
class AlsaIo : public StreamIo {
public:
    AlsaIo(Endpoint& endpoint_, const std::string& pcmName_, snd_pcm_t* p, snd_pcm_stream_t s,
           const WAVEFORMATEXTENSIBLE& format_, snd_pcm_uframes_t period_, UINT streamPeriod)
        : endpoint(endpoint_), pcmName(pcmName_), pcm(p), stream(s), format(format_), block(format_.Format.nBlockAlign),
          period(period_),
          scratch(static_cast<size_t>(std::max<snd_pcm_uframes_t>(period_, streamPeriod)) * block), silence(static_cast<size_t>(period_) * kLeadPeriods * block) {
        if (format.Format.wBitsPerSample == 8 && !isFloatFormat(format.Format))
            std::memset(silence.data(), 0x80, silence.size());
    }
    ~AlsaIo() override {
        if (pcm)
            snd_pcm_close(pcm);
    }
    void start() override {
        if (broken.load())
            return;
        if (int err = snd_pcm_prepare(pcm); err < 0)
            fail("prepare", err);
        else if (stream == SND_PCM_STREAM_CAPTURE && (err = snd_pcm_start(pcm)) < 0)
            fail("start", err);
    }
    void stop() override { snd_pcm_drop(pcm); }
    bool failed() const override { return broken.load(); }

    void play(const BYTE* data, UINT frames, int64_t) override {
        if (broken.load())
            return;
        const float gain = renderGain(endpoint);
        if (gain != 1.0f) {
            const size_t bytes = std::min(scratch.size(), static_cast<size_t>(frames) * block);
            frames = static_cast<UINT>(bytes / block);
            std::memcpy(scratch.data(), data, bytes);
            scaleSamples(format, scratch.data(), frames, gain);
            data = scratch.data();
        }
        const snd_pcm_sframes_t avail = snd_pcm_avail_update(pcm);
        if (avail < 0 && !mend(static_cast<int>(avail)))
            return;
        // Nothing playing (the stream's first period, or after an underrun): silence in front.
        if (snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED && !write(silence.data(), period * (kLeadPeriods - 1)))
            return;
        write(data, frames);
    }

    void record(BYTE* data, UINT frames, int64_t) override {
        UINT done = 0;
        for (int tries = 0; done < frames && tries < 3 && !broken.load(); ++tries) {
            const snd_pcm_sframes_t n = snd_pcm_readi(pcm, data + static_cast<size_t>(done) * block, frames - done);
            if (n == -EAGAIN) {
                // The card is late: wait for it, about a period at most.
                const int waited = snd_pcm_wait(pcm, static_cast<int>(period * 1000 / format.Format.nSamplesPerSec) + 5);
                if (waited < 0)
                    mend(waited);
                continue;
            }
            if (n < 0) {
                if (mend(static_cast<int>(n)) && snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED)
                    snd_pcm_start(pcm);
                continue;
            }
            done += static_cast<UINT>(n);
        }
        // What the card did not deliver is silence.
        if (done < frames)
            std::memset(data + static_cast<size_t>(done) * block, silence[0],
                        static_cast<size_t>(frames - done) * block);
        const float gain = captureGain(endpoint);
        if (gain != 1.0f)
            scaleSamples(format, data, frames, gain);
    }

private:
    // Writes frames; false when the stream failed. A full buffer (a card clock a little slow)
    // drops what does not fit.
    bool write(const BYTE* data, snd_pcm_uframes_t frames) {
        snd_pcm_uframes_t done = 0;
        for (int tries = 0; done < frames && tries < 2 && !broken.load(); ++tries) {
            const snd_pcm_sframes_t n = snd_pcm_writei(pcm, data + static_cast<size_t>(done) * block, frames - done);
            if (n == -EAGAIN)
                break;
            if (n < 0) {
                // An underrun during the write: mended once, with silence in front of the rest.
                if (!mend(static_cast<int>(n)) ||
                    (snd_pcm_state(pcm) == SND_PCM_STATE_PREPARED && !write(silence.data(), period * (kLeadPeriods - 1))))
                    return false;
                continue;
            }
            done += static_cast<snd_pcm_uframes_t>(n);
        }
        return !broken.load();
    }

    // Mends an underrun (overrun) or a suspend; false when the card failed past mending.
    bool mend(int err) {
        const int result = snd_pcm_recover(pcm, err, 1);
        if (result < 0) {
            fail("recover", result);
            return false;
        }
        if (err == -EPIPE)
            note(2, std::string(stream == SND_PCM_STREAM_PLAYBACK ? "playback underrun" : "capture overrun") +
                        " on " + pcmName + ", mended with silence");
        return true;
    }

    void fail(const char* what, int err) {
        if (!broken.exchange(true))
            note(2, "device " + pcmName + " failed (" + what + ": " + snd_strerror(err) + ")");
    }

    Endpoint& endpoint;
    const std::string pcmName;
    snd_pcm_t* pcm;
    snd_pcm_stream_t stream;
    WAVEFORMATEXTENSIBLE format;
    UINT block;
    snd_pcm_uframes_t period;
    std::vector<BYTE> scratch;
    std::vector<BYTE> silence;
    std::atomic<bool> broken{false};
};

class AlsaEndpoint : public Endpoint {
public:
    AlsaEndpoint(const std::string& pcmName_, const std::string& friendly, EDataFlow flow_)
        : Endpoint((flow_ == eRender ? "alsa.render." : "alsa.capture.") + pcmName_, friendly, flow_),
          pcmName(pcmName_) {}

    HRESULT mixFormat(WAVEFORMATEXTENSIBLE& format) override {
        std::lock_guard<std::mutex> guard(formatLock);
        if (haveFormat) {
            format = cached;
            return S_OK;
        }
        snd_pcm_t* pcm = nullptr;
        int err = snd_pcm_open(&pcm, pcmName.c_str(), streamOf(), SND_PCM_NONBLOCK);
        if (err < 0)
            return resultOf(err);
        snd_pcm_hw_params_t* hw;
        snd_pcm_hw_params_alloca(&hw);
        HRESULT result = AUDCLNT_E_UNSUPPORTED_FORMAT;
        if (snd_pcm_hw_params_any(pcm, hw) >= 0 &&
            snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED) >= 0) {
            for (const auto& c : kFormats) {
                if (snd_pcm_hw_params_test_format(pcm, hw, c.alsa) != 0)
                    continue;
                snd_pcm_hw_params_set_format(pcm, hw, c.alsa);
                unsigned channels = 2;
                unsigned rate = 48000;
                if (snd_pcm_hw_params_set_channels_near(pcm, hw, &channels) < 0 ||
                    snd_pcm_hw_params_set_rate_near(pcm, hw, &rate, nullptr) < 0 || channels == 0 ||
                    channels > 8)
                    break;
                cached = makeFormat(rate, static_cast<WORD>(channels), c.bits, c.isFloat);
                haveFormat = true;
                result = S_OK;
                break;
            }
        }
        snd_pcm_close(pcm);
        if (SUCCEEDED(result))
            format = cached;
        return result;
    }

    HRESULT openIo(const WAVEFORMATEXTENSIBLE& format, UINT periodFrames,
                   std::unique_ptr<StreamIo>& io) override {
        snd_pcm_t* pcm = nullptr;
        int err = snd_pcm_open(&pcm, pcmName.c_str(), streamOf(), SND_PCM_NONBLOCK);
        if (err < 0)
            return resultOf(err);
        snd_pcm_hw_params_t* hw;
        snd_pcm_hw_params_alloca(&hw);
        snd_pcm_uframes_t period = periodFrames;
        snd_pcm_uframes_t buffer = static_cast<snd_pcm_uframes_t>(periodFrames) * kBufferPeriods;
        if ((err = snd_pcm_hw_params_any(pcm, hw)) < 0 ||
            (err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED)) < 0 ||
            (err = snd_pcm_hw_params_set_format(pcm, hw, alsaFormatOf(format))) < 0 ||
            (err = snd_pcm_hw_params_set_channels(pcm, hw, format.Format.nChannels)) < 0 ||
            (err = snd_pcm_hw_params_set_rate(pcm, hw, format.Format.nSamplesPerSec, 0)) < 0 ||
            (err = snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, nullptr)) < 0 ||
            (err = snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer)) < 0 ||
            (err = snd_pcm_hw_params(pcm, hw)) < 0) {
            std::fprintf(stderr, "audio: cannot set up %s: %s\n", pcmName.c_str(), snd_strerror(err));
            snd_pcm_close(pcm);
            return resultOf(err);
        }
        snd_pcm_sw_params_t* sw;
        snd_pcm_sw_params_alloca(&sw);
        if (snd_pcm_sw_params_current(pcm, sw) >= 0) {
            snd_pcm_sw_params_set_start_threshold(pcm, sw, flow == eRender ? period * kStartPeriods : 1);
            snd_pcm_sw_params_set_avail_min(pcm, sw, period);
            snd_pcm_sw_params(pcm, sw);
        }
        io.reset(new AlsaIo(*this, pcmName, pcm, streamOf(), format, period, periodFrames));
        return S_OK;
    }

    // Four periods in the stream's render buffer, as a simulated endpoint has by default: the audio
    // thread that fills it may then miss its turn while three periods play (a loaded machine) before
    // the stream runs dry and plays silence, a gap that the card, its queue kept full, never sees.
    UINT renderBufferPeriods() const override { return 4; }

    // The sound card's mixer where the device has one: "Master" or "PCM" for playback, "Capture"
    // for capture, scaled linearly over the control's range.
    bool setMixerVolume(float level) override { return mixer(true, level); }
    bool getMixerVolume(float& level) override { return mixer(false, level); }

    const std::string pcmName;

private:
    std::string mixerName() const {
        const size_t at = pcmName.find("CARD=");
        if (at != std::string::npos) {
            const size_t end = pcmName.find(',', at);
            return "hw:" +
                   pcmName.substr(at + 5, end == std::string::npos ? std::string::npos : end - at - 5);
        }
        return pcmName == "default" ? "default" : "";
    }

    bool mixer(bool set, float& level) {
        const std::string card = mixerName();
        if (card.empty())
            return false;
        snd_mixer_t* m = nullptr;
        if (snd_mixer_open(&m, 0) < 0)
            return false;
        bool done = false;
        if (snd_mixer_attach(m, card.c_str()) >= 0 && snd_mixer_selem_register(m, nullptr, nullptr) >= 0 &&
            snd_mixer_load(m) >= 0) {
            const char* const names[] = {"Master", "PCM", "Capture"};
            for (const char* wanted : names) {
                if ((flow == eRender) == (std::strcmp(wanted, "Capture") == 0))
                    continue;
                for (snd_mixer_elem_t* e = snd_mixer_first_elem(m); e && !done; e = snd_mixer_elem_next(e)) {
                    if (std::strcmp(snd_mixer_selem_get_name(e), wanted) != 0)
                        continue;
                    long lo = 0, hi = 0, value = 0;
                    if (flow == eRender && snd_mixer_selem_has_playback_volume(e) &&
                        snd_mixer_selem_get_playback_volume_range(e, &lo, &hi) >= 0 && hi > lo) {
                        if (set)
                            done = snd_mixer_selem_set_playback_volume_all(
                                       e, lo + std::lround(level * (hi - lo))) >= 0;
                        else if (snd_mixer_selem_get_playback_volume(e, SND_MIXER_SCHN_FRONT_LEFT, &value) >=
                                 0)
                            done = true, level = static_cast<float>(value - lo) / static_cast<float>(hi - lo);
                    } else if (flow == eCapture && snd_mixer_selem_has_capture_volume(e) &&
                               snd_mixer_selem_get_capture_volume_range(e, &lo, &hi) >= 0 && hi > lo) {
                        if (set)
                            done = snd_mixer_selem_set_capture_volume_all(
                                       e, lo + std::lround(level * (hi - lo))) >= 0;
                        else if (snd_mixer_selem_get_capture_volume(e, SND_MIXER_SCHN_FRONT_LEFT, &value) >=
                                 0)
                            done = true, level = static_cast<float>(value - lo) / static_cast<float>(hi - lo);
                    }
                }
                if (done)
                    break;
            }
        }
        snd_mixer_close(m);
        return done;
    }

    snd_pcm_stream_t streamOf() const {
        return flow == eRender ? SND_PCM_STREAM_PLAYBACK : SND_PCM_STREAM_CAPTURE;
    }

    std::mutex formatLock;
    bool haveFormat = false;
    WAVEFORMATEXTENSIBLE cached{};
};

class AlsaBackend : public Backend {
public:
    const char* name() const override { return "alsa"; }

    std::vector<EndpointPtr> endpoints() override {
        std::lock_guard<std::mutex> guard(lock);
        void** hints = nullptr;
        std::vector<EndpointPtr> list;
        std::map<std::string, EndpointPtr> seen;
        if (snd_device_name_hint(-1, "pcm", &hints) >= 0) {
            for (void** h = hints; *h; ++h) {
                char* name = snd_device_name_get_hint(*h, "NAME");
                char* desc = snd_device_name_get_hint(*h, "DESC");
                char* ioid = snd_device_name_get_hint(*h, "IOID");
                if (name) {
                    std::string friendly = desc ? desc : name;
                    // One line: the description's lines joined.
                    for (char& c : friendly)
                        if (c == '\n')
                            c = ' ';
                    for (EDataFlow flow : {eRender, eCapture}) {
                        if (ioid && std::strcmp(ioid, flow == eRender ? "Output" : "Input") != 0)
                            continue;
                        const std::string key = (flow == eRender ? "r:" : "c:") + std::string(name);
                        auto it = known.find(key);
                        EndpointPtr e = it != known.end()
                                            ? it->second
                                            : std::make_shared<AlsaEndpoint>(name, friendly, flow);
                        known[key] = e;
                        seen[key] = e;
                        list.push_back(e);
                    }
                }
                std::free(name);
                std::free(desc);
                std::free(ioid);
            }
            snd_device_name_free_hint(hints);
        }
        for (auto& kv : known)
            kv.second->gone.store(seen.find(kv.first) == seen.end());
        ordered = list;
        return list;
    }

    EndpointPtr defaultEndpoint(EDataFlow flow) override {
        const auto list = endpoints();
        EndpointPtr first;
        for (auto& e : list) {
            if (e->flow != flow)
                continue;
            if (static_cast<AlsaEndpoint&>(*e).pcmName == "default")
                return e;
            if (!first)
                first = e;
        }
        return first;
    }

private:
    std::mutex lock;
    std::map<std::string, EndpointPtr> known;
    std::vector<EndpointPtr> ordered;
};

} // namespace

Backend* alsaBackend() {
    static AlsaBackend* b = new AlsaBackend();
    return b;
}

bool alsaHasSoundCard() {
    int card = -1;
    return snd_card_next(&card) == 0 && card >= 0;
}

} // namespace audio
} // namespace plat

#else

namespace plat {
namespace audio {

Backend* alsaBackend() {
    return nullptr;
}
bool alsaHasSoundCard() {
    return false;
}

} // namespace audio
} // namespace plat

#endif
