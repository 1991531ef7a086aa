// Event scheduler costs: a posting from another thread until its callback runs on the loop, and
// addTimer/removeTimer with a number of timers pending.
#include "kmt/scheduler.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

struct Flag : kmt::EventCallbackBase {
    std::atomic<int> runs{0};
    void invoke() override { runs.fetch_add(1, std::memory_order_release); }
};

struct Stopper : kmt::EventCallbackBase {
    kmt::EventScheduler* s;
    void invoke() override { s->stop(); }
};

void PostFromAnotherThreadUntilRun(benchmark::State& state) {
    kmt::EventScheduler s;
    std::thread loop([&] { s.run(); });
    Flag flag;
    int expected = 0;
    for (auto _ : state) {
        s.addTimer(0, &flag);
        ++expected;
        while (flag.runs.load(std::memory_order_acquire) != expected) {
        }
    }
    Stopper stop;
    stop.s = &s;
    s.addTimer(0, &stop);
    loop.join();
}
BENCHMARK(PostFromAnotherThreadUntilRun)->UseRealTime();

struct Nop : kmt::EventCallbackBase {
    void invoke() override {}
};

// One addTimer and one removeTimer with N other timers pending, spread over 10 s.
void AddRemoveWithPending(benchmark::State& state) {
    kmt::EventScheduler s;
    const int n = static_cast<int>(state.range(0));
    std::vector<Nop> pending(n);
    for (int i = 0; i < n; ++i)
        s.addTimer(1000 + (i * 7919) % 10000, &pending[i]);
    Nop probe;
    for (auto _ : state) {
        s.addTimer(5000, &probe);
        s.removeTimer(&probe);
    }
}
BENCHMARK(AddRemoveWithPending)->Arg(10)->Arg(100)->Arg(1000)->Arg(100000);

} // namespace

BENCHMARK_MAIN();
