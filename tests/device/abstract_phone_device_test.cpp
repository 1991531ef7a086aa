// The line table of the headset base and the buttons it turns into phone operations.
#include "phone/phone_fakes.h"

#include "AbstractPhoneDevice.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace phonetest;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace {

// Records of the phone_device category at level 2.
class DeviceLog : public testsupport::LogLines {
public:
    static DeviceLog& instance() {
        static DeviceLog* log = [] {
            auto* l = new DeviceLog;
            kmt::DebugRoot::instance()->addOutput(l);
            return l;
        }();
        return *log;
    }
    void write(const char* category, int, const char*, int, std::ostringstream& text) override {
        if (std::string(category) == "phone_device")
            keep(text.str());
    }
    int level(const kmt::DebugCategory& category, int proposed) override {
        return category.getName() == "phone_device" ? 2 : proposed;
    }
};
DeviceLog& deviceLog = DeviceLog::instance();

class TestDevice : public AbstractPhoneDevice {
public:
    using AbstractPhoneDevice::AbstractPhoneDevice;
    void start() override {}
};

struct Report {
    const char* lineId;
    int state;
    bool active;
};

class HeadsetLineTable : public ::testing::Test {
protected:
    void SetUp() override {
        FakeCreator creator(journal, false);
        phone = std::make_unique<TestPhone>(nullptr, creator, journal);
        protocol = new FakeProtocol(phone.get(), journal);
        for (int i = 0; i < 3; ++i)
            protocol->newLine();
        device = std::make_unique<TestDevice>(phone.get());
        journal.take();
        deviceLog.take();
    }
    void TearDown() override {
        drain(*phone);
        for (int i = 1; i <= 3; ++i)
            delete phone->findLine("line" + std::to_string(i));
        device.reset();
        phone.reset();
    }

    void report(const std::vector<Report>& reports) {
        for (const Report& r : reports) {
            const std::string id = r.lineId;
            device->lineStateChanged(r.lineId, r.state, r.active, false, "Local", "sip:local@127.0.0.1",
                                     ("Remote " + id).c_str(), ("sip:" + id + "@127.0.0.1").c_str());
        }
    }
    // The line operations the device posted, after the loop has run them.
    std::vector<std::string> operations() {
        drain(*phone);
        return journal.take();
    }
    std::vector<std::string> tableText() {
        std::vector<std::string> out;
        for (const LineInfo& line : device->lines())
            out.push_back(line.lineId + ":" + std::to_string(line.state) + (line.active ? "*" : ""));
        return out;
    }

    Journal journal;
    std::unique_ptr<TestPhone> phone;
    FakeProtocol* protocol = nullptr;
    std::unique_ptr<TestDevice> device;
};

TEST_F(HeadsetLineTable, TableFollowsTheReports) {
    struct Case {
        const char* name;
        std::vector<Report> reports;
        std::vector<std::string> table;
    };
    const Case cases[] = {
        {"end of an unknown line changes nothing", {{"line1", 5, false}, {"line2", 8, false}}, {"line1:5"}},
        {"state 9 of an unknown line changes nothing", {{"line1", 6, true}, {"line3", 9, true}}, {"line1:6*"}},
        {"lines keep the order of their first report",
         {{"line2", 5, false}, {"line1", 1, true}, {"line2", 6, true}},
         {"line2:6*", "line1:1"}},
        {"an ended line goes and later lines move up",
         {{"line1", 6, false}, {"line2", 6, false}, {"line3", 5, false}, {"line1", 8, false}},
         {"line2:6", "line3:5"}},
        {"state 9 removes as well", {{"line1", 7, true}, {"line1", 9, false}}, {}},
        {"two lines active in turn leave only the later one active",
         {{"line1", 6, true}, {"line2", 6, true}},
         {"line1:6", "line2:6*"}},
        {"a line reported inactive leaves the other active line alone",
         {{"line1", 6, true}, {"line2", 5, false}},
         {"line1:6*", "line2:5"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device = std::make_unique<TestDevice>(phone.get());
        report(c.reports);
        EXPECT_THAT(tableText(), ElementsAreArray(c.table));
    }
}

TEST_F(HeadsetLineTable, NamesAndUrisAreThoseOfTheFirstReport) {
    device->lineStateChanged("line1", 5, false, true, "A", "sip:a@127.0.0.1", "B", "sip:b@127.0.0.1");
    device->lineStateChanged("line1", 6, true, false, "C", "sip:c@127.0.0.1", "D", "sip:d@127.0.0.1");
    const std::vector<LineInfo> lines = device->lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].state, 6);
    EXPECT_TRUE(lines[0].active);
    EXPECT_TRUE(lines[0].initiator);
    EXPECT_EQ(lines[0].localName, "A");
    EXPECT_EQ(lines[0].localUri, "sip:a@127.0.0.1");
    EXPECT_EQ(lines[0].remoteName, "B");
    EXPECT_EQ(lines[0].remoteUri, "sip:b@127.0.0.1");
}

