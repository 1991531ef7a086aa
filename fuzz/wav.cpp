// WAV files given to the simulated capture endpoints: any bytes are refused or read, never more.
#include "plat/audio_sim.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    plat::audiosim::WavData wav;
    std::string error;
    if (plat::audiosim::parseWav(data, size, wav, &error)) {
        for (float v : wav.mono)
            if (!(v >= -1.0f && v <= 1.0f))
                __builtin_trap();
    }
    return 0;
}
