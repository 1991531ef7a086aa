// Globally unique identifiers, laid out as the platform lays them out.
#pragma once

#include "plat/types.h"

#include <cstring>

namespace plat {

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

inline bool IsEqualGUID(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

} // namespace plat
