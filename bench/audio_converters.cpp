// The cost of the sample format and rate converters per 20 ms engine frame (160 samples at
// 8000 Hz): capture from a 48000 or 44100 Hz stereo float endpoint and playback to one.
#include "MediaChannel.h"
#include "WASAudio/AudioConverter.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

class NullChannel : public MediaChannel {
public:
    void putFrame(uint32_t, int16_t* samples, int) override { benchmark::DoNotOptimize(samples[0]); }
    bool getFrame(uint32_t, int16_t* samples, int count, bool) override {
        for (int i = 0; i < count; ++i)
            samples[i] = static_cast<int16_t>(i * 97);
        return true;
    }
};

// Capture: one engine frame's worth of device frames (20 ms) converted and delivered.
void BM_CaptureFrame(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    NullChannel sink;
    wasmedia::InputConverterT<float> converter(&sink, 160, rate, 8000, 2);
    converter.resizeBuffer(1600);
    const int frames = rate / 50;
    std::vector<float> packet(static_cast<size_t>(frames) * 2);
    for (int i = 0; i < frames; ++i)
        packet[2 * i] = packet[2 * i + 1] = static_cast<float>(0.5 * std::sin(i * 0.13));
    for (auto _ : state) {
        converter.convert(packet.data(), static_cast<uint32_t>(frames));
        while (converter.buffered() >= 160)
            converter.deliverFrame();
    }
    state.SetLabel("per 20 ms frame");
}

// Playback: one engine frame fetched and written out as 20 ms of device frames.
void BM_PlaybackFrame(benchmark::State& state) {
    const int rate = static_cast<int>(state.range(0));
    NullChannel source;
    wasmedia::OutputConverterT<float> converter(&source, 160, 8000, rate, 2);
    const uint32_t frames = static_cast<uint32_t>(rate / 50);
    std::vector<float> buffer(static_cast<size_t>(frames) * 2 + 64);
    for (auto _ : state) {
        uint32_t written = 0;
        for (int fetches = 0; written < frames && fetches < 3; ++fetches) {
            written += converter.write(buffer.data(), written, frames - written);
            if (written < frames) {
                source.getFrame(converter.takeFrameNumber(), converter.frameBuffer(), 160, false);
                converter.rewind();
            }
        }
        benchmark::DoNotOptimize(buffer.data());
    }
    state.SetLabel("per 20 ms frame");
}

} // namespace

BENCHMARK(BM_CaptureFrame)->Arg(48000)->Arg(44100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PlaybackFrame)->Arg(48000)->Arg(44100)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
