#include "RTPSession.h"

#include "kmt/ident.h"
#include "kmt/log.h"
#include "plat/time.h"

#include <array>
#include <climits>
#include <cstring>
#include <exception>

namespace rtp {

namespace {

// G.711 A-law expansion: one 16-bit sample for each of the 256 codes.
constexpr int16_t expandALaw(uint8_t code) {
    const int a = code ^ 0x55;
    int magnitude = (a & 0x0F) << 4;
    const int segment = (a & 0x70) >> 4;
    if (segment == 0) {
        magnitude += 8;
    } else {
        magnitude += 0x108;
        magnitude <<= segment - 1;
    }
    return static_cast<int16_t>((a & 0x80) ? magnitude : -magnitude);
}

constexpr std::array<int16_t, 256> makeExpansionTable() {
    std::array<int16_t, 256> table{};
    for (int i = 0; i < 256; ++i)
        table[static_cast<size_t>(i)] = expandALaw(static_cast<uint8_t>(i));
    return table;
}

constexpr std::array<int16_t, 256> kALawExpansion = makeExpansionTable();

// Segment of a magnitude from 0x200 up, by magnitude >> 10.
constexpr uint8_t kALawSegment[32] = {2, 3, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 6, 6, 6, 6,
                                      7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7};

constexpr const char kDtmfKeys[] = "0123456789*#ABCD";

int dtmfEventCode(char key) {
    for (int i = 0; i < 16; ++i)
        if (kDtmfKeys[i] == key)
            return i;
    return 255;
}

int64_t nowMs() {
    return plat::wallClockMs();
}

} // namespace

void ReceiveStatistics::countArrival(uint32_t arrivalMs, const RTPHeader& h) {
    if (h.payloadType != audioPayloadType)
        return;
    if (timingSet) {
        // Both differences taken modulo 2^32 as signed values, so a wrap of either clock is no jump.
        const int64_t arrivalDelta = static_cast<int32_t>(lastArrivalMs - arrivalMs);
        const int64_t timestampDelta = static_cast<int32_t>(h.timestamp - lastTimestamp);
        const int64_t d = arrivalDelta * 8 + timestampDelta;
        const int64_t absD = d < 0 ? -d : d;
        if (absD >= 80)
            ++jumps80;
        if (absD >= 160)
            ++jumps160;
        if (absD >= 240)
            ++jumps240;
        const int64_t jitter = int64_t(jitter16) + absD - (jitter16 >> 4);
        jitter16 = jitter > INT_MAX ? INT_MAX : static_cast<int>(jitter);
    }
    lastTimestamp = h.timestamp;
    lastArrivalMs = arrivalMs;
    timingSet = true;
}

void ReceiveStatistics::setTiming(const Timing& t) {
    jumps80 = t.jumps80;
    jumps160 = t.jumps160;
    jumps240 = t.jumps240;
    jitter16 = t.jitter16;
}

void ReceiveStatistics::startRun(uint16_t sequence) {
    resyncRun = 1;
    resyncSequence = sequence;
}

void ReceiveStatistics::newStream(uint16_t firstSequence) {
    expectedBefore += cycles + int(highestSequence) - int(baseSequence) + 1;
    baseSequence = highestSequence = firstSequence;
    cycles = 0;
    resyncRun = 0;
}

int ReceiveStatistics::expected() const {
    if (received == 0)
        return 0;
    return expectedBefore + cycles + int(highestSequence) - int(baseSequence) + 1;
}

bool ReceiveStatistics::update(uint32_t arrivalMs, const RTPHeader& h) {
    if (received == 0) {
        ssrc = sourceSsrc = h.ssrc;
        baseSequence = highestSequence = h.sequenceNumber;
        received = 1;
        lastTimestamp = h.timestamp;
        lastArrivalMs = arrivalMs;
        timingSet = h.payloadType == audioPayloadType;
        return true;
    }
    ++received;
    if (h.ssrc != sourceSsrc) {
        // Another source: its sequence numbers and timestamps have nothing to do with the old ones.
        sourceSsrc = h.ssrc;
        newStream(h.sequenceNumber);
        timingSet = false;
        countArrival(arrivalMs, h);
        return true;
    }
    const Timing before = timing();
    countArrival(arrivalMs, h);

    // A packet from before the first one received, reordered at the stream's start, was expected
    // too: the base moves back to it while it lies within the reorder window of the highest.
    const int span = cycles + int(highestSequence) - int(baseSequence);
    const int beforeBase = static_cast<int16_t>(static_cast<uint16_t>(baseSequence - h.sequenceNumber));
    if (beforeBase > 0 && span + beforeBase <= maxMisorder) {
        if (h.sequenceNumber > baseSequence)
            cycles += 65536; // back across the wrap
        baseSequence = h.sequenceNumber;
    }

    int delta = int(h.sequenceNumber) - int(highestSequence);
    if (delta < -65526) {
        cycles += 65536;
        delta += 65536;
    }
    if (delta >= 1 && delta <= 9) {
        highestSequence = h.sequenceNumber;
        resyncRun = 0;
        return true;
    }
    if (resyncRun > 0 && h.sequenceNumber == static_cast<uint16_t>(resyncSequence + 1)) {
        resyncSequence = h.sequenceNumber;
        const bool third = resyncRun == 2;
        ++resyncRun;
        if (third) {
            resyncRun = 0;
            const uint16_t runStart = static_cast<uint16_t>(h.sequenceNumber - 2);
            // How far the run lies ahead of the highest sequence number, negative behind it, modulo 2^16.
            const int ahead = static_cast<int16_t>(static_cast<uint16_t>(runStart - highestSequence));
            if (ahead <= 0 && ahead >= -maxMisorder) {
                // Late packets of this stream that came in a row (reordering): refused like any late
                // packet; the stream goes on where it was.
                ++discarded;
                return false;
            }
            // The new run is followed: its first two packets no longer count as discarded.
            discarded -= 2;
            if (ahead >= maxDropout || ahead < -maxMisorder) {
                // A new stream under the same source: count again from its start; its first
                // packets are no late arrivals of the old one.
                newStream(runStart);
                setTiming(runTiming);
                timingSet = false;
                countArrival(arrivalMs, h);
            } else if (h.sequenceNumber < highestSequence) {
                cycles += 65536; // followed forward across the wrap
            }
            resyncRun = 0;
            highestSequence = h.sequenceNumber;
            return true;
        }
    } else {
        startRun(h.sequenceNumber);
        runTiming = before;
    }
    ++discarded;
    return false;
}

RTPSession::RTPSession()
    : keepAliveCallback(this, &RTPSession::onKeepAliveTimer), rtcpCallback(this, &RTPSession::onRtcpTimer) {
    kmt::randomBytes(&ssrc, sizeof ssrc);
    lastSendMs = nowMs();
    stream.setPayloadHandler([this](RTPHeader header, void* payload, size_t length) {
        receivePacket(header, static_cast<const uint8_t*>(payload), length);
    });
}

RTPSession::~RTPSession() {
    stop();
    // The receive thread's handler uses the jitter buffer and the statistics, which go before the
    // stream does.
    stream.awaitThreadEnd();
}

void RTPSession::armTimer(kmt::EventCallbackBase* callback) {
    // One entry per timer whatever happened before: an earlier start, or a tick that was already
    // taken off the list when this one was armed.
    stream.getScheduler().removeTimer(callback);
    stream.getScheduler().addTimer(kTimerMs, callback);
}

void RTPSession::start(const kmt::SocketAddress& remoteRtp, const kmt::SocketAddress& remoteRtcp,
                       int telephoneEvent) {
    // Not under the session lock: a receive thread that was stopped a moment ago may need it to end.
    stream.awaitThreadEnd();
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (stream.isReleased()) {
        KMT_LOG(kmt::logRtp, 2) << "not started: the call's media is over";
        return;
    }
    telephoneEventType = telephoneEvent;
    stream.start(remoteRtp, remoteRtcp);
    armTimer(&keepAliveCallback);
    armTimer(&rtcpCallback);
}

void RTPSession::stop() {
    // Not under the session lock: the receive thread being joined may be waiting for it.
    stream.stop();
    removeTimers();
}

void RTPSession::release() {
    stop();
    // The ring is most of what a call holds: it goes with the call, not with its dialog.
    jitterBuffer.release();
    stream.release();
}

void RTPSession::removeTimers() {
    if (stream.isReleased())
        return;
    stream.getScheduler().removeTimer(&keepAliveCallback);
    stream.getScheduler().removeTimer(&rtcpCallback);
}

void RTPSession::hold() {
    KMT_LOG(kmt::logRtp, 2) << "holding rtp session " << static_cast<const void*>(this);
    std::lock_guard<std::recursive_mutex> guard(lock);
    held = true;
}

void RTPSession::unhold() {
    KMT_LOG(kmt::logRtp, 2) << "unholding rtp session " << static_cast<const void*>(this);
    std::lock_guard<std::recursive_mutex> guard(lock);
    jitterBuffer.reset();
    held = false;
    catchUpTimestamp();
}

void RTPSession::setAnsweredDirection(int direction) {
    const bool allowed = direction == 1 || direction == 2;
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (allowed != sendAllowed) {
        KMT_LOG(kmt::logRtp, 2) << (allowed ? "sending" : "not sending") << " audio on rtp session "
                                << static_cast<const void*>(this) << ": answered " << direction;
    }
    sendAllowed = allowed;
}

bool RTPSession::maySend() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return sendAllowed;
}

