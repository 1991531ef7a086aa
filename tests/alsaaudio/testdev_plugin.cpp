// An ALSA PCM plugin for the tests: a sound card of the test's own, loaded by the test's ALSA
// configuration ("type kbrtest"). It plays and records 16-bit stereo at 48000 Hz on a sample clock
// of its own (which wakes its reader once a period, as a card's interrupt does, and can drift), or
// on a clock that moves only when the test moves it; it counts underruns and keeps what it played;
// it can be unplugged after a time, and be held by "another program" (an open that waits, as a
// blocking open of a busy card does, or fails at once when non-blocking). The tests set and read
// all this by device name through the C functions at the end (they open this library themselves,
// which gives them the instance ALSA loaded).
#include <alsa/asoundlib.h>
#include <alsa/pcm_external.h>

#include <poll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr unsigned kRate = 48000;
constexpr unsigned kChannels = 2;
constexpr size_t kPlayedCap = kRate * 60;

struct Device {
    // Settings.
    double ppm = 0;           // the device clock runs this much fast (+) or slow (-)
    bool manualClock = false; // the clock moves only by "advance_ms", not with real time
    int64_t manualNs = 1000000000; // its time then (never 0: a start at 0 would read as none)
    long failAfterMs = -1;    // unplugged this long after the first start of an open (-1: never)
    long jumpAtMs = -1;       // this long after the first start the clock leaps ahead once (a card
    long jumpMs = 0;          // that was late and catches up), by jumpMs
    bool busy = false;        // held by another program
    long busyOpenWaitMs = 3000; // how long a blocking open of a busy device waits
    double toneHz = 1000;     // what the capture side records
    double toneAmplitude = 8192;
    // Counters.
    long underruns = 0;
    long overruns = 0;
    long opens = 0;
    long blockingOpens = 0;
    uint64_t playedFrames = 0;
    uint64_t capturedFrames = 0;
    std::vector<int16_t> played; // the left channel of what the clock played
};

std::mutex& lock() {
    static std::mutex m;
    return m;
}
std::map<std::string, Device>& devices() {
    static std::map<std::string, Device> d;
    return d;
}

int64_t nowNs() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// The time of the device's clock: real time, or the test's own; lock() held.
int64_t cardNowNs(const Device& d) {
    return d.manualClock ? d.manualNs : nowNs();
}

struct Pcm {
    snd_pcm_ioplug_t io{};
    std::string name;
    int timer = -1;
    bool running = false;
    bool unplugged = false;
    bool jumped = false;
    int64_t startNs = 0;
    int64_t firstStartNs = 0;
    uint64_t transferred = 0; // frames written (playback) or read (capture) since prepare
    uint64_t consumed = 0;    // playback: frames the clock played since prepare
    uint64_t toneIndex = 0;
    std::vector<int16_t> ring; // playback: left channel of the queued frames
};

Device& deviceOf(Pcm* p) {
    return devices()[p->name];
}

// Frames the clock has advanced since the start (the position a card's DMA reports); lock() held.
uint64_t clockFrames(Pcm* p, const Device& d) {
    if (!p->jumped && d.jumpAtMs >= 0 && p->firstStartNs && cardNowNs(d) - p->firstStartNs >= d.jumpAtMs * 1000000) {
        p->jumped = true;
        p->startNs -= d.jumpMs * 1000000;
    }
    const double seconds = static_cast<double>(cardNowNs(d) - p->startNs) / 1e9;
    return static_cast<uint64_t>(seconds * kRate * (1.0 + d.ppm * 1e-6));
}

// True once the device is unplugged; lock() held.
bool checkUnplugged(Pcm* p, const Device& d) {
    if (!p->unplugged && d.failAfterMs >= 0 && p->firstStartNs != 0 &&
        cardNowNs(d) - p->firstStartNs >= d.failAfterMs * 1000000) {
        p->unplugged = true;
        p->running = false;
        snd_pcm_ioplug_set_state(&p->io, SND_PCM_STATE_DISCONNECTED);
    }
    return p->unplugged;
}

