// The twin line relay: while a twin call exists it stands in for the microphone and speaker. Received
// payloads are passed between the active call and the twin call without decoding; the phone's tones
// go to the twin call.
#include "Phone.h"

#include "RTPHeader.h"
#include "RTPSession.h"
#include "RTPStream.h"
#include "SoundGenerator.h"
#include "kmt/log.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace kbrphone {

namespace {
constexpr int kPcma = rtp::RTPSession::kPayloadTypePcma;
constexpr uint8_t kALawSilence = 0xD5;
constexpr size_t kMaxToneSamples = 200;
constexpr int kPrimingSamples = 160;
} // namespace

Line* Phone::createTwinLine(const std::string& name) {
    Protocol* p = protocol.load();
    if (!p)
        throw std::runtime_error("no signalling protocol installed");
    Line* line = p->createLine(name);
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    twinLine = line;
    twinConnected = false;
    return line;
}

bool Phone::twinStateChanged(Line* line) {
    const int state = line->getState();
    if (state == lineConnected) {
        bool connect;
        {
            std::lock_guard<std::recursive_mutex> guard(phoneLock);
            connect = !twinConnected;
        }
        if (connect)
            connectTwin(line);
        return false;
    }
    if (state == lineBusy || state == lineFailed || state == lineRemoteEnded || state == lineEnded ||
        state == lineFailedOther) {
        disconnectTwin(line);
        {
            std::lock_guard<std::recursive_mutex> guard(phoneLock);
            twinConnected = false;
        }
        if (state == lineEnded)
            return false;
        hangup(line->getLineId().c_str());
        clearKeyTones();
        return true;
    }
    return false;
}

void Phone::connectTwin(Line* twin) {
    rtp::RTPSession* session = twin->rtpSession();
    if (session) {
        // A few packets of silence open the way through NATs and start the far side's media.
        uint8_t packet[12 + kPrimingSamples];
        const int headerLength = session->writeHeader(packet, kPcma, kPrimingSamples, 0);
        std::memset(packet + headerLength, 0, kPrimingSamples);
        rtp::RTPStream& stream = session->getStream();
        for (int tag = -1; tag >= -4; --tag) {
            try {
                stream.send(tag, packet, size_t(headerLength + kPrimingSamples));
            } catch (const std::exception& e) {
                KMT_LOG(kmt::logPhone, 1) << "twin line: cannot send: " << e.what();
            }
        }
        stream.setPayloadHandler([this, session](rtp::RTPHeader header, void* data, size_t length) {
            relayFromTwin(session, header, data, length);
        });
    }
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    twinConnected = true;
}

void Phone::disconnectTwin(Line* twin) {
    if (rtp::RTPSession* session = twin->rtpSession()) {
        // Not under phoneLock: the receive thread may be waiting for it inside a relay.
        session->getStream().stop();
        session->removeTimers();
        session->getStream().setPayloadHandler(nullptr);
    }
    // The twin reference goes with the twin call, with or without a session.
    {
        std::lock_guard<std::recursive_mutex> guard(phoneLock);
        Line* self = twin;
        twinLine.compare_exchange_strong(self, nullptr);
    }
    const int state = twin->getState();
    if (state == lineRemoteEnded || state == lineEnded)
        return;
    // A failed twin call ends every other call.
    std::vector<std::pair<std::string, bool>> others;
    {
        std::lock_guard<std::recursive_mutex> guard(phoneLock);
        for (const auto& entry : lines)
            if (entry.second != twin)
                others.emplace_back(entry.first, entry.second->getState() == lineOffered);
        for (const auto& other : others) {
            if (other.second)
                rejectIncoming(other.first.c_str());
            else
                hangup(other.first.c_str());
        }
    }
}

void Phone::installRelayToTwin(Line* line) {
    rtp::RTPSession* session = line->rtpSession();
    if (!session)
        return;
    session->getStream().setPayloadHandler([this, line](rtp::RTPHeader header, void* data, size_t length) {
        relayToTwin(line, header, data, length);
    });
}

void Phone::relayFromTwin(rtp::RTPSession* twinSession, const rtp::RTPHeader& header, void* data,
                          size_t length) {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    Line* active = activeLine.load();
    if (active) {
        rtp::RTPSession* session = active->rtpSession();
        if (session) {
            bool send = true;
            if (muted.load()) {
                if (header.payloadType != kPcma)
                    return;
                std::memset(data, kALawSilence, length);
            }
            int type = header.payloadType;
            if (type == twinSession->getTelephoneEventType())
                type = session->getTelephoneEventType();
            if (type < 0)
                send = false;
            if (send)
                session->sendPayload(type, static_cast<const uint8_t*>(data), int(length), header.marker);
        }
    }
    if (header.payloadType == kPcma && (!active || active->getState() != lineConnected))
        sendTonesToTwin(length);
}

void Phone::relayToTwin(Line* line, const rtp::RTPHeader& header, void* data, size_t length) {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    Line* twin = twinLine.load();
    // The line is compared before it is used: it may no longer be the active line.
    if (line != activeLine.load() || !twin)
        return;
    if (sendTonesToTwin(length))
        return;
    rtp::RTPSession* twinSession = twin->rtpSession();
    rtp::RTPSession* session = line->rtpSession();
    if (!twinSession || !session)
        return;
    int type = header.payloadType;
    if (type == session->getTelephoneEventType())
        type = twinSession->getTelephoneEventType();
    if (type < 0)
        return;
    twinSession->sendPayload(type, static_cast<const uint8_t*>(data), int(length), header.marker);
}

bool Phone::sendTonesToTwin(size_t count) {
    if (count >= kMaxToneSamples || count == 0)
        return false;
    Line* twin = twinLine.load();
    Line* active = activeLine.load();
    int16_t samples[kMaxToneSamples] = {};
    bool produced = false;
    bool hasSound;
    {
        std::lock_guard<std::mutex> audio(audioLock);
        hasSound = localSound != nullptr;
    }
    bool hasTone = false;
    if (active) {
        std::lock_guard<std::recursive_mutex> lineGuard(active->lineLock);
        hasTone = active->tone != nullptr;
    }
    if (!hasSound && !hasTone)
        return false;
    if (active) {
        bool finished = false;
        {
            std::lock_guard<std::recursive_mutex> lineGuard(active->lineLock);
            SoundGenerator* tone = active->tone.get();
            produced = tone && tone->generate(samples, int(count));
            if (!produced && isEndToneState(active->getState()) && !active->toneFinishedPosted) {
                active->toneFinishedPosted = true;
                finished = true;
            }
        }
        if (finished)
            toneFinished(active->getLineId().c_str());
    }
    {
        std::lock_guard<std::mutex> audio(audioLock);
        if (localSound) {
            if (localSound->generate(samples, int(count)))
                produced = true;
            else
                localSound.reset();
        }
    }
    if (!produced || !twin)
        return false;
    if (TransportChannel* channel = twin->transportChannel())
        channel->putFrame(0, samples, int(count));
    return true;
}

} // namespace kbrphone
