// The ALSA back end of the audio facility: every PCM device ALSA lists is an endpoint, named by
// its description; streams run in the device's own format at the period the stream asks for.
#include "audio_internal.h"

#ifdef KBR_HAVE_ALSA

#include <alsa/asoundlib.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>

namespace plat {
namespace audio {

namespace {

HRESULT resultOf(int err) {
    if (err == -EBUSY)
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

class AlsaIo : public StreamIo {
public:
    AlsaIo(snd_pcm_t* p, snd_pcm_stream_t s, UINT block_) : pcm(p), stream(s), block(block_) {}
    ~AlsaIo() override {
        if (pcm)
            snd_pcm_close(pcm);
    }
    void start() override {
        snd_pcm_prepare(pcm);
        if (stream == SND_PCM_STREAM_CAPTURE)
            snd_pcm_start(pcm);
    }
    void stop() override { snd_pcm_drop(pcm); }
    void play(const BYTE* data, UINT frames, int64_t) override {
        UINT done = 0;
        for (int tries = 0; done < frames && tries < 4; ++tries) {
            const snd_pcm_sframes_t n =
                snd_pcm_writei(pcm, data + static_cast<size_t>(done) * block, frames - done);
            if (n < 0) {
                if (snd_pcm_recover(pcm, static_cast<int>(n), 1) < 0)
                    return;
                continue;
            }
            done += static_cast<UINT>(n);
        }
    }
    void record(BYTE* data, UINT frames, int64_t) override {
        UINT done = 0;
        for (int tries = 0; done < frames && tries < 4; ++tries) {
            const snd_pcm_sframes_t n =
                snd_pcm_readi(pcm, data + static_cast<size_t>(done) * block, frames - done);
            if (n < 0) {
                if (snd_pcm_recover(pcm, static_cast<int>(n), 1) < 0)
                    break;
                snd_pcm_start(pcm);
                continue;
            }
            done += static_cast<UINT>(n);
        }
        // What the device did not deliver is silence.
        if (done < frames)
            std::memset(data + static_cast<size_t>(done) * block, 0,
                        static_cast<size_t>(frames - done) * block);
    }

private:
    snd_pcm_t* pcm;
    snd_pcm_stream_t stream;
    UINT block;
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
        int err = snd_pcm_open(&pcm, pcmName.c_str(), streamOf(), 0);
        if (err < 0)
            return resultOf(err);
        snd_pcm_hw_params_t* hw;
        snd_pcm_hw_params_alloca(&hw);
        snd_pcm_uframes_t period = periodFrames;
        snd_pcm_uframes_t buffer = static_cast<snd_pcm_uframes_t>(periodFrames) * 4;
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
            snd_pcm_sw_params_set_start_threshold(pcm, sw, flow == eRender ? period : 1);
            snd_pcm_sw_params_set_avail_min(pcm, sw, period);
            snd_pcm_sw_params(pcm, sw);
        }
        io.reset(new AlsaIo(pcm, streamOf(), format.Format.nBlockAlign));
        return S_OK;
    }

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