void RTPSession::restart() {
    hold();
    unhold();
}

void RTPSession::catchUpTimestamp() {
    int64_t elapsed = nowMs() - lastSendMs;
    // A wall clock set back gives a negative gap: the timestamp never runs backwards.
    if (elapsed < 0)
        elapsed = 0;
    if (elapsed > 5000)
        elapsed = 5000;
    timestamp += static_cast<uint32_t>(elapsed * 8);
    // The time up to now is accounted for; a second catch-up must not count it again.
    lastSendMs = nowMs();
}

void RTPSession::putFrame(uint32_t frameNumber, int16_t* samples, int count) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (!held && sendAllowed && stream.hasRemoteRtp()) {
        sendAudio(frameNumber, samples, count, 0);
    } else {
        timestamp += static_cast<uint32_t>(count);
        lastSendMs = nowMs();
    }
}

bool RTPSession::getFrame(uint32_t frameNumber, int16_t* samples, int count, bool prefetch) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (held) {
        std::memset(samples, 0, sizeof(int16_t) * static_cast<size_t>(count > 0 ? count : 0));
        return true;
    }
    return jitterBuffer.get(samples, count, prefetch);
}

int RTPSession::writeHeader(uint8_t* out, int payloadType, int count, int marker) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    out[0] = 0x80;
    out[1] = static_cast<uint8_t>((payloadType & 0x7F) | (marker == 1 ? 0x80 : 0));
    storeBE16(out + 2, sequence);
    storeBE32(out + 4, timestamp);
    storeBE32(out + 8, ssrc);
    ++sequence;
    timestamp += static_cast<uint32_t>(count);
    lastSendMs = nowMs();
    return 12;
}

