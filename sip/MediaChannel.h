// The frame interfaces between the audio device, the phone and a call's media transport.
#pragma once

#include <cstdint>

// A sink and source of audio frames: 16-bit mono samples at 8000 Hz with a running frame number.
class MediaChannel {
public:
    virtual ~MediaChannel() = default;
    // A captured frame to send.
    virtual void putFrame(uint32_t frameNumber, int16_t* samples, int count) = 0;
    // Fills a frame to play; false when nothing was produced.
    virtual bool getFrame(uint32_t frameNumber, int16_t* samples, int count, bool prefetch) = 0;
};

namespace kbrphone {

// A call's media transport.
class TransportChannel : public MediaChannel {
public:
    // Starts an out-of-band telephone event; false when the call negotiated none.
    virtual bool sendDtmf(char key) = 0;
    // Re-establishes the media after an audio-device change.
    virtual void restart() = 0;
};

} // namespace kbrphone
