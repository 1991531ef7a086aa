// Calls taken as the called party, in process: a UDP peer on 127.0.0.1 acts as the proxy and places each
// call (INVITE with an offer, ACK, BYE); the phone's notification answers on state 5 and hangs up on
// state 7, as the Java side does. One iteration is one whole call, so items per second are calls per
// second. Every 200 calls, outside the timing, the clock is moved on so that the ended calls' transactions
// run out, and the counters compare threads, open files and memory with the start.
#include "LineActions.h"
#include "Phone.h"
#include "SipEndPoint.h"
#include "SipInviteDialog.h"
#include "plat/time.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <malloc.h>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace {

class NoDevice : public PhoneDeviceCreatorBase {
public:
    void create(PhoneDeviceInterface*& device, kbrphone::Phone*) override { device = nullptr; }
};

// Answers an offered call and hangs up a call that the far end ended, through the posted line actions.
class AnsweringPhone : public kbrphone::Phone {
public:
    explicit AnsweringPhone(PhoneDeviceCreatorBase& creator) : Phone(nullptr, creator) {}
    void registrationStateChanged(int, const std::string&) override {}
    void lineStateChanged(kbrphone::Line* line, bool) override {
        if (line->getState() == kbrphone::lineOffered)
            answerIncoming(line->getLineId().c_str());
        else if (line->getState() == kbrphone::lineRemoteEnded)
            hangup(line->getLineId().c_str());
    }
};

struct Marker : kmt::EventCallbackBase {
    void invoke() override {}
};