uint8_t RTPSession::encodeALaw(int16_t sample) {
    const int m = sample < 0 ? -int(sample) : int(sample);
    int code;
    if (m >= 0x7C00) {
        code = 0x7F;
    } else if (m < 0x200) {
        code = m >> 4;
    } else {
        const int segment = kALawSegment[m >> 10];
        code = (segment << 4) | ((m >> (segment + 3)) & 0x0F);
    }
    return static_cast<uint8_t>(sample >= 0 ? code ^ 0xD5 : code ^ 0x55);
}

int16_t RTPSession::decodeALaw(uint8_t code) {
    return kALawExpansion[code];
}

void RTPSession::sendAudio(uint32_t frameNumber, const int16_t* samples, int count, int marker) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    sentSinceKeepAlive = true;
    try {
        if (telephoneEventStep(frameNumber, count))
            return;
        if (count < 0 || count > kMaxSendSamples)
            return;
        uint8_t packet[12 + kMaxSendSamples];
        writeHeader(packet, kPayloadTypePcma, count, marker);
        for (int i = 0; i < count; ++i)
            packet[12 + i] = encodeALaw(samples[i]);
        stream.send(static_cast<int>(frameNumber), packet, 12 + static_cast<size_t>(count));
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logRtp, 2) << "ignoring exception: " << e.what();
    }
}

void RTPSession::sendPayload(int payloadType, const uint8_t* bytes, int length, int marker) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (!sendAllowed)
        return; // the far end holds the call: only the keep-alives go
    sentSinceKeepAlive = true;
    // Without a remote address (the far end holds the call) the packet cannot go out: it takes no
    // sequence number, or the far end counts it as lost once the call resumes. Its samples still
    // pass on the timestamp, as a frame putFrame cannot send does.
    if (!stream.hasRemoteRtp()) {
        if (length > 0 && length <= kMaxSendSamples)
            timestamp += static_cast<uint32_t>(length);
        lastSendMs = nowMs();
        return;
    }
    try {
        if (telephoneEventStep(0, length))
            return;
        if (length < 0 || length > kMaxSendSamples)
            return;
        uint8_t packet[12 + kMaxSendSamples];
        writeHeader(packet, payloadType, length, marker);
        if (length)
            std::memcpy(packet + 12, bytes, static_cast<size_t>(length));
        stream.send(0, packet, 12 + static_cast<size_t>(length));
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logRtp, 2) << "ignoring exception: " << e.what();
    }
}

bool RTPSession::sendDtmf(char key) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (telephoneEventType < 0)
        return false;
    dtmfTimestamp = timestamp;
    dtmfKey = key;
    dtmfSamples = kDtmfSamples;
    dtmfDuration = 0;
    markerNext = 1;
    dtmfEndEvents = 3;
    return true;
}

