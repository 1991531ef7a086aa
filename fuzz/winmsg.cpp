// Window-message frames as a receiver reads them from another process.
#include "plat/winmsg.h"

#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    plat::winmsg::Request request;
    std::string why;
    if (plat::winmsg::decodeRequest(data, size, request, why)) {
        // A frame that decodes is exactly the encoding of what it decoded to.
        const std::string again = plat::winmsg::encodeRequest(request);
        if (again.size() != size || again.compare(0, size, reinterpret_cast<const char*>(data), size) != 0) {
            std::abort();
        }
    } else if (why.empty()) {
        std::abort(); // every refusal says why
    }
    return 0;
}
