// The audio device layer as the phone sees it.
#pragma once

#include <string>
#include <vector>

class MediaChannel;

// The open audio device of a call.
class MediaDevice {
public:
    virtual ~MediaDevice() = default;
    virtual void start() = 0;
    virtual void stop() = 0;
    virtual void setInputLevel(float level) = 0;
    virtual float getInputLevel() = 0;
    virtual void setOutputLevel(float level) = 0;
    virtual float getOutputLevel() = 0;
};

// Lists devices, resolves configured names, opens devices and sets volumes by device name.
class MediaManager {
public:
    virtual ~MediaManager() = default;
    // An open device exchanging frames with consumer; owned by the caller.
    virtual MediaDevice* createDevice(const std::string& input, const std::string& output,
                                      MediaChannel* consumer, int frameSamples, int sampleRate) = 0;
    virtual std::vector<std::string> getInputDevices() = 0;
    virtual std::vector<std::string> getOutputDevices() = 0;
    virtual std::string getActualInputDevice(const std::string& configured) = 0;
    virtual std::string getActualOutputDevice(const std::string& configured) = 0;
    virtual void setInputLevel(const std::string& device, float level) = 0;
    virtual float getInputLevel(const std::string& device) = 0;
    virtual void setOutputLevel(const std::string& device, float level) = 0;
    virtual float getOutputLevel(const std::string& device) = 0;
};