bool RTPSession::telephoneEventStep(uint32_t frameNumber, int count) {
    if (dtmfKey == 0 || (dtmfSamples <= 0 && dtmfEndEvents <= 0))
        return false;
    uint8_t packet[16];
    packet[0] = 0x80;
    packet[1] = static_cast<uint8_t>((telephoneEventType & 0x7F) | (markerNext == 1 ? 0x80 : 0));
    storeBE16(packet + 2, sequence);
    ++sequence;
    storeBE32(packet + 4, dtmfTimestamp);
    storeBE32(packet + 8, ssrc);
    markerNext = 0;

    bool endPacket;
    bool taken;
    if (count < dtmfSamples) {
        dtmfSamples -= count;
        dtmfDuration += static_cast<uint32_t>(count);
        timestamp += static_cast<uint32_t>(count);
        endPacket = false;
        taken = true;
    } else {
        dtmfDuration += static_cast<uint32_t>(dtmfSamples);
        dtmfSamples = 0;
        endPacket = true;
        // The first end packet replaces the frame; the two repeats go out beside the audio.
        taken = dtmfEndEvents == 3;
        if (dtmfEndEvents > 0)
            --dtmfEndEvents;
        if (taken)
            timestamp += static_cast<uint32_t>(count);
    }
    const int endBit = endPacket ? 0x80 : 0;
    packet[12] = static_cast<uint8_t>(dtmfEventCode(dtmfKey));
    packet[13] = static_cast<uint8_t>(endBit | 10);
    storeBE16(packet + 14, static_cast<uint16_t>(dtmfDuration));
    stream.send(static_cast<int>(frameNumber), packet, sizeof packet);
    KMT_LOG(kmt::logRtp, 2) << "start dtmf packet: " << 0 << ", duration is " << dtmfDuration
                            << ", dtmfSamples is " << dtmfSamples << ", dtmfEndEvents is " << dtmfEndEvents
                            << ", end_bit is " << endBit;
    return taken;
}

void RTPSession::receivePacket(const RTPHeader& header, const uint8_t* payload, size_t length) {
    receiveAt(static_cast<uint32_t>(nowMs()), header, payload, length);
}

void RTPSession::receiveAt(uint32_t arrival, const RTPHeader& header, const uint8_t* payload, size_t length) {
    bool accepted;
    bool isHeldNow;
    {
        std::lock_guard<std::recursive_mutex> guard(lock);
        accepted = statistics.update(arrival, header);
        isHeldNow = held;
    }
    if (!accepted)
        return;
    if (header.payloadType != kPayloadTypePcma) {
        KMT_LOG(kmt::logRtp, 5) << "ignore, received rtp of type " << header.payloadType;
        return;
    }
    if (isHeldNow || length > static_cast<size_t>(kMaxReceiveSamples))
        return;
    int16_t samples[kMaxReceiveSamples];
    for (size_t i = 0; i < length; ++i)
        samples[i] = kALawExpansion[payload[i]];
    jitterBuffer.put(samples, static_cast<int>(length));
}

void RTPSession::onKeepAliveTimer() {
    KMT_LOG(kmt::logRtp, 2) << "keep alive called on " << getSsrc();
    std::lock_guard<std::recursive_mutex> guard(lock);
    // Without a remote address (the far end holds the call) nothing can go out: a keep-alive
    // that is not sent must not use up a sequence number or move the timestamp.
    if (!sentSinceKeepAlive && stream.hasRemoteRtp()) {
        catchUpTimestamp();
        const int16_t zero = 0;
        sendAudio(0, &zero, 1, 1);
    }
    sentSinceKeepAlive = false;
    armTimer(&keepAliveCallback);
}

void RTPSession::onRtcpTimer() {
    try {
        uint8_t report[1000];
        EndianBuffer out(report, sizeof report);
        {
            std::lock_guard<std::recursive_mutex> guard(lock);
            RTPStream::buildSenderReport(out, 0xC800, ssrc, timestamp);
        }
        storeBE16(report + 2, static_cast<uint16_t>((out.size() - 1) / 4));
        stream.sendControl(report, out.size());
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logRtp, 1) << "Ignore exception during sendrtcp: " << e.what();
    }
}

int RTPSession::getTelephoneEventType() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return telephoneEventType;
}

uint32_t RTPSession::getSsrc() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return ssrc;
}

bool RTPSession::isHeld() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return held;
}

ReceiveStatistics RTPSession::receiveStatistics() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    return statistics;
}

CallStatistics RTPSession::callStatistics() {
    std::lock_guard<std::recursive_mutex> guard(lock);
    CallStatistics s;
    s.ssrc = statistics.ssrc;
    if (statistics.received == 0)
        return s; // nothing arrived: nothing was expected and nothing lost
    s.expected = statistics.expected();
    s.lost = s.expected - statistics.received;
    s.jumps80 = statistics.jumps80;
    s.jumps160 = statistics.jumps160;
    s.jumps240 = statistics.jumps240;
    s.jitter = statistics.jitter16 >> 4;
    return s;
}

} // namespace rtp
