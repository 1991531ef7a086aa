// A real phone with recording lines, and the log records of the headset categories.
#pragma once

#include "phone/phone_fakes.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace vendortest {

// Records of the headset categories at level 2, as "<category> <level>: <text>".
class VendorLog : public testsupport::LogLines {
public:
    static VendorLog& instance() {
        static VendorLog* log = [] {
            auto* l = new VendorLog;
            kmt::DebugRoot::instance()->addOutput(l);
            return l;
        }();
        return *log;
    }
    void write(const char* category, int level, const char*, int, std::ostringstream& text) override {
        const std::string name = category ? category : "";
        if (name == "plantronics" || name == "jabra" || name == "epos" || name == "phone_device")
            keep(name + " " + std::to_string(level) + ": " + text.str());
    }
    int level(const kmt::DebugCategory& category, int proposed) override {
        const std::string name = category.getName();
        if (name == "plantronics" || name == "jabra" || name == "epos" || name == "phone_device")
            return 4;
        return proposed;
    }
    // The records of one category at level 1 (errors).
    std::vector<std::string> errors(const std::string& category) {
        std::vector<std::string> out;
        for (const std::string& line : take())
            if (line.rfind(category + " 1: ", 0) == 0)
                out.push_back(line.substr(category.size() + 4));
        return out;
    }
};

// A phone with three lines (line1..line3) that records the operations the device posts.
class PhoneFixture : public ::testing::Test {
protected:
    void SetUp() override {
        VendorLog::instance();
        phonetest::FakeCreator creator(journal, false);
        phone = std::make_unique<phonetest::TestPhone>(nullptr, creator, journal);
        protocol = new phonetest::FakeProtocol(phone.get(), journal);
        for (int i = 0; i < 3; ++i)
            protocol->newLine();
        journal.take();
    }
    void TearDown() override {
        phonetest::drain(*phone);
        for (int i = 1; i <= 3; ++i)
            delete phone->findLine("line" + std::to_string(i));
        phone.reset();
    }
    // What the phone did after running what the device posted.
    std::vector<std::string> operations() {
        phonetest::drain(*phone);
        std::vector<std::string> out;
        for (const std::string& entry : journal.take())
            if (entry.rfind("java ", 0) != 0 || entry.rfind("java mute", 0) == 0)
                out.push_back(entry);
        return out;
    }
    // Reports one line state the way the phone does.
    static void report(PhoneDeviceInterface& device, const std::string& lineId, int state, bool active,
                       const char* remoteName = "Bob", const char* remoteUri = "sip:bob@127.0.0.1") {
        device.lineStateChanged(lineId.c_str(), state, active, false, "Me", "sip:me@127.0.0.1", remoteName, remoteUri);
    }

    phonetest::Journal journal;
    std::unique_ptr<phonetest::TestPhone> phone;
    phonetest::FakeProtocol* protocol = nullptr;
};

} // namespace vendortest
