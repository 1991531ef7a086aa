// Test doubles of the protocol, the lines, the media and the headset device around a real phone.
#pragma once
#include "support/LogLines.h"

#include "LineActions.h"
#include "Phone.h"
#include "kmt/log.h"

#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace phonetest {

// Everything the doubles are told, in order, with the thread it happened on.
class Journal {
public:
    void add(const std::string& entry) {
        std::lock_guard<std::mutex> guard(lock);
        entries.push_back(entry);
        threads.push_back(std::this_thread::get_id());
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<std::string> out;
        out.swap(entries);
        threads.clear();
        return out;
    }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> guard(lock);
        return entries;
    }
    std::vector<std::thread::id> threadsSnapshot() {
        std::lock_guard<std::mutex> guard(lock);
        return threads;
    }

private:
    std::mutex lock;
    std::vector<std::string> entries;
    std::vector<std::thread::id> threads;
};

class FakeChannel : public kbrphone::TransportChannel {
public:
    void putFrame(uint32_t, int16_t* samples, int count) override {
        ++framesSent;
        lastSample = count > 0 ? samples[0] : 0;
    }
    bool getFrame(uint32_t, int16_t* samples, int count, bool) override {
        for (int i = 0; i < count; ++i)
            samples[i] = 7;
        return true;
    }
    bool sendDtmf(char) override { return false; }
    void restart() override {}

    int framesSent = 0;
    int16_t lastSample = 0;
};

class FakeLine : public kbrphone::Line {
public:
    FakeLine(kbrphone::Phone* phone, const std::string& id, const std::string& name, Journal& journal_)
        : Line(phone, id, name), journal(journal_) {}
    ~FakeLine() override { journal.add(getLineId() + " deleted"); }

    void dial(const std::string& number, const std::string& displayName) override {
        record("dial " + number + " '" + displayName + "'");
    }
    void hangup() override {
        record("hangup");
        if (endOnHangup)
            setState(kbrphone::lineEnded);
    }
    void toneFinished() override { record("toneFinished"); }
    void putOnHold() override { record("putOnHold"); }
    void activate() override { record("activate"); }
    void setRinging() override { record("setRinging"); }
    void answerIncoming() override { record("answerIncoming"); }
    void rejectIncoming() override { record("rejectIncoming"); }
    void busyIncoming() override { record("busyIncoming"); }
    void blindTransfer(const std::string& target) override { record("blindTransfer " + target); }
    void transfer(Line* other) override { record("transfer " + other->getLineId()); }
    std::string remoteName() override { return "Remote " + getLineId(); }
    std::string remoteUri() override { return "sip:remote@127.0.0.1"; }
    std::string localName() override { return "Local"; }
    std::string localUri() override { return "sip:local@127.0.0.1"; }
    std::string calledUri() override { return ""; }
    bool isInternal() override { return false; }
    int wrapUpTime() override { return 0; }
    kbrphone::TransportChannel* transportChannel() override { return hasChannel ? &channel : nullptr; }
    rtp::RTPSession* rtpSession() override { return nullptr; }

    FakeChannel channel;
    bool hasChannel = true;
    // hangup ends the line (state 8), as the SIP line does.
    bool endOnHangup = false;
    // The next operation throws this text (once).
    std::string throwNext;

private:
    void record(const std::string& what) {
        journal.add(getLineId() + " " + what);
        if (!throwNext.empty()) {
            std::string text;
            text.swap(throwNext);
            throw std::runtime_error(text);
        }
    }
    Journal& journal;
};

class FakeProtocol : public kbrphone::Protocol {
public:
    FakeProtocol(kbrphone::Phone* phone, Journal& journal_) : Protocol(phone), journal(journal_) {}
    ~FakeProtocol() override { journal.add("protocol deleted"); }

    kbrphone::Line* createLine(const std::string& name) override {
        std::unique_ptr<FakeLine> line(
            new FakeLine(phone, "line" + std::to_string(++created), name, journal));
        phone->addLine(line.get());
        return line.release();
    }
    void processEvents() override { phone->run(); }
    void registerWithProxy(const std::string& user, const std::string&, const std::string&,
                           const std::string&, const std::string& host, int port) override {
        journal.add("register " + user + "@" + host + ":" + std::to_string(port));
    }
    void setProxy(const std::string&, const std::string&, const std::string&, const std::string&,
                  const std::string&, int) override {}
    void cancelRegistration() override { journal.add("cancel registration"); }

    FakeLine* newLine(const std::string& name = "") { return static_cast<FakeLine*>(createLine(name)); }

private:
    Journal& journal;
    int created = 0;
};

