#include "kmt/ident.h"

#include "plat/random.h"

#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace kmt {

void randomBytes(void* buffer, size_t length) {
    if (length == 0)
        return;
    plat::HCRYPTPROV prov = 0;
    if (!plat::CryptAcquireContextA(&prov, nullptr, nullptr, plat::PROV_RSA_FULL, plat::CRYPT_VERIFYCONTEXT))
        throw std::runtime_error("CryptAcquireContext failed");
    auto* out = static_cast<plat::BYTE*>(buffer);
    while (length > 0) {
        plat::DWORD chunk = length > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<plat::DWORD>(length);
        if (!plat::CryptGenRandom(prov, chunk, out)) {
            plat::CryptReleaseContext(prov, 0);
            throw std::runtime_error("CryptGenRandom failed");
        }
        out += chunk;
        length -= chunk;
    }
    plat::CryptReleaseContext(prov, 0);
}

std::string randomId() {
    unsigned char bytes[8];
    randomBytes(bytes, sizeof bytes);
    std::ostringstream os;
    os << HexBytes{bytes, sizeof bytes, ""};
    return os.str();
}

std::ostream& writeHexBytes(std::ostream& os, const HexBytes& bytes) {
    StreamStateSaver saver(os);
    os << std::hex << std::nouppercase << std::setfill('0');
    for (size_t i = 0; i < bytes.length; ++i) {
        if (i > 0 && bytes.separator)
            os << bytes.separator;
        os << std::setw(2) << static_cast<unsigned>(bytes.data[i]);
    }
    return os;
}

} // namespace kmt
