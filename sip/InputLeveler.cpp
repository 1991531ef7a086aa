#include "InputLeveler.h"

#include "kmt/log.h"

#include <algorithm>

InputLeveler::InputLeveler(MediaDevice* device_, const std::string& inputName)
    : device(device_), off(false), lastSetFrame(0), level(0), previousEnergy(1e10), olderEnergy(1e10),
      wasSpeech(false) {
    if (inputName.find("Brimel USB Audio") != std::string::npos) {
        // This handset sets its own gain: a fixed low level, never adjusted.
        level = 0.08;
        device->setInputLevel(0.08f);
        off = true;
        if (device->getOutputLevel() > 0.99f)
            device->setOutputLevel(0.3f);
    } else {
        level = device->getInputLevel();
        if (level < kMinimumLevel) {
            device->setInputLevel(float(kMinimumLevel));
            level = kMinimumLevel;
        }
    }
    KMT_LOG(kmt::logInputlevel, 2) << "initial volume level: " << level;
}

void InputLeveler::setLevel(uint32_t frameNumber, double x) {
    device->setInputLevel(float(x));
    lastSetFrame = frameNumber;
    level = device->getInputLevel();
    KMT_LOG(kmt::logInputlevel, 2) << "set input lebel to " << x << " (getLevel returns " << level << ")";
}

void InputLeveler::process(uint32_t frameNumber, const int16_t* samples, int count) {
    if (off || count <= 0)
        return;
    double sum = 0;
    for (int i = 0; i < count; ++i)
        sum += double(samples[i]) * samples[i];
    const double energy = sum / count;
    if (frameNumber % 50 == 0) {
        KMT_LOG(kmt::logInputlevel, 2) << "energy: " << energy << ", input level: " << device->getInputLevel();
    }
    const bool speech = energy > 5 * (previousEnergy + olderEnergy);
    const uint32_t sinceSet = frameNumber - lastSetFrame;
    if (energy > kLoudEnergy) {
        const double current = device->getInputLevel();
        if (current != float(level)) {
            level = current;
        } else if (sinceSet > 5) {
            setLevel(frameNumber, std::max(kMinimumLevel, current / std::min(energy * 1.25e-7, 2.0)));
        }
    } else if (speech || speech != wasSpeech) {
        if (!wasSpeech) {
            KMT_LOG(kmt::logInputlevel, 2) << "speach detected: " << energy / (olderEnergy + previousEnergy)
                                           << " energy: " << energy;
        }
        if (energy < kQuietEnergy) {
            const double current = device->getInputLevel();
            if (current != float(level)) {
                KMT_LOG(kmt::logInputlevel, 2) << "current input level doesn't match the level last set";
                level = current;
            } else if (sinceSet > 10) {
                setLevel(frameNumber,
                         std::max(kMinimumLevel,
                                  std::min(kMaximumLevel, current * std::min(kQuietEnergy / energy, 1.5))));
            }
        }
    }
    if (!speech && wasSpeech) {
        KMT_LOG(kmt::logInputlevel, 2) << "speach finished: " << energy / (olderEnergy + previousEnergy)
                                       << " energy: " << energy;
    }
    wasSpeech = speech;
    olderEnergy = previousEnergy;
    previousEnergy = energy;
}
