// Jabra headsets through the Jabra SDK stand-in: the SDK's start, the headset chosen for the call
// signals, line states to off-hook, online and ringer, buttons to phone operations, and teardown.
#include "vendor_fixture.h"

#include "JabraDevice/JabraDevice.h"
#include "plat/dl.h"

#include <gmock/gmock.h>

#include <sstream>

using namespace vendortest;
using jabra_device::JabraDevice;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

// The stand-in's driver, reached the way a JVM-hosted test reaches it: by its exported names.
struct JabraDriver {
    static JabraDriver& get() {
        static JabraDriver* driver = new JabraDriver;
        return *driver;
    }
    void reset() { fn<void (*)()>("jabra_driver_reset")(); }
    void setInitializeResult(bool result) { fn<void (*)(bool)>("jabra_driver_set_initialize_result")(result); }
    void firstScanDone() { fn<void (*)()>("jabra_driver_first_scan_done")(); }
    void attach(unsigned short id, const char* name) {
        fn<void (*)(unsigned short, const char*)>("jabra_driver_attach")(id, name);
    }
    void remove(unsigned short id) { fn<void (*)(unsigned short)>("jabra_driver_remove")(id); }
    void button(unsigned short id, int input, bool value) {
        fn<void (*)(unsigned short, int, bool)>("jabra_driver_button")(id, input, value);
    }
    void setStatus(const char* function, int status) {
        fn<void (*)(const char*, int)>("jabra_driver_set_status")(function, status);
    }
    std::vector<std::string> takeCalls() {
        char buffer[8192];
        fn<int (*)(char*, int)>("jabra_driver_take_calls")(buffer, sizeof buffer);
        std::vector<std::string> out;
        std::istringstream lines(buffer);
        for (std::string line; std::getline(lines, line);)
            out.push_back(line);
        return out;
    }
    int state(unsigned short id, const char* which) {
        return fn<int (*)(unsigned short, const char*)>("jabra_driver_state")(id, which);
    }
    int unfreedRecords() { return fn<int (*)()>("jabra_driver_unfreed_records")(); }

private:
    JabraDriver() {
        plat::SetDllDirectoryA(KBR_VENDOR_LIBDIR);
        module = plat::LoadLibraryA("libjabra.dll");
        plat::SetDllDirectoryA(nullptr);
    }
    template <class F>
    F fn(const char* name) {
        EXPECT_NE(module, nullptr);
        return reinterpret_cast<F>(plat::GetProcAddress(module, name));
    }
    plat::HMODULE module = nullptr;
};

class Jabra : public PhoneFixture {
protected:
    void SetUp() override {
        PhoneFixture::SetUp();
        driver().reset();
        plat::SetDllDirectoryA(KBR_VENDOR_LIBDIR); // the product is installed
        VendorLog::instance().take();
    }
    void TearDown() override {
        device.reset();
        plat::SetDllDirectoryA(nullptr);
        EXPECT_EQ(driver().unfreedRecords(), 0);
        PhoneFixture::TearDown();
    }
    static JabraDriver& driver() { return JabraDriver::get(); }
    // A running device with the given headsets attached; the calls so far are dropped.
    void startWith(std::vector<unsigned short> headsets) {
        device.reset(JabraDevice::create(phone.get()));
        ASSERT_NE(device, nullptr);
        for (unsigned short id : headsets)
            driver().attach(id, ("Jabra Evolve " + std::to_string(id)).c_str());
        driver().takeCalls();
        VendorLog::instance().take();
    }

    std::unique_ptr<JabraDevice> device;
};

TEST_F(Jabra, WithoutTheLibraryThereIsNoDevice) {
    // Once loaded in this process the library would be found by name; hide it as uninstalled.
    plat::SetDllDirectoryA(nullptr);
    plat::testing::setLibraryMissing("libjabra.dll", true);
    device.reset(JabraDevice::create(phone.get()));
    plat::testing::setLibraryMissing("libjabra.dll", false);
    EXPECT_EQ(device, nullptr);
    EXPECT_THAT(VendorLog::instance().errors("jabra"), ElementsAre("Cannot load jabra library"));
    EXPECT_THAT(driver().takeCalls(), IsEmpty());
}

TEST_F(Jabra, StartsTheSdkWithTheApplicationId) {
    startWith({});
    device.reset();
    EXPECT_THAT(driver().takeCalls(), ElementsAre("Uninitialize"));
    device.reset(JabraDevice::create(phone.get()));
    EXPECT_THAT(driver().takeCalls(),
                ElementsAre("SetAppID Qm7TxR2vLp9WcN4hYs8KdF3gJa6ZuB1eVo5XiM0nHq4=", "InitializeV2"));
}

