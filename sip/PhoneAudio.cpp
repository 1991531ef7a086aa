// The phone's side of the audio device: opening and closing it, and the frames it exchanges.
#include "Phone.h"

#include "SoundGenerator.h"
#include "kmt/log.h"

#include <algorithm>
#include <exception>

namespace kbrphone {

namespace {
constexpr int kFrameSamples = 160;
constexpr int kSampleRate = 8000;
} // namespace

void Phone::startAudio() {
    KMT_LOG(kmt::logPhone, 2) << "start audio";
    if (twinLine.load())
        return;
    if (!mediaManager) {
        KMT_LOG(kmt::logPhone, 1) << "no audio manager installed: the call runs without local audio";
        return;
    }
    try {
        const std::string input = mediaManager->getActualInputDevice(inputDevice);
        const std::string output = mediaManager->getActualOutputDevice(outputDevice);
        KMT_LOG(kmt::logPhone, 2) << "actual input device " << input;
        audioStream.reset(mediaManager->createDevice(input, output, this, kFrameSamples, kSampleRate));
        if (phoneDevice)
            phoneDevice->setAudioDevices(input.c_str(), output.c_str());
        audioStream->start();
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logPhone, 1) << "start audio exception: " << e.what();
        audioStream.reset();
    }
}

void Phone::stopAudio() {
    KMT_LOG(kmt::logPhone, 2) << "stop audio";
    if (twinLine.load())
        return;
    if (audioStream) {
        audioStream->stop();
        audioStream.reset();
    }
}

void Phone::putFrame(uint32_t frameNumber, int16_t* samples, int count) {
    TransportChannel* channel = getActiveChannel();
    if (!channel) {
        KMT_LOG(kmt::logPhone, 3) << "callback called without channel";
        return;
    }
    Line* line = activeLine.load();
    if (muted.load() || !line || line->getState() != lineConnected)
        std::fill(samples, samples + count, int16_t(0));
    channel->putFrame(frameNumber, samples, count);
}

bool Phone::getFrame(uint32_t frameNumber, int16_t* samples, int count, bool prefetch) {
    KMT_LOG(kmt::logPhone, 3) << "need frame " << frameNumber << " prefetch is "
                              << (prefetch ? "true" : "false");
    if (TransportChannel* channel = getActiveChannel())
        return channel->getFrame(frameNumber, samples, count, prefetch);
    KMT_LOG(kmt::logPhone, 3) << "callback called without channel";
    std::fill(samples, samples + count, int16_t(0));
    Line* line = activeLine.load();
    if (!line)
        return false;
    bool finished = false;
    {
        std::lock_guard<std::recursive_mutex> guard(line->lineLock);
        SoundGenerator* tone = line->tone.get();
        const bool playing = tone && tone->generate(samples, count);
        // Once per end tone: the line then moves on to state 9 on the loop.
        if (!playing && isEndToneState(line->getState()) && !line->toneFinishedPosted) {
            line->toneFinishedPosted = true;
            finished = true;
        }
    }
    if (finished)
        toneFinished(line->getLineId().c_str());
    return true;
}

} // namespace kbrphone
