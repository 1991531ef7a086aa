#include "QOSProvider.h"

#include "plat/dl.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <netinet/ip.h>
#include <string>

namespace {

int tosOf(kmt::Socket& s) {
    int tos = -1;
    int len = sizeof tos;
    plat::getsockopt(s.handle(), IPPROTO_IP, IP_TOS, reinterpret_cast<char*>(&tos), &len);
    return tos;
}

struct QosFixture : ::testing::Test {
    void SetUp() override {
        kmt::ipMode = 1;
        kbrphone::qos_testing::resetAvailability();
        sock.bindUdp(kmt::SocketAddress::fromHost("127.0.0.1"));
        dest = kmt::SocketAddress::fromHost("127.0.0.1").withPort(4000);
    }
    void TearDown() override {
        plat::testing::setLibraryMissing("qwave.dll", false);
        unsetenv("PLAT_QWAVE_FAIL_CREATE");
        unsetenv("PLAT_QWAVE_FAIL_ADD");
        kbrphone::qos_testing::resetAvailability();
    }
    kmt::Socket sock;
    kmt::SocketAddress dest;
};

TEST_F(QosFixture, VoiceFlowMarksTheSocket) {
    std::unique_ptr<kbrphone::QOSProvider> p(kbrphone::QOSProvider::create());
    ASSERT_NE(dynamic_cast<kbrphone::QWaveQOSProvider*>(p.get()), nullptr);
    EXPECT_NE(static_cast<kbrphone::QWaveQOSProvider*>(p.get())->handle, nullptr);
    testing::internal::CaptureStdout();
    p->addSocketToFlow(sock.handle(), dest);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(tosOf(sock), 0xB8);
}

TEST_F(QosFixture, MissingLibraryIsFinalForTheProcess) {
    plat::testing::setLibraryMissing("qwave.dll", true);
    std::unique_ptr<kbrphone::QOSProvider> first(kbrphone::QOSProvider::create());
    EXPECT_EQ(dynamic_cast<kbrphone::QWaveQOSProvider*>(first.get()), nullptr);
    EXPECT_FALSE(kbrphone::qos_testing::qwaveAvailable());
    plat::testing::setLibraryMissing("qwave.dll", false);
    std::unique_ptr<kbrphone::QOSProvider> later(kbrphone::QOSProvider::create());
    EXPECT_EQ(dynamic_cast<kbrphone::QWaveQOSProvider*>(later.get()), nullptr) << "not tried again";
    testing::internal::CaptureStdout();
    later->addSocketToFlow(sock.handle(), dest);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_NE(tosOf(sock), 0xB8);
}

TEST_F(QosFixture, FailedHandleAndFailedFlowsArePrinted) {
    setenv("PLAT_QWAVE_FAIL_CREATE", "50", 1);
    testing::internal::CaptureStdout();
    std::unique_ptr<kbrphone::QOSProvider> p(kbrphone::QOSProvider::create());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "QOSCreateHandle failed 50 (0x32)\n");
    auto* q = dynamic_cast<kbrphone::QWaveQOSProvider*>(p.get());
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->handle, nullptr);
    unsetenv("PLAT_QWAVE_FAIL_CREATE");

    struct Case {
        const char* code;
        const char* line;
    } cases[] = {
        {"6", "error ERROR_INVALID_HANDLE\n"},
        {"8", "error ERROR_NOT_ENOUGH_MEMORY\n"},
        {"50", "error ERROR_NOT_SUPPORTED\n"},
        {"57", "error ERROR_ADAP_HDW_ERR\n"},
        {"87", "error ERROR_INVALID_PARAMETER\n"},
        {"1117", "error ERROR_IO_DEVICE\n"},
        {"1164", "error ERROR_DEVICE_REINITIALIZATION_NEEDED\n"},
        {"1225", "error ERROR_CONNECTION_REFUSED\n"},
        {"1232", "error ERROR_HOST_UNREACHABLE\n"},
        {"1450", "error ERROR_NO_SYSTEM_RESOURCES\n"},
        {"1234", "Unkwnon error: 1234\n"},
    };
    std::unique_ptr<kbrphone::QOSProvider> good(kbrphone::QOSProvider::create());
    for (const Case& c : cases) {
        setenv("PLAT_QWAVE_FAIL_ADD", c.code, 1);
        testing::internal::CaptureStdout();
        good->addSocketToFlow(sock.handle(), dest);
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  std::string("QOSAddSocketToFlow failed: ") + c.line);
    }
    unsetenv("PLAT_QWAVE_FAIL_ADD");
    // The provider whose handle failed reports each flow it is asked for.
    testing::internal::CaptureStdout();
    p->addSocketToFlow(sock.handle(), dest);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "QOSAddSocketToFlow failed: error ERROR_INVALID_HANDLE\n");
}

} // namespace
