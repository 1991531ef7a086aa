// The phone's own sounds: stored samples, tones made of segments of one or two sine waves followed
// by a pause, DTMF keys, the call-progress tones of a line and the built-in incoming-line sound.
// Every generator mixes into the caller's buffer by wrap-around 16-bit addition, allocates nothing
// while generating and is used by one thread at a time.
#pragma once

#include "SoundGenerator.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kbrphone {

// Plays a table of samples that it does not own, from start to end, once.
class SamplePlayer : public SoundGenerator {
public:
    SamplePlayer(const int16_t* begin, const int16_t* end) : current(begin), end(end) {}

    // True when this call added at least one sample.
    bool generate(int16_t* samples, int count) override;

protected:
    const int16_t* current;
    const int16_t* end;
};

// The built-in incoming-line sound, a short chime.
class IncomingLineSoundPlayer : public SamplePlayer {
public:
    static constexpr int sampleCount = 876;

    IncomingLineSoundPlayer();

    // The built-in sound's samples (sampleCount of them).
    static const int16_t* samples();
};

// A sequence of segments, each a tone of one or two sine waves and a pause, played once, a number
// of times or for ever.
class WaveGenerator : public SoundGenerator {
public:
    struct Segment {
        uint64_t toneLength;  // samples
        uint64_t pauseLength; // samples
        double step1;         // phase advance per sample in radians
        double step2;         // 0 for a single tone
    };

    explicit WaveGenerator(int amplitude) : amplitude(amplitude), segmentIndex(0), position(0), repeat(0) {}

    // Appends a segment of f1 and f2 Hz (f2 0: a single tone) with 8000 samples of tone and no pause;
    // the caller may then change the lengths of the returned segment.
    Segment& addSegment(double f1, double f2);

    // -1 plays for ever; 0 or 1 once; n > 1 n times in all.
    void setRepeat(int times) { repeat = times; }

    bool generate(int16_t* samples, int count) override;

protected:
    int amplitude;
    std::vector<Segment> segments;
    std::size_t segmentIndex;
    uint64_t position;
    int repeat;
};

// One DTMF key (or X, Y, Z of the dialling sequence) for 300 ms, once. A key that is not in the
// table gives a generator that has finished at once.
class DTMFGenerator : public WaveGenerator {
public:
    DTMFGenerator(int amplitude, char key);

protected:
    explicit DTMFGenerator(int amplitude) : WaveGenerator(amplitude) {}

    // Appends the two-tone segment of key (8000 samples long, no pause); false for an unknown key.
    bool addKey(char key);
};

// A sequence of keys, each toneLength samples followed by pauseLength samples of pause, the last
// followed by lastPause instead; unknown keys are skipped.
class DTMFNumberGenerator : public DTMFGenerator {
public:
    DTMFNumberGenerator(int amplitude, const char* keys, uint64_t toneLength, uint64_t pauseLength,
                        uint64_t lastPause, int repeat);
};

// 425 Hz, 1 s on and 4 s off, for ever.
class DialingToneGenerator : public WaveGenerator {
public:
    explicit DialingToneGenerator(int amplitude);
};

// 425 Hz, 0.5 s on and 0.5 s off, four times.
class BusyToneGenerator : public WaveGenerator {
public:
    explicit BusyToneGenerator(int amplitude);
};

// 425 Hz, 0.25 s on and 0.25 s off, four times.
class CongestionToneGenerator : public WaveGenerator {
public:
    explicit CongestionToneGenerator(int amplitude);
};

// The tone of a line in the given line state, at amplitude 4000, or null when the state has none:
// 1 the X-Y-Z dialling sequence, 2 the dialling tone, 3 and 4 busy, 7 and 11 congestion.
SoundGenerator* createLineTone(int state);

// The beep of a headset button: 425 Hz for 250 ms, once, at amplitude 4000.
SoundGenerator* createBeep();

} // namespace kbrphone
