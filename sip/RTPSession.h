// The media of one call: G.711 A-law RTP out of captured frames, RFC 4733 telephone events,
// keep-alive packets and one RTCP sender report, and received packets into the jitter buffer with
// receive statistics.
#pragma once

#include "JitterBuffer.h"
#include "MediaChannel.h"
#include "RTPStream.h"
#include "kmt/scheduler.h"
#include "kmt/socket.h"

#include <cstdint>
#include <mutex>

namespace rtp {

// Receive statistics of one call, kept under the session lock.
//
// Sequence numbers: a packet 1 to 9 ahead of the highest is played; anything else starts or
// continues a run, and the third packet of a run in a row is followed. A run up to maxMisorder
// behind is late packets (reordering) and stays refused. When the run starts maxDropout or more
// ahead, or more than maxMisorder behind, or a packet comes from another source, the far end has
// started a new stream (a re-INVITE, a transfer): what was expected of the old one is kept aside
// and counting starts again from the new one. Arrival jitter and the late counters
// are computed on audio packets only; telephone events share one timestamp per key.
struct ReceiveStatistics {
    static constexpr int audioPayloadType = 8;
    static constexpr int maxDropout = 3000;
    static constexpr int maxMisorder = 100;

    uint32_t ssrc = 0; // of the first packet
    uint32_t lastTimestamp = 0;
    uint32_t lastArrivalMs = 0;
    uint16_t baseSequence = 0;
    int received = 0;
    int discarded = 0;
    int cycles = 0;
    uint16_t highestSequence = 0;
    int resyncRun = 0;
    uint16_t resyncSequence = 0;
    // The arrival figures: arrivals late against the timestamps by 10, 20 and 30 ms or more, and the
    // interarrival jitter times 16, in timestamp units.
    struct Timing {
        int jumps80 = 0;
        int jumps160 = 0;
        int jumps240 = 0;
        int jitter16 = 0;
    };
    int jumps80 = 0;
    int jumps160 = 0;
    int jumps240 = 0;
    int jitter16 = 0;

    uint32_t sourceSsrc = 0;  // of the stream now followed
    int expectedBefore = 0;   // packets expected of the streams before it
    bool timingSet = false;   // lastTimestamp and lastArrivalMs hold an audio packet of this stream
    // The arrival figures as they were before the current run began: a run that turns out to
    // be a new stream takes back what its packets did to them.
    Timing runTiming;

    // Counts a packet that arrived at arrivalMs; true when it is to be played. Duplicates and old
    // packets are refused; a jump of the sender's sequence is followed after three in a row.
    bool update(uint32_t arrivalMs, const RTPHeader& header);
    // Packets expected over the call: of the earlier streams and of this one.
    int expected() const;

private:
    void countArrival(uint32_t arrivalMs, const RTPHeader& header);
    void startRun(uint16_t sequence);
    void newStream(uint16_t firstSequence);
    Timing timing() const { return {jumps80, jumps160, jumps240, jitter16}; }
    void setTiming(const Timing& t);
};

// The figures reported when a call ends.
struct CallStatistics {
    uint32_t ssrc = 0;
    int expected = 0;
    int lost = 0;
    int jumps80 = 0;
    int jumps160 = 0;
    int jumps240 = 0;
    int jitter = 0; // in timestamp units (1/8 ms)
};

class RTPSession : public kbrphone::TransportChannel {
public:
    static constexpr int kPayloadTypePcma = 8;
    static constexpr int kTimerMs = 5000;
    static constexpr int kMaxSendSamples = 800;
    static constexpr int kMaxReceiveSamples = 4000;
    static constexpr int kDtmfSamples = 2400;

    RTPSession();
    ~RTPSession() override;
    RTPSession(const RTPSession&) = delete;
    RTPSession& operator=(const RTPSession&) = delete;

    // Starts the stream towards the remote addresses (an unset RTCP address means RTP port + 1)
    // and (re)arms the keep-alive and RTCP timers; repeated starts keep one entry of each.
    void start(const kmt::SocketAddress& remoteRtp, const kmt::SocketAddress& remoteRtcp,
               int telephoneEventType);
    // Stops the stream (its receive thread joined) and removes both timers.
    void stop();
    // The call is over: stops for good and closes the stream's sockets.
    void release();
    // Removes both timers from the stream's scheduler (the stream must be stopped).
    void removeTimers();
    void hold();
    void unhold();
    // The direction of the call's media as this side sees it (0 recvonly, 1 sendrecv, 2 sendonly,
    // 3 inactive), from the latest offer and answer: what this side answered, or the far end's answer
    // to our offer turned round. While it is recvonly or inactive no audio goes out, only the
    // keep-alives.
    void setAnsweredDirection(int direction);
    // Whether audio may go out as far as the answered direction goes (a hold of our own aside).
    bool maySend();

    // kbrphone::TransportChannel
    void putFrame(uint32_t frameNumber, int16_t* samples, int count) override;
    bool getFrame(uint32_t frameNumber, int16_t* samples, int count, bool prefetch) override;
    bool sendDtmf(char key) override;
    void restart() override;

    // Writes a 12-byte RTP header for the next packet into out and advances sequence and timestamp.
    int writeHeader(uint8_t* out, int payloadType, int count, int marker);
    // Sends an already encoded payload (count = length samples) with its own header.
    void sendPayload(int payloadType, const uint8_t* bytes, int length, int marker);

    // The receive handler: statistics, then A-law payloads into the jitter buffer.
    void receivePacket(const RTPHeader& header, const uint8_t* payload, size_t length);
    // The same for a packet that arrived at arrivalMs on the wall clock.
    void receiveAt(uint32_t arrivalMs, const RTPHeader& header, const uint8_t* payload, size_t length);

    RTPStream& getStream() { return stream; }
    int getTelephoneEventType();
    uint32_t getSsrc();
    bool isHeld();
    ReceiveStatistics receiveStatistics();
    CallStatistics callStatistics();

    static uint8_t encodeALaw(int16_t sample);
    static int16_t decodeALaw(uint8_t code);

private:
    void onKeepAliveTimer();
    void onRtcpTimer();
    void sendAudio(uint32_t frameNumber, const int16_t* samples, int count, int marker);
    bool telephoneEventStep(uint32_t frameNumber, int count);
    void catchUpTimestamp();
    void armTimer(kmt::EventCallbackBase* callback);

    kmt::EventCallback<RTPSession> keepAliveCallback;
    kmt::EventCallback<RTPSession> rtcpCallback;
    std::recursive_mutex lock;
    RTPStream stream;
    JitterBuffer jitterBuffer;
    uint32_t ssrc = 0;
    uint32_t timestamp = 0;
    uint16_t sequence = 0;
    ReceiveStatistics statistics;
    uint32_t dtmfDuration = 0;
    int dtmfSamples = 0;
    int dtmfEndEvents = 0;
    char dtmfKey = 0;
    uint32_t dtmfTimestamp = 0;
    int telephoneEventType = -1;
    int markerNext = 0;
    int64_t lastSendMs = 0;
    bool held = false;
    bool sentSinceKeepAlive = false;
    bool sendAllowed = true; // the answered direction lets audio go out
};

} // namespace rtp
