// EPOS headsets through the call-control stand-in: the instance made at creation, line states to the
// soft-phone event handler, the library's requests to phone operations, and teardown.
#include "vendor_fixture.h"

#include "EPOS/EposDevice.h"
#include "dsea/CallControlDriver.h"

#include <gmock/gmock.h>

#include <thread>

using namespace vendortest;
using epos_device::EposDevice;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
namespace driver = dsea::driver;

namespace {

class Epos : public PhoneFixture {
protected:
    void SetUp() override {
        PhoneFixture::SetUp();
        driver::setPresent(true);
        driver::setHandlerMissing(false);
        driver::takeCalls();
        VendorLog::instance().take();
    }
    void TearDown() override {
        device.reset();
        EXPECT_EQ(driver::instances(), 0);
        driver::setPresent(false);
        driver::setHandlerMissing(false);
        PhoneFixture::TearDown();
    }
    void startDevice() {
        device.reset(EposDevice::create(phone.get()));
        ASSERT_NE(device, nullptr);
        device->start();
        driver::takeCalls();
        VendorLog::instance().take();
    }
    std::unique_ptr<EposDevice> device;
};

TEST_F(Epos, WithoutTheServiceThereIsNoDevice) {
    struct Case {
        const char* name;
        bool present;
        bool handlerMissing;
        const char* error;
    } cases[] = {
        {"no instance", false, false, "Cannot create EPOS device: CreateCallControlInstance failed"},
        {"no handler", true, true,
         "Cannot create EPOS device: ICallControlInterface::GetSoftphoneEventHandler failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        driver::setPresent(c.present);
        driver::setHandlerMissing(c.handlerMissing);
        device.reset(EposDevice::create(phone.get()));
        EXPECT_EQ(device, nullptr);
        EXPECT_THAT(VendorLog::instance().errors("epos"), ElementsAre(c.error));
        EXPECT_EQ(driver::instances(), 0);
    }
}

TEST_F(Epos, CreationNamesTheApplicationAndStartStartsTheHandler) {
    device.reset(EposDevice::create(phone.get()));
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(driver::application(), "Brimel Softphone/Brimel/8 verbose=0");
    EXPECT_EQ(driver::instances(), 1);
    device->start();
    device->setMute(true);
    device->setMute(false);
    EXPECT_THAT(driver::takeCalls(), ElementsAre("Start", "Mute 1", "Mute 0"));
}

struct Step {
    const char* line;
    int state;
    bool active;
};

TEST_F(Epos, LineStatesBecomeHandlerCalls) {
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::vector<std::string> calls;
    } cases[] = {
        {"outgoing call connected and ended",
         {{"line1", 1, true}, {"line1", 6, true}, {"line1", 8, false}},
         {"OutgoingCall line1", "ActivateCall line1", "EndCall line1"}},
        {"incoming call that becomes active activates twice",
         {{"line1", 5, false}, {"line1", 6, true}},
         {"IncomingCall line1", "ActivateCall line1", "ActivateCall line1"}},
        {"a connected call put on hold: activate then hold",
         {{"line1", 5, false}, {"line1", 6, true}, {"line1", 6, false}},
         {"IncomingCall line1", "ActivateCall line1", "ActivateCall line1", "ActivateCall line1", "HoldCall line1"}},
        {"an ending line never reported calls nothing", {{"line2", 8, false}, {"line2", 6, true}}, {}},
        {"each end state ends once and forgets the line",
         {{"line1", 1, true}, {"line1", 3, false}, {"line1", 4, false}, {"line2", 5, false}, {"line2", 11, false}},
         {"OutgoingCall line1", "EndCall line1", "IncomingCall line2", "EndCall line2"}},
        {"a second report adds a second record; one end removes both",
         {{"line1", 5, false}, {"line1", 5, false}, {"line1", 9, false}, {"line1", 8, false}},
         {"IncomingCall line1", "IncomingCall line1", "EndCall line1"}},
        {"other states send nothing", {{"line1", 2, false}, {"line1", 7, false}, {"line1", 10, false}}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startDevice();
        for (const Step& s : c.steps)
            report(*device, s.line, s.state, s.active);
        EXPECT_THAT(driver::takeCalls(), ElementsAreArray(c.calls));
        device.reset();
    }
}

TEST_F(Epos, RequestsForReportedCallsBecomePhoneOperations) {
    startDevice();
    report(*device, "line1", 5, false);
    report(*device, "line2", 1, true);
    operations();
    struct Case {
        const char* what;
        const char* callId;
        std::vector<std::string> operations;
    } cases[] = {
        {"answer", "line1", {"line1 answerIncoming"}}, {"hold", "line2", {"line2 putOnHold"}},
        {"resume", "line2", {"line2 activate"}},       {"end", "line2", {"line2 hangup"}},
        {"reject", "line1", {"line1 rejectIncoming"}}, {"answer", "line3", {}},
        {"end", "", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + " " + c.callId);
        EXPECT_TRUE(driver::request(c.what, c.callId));
        EXPECT_THAT(operations(), ElementsAreArray(c.operations));
    }
    EXPECT_THAT(VendorLog::instance().errors("epos"),
                ElementsAre("request for an unknown call: ignored", "request for an unknown call: ignored"));
    EXPECT_TRUE(driver::mute(true));
    EXPECT_THAT(operations(), ElementsAre("java mute on"));
}

TEST_F(Epos, LibraryNoticesAreLogged) {
    startDevice();
    struct Case {
        int state;
        const char* line;
    } cases[] = {{0, "epos 2: logged out"},
                 {1, "epos 2: logged in standalone"},
                 {2, "epos 2: logged in sdk"},
                 {3, "epos 2: connecting"},
                 {4, "epos 1: unsupported version"}};
    for (const Case& c : cases) {
        driver::loginState(c.state);
        EXPECT_THAT(VendorLog::instance().take(), ElementsAre(c.line));
    }
    driver::loginState(9);
    EXPECT_THAT(VendorLog::instance().take(), IsEmpty());
    driver::headset("available", "id1", "EPOS ADAPT");
    driver::headset("connected", "id1", "EPOS\n ADAPT");
    driver::systemInformation("a", "b");
    driver::log(3, "hello");
    EXPECT_THAT(VendorLog::instance().take(),
                ElementsAre("epos 2: headset available: EPOS ADAPTid1", "epos 2: headset connnected: EPOS? ADAPTid1",
                            "epos 2: response system information: ab", "epos 4: log(3): hello"));
}

TEST_F(Epos, NoListenerCallAfterTeardown) {
    startDevice();
    report(*device, "line1", 5, false);
    device.reset();
    EXPECT_FALSE(driver::request("answer", "line1"));
    EXPECT_FALSE(driver::mute(true));
    EXPECT_THAT(operations(), IsEmpty());
}

TEST_F(Epos, RequestsRacingTeardownCrashNothing) {
    startDevice();
    report(*device, "line1", 5, false);
    std::thread requests([] {
        for (int i = 0; i < 500; ++i)
            driver::request(i % 2 ? "answer" : "end", "line1");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    device.reset();
    requests.join();
    operations();
}

} // namespace
