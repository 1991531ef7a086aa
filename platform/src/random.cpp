// CryptoAPI random numbers over getrandom.
#include "internal.h"

#include "plat/random.h"

#include <cerrno>
#include <set>
#include <sys/random.h>

namespace plat {

namespace {

// "An internal error occurred." (NTE_FAIL): what the forced failures and a failing getrandom report.
constexpr DWORD kNteFail = 0x80090020u;

std::mutex contextsLock;
std::set<HCRYPTPROV> contexts;
HCRYPTPROV nextContext = 1;
std::atomic<bool> failAcquire{false};
std::atomic<bool> failGenRandom{false};

bool known(HCRYPTPROV prov) {
    std::lock_guard<std::mutex> guard(contextsLock);
    return contexts.count(prov) != 0;
}

} // namespace

BOOL CryptAcquireContextA(HCRYPTPROV* prov, LPCSTR container, LPCSTR provider, DWORD provType, DWORD flags) {
    if (!prov) {
        return detail::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (failAcquire.exchange(false)) {
        return detail::fail<BOOL>(kNteFail, FALSE);
    }
    std::lock_guard<std::mutex> guard(contextsLock);
    *prov = nextContext++;
    contexts.insert(*prov);
    return TRUE;
}

BOOL CryptGenRandom(HCRYPTPROV prov, DWORD len, BYTE* buffer) {
    if (!known(prov)) {
        return detail::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    }
    if (len != 0 && !buffer) {
        return detail::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    }
    if (failGenRandom.exchange(false)) {
        return detail::fail<BOOL>(kNteFail, FALSE);
    }
    DWORD done = 0;
    while (done < len) {
        const ssize_t n = ::getrandom(buffer + done, len - done, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return detail::fail<BOOL>(kNteFail, FALSE);
        }
        done += static_cast<DWORD>(n);
    }
    return TRUE;
}

BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags) {
    std::lock_guard<std::mutex> guard(contextsLock);
    if (contexts.erase(prov) == 0) {
        return detail::fail<BOOL>(ERROR_INVALID_HANDLE, FALSE);
    }
    // Windows releases the context even when it then complains about nonzero flags.
    if (flags != 0) {
        return detail::fail<BOOL>(ERROR_INVALID_PARAMETER, FALSE);
    }
    return TRUE;
}

namespace testing {
void failNextAcquire() {
    failAcquire.store(true);
}
void failNextGenRandom() {
    failGenRandom.store(true);
}
int openContextCount() {
    std::lock_guard<std::mutex> guard(contextsLock);
    return static_cast<int>(contexts.size());
}
} // namespace testing

} // namespace plat
