#include "Phone.h"

#include "EchoSuppressor.h"
#include "InputLeveler.h"
#include "LineActions.h"
#include "QOSProvider.h"
#include "SipEndPoint.h"
#include "ToneGenerator.h"
#include "kmt/log.h"

#include <stdexcept>

namespace kbrphone {

// ---- Protocol

Protocol::Protocol(Phone* phone_) : phone(phone_) {
    delete phone->protocol.exchange(this);
}

Protocol::~Protocol() {
    Protocol* self = this;
    phone->protocol.compare_exchange_strong(self, nullptr);
}

// ---- Line

Line::Line(Phone* phone_, const std::string& lineId_, const std::string& name_)
    : state(lineIdle), initiator(false), lineId(lineId_), name(name_.empty() ? lineId_ : name_),
      transportChannelActive(false), phone(phone_) {}

Line::~Line() {
    std::lock_guard<std::recursive_mutex> guard(phone->phoneLock);
    // A line that goes without passing through state 8 or 9 must not stay the phone's active or twin line.
    if (phone->activeLine.load() == this)
        phone->disconnectMedia(this);
    Line* self = this;
    phone->twinLine.compare_exchange_strong(self, nullptr);
    phone->removeLine(this);
}

void Line::setState(int newState) {
    const int oldState = state.load();
    if (newState == lineEarlyMedia) {
        // Never stored and nobody is told: the tone stops and the media runs.
        std::lock_guard<std::recursive_mutex> guard(lineLock);
        updateTone(newState, oldState);
        transportChannelActive = true;
        return;
    }
    bool active;
    {
        std::lock_guard<std::recursive_mutex> guard(phone->phoneLock);
        active = phone->activeLine.load() == this;
    }
    if (newState == lineDialing)
        initiator = true;
    {
        std::lock_guard<std::recursive_mutex> guard(lineLock);
        updateTone(newState, oldState);
        state = newState;
    }
    try {
        if (newState == lineEnded || newState == lineEndedTonePlayed) {
            transportChannelActive = false;
            if (active)
                phone->disconnectMedia(this);
            active = false;
        } else if ((oldState == lineIdle && newState == lineDialing) ||
                   (oldState == lineOffered && newState == lineConnected)) {
            phone->connectMedia(this);
            active = true;
        }
        if (newState == lineConnected)
            transportChannelActive = true;
        phone->onLineStateChanged(this, active);
    } catch (...) {
        // The caller never touches a line after state 8, so the line goes even when a notification failed.
        if (state.load() == lineEnded)
            delete this;
        throw;
    }
    if (state.load() == lineEnded)
        delete this;
}

void Line::updateTone(int newState, int oldState) {
    if (newState == oldState)
        return;
    std::lock_guard<std::recursive_mutex> guard(lineLock);
    std::unique_ptr<SoundGenerator> next(createLineTone(newState));
    // The previous tone is deleted after the new one is in place.
    tone.swap(next);
    toneFinishedPosted = false;
}

// ---- Phone

Phone::Phone(std::unique_ptr<MediaManager> mediaManager_, PhoneDeviceCreatorBase& creator)
    : protocol(nullptr), activeLine(nullptr), activeChannel(nullptr), twinLine(nullptr), twinConnected(false),
      muted(false), autoInputLevel(true), ringerEnabled(true), mediaManager(std::move(mediaManager_)) {
    PhoneDeviceInterface* device = nullptr;
    creator.create(device, this);
    phoneDevice.reset(device);
    try {
        // The SIP end point installs itself as this phone's protocol.
        new sip::SipEndPoint(this);
        delete QOSProvider::create();
    } catch (...) {
        delete protocol.exchange(nullptr);
        throw;
    }
}

Phone::~Phone() {
    // The protocol goes first: its dialogs and lines still reach the line map and the lock.
    delete protocol.exchange(nullptr);
    // The audio thread ends before the objects it uses go.
    if (audioStream)
        audioStream->stop();
    audioStream.reset();
}

void Phone::muteStateChanged(bool value) {
    KMT_LOG(kmt::logPhone, 3) << "Mute is " << (value ? "on" : "off");
}

void Phone::addLine(Line* line) {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    if (!lines.emplace(line->getLineId(), line).second)
        throw std::runtime_error("line id is not unique");
}

void Phone::removeLine(Line* line) {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    auto it = lines.find(line->getLineId());
    // A line whose id was refused by addLine must not remove the line that holds the id.
    if (it != lines.end() && it->second == line)
        lines.erase(it);
}

Line* Phone::findLine(const std::string& lineId) {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    auto it = lines.find(lineId);
    return it == lines.end() ? nullptr : it->second;
}

size_t Phone::lineCount() {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    return lines.size();
}

void Phone::connectMedia(Line* line) {
    if (line == twinLine.load())
        return;
    Line* previous = nullptr;
    bool audioStarted = false;
    bool relay = false;
    {
        std::lock_guard<std::recursive_mutex> guard(phoneLock);
        if (activeLine.load() == line)
            return;
        previous = activeLine.load();
        activeLine = line;
        activeChannel = line->transportChannel();
        relay = twinLine.load() != nullptr && line->rtpSession() != nullptr;
        if (!previous) {
            startAudio();
            audioStarted = true;
        }
    }
    // Installed without phoneLock: the relay itself takes phoneLock under the stream's receive lock.
    if (relay)
        installRelayToTwin(line);
    if (previous)
        previous->putOnHold();
    if (audioStarted)
        setMute(false);
}

void Phone::disconnectMedia(Line* line) {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    if (activeLine.load() != line)
        return;
    stopAudio();
    activeLine = nullptr;
    activeChannel = nullptr;
    clearKeyTones();
}

void Phone::onLineStateChanged(Line* line, bool active) {
    const bool twin = line == twinLine.load();
    if (twin && twinStateChanged(line))
        return;
    if (!twin) {
        if (PhoneDeviceInterface* device = phoneDevice.get()) {
            const std::string localName = line->localName();
            const std::string localUri = line->localUri();
            const std::string remoteName = line->remoteName();
            const std::string remoteUri = line->remoteUri();
            device->lineStateChanged(line->getLineId().c_str(), line->getState(), active, line->isInitiator(),
                                     localName.c_str(), localUri.c_str(), remoteName.c_str(),
                                     remoteUri.c_str());
        }
        if (active && muted.load())
            setMute(false);
    }
    lineStateChanged(line, active);
}

TransportChannel* Phone::getActiveChannel() {
    TransportChannel* channel = activeChannel.load();
    Line* line = activeLine.load();
    const int lineState = line ? line->getState() : 0;
    const bool channelActive = line && line->isTransportChannelActive();
    if (channel && channelActive &&
        (lineState == lineDialing || lineState == lineRingback || lineState == lineConnected))
        return channel;
    KMT_LOG(kmt::logPhone, 2) << "Transport channel null: channel is" << (channel ? " not " : "") << " null"
                              << ", activeLine is " << (line ? "not " : "") << " null, "
                              << "transportChannelActive=" << (channelActive ? 1 : 0)
                              << ", activeLineState=" << lineState;
    return nullptr;
}

void Phone::postLineAction(const char* lineId, void (Line::*operation)()) {
    post(this, new LineAction(this, lineId, operation));
}

void Phone::hangup(const char* lineId) {
    postLineAction(lineId, &Line::hangup);
}
void Phone::toneFinished(const char* lineId) {
    postLineAction(lineId, &Line::toneFinished);
}
void Phone::answerIncoming(const char* lineId) {
    postLineAction(lineId, &Line::answerIncoming);
}
void Phone::rejectIncoming(const char* lineId) {
    postLineAction(lineId, &Line::rejectIncoming);
}
void Phone::putOnHold(const char* lineId) {
    postLineAction(lineId, &Line::putOnHold);
}
void Phone::activate(const char* lineId) {
    postLineAction(lineId, &Line::activate);
}

void Phone::replacePhoneDevice(PhoneDeviceInterface* device) {
    phoneDevice.reset(device);
}

void Phone::setLocalSound(std::unique_ptr<SoundGenerator> sound) {
    // The audio thread mixes the sound under audioLock: swap it there, delete the old one after.
    std::unique_ptr<SoundGenerator> old(std::move(sound));
    std::lock_guard<std::mutex> guard(audioLock);
    localSound.swap(old);
}

bool Phone::hasLocalSound() {
    std::lock_guard<std::mutex> guard(audioLock);
    return localSound != nullptr;
}

void Phone::setMute(bool value) {
    bool changed;
    {
        std::lock_guard<std::recursive_mutex> guard(phoneLock);
        changed = muted.load() != value;
        muted = value;
    }
    if (changed)
        post(this, new PhoneMuteAction(this, muted.load()));
}

} // namespace kbrphone
