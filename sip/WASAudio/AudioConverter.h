// Converters between an audio endpoint's frames (its mix format) and the engine's frames of 16-bit
// mono samples at the engine's rate: channel averaging, a low-pass before downsampling, rate
// conversion and framing on capture; rate conversion, sample format and copying to every channel
// on playback.
#pragma once

#include "MediaChannel.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace wasmedia {

// 20th-order Butterworth low-pass as ten biquad sections.
class LowPassFilter {
public:
    LowPassFilter(double cutoff, double sampleRate);
    double filter(double x);

    static constexpr int kSections = 10;

private:
    struct Section {
        double A, d1, d2, w0, w1, w2;
    };
    Section sections[kSections];
};

// Rational-rate resampler by barycentric rational interpolation over a 20-point window.
class Resampler {
public:
    static constexpr int N = 20;
    static constexpr int D = 9;

    Resampler(int inputRate, int outputRate);
    bool full() const { return windowLength >= N; }
    void push(int32_t sample);
    int32_t next();

    int inputStep() const { return L_in; }
    int outputStep() const { return L_out; }
    int getWindowLength() const { return windowLength; }
    int getPhase() const { return phase; }

private:
    int L_in;
    int L_out;
    int32_t window[N];
    int windowLength;
    int phase;
    double weights[N];
};

class InputConverterBase {
public:
    InputConverterBase(MediaChannel* sink, int frameSize, int deviceRate, int engineRate);
    virtual ~InputConverterBase();

    // Completes the frame from the resampler when it can and hands a whole frame to the sink.
    void deliverFrame();
    void pushSample(int16_t sample);
    // The buffer's capacity in samples (at least one frame).
    void resizeBuffer(int samples);
    int buffered() const { return fill; }
    int getFrameSize() const { return frameSize; }
    uint32_t getFrameNumber() const { return frameNumber; }
    bool hasLowPass() const { return lowPass != nullptr; }
    bool hasResampler() const { return resampler != nullptr; }

protected:
    MediaChannel* sink;
    uint32_t frameNumber = 0;
    std::vector<int16_t> buffer;
    int fill = 0;
    int frameSize;
    std::unique_ptr<LowPassFilter> lowPass;
    std::unique_ptr<Resampler> resampler;
};

class InputConverter : public InputConverterBase {
public:
    InputConverter(MediaChannel* sink, int frameSize, int deviceRate, int engineRate, int channels)
        : InputConverterBase(sink, frameSize, deviceRate, engineRate), channels(channels < 1 ? 1 : channels) {}
    // Converts frames device frames at data and pushes each one.
    virtual void convert(const void* data, uint32_t frames) = 0;

protected:
    int channels;
};

template <typename T>
class InputConverterT : public InputConverter {
public:
    using InputConverter::InputConverter;
    void convert(const void* data, uint32_t frames) override;
};

class OutputConverterBase {
public:
    OutputConverterBase(MediaChannel* source, int frameSize, int engineRate, int deviceRate);

    // The device's side of fetching the next engine frame: the frame number to ask for (then
    // advanced), the buffer to fill, and the rewind of the read index once filled.
    uint32_t takeFrameNumber() { return frameNumber++; }
    int16_t* frameBuffer() { return frame.data(); }
    int getFrameSize() const { return frameSize; }
    void rewind() { readIndex = 0; }
    bool hasResampler() const { return resampler != nullptr; }

protected:
    // True while a device sample can be produced.
    bool pullSamples();
    int16_t nextSample();

    MediaChannel* source;
    uint32_t frameNumber = 0;
    int frameSize;
    std::vector<int16_t> frame;
    int readIndex;
    std::unique_ptr<Resampler> resampler;
};

class OutputConverter : public OutputConverterBase {
public:
    OutputConverter(MediaChannel* source, int frameSize, int engineRate, int deviceRate, int channels);
    virtual ~OutputConverter() = default;
    // Writes up to count device frames from device frame first on; stops when the engine frame is
    // used up. Returns the frames written.
    virtual uint32_t write(void* buffer, uint32_t first, uint32_t count) = 0;

protected:
    int channels;
};

template <typename T>
class OutputConverterT : public OutputConverter {
public:
    using OutputConverter::OutputConverter;
    uint32_t write(void* buffer, uint32_t first, uint32_t count) override;
};

// One device sample to 16 bits and back, per sample type.
int16_t toEngineSample(unsigned char s);
int16_t toEngineSample(unsigned short s);
int16_t toEngineSample(unsigned int s);
int16_t toEngineSample(float s);
void fromEngineSample(int16_t s, unsigned char& out);
void fromEngineSample(int16_t s, unsigned short& out);
void fromEngineSample(int16_t s, unsigned int& out);
void fromEngineSample(int16_t s, float& out);

extern template class InputConverterT<unsigned char>;
extern template class InputConverterT<unsigned short>;
extern template class InputConverterT<unsigned int>;
extern template class InputConverterT<float>;
extern template class OutputConverterT<unsigned char>;
extern template class OutputConverterT<unsigned short>;
extern template class OutputConverterT<unsigned int>;
extern template class OutputConverterT<float>;

} // namespace wasmedia
