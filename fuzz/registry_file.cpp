// The registry file as the registry calls read it.
#include "plat/registry.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string why;
    if (!plat::testing::parseRegistryText(std::string(reinterpret_cast<const char*>(data), size), why) && why.empty()) {
        std::abort(); // every refusal says why
    }
    return 0;
}
