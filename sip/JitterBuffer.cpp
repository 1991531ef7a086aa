#include "JitterBuffer.h"

#include "kmt/log.h"

#include <algorithm>
#include <cstring>

JitterBuffer::JitterBuffer()
    : readPosition(0), writePosition(0), fill(0), state(stateSilence), minDelay(initialMinDelay),
      concealedGets(0) {
    reset();
}

void JitterBuffer::reset() {
    std::lock_guard<std::recursive_mutex> guard(mutex);
    // The ring is allocated by the first put: a call that receives nothing never pays for it.
    if (ring)
        zeroHistory();
    released = false;
    clearState();
    KMT_LOG(kmt::logJitter, 2) << "reset jitter buffer (state is silence)";
}

void JitterBuffer::release() {
    std::lock_guard<std::recursive_mutex> guard(mutex);
    ring.reset();
    released = true;
    clearState();
}

bool JitterBuffer::holdsRing() const {
    std::lock_guard<std::recursive_mutex> guard(mutex);
    return ring != nullptr;
}

void JitterBuffer::clearState() {
    readPosition = 0;
    writePosition = 0;
    fill = 0;
    state = stateSilence;
    minDelay = initialMinDelay;
    concealedGets = 0;
    // A loss cut short by the reset must not be continued from its stale pitch buffer.
    concealer.clear();
}

void JitterBuffer::zeroHistory() {
    std::fill(ring.get() + ringSize - PacketLossConcealer::historyLength, ring.get() + ringSize, int16_t(0));
}

void JitterBuffer::put(const int16_t* samples, int count) {
    std::lock_guard<std::recursive_mutex> guard(mutex);
    if (count < 0 || (count > 0 && !samples)) {
        KMT_LOG(kmt::logJitter, 1) << "put ignored: invalid sample count " << count;
        return;
    }
    if (released)
        return;
    if (!ring) {
        ring.reset(new int16_t[ringSize]);
        zeroHistory();
    }
    if (count > ringSize) {
        // Only the newest ringSize samples can be kept.
        samples += count - ringSize;
        count = ringSize;
    }
    // At most 80 ms is buffered; a packet so long that it would leave no room for a frame of what
    // was there before raises the limit to itself and one frame.
    const int limit = std::max(int(maxFill), count + frameCount);
    if (count > limit - fill) {
        // The oldest samples make room, never the new packet itself.
        KMT_LOG(kmt::logJitter, 3) << "drop packet";
        const int dropped = std::min(count, fill);
        readPosition = (readPosition + dropped) % ringSize;
        fill -= dropped;
    }
    if (concealer.getErasedFrames() > 0 && count > 0) {
        // Audio follows invented audio, whether the loss began in normal play or while
        // buffering: the first new samples are cross-faded with the concealment's continuation,
        // which also ends that loss for the concealer.
        int16_t first[PacketLossConcealer::frameSize];
        const int n = std::min(count, int(PacketLossConcealer::frameSize));
        std::memcpy(first, samples, sizeof(int16_t) * size_t(n));
        concealer.mergeAfterLoss(first, n);
        writeSamples(first, n);
        fill += n;
        samples += n;
        count -= n;
    }
    if (state == stateConcealing) {
        KMT_LOG(kmt::logJitter, 3) << "set play state to buffering";
        state = stateBuffering;
    }
    writeSamples(samples, count);
    fill += count;
    if (state == stateSilence || (state == stateBuffering && fill >= minDelay)) {
        KMT_LOG(kmt::logJitter, 3) << "reset play state to normal";
        state = stateNormal;
    }
}

bool JitterBuffer::get(int16_t* destination, int count, bool prefetch) {
    std::lock_guard<std::recursive_mutex> guard(mutex);
    if (count < 0 || count > maxGetCount || (count > 0 && !destination)) {
        KMT_LOG(kmt::logJitter, 1) << "get refused: invalid sample count " << count;
        return false;
    }
    if (fill < count || state == stateConcealing || state == stateBuffering) {
        if (prefetch)
            return false;
        if (state == stateSilence) {
            KMT_LOG(kmt::logJitter, 3) << "return empty packet";
            std::fill(destination, destination + count, int16_t(0));
            // Silence follows the loss: the next loss starts afresh from its own history, and
            // the audio after this silence is not merged with a concealment no one heard.
            concealer.clear();
            return true;
        }
        KMT_LOG(kmt::logJitter, 3) << "generate packet";
        while (fill < count) {
            int16_t frame[PacketLossConcealer::frameSize];
            concealer.conceal(frame, ring.get(), ringSize, writePosition);
            writePosition = writeFrame(frame);
            fill += PacketLossConcealer::frameSize;
        }
        if (state == stateNormal) {
            state = stateConcealing;
            if (minDelay < maxMinDelay) {
                minDelay += minDelayStep;
                KMT_LOG(kmt::logJitter, 3) << "increased minDelay to " << minDelay;
            }
        }
        if (++concealedGets > maxConcealedGets) {
            // The concealer keeps its loss: audio that comes back next is merged with it. Only
            // silence played after it ends that loss (below).
            state = stateSilence;
            minDelay = initialMinDelay;
            concealedGets = 0;
            KMT_LOG(kmt::logJitter, 3) << "set play state to silence in get";
        }
    }
    int remaining = count;
    int16_t* out = destination;
    while (remaining > 0) {
        const int n = std::min(remaining, ringSize - readPosition);
        std::memcpy(out, ring.get() + readPosition, n * sizeof(int16_t));
        readPosition = (readPosition + n) % ringSize;
        out += n;
        remaining -= n;
    }
    fill -= count;
    return true;
}

void JitterBuffer::writeSamples(const int16_t* samples, int count) {
    if (count > ringSize) {
        // Only the newest ringSize samples can survive in the ring.
        const int skipped = count - ringSize;
        samples += skipped;
        writePosition = (writePosition + skipped % ringSize) % ringSize;
        count = ringSize;
    }
    while (count > 0) {
        const int n = std::min(count, ringSize - writePosition);
        std::memcpy(ring.get() + writePosition, samples, n * sizeof(int16_t));
        writePosition = (writePosition + n) % ringSize;
        samples += n;
        count -= n;
    }
}

int JitterBuffer::writeFrame(const int16_t* frame) {
    int pos = writePosition;
    for (int i = 0; i < PacketLossConcealer::frameSize; ++i) {
        ring[pos] = frame[i];
        if (++pos == ringSize)
            pos = 0;
    }
    return pos;
}

int JitterBuffer::getState() const {
    std::lock_guard<std::recursive_mutex> guard(mutex);
    return state;
}

int JitterBuffer::getFill() const {
    std::lock_guard<std::recursive_mutex> guard(mutex);
    return fill;
}

int JitterBuffer::getMinDelay() const {
    std::lock_guard<std::recursive_mutex> guard(mutex);
    return minDelay;
}

int JitterBuffer::getConcealedGets() const {
    std::lock_guard<std::recursive_mutex> guard(mutex);
    return concealedGets;
}

int JitterBuffer::getConcealerErasedFrames() const {
    std::lock_guard<std::recursive_mutex> guard(mutex);
    return concealer.getErasedFrames();
}
