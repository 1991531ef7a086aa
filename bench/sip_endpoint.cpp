// Requests per second the SIP end point answers: OPTIONS from the proxy's address over loopback, each
// answered with 200 OK. The end point runs on the phone's loop, either on the benchmark's own thread
// (one request at a time, or a burst of requests then their answers) or on a loop thread of its own as
// in the product, with a window of requests outstanding.
#include "Phone.h"
#include "SipEndPoint.h"
#include "kmt/socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

namespace {

class NoDevice : public PhoneDeviceCreatorBase {
public:
    void create(PhoneDeviceInterface*& device, kbrphone::Phone*) override { device = nullptr; }
};

class BenchPhone : public kbrphone::Phone {
public:
    explicit BenchPhone(PhoneDeviceCreatorBase& creator) : Phone(nullptr, creator) {}
    void registrationStateChanged(int, const std::string&) override {}
    void lineStateChanged(kbrphone::Line*, bool) override {}
};

struct Stopper : kmt::EventCallbackBase {
    kmt::EventScheduler* s = nullptr;
    void invoke() override { s->stop(); }
};

// The phone with its end point, and a client socket on 127.0.0.1 that is the proxy.
struct Bench {
    Bench() {
        kmt::ipMode = 1;
        client = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(client, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(client, reinterpret_cast<sockaddr*>(&a), &len);
        clientPort = ntohs(a.sin_port);
        int size = 4 << 20;
        ::setsockopt(client, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);

        phone.reset(new BenchPhone(creator));
        endPoint = static_cast<sip::SipEndPoint*>(phone->getProtocol());
        endPoint->setProxy("2001", "Desk", "auth2001", "secret", "127.0.0.1", clientPort);
        phone->runOnce();
        std::memset(&sipAddress, 0, sizeof sipAddress);
        sipAddress.sin_family = AF_INET;
        sipAddress.sin_port = htons(endPoint->socket.localAddress().port());
        sipAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

        std::ostringstream os;
        os << "OPTIONS sip:2001@127.0.0.1 SIP/2.0\r\n"
           << "Via: SIP/2.0/UDP 127.0.0.1:" << clientPort << ";branch=z9hG4bKbench;rport\r\n"
           << "Max-Forwards: 70\r\n"
           << "From: <sip:proxy@127.0.0.1>;tag=bench\r\n"
           << "To: <sip:2001@127.0.0.1>\r\n"
           << "Call-ID: bench-options@127.0.0.1\r\n"
           << "CSeq: 1 OPTIONS\r\n"
           << "Content-Length: 0\r\n\r\n";
        options = os.str();
    }
    ~Bench() { ::close(client); }

    void send() {
        ::sendto(client, options.data(), options.size(), 0, reinterpret_cast<sockaddr*>(&sipAddress),
                 sizeof sipAddress);
    }
    // Waits for one answer (bounded); false on time-out.
    bool receive() {
        pollfd p{client, POLLIN, 0};
        if (::poll(&p, 1, 2000) <= 0)
            return false;
        ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        return n > 12 && std::memcmp(buffer, "SIP/2.0 200 ", 12) == 0;
    }

    NoDevice creator;
    std::unique_ptr<BenchPhone> phone;
    sip::SipEndPoint* endPoint = nullptr;
    int client = -1;
    uint16_t clientPort = 0;
    sockaddr_in sipAddress{};
    std::string options;
    char buffer[65536];
};

// Silences the log's console output for the benchmark's lifetime.
struct Quiet {
    Quiet() : old(std::cout.rdbuf(sink.rdbuf())) {}
    ~Quiet() { std::cout.rdbuf(old); }
    std::ostringstream sink;
    std::streambuf* old;
};

void OptionsOneAtATimeOnTheCallersThread(benchmark::State& state) {
    Quiet quiet;
    Bench b;
    for (auto _ : state) {
        b.send();
        b.phone->runOnce();
        if (!b.receive()) {
            state.SkipWithError("no answer");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["requests_per_s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(OptionsOneAtATimeOnTheCallersThread)->UseRealTime();

void OptionsInBurstsOnTheCallersThread(benchmark::State& state) {
    Quiet quiet;
    Bench b;
    const int burst = static_cast<int>(state.range(0));
    for (auto _ : state) {
        for (int i = 0; i < burst; ++i)
            b.send();
        for (int i = 0; i < burst; ++i)
            b.phone->runOnce();
        for (int i = 0; i < burst; ++i) {
            if (!b.receive()) {
                state.SkipWithError("no answer");
                return;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * burst);
    state.counters["requests_per_s"] =
        benchmark::Counter(double(state.iterations() * burst), benchmark::Counter::kIsRate);
}
BENCHMARK(OptionsInBurstsOnTheCallersThread)->Arg(32)->UseRealTime();

void OptionsToTheLoopThreadWithAWindow(benchmark::State& state) {
    Quiet quiet;
    Bench b;
    std::thread loop([&] { b.endPoint->processEvents(); });
    const int window = static_cast<int>(state.range(0));
    for (int i = 0; i < window; ++i)
        b.send();
    bool ok = true;
    for (auto _ : state) {
        // One answer out, one request in: the window of outstanding requests stays full.
        if (!b.receive()) {
            ok = false;
            break;
        }
        b.send();
    }
    for (int i = 0; ok && i < window; ++i)
        b.receive();
    if (!ok)
        state.SkipWithError("no answer");
    Stopper stop;
    stop.s = b.phone.get();
    b.phone->addTimer(0, &stop);
    loop.join();
    state.SetItemsProcessed(state.iterations());
    state.counters["requests_per_s"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(OptionsToTheLoopThreadWithAWindow)->Arg(1)->Arg(16)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
