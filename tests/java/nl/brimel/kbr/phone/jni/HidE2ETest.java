package nl.brimel.kbr.phone.jni;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/**
 * A USB HID headset end to end: the engine driven through JPhone, its HID driver reading a simulated
 * headset (Plantronics 047F:C00E) on the HID bus, and sipp on 127.0.0.1 as the engine's proxy calling it.
 * The headset rings while the call is offered (measured on the bus), its hook button takes the call
 * (state 6), it is unplugged mid-call and plugged back, and its hook button then hangs up (state 8).
 *
 * Prints "N passed, N failed" and exits nonzero on a failure.
 */
public final class HidE2ETest {
    private static final E2ERun RUN = new E2ERun();
    private static final JPhone phone = new JPhone();
    private static final long WAIT_MS = 15000;
    private static final byte[] HOOK = {0x14, 0x08, 0x00};
    private static final List<String> seen = new ArrayList<>();
    private static final Map<String, E2ERun.Group> GROUPS = new LinkedHashMap<>();
    private static int headset;

    static {
        GROUPS.put("headset", HidE2ETest::headsetCall);
    }

    private static void check(boolean ok, String what) {
        RUN.check(ok, what);
    }

    private static String await(String want, String what) throws InterruptedException {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(WAIT_MS);
        while (true) {
            long left = TimeUnit.NANOSECONDS.toMillis(deadline - System.nanoTime());
            String e = left > 0 ? phone.events.poll(left, TimeUnit.MILLISECONDS) : null;
            if (e == null) {
                check(false, what + ": no callback " + want + " within " + WAIT_MS + " ms; seen " + seen);
                return null;
            }
            seen.add(e);
            String text = e.substring(0, e.lastIndexOf(" @"));
            if (text.matches(want)) {
                check(e.endsWith(" @loop"), what + ": on the loop thread: " + e);
                return text;
            }
        }
    }

    private static String awaitLine(String lineId, int state, String what) throws InterruptedException {
        return await("lineStateChanged " + lineId + " \\S+ " + state + " .*", what + " (line state " + state + ")");
    }

    /** The reports sent to the headset: [ms, "hex bytes"]. */
    private static List<String[]> sent() {
        List<String[]> out = new ArrayList<>();
        for (String l : HidHooks.sent(headset).split("\n")) {
            if (!l.isEmpty()) {
                int at = l.indexOf(' ');
                out.add(new String[] {l.substring(0, at), l.substring(at + 1)});
            }
        }
        return out;
    }

    private static List<Long> ringTimes() {
        List<Long> out = new ArrayList<>();
        for (String[] r : sent()) {
            if (r[1].equals("19 07")) {
                out.add(Long.parseLong(r[0]));
            }
        }
        return out;
    }

    private static List<String> lastReports(int n) {
        List<String[]> all = sent();
        List<String> out = new ArrayList<>();
        for (int i = Math.max(0, all.size() - n); i < all.size(); i++) {
            out.add(all.get(i)[1]);
        }
        return out;
    }

    private static void start() throws InterruptedException {
        System.loadLibrary("jphonetesthooks");
        phone.initialize();
        HidHooks.installHidDevice();
        headset = HidHooks.addDevice(0x047F, 0xC00E);
        Thread loop = new Thread(phone::processEvents, "jphone-loop");
        loop.setDaemon(true);
        phone.loopThread = loop;
        loop.start();
        loop.join(300);
        check(loop.isAlive(), "processEvents keeps running on its thread");
        check(HidHooks.waitReading(headset, 15000), "the driver finds the headset and listens to it");
        check(lastReports(2).equals(Arrays.asList("19 03", "1A 00")), "the headset was initialised: " + lastReports(2));
    }

    private static void headsetCall() throws Exception {
        String line = "line-h";
        try (Peers.Peer p = Peers.sipp("proxy_call")
                                .server()
                                .rtpEcho()
                                .param("headers", "X-Brimel-id: " + line)
                                .param("answer_ms", 60000)
                                .param("talk_ms", 60000)
                                .timeout(120)
                                .start()) {
            int port = p.port("SIPP_PORT", 20000);
            check(port > 0 && p.ready(20000), p.describe() + ": the peer is up");
            phone.registerWithProxy("1001", "Desk 1001", "1001", "secret1", "127.0.0.1", port);
            await("registrationStateChanged 1 OK", "registered at the sipp proxy");
            if (awaitLine(line, 5, "the incoming call is offered") == null) {
                return;
            }
            // Rings at once and then every 3000 ms, as the bus sees the reports arrive.
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(12);
            while (ringTimes().size() < 3 && System.nanoTime() < deadline) {
                Thread.sleep(50);
            }
            List<Long> rings = ringTimes();
            check(rings.size() >= 3, "three ring reports while offered: " + rings);
            for (int i = 1; i < rings.size(); i++) {
                long gap = rings.get(i) - rings.get(i - 1);
                check(gap >= 2950 && gap <= 3500, "rings 3000 ms apart: " + rings);
            }

            check(HidHooks.push(headset, HOOK), "hook button pressed");
            if (awaitLine(line, 6, "the hook button takes the call") == null) {
                return;
            }
            Thread.sleep(200);
            check(lastReports(2).equals(Arrays.asList("19 0B", "1A 00")), "the headset is off hook: " + lastReports(2));
            int ringsAtAnswer = ringTimes().size();
            Thread.sleep(3500);
            check(ringTimes().size() == ringsAtAnswer, "no ring after the answer: " + ringTimes());

            HidHooks.unplug(headset);
            Thread.sleep(1000);
            HidHooks.replug(headset);
            check(HidHooks.waitReading(headset, 20000), "the headset is found again after it was plugged back");
            check(lastReports(2).equals(Arrays.asList("19 03", "1A 00")), "initialised again: " + lastReports(2));

            check(HidHooks.push(headset, HOOK), "hook button pressed again");
            if (awaitLine(line, 8, "the hook button hangs up") == null) {
                return;
            }
            check(p.passed(30000), "the proxy saw the call answered and ended by the engine: " + p.describe());
            Thread.sleep(200);
            check(lastReports(1).equals(Arrays.asList("19 03")), "the headset is on hook: " + lastReports(1));
        } finally {
            for (String e : seen) {
                System.out.println("   " + e);
            }
        }
    }

    public static void main(String[] args) {
        RUN.main(args, GROUPS, "the engine starts with the HID headset", HidE2ETest::start);
    }
}
