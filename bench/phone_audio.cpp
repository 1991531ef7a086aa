// The local audio path per 20 ms frame of 160 samples: putFrame (echo canceller, leveler, A-law encode
// and send) and getFrame (jitter buffer, key tone mix, echo reference), on a connected call with a real
// RTP session sending to a UDP socket on loopback. Each figure is also shown as the share of one core
// that a call needs (one frame each way every 20 ms): "core_share" in percent.
#include "EchoSuppressor.h"
#include "InputLeveler.h"
#include "NullLine.h"
#include "Phone.h"
#include "RTPSession.h"
#include "RTPStream.h"
#include "ToneGenerator.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int kFrame = 160;
constexpr double kFrameSeconds = 0.020;

class CallLine : public NullLine {
public:
    CallLine(kbrphone::Phone* phone, const std::string& id) : NullLine(phone, id) {}
    kbrphone::TransportChannel* transportChannel() override { return &session; }
    rtp::RTPSession* rtpSession() override { return &session; }

    rtp::RTPSession session;
};

// A device that does nothing on its own: the benchmark drives the frames.
class IdleDevice : public MediaDevice {
public:
    void start() override {}
    void stop() override {}
    void setInputLevel(float x) override { input = x; }
    float getInputLevel() override { return input; }
    void setOutputLevel(float x) override { output = x; }
    float getOutputLevel() override { return output; }
    float input = 0.5f, output = 0.5f;
};

class IdleManager : public MediaManager {
public:
    explicit IdleManager(std::string input_) : input(std::move(input_)) {}
    MediaDevice* createDevice(const std::string&, const std::string&, MediaChannel*, int, int) override {
        return new IdleDevice;
    }
    std::vector<std::string> getInputDevices() override { return {input}; }
    std::vector<std::string> getOutputDevices() override { return {"speaker"}; }
    std::string getActualInputDevice(const std::string&) override { return input; }
    std::string getActualOutputDevice(const std::string&) override { return "speaker"; }
    void setInputLevel(const std::string&, float) override {}
    float getInputLevel(const std::string&) override { return 0.5f; }
    void setOutputLevel(const std::string&, float) override {}
    float getOutputLevel(const std::string&) override { return 0.5f; }
    std::string input;
};

class SilentPhone : public kbrphone::Phone {
public:
    SilentPhone(std::unique_ptr<MediaManager> manager, PhoneDeviceCreatorBase& creator)
        : Phone(std::move(manager), creator) {}
    void registrationStateChanged(int, const std::string&) override {}
    void lineStateChanged(kbrphone::Line*, bool) override {}
};

class NoDevice : public PhoneDeviceCreatorBase {
public:
    void create(PhoneDeviceInterface*& device, kbrphone::Phone*) override { device = nullptr; }
};

// A UDP socket on loopback that swallows what the call sends.
class Sink {
public:
    Sink() {
        fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t n = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
        port = ntohs(a.sin_port);
        int size = 1 << 22;
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    ~Sink() { ::close(fd); }
    void empty() {
        char buffer[2048];
        while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
    }
    int fd;
    uint16_t port;
};

kmt::SocketAddress loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return kmt::SocketAddress(reinterpret_cast<const plat::SOCKADDR*>(&a), sizeof a);
}

std::vector<int16_t> speechLikeFrame(int n) {
    std::vector<int16_t> f(kFrame);
    for (int i = 0; i < kFrame; ++i)
        f[i] = int16_t(3000 * std::sin(0.3 * (n * kFrame + i)) + 1000 * std::sin(1.7 * (n * kFrame + i)));
    return f;
}

struct Call {
    explicit Call(const std::string& input) : phone(std::make_unique<IdleManager>(input), creator) {
        line = new CallLine(&phone, "0123456789abcdef");
        phone.addLine(line);
        line->session.start(loopback(sink.port), kmt::SocketAddress(), 101);
        line->setState(kbrphone::lineOffered);
        line->setState(kbrphone::lineConnected);
    }
    ~Call() {
        line->session.stop();
        line->setState(kbrphone::lineEnded);
    }
    NoDevice creator;
    Sink sink;
    SilentPhone phone;
    CallLine* line;
};

