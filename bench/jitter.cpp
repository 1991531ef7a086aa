// Jitter buffer costs per 20 ms frame (160 samples): put, get of buffered audio, and gets that
// conceal a loss (its first frame with the pitch search, and a later one), and the put that merges
// a returning packet. Only the measured call is timed; the set-up around it is not.
#include "JitterBuffer.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr int frame = 160;

// Voiced-like audio: a 100-sample period with harmonics and a little noise.
std::vector<int16_t> speech(int count) {
    std::vector<int16_t> v(count);
    uint32_t noise = 12345;
    for (int n = 0; n < count; ++n) {
        noise = noise * 1103515245u + 12345u;
        const double w = 2.0 * M_PI * (n % 100) / 100.0;
        v[n] = int16_t(5000.0 * std::sin(w) + 2500.0 * std::sin(2.0 * w + 0.4) + 1200.0 * std::sin(3.0 * w) +
                       double(int(noise >> 20) - 2048) * 0.2);
    }
    return v;
}

const std::vector<int16_t>& audio() {
    static const std::vector<int16_t> a = speech(16 * frame);
    return a;
}

const int16_t* packet(int i) {
    return audio().data() + (i % 16) * frame;
}

using Clock = std::chrono::steady_clock;

template <class F> double timed(F&& f) {
    auto t0 = Clock::now();
    f();
    auto t1 = Clock::now();
    return std::chrono::duration<double>(t1 - t0).count();
}

// Normal play with a steady fill of one frame before each put.
void BM_Put(benchmark::State& state) {
    JitterBuffer jb;
    int16_t out[frame];
    int i = 0;
    jb.put(packet(i++), frame);
    for (auto _ : state) {
        state.SetIterationTime(timed([&] { jb.put(packet(i++), frame); }));
        jb.get(out, frame, false);
    }
    benchmark::DoNotOptimize(out);
}
BENCHMARK(BM_Put)->UseManualTime();

// A get that finds its frame buffered.
void BM_GetBuffered(benchmark::State& state) {
    JitterBuffer jb;
    int16_t out[frame];
    int i = 0;
    jb.put(packet(i++), frame);
    for (auto _ : state) {
        jb.put(packet(i++), frame);
        state.SetIterationTime(timed([&] { jb.get(out, frame, false); }));
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_GetBuffered)->UseManualTime();

// Plays 480 samples so that the buffer is empty and in normal play with speech as its history.
void playThenDrain(JitterBuffer& jb, int16_t* out) {
    jb.reset();
    for (int i = 0; i < 3; ++i)
        jb.put(packet(i), frame);
    for (int i = 0; i < 3; ++i)
        jb.get(out, frame, false);
}

// The first get of a loss: pitch search, the first two concealment frames.
void BM_GetConcealFirst(benchmark::State& state) {
    JitterBuffer jb;
    int16_t out[frame];
    for (auto _ : state) {
        playThenDrain(jb, out);
        state.SetIterationTime(timed([&] { jb.get(out, frame, false); }));
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_GetConcealFirst)->UseManualTime();

// The second get of a loss: the three-period buffer, attenuated frames.
void BM_GetConcealNext(benchmark::State& state) {
    JitterBuffer jb;
    int16_t out[frame];
    for (auto _ : state) {
        playThenDrain(jb, out);
        jb.get(out, frame, false);
        state.SetIterationTime(timed([&] { jb.get(out, frame, false); }));
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_GetConcealNext)->UseManualTime();

// The put that ends a loss and cross-fades the returning packet.
void BM_PutMerge(benchmark::State& state) {
    JitterBuffer jb;
    int16_t out[frame];
    for (auto _ : state) {
        playThenDrain(jb, out);
        jb.get(out, frame, false);
        state.SetIterationTime(timed([&] { jb.put(packet(5), frame); }));
    }
}
BENCHMARK(BM_PutMerge)->UseManualTime();

// The put that follows a loss concealed while buffering (audio had come back but ran short again):
// the returning packet is cross-faded with that concealment too.
void BM_PutAfterBufferingConceal(benchmark::State& state) {
    JitterBuffer jb;
    int16_t out[frame];
    for (auto _ : state) {
        playThenDrain(jb, out);
        jb.get(out, frame, false); // the loss
        jb.put(packet(4), frame);  // audio returns: buffering
        jb.get(out, frame, false); // plays it
        jb.get(out, frame, false); // runs short while buffering: concealed
        state.SetIterationTime(timed([&] { jb.put(packet(6), frame); }));
    }
}
BENCHMARK(BM_PutAfterBufferingConceal)->UseManualTime();

} // namespace

BENCHMARK_MAIN();