// The period interrupt, as a timer on real time; a clock that stands still until the test moves it
// raises none (a reader that waits for one then waits out its own time-out).
void armTimer(Pcm* p, bool on, const Device& d) {
    itimerspec when{};
    if (on && !d.manualClock) {
        const double periodNs = static_cast<double>(p->io.period_size) * 1e9 / kRate / (1.0 + d.ppm * 1e-6);
        const long ns = static_cast<long>(periodNs);
        when.it_value.tv_sec = ns / 1000000000;
        when.it_value.tv_nsec = ns % 1000000000;
        when.it_interval = when.it_value;
    }
    timerfd_settime(p->timer, 0, &when, nullptr);
}

// Moves the playback clock on; false on an underrun. lock() held.
bool advancePlayback(Pcm* p, Device& d) {
    if (!p->running)
        return true;
    const uint64_t target = clockFrames(p, d);
    const uint64_t upTo = std::min(target, p->transferred);
    const size_t size = p->ring.size();
    for (; p->consumed < upTo; ++p->consumed) {
        if (d.played.size() < kPlayedCap)
            d.played.push_back(p->ring[p->consumed % size]);
        ++d.playedFrames;
    }
    // As the kernel does: the queue running empty while the card plays is an underrun.
    if (target >= p->transferred) {
        ++d.underruns;
        p->running = false;
        armTimer(p, false, d);
        return false;
    }
    return true;
}

int cbStart(snd_pcm_ioplug_t* io) {
    auto* p = static_cast<Pcm*>(io->private_data);
    std::lock_guard<std::mutex> guard(lock());
    Device& d = deviceOf(p);
    if (checkUnplugged(p, d))
        return -ENODEV;
    p->running = true;
    p->startNs = cardNowNs(d);
    if (!p->firstStartNs)
        p->firstStartNs = p->startNs;
    armTimer(p, true, d);
    return 0;
}

int cbStop(snd_pcm_ioplug_t* io) {
    auto* p = static_cast<Pcm*>(io->private_data);
    std::lock_guard<std::mutex> guard(lock());
    p->running = false;
    armTimer(p, false, deviceOf(p));
    return 0;
}

snd_pcm_sframes_t cbPointer(snd_pcm_ioplug_t* io) {
    auto* p = static_cast<Pcm*>(io->private_data);
    std::lock_guard<std::mutex> guard(lock());
    Device& d = deviceOf(p);
    if (checkUnplugged(p, d))
        return -ENODEV;
    const uint64_t buffer = io->buffer_size;
    if (io->stream == SND_PCM_STREAM_PLAYBACK) {
        if (!advancePlayback(p, d))
            return -EPIPE;
        return static_cast<snd_pcm_sframes_t>(p->consumed % buffer);
    }
    if (!p->running)
        return static_cast<snd_pcm_sframes_t>(p->transferred % buffer);
    const uint64_t recorded = clockFrames(p, d);
    if (recorded > p->transferred + buffer) {
        ++d.overruns;
        p->running = false;
        armTimer(p, false, d);
        return -EPIPE;
    }
    return static_cast<snd_pcm_sframes_t>(recorded % buffer);
}

snd_pcm_sframes_t cbTransfer(snd_pcm_ioplug_t* io, const snd_pcm_channel_area_t* areas, snd_pcm_uframes_t offset,
                             snd_pcm_uframes_t size) {
    auto* p = static_cast<Pcm*>(io->private_data);
    std::lock_guard<std::mutex> guard(lock());
    Device& d = deviceOf(p);
    if (checkUnplugged(p, d))
        return -ENODEV;
    auto* frames = reinterpret_cast<int16_t*>(static_cast<char*>(areas[0].addr) + areas[0].first / 8 +
                                              offset * areas[0].step / 8);
    if (io->stream == SND_PCM_STREAM_PLAYBACK) {
        const size_t ringSize = p->ring.size();
        for (snd_pcm_uframes_t i = 0; i < size; ++i)
            p->ring[(p->transferred + i) % ringSize] = frames[i * kChannels];
    } else {
        for (snd_pcm_uframes_t i = 0; i < size; ++i, ++p->toneIndex) {
            const int16_t s = static_cast<int16_t>(
                std::lround(d.toneAmplitude * std::sin(2 * M_PI * d.toneHz * double(p->toneIndex) / kRate)));
            for (unsigned c = 0; c < kChannels; ++c)
                frames[i * kChannels + c] = s;
        }
        d.capturedFrames += size;
    }
    p->transferred += size;
    return static_cast<snd_pcm_sframes_t>(size);
}

