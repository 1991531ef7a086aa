#include "AbstractPhoneDevice.h"

#include "Phone.h"
#include "ToneGenerator.h"
#include "kmt/log.h"

#include <memory>

using kbrphone::lineConnected;
using kbrphone::lineEnded;
using kbrphone::lineEndedTonePlayed;
using kbrphone::lineOffered;
using kbrphone::lineRemoteEnded;

namespace {
std::string text(const char* s) {
    return s ? std::string(s) : std::string();
}
} // namespace

AbstractPhoneDevice::AbstractPhoneDevice(kbrphone::Phone* phone_) : phone(phone_) {}

void AbstractPhoneDevice::lineStateChanged(const char* lineId_, int state, bool active, bool initiator,
                                           const char* localName, const char* localUri, const char* remoteName,
                                           const char* remoteUri) {
    const std::string lineId = text(lineId_);
    std::lock_guard<std::recursive_mutex> guard(tableLock);
    KMT_LOG(kmt::logPhoneDevice, 2) << "LineState (" << lineId << ") changed: " << state << ", local name "
                                    << text(localName) << " (" << text(localUri) << "), remote name"
                                    << text(remoteName) << " (" << text(remoteUri) << "), active is"
                                    << (active ? 1 : 0) << ", is initiator " << (initiator ? 1 : 0);
    int index = findLineIndex(lineId);
    const int previous = firstActiveIndex();
    if (state == lineEnded || state == lineEndedTonePlayed) {
        if (index >= 0)
            lineTable.erase(lineTable.begin() + index);
        return;
    }
    if (index < 0) {
        lineTable.push_back(LineInfo{lineId, state, active, initiator, text(localName), text(localUri),
                                     text(remoteName), text(remoteUri)});
        index = static_cast<int>(lineTable.size()) - 1;
    } else {
        lineTable[index].state = state;
        lineTable[index].active = active;
    }
    if (active && previous >= 0 && previous != index)
        lineTable[previous].active = false;
}

int AbstractPhoneDevice::findLineIndex(const std::string& lineId) {
    for (size_t i = 0; i < lineTable.size(); ++i) {
        if (lineTable[i].lineId == lineId)
            return static_cast<int>(i);
    }
    return -1;
}

int AbstractPhoneDevice::firstActiveIndex() const {
    for (size_t i = 0; i < lineTable.size(); ++i) {
        if (lineTable[i].active)
            return static_cast<int>(i);
    }
    return -1;
}

void AbstractPhoneDevice::onLine(int index, const char* what, const char* open,
                                 void (kbrphone::Phone::*operation)(const char*)) {
    if (!phone || index < 0)
        return;
    std::lock_guard<std::recursive_mutex> guard(tableLock);
    if (index >= static_cast<int>(lineTable.size()))
        return;
    const LineInfo& line = lineTable[index];
    KMT_LOG(kmt::logPhoneDevice, 2) << what << line.remoteName << open << line.remoteUri << ")";
    (phone->*operation)(line.lineId.c_str());
}

void AbstractPhoneDevice::answerLine(int index) {
    onLine(index, "answer line from ", "(", &kbrphone::Phone::answerIncoming);
}

void AbstractPhoneDevice::hangupLine(int index) {
    onLine(index, "hangup line with ", " (", &kbrphone::Phone::hangup);
}

void AbstractPhoneDevice::rejectLine(int index) {
    onLine(index, "reject line with ", " (", &kbrphone::Phone::rejectIncoming);
}

void AbstractPhoneDevice::activateLine(int index) {
    onLine(index, "activate line with ", " (", &kbrphone::Phone::activate);
}

void AbstractPhoneDevice::answerRingingLine() {
    std::lock_guard<std::recursive_mutex> guard(tableLock);
    for (int i = static_cast<int>(lineTable.size()) - 1; i >= 0; --i) {
        if (lineTable[i].state == lineOffered) {
            answerLine(i);
            return;
        }
    }
}

void AbstractPhoneDevice::hookButton() {
    std::lock_guard<std::recursive_mutex> guard(tableLock);
    if (lineTable.empty())
        return;
    const int active = firstActiveIndex();
    const int state = active >= 0 ? lineTable[active].state : -1;
    if (active < 0 || state == lineRemoteEnded || state == lineEnded || state == lineEndedTonePlayed) {
        answerRingingLine();
    } else if (state == lineOffered) {
        KMT_LOG(kmt::logPhoneDevice, 2) << "answer active incoming line";
        answerLine(active);
    } else {
        hangupLine(active);
    }
}

void AbstractPhoneDevice::swapButton() {
    std::lock_guard<std::recursive_mutex> guard(tableLock);
    if (lineTable.empty())
        return;
    const int active = firstActiveIndex();
    if (active < 0) {
        activateLine(0);
        return;
    }
    const int n = static_cast<int>(lineTable.size());
    for (int j = 1; j < n; ++j) {
        const int i = (active + j) % n;
        if (lineTable[i].state == lineConnected) {
            activateLine(i);
            return;
        }
    }
}

void AbstractPhoneDevice::playBeep() {
    if (!phone)
        return;
    {
        std::lock_guard<std::recursive_mutex> guard(tableLock);
    }
    std::unique_ptr<kbrphone::WaveGenerator> beep(new kbrphone::WaveGenerator(4000));
    kbrphone::WaveGenerator::Segment& segment = beep->addSegment(425, 0);
    segment.toneLength = 2000;
    segment.pauseLength = 0;
    beep->setRepeat(1);
    // The phone swaps the sound under its lock, so the audio thread never mixes a deleted one.
    phone->setLocalSound(std::move(beep));
}

bool AbstractPhoneDevice::hasOpenLines() {
    std::lock_guard<std::recursive_mutex> guard(tableLock);
    for (const LineInfo& line : lineTable) {
        if (line.state != lineOffered)
            return true;
    }
    return false;
}

bool AbstractPhoneDevice::isLineActive(const std::string& lineId) {
    std::lock_guard<std::recursive_mutex> guard(tableLock);
    const int index = findLineIndex(lineId);
    return index >= 0 && lineTable[index].active;
}

bool AbstractPhoneDevice::isRinging() {
    std::lock_guard<std::recursive_mutex> guard(tableLock);
    bool offered = false;
    for (const LineInfo& line : lineTable) {
        if (line.state == lineOffered)
            offered = true;
        else if (line.state != lineRemoteEnded)
            return false;
    }
    return offered;
}

bool AbstractPhoneDevice::ringerEnabled() {
    if (!phone)
        return true;
    std::lock_guard<std::recursive_mutex> guard(phone->getLock());
    return phone->isRingerEnabled();
}

std::vector<LineInfo> AbstractPhoneDevice::lines() {
    std::lock_guard<std::recursive_mutex> guard(tableLock);
    return lineTable;
}