void reportCoreShare(benchmark::State& state, double framesPerIteration) {
    // Seconds per frame over the 20 ms a frame lasts, in percent.
    state.counters["core_share"] = benchmark::Counter(
        double(state.iterations()) * framesPerIteration * kFrameSeconds / 100.0,
        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// arg 0: "mic" (with the echo canceller), 1: "Jabra" (without).
void BM_PutFrame(benchmark::State& state) {
    Call call(state.range(0) ? "Jabra" : "mic");
    std::vector<int16_t> frame(kFrame);
    const std::vector<int16_t> source = speechLikeFrame(1);
    uint32_t n = 0;
    for (auto _ : state) {
        frame = source;
        call.phone.putFrame(n++, frame.data(), kFrame);
        if ((n & 63) == 0) {
            state.PauseTiming();
            call.sink.empty();
            state.ResumeTiming();
        }
    }
    reportCoreShare(state, 1);
}
BENCHMARK(BM_PutFrame)->Arg(0)->Arg(1);

void BM_GetFrame(benchmark::State& state) {
    Call call(state.range(0) ? "Jabra" : "mic");
    std::vector<int16_t> frame(kFrame);
    uint8_t packet[12 + kFrame] = {0x80, 8};
    for (int i = 0; i < kFrame; ++i)
        packet[12 + i] = rtp::RTPSession::encodeALaw(int16_t(2000 * std::sin(0.2 * i)));
    uint32_t n = 0;
    uint16_t sequence = 0;
    uint32_t timestamp = 0;
    for (auto _ : state) {
        // One packet arrives per frame played, as in a steady call.
        packet[2] = uint8_t(sequence >> 8);
        packet[3] = uint8_t(sequence);
        packet[4] = uint8_t(timestamp >> 24);
        packet[5] = uint8_t(timestamp >> 16);
        packet[6] = uint8_t(timestamp >> 8);
        packet[7] = uint8_t(timestamp);
        ++sequence;
        timestamp += kFrame;
        call.line->session.getStream().deliverDatagram(packet, sizeof packet);
        if ((n % 15) == 0)
            call.phone.sendDtmf('5'); // key feedback mixed into most frames
        benchmark::DoNotOptimize(call.phone.getFrame(n++, frame.data(), kFrame, false));
    }
    reportCoreShare(state, 1);
}
BENCHMARK(BM_GetFrame)->Arg(0)->Arg(1);

// One frame each way: the whole local path of one call.
void BM_LocalPathPerFrame(benchmark::State& state) {
    Call call("mic");
    std::vector<int16_t> in(kFrame), out(kFrame);
    const std::vector<int16_t> source = speechLikeFrame(2);
    uint8_t packet[12 + kFrame] = {0x80, 8};
    uint32_t n = 0;
    for (auto _ : state) {
        packet[2] = uint8_t(n >> 8);
        packet[3] = uint8_t(n);
        const uint32_t ts = n * kFrame;
        packet[4] = uint8_t(ts >> 24);
        packet[5] = uint8_t(ts >> 16);
        packet[6] = uint8_t(ts >> 8);
        packet[7] = uint8_t(ts);
        call.line->session.getStream().deliverDatagram(packet, sizeof packet);
        call.phone.getFrame(n + 2, out.data(), kFrame, false);
        in = source;
        call.phone.putFrame(n, in.data(), kFrame);
        ++n;
        if ((n & 63) == 0) {
            state.PauseTiming();
            call.sink.empty();
            state.ResumeTiming();
        }
    }
    reportCoreShare(state, 1);
}
BENCHMARK(BM_LocalPathPerFrame);

void BM_EchoCancellerFrame(benchmark::State& state) {
    kbrphone::EchoSuppressor echo;
    std::vector<int16_t> played = speechLikeFrame(3), captured(kFrame);
    uint32_t n = 0;
    for (auto _ : state) {
        echo.played(n + 2, played.data(), kFrame);
        for (int i = 0; i < kFrame; ++i)
            captured[i] = int16_t(played[i] / 3);
        echo.cancel(n, captured.data(), kFrame);
        ++n;
    }
    reportCoreShare(state, 1);
}
BENCHMARK(BM_EchoCancellerFrame);

} // namespace

BENCHMARK_MAIN();