TEST_F(HeadsetLineTable, ButtonsBecomeLineOperations) {
    enum Button { hook, swap, answerRinging };
    struct Case {
        const char* name;
        std::vector<Report> reports;
        Button button;
        std::vector<std::string> operations;
    };
    const Case cases[] = {
        {"hook hangs up the active connected call", {{"line1", 6, true}}, hook, {"line1 hangup"}},
        {"hook hangs up an active call being dialled", {{"line1", 1, true}}, hook, {"line1 hangup"}},
        {"hook answers the active offered call", {{"line1", 5, true}, {"line2", 5, false}}, hook,
         {"line1 answerIncoming"}},
        {"hook after a remote end answers the newest ringing line",
         {{"line1", 7, true}, {"line2", 5, false}, {"line3", 5, false}},
         hook,
         {"line3 answerIncoming"}},
        {"hook without an active line answers the newest ringing line",
         {{"line1", 5, false}, {"line2", 5, false}, {"line3", 6, false}},
         hook,
         {"line2 answerIncoming"}},
        {"hook after a remote end with nothing ringing does nothing", {{"line1", 7, true}}, hook, {}},
        {"hook with an empty table does nothing", {}, hook, {}},
        {"swap activates the next connected call",
         {{"line1", 6, true}, {"line2", 6, false}, {"line3", 5, false}},
         swap,
         {"line2 activate"}},
        {"swap wraps around the table",
         {{"line1", 6, false}, {"line2", 5, false}, {"line3", 6, true}},
         swap,
         {"line1 activate"}},
        {"swap with only the active call does nothing", {{"line1", 6, true}, {"line2", 5, false}}, swap, {}},
        {"swap without an active call activates the first record",
         {{"line1", 5, false}, {"line2", 6, false}},
         swap,
         {"line1 activate"}},
        {"swap with an empty table does nothing", {}, swap, {}},
        {"answer takes the last ringing line",
         {{"line1", 5, false}, {"line2", 6, true}, {"line3", 5, false}},
         answerRinging,
         {"line3 answerIncoming"}},
        {"answer with nothing ringing does nothing", {{"line1", 6, true}}, answerRinging, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device = std::make_unique<TestDevice>(phone.get());
        report(c.reports);
        operations();
        switch (c.button) {
        case hook:
            device->hookButton();
            break;
        case swap:
            device->swapButton();
            break;
        case answerRinging:
            device->answerRingingLine();
            break;
        }
        EXPECT_THAT(operations(), ElementsAreArray(c.operations));
    }
}

TEST_F(HeadsetLineTable, LineOperationsPostToTheNamedLine) {
    report({{"line1", 5, false}, {"line2", 6, true}});
    device->rejectLine(0);
    device->activateLine(0);
    device->hangupLine(1);
    device->answerLine(-1);
    device->hangupLine(7); // beyond the table: nothing
    EXPECT_THAT(operations(), ElementsAre("line1 rejectIncoming", "line1 activate", "line2 hangup"));
}

TEST_F(HeadsetLineTable, Queries) {
    struct Case {
        const char* name;
        std::vector<Report> reports;
        bool ringing;
        bool open;
    };
    const Case cases[] = {
        {"empty", {}, false, false},
        {"one offered", {{"line1", 5, false}}, true, false},
        {"offered and remote ended", {{"line1", 7, true}, {"line2", 5, false}}, true, true},
        {"only remote ended", {{"line1", 7, true}}, false, true},
        {"one connected while another rings", {{"line1", 5, false}, {"line2", 6, true}}, false, true},
        {"dialling", {{"line1", 1, true}}, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device = std::make_unique<TestDevice>(phone.get());
        report(c.reports);
        EXPECT_EQ(device->isRinging(), c.ringing);
        EXPECT_EQ(device->hasOpenLines(), c.open);
    }
    device = std::make_unique<TestDevice>(phone.get());
    report({{"line1", 6, true}, {"line2", 5, false}});
    EXPECT_TRUE(device->isLineActive("line1"));
    EXPECT_FALSE(device->isLineActive("line2"));
    EXPECT_FALSE(device->isLineActive("nosuchline"));
    EXPECT_TRUE(device->ringerEnabled());
}

TEST_F(HeadsetLineTable, LogLinesOfReportsAndOperations) {
    device->lineStateChanged("line1", 5, false, true, "Me", "sip:me@127.0.0.1", "You", "sip:you@127.0.0.1");
    device->lineStateChanged("line1", 5, true, true, "Me", "sip:me@127.0.0.1", "You", "sip:you@127.0.0.1");
    device->hookButton();
    device->hangupLine(0);
    device->rejectLine(0);
    device->activateLine(0);
    EXPECT_THAT(deviceLog.take(),
                ElementsAre("LineState (line1) changed: 5, local name Me (sip:me@127.0.0.1), remote nameYou "
                            "(sip:you@127.0.0.1), active is0, is initiator 1",
                            "LineState (line1) changed: 5, local name Me (sip:me@127.0.0.1), remote nameYou "
                            "(sip:you@127.0.0.1), active is1, is initiator 1",
                            "answer active incoming line", "answer line from You(sip:you@127.0.0.1)",
                            "hangup line with You (sip:you@127.0.0.1)", "reject line with You (sip:you@127.0.0.1)",
                            "activate line with You (sip:you@127.0.0.1)"));
}

TEST_F(HeadsetLineTable, BeepBecomesThePhonesLocalSound) {
    EXPECT_FALSE(phone->hasLocalSound());
    device->playBeep();
    EXPECT_TRUE(phone->hasLocalSound());
    device->playBeep(); // replaces (and frees) the first
    EXPECT_TRUE(phone->hasLocalSound());
}

TEST(DeviceWithoutPhone, EveryOperationIsHarmless) {
    TestDevice device(nullptr);
    device.lineStateChanged("a", 5, true, false, nullptr, nullptr, nullptr, nullptr);
    device.lineStateChanged("b", 6, false, false, "", "", "", "");
    device.hookButton();
    device.swapButton();
    device.answerRingingLine();
    device.answerLine(0);
    device.playBeep();
    EXPECT_TRUE(device.ringerEnabled());
    EXPECT_EQ(device.lines().size(), 2u);
}

} // namespace