int cbPrepare(snd_pcm_ioplug_t* io) {
    auto* p = static_cast<Pcm*>(io->private_data);
    std::lock_guard<std::mutex> guard(lock());
    Device& d = deviceOf(p);
    if (checkUnplugged(p, d))
        return -ENODEV;
    p->running = false;
    armTimer(p, false, d);
    p->transferred = 0;
    p->consumed = 0;
    return 0;
}

int cbHwParams(snd_pcm_ioplug_t* io, snd_pcm_hw_params_t*) {
    auto* p = static_cast<Pcm*>(io->private_data);
    std::lock_guard<std::mutex> guard(lock());
    p->ring.assign(io->buffer_size ? io->buffer_size : 1, 0);
    return 0;
}

int cbPollRevents(snd_pcm_ioplug_t* io, struct pollfd* pfd, unsigned int, unsigned short* revents) {
    auto* p = static_cast<Pcm*>(io->private_data);
    uint64_t ticks;
    if (pfd[0].revents & POLLIN)
        (void)!read(p->timer, &ticks, sizeof ticks);
    std::lock_guard<std::mutex> guard(lock());
    Device& d = deviceOf(p);
    *revents = 0;
    if (checkUnplugged(p, d)) {
        *revents = POLLERR;
        return 0;
    }
    if (io->stream == SND_PCM_STREAM_PLAYBACK) {
        if (!advancePlayback(p, d)) {
            *revents = POLLERR;
            return 0;
        }
        if (io->buffer_size - (p->transferred - p->consumed) >= io->period_size)
            *revents = POLLOUT;
    } else if (p->running && clockFrames(p, d) >= p->transferred + io->period_size) {
        *revents = POLLIN;
    }
    return 0;
}

int cbClose(snd_pcm_ioplug_t* io) {
    auto* p = static_cast<Pcm*>(io->private_data);
    if (p->timer >= 0)
        close(p->timer);
    delete p;
    return 0;
}

const snd_pcm_ioplug_callback_t callbacks = [] {
    snd_pcm_ioplug_callback_t c{};
    c.start = cbStart;
    c.stop = cbStop;
    c.pointer = cbPointer;
    c.transfer = cbTransfer;
    c.close = cbClose;
    c.hw_params = cbHwParams;
    c.prepare = cbPrepare;
    c.poll_revents = cbPollRevents;
    return c;
}();

// A blocking open of a busy device waits until it is free (bounded); a non-blocking one fails.
int waitWhileBusy(const std::string& name, int mode) {
    const auto until = std::chrono::steady_clock::now();
    long waitMs;
    {
        std::lock_guard<std::mutex> guard(lock());
        Device& d = devices()[name];
        ++d.opens;
        if (!(mode & SND_PCM_NONBLOCK))
            ++d.blockingOpens;
        if (!d.busy)
            return 0;
        if (mode & SND_PCM_NONBLOCK)
            return -EBUSY;
        waitMs = d.busyOpenWaitMs;
    }
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::lock_guard<std::mutex> guard(lock());
        if (!devices()[name].busy)
            return 0;
        if (std::chrono::steady_clock::now() - until > std::chrono::milliseconds(waitMs))
            return -EBUSY;
    }
}

} // namespace