class FakeDevice : public PhoneDeviceInterface {
public:
    explicit FakeDevice(Journal& journal_) : journal(journal_) {}
    void start() override { journal.add("device start"); }
    void lineStateChanged(const char* lineId, int state, bool active, bool initiator, const char*,
                          const char*, const char*, const char*) override {
        std::ostringstream s;
        s << "device " << lineId << " state " << state << " active " << active << " initiator " << initiator;
        journal.add(s.str());
    }
    void setMute(bool muted) override { journal.add(std::string("device mute ") + (muted ? "on" : "off")); }

private:
    Journal& journal;
};

class FakeCreator : public PhoneDeviceCreatorBase {
public:
    FakeCreator(Journal& journal_, bool makeDevice_) : journal(journal_), makeDevice(makeDevice_) {}
    void create(PhoneDeviceInterface*& device, kbrphone::Phone*) override {
        device = makeDevice ? new FakeDevice(journal) : nullptr;
    }

private:
    Journal& journal;
    bool makeDevice;
};

class FakeMediaDevice : public MediaDevice {
public:
    explicit FakeMediaDevice(Journal& journal_) : journal(journal_) {}
    ~FakeMediaDevice() override { journal.add("audio deleted"); }
    void start() override { journal.add("audio start"); }
    void stop() override { journal.add("audio stop"); }
    void setInputLevel(float) override {}
    float getInputLevel() override { return 1.0f; }
    void setOutputLevel(float) override {}
    float getOutputLevel() override { return 1.0f; }

private:
    Journal& journal;
};

class FakeMediaManager : public MediaManager {
public:
    explicit FakeMediaManager(Journal& journal_) : journal(journal_) {}
    MediaDevice* createDevice(const std::string& input, const std::string& output, MediaChannel*,
                              int frameSamples, int sampleRate) override {
        journal.add("audio open " + input + "/" + output + " " + std::to_string(frameSamples) + " " +
                    std::to_string(sampleRate));
        if (failOpen)
            throw std::runtime_error("no such device");
        return new FakeMediaDevice(journal);
    }
    std::vector<std::string> getInputDevices() override { return {"mic"}; }
    std::vector<std::string> getOutputDevices() override { return {"speaker"}; }
    std::string getActualInputDevice(const std::string&) override { return "mic"; }
    std::string getActualOutputDevice(const std::string&) override { return "speaker"; }
    void setInputLevel(const std::string&, float) override {}
    float getInputLevel(const std::string&) override { return 1.0f; }
    void setOutputLevel(const std::string&, float) override {}
    float getOutputLevel(const std::string&) override { return 1.0f; }

    bool failOpen = false;

private:
    Journal& journal;
};

// The phone with its notifications recorded.
class TestPhone : public kbrphone::Phone {
public:
    TestPhone(std::unique_ptr<MediaManager> manager, PhoneDeviceCreatorBase& creator, Journal& journal_)
        : Phone(std::move(manager), creator), journal(journal_) {}

    void registrationStateChanged(int state, const std::string& text) override {
        journal.add("registration " + std::to_string(state) + " " + text);
    }
    void lineStateChanged(kbrphone::Line* line, bool active) override {
        journal.add("java " + line->getLineId() + " state " + std::to_string(line->getState()) + " active " +
                    std::to_string(active));
    }
    void buttonPressed(int code) override { journal.add("button " + std::to_string(code)); }
    void requestDialing(const std::string& number) override { journal.add("requestDialing " + number); }
    void muteStateChanged(bool muted) override {
        journal.add(std::string("java mute ") + (muted ? "on" : "off"));
    }

private:
    Journal& journal;
};

// Log records of the categories phone and jphone, captured at level 3.
class LogCapture : public testsupport::LogLines {
public:
    static LogCapture& instance();

    void write(const char*, int, const char*, int, std::ostringstream& text) override { keep(text.str()); }
    int level(const kmt::DebugCategory& category, int proposed) override {
        return category.getName() == "phone" ? 3 : proposed;
    }
};

inline LogCapture& LogCapture::instance() {
    static LogCapture* capture = [] {
        auto* c = new LogCapture;
        kmt::DebugRoot::instance()->addOutput(c);
        return c;
    }();
    return *capture;
}

// Runs every posted action that is due now on the calling thread; bounded.
inline int drain(kbrphone::Phone& phone) {
    int ran = 0;
    while (phone.timerCount() > 0 && ran < 1000) {
        phone.runOnce();
        ++ran;
    }
    return ran;
}

} // namespace phonetest
