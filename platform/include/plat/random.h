// CryptoAPI random numbers over getrandom.
#pragma once

#include "plat/types.h"

namespace plat {

using HCRYPTPROV = ULONG_PTR;
constexpr DWORD PROV_RSA_FULL = 1;
constexpr DWORD CRYPT_VERIFYCONTEXT = 0xF0000000u;

BOOL CryptAcquireContextA(HCRYPTPROV* prov, LPCSTR container, LPCSTR provider, DWORD provType, DWORD flags);
BOOL CryptGenRandom(HCRYPTPROV prov, DWORD len, BYTE* buffer);
BOOL CryptReleaseContext(HCRYPTPROV prov, DWORD flags);

namespace testing {
// Makes the next CryptAcquireContextA / CryptGenRandom fail.
void failNextAcquire();
void failNextGenRandom();
// Contexts acquired and not yet released.
int openContextCount();
} // namespace testing

} // namespace plat
