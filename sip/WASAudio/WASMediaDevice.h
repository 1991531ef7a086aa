// The open audio device of a call: a render and a capture stream in shared event mode, served by
// one audio thread that fills the render buffer from the consumer's getFrame and hands captured
// frames to its putFrame, converting with the converters of AudioConverter.h.
#pragma once

#include "MediaChannel.h"
#include "MediaManager.h"
#include "WASAudio/AudioConverter.h"
#include "WASAudio/WASMediaManager.h"
#include "kmt/thread.h"
#include "plat/audio.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace wasmedia {

class WASMediaDevice : public MediaDevice {
public:
    // Opens both streams (not started); throws std::runtime_error when either cannot be set up.
    WASMediaDevice(const std::string& input, const std::string& output, MediaChannel* consumer,
                   int frameSamples, int sampleRate);
    ~WASMediaDevice() override;

    void start() override;
    void stop() override;
    void setInputLevel(float level) override;
    float getInputLevel() override;
    void setOutputLevel(float level) override;
    float getOutputLevel() override;

    class AudioThread : public kmt::Thread {
    public:
        explicit AudioThread(WASMediaDevice* d) : device(d) {}
        void run() override;

    private:
        WASMediaDevice* device;
    };

    // Capture packets processed since creation.
    int getCapturedPackets() const { return capturedPackets.load(); }
    bool dumpOpen() const { return dump != nullptr; }
    // Numbers the capture dump files of the process, 0 to 9.
    static std::atomic<int> captureDumpCounter;

private:
    struct Event {
        plat::HANDLE handle = nullptr;
        ~Event() {
            if (handle)
                plat::CloseHandle(handle);
        }
    };

    void setupRender();
    void setupCapture();
    void createOutputConverter(const plat::WAVEFORMATEX* format);
    void createInputConverter(const plat::WAVEFORMATEX* format);
    void renderFill();
    void captureDrain();
    void openDump();
    void closeDump();
    void dumpWrite(const void* data, size_t bytes);
    void runThread();

    AudioThread audioThread;
    Event stopEvent;
    ComRef<plat::IMMDevice> outputEndpoint;
    ComRef<plat::IAudioClient> renderAudioClient;
    ComRef<plat::IAudioRenderClient> renderClient;
    Event renderEvent;
    // The render buffer's size, fixed once the client is initialized.
    plat::UINT renderBufferFrames = 0;
    std::unique_ptr<OutputConverter> outputConverter;
    std::string inputName;
    ComRef<plat::IMMDevice> inputEndpoint;
    ComRef<plat::IAudioClient> captureAudioClient;
    ComRef<plat::IAudioCaptureClient> captureClient;
    Event captureEvent;
    uint64_t expectedCapturePosition = 0;
    plat::REFERENCE_TIME captureBufferDuration = 0;
    std::unique_ptr<InputConverter> inputConverter;
    int frameSamples;
    int sampleRate;
    MediaChannel* consumer;
    FILE* dump = nullptr;
    int dumpBytesPerFrame = 0;
    std::atomic<int> capturedPackets{0};

    // Silence pushed through the input converter for a gap in the capture stream.
    std::vector<uint8_t> captureSilence;
    uint32_t captureGapLimit = 0;
    int captureBlockAlign = 0;
};

} // namespace wasmedia
