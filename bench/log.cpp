// A suppressed log call site costs one integer compare once its category's level is cached:
// compare it with an empty loop body and with a call site that writes to a null output.
#include "kmt/log.h"

#include <benchmark/benchmark.h>

namespace {

void EmptyLoop(benchmark::State& state) {
    int i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(++i);
}
BENCHMARK(EmptyLoop);

void SuppressedCallSite(benchmark::State& state) {
    kmt::logRtp.effectiveLevel(); // resolve and cache once
    int i = 0;
    for (auto _ : state) {
        KMT_LOG(kmt::logRtp, 5) << "packet " << i << " of " << 160 << " samples";
        benchmark::DoNotOptimize(++i);
    }
}
BENCHMARK(SuppressedCallSite);

struct NullOutput : kmt::DebugManager {
    void write(const char*, int, const char*, int, std::ostringstream& text) override {
        benchmark::DoNotOptimize(text.tellp());
    }
    int level(const kmt::DebugCategory&, int proposed) override { return proposed; }
    void categoryAdded(kmt::DebugCategory*) override {}
};

void WrittenRecord(benchmark::State& state) {
    kmt::DebugRoot root;
    NullOutput out;
    root.addOutput(&out);
    kmt::DebugCategory cat(&root, "bench");
    int i = 0;
    for (auto _ : state) {
        KMT_LOG(cat, 1) << "packet " << i << " of " << 160 << " samples";
        ++i;
    }
}
BENCHMARK(WrittenRecord);

} // namespace

BENCHMARK_MAIN();
