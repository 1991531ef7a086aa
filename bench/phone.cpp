// One line action posted from another thread until its operation has run on the phone's loop thread.
#include "LineActions.h"
#include "NullLine.h"
#include "Phone.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace {

class CountingLine : public NullLine {
public:
    CountingLine(kbrphone::Phone* phone, const std::string& id) : NullLine(phone, id) {}
    void putOnHold() override { operations.fetch_add(1, std::memory_order_release); }

    std::atomic<long> operations{0};
};

class SilentPhone : public kbrphone::Phone {
public:
    explicit SilentPhone(PhoneDeviceCreatorBase& creator) : Phone(nullptr, creator) {}
    void registrationStateChanged(int, const std::string&) override {}
    void lineStateChanged(kbrphone::Line*, bool) override {}
};

class NoDevice : public PhoneDeviceCreatorBase {
public:
    void create(PhoneDeviceInterface*& device, kbrphone::Phone*) override { device = nullptr; }
};

void BM_PostedLineActionRoundTrip(benchmark::State& state) {
    NoDevice creator;
    SilentPhone phone(creator);
    auto line = std::make_unique<CountingLine>(&phone, "0123456789abcdef");
    phone.addLine(line.get());
    std::thread loop([&] { phone.run(); });
    long expected = 0;
    for (auto _ : state) {
        phone.putOnHold("0123456789abcdef");
        ++expected;
        while (line->operations.load(std::memory_order_acquire) < expected) {
        }
    }
    phone.stop();
    loop.join();
    line.reset();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostedLineActionRoundTrip)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
