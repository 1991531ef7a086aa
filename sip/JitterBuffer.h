// Receive buffer between a call's RTP receive thread and the audio thread.
//
// The receive thread puts each decoded payload in (16-bit samples at 8000 Hz), the audio thread
// takes one 160-sample frame every 20 ms. The buffer keeps a small adaptive delay, drops the
// oldest audio when more than 80 ms has piled up, conceals losses with the PacketLossConcealer and
// falls back to silence when a loss lasts. Every operation holds the buffer's recursive mutex for
// its whole run; callers that hold other locks take them first (the RTP session's lock before this
// buffer's mutex).
#pragma once

#include "PacketLossConcealer.h"

#include <cstdint>
#include <memory>
#include <mutex>

class JitterBuffer {
public:
    static constexpr int ringSize = 16000;   // 2 s
    static constexpr int maxFill = 640;      // at most 80 ms buffered
    static constexpr int frameCount = 160;   // the audio thread's frame, 20 ms
    static constexpr int maxGetCount = 8000; // the largest frame a get may ask for (1 s)
    static constexpr int initialMinDelay = 160;
    static constexpr int minDelayStep = 160;
    static constexpr int maxMinDelay = 480;
    static constexpr int maxConcealedGets = 4;

    enum State { stateSilence = 0, stateConcealing = 1, stateNormal = 2, stateBuffering = 3 };

    JitterBuffer();
    JitterBuffer(const JitterBuffer&) = delete;
    JitterBuffer& operator=(const JitterBuffer&) = delete;

    // Adds the decoded payload of one packet (any count; 160 for a 20 ms packet).
    void put(const int16_t* samples, int count);

    // Fills destination with count samples and returns true. With prefetch set, returns false and
    // leaves destination untouched when the buffer is not ready to play.
    bool get(int16_t* destination, int count, bool prefetch);

    // Empties the buffer and starts again in silence.
    void reset();
    // The call is over: gives the ring back and takes no more samples until the next reset. Gets
    // return silence.
    void release();
    // Whether the ring is allocated (it is from the first put on, until release).
    bool holdsRing() const;

    int getState() const;
    int getFill() const;
    int getMinDelay() const;
    int getConcealedGets() const;
    // Concealment frames made since the loss was last merged or ended by silence.
    int getConcealerErasedFrames() const;

private:
    void writeSamples(const int16_t* samples, int count);
    int writeFrame(const int16_t* frame);
    // Empty positions, fill and play state.
    void clearState();
    // Only the samples a loss may be concealed from before anything was written need be zero: the
    // history just before write position 0, at the ring's end. Everything else is written before
    // it is read.
    void zeroHistory();

    mutable std::recursive_mutex mutex;
    std::unique_ptr<int16_t[]> ring;
    PacketLossConcealer concealer;
    int readPosition;
    int writePosition;
    int fill;
    int state;
    int minDelay;
    int concealedGets;
    bool released = false;
};
