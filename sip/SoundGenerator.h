// Anything that adds 16-bit samples at 8000 Hz into a buffer and reports when it has finished:
// call-progress tones, DTMF key tones, the beep and stored sounds.
#pragma once

#include <cstdint>

namespace kbrphone {

class SoundGenerator {
public:
    virtual ~SoundGenerator() = default;

    // Adds the next count samples of the sound to the samples already in the buffer (16-bit
    // addition that wraps around, no clipping). Returns false once the sound has finished.
    virtual bool generate(int16_t* samples, int count) = 0;
};

} // namespace kbrphone
