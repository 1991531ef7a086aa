#include "kmt/log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

using Env = std::map<std::string, std::string>;

// A private tree shaped like the engine's, on its own root with its own console output, so each
// test resolves levels from a clean start under the environment it sets.
struct Tree {
    explicit Tree(const std::map<std::string, std::string>& env) : vars(env) {
        for (auto& [k, v] : vars)
            setenv(k.c_str(), v.c_str(), 1);
        out = std::make_unique<kmt::CoutManager>(&root);
        generic = std::make_unique<kmt::DebugCategory>(&root, "generic");
        sip = std::make_unique<kmt::DebugCategory>(generic.get(), "sip");
        dialog = std::make_unique<kmt::DebugCategory>(sip.get(), "sip_dialog");
        invite = std::make_unique<kmt::DebugCategory>(dialog.get(), "sip_invite");
        reinvite = std::make_unique<kmt::DebugCategory>(invite.get(), "sip_reinvite");
        reg = std::make_unique<kmt::DebugCategory>(dialog.get(), "sip_register");
        core = std::make_unique<kmt::DebugCategory>(sip.get(), "sip_core");
        rtp = std::make_unique<kmt::DebugCategory>(generic.get(), "rtp");
    }
    ~Tree() {
        for (auto& [k, v] : vars)
            unsetenv(k.c_str());
    }
    std::map<std::string, std::string> vars;
    kmt::DebugRoot root;
    std::unique_ptr<kmt::CoutManager> out;
    std::unique_ptr<kmt::DebugCategory> generic, sip, dialog, invite, reinvite, reg, core, rtp;
};

struct CaptureCout {
    CaptureCout() : old(std::cout.rdbuf(text.rdbuf())) {}
    ~CaptureCout() { std::cout.rdbuf(old); }
    std::ostringstream text;
    std::streambuf* old;
};

struct LevelCase {
    const char* name;
    std::map<std::string, std::string> env;
    // Expected effective levels: generic, sip, sip_dialog, sip_invite, sip_reinvite, sip_register, sip_core,
    // rtp
    int expect[8];
};

class LevelTest : public ::testing::TestWithParam<LevelCase> {};

TEST_P(LevelTest, ResolvesFromEnvironmentAndInheritance) {
    const LevelCase& c = GetParam();
    Tree t(c.env);
    kmt::DebugCategory* cats[] = {t.generic.get(),  t.sip.get(), t.dialog.get(), t.invite.get(),
                                  t.reinvite.get(), t.reg.get(), t.core.get(),   t.rtp.get()};
    // Query children first: each must still inherit what its ancestors resolve.
    for (int i = 7; i >= 0; --i)
        EXPECT_EQ(cats[i]->effectiveLevel(), c.expect[i]) << c.name << " category " << cats[i]->getName();
}

INSTANTIATE_TEST_SUITE_P(
    Log, LevelTest,
    ::testing::Values(LevelCase{"none", {}, {1, 1, 1, 1, 1, 1, 1, 1}},
                      LevelCase{"sip 4, dialog 2",
                                {{"kbr_sip_level", "4"}, {"kbr_sip_dialog_level", "2"}},
                                {1, 4, 2, 2, 2, 2, 4, 1}},
                      LevelCase{"generic 3", {{"kbr_generic_level", "3"}}, {3, 3, 3, 3, 3, 3, 3, 3}},
                      LevelCase{"generic 3, rtp 5",
                                {{"kbr_generic_level", "3"}, {"kbr_rtp_level", "5"}},
                                {3, 3, 3, 3, 3, 3, 3, 5}},
                      LevelCase{"rtp 0 inherits",
                                {{"kbr_generic_level", "2"}, {"kbr_rtp_level", "0"}},
                                {2, 2, 2, 2, 2, 2, 2, 2}},
                      LevelCase{"rtp text inherits",
                                {{"kbr_generic_level", "2"}, {"kbr_rtp_level", "loud"}},
                                {2, 2, 2, 2, 2, 2, 2, 2}},
                      LevelCase{"atoi: blanks, sign, trailing text",
                                {{"kbr_sip_level", "  +5xyz"}},
                                {1, 5, 5, 5, 5, 5, 5, 1}},
                      LevelCase{"rtp negative is errors only",
                                {{"kbr_generic_level", "4"}, {"kbr_rtp_level", "-2"}},
                                {4, 4, 4, 4, 4, 4, 4, 1}}),
    [](const auto& info) {
        std::string n;
        for (const char* p = info.param.name; *p; ++p)
            n += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
        return n;
    });

