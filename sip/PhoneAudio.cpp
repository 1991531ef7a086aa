// The phone's side of the audio device: opening and closing it, the frames it exchanges, key tones,
// device choice and levels.
#include "EchoSuppressor.h"
#include "InputLeveler.h"
#include "Phone.h"
#include "SoundGenerator.h"
#include "ToneGenerator.h"
#include "kmt/log.h"

#include <algorithm>
#include <cmath>
#include <exception>

namespace kbrphone {

namespace {
constexpr int kFrameSamples = 160;
constexpr int kSampleRate = 8000;
constexpr int kInBandDtmfAmplitude = 8000;
constexpr int kKeyFeedbackAmplitude = 4000;

// Input with an echo canceller of its own.
bool needsEchoSuppressor(const std::string& input) {
    const bool gnHeadset =
        input.find("GN 9330") != std::string::npos && input.find("GN 9350") != std::string::npos;
    return !gnHeadset && input.find("Jabra") == std::string::npos;
}

float boundLevel(double level) {
    if (!(level > 0.0))
        return 0.0f; // also NaN
    return level > 1.0 ? 1.0f : float(level);
}
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
        if (needsEchoSuppressor(input)) {
            KMT_LOG(kmt::logPhone, 2) << "start echo supppressor";
            std::unique_ptr<EchoSuppressor> fresh(new EchoSuppressor);
            std::lock_guard<std::mutex> guard(audioLock);
            echoSuppressor.swap(fresh);
        }
        // A previous stream is stopped before it goes, so no frame reaches a half-built run.
        if (audioStream)
            audioStream->stop();
        audioStream.reset(mediaManager->createDevice(input, output, this, kFrameSamples, kSampleRate));
        std::unique_ptr<InputLeveler> leveler;
        if (autoInputLevel)
            leveler.reset(new InputLeveler(audioStream.get(), input));
        {
            std::lock_guard<std::mutex> guard(audioLock);
            inputLeveler.swap(leveler);
        }
        if (phoneDevice)
            phoneDevice->setAudioDevices(input.c_str(), output.c_str());
        audioStream->start();
    } catch (const std::exception& e) {
        KMT_LOG(kmt::logPhone, 1) << "start audio exception: " << e.what();
        std::unique_ptr<InputLeveler> leveler;
        {
            std::lock_guard<std::mutex> guard(audioLock);
            inputLeveler.swap(leveler);
        }
        leveler.reset();
        if (audioStream) {
            audioStream->stop();
            audioStream.reset();
        }
    }
}

void Phone::stopAudio() {
    KMT_LOG(kmt::logPhone, 2) << "stop audio";
    if (twinLine.load())
        return;
    // The stream's audio thread ends before anything it uses goes; audioLock is not held meanwhile.
    if (audioStream)
        audioStream->stop();
    std::unique_ptr<InputLeveler> leveler;
    std::unique_ptr<EchoSuppressor> suppressor;
    {
        std::lock_guard<std::mutex> guard(audioLock);
        inputLeveler.swap(leveler);
        echoSuppressor.swap(suppressor);
    }
    leveler.reset();
    audioStream.reset();
}

bool Phone::isAudioRunning() {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    return audioStream != nullptr;
}

bool Phone::hasEchoSuppressor() {
    std::lock_guard<std::mutex> guard(audioLock);
    return echoSuppressor != nullptr;
}

bool Phone::hasInputLeveler() {
    std::lock_guard<std::mutex> guard(audioLock);
    return inputLeveler != nullptr;
}

void Phone::putFrame(uint32_t frameNumber, int16_t* samples, int count) {
    TransportChannel* channel = getActiveChannel();
    if (!channel) {
        KMT_LOG(kmt::logPhone, 3) << "callback called without channel";
        return;
    }
    if (count <= 0)
        return;
    Line* line = activeLine.load();
    {
        std::lock_guard<std::mutex> guard(audioLock);
        if (muted.load() || !line || line->getState() != lineConnected) {
            std::fill(samples, samples + count, int16_t(0));
        } else {
            if (echoSuppressor)
                echoSuppressor->cancel(frameNumber, samples, count);
            if (inputLeveler)
                inputLeveler->process(frameNumber, samples, count);
        }
        // Key tones go out even while muted.
        if (inBandDtmf && !inBandDtmf->generate(samples, count))
            inBandDtmf.reset();
    }
    channel->putFrame(frameNumber, samples, count);
}

