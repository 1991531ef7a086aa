package nl.brimel.kbr.phone.jni;

import java.io.File;
import java.io.IOException;
import java.nio.ByteBuffer;
import java.nio.file.Files;
import java.util.ArrayList;
import java.util.List;

/** Reads the engine's RTP packet logs (KBR_RTP_LOGDIR): the datagrams a call sent and received. */
public final class RtpLog {
    private RtpLog() {}

    private static final int IPV4 = 2;
    private static final int IPV6 = 23;

    /** One logged datagram and when it was logged (the low 32 bits of the wall clock in ms). */
    public static final class Packet {
        public final int timeMs;
        public final byte[] data;

        Packet(int timeMs, byte[] data) {
            this.timeMs = timeMs;
            this.data = data;
        }
    }

    /** The datagrams of one packet log, in order. */
    static List<byte[]> datagrams(File log) throws IOException {
        List<byte[]> out = new ArrayList<>();
        for (Packet p : packets(log)) {
            out.add(p.data);
        }
        return out;
    }

    /** The packets of one packet log, in order. */
    public static List<Packet> packets(File log) throws IOException {
        ByteBuffer b = ByteBuffer.wrap(Files.readAllBytes(log.toPath())); // big-endian
        List<Packet> out = new ArrayList<>();
        if (b.remaining() < 15 || b.getInt() != 0xE11E0003) {
            return out;
        }
        b.getShort(); // kind
        b.getLong();  // time
        skipAddress(b, b.get(), 16);
        while (b.remaining() >= 8) {
            b.get();      // direction
            b.get();
            b.getShort(); // tag
            int time = b.getInt();
            int family = b.get();
            skipAddress(b, family, 8);
            if (b.remaining() < 4) {
                break;
            }
            int length = b.getInt();
            if (length < 0 || length > b.remaining()) {
                break;
            }
            byte[] d = new byte[length];
            b.get(d);
            out.add(new Packet(time, d));
        }
        return out;
    }

    private static void skipAddress(ByteBuffer b, int family, int ipv6Bytes) {
        if (family == IPV4) {
            b.position(b.position() + 4 + 2);
        } else if (family == IPV6) {
            b.position(b.position() + ipv6Bytes + 2);
        }
    }

    /** The RFC 4733 event codes received with that payload type, each event once, in order. */
    static List<Integer> receivedEvents(File dir, int payloadType) throws IOException {
        List<Integer> events = new ArrayList<>();
        File[] logs = dir.listFiles((d, n) -> n.endsWith("_in.log"));
        if (logs == null) {
            return events;
        }
        for (File log : logs) {
            long lastTimestamp = -1;
            for (byte[] d : datagrams(log)) {
                if (d.length < 16 || (d[1] & 0x7F) != payloadType) {
                    continue;
                }
                long timestamp = ByteBuffer.wrap(d, 4, 4).getInt() & 0xffffffffL;
                if (timestamp != lastTimestamp) {
                    events.add(d[12] & 0xFF);
                    lastTimestamp = timestamp;
                }
            }
        }
        return events;
    }

    /** G.711 A-law to a linear sample from -1 to 1. */
    public static double decodeALaw(int code) {
        int a = (code ^ 0x55) & 0xFF;
        int exponent = (a >> 4) & 7;
        int mantissa = a & 0x0F;
        int magnitude = exponent == 0 ? (mantissa << 4) + 8 : ((mantissa << 4) + 0x108) << (exponent - 1);
        return ((a & 0x80) != 0 ? magnitude : -magnitude) / 32768.0;
    }

    /** The audio of the A-law packets a call sent (its *_out.log files), in order, at 8000 Hz. */
    static WavFile sentAudio(File dir) throws IOException {
        List<Double> samples = new ArrayList<>();
        File[] logs = dir.listFiles((d, n) -> n.endsWith("_out.log"));
        if (logs != null) {
            java.util.Arrays.sort(logs);
            for (File log : logs) {
                for (byte[] d : datagrams(log)) {
                    if (d.length > 12 && (d[1] & 0x7F) == 8) {
                        for (int i = 12; i < d.length; i++) {
                            samples.add(decodeALaw(d[i] & 0xFF));
                        }
                    }
                }
            }
        }
        double[] s = new double[samples.size()];
        for (int i = 0; i < s.length; i++) {
            s[i] = samples.get(i);
        }
        return new WavFile(8000, s);
    }
}
