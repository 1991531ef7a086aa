package nl.brimel.kbr.phone.jni;

import java.io.File;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.ByteOrder;
import java.nio.file.Files;

/** WAV files as mono samples from -1 to 1, written and read for the audio tests, with a few measures. */
public final class WavFile {
    public final int rate;
    public final double[] samples;

    public WavFile(int rate, double[] samples) {
        this.rate = rate;
        this.samples = samples;
    }

    public double seconds() { return samples.length / (double) rate; }

    /** Reads 16- or 32-bit PCM or 32-bit float, any channel count (the first channel). */
    public static WavFile read(File file) throws IOException {
        ByteBuffer b = ByteBuffer.wrap(Files.readAllBytes(file.toPath())).order(ByteOrder.LITTLE_ENDIAN);
        if (b.limit() < 12 || b.getInt(0) != 0x46464952 || b.getInt(8) != 0x45564157) {
            throw new IOException(file + " is not a WAV file");
        }
        int channels = 0, bits = 0, format = 0, rate = 0;
        int at = 12;
        while (at + 8 <= b.limit()) {
            int id = b.getInt(at);
            long size = b.getInt(at + 4) & 0xffffffffL;
            int body = at + 8;
            if (id == 0x20746d66) {
                format = b.getShort(body) & 0xffff;
                channels = b.getShort(body + 2);
                rate = b.getInt(body + 4);
                bits = b.getShort(body + 14);
            } else if (id == 0x61746164) {
                long available = b.limit() - body;
                if (size == 0 || size > available) {
                    size = available;
                }
                if (channels <= 0 || (bits != 16 && bits != 32)) {
                    throw new IOException(file + ": unsupported WAV format");
                }
                int frameBytes = channels * bits / 8;
                double[] s = new double[(int) (size / frameBytes)];
                boolean floats = format == 3 || (format == 0xFFFE && bits == 32);
                for (int i = 0; i < s.length; i++) {
                    int p = body + i * frameBytes;
                    s[i] = bits == 16 ? b.getShort(p) / 32768.0 : floats ? b.getFloat(p) : b.getInt(p) / 2147483648.0;
                }
                return new WavFile(rate, s);
            }
            at = body + (int) ((size + 1) & ~1L);
        }
        throw new IOException(file + " has no audio data");
    }

    /** Writes 16-bit mono PCM. */
    void write(File file) throws IOException {
        ByteBuffer b = ByteBuffer.allocate(44 + samples.length * 2).order(ByteOrder.LITTLE_ENDIAN);
        b.putInt(0x46464952).putInt(36 + samples.length * 2).putInt(0x45564157);
        b.putInt(0x20746d66).putInt(16).putShort((short) 1).putShort((short) 1).putInt(rate).putInt(rate * 2)
            .putShort((short) 2).putShort((short) 16);
        b.putInt(0x61746164).putInt(samples.length * 2);
        for (double v : samples) {
            b.putShort((short) Math.round(Math.max(-1, Math.min(1, v)) * 32767));
        }
        Files.write(file.toPath(), b.array());
    }

    /** Level in dBFS (RMS) of the samples from second a to second b. */
    double levelDb(double a, double b) {
        int from = Math.max(0, (int) (a * rate));
        int to = Math.min(samples.length, (int) (b * rate));
        double sum = 0;
        for (int i = from; i < to; i++) {
            sum += samples[i] * samples[i];
        }
        return to > from && sum > 0 ? 10 * Math.log10(sum / (to - from)) : -200;
    }

    /** Amplitude of one frequency (Goertzel) from second a to second b; a full-scale sine gives 1. */
    double toneAmplitude(double a, double b, double hz) {
        int from = Math.max(0, (int) (a * rate));
        int to = Math.min(samples.length, (int) (b * rate));
        int n = to - from;
        if (n <= 0) {
            return 0;
        }
        double w = 2 * Math.PI * hz / rate;
        double c = 2 * Math.cos(w);
        double s1 = 0, s2 = 0;
        for (int i = from; i < to; i++) {
            double s0 = samples[i] + c * s1 - s2;
            s2 = s1;
            s1 = s0;
        }
        double power = s1 * s1 + s2 * s2 - c * s1 * s2;
        return 2 * Math.sqrt(Math.max(0, power)) / n;
    }

    /** The frequency by zero crossings from second a to second b. */
    double frequency(double a, double b) {
        int from = Math.max(1, (int) (a * rate));
        int to = Math.min(samples.length, (int) (b * rate));
        int crossings = 0;
        for (int i = from; i < to; i++) {
            if ((samples[i - 1] < 0) != (samples[i] < 0)) {
                crossings++;
            }
        }
        return to > from ? crossings / 2.0 * rate / (to - from) : 0;
    }

    /** Levels of consecutive blocks of ms milliseconds, in dBFS. */
    double[] blockLevels(int ms) {
        int n = rate * ms / 1000;
        double[] out = new double[samples.length / n];
        for (int k = 0; k < out.length; k++) {
            out[k] = levelDb(k * n / (double) rate, (k + 1) * n / (double) rate);
        }
        return out;
    }

    static WavFile tone(int rate, double silenceBefore, double seconds, double hz, double amplitude,
                        double silenceAfter) {
        int a = (int) (silenceBefore * rate), t = (int) (seconds * rate), z = (int) (silenceAfter * rate);
        double[] s = new double[a + t + z];
        for (int i = 0; i < t; i++) {
            s[a + i] = amplitude * Math.sin(2 * Math.PI * hz * i / rate);
        }
        return new WavFile(rate, s);
    }

    /** Gaussian noise of that RMS, repeatable. */
    static WavFile noise(int rate, double seconds, double rms) {
        java.util.Random r = new java.util.Random(11);
        double[] s = new double[(int) (seconds * rate)];
        for (int i = 0; i < s.length; i++) {
            s[i] = Math.max(-1, Math.min(1, r.nextGaussian() * rms));
        }
        return new WavFile(rate, s);
    }
}
