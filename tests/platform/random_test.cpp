// CryptoAPI random numbers: the calls the identifier generator makes and its failure hooks.
#include "plat/random.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace plat;

namespace {

TEST(Random, AcquireGenerateRelease) {
    const int open = plat::testing::openContextCount();
    HCRYPTPROV prov = 0;
    ASSERT_EQ(TRUE, CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_EQ(open + 1, plat::testing::openContextCount());
    BYTE a[32] = {}, b[32] = {};
    EXPECT_EQ(TRUE, CryptGenRandom(prov, sizeof a, a));
    EXPECT_EQ(TRUE, CryptGenRandom(prov, sizeof b, b));
    EXPECT_NE(0, std::memcmp(a, b, sizeof a));
    EXPECT_EQ(TRUE, CryptGenRandom(prov, 0, nullptr));
    EXPECT_EQ(TRUE, CryptReleaseContext(prov, 0));
    EXPECT_EQ(open, plat::testing::openContextCount());
    SetLastError(0);
    EXPECT_EQ(FALSE, CryptReleaseContext(prov, 0));
    EXPECT_EQ(ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(FALSE, CryptGenRandom(prov, sizeof a, a));
}

TEST(Random, FailureHooksFailOnceEach) {
    const int open = plat::testing::openContextCount();
    HCRYPTPROV prov = 0;
    plat::testing::failNextAcquire();
    EXPECT_EQ(FALSE, CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));
    EXPECT_NE(ERROR_SUCCESS, GetLastError());
    EXPECT_EQ(open, plat::testing::openContextCount());
    ASSERT_EQ(TRUE, CryptAcquireContextA(&prov, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT));

    BYTE buffer[8];
    plat::testing::failNextGenRandom();
    EXPECT_EQ(FALSE, CryptGenRandom(prov, sizeof buffer, buffer));
    EXPECT_EQ(TRUE, CryptGenRandom(prov, sizeof buffer, buffer));
    EXPECT_EQ(TRUE, CryptReleaseContext(prov, 0));
    EXPECT_EQ(open, plat::testing::openContextCount());
}

} // namespace
