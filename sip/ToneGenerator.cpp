#include "ToneGenerator.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace kbrphone {

namespace {

constexpr double sampleRate = 8000.0;
const double twoPi = 2.0 * std::acos(-1.0);

// 16-bit addition that wraps around instead of clipping.
inline void mix(int16_t& sample, int value) {
    sample = static_cast<int16_t>(
        static_cast<uint16_t>(static_cast<uint16_t>(sample) + static_cast<uint16_t>(value)));
}

struct KeyTones {
    char key;
    int low;
    int high;
};

// Searched in this order; X, Y and Z are not DTMF keys, they make the dialling sequence.
constexpr KeyTones keyTable[] = {
    {'1', 697, 1209}, {'2', 697, 1336}, {'3', 697, 1477}, {'A', 697, 1633}, {'4', 770, 1209},
    {'5', 770, 1336}, {'6', 770, 1477}, {'B', 770, 1633}, {'7', 852, 1209}, {'8', 852, 1336},
    {'9', 852, 1477}, {'C', 852, 1633}, {'*', 941, 1209}, {'0', 941, 1336}, {'#', 941, 1477},
    {'D', 941, 1633}, {'X', 740, 1209}, {'Y', 740, 1336}, {'Z', 740, 1477},
};

constexpr int toneAmplitude = 4000;
constexpr double lineToneFrequency = 425.0;

// A chime of decaying partials (C6, E6 and C7) with a short attack, about 110 ms. The positive and
// negative half-waves are scaled to peaks of +18700 and -19900.
std::array<int16_t, IncomingLineSoundPlayer::sampleCount> makeIncomingLineSound() {
    std::array<double, IncomingLineSoundPlayer::sampleCount> raw{};
    double high = 0.0, low = 0.0;
    for (int n = 0; n < IncomingLineSoundPlayer::sampleCount; ++n) {
        const double t = n / sampleRate;
        const double attack = std::min(1.0, n / 40.0);
        const double decay = std::exp(-t / 0.045);
        raw[n] = attack * decay *
                 (std::sin(twoPi * 1046.5 * t) + 0.6 * std::sin(twoPi * 1318.5 * t + 0.8) +
                  0.25 * std::sin(twoPi * 2093.0 * t + 1.9));
        high = std::max(high, raw[n]);
        low = std::min(low, raw[n]);
    }
    std::array<int16_t, IncomingLineSoundPlayer::sampleCount> out{};
    for (int n = 0; n < IncomingLineSoundPlayer::sampleCount; ++n) {
        const double v = raw[n] >= 0.0 ? raw[n] * 18700.0 / high : raw[n] * 19900.0 / -low;
        out[n] = static_cast<int16_t>(std::lround(v));
    }
    return out;
}

} // namespace

bool SamplePlayer::generate(int16_t* samples, int count) {
    bool added = false;
    for (int i = 0; i < count && current < end; ++i) {
        mix(samples[i], *current++);
        added = true;
    }
    return added;
}

const int16_t* IncomingLineSoundPlayer::samples() {
    static const std::array<int16_t, sampleCount> sound = makeIncomingLineSound();
    return sound.data();
}

IncomingLineSoundPlayer::IncomingLineSoundPlayer() : SamplePlayer(samples(), samples() + sampleCount) {}

WaveGenerator::Segment& WaveGenerator::addSegment(double f1, double f2) {
    segments.push_back(Segment{8000, 0, f1 * twoPi / sampleRate, f2 * twoPi / sampleRate});
    return segments.back();
}

