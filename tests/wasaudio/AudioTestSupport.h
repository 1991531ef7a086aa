// Signal measurements and frame sinks shared by the audio device tests.
#pragma once

#include "MediaChannel.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace audiotest {

// Amplitude of the component at frequency hz (Goertzel over the whole signal).
template <typename S> double toneAmplitude(const std::vector<S>& x, double hz, double rate, size_t skip = 0) {
    double re = 0, im = 0;
    size_t n = 0;
    for (size_t i = skip; i < x.size(); ++i, ++n) {
        const double w = 2 * M_PI * hz * static_cast<double>(i) / rate;
        re += x[i] * std::cos(w);
        im += x[i] * std::sin(w);
    }
    return n ? 2 * std::sqrt(re * re + im * im) / static_cast<double>(n) : 0;
}

// The amplitude of the tone at hz where x carries sound: the median of toneAmplitude over the blocks
// of block samples (whole cycles of the tone) from skip on that hold no run of 24 zero samples. On a
// loaded machine a real-time stream may leave silence in the sound (an audio thread that missed its
// turn); this is the level of what was played or captured around it. blocks, when given, gets the
// number of blocks measured (none: 0).
template <typename S>
double soundLevel(const std::vector<S>& x, double hz, double rate, size_t block, size_t skip = 0,
                  size_t* blocks = nullptr) {
    std::vector<double> levels;
    for (size_t at = skip; at + block <= x.size(); at += block) {
        size_t run = 0, longest = 0;
        for (size_t i = at; i < at + block; ++i) {
            run = x[i] == 0 ? run + 1 : 0;
            longest = std::max(longest, run);
        }
        if (longest < 24)
            levels.push_back(toneAmplitude(std::vector<S>(x.begin() + static_cast<long>(at),
                                                          x.begin() + static_cast<long>(at + block)),
                                           hz, rate));
    }
    if (blocks)
        *blocks = levels.size();
    if (levels.empty())
        return 0;
    std::nth_element(levels.begin(), levels.begin() + static_cast<long>(levels.size() / 2), levels.end());
    return levels[levels.size() / 2];
}

template <typename S> double rms(const std::vector<S>& x, size_t skip = 0) {
    double s = 0;
    size_t n = 0;
    for (size_t i = skip; i < x.size(); ++i, ++n)
        s += double(x[i]) * x[i];
    return n ? std::sqrt(s / static_cast<double>(n)) : 0;
}

// Keeps captured frames; plays a tone (or nothing) on request.
class RecordingChannel : public MediaChannel {
public:
    void putFrame(uint32_t frameNumber, int16_t* samples, int count) override {
        std::lock_guard<std::mutex> guard(lock);
        numbers.push_back(frameNumber);
        counts.push_back(count);
        captured.insert(captured.end(), samples, samples + count);
        changed.notify_all();
    }
    bool getFrame(uint32_t frameNumber, int16_t* samples, int count, bool prefetch) override {
        std::unique_lock<std::mutex> guard(lock);
        requested.push_back(frameNumber);
        prefetches += prefetch ? 1 : 0;
        const size_t call = requested.size();
        changed.notify_all();
        if (blockAtCall && call == blockAtCall)
            changed.wait(guard, [this] { return !blockAtCall; });
        if (silent)
            return false;
        for (int i = 0; i < count; ++i, ++played)
            samples[i] = static_cast<int16_t>(
                std::lround(amplitude * std::sin(2 * M_PI * hz * double(played) / 8000.0)));
        return true;
    }
    // Waits (bounded) until pred holds under the lock.
    template <typename P> bool waitFor(P pred, int ms = 5000) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(ms), [&] { return pred(*this); });
    }
    void release() {
        std::lock_guard<std::mutex> guard(lock);
        blockAtCall = 0;
        changed.notify_all();
    }

    std::mutex lock;
    std::condition_variable changed;
    std::vector<uint32_t> numbers;
    std::vector<int> counts;
    std::vector<int16_t> captured;
    std::vector<uint32_t> requested;
    int prefetches = 0;
    bool silent = false;
    double hz = 1000;
    double amplitude = 8000;
    long played = 0;
    size_t blockAtCall = 0;
};

} // namespace audiotest
