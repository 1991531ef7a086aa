// Text on its way out of the engine: the carriage-return filter and strings handed to NewStringUTF.
#include "JPhone.h"
#include "phone_fakes.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ostream>
#include <sstream>

namespace {

TEST(FilterStreambuf, DropsCarriageReturnsOnBothChainedStreams) {
    std::stringbuf target;
    FilterStreambuf outFilter(&target);
    FilterStreambuf errFilter(&outFilter); // standard error goes through the output's filter
    std::ostream out(&outFilter);
    std::ostream err(&errFilter);
    out << "one\r\ntwo\r";
    err << "three\r\r\n" << std::flush;
    out << 42 << std::endl;
    EXPECT_EQ(target.str(), "one\ntwothree\n42\n");
    EXPECT_TRUE(out.good());
    EXPECT_TRUE(err.good());
}

TEST(FilterStreambuf, SyncReachesTheTarget) {
    struct CountingBuf : std::stringbuf {
        int syncs = 0;
        int sync() override {
            ++syncs;
            return 0;
        }
    } target;
    FilterStreambuf filter(&target);
    std::ostream out(&filter);
    out << "x" << std::flush;
    EXPECT_EQ(target.syncs, 1);
}

TEST(ModifiedUtf8, KeepsValidTextAndReplacesWhatJavaCannotRead) {
    const struct {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain 0301234", "plain 0301234"},
        {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},
        {"\xF0\x9F\x98\x80", "\xED\xA0\xBD\xED\xB8\x80"}, // above U+FFFF: a surrogate pair
        {std::string("a\0b", 3), "a\xC0\x80"
                                 "b"}, // NUL in its two-byte form
        {"\x80x", "?x"},               // lone continuation byte
        {"\xE2\x82", "??"},            // cut short
        {"\xC0\xAF", "??"},            // overlong
        {"\xE0\x80\xAF", "???"},       // overlong, three bytes
        {"\xED\xA0\x80", "???"},       // a surrogate written out
        {"\xF4\x90\x80\x80", "????"},  // above U+10FFFF
        {"\xF5\xFF", "??"},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(kbrphone::toModifiedUtf8(c.in), c.out) << "input of " << c.in.size() << " bytes";
}

} // namespace

namespace {

class NoDeviceCreator : public PhoneDeviceCreatorBase {
public:
    void create(PhoneDeviceInterface*& device, kbrphone::Phone*) override { device = nullptr; }
};

// Before processEvents there is no Java thread to call: notifications are dropped with a log line.
TEST(JPhoneBeforeProcessEvents, CallbacksAreDroppedWithoutAJavaThread) {
    phonetest::LogCapture& log = phonetest::LogCapture::instance();
    NoDeviceCreator creator;
    JPhone phone(nullptr, creator);
    EXPECT_EQ(phone.env, nullptr);
    log.take();
    phone.registrationStateChanged(1, "registered");
    phone.buttonPressed(5);
    phone.requestDialing("100");
    phone.muteStateChanged(true);
    EXPECT_THAT(log.take(),
                ::testing::ElementsAre("no Java event thread yet: registrationStateChanged not delivered",
                                       "no Java event thread yet: buttonPressed not delivered",
                                       "no Java event thread yet: requestDialing not delivered",
                                       "no Java event thread yet: muteStateChanged not delivered"));
}

} // namespace