bool WaveGenerator::generate(int16_t* samples, int count) {
    if (segments.empty())
        return false;
    if (count <= 0)
        return true;
    bool wentThrough = false;  // any tone or pause sample in this call
    bool restarted = false;    // this call began a pass over
    bool sinceRestart = false; // any tone or pause sample since then
    uint64_t rest = static_cast<uint64_t>(count);
    while (true) {
        if (segmentIndex >= segments.size()) {
            // A pass is complete. A pass that holds no sample at all would loop for ever.
            if (restarted && !sinceRestart)
                return false;
            bool stop;
            if (repeat == -1) {
                stop = false;
            } else if (repeat <= 0) {
                stop = true;
            } else {
                stop = repeat == 1;
                --repeat;
            }
            if (stop)
                return wentThrough;
            segmentIndex = 0;
            position = 0;
            restarted = true;
            sinceRestart = false;
        }
        const Segment& s = segments[segmentIndex];
        // The tone.
        while (position < s.toneLength && rest > 0) {
            const double p = static_cast<double>(position);
            mix(*samples, static_cast<int>(std::sin(p * s.step1) * amplitude));
            if (s.step2 != 0.0)
                mix(*samples, static_cast<int>(std::sin(p * s.step2) * amplitude));
            ++position;
            ++samples;
            --rest;
            wentThrough = sinceRestart = true;
        }
        // The pause leaves the buffer as it is.
        const uint64_t segmentEnd = s.toneLength + s.pauseLength;
        const uint64_t pause = position < segmentEnd ? segmentEnd - position : 0;
        if (pause >= rest) {
            position += rest;
            if (rest > 0)
                wentThrough = sinceRestart = true;
            return true;
        }
        if (pause > 0) {
            position += pause;
            samples += pause;
            rest -= pause;
            wentThrough = sinceRestart = true;
        }
        ++segmentIndex;
        position = 0;
    }
}

DTMFGenerator::DTMFGenerator(int amplitude, char key) : WaveGenerator(amplitude) {
    if (addKey(key))
        segments.back().toneLength = 2400;
}

bool DTMFGenerator::addKey(char key) {
    for (const KeyTones& k : keyTable) {
        if (k.key == key) {
            addSegment(k.low, k.high);
            return true;
        }
    }
    return false;
}

DTMFNumberGenerator::DTMFNumberGenerator(int amplitude, const char* keys, uint64_t toneLength,
                                         uint64_t pauseLength, uint64_t lastPause, int times)
    : DTMFGenerator(amplitude) {
    for (const char* k = keys; k && *k; ++k) {
        if (addKey(*k)) {
            segments.back().toneLength = toneLength;
            segments.back().pauseLength = pauseLength;
        }
    }
    if (!segments.empty())
        segments.back().pauseLength = lastPause;
    repeat = times;
}

DialingToneGenerator::DialingToneGenerator(int amplitude) : WaveGenerator(amplitude) {
    Segment& s = addSegment(lineToneFrequency, 0);
    s.toneLength = 8000;
    s.pauseLength = 32000;
    repeat = -1;
}

BusyToneGenerator::BusyToneGenerator(int amplitude) : WaveGenerator(amplitude) {
    Segment& s = addSegment(lineToneFrequency, 0);
    s.toneLength = 4000;
    s.pauseLength = 4000;
    repeat = 4;
}

CongestionToneGenerator::CongestionToneGenerator(int amplitude) : WaveGenerator(amplitude) {
    Segment& s = addSegment(lineToneFrequency, 0);
    s.toneLength = 2000;
    s.pauseLength = 2000;
    repeat = 4;
}

SoundGenerator* createLineTone(int state) {
    switch (state) {
    case 1:
        return new DTMFNumberGenerator(toneAmplitude, "XYZ", 640, 320, 32000, -1);
    case 2:
        return new DialingToneGenerator(toneAmplitude);
    case 3:
    case 4:
        return new BusyToneGenerator(toneAmplitude);
    case 7:
    case 11:
        return new CongestionToneGenerator(toneAmplitude);
    default:
        return nullptr;
    }
}

SoundGenerator* createBeep() {
    WaveGenerator* beep = new WaveGenerator(toneAmplitude);
    beep->addSegment(lineToneFrequency, 0).toneLength = 2000;
    return beep;
}

} // namespace kbrphone
