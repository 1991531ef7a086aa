#include "WASAudio/AudioConverter.h"

#include "kmt/log.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>

namespace wasmedia {

namespace {
constexpr double kPi = 3.14159265358979323846;

// A value to 16 bits without wrapping around (out-of-range input would otherwise come out as a
// loud sample of the other sign).
int16_t clamp16(double v) {
    if (!(v == v))
        return 0;
    if (v >= 32767.0)
        return 32767;
    if (v <= -32768.0)
        return -32768;
    return static_cast<int16_t>(static_cast<int>(v));
}
} // namespace

LowPassFilter::LowPassFilter(double cutoff, double sampleRate) {
    const double a = std::tan(kPi * cutoff / sampleRate);
    const double a2 = a * a;
    for (int k = 0; k < kSections; ++k) {
        const double r = std::sin(kPi * (2.0 * k + 1.0) / 40.0);
        const double s = a2 + 2.0 * a * r + 1.0;
        sections[k] = Section{a2 / s, 2.0 * (1.0 - a2) / s, -(a2 - 2.0 * a * r + 1.0) / s, 0.0, 0.0, 0.0};
    }
}

double LowPassFilter::filter(double x) {
    for (Section& s : sections) {
        s.w0 = s.d1 * s.w1 + s.d2 * s.w2 + x;
        x = s.A * (s.w0 + 2.0 * s.w1 + s.w2);
        s.w2 = s.w1;
        s.w1 = s.w0;
    }
    return x;
}

Resampler::Resampler(int inputRate, int outputRate) {
    const int g = std::gcd(inputRate, outputRate);
    L_in = inputRate / g;
    L_out = outputRate / g;
    // (-1)^k C(20, k) for k = 0..19.
    double c = 1.0;
    for (int k = 0; k < N; ++k) {
        weights[k] = (k % 2 ? -c : c);
        c = c * (N - k) / (k + 1);
    }
    std::fill(window, window + N, 0);
    phase = 0;
    windowLength = D;
    for (int i = 0; i < D; ++i)
        push(0);
}

void Resampler::push(int32_t sample) {
    if (windowLength < N)
        window[windowLength++] = sample;
}

int32_t Resampler::next() {
    int32_t out;
    if (phase == 0) {
        out = window[D];
    } else {
        const double x = D + static_cast<double>(phase) / L_out;
        double num = 0.0;
        double den = 0.0;
        for (int i = 0; i < N; ++i) {
            const double t = weights[i] / (x - i);
            num += window[i] * t;
            den += t;
        }
        const double v = num / den;
        if (v > 32767.0)
            out = 32767;
        else if (v < -32767.0)
            out = -32767;
        else
            out = static_cast<int32_t>(v);
    }
    phase += L_in;
    while (phase >= L_out) {
        phase -= L_out;
        if (windowLength > 0) {
            std::memmove(window, window + 1, sizeof(int32_t) * (N - 1));
            --windowLength;
        }
    }
    return out;
}

InputConverterBase::InputConverterBase(MediaChannel* sink_, int frameSize_, int deviceRate, int engineRate)
    : sink(sink_), buffer(static_cast<size_t>(frameSize_ > 0 ? frameSize_ : 1)), frameSize(frameSize_ > 0 ? frameSize_ : 1) {
    std::printf("capture input rate %d, output rate %d\n", deviceRate, engineRate);
    if (deviceRate != engineRate) {
        if (engineRate < deviceRate)
            lowPass.reset(new LowPassFilter(engineRate / 2.0, deviceRate));
        resampler.reset(new Resampler(deviceRate, engineRate));
    }
}

InputConverterBase::~InputConverterBase() = default;

void InputConverterBase::resizeBuffer(int samples) {
    const int size = std::max(samples, frameSize);
    buffer.resize(static_cast<size_t>(size));
    fill = std::min(fill, size);
}

void InputConverterBase::deliverFrame() {
    if (resampler) {
        while (fill < frameSize && resampler->full())
            buffer[static_cast<size_t>(fill++)] = static_cast<int16_t>(resampler->next());
    }
    if (fill < frameSize)
        return;
    if (sink)
        sink->putFrame(frameNumber, buffer.data(), frameSize);
    ++frameNumber;
    std::memmove(buffer.data(), buffer.data() + frameSize, sizeof(int16_t) * static_cast<size_t>(fill - frameSize));
    fill -= frameSize;
}

void InputConverterBase::pushSample(int16_t sample) {
    const int capacity = static_cast<int>(buffer.size());
    if (!resampler) {
        buffer[static_cast<size_t>(fill++)] = sample;
    } else {
        while (resampler->full()) {
            buffer[static_cast<size_t>(fill++)] = static_cast<int16_t>(resampler->next());
            if (fill >= capacity)
                deliverFrame();
        }
        double v = sample;
        if (lowPass)
            v = lowPass->filter(v);
        resampler->push(clamp16(v));
    }
    if (fill >= capacity)
        deliverFrame();
}

int16_t toEngineSample(unsigned char s) { return static_cast<int16_t>((static_cast<int>(s) - 128) * 256); }
int16_t toEngineSample(unsigned short s) { return static_cast<int16_t>(s); }
int16_t toEngineSample(unsigned int s) { return static_cast<int16_t>(static_cast<int32_t>(s) >> 16); }
// Samples beyond full scale (and NaN) are clamped rather than wrapped.
int16_t toEngineSample(float s) {
    if (!(s == s))
        return 0;
    const float c = std::max(-1.0f, std::min(1.0f, s));
    return static_cast<int16_t>(static_cast<int>(c * 32767.0f));
}

void fromEngineSample(int16_t s, unsigned char& out) { out = static_cast<unsigned char>((s >> 8) - 128); }
void fromEngineSample(int16_t s, unsigned short& out) { out = static_cast<unsigned short>(s); }
void fromEngineSample(int16_t s, unsigned int& out) {
    out = static_cast<unsigned int>(static_cast<uint32_t>(static_cast<int32_t>(s)) << 16);
}
void fromEngineSample(int16_t s, float& out) { out = static_cast<float>(s) * (1.0f / 32768.0f); }

template <typename T>
void InputConverterT<T>::convert(const void* data, uint32_t frames) {
    const T* in = static_cast<const T*>(data);
    for (uint32_t f = 0; f < frames; ++f) {
        int sum = 0;
        for (int c = 0; c < channels; ++c)
            sum += toEngineSample(*in++);
        pushSample(static_cast<int16_t>(sum / channels));
    }
}

OutputConverterBase::OutputConverterBase(MediaChannel* source_, int frameSize_, int engineRate, int deviceRate)
    : source(source_), frameSize(frameSize_ > 0 ? frameSize_ : 1), frame(static_cast<size_t>(frameSize)),
      readIndex(frameSize) {
    if (engineRate != deviceRate)
        resampler.reset(new Resampler(engineRate, deviceRate));
}

bool OutputConverterBase::pullSamples() {
    if (!resampler)
        return readIndex < frameSize;
    while (!resampler->full()) {
        if (readIndex >= frameSize)
            return false;
        resampler->push(frame[static_cast<size_t>(readIndex++)]);
    }
    return true;
}

int16_t OutputConverterBase::nextSample() {
    if (resampler)
        return static_cast<int16_t>(resampler->next());
    return frame[static_cast<size_t>(readIndex++)];
}

OutputConverter::OutputConverter(MediaChannel* source, int frameSize, int engineRate, int deviceRate, int channels_)
    : OutputConverterBase(source, frameSize, engineRate, deviceRate), channels(channels_ < 1 ? 1 : channels_) {
    KMT_LOG(kmt::logAudio, 2) << "playback input rate " << engineRate << ", output rate " << deviceRate;
}

template <typename T>
uint32_t OutputConverterT<T>::write(void* buffer, uint32_t first, uint32_t count) {
    T* out = static_cast<T*>(buffer) + static_cast<size_t>(first) * channels;
    uint32_t written = 0;
    while (written < count) {
        if (!pullSamples())
            break;
        T value;
        fromEngineSample(nextSample(), value);
        for (int c = 0; c < channels; ++c)
            *out++ = value;
        ++written;
    }
    return written;
}

template class InputConverterT<unsigned char>;
template class InputConverterT<unsigned short>;
template class InputConverterT<unsigned int>;
template class InputConverterT<float>;
template class OutputConverterT<unsigned char>;
template class OutputConverterT<unsigned short>;
template class OutputConverterT<unsigned int>;
template class OutputConverterT<float>;

} // namespace wasmedia
