// Keeps the microphone at a steady level during a call by adjusting the capture device's volume
// (never the samples): very loud frames lower it, quiet speech raises it, between 0.15 and 1.0.
// A volume changed by somebody else while the call runs is adopted.
#pragma once

#include "MediaManager.h"

#include <cstdint>
#include <string>

class InputLeveler {
public:
    static constexpr double kMinimumLevel = 0.15;
    static constexpr double kMaximumLevel = 1.0;
    static constexpr double kLoudEnergy = 8000000.0;
    static constexpr double kQuietEnergy = 10000.0;

    // device is not owned and must outlive the leveler.
    InputLeveler(MediaDevice* device, const std::string& inputName);

    // One captured frame (after echo cancellation).
    void process(uint32_t frameNumber, const int16_t* samples, int count);
    // Sets the device's input level; the level read back becomes the leveler's level.
    void setLevel(uint32_t frameNumber, double x);

    bool isOff() const { return off; }
    double getLevel() const { return level; }

private:
    MediaDevice* device;
    bool off;
    uint32_t lastSetFrame;
    double level;
    double previousEnergy;
    double olderEnergy;
    bool wasSpeech;
};