TEST(Log, CachedLevelIgnoresLaterChangesButUnresolvedLevelIsReadAgain) {
    Tree t(Env{{"kbr_sip_level", "3"}});
    EXPECT_EQ(t.sip->effectiveLevel(), 3);
    setenv("kbr_sip_level", "5", 1);
    EXPECT_EQ(t.sip->effectiveLevel(), 3) << "a positive level is cached";

    // The top category without a value resolves to 0 internally and reads the environment each time.
    EXPECT_EQ(t.generic->effectiveLevel(), 1);
    setenv("kbr_generic_level", "2", 1);
    EXPECT_EQ(t.generic->effectiveLevel(), 2);
    unsetenv("kbr_generic_level");

    // A negative value is re-resolved at every query too.
    setenv("kbr_rtp_level", "-1", 1);
    EXPECT_EQ(t.rtp->effectiveLevel(), 1);
    setenv("kbr_rtp_level", "4", 1);
    EXPECT_EQ(t.rtp->effectiveLevel(), 4);
    unsetenv("kbr_rtp_level");
}

TEST(Log, ChildBuiltBeforeItsRootAdoptsParentsRootAtFirstQuery) {
    kmt::DebugRoot root;
    kmt::CoutManager out(&root);
    kmt::DebugCategory parentless(static_cast<kmt::DebugRoot*>(nullptr), "generic");
    kmt::DebugCategory child(&parentless, "phone");
    EXPECT_EQ(child.getRoot(), nullptr);
    EXPECT_EQ(child.effectiveLevel(), 1);
    EXPECT_EQ(child.getRoot(), nullptr);
    EXPECT_EQ(root.registry->categories.size(), 0u);
}

TEST(Log, RecordLineFormatAndSuppression) {
    Tree t(Env{{"kbr_sip_level", "2"}});
    CaptureCout cap;
    KMT_LOG(*t.sip, 2) << "registered " << 42;
    KMT_LOG(*t.sip, 3) << "suppressed";
    int formatted = 0;
    auto count = [&formatted]() {
        ++formatted;
        return "x";
    };
    KMT_LOG(*t.sip, 3) << count();
    EXPECT_EQ(formatted, 0) << "a suppressed record formats nothing";
    { kmt::DebugRecord empty(*t.sip, 1, "file.cpp", 7); }

    std::string out = cap.text.str();
    std::istringstream lines(out);
    std::string first, second, extra;
    ASSERT_TRUE(std::getline(lines, first));
    ASSERT_TRUE(std::getline(lines, second));
    EXPECT_FALSE(std::getline(lines, extra)) << out;
    // "[YYYY-MM-DD HH:MM:SS]: <file>(<line>): <text>"
    ASSERT_GE(first.size(), 23u);
    EXPECT_EQ(first[0], '[');
    EXPECT_EQ(first.substr(20, 3), "]: ");
    // The source file relative to the source tree, whatever folder the build ran in.
    EXPECT_EQ(first.substr(23, 23), "tests/kmt/log_test.cpp(") << first;
    EXPECT_EQ(first.substr(first.size() - 16), "): registered 42");
    EXPECT_EQ(second.substr(21), ": file.cpp(7): ");
}

TEST(Log, BoundWritesTheFirstLineThenOnePerIntervalWithTheCountLeftOut) {
    kmt::LogBound bound(1000);
    struct Step {
        int64_t atMs;
        bool written;
        uint64_t leftOut; // told by a written line
    };
    const Step steps[] = {
        {5000, true, 0},  // the first of its kind
        {5000, false, 0}, {5400, false, 0}, {5999, false, 0},
        {6000, true, 3},  // an interval later, with the three before it
        {6001, false, 0},
        {60000, true, 1}, // after a long quiet: the one left out since
        {61000, true, 0}, // nothing left out in between
        {40000, true, 0}, // a clock set back: written, and the interval counts from there
        {40500, false, 0},
    };
    for (const Step& s : steps) {
        uint64_t left = 99;
        EXPECT_EQ(bound.admit(s.atMs, &left), s.written) << "at " << s.atMs;
        if (s.written) {
            EXPECT_EQ(left, s.leftOut) << "at " << s.atMs;
        }
    }
}

TEST(Log, BoundedRecordsOfAFloodGiveOneLineAndFormatNothingElse) {
    Tree t(Env{});
    CaptureCout cap;
    kmt::LogBound bound(3600 * 1000);
    int formatted = 0;
    auto count = [&formatted]() { return ++formatted; };
    for (int i = 0; i < 10000; ++i)
        KMT_LOG_BOUNDED(*t.core, 1, bound) << "dropped datagram " << count();
    KMT_LOG_BOUNDED(*t.core, 2, bound) << "below the level " << count();
    EXPECT_EQ(formatted, 1) << "only the line written is formatted";
    const std::string out = cap.text.str();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_NE(out.find("dropped datagram 1\n"), std::string::npos) << out;

    kmt::BoundedRecord(*t.core, 1, "f.cpp", 1, 41).stream() << "dropped";
    EXPECT_NE(cap.text.str().find("dropped (41 more like it not logged since the one before)\n"),
              std::string::npos)
        << cap.text.str();
}

