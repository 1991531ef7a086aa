// Plantronics headsets through the hub's COM server: the objects handed to the hub, the call notices
// made from line states, the hub's events turned into phone operations, failures and teardown.
#include "vendor_fixture.h"

#include "PlantronicsManager/PlantronicsComObjects.h"
#include "PlantronicsManager/PlantronicsManager.h"
#include "spokes3g/HubDriver.h"

#include <gmock/gmock.h>

#include <atomic>
#include <thread>

using namespace plat;
using namespace vendortest;
using plantronics_device::PlantronicsManager;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
namespace hub = spokes3g::hub;

namespace {

// ---- the objects handed to the hub

TEST(PlantronicsObjects, EachAnswersItsThreeInterfacesOnly) {
    const long before = kmt::liveComObjects();
    struct Case {
        IDispatch* object;
        const IID* own;
    };
    auto* call = new plantronics_device::Call(4);
    auto* contact = new plantronics_device::Contact("Ann");
    const Case cases[] = {{call, &spokes3g::IID_ICOMCall}, {contact, &spokes3g::IID_ICOMContact}};
    for (const Case& c : cases) {
        for (const IID* iid : {&IID_IUnknown, &IID_IDispatch, c.own}) {
            void* out = nullptr;
            ASSERT_EQ(c.object->QueryInterface(*iid, &out), S_OK);
            EXPECT_EQ(out, static_cast<void*>(c.object));
            EXPECT_EQ(c.object->Release(), 1u); // the query added exactly one
        }
        void* out = nullptr;
        EXPECT_EQ(c.object->QueryInterface(spokes3g::IID_ICOMCallEvents, &out), E_NOINTERFACE);
        EXPECT_EQ(out, nullptr);
    }
    EXPECT_EQ(kmt::liveComObjects(), before + 2);
    // Not kept by anyone: one release destroys each.
    EXPECT_EQ(call->Release(), 0u);
    EXPECT_EQ(contact->Release(), 0u);
    EXPECT_EQ(kmt::liveComObjects(), before);
}

TEST(PlantronicsObjects, CallHoldsItsIdAndImplementsNothingElse) {
    for (int id : {1, -1, 2147483647}) {
        auto* call = new plantronics_device::Call(id);
        LONG value = 0;
        EXPECT_EQ(call->get_Id(&value), S_OK);
        EXPECT_EQ(value, id);
        EXPECT_EQ(call->get_Id(nullptr), E_POINTER);
        EXPECT_EQ(call->put_Id(7), S_OK);
        EXPECT_EQ(call->get_Id(&value), S_OK);
        EXPECT_EQ(value, 7);
        VARIANT_BOOL flag = 0;
        EXPECT_EQ(call->get_ConferenceId(&value), E_NOTIMPL);
        EXPECT_EQ(call->put_ConferenceId(1), E_NOTIMPL);
        EXPECT_EQ(call->get_InConference(&flag), E_NOTIMPL);
        EXPECT_EQ(call->put_InConference(VARIANT_TRUE), E_NOTIMPL);
        call->Release();
    }
}

TEST(PlantronicsObjects, ContactTextPropertiesAreOwnedCopies) {
    const long bstrs = plat::testing::liveBstrCount();
    auto* contact = new plantronics_device::Contact("");
    BSTR value = nullptr;
    // An empty name is an empty text, not a missing one; a property never set is missing.
    EXPECT_EQ(contact->get_Name(&value), S_OK);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(SysStringLen(value), 0u);
    SysFreeString(value);
    value = reinterpret_cast<BSTR>(0x1);
    EXPECT_EQ(contact->get_Email(&value), S_OK);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(contact->get_Email(nullptr), E_POINTER);
    EXPECT_EQ(contact->put_Email(nullptr), E_POINTER);

    BSTR first = SysAllocString(u"a@b.c");
    EXPECT_EQ(contact->put_Email(first), S_OK);
    BSTR copy = nullptr;
    EXPECT_EQ(contact->get_Email(&copy), S_OK);
    EXPECT_NE(copy, first); // the contact keeps a copy and hands out copies
    EXPECT_EQ(std::u16string(copy), u"a@b.c");
    // Setting the very text it holds changes nothing; an equal, distinct text replaces it.
    EXPECT_EQ(contact->put_Email(copy), S_OK);
    BSTR again = nullptr;
    EXPECT_EQ(contact->get_Email(&again), S_OK);
    EXPECT_EQ(std::u16string(again), u"a@b.c");
    for (BSTR s : {first, copy, again})
        SysFreeString(s);

    // An odd byte length is copied byte for byte.
    BSTR odd = SysAllocStringByteLen("xyz", 3);
    EXPECT_EQ(contact->put_Phone(odd), S_OK);
    SysFreeString(odd);
    EXPECT_EQ(contact->get_Phone(&value), S_OK);
    EXPECT_EQ(SysStringByteLen(value), 3u);
    SysFreeString(value);

    LONG id = 5;
    EXPECT_EQ(contact->get_Id(&id), S_OK);
    EXPECT_EQ(id, 0);
    EXPECT_EQ(contact->put_Id(-9), S_OK);
    EXPECT_EQ(contact->get_Id(&id), S_OK);
    EXPECT_EQ(id, -9);
    contact->Release();
    EXPECT_EQ(plat::testing::liveBstrCount(), bstrs);
}

TEST(PlantronicsObjects, ContactOutOfMemoryIsAnErrorCodeAndKeepsTheValue) {
    auto* contact = new plantronics_device::Contact("Ann");
    BSTR other = SysAllocString(u"Bob");
    plat::testing::failBstrAllocations(1);
    EXPECT_EQ(contact->put_Name(other), E_OUTOFMEMORY);
    BSTR value = reinterpret_cast<BSTR>(0x1);
    plat::testing::failBstrAllocations(1);
    EXPECT_EQ(contact->get_Name(&value), E_OUTOFMEMORY);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(contact->get_Name(&value), S_OK);
    EXPECT_EQ(std::u16string(value), u"Ann");
    SysFreeString(value);
    SysFreeString(other);
    contact->Release();
}

TEST(PlantronicsObjects, ContactNameComesFromUtf8) {
    auto* contact = new plantronics_device::Contact("J\xc3\xbcrgen \xe2\x82\xac");
    BSTR value = nullptr;
    EXPECT_EQ(contact->get_Name(&value), S_OK);
    EXPECT_EQ(std::u16string(value), u"J\u00fcrgen \u20ac");
    SysFreeString(value);
    contact->Release();
}

// ---- the manager against the hub

class Plantronics : public PhoneFixture {
protected:
    void SetUp() override {
        PhoneFixture::SetUp();
        comObjects = kmt::liveComObjects();
        hubObjects = hub::liveObjects();
        bstrs = plat::testing::liveBstrCount();
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        hub::clearFailures();
        VendorLog::instance().take();
    }
    void TearDown() override {
        manager.reset();
        hub::dropKeptSinks();
        // Every reference the engine took on the hub's objects is given back.
        EXPECT_EQ(hub::foreignReferences(), 0);
        EXPECT_EQ(hub::connectedSinks(), 0);
        hub::uninstall();
        hub::clearFailures();
        hub::takeCommands();
        EXPECT_EQ(hub::liveObjects(), hubObjects);
        EXPECT_EQ(kmt::liveComObjects(), comObjects);
        EXPECT_EQ(plat::testing::liveBstrCount(), bstrs);
        CoUninitialize();
        PhoneFixture::TearDown();
    }
    // Installs the hub with a headset and starts a manager on it.
    void startWithHub() {
        hub::install();
        hub::attachDevice("Voyager", "voyager-int", "Plantronics", "SN1");
        manager.reset(PlantronicsManager::create(phone.get()));
        ASSERT_NE(manager, nullptr);
        ::testing::internal::CaptureStdout();
        manager->start();
        startOutput = ::testing::internal::GetCapturedStdout();
        hub::takeCommands();
        VendorLog::instance().take();
    }
    HRESULT callState(int state, int callId, const std::u16string* dtmf = nullptr, bool onKept = false) {
        hub::CallEvent event;
        event.callState = state;
        event.callId = callId;
        if (dtmf) {
            event.withDtmf = true;
            event.dtmf = *dtmf;
        }
        return onKept ? hub::raiseOnKept(event) : hub::raiseCallState(event);
    }

