// The device the phone gets for each combination of installed headset products, checked by which
// product receives the line states; and the combined device's order.
#include "vendor_fixture.h"

#include "EPOS/EposDevice.h"
#include "JabraDevice/JabraDevice.h"
#include "PlantronicsManager/PlantronicsManager.h"
#include "ThreadedPhoneDevice.h"
#include "dsea/CallControlDriver.h"
#include "hid/BrimelHIDManager.h"
#include "plat/dl.h"
#include "spokes3g/HubDriver.h"

#include <gmock/gmock.h>

#include <sstream>

using namespace vendortest;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using HidDevice = ThreadedPhoneDevice<CBrimelHIDManager>;

// A function of the Jabra stand-in's driver.
template <class F>
F jabraDriver(const char* name) {
    // Opened once, before any test hides the library, and kept.
    static plat::HMODULE module = [] {
        plat::SetDllDirectoryA(KBR_VENDOR_LIBDIR);
        plat::HMODULE m = plat::LoadLibraryA("libjabra.dll");
        plat::SetDllDirectoryA(nullptr);
        return m;
    }();
    EXPECT_NE(module, nullptr);
    return module ? reinterpret_cast<F>(plat::GetProcAddress(module, name)) : nullptr;
}

std::vector<std::string> jabraCalls() {
    char buffer[8192];
    jabraDriver<int (*)(char*, int)>("jabra_driver_take_calls")(buffer, sizeof buffer);
    std::vector<std::string> out;
    std::istringstream lines(buffer);
    for (std::string line; std::getline(lines, line);)
        out.push_back(line);
    return out;
}

void attachJabraHeadset() {
    jabraDriver<void (*)(unsigned short, const char*)>("jabra_driver_attach")(7, "Evolve");
}

class DeviceChoice : public PhoneFixture {
protected:
    void TearDown() override {
        delete device;
        device = nullptr;
        spokes3g::hub::uninstall();
        dsea::driver::setPresent(false);
        plat::testing::setLibraryMissing("libjabra.dll", false);
        plat::SetDllDirectoryA(nullptr);
        PhoneFixture::TearDown();
    }
    PhoneDeviceInterface* device = nullptr;
};

TEST_F(DeviceChoice, EachCombinationOfProductsGetsItsDevice) {
    enum Built { Plantronics, JabraAndEpos, EposOnly, JabraAndHid, HidOnly };
    struct Case {
        bool plantronics, jabra, epos;
        Built built;
    } cases[] = {
        {true, true, true, Plantronics},   {true, false, false, Plantronics}, {false, true, true, JabraAndEpos},
        {false, false, true, EposOnly},    {false, true, false, JabraAndHid}, {false, false, false, HidOnly},
    };
    jabraCalls();
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "plantronics " << c.plantronics << " jabra " << c.jabra << " epos "
                                          << c.epos);
        if (c.plantronics) {
            spokes3g::hub::install();
            spokes3g::hub::takeCommands();
        }
        plat::testing::setLibraryMissing("libjabra.dll", !c.jabra);
        if (c.jabra)
            plat::SetDllDirectoryA(KBR_VENDOR_LIBDIR);
        dsea::driver::setPresent(c.epos);
        const int eposCreates = dsea::driver::createCalls();
        jabraDriver<void (*)()>("jabra_driver_reset")();
        dsea::driver::takeCalls();

        DefaultPhoneDeviceCreator creator;
        creator.create(device, phone.get());
        plat::SetDllDirectoryA(nullptr);
        ASSERT_NE(device, nullptr);
        if (c.jabra && c.built != Plantronics)
            attachJabraHeadset();
        device->start();
        report(*device, "line1", 5, false);

        const bool hubCalled = !spokes3g::hub::takeCommands().empty();
        const std::vector<std::string> jabra = jabraCalls();
        const std::vector<std::string> epos = dsea::driver::takeCalls();
        auto* combined = dynamic_cast<CombindedPhoneDevice*>(device);
        switch (c.built) {
        case Plantronics:
            EXPECT_NE(dynamic_cast<plantronics_device::PlantronicsManager*>(device), nullptr);
            EXPECT_TRUE(hubCalled);
            // Neither the Jabra nor the EPOS library is touched.
            EXPECT_THAT(jabra, IsEmpty());
            EXPECT_EQ(dsea::driver::createCalls(), eposCreates);
            break;
        case JabraAndEpos:
            ASSERT_NE(combined, nullptr);
            EXPECT_NE(dynamic_cast<jabra_device::JabraDevice*>(combined->getFirst()), nullptr);
            EXPECT_NE(dynamic_cast<epos_device::EposDevice*>(combined->getSecond()), nullptr);
            EXPECT_THAT(jabra, ElementsAre(::testing::StartsWith("SetAppID "), "InitializeV2", "SetOnline 7 1",
                                           "SetRinger 7 1"));
            EXPECT_THAT(epos, ElementsAre("Start", "IncomingCall line1"));
            break;
        case EposOnly:
            EXPECT_NE(dynamic_cast<epos_device::EposDevice*>(device), nullptr);
            EXPECT_THAT(epos, ElementsAre("Start", "IncomingCall line1"));
            EXPECT_FALSE(hubCalled);
            break;
        case JabraAndHid: {
            ASSERT_NE(combined, nullptr);
            EXPECT_NE(dynamic_cast<jabra_device::JabraDevice*>(combined->getFirst()), nullptr);
            auto* hid = dynamic_cast<HidDevice*>(combined->getSecond());
            ASSERT_NE(hid, nullptr);
            EXPECT_EQ(hid->getDevice()->lines().size(), 1u);
            EXPECT_THAT(jabra, ElementsAre(::testing::StartsWith("SetAppID "), "InitializeV2", "SetOnline 7 1",
                                           "SetRinger 7 1"));
            EXPECT_THAT(epos, IsEmpty());
            break;
        }
        case HidOnly: {
            auto* hid = dynamic_cast<HidDevice*>(device);
            ASSERT_NE(hid, nullptr);
            EXPECT_EQ(hid->getDevice()->lines().size(), 1u);
            EXPECT_THAT(epos, IsEmpty());
            EXPECT_FALSE(hubCalled);
            break;
        }
        }
        delete device;
        device = nullptr;
        spokes3g::hub::uninstall();
        plat::testing::setLibraryMissing("libjabra.dll", false);
        jabraCalls();
    }
}