TEST(Log, AtMostFourOutputsAndEachGetsTheRecord) {
    struct Counting : kmt::DebugManager {
        void write(const char*, int, const char*, int, std::ostringstream& text) override {
            ++writes;
            last = text.str();
        }
        int level(const kmt::DebugCategory&, int proposed) override { return proposed; }
        void categoryAdded(kmt::DebugCategory*) override { ++added; }
        int writes = 0, added = 0;
        std::string last;
    };
    kmt::DebugRoot root;
    Counting outs[5];
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(root.addOutput(&outs[i]));
    EXPECT_FALSE(root.addOutput(&outs[4]));
    EXPECT_TRUE(root.addOutput(&outs[0])) << "an output already there is not added twice";
    kmt::DebugCategory top(&root, "generic");
    {
        kmt::DebugRecord r(top, 1, "f", 1);
        r.stream() << "hello";
    }
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(outs[i].writes, 1);
        EXPECT_EQ(outs[i].added, 1);
        EXPECT_EQ(outs[i].last, "hello");
    }
    EXPECT_EQ(outs[4].writes, 0);
}

TEST(Log, LogFilePrefix) {
    char dir[] = "/tmp/kbrlogXXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string prefix = std::string(dir) + "/engine_";
    {
        setenv("kbr_logfile_prefix", prefix.c_str(), 1);
        kmt::DebugRoot root;
        kmt::CoutManager out(&root);
        unsetenv("kbr_logfile_prefix");
        ASSERT_FALSE(out.fileName().empty());
        const std::string& name = out.fileName();
        EXPECT_EQ(name.rfind(prefix, 0), 0u);
        // prefix + "%Y-%m-%d_%H-%M-%S" + ".log"
        EXPECT_EQ(name.size(), prefix.size() + 19 + 4);
        EXPECT_EQ(name.substr(name.size() - 4), ".log");
        kmt::DebugCategory top(&root, "generic");
        KMT_LOG(top, 1) << "to the file";
        std::ifstream in(name, std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_NE(content.find("): to the file\n"), std::string::npos);
        EXPECT_EQ(content.find('\r'), std::string::npos);
        std::remove(name.c_str());
    }
    {
        // A folder that does not exist: the lines stay on the console.
        std::string missing = std::string(dir) + "/no/such/folder/";
        setenv("kbr_logfile_prefix", missing.c_str(), 1);
        kmt::DebugRoot root;
        kmt::CoutManager out(&root);
        unsetenv("kbr_logfile_prefix");
        EXPECT_TRUE(out.fileName().empty());
        kmt::DebugCategory top(&root, "generic");
        CaptureCout cap;
        KMT_LOG(top, 1) << "console";
        EXPECT_NE(cap.text.str().find("): console"), std::string::npos);
    }
    rmdir(dir);
}

TEST(Log, EngineTreeHasTheDocumentedParents) {
    struct Edge {
        kmt::DebugCategory* child;
        const char* name;
        const char* parent;
    } edges[] = {
        {&kmt::logPhone, "phone", "generic"},
        {&kmt::logJphone, "jphone", "phone"},
        {&kmt::logJitter, "jitter", "phone"},
        {&kmt::logSip, "sip", "generic"},
        {&kmt::logSipCore, "sip_core", "sip"},
        {&kmt::logSipDialog, "sip_dialog", "sip"},
        {&kmt::logSipInvite, "sip_invite", "sip_dialog"},
        {&kmt::logSipReinvite, "sip_reinvite", "sip_invite"},
        {&kmt::logSipTransfer, "sip_transfer", "sip_invite"},
        {&kmt::logSipRegister, "sip_register", "sip_dialog"},
        {&kmt::logAudio, "audio", "generic"},
        {&kmt::logRtp, "rtp", "generic"},
        {&kmt::logSdp, "sdp", "generic"},
        {&kmt::logInputlevel, "inputlevel", "generic"},
        {&kmt::logPhoneDevice, "phone_device", "generic"},
        {&kmt::logJabra, "jabra", "generic"},
        {&kmt::logPlantronics, "plantronics", "generic"},
        {&kmt::logWasapi, "wasapi", "generic"},
        {&kmt::logEpos, "epos", "generic"},
        {&kmt::logHid, "hid", "generic"},
    };
    EXPECT_EQ(kmt::logGeneric.getParent(), nullptr);
    for (const Edge& e : edges) {
        EXPECT_EQ(e.child->getName(), e.name);
        ASSERT_NE(e.child->getParent(), nullptr);
        EXPECT_EQ(e.child->getParent()->getName(), e.parent) << e.name;
    }
    // "jphone" is built before its ancestors and joins the root at its first query.
    kmt::logJphone.effectiveLevel();
    EXPECT_EQ(kmt::logJphone.getRoot(), kmt::DebugRoot::instance());
}

} // namespace