    std::unique_ptr<PlantronicsManager> manager;
    std::string startOutput;
    long comObjects = 0;
    long hubObjects = 0;
    long bstrs = 0;
};

TEST_F(Plantronics, WithoutTheHubThereIsNoDeviceAndOneErrorLine) {
    struct Case {
        const char* name;
        bool installed;
        hub::Step step;
        HRESULT failure;
        const char* ending;
    } cases[] = {
        {"not installed", false, hub::Step::Create, S_OK, ": error 80040154: Class not registered"},
        {"not starting", true, hub::Step::Create, E_FAIL, ": error 80004005: Unspecified failure"},
        {"not running", true, hub::Step::Run, E_UNEXPECTED, ": error 8000ffff: unknown error:8000ffff"},
        {"no session manager", true, hub::Step::Query, E_NOINTERFACE, ": error 80004002: No such interface supported"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.installed)
            hub::install();
        hub::setFailure(c.step, c.failure);
        manager.reset(PlantronicsManager::create(phone.get()));
        EXPECT_EQ(manager, nullptr);
        const std::vector<std::string> errors = VendorLog::instance().errors("plantronics");
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind("No Plantronics hub found: ", 0), 0u) << errors[0];
        EXPECT_THAT(errors[0], HasSubstr("PlantronicsManager.cpp("));
        EXPECT_THAT(errors[0], ::testing::EndsWith(c.ending));
        EXPECT_EQ(hub::foreignReferences(), 0);
        hub::clearFailures();
        hub::uninstall();
    }
}

