// Internals of the audio facility: endpoints and the device I/O of a stream, which each back end
// provides, and the shared audio client that paces a stream by its device period.
#pragma once

#include "plat/audio.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace plat {
namespace audio {

// The device side of one stream: where rendered frames go and captured frames come from.
class StreamIo {
public:
    virtual ~StreamIo() = default;
    // Called once when the stream starts, and when it stops.
    virtual void start() {}
    virtual void stop() {}
    // Render: frames the device plays in this period (interleaved, in the mix format).
    virtual void play(const BYTE* data, UINT frames, int64_t timeNs) {
        (void)data;
        (void)frames;
        (void)timeNs;
    }
    // Capture: fills the frames recorded in this period.
    virtual void record(BYTE* data, UINT frames, int64_t timeNs) {
        (void)data;
        (void)frames;
        (void)timeNs;
    }
    // True when the device paces the stream itself (a blocking device); false: the clock paces it.
    virtual bool blocks() const { return false; }
    // True once the device has failed past mending: the stream is invalidated.
    virtual bool failed() const { return false; }
};

class Endpoint : public std::enable_shared_from_this<Endpoint> {
public:
    Endpoint(std::string id_, std::string name_, EDataFlow flow_)
        : id(std::move(id_)), name(std::move(name_)), flow(flow_) {}
    virtual ~Endpoint() = default;

    // The shared-mode format; false when the device cannot be opened.
    virtual HRESULT mixFormat(WAVEFORMATEXTENSIBLE& format) = 0;
    // The device I/O of a new stream in format with the given period.
    virtual HRESULT openIo(const WAVEFORMATEXTENSIBLE& format, UINT periodFrames,
                           std::unique_ptr<StreamIo>& io) = 0;
    // Period in 100-ns units.
    virtual REFERENCE_TIME defaultPeriod() const { return 100000; }
    virtual REFERENCE_TIME minimumPeriod() const { return 30000; }
    // The smallest render buffer, in periods.
    virtual UINT renderBufferPeriods() const { return 2; }
    virtual bool present() const { return !gone.load(); }
    // Called when a stream on the endpoint starts (the simulation schedules vanishing from it).
    virtual void streamStarted() {}

    // Volume in the device's own mixer where there is one; false to keep it here.
    virtual bool setMixerVolume(float) { return false; }
    virtual bool getMixerVolume(float&) { return false; }

    const std::string id;
    const std::string name;
    const EDataFlow flow;
    std::atomic<bool> gone{false};
    // Frames queued in the render buffer when its last stream started (-1: none started).
    std::atomic<int> paddingAtStart{-1};

    std::mutex volumeLock;
    float endpointVolume = 1.0f;
    std::map<GUID, float> sessionVolumes;
};
using EndpointPtr = std::shared_ptr<Endpoint>;

// A back end: its endpoints in enumeration order, present or not, and the default of each flow.
class Backend {
public:
    virtual ~Backend() = default;
    virtual const char* name() const = 0;
    virtual std::vector<EndpointPtr> endpoints() = 0;
    virtual EndpointPtr defaultEndpoint(EDataFlow flow) = 0;
};

// The back end of the process (chosen on first use).
Backend& backend();
// The simulation and ALSA back ends.
Backend& simBackend();
Backend* alsaBackend(); // null when this build or machine has no ALSA
bool alsaHasSoundCard();

// An injected failure for call on endpoint (S_OK when none); counts the call.
HRESULT injected(const char* call, const std::string& endpointName);

void addFailure(const std::string& call, const std::string& endpoint, HRESULT result, int count);
void clearFailures();

// The stream clock: steady nanoseconds, or the manual clock of the tests.
int64_t clockNowNs();
bool manualClock();
void setManualClock(bool on);
// Advances the manual clock by periodNs and steps every started stream once.
void stepAll(int64_t periodNs);
// Waits (at most timeoutMs) until no stream is busy; false on time-out.
bool waitIdle(int timeoutMs);
int stepperCount();

// Streams that the manual clock steps.
class Stepper {
public:
    virtual void step(int64_t timeNs) = 0;
    // True while the stream's reader has not served the last period yet.
    virtual bool busy() = 0;

protected:
    ~Stepper() = default;
};
void addStepper(Stepper* s);
void removeStepper(Stepper* s);

// Helpers for formats.
WAVEFORMATEXTENSIBLE makeFormat(DWORD rate, WORD channels, WORD bits, bool isFloat);
// Writes mono value v (-1..1, clamped) into every channel of one frame at out.
void writeFrame(const WAVEFORMATEXTENSIBLE& format, BYTE* out, double v);
// The average of the channels of one frame, -1..1.
double readFrame(const WAVEFORMATEXTENSIBLE& format, const BYTE* in);
bool isFloatFormat(const WAVEFORMATEX& format);
// Multiplies frames interleaved frames at data (in format) by gain, clamped to full scale.
void scaleSamples(const WAVEFORMATEXTENSIBLE& format, BYTE* data, UINT frames, float gain);
// The volumes a stream on endpoint plays at: endpoint volume times the lowest session volume
// (the engine's session, when it is the only one); capture: the endpoint volume.
float renderGain(Endpoint& endpoint);
float captureGain(Endpoint& endpoint);

// A note of a back end (see setAudioNoteSink).
void note(int level, const std::string& text);

IMMDevice* newDevice(const EndpointPtr& endpoint);

} // namespace audio
} // namespace plat