size_t entriesIn(const char* folder) {
    size_t n = 0;
    if (DIR* d = ::opendir(folder)) {
        while (dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

long residentKb() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        std::fclose(f);
    }
    return resident * (::sysconf(_SC_PAGESIZE) / 1024);
}

std::string headerOf(const std::string& text, const std::string& name) {
    const std::string key = "\r\n" + name + ": ";
    size_t at = text.find(key);
    if (at == std::string::npos)
        return std::string();
    at += key.size();
    return text.substr(at, text.find("\r\n", at) - at);
}

class CallBench {
public:
    CallBench() : phone(creator), endPoint(*static_cast<sip::SipEndPoint*>(phone.getProtocol())) {
        kmt::ipMode = 1;
        peer = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(peer, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(peer, reinterpret_cast<sockaddr*>(&a), &len);
        peerPort = ntohs(a.sin_port);
        endPoint.setProxy("2001", "Desk", "auth2001", "secret", "127.0.0.1", peerPort);
        pump();
        sipPort = endPoint.socket.localAddress().port();
    }
    ~CallBench() {
        ::close(peer);
        plat::testing::setWallClockOffsetMs(0);
    }

    // Runs what is due and every datagram waiting at the end point, without waiting in real time.
    void pump() {
        for (int i = 0; i < 64; ++i) {
            phone.addTimer(1 << 30, &marker);
            phone.removeTimer(&marker);
            phone.runOnce();
            pollfd p{plat::socketFd(endPoint.socket.handle()), POLLIN, 0};
            if (i > 2 && ::poll(&p, 1, 0) <= 0)
                break;
        }
    }

    void send(const std::string& text) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(sipPort);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(peer, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }

    // Runs the loop until the peer receives a message whose first line and CSeq are as given.
    std::string awaitAnswer(const std::string& status, const std::string& cseq) {
        static char buffer[70000];
        for (int i = 0; i < 10000; ++i) {
            pump();
            ssize_t n;
            while ((n = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
                std::string text(buffer, static_cast<size_t>(n));
                if (text.compare(0, status.size(), status) == 0 && headerOf(text, "CSeq") == cseq)
                    return text;
            }
        }
        throw std::runtime_error("no " + status + " for " + cseq);
    }

    std::string request(const std::string& method, const std::string& callId, int cseq,
                        const std::string& toTag, const std::string& body) {
        std::ostringstream os;
        os << method << " sip:2001@127.0.0.1 SIP/2.0\r\n"
           << "Via: SIP/2.0/UDP 127.0.0.1:" << peerPort << ";branch=z9hG4bK" << callId << method
           << ";rport\r\n"
           << "From: <sip:3002@127.0.0.1>;tag=far\r\n"
           << "To: <sip:2001@127.0.0.1>" << (toTag.empty() ? "" : ";tag=" + toTag) << "\r\n"
           << "Call-ID: " << callId << "\r\n"
           << "CSeq: " << cseq << " " << method << "\r\n"
           << "Contact: <sip:3002@127.0.0.1:" << peerPort << ">\r\n";
        if (!body.empty())
            os << "Content-Type: application/sdp\r\n";
        os << "Content-Length: " << body.size() << "\r\n\r\n" << body;
        return os.str();
    }

    void call(long n) {
        const std::string callId = "bench-" + std::to_string(n);
        const std::string sdp =
            "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
            "m=audio " +
            std::to_string(peerPort) +
            " RTP/AVP 8 101\r\na=rtpmap:8 PCMA/8000\r\na=rtpmap:101 telephone-event/8000\r\n";
        send(request("INVITE", callId, 1, "", sdp));
        const std::string ok = awaitAnswer("SIP/2.0 200", "1 INVITE");
        const std::string to = headerOf(ok, "To");
        const std::string tag = to.substr(to.find(";tag=") + 5);
        send(request("ACK", callId, 1, tag, ""));
        send(request("BYE", callId, 2, tag, ""));
        awaitAnswer("SIP/2.0 200", "2 BYE");
        // The posted hang-up of state 7 runs.
        pump();
    }

    // Moves the clock on until the ended calls' transactions have run out, in steps that keep every timer
    // on time.
    void releaseEndedCalls() {
        int64_t offset = plat::testing::wallClockOffsetMs();
        for (int i = 0; i < 62; ++i) {
            offset += 500;
            plat::testing::setWallClockOffsetMs(offset);
            pump();
        }
        for (int i = 0; i < 20000 && endPoint.dialogCount() > 0; ++i) {
            plat::testing::setWallClockOffsetMs(++offset);
            pump();
        }
        char buffer[70000];
        while (::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
    }

    NoDevice creator;
    AnsweringPhone phone;
    sip::SipEndPoint& endPoint;
    Marker marker;
    int peer = -1;
    uint16_t peerPort = 0;
    uint16_t sipPort = 0;
};

struct QuietLog {
    QuietLog() : old(std::cout.rdbuf(sink.rdbuf())) {}
    ~QuietLog() { std::cout.rdbuf(old); }
    std::ostringstream sink;
    std::streambuf* old;
};

void BM_CalledPartyCall(benchmark::State& state) {
    QuietLog quiet;
    CallBench bench;
    const size_t threadsBefore = entriesIn("/proc/self/task");
    const size_t filesBefore = entriesIn("/proc/self/fd");
    const long memoryBefore = residentKb();
    long calls = 0;
    long rssPeak = 0;
    size_t heapPeak = 0;
    for (auto _ : state) {
        bench.call(calls++);
        if (calls % 200 == 0) {
            state.PauseTiming();
            // 200 ended calls wait for their transactions to run out: the most this loop holds.
            rssPeak = std::max(rssPeak, residentKb());
            heapPeak = std::max(heapPeak, ::mallinfo2().uordblks);
            bench.releaseEndedCalls();
            state.ResumeTiming();
        }
    }
    // The timing has ended with the loop.
    bench.releaseEndedCalls();
    state.counters["rss_peak_kb"] = static_cast<double>(rssPeak);
    state.counters["heap_peak_kb"] = static_cast<double>(heapPeak / 1024);
    state.counters["rss_idle_kb"] = static_cast<double>(residentKb());
    state.counters["heap_idle_kb"] = static_cast<double>(::mallinfo2().uordblks / 1024);
    state.SetItemsProcessed(calls);
    state.counters["calls"] = static_cast<double>(calls);
    state.counters["dialogs_left"] = static_cast<double>(sip::SipInviteDialog::instanceCount());
    state.counters["lines_left"] = static_cast<double>(bench.phone.lineCount());
    state.counters["threads_added"] =
        static_cast<double>(entriesIn("/proc/self/task")) - double(threadsBefore);
    state.counters["files_added"] = static_cast<double>(entriesIn("/proc/self/fd")) - double(filesBefore);
    state.counters["rss_growth_kb"] = static_cast<double>(residentKb() - memoryBefore);
}
BENCHMARK(BM_CalledPartyCall)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalledPartyCall)->Iterations(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_CalledPartyCall)->Iterations(10000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