TEST_F(Jabra, SdkThatDoesNotStartThrowsAndLeavesNoDevice) {
    driver().setInitializeResult(false);
    try {
        JabraDevice::create(phone.get());
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot initialize the jabra sdk");
    }
    // Callbacks reach no device; the record is handed back all the same.
    driver().attach(3, "late");
    driver().button(3, 5, true);
    EXPECT_THAT(operations(), IsEmpty());
}

struct Step {
    const char* line;
    int state;
    bool active;
};

TEST_F(Jabra, LineStatesDriveTheHeadset) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<std::string> calls;
    } cases[] = {
        {"outgoing call answered and ended",
         {{"line1", 1, true}, {"line1", 6, true}, {"line1", 8, false}},
         {"SetOffHook 7 1", "SetRinger 7 0", "SetRinger 7 0", "SetOffHook 7 0", "SetOnline 7 0"}},
        {"incoming call answered and ended",
         {{"line1", 5, false}, {"line1", 6, true}, {"line1", 8, false}},
         {"SetOnline 7 1", "SetRinger 7 1", "SetRinger 7 0", "SetOffHook 7 1", "SetRinger 7 0", "SetOffHook 7 0",
          "SetOnline 7 0"}},
        {"incoming call missed",
         {{"line1", 5, false}, {"line1", 9, false}},
         {"SetOnline 7 1", "SetRinger 7 1", "SetRinger 7 0", "SetOnline 7 0"}},
        {"second call ringing during a call, then the first ends",
         {{"line1", 6, true}, {"line2", 5, false}, {"line1", 8, false}},
         {"SetRinger 7 0", "SetOffHook 7 1", "SetOnline 7 1", "SetRinger 7 0", "SetRinger 7 1", "SetOffHook 7 0",
          "SetOnline 7 0"}},
        {"other states send nothing", {{"line1", 2, false}, {"line1", 3, false}, {"line1", 4, false}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startWith({7});
        for (const Step& s : c.steps)
            report(*device, s.line, s.state, s.active);
        EXPECT_THAT(driver().takeCalls(), ElementsAreArray(c.calls));
        device.reset();
    }
}

TEST_F(Jabra, StatesReachTheHeadset) {
    startWith({7});
    report(*device, "line1", 5, false);
    EXPECT_EQ(driver().state(7, "online"), 1);
    EXPECT_EQ(driver().state(7, "ringer"), 1);
    report(*device, "line1", 6, true);
    EXPECT_EQ(driver().state(7, "ringer"), 0);
    EXPECT_EQ(driver().state(7, "hook"), 1);
    device->setMute(true);
    EXPECT_EQ(driver().state(7, "mute"), 1);
    report(*device, "line1", 8, false);
    EXPECT_EQ(driver().state(7, "hook"), 0);
    EXPECT_EQ(driver().state(7, "online"), 0);
}

TEST_F(Jabra, RingerOffSendsNoRingerSignal) {
    startWith({7});
    phone->enableRinger(false);
    report(*device, "line1", 5, false);
    EXPECT_THAT(driver().takeCalls(), ElementsAre("SetOnline 7 1"));
    EXPECT_EQ(driver().state(7, "ringer"), 0);
    report(*device, "line1", 9, false);
    driver().takeCalls();
    phone->enableRinger(true);
    report(*device, "line2", 5, false);
    EXPECT_THAT(driver().takeCalls(), ElementsAre("SetOnline 7 1", "SetRinger 7 1"));
}

TEST_F(Jabra, TheLastAttachedHeadsetCarriesTheCall) {
    startWith({7, 9});
    report(*device, "line1", 5, false);
    EXPECT_THAT(driver().takeCalls(), ElementsAre("SetOnline 9 1", "SetRinger 9 1"));
    // Removing the chosen headset: the next signal picks the new last one.
    driver().remove(9);
    report(*device, "line1", 6, true);
    EXPECT_THAT(driver().takeCalls(), ElementsAre("SetRinger 7 0", "SetOffHook 7 1"));
    // Without any headset nothing is sent, and nothing fails.
    driver().remove(7);
    report(*device, "line1", 8, false);
    device->setMute(true);
    EXPECT_THAT(driver().takeCalls(), IsEmpty());
}

TEST_F(Jabra, InputEighteenHoldsBackEverySignalUntilReleased) {
    startWith({7});
    driver().button(7, 18, true);
    report(*device, "line1", 5, false);
    report(*device, "line1", 6, true);
    device->setMute(true);
    EXPECT_THAT(driver().takeCalls(), IsEmpty());
    driver().button(7, 18, false);
    device->setMute(false);
    EXPECT_THAT(driver().takeCalls(), ElementsAre("SetMute 7 0"));
}

TEST_F(Jabra, ButtonsBecomePhoneOperations) {
    struct Case {
        const char* name;
        std::vector<Step> lines;
        int input;
        bool value;
        std::vector<std::string> operations;
    } cases[] = {
        {"hook pressed while ringing answers", {{"line1", 5, false}}, 1, true, {"line1 answerIncoming"}},
        {"hook pressed during a call does nothing", {{"line1", 6, true}, {"line2", 5, false}}, 1, true, {}},
        {"hook released hangs up the active line", {{"line1", 6, true}}, 1, false, {"line1 hangup"}},
        {"hook released without active line", {{"line1", 5, false}}, 1, false, {}},
        {"input 24 pressed while ringing answers", {{"line1", 5, false}}, 24, true, {"line1 answerIncoming"}},
        {"input 24 released does nothing", {{"line1", 6, true}}, 24, false, {}},
        {"mute", {}, 2, true, {"java mute on"}},
        {"swap to the held line", {{"line1", 6, true}, {"line2", 6, false}}, 3, true, {"line2 activate"}},
        {"digit 0", {}, 5, true, {"button 0"}},
        {"digit 9", {}, 14, false, {"button 9"}},
        {"star", {}, 15, true, {"button 10"}},
        {"hash", {}, 16, true, {"button 11"}},
        {"input 17 does nothing", {}, 17, true, {}},
        {"reject the last ringing line", {{"line1", 5, false}, {"line2", 5, false}, {"line3", 6, true}}, 22, true,
         {"line2 rejectIncoming"}},
        {"unknown input", {{"line1", 5, false}}, 99, true, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startWith({7});
        for (const Step& s : c.lines)
            report(*device, s.line, s.state, s.active);
        operations();
        driver().button(7, c.input, c.value);
        EXPECT_THAT(operations(), ElementsAreArray(c.operations));
        device.reset();
        phone->setMute(false);
        operations();
    }
}

TEST_F(Jabra, FailedStatesAreLogged) {
    startWith({7});
    driver().setStatus("SetOnline", 2);
    driver().setStatus("SetRinger", 3);
    report(*device, "line1", 5, false);
    std::vector<std::string> failures;
    for (const std::string& line : VendorLog::instance().take())
        if (line.find("failed") != std::string::npos)
            failures.push_back(line);
    EXPECT_THAT(failures, ElementsAre("jabra 2: Set device 7 online(true) failed: 2",
                                      "jabra 2: Set RingerEnabled(7 ,true) failed: 3"));
}

TEST_F(Jabra, CallbacksAfterTeardownDoNothing) {
    startWith({7});
    report(*device, "line1", 5, false);
    driver().takeCalls();
    device.reset();
    EXPECT_THAT(driver().takeCalls(), ElementsAre("Uninitialize"));
    driver().button(7, 1, true);
    driver().button(7, 5, true);
    driver().attach(8, "late");
    driver().remove(7);
    EXPECT_THAT(operations(), IsEmpty());
}

TEST_F(Jabra, CallbacksRacingTeardownCrashNothing) {
    startWith({7});
    report(*device, "line1", 5, false);
    std::thread buttons([&] {
        for (int i = 0; i < 500; ++i)
            driver().button(7, 5 + i % 12, true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    device.reset();
    buttons.join();
    operations();
}

TEST_F(Jabra, HeadsetNamesAreLoggedAsPrintableText) {
    startWith({});
    struct Case {
        const char* name;
        const char* logged;
    } cases[] = {{"Evolve\x01\xff 65", "jabra 2: Device attached Evolve?? 65 (4)"},
                 {"", "jabra 2: Device attached  (4)"}};
    for (const Case& c : cases) {
        driver().attach(4, c.name);
        EXPECT_THAT(VendorLog::instance().take(), ::testing::Contains(c.logged));
    }
    // A headset with an empty name carries calls like any other.
    report(*device, "line1", 5, false);
    EXPECT_THAT(driver().takeCalls(), ElementsAre("SetOnline 4 1", "SetRinger 4 1"));
}

} // namespace