extern "C" {

SND_PCM_PLUGIN_DEFINE_FUNC(kbrtest) {
    (void)root;
    (void)conf;
    const std::string device = name ? name : "kbrtest";
    if (int err = waitWhileBusy(device, mode); err < 0)
        return err;
    auto* p = new Pcm;
    p->name = device;
    p->timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    p->io.version = SND_PCM_IOPLUG_VERSION;
    p->io.name = "test sound card";
    p->io.flags = SND_PCM_IOPLUG_FLAG_MONOTONIC;
    p->io.poll_fd = p->timer;
    p->io.poll_events = POLLIN;
    p->io.mmap_rw = 0;
    p->io.callback = &callbacks;
    p->io.private_data = p;
    int err = snd_pcm_ioplug_create(&p->io, device.c_str(), stream, mode);
    if (err < 0) {
        close(p->timer);
        delete p;
        return err;
    }
    static const unsigned access[] = {SND_PCM_ACCESS_RW_INTERLEAVED};
    static const unsigned formats[] = {SND_PCM_FORMAT_S16_LE};
    const unsigned frameBytes = 2 * kChannels;
    if ((err = snd_pcm_ioplug_set_param_list(&p->io, SND_PCM_IOPLUG_HW_ACCESS, 1, access)) < 0 ||
        (err = snd_pcm_ioplug_set_param_list(&p->io, SND_PCM_IOPLUG_HW_FORMAT, 1, formats)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_CHANNELS, kChannels, kChannels)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_RATE, kRate, kRate)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_PERIOD_BYTES, frameBytes * 48,
                                               frameBytes * kRate / 2)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_PERIODS, 2, 64)) < 0 ||
        (err = snd_pcm_ioplug_set_param_minmax(&p->io, SND_PCM_IOPLUG_HW_BUFFER_BYTES, frameBytes * 96,
                                               frameBytes * kRate)) < 0) {
        snd_pcm_ioplug_delete(&p->io);
        return err;
    }
    *pcmp = p->io.pcm;
    return 0;
}
SND_PCM_PLUGIN_SYMBOL(kbrtest)

// Settings: "ppm", "fail_after_ms", "jump_at_ms", "jump_ms", "busy", "busy_open_wait_ms", "tone_hz", "tone_amplitude",
// "manual_clock" (1: the clock stands still until "advance_ms" moves it on by that many milliseconds).
void kbr_testdev_set(const char* device, const char* key, double value) {
    std::lock_guard<std::mutex> guard(lock());
    Device& d = devices()[device];
    const std::string k = key;
    if (k == "ppm")
        d.ppm = value;
    else if (k == "fail_after_ms")
        d.failAfterMs = static_cast<long>(value);
    else if (k == "jump_at_ms")
        d.jumpAtMs = static_cast<long>(value);
    else if (k == "jump_ms")
        d.jumpMs = static_cast<long>(value);
    else if (k == "busy")
        d.busy = value != 0;
    else if (k == "busy_open_wait_ms")
        d.busyOpenWaitMs = static_cast<long>(value);
    else if (k == "tone_hz")
        d.toneHz = value;
    else if (k == "tone_amplitude")
        d.toneAmplitude = value;
    else if (k == "manual_clock")
        d.manualClock = value != 0;
    else if (k == "advance_ms")
        d.manualNs += std::llround(value * 1e6);
}

// Counters: "underruns", "overruns", "opens", "blocking_opens", "played_frames", "captured_frames".
long kbr_testdev_get(const char* device, const char* key) {
    std::lock_guard<std::mutex> guard(lock());
    const Device& d = devices()[device];
    const std::string k = key;
    if (k == "underruns")
        return d.underruns;
    if (k == "overruns")
        return d.overruns;
    if (k == "opens")
        return d.opens;
    if (k == "blocking_opens")
        return d.blockingOpens;
    if (k == "played_frames")
        return static_cast<long>(d.playedFrames);
    if (k == "captured_frames")
        return static_cast<long>(d.capturedFrames);
    return -1;
}

// Copies (up to max) the left channel of what the device played; the number copied.
size_t kbr_testdev_played(const char* device, int16_t* out, size_t max) {
    std::lock_guard<std::mutex> guard(lock());
    const Device& d = devices()[device];
    const size_t n = std::min(max, d.played.size());
    std::memcpy(out, d.played.data(), n * sizeof(int16_t));
    return n;
}

// Settings back to their defaults, counters to zero.
void kbr_testdev_reset(const char* device) {
    std::lock_guard<std::mutex> guard(lock());
    devices()[device] = Device{};
}

} // extern "C"