// Records what it is told, with its name, into a shared list.
class NamedDevice : public PhoneDeviceInterface {
public:
    NamedDevice(std::string name, std::vector<std::string>& log) : name(std::move(name)), log(log) {}
    ~NamedDevice() override { log.push_back(name + " deleted"); }
    void start() override { log.push_back(name + " start"); }
    void lineStateChanged(const char* lineId, int state, bool, bool, const char*, const char*, const char*,
                          const char*) override {
        log.push_back(name + " " + lineId + " " + std::to_string(state));
    }
    void setMute(bool muted) override { log.push_back(name + " mute " + std::to_string(muted)); }

private:
    std::string name;
    std::vector<std::string>& log;
};

TEST(CombindedPhoneDevice, ForwardsToFirstThenSecondAndDeletesSecondFirst) {
    std::vector<std::string> log;
    auto* combined = new CombindedPhoneDevice(nullptr, new NamedDevice("a", log), new NamedDevice("b", log));
    combined->start();
    combined->lineStateChanged("line1", 5, false, false, "", "", "", "");
    combined->setMute(true);
    combined->setAudioDevices("mic", "speaker");
    delete combined;
    EXPECT_THAT(log, ElementsAre("a start", "b start", "a line1 5", "b line1 5", "a mute 1", "b mute 1",
                                 "b deleted", "a deleted"));
}

} // namespace

namespace {

TEST_F(DeviceChoice, JabraThatDoesNotStartLeavesTheHidDeviceAlone) {
    jabraDriver<void (*)()>("jabra_driver_reset")();
    jabraDriver<void (*)(bool)>("jabra_driver_set_initialize_result")(false);
    plat::SetDllDirectoryA(KBR_VENDOR_LIBDIR);
    VendorLog::instance().take();
    DefaultPhoneDeviceCreator creator;
    creator.create(device, phone.get());
    plat::SetDllDirectoryA(nullptr);
    jabraDriver<void (*)()>("jabra_driver_reset")();
    EXPECT_NE(dynamic_cast<HidDevice*>(device), nullptr);
    const std::vector<std::string> errors = VendorLog::instance().errors("jabra");
    EXPECT_THAT(errors, ::testing::Contains("Cannot initialize the jabra sdk"));
}

} // namespace
