// Helpers shared by the RTP tests: a log capture, a plain UDP peer on loopback, addresses.
#pragma once

#include "kmt/log.h"
#include "kmt/socket.h"

#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace rtptest {

struct LogLine {
    std::string category;
    int level;
    std::string text;
};

// Collects every record; raises the "rtp" category to level 2 so the packet logs can be tested.
class CaptureLog : public kmt::DebugManager {
public:
    static CaptureLog& instance();

    void write(const char* category, int level, const char*, int, std::ostringstream& text) override {
        std::lock_guard<std::mutex> guard(mutex);
        lines.push_back(LogLine{category, level, text.str()});
        changed.notify_all();
    }
    int level(const kmt::DebugCategory& category, int proposed) override {
        return category.getName() == "rtp" && proposed < 2 ? 2 : proposed;
    }
    void categoryAdded(kmt::DebugCategory*) override {}

    void clear() {
        std::lock_guard<std::mutex> guard(mutex);
        lines.clear();
    }
    // Lines of the category at or below the level whose text contains the fragment.
    size_t count(const std::string& category, int maxLevel, const std::string& fragment = "") {
        std::lock_guard<std::mutex> guard(mutex);
        return countLocked(category, maxLevel, fragment);
    }
    // Waits (at most timeoutMs) until at least n such lines exist; returns the count.
    size_t waitFor(size_t n, const std::string& category, int maxLevel, const std::string& fragment,
                   int timeoutMs) {
        std::unique_lock<std::mutex> guard(mutex);
        changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                         [&] { return countLocked(category, maxLevel, fragment) >= n; });
        return countLocked(category, maxLevel, fragment);
    }
    std::vector<LogLine> snapshot() {
        std::lock_guard<std::mutex> guard(mutex);
        return lines;
    }

private:
    size_t countLocked(const std::string& category, int maxLevel, const std::string& fragment) {
        size_t n = 0;
        for (const LogLine& l : lines)
            if (l.category == category && l.level <= maxLevel && l.text.find(fragment) != std::string::npos)
                ++n;
        return n;
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<LogLine> lines;
};

kmt::SocketAddress loopback(uint16_t port);

// A plain POSIX UDP socket on 127.0.0.1 standing in for the far end.
class UdpPeer {
public:
    explicit UdpPeer(uint16_t port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    uint16_t port() const { return boundPort; }
    kmt::SocketAddress address() const { return loopback(boundPort); }
    void sendTo(uint16_t port, const void* data, size_t length);
    // One datagram, or an empty vector after timeoutMs; source port in *from when given.
    bool receive(std::vector<uint8_t>& out, int timeoutMs, uint16_t* from = nullptr);
    // Everything that arrives until quietMs pass without a datagram (bounded by maxMs).
    std::vector<std::vector<uint8_t>> drain(int quietMs, int maxMs = 3000);

private:
    int fd = -1;
    uint16_t boundPort = 0;
};

// Two consecutive free UDP ports on loopback (port, port + 1), found by binding.
uint16_t freeUdpPortPair();

} // namespace rtptest
