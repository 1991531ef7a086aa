// The engine in a process of its own for the end-to-end call tests: the phone with the SIP end point, its
// loop on a thread of its own, and an audio device that runs on a 20 ms clock (a tone out, the received
// audio counted). Commands come on standard input, one a line, and reach the engine as the Java side's
// would (posted line actions); events go to standard output, one a line:
//
//   proxy|register USER DISPLAY AUTHUSER PASSWORD HOST PORT      unregister
//   line [NAME]                      -> LINE <id>
//   dial ID NUMBER | hangup ID | answer ID | reject ID | busy ID | ring ID | hold ID | activate ID
//   blind ID TARGET | transfer ID OTHERID | counts | record PATH | quit
//   (record: from now on the audio received is appended to PATH as 8 kHz 16-bit samples; "record -" stops)
//
//   REG <state> <text>
//   STATE <id> <state> active=<0|1> name=<name> remote=<uri> local=<uri> internal=<0|1> wrapup=<n>
//   STATS <id> expected=<n> lost=<n> heard=<frames with audio received while the line was active>
//   COUNTS dialogs=<n> calls=<n> lines=<n> threads=<n>
//
// The engine's log goes to standard error.
#include "CallStatistics.h"
#include "LineActions.h"
#include "MediaManager.h"
#include "Phone.h"
#include "RTPSession.h"
#include "SipEndPoint.h"
#include "SipInviteDialog.h"

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

std::mutex outputLock;

void emit(const std::string& line) {
    std::lock_guard<std::mutex> guard(outputLock);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

size_t threadCount() {
    size_t n = 0;
    if (DIR* d = ::opendir("/proc/self/task")) {
        while (dirent* e = ::readdir(d))
            n += e->d_name[0] != '.';
        ::closedir(d);
    }
    return n;
}

std::atomic<long> heardFrames{0};

// Where the received audio goes while a recording runs.
std::mutex recordingLock;
std::FILE* recording = nullptr;

void record(const int16_t* samples, int count) {
    std::lock_guard<std::mutex> guard(recordingLock);
    if (recording)
        std::fwrite(samples, sizeof samples[0], static_cast<size_t>(count), recording);
}

void startRecording(const std::string& path) {
    std::lock_guard<std::mutex> guard(recordingLock);
    if (recording)
        std::fclose(recording);
    recording = path == "-" ? nullptr : std::fopen(path.c_str(), "ab");
    if (path != "-" && !recording)
        throw std::runtime_error("cannot write " + path);
}

// Runs the phone's frames on a 20 ms clock: a 400 Hz tone goes out, received audio is counted.
class ClockedDevice : public MediaDevice {
public:
    explicit ClockedDevice(MediaChannel* consumer_) : consumer(consumer_) {}
    ~ClockedDevice() override { stop(); }
    void start() override {
        running = true;
        worker = std::thread([this] { run(); });
    }
    void stop() override {
        running = false;
        if (worker.joinable())
            worker.join();
    }
    void setInputLevel(float) override {}
    float getInputLevel() override { return 1.0f; }
    void setOutputLevel(float) override {}
    float getOutputLevel() override { return 1.0f; }

private:
    void run() {
        int16_t out[160];
        int16_t in[160];
        uint32_t frame = 0;
        auto next = std::chrono::steady_clock::now();
        while (running) {
            for (int i = 0; i < 160; ++i)
                out[i] = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 400 * (frame * 160 + i) / 8000.0));
            consumer->putFrame(frame, out, 160);
            if (consumer->getFrame(frame, in, 160, false)) {
                record(in, 160);
                for (int i = 0; i < 160; ++i) {
                    if (in[i] > 1000 || in[i] < -1000) {
                        ++heardFrames;
                        break;
                    }
                }
            }
            ++frame;
            next += std::chrono::milliseconds(20);
            std::this_thread::sleep_until(next);
        }
    }

    MediaChannel* consumer;
    std::atomic<bool> running{false};
    std::thread worker;
};

class ClockedManager : public MediaManager {
public:
    MediaDevice* createDevice(const std::string&, const std::string&, MediaChannel* consumer, int,
                              int) override {
        return new ClockedDevice(consumer);
    }
    std::vector<std::string> getInputDevices() override { return {"clock"}; }
    std::vector<std::string> getOutputDevices() override { return {"clock"}; }
    std::string getActualInputDevice(const std::string&) override { return "clock"; }
    std::string getActualOutputDevice(const std::string&) override { return "clock"; }
    void setInputLevel(const std::string&, float) override {}
    float getInputLevel(const std::string&) override { return 1.0f; }
    void setOutputLevel(const std::string&, float) override {}
    float getOutputLevel(const std::string&) override { return 1.0f; }
};

class NoDevice : public PhoneDeviceCreatorBase {
public:
    void create(PhoneDeviceInterface*& device, kbrphone::Phone*) override { device = nullptr; }
};

