// The OPTIONS server that bench/sipp_options.sh measures with a sipp client; not a benchmark by itself.
// The phone's SIP end point, with its proxy set to 127.0.0.1:PROXY_PORT (the port the sipp client sends
// from), runs its loop on this thread as the product's processEvents does. It prints "SIP_PORT=n" once it
// serves, and stops when its standard input closes or after SECONDS (default 600).
//
//     bench_options_server PROXY_PORT [SECONDS]
#include "Phone.h"
#include "SipEndPoint.h"
#include "kmt/socket.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <thread>

namespace {

class NoDevice : public PhoneDeviceCreatorBase {
public:
    void create(PhoneDeviceInterface*& device, kbrphone::Phone*) override { device = nullptr; }
};

class ServingPhone : public kbrphone::Phone {
public:
    explicit ServingPhone(PhoneDeviceCreatorBase& creator) : Phone(nullptr, creator) {}
    void registrationStateChanged(int, const std::string&) override {}
    void lineStateChanged(kbrphone::Line*, bool) override {}
};

struct Stopper : kmt::EventCallbackBase {
    kmt::EventScheduler* scheduler = nullptr;
    void invoke() override { scheduler->stop(); }
};

// Returns once standard input is at its end or the time is up.
void waitForEnd(int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    char buffer[256];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{0, POLLIN, 0};
        if (::poll(&p, 1, 200) > 0 && ::read(0, buffer, sizeof buffer) <= 0)
            return;
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: bench_options_server PROXY_PORT [SECONDS]\n";
        return 2;
    }
    const int proxyPort = std::atoi(argv[1]);
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 600;
    if (proxyPort <= 0 || proxyPort > 65535 || seconds <= 0) {
        std::cerr << "bench_options_server: bad PROXY_PORT or SECONDS\n";
        return 2;
    }
    kmt::ipMode = 1;
    NoDevice creator;
    ServingPhone phone(creator);
    auto* endPoint = static_cast<sip::SipEndPoint*>(phone.getProtocol());
    endPoint->setProxy("bench", "Bench", "bench", "", "127.0.0.1", proxyPort);
    phone.runOnce();
    std::cout << "SIP_PORT=" << endPoint->socket.localAddress().port() << std::endl;

    Stopper stopper;
    stopper.scheduler = &phone;
    std::thread watcher([&] {
        waitForEnd(seconds);
        phone.addTimer(0, &stopper);
    });
    phone.run();
    watcher.join();
    return 0;
}