bool Phone::getFrame(uint32_t frameNumber, int16_t* samples, int count, bool prefetch) {
    KMT_LOG(kmt::logPhone, 3) << "need frame " << frameNumber << " prefetch is "
                              << (prefetch ? "true" : "false");
    if (count <= 0)
        return false;
    TransportChannel* channel = getActiveChannel();
    if (channel) {
        if (!channel->getFrame(frameNumber, samples, count, prefetch))
            return false;
    } else {
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
    }
    std::lock_guard<std::mutex> guard(audioLock);
    // The local sound mixes into the far end's audio only.
    if (channel && localSound && !localSound->generate(samples, count))
        localSound.reset();
    if (echoSuppressor)
        echoSuppressor->played(frameNumber, samples, count);
    return true;
}

void Phone::setLocalSound(SoundGenerator* sound) {
    std::unique_ptr<SoundGenerator> next(sound);
    std::lock_guard<std::mutex> guard(audioLock);
    localSound.swap(next);
}

void Phone::clearKeyTones() {
    std::unique_ptr<SoundGenerator> dtmf, sound;
    std::lock_guard<std::mutex> guard(audioLock);
    inBandDtmf.swap(dtmf);
    localSound.swap(sound);
}

void Phone::sendDtmf(char key) {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    TransportChannel* channel = getActiveChannel();
    if (!channel)
        return;
    std::unique_ptr<SoundGenerator> inBand;
    if (!channel->sendDtmf(key))
        inBand.reset(new DTMFGenerator(kInBandDtmfAmplitude, key));
    std::unique_ptr<SoundGenerator> feedback(new DTMFGenerator(kKeyFeedbackAmplitude, key));
    std::lock_guard<std::mutex> audio(audioLock);
    if (inBand)
        inBandDtmf.swap(inBand);
    localSound.swap(feedback);
}

void Phone::restartAudio() {
    if (!activeLine.load())
        return;
    stopAudio();
    if (TransportChannel* channel = activeChannel.load())
        channel->restart();
    {
        std::unique_ptr<SoundGenerator> dtmf;
        std::lock_guard<std::mutex> guard(audioLock);
        inBandDtmf.swap(dtmf);
    }
    startAudio();
}

void Phone::setDevices(const char* input, const char* output) {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    const bool changed = (input && inputDevice != input) || (output && outputDevice != output);
    if (!changed)
        return;
    if (input)
        inputDevice = input;
    if (output)
        outputDevice = output;
    restartAudio();
}

void Phone::setAutoInputLevel(bool enabled) {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    if (autoInputLevel == enabled)
        return;
    autoInputLevel = enabled;
    restartAudio();
}

bool Phone::getAutoInputLevel() {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    return autoInputLevel;
}

void Phone::setInputLevel(double level) {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    const float bounded = boundLevel(level);
    if (audioStream)
        audioStream->setInputLevel(bounded);
    else if (mediaManager)
        mediaManager->setInputLevel(inputDevice, bounded);
}

double Phone::getInputLevel() {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    if (audioStream)
        return audioStream->getInputLevel();
    return mediaManager ? mediaManager->getInputLevel(inputDevice) : 0.0;
}

void Phone::setOutputLevel(double level) {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    KMT_LOG(kmt::logPhone, 2) << "setOutputLevel(" << outputDevice << ", " << level << ")";
    const float bounded = boundLevel(level);
    if (audioStream)
        audioStream->setOutputLevel(bounded);
    else if (mediaManager)
        mediaManager->setOutputLevel(outputDevice, bounded);
}

double Phone::getOutputLevel() {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    double value = 0.0;
    if (audioStream)
        value = audioStream->getOutputLevel();
    else if (mediaManager)
        value = mediaManager->getOutputLevel(outputDevice);
    KMT_LOG(kmt::logPhone, 2) << "getOutputLevel(" << outputDevice << ") returns " << value;
    return value;
}

std::string Phone::getActualInputDevice() {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    return mediaManager ? mediaManager->getActualInputDevice(inputDevice) : std::string();
}

std::string Phone::getActualOutputDevice() {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    return mediaManager ? mediaManager->getActualOutputDevice(outputDevice) : std::string();
}

std::string Phone::getInputDeviceName() {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    return inputDevice;
}

std::string Phone::getOutputDeviceName() {
    std::lock_guard<std::recursive_mutex> guard(phoneLock);
    return outputDevice;
}

} // namespace kbrphone