class DriverPhone : public kbrphone::Phone {
public:
    explicit DriverPhone(PhoneDeviceCreatorBase& creator)
        : Phone(std::make_unique<ClockedManager>(), creator) {}
    void registrationStateChanged(int state, const std::string& text) override {
        emit("REG " + std::to_string(state) + " " + text);
    }
    void lineStateChanged(kbrphone::Line* line, bool active) override {
        const int state = line->getState();
        if (state == kbrphone::lineEnded) {
            std::ostringstream s;
            s << "STATS " << line->getLineId();
            if (rtp::RTPSession* session = line->rtpSession()) {
                const kbrphone::CallStatistics c = kbrphone::readCallStatistics(*session);
                s << " expected=" << c.expected << " lost=" << c.lost;
            } else {
                s << " expected=0 lost=0";
            }
            s << " heard=" << heardFrames.exchange(0);
            emit(s.str());
        }
        std::ostringstream s;
        s << "STATE " << line->getLineId() << " " << state << " active=" << (active ? 1 : 0)
          << " name=" << line->getName() << " remote=" << line->remoteUri() << " local=" << line->localUri()
          << " internal=" << (line->isInternal() ? 1 : 0) << " wrapup=" << line->wrapUpTime();
        emit(s.str());
    }
};

// Reports the live calls from the loop thread, where the end point's map lives.
class CountsAction : public kbrphone::InvokeLaterAction {
public:
    explicit CountsAction(DriverPhone* phone_) : phone(phone_) {}
    void run() override {
        auto* endPoint = static_cast<sip::SipEndPoint*>(phone->getProtocol());
        emit("COUNTS dialogs=" + std::to_string(endPoint->dialogCount()) +
             " calls=" + std::to_string(sip::SipInviteDialog::instanceCount()) +
             " lines=" + std::to_string(phone->lineCount()) + " threads=" + std::to_string(threadCount()));
    }

private:
    DriverPhone* phone;
};

} // namespace

int main() {
    // Standard output carries the events only.
    std::cout.rdbuf(std::cerr.rdbuf());
    kmt::ipMode = 1;
    NoDevice creator;
    DriverPhone phone(creator);
    kbrphone::Protocol* protocol = phone.getProtocol();
    std::thread loop([&] {
        try {
            protocol->processEvents();
        } catch (const std::exception& e) {
            std::cerr << "loop ended: " << e.what() << std::endl;
        }
    });
    using Line = kbrphone::Line;
    std::string text;
    while (std::getline(std::cin, text)) {
        std::istringstream in(text);
        std::string command, a, b, c, d, e, f;
        in >> command;
        try {
            if (command == "proxy" || command == "register") {
                in >> a >> b >> c >> d >> e >> f;
                if (command == "proxy")
                    protocol->setProxy(a, b, c, d, e, std::stoi(f));
                else
                    protocol->registerWithProxy(a, b, c, d, e, std::stoi(f));
            } else if (command == "unregister") {
                protocol->cancelRegistration();
            } else if (command == "line") {
                in >> a;
                emit("LINE " + protocol->createLine(a)->getLineId());
            } else if (command == "dial") {
                in >> a >> b;
                kbrphone::post(&phone, new kbrphone::LineAction2(&phone, a, &Line::dial, b, ""));
            } else if (command == "blind") {
                in >> a >> b;
                kbrphone::post(&phone, new kbrphone::LineAction1(&phone, a, &Line::blindTransfer, b));
            } else if (command == "transfer") {
                in >> a >> b;
                kbrphone::post(&phone, new kbrphone::TransferLineAction(&phone, a, b));
            } else if (command == "record") {
                in >> a;
                startRecording(a);
                emit("RECORDING " + a);
            } else if (command == "counts") {
                kbrphone::post(&phone, new CountsAction(&phone));
            } else if (command == "quit") {
                break;
            } else {
                static const std::pair<const char*, void (Line::*)()> simple[] = {
                    {"hangup", &Line::hangup},         {"answer", &Line::answerIncoming},
                    {"reject", &Line::rejectIncoming}, {"busy", &Line::busyIncoming},
                    {"ring", &Line::setRinging},       {"hold", &Line::putOnHold},
                    {"activate", &Line::activate},
                };
                bool known = false;
                in >> a;
                for (const auto& s : simple) {
                    if (command == s.first) {
                        kbrphone::post(&phone, new kbrphone::LineAction(&phone, a, s.second));
                        known = true;
                    }
                }
                if (!known && !command.empty())
                    emit("ERROR unknown command " + command);
            }
        } catch (const std::exception& error) {
            emit(std::string("ERROR ") + error.what());
        }
    }
    phone.stop();
    loop.join();
    startRecording("-");
    emit("BYE");
    // Calls still running go with the process.
    std::fflush(stdout);
    std::_Exit(0);
}