TEST_F(Plantronics, StartRegistersTheSessionAndReadsTheHeadset) {
    startWithHub();
    EXPECT_EQ(hub::pluginName(), "BrimelSoftphoneName = Brimel softphone");
    EXPECT_EQ(hub::connectedSinks(), 2);
    EXPECT_EQ(startOutput, "product name: Voyager\ninternal name: voyager-int\nmanufacturer name: Plantronics\n"
                           "serial number: SN1\n");
    // A device change from the hub reads the new headset.
    ::testing::internal::CaptureStdout();
    hub::attachDevice("Savi", "savi-int", "Plantronics", "SN2");
    EXPECT_THAT(::testing::internal::GetCapturedStdout(), HasSubstr("product name: Savi\n"));
    // No device: nothing is read.
    ::testing::internal::CaptureStdout();
    hub::detachDevice();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

struct LineReport {
    const char* line;
    int state;
    bool active;
    const char* remoteName;
};

TEST_F(Plantronics, LineStatesBecomeCallNotices) {
    struct Case {
        const char* name;
        std::vector<LineReport> reports;
        std::vector<std::string> notices;
    } cases[] = {
        {"ids count up per call, whether or not calls ended",
         {{"line1", 1, true, "Bob"}, {"line1", 8, false, "Bob"}, {"line2", 5, false, "Eve"}},
         {"outgoing 1 Bob", "resume 1", "terminate 1", "hold -1", "incoming 2 Eve"}},
        {"answered, hold, resume and terminate of an unknown line send -1",
         {{"line3", 6, true, "Bob"}, {"line3", 6, true, "Bob"}, {"line3", 6, false, "Bob"}, {"line3", 3, true, "Bob"},
          {"line3", 7, false, "Bob"}},
         {"resume -1", "answered -1", "hold -1", "resume -1", "terminate -1", "hold -1"}},
        {"a connected line that was not active is resumed, not answered",
         {{"line1", 5, false, "Ann"}, {"line1", 6, true, "Ann"}, {"line1", 6, true, "Ann"}},
         {"incoming 1 Ann", "resume 1", "answered 1"}},
        {"after terminate the line has no id",
         {{"line1", 5, false, "Ann"}, {"line1", 9, false, "Ann"}, {"line1", 6, true, "Ann"}, {"line1", 6, false, "Ann"}},
         {"incoming 1 Ann", "terminate 1", "resume -1", "hold -1"}},
        {"empty or missing remote name gives the remote uri",
         {{"line1", 5, false, ""}, {"line2", 1, false, nullptr}},
         {"incoming 1 sip:bob@127.0.0.1", "outgoing 2 sip:bob@127.0.0.1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        startWithHub();
        for (const LineReport& r : c.reports)
            report(*manager, r.line, r.state, r.active, r.remoteName);
        EXPECT_THAT(hub::takeCommands(), ElementsAreArray(c.notices));
        manager.reset();
        hub::uninstall();
    }
}

TEST_F(Plantronics, MuteGoesWithTheActiveLinesCall) {
    startWithHub();
    manager->setMute(true); // no active line
    report(*manager, "line1", 5, false);
    report(*manager, "line2", 1, true);
    hub::takeCommands();
    manager->setMute(true);
    manager->setMute(false);
    EXPECT_THAT(hub::takeCommands(), ElementsAre("mute-on 2", "mute-off 2"));
    report(*manager, "line1", 6, true);
    hub::takeCommands();
    manager->setMute(true);
    EXPECT_THAT(hub::takeCommands(), ElementsAre("mute-on 1"));
}

TEST_F(Plantronics, MuteWithoutActiveLineUsesMinusOne) {
    startWithHub();
    manager->setMute(true);
    EXPECT_THAT(hub::takeCommands(), ElementsAre("mute-on -1"));
}

TEST_F(Plantronics, HubEventsBecomePhoneOperations) {
    startWithHub();
    report(*manager, "line1", 5, false);  // call id 1
    report(*manager, "line2", 1, true);   // call id 2
    operations();
    hub::takeCommands();
    const std::u16string keys = u"1*#x";
    struct Case {
        const char* name;
        int state;
        int callId;
        const std::u16string* dtmf;
        std::vector<std::string> operations;
    } cases[] = {
        {"accept", 1, 1, nullptr, {"line1 answerIncoming"}},
        {"terminate", 2, 2, nullptr, {"line2 hangup"}},
        {"hold", 3, 2, nullptr, {"line2 putOnHold"}},
        {"resume", 4, 1, nullptr, {"line1 activate"}},
        {"unknown call id", 1, 9, nullptr, {}},
        {"no call", 2, -1, nullptr, {}},
        {"flash hangs up the active call", 5, -1, nullptr, {"line2 hangup"}},
        {"mute on", 11, 1, nullptr, {"java mute on"}},
        {"mute off", 12, 1, nullptr, {"java mute off"}},
        {"keys", 22, -1, &keys, {"button 1", "button 10", "button 11"}},
        {"keys without value", 22, -1, nullptr, {}},
        {"only logged", 7, 1, nullptr, {}},
        {"outside the table", 99, 1, nullptr, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(callState(c.state, c.callId, c.dtmf), S_OK);
        EXPECT_THAT(operations(), ElementsAreArray(c.operations));
    }
    const std::vector<std::string> errors = VendorLog::instance().errors("plantronics");
    EXPECT_THAT(errors, ElementsAre("call state event for unknown call id 9: ignored",
                                    "call state event for unknown call id -1: ignored"));
}

TEST_F(Plantronics, EventLogNamesStateKindAndKeys) {
    startWithHub();
    const std::u16string keys = u"5";
    callState(24, 3, &keys);
    callState(40, -1);
    std::vector<std::string> lines;
    for (const std::string& line : VendorLog::instance().take())
        if (line.find("onCallStateChanged") != std::string::npos)
            lines.push_back(line);
    EXPECT_THAT(lines, ElementsAre("plantronics 2: ICOMCallEvent::onCallStateChanged:\n    CallState = CallState_Hook"
                                   "\n    DeviceKind = DeviceEventKind_TalkPress\n    call_sourcee: headset"
                                   "\n    call_id = 3\n    DTMFKey = 5",
                                   "plantronics 2: ICOMCallEvent::onCallStateChanged:\n    CallState = <unknown>"
                                   "\n    DeviceKind = DeviceEventKind_TalkPress\n    call_sourcee: headset"
                                   "\n    DTMFKey not available"));
}

TEST_F(Plantronics, EventWithoutCallStateFails) {
    startWithHub();
    hub::CallEvent event;
    event.withState = false;
    event.callId = 1;
    EXPECT_EQ(hub::raiseCallState(event), E_FAIL);
    EXPECT_THAT(operations(), IsEmpty());
}

TEST_F(Plantronics, CallRequestsDialOnlyUsableNumbers) {
    startWithHub();
    struct Case {
        const char* name;
        std::u16string number;
        bool withContact;
        std::vector<std::string> operations;
        size_t errors;
    } cases[] = {
        {"number", u"+31 20 555", true, {"requestDialing +31 20 555"}, 0},
        {"no contact", u"", false, {}, 1},
        {"empty number", u"", true, {}, 1},
        {"control characters", u"12\n34", true, {}, 1},
        {"unpaired surrogate", std::u16string(u"12") + char16_t(0xD800), true, {"requestDialing 12\xef\xbf\xbd"}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(hub::raiseCallRequest(c.number, c.withContact), S_OK);
        EXPECT_THAT(operations(), ElementsAreArray(c.operations));
        EXPECT_EQ(VendorLog::instance().errors("plantronics").size(), c.errors);
    }
}

TEST_F(Plantronics, FailuresAtStartLeaveADeviceWithoutNotices) {
    struct Case {
        const char* name;
        hub::Step step;
        int sinks;
        size_t errors;
    } cases[] = {
        {"register refused: silent", hub::Step::Register, 1, 0},
        {"no settings", hub::Step::Settings, 1, 1},
        {"no call commands", hub::Step::CallCommand, 1, 1},
        {"connection refused", hub::Step::Advise, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hub::install();
        hub::setFailure(c.step, E_FAIL);
        manager.reset(PlantronicsManager::create(phone.get()));
        ASSERT_NE(manager, nullptr);
        manager->start();
        EXPECT_EQ(manager->callEventSink(), nullptr);
        EXPECT_EQ(hub::connectedSinks(), c.sinks);
        const std::vector<std::string> errors = VendorLog::instance().errors("plantronics");
        ASSERT_EQ(errors.size(), c.errors);
        if (c.errors) {
            EXPECT_EQ(errors[0].rfind("caught exception: ", 0), 0u) << errors[0];
        }
        // Line states still keep the table; nothing reaches the hub.
        report(*manager, "line1", 5, false);
        manager->setMute(true);
        EXPECT_EQ(manager->lines().size(), 1u);
        EXPECT_THAT(hub::takeCommands(), IsEmpty());
        manager.reset();
        hub::clearFailures();
        hub::uninstall();
    }
}

TEST_F(Plantronics, NullObjectsFromTheHubGiveOneLogLine) {
    struct Case {
        const char* name;
        hub::Step step;
        bool device;
        bool sink;
        const char* error;
    } cases[] = {
        {"no server object", hub::Step::Create, false, false, ": error 80004003: Invalid pointer"},
        {"no session", hub::Step::Register, true, false, "the hub registered the plug-in without a session"},
        {"no settings", hub::Step::Settings, true, true, "the hub gave no settings object"},
        {"no call commands", hub::Step::CallCommand, true, false, ": error 80004003: Invalid pointer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        hub::install();
        hub::setNullObject(c.step, true);
        manager.reset(PlantronicsManager::create(phone.get()));
        EXPECT_EQ(manager != nullptr, c.device);
        if (manager)
            manager->start();
        EXPECT_EQ(manager && manager->callEventSink(), c.sink);
        const std::vector<std::string> errors = VendorLog::instance().errors("plantronics");
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_THAT(errors[0], ::testing::EndsWith(c.error));
        manager.reset();
        hub::clearFailures();
        hub::uninstall();
    }
}

TEST_F(Plantronics, FailingNoticesAreLoggedAndTheTableStands) {
    startWithHub();
    hub::setFailure(hub::Step::Commands, E_FAIL);
    report(*manager, "line1", 5, false);
    report(*manager, "line1", 6, true);
    manager->setMute(true); // its result is ignored
    EXPECT_EQ(manager->lines().size(), 1u);
    EXPECT_THAT(hub::takeCommands(), ElementsAre("incoming 1 Bob", "resume 1", "mute-on 1"));
    const std::vector<std::string> errors = VendorLog::instance().errors("plantronics");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_THAT(errors[0], HasSubstr(": error 80004005: Unspecified failure"));
    EXPECT_EQ(errors[0].rfind("Ignoring exception: ", 0), 0u);
}

TEST_F(Plantronics, FailingDeviceReadsGoToStandardError) {
    hub::install();
    hub::attachDevice("Voyager", "i", "m", "s");
    hub::setFailure(hub::Step::DeviceName, E_FAIL);
    manager.reset(PlantronicsManager::create(phone.get()));
    ASSERT_NE(manager, nullptr);
    ::testing::internal::CaptureStderr();
    manager->start();
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(errors.rfind("Exception in attach device: ", 0), 0u) << errors;
    EXPECT_THAT(errors, HasSubstr("Unspecified failure"));
    // The session works nevertheless.
    ASSERT_NE(manager->callEventSink(), nullptr);
    report(*manager, "line1", 5, false);
    EXPECT_THAT(hub::takeCommands(), ElementsAre("incoming 1 Bob"));
}

TEST_F(Plantronics, EventsAfterTeardownDoNothing) {
    startWithHub();
    report(*manager, "line1", 5, false);
    hub::keepSinks(); // the hub still holds the sink, as a late event would
    manager.reset();
    EXPECT_EQ(hub::connectedSinks(), 0);
    EXPECT_EQ(callState(1, 1, nullptr, true), S_OK);
    EXPECT_EQ(callState(5, -1, nullptr, true), S_OK);
    EXPECT_EQ(callState(11, -1, nullptr, true), S_OK);
    EXPECT_EQ(hub::raiseCallRequest(u"123"), S_OK);
    EXPECT_THAT(operations(), IsEmpty());
}

TEST_F(Plantronics, EventsRacingTeardownCrashNothing) {
    startWithHub();
    report(*manager, "line1", 5, false);
    hub::keepSinks();
    std::atomic<bool> stop{false};
    std::thread events([&] {
        for (int i = 0; i < 2000 && !stop; ++i)
            callState(i % 2 ? 5 : 1, 1, nullptr, true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    manager.reset();
    stop = true;
    events.join();
    phonetest::drain(*phone);
    journal.take();
}

} // namespace
