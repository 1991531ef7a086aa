// Command texts that another process hands over, made valid for Java.
#include "ModifiedUtf8.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bool replaced = false;
    const std::string valid = callto::toModifiedUtf8(reinterpret_cast<const char*>(data), size, replaced);
    // What comes out is valid: a second pass replaces nothing and changes nothing.
    bool again = false;
    if (callto::toModifiedUtf8(valid.data(), valid.size(), again) != valid || again) {
        std::abort();
    }
    callto::fromModifiedUtf8(valid);
    return 0;
}
