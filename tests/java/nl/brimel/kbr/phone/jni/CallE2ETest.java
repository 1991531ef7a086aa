package nl.brimel.kbr.phone.jni;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/**
 * Calls end to end: the engine driven through JPhone as the application drives it, with sipp on
 * 127.0.0.1 standing in for the engine's proxy (the engine registers to it) and for the far end. Incoming
 * calls come from the proxy (proxy_call): answered after setRinging and ended by the far end's BYE, or
 * refused with busyIncoming; an outgoing call goes to a busy far end (uas_busy). Every callback must
 * arrive on the processEvents thread.
 *
 * A call also comes through kamailio configured the usual way (record_route, loose_route), from a sipp
 * caller registered there: its ACK and BYE reach the engine only along the route set of the engine's 200.
 *
 * Arguments: the groups to run (incoming_answer, incoming_busy, outgoing_busy, incoming_stock_proxy). Prints "N passed, N
 * failed" and exits nonzero on a failure.
 */
public final class CallE2ETest {
    private static final E2ERun RUN = new E2ERun();
    private static final JPhone phone = new JPhone();
    private static final long WAIT_MS = 10000;
    /** Every callback taken from the phone so far, in order, for the checks on a whole call. */
    private static final List<String> seen = new ArrayList<>();

    private static final Map<String, E2ERun.Group> GROUPS = new LinkedHashMap<>();

    static {
        GROUPS.put("incoming_answer", traced(CallE2ETest::incomingAnswer));
        GROUPS.put("incoming_busy", traced(CallE2ETest::incomingBusy));
        GROUPS.put("outgoing_busy", traced(CallE2ETest::outgoingBusy));
        GROUPS.put("incoming_stock_proxy", traced(CallE2ETest::incomingThroughStockProxy));
    }

    // A group that starts with no callbacks seen and prints the ones it saw, whatever its outcome.
    private static E2ERun.Group traced(E2ERun.Group g) {
        return () -> {
            seen.clear();
            try {
                g.run();
            } finally {
                for (String e : seen) {
                    System.out.println("   " + e);
                }
            }
        };
    }

    private static void check(boolean ok, String what) {
        RUN.check(ok, what);
    }

    /**
     * Waits for a callback matching want (a regular expression over its text without the thread mark);
     * the callbacks before it are kept in seen. Checks that it came on the loop thread. Null on timeout.
     */
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
            int at = e.lastIndexOf(" @");
            String text = e.substring(0, at);
            if (text.matches(want)) {
                check(e.endsWith(" @loop"), what + ": on the loop thread: " + e);
                return text;
            }
        }
    }

    private static String awaitLine(String lineId, int state, String what) throws InterruptedException {
        return await("lineStateChanged " + lineId + " \\S+ " + state + " .*", what + " (line state " + state + ")");
    }

    /** The states the line went through in the callbacks seen so far, in order. */
    private static List<Integer> states(String lineId) {
        List<Integer> out = new ArrayList<>();
        String prefix = "lineStateChanged " + lineId + " ";
        for (String e : seen) {
            if (e.startsWith(prefix)) {
                out.add(Integer.parseInt(e.substring(prefix.length()).split(" ")[1]));
            }
        }
        return out;
    }

    /** Index in seen of the first callback starting with prefix, or -1. */
    private static int indexOf(String prefix) {
        for (int i = 0; i < seen.size(); i++) {
            if (seen.get(i).startsWith(prefix)) {
                return i;
            }
        }
        return -1;
    }

    /** Starts a sipp proxy scenario and registers the engine to it. */
    private static Peers.Peer proxy(Peers.SippBuilder b) throws Exception {
        Peers.Peer p = b.start();
        int port = p.port("SIPP_PORT", 20000);
        check(port > 0 && p.ready(20000), p.describe() + ": the peer is up");
        phone.registerWithProxy("1001", "Desk 1001", "1001", "secret1", "127.0.0.1", port);
        await("registrationStateChanged 1 OK", "registered at the sipp proxy");
        return p;
    }

    private static List<String> firstLines(Peers.Peer p, String kind) {
        List<String> out = new ArrayList<>();
        for (String m : SipText.messages(p.file("SIPP_MESSAGES"), kind)) {
            out.add(m.split("\n", 2)[0].trim());
        }
        return out;
    }

    // The proxy calls the engine; Java rings, answers, and the far end hangs up after a while.
    private static void incomingAnswer() throws Exception {
        String line = "line-a";
        try (Peers.Peer p = proxy(Peers.sipp("proxy_call")
                                      .server()
                                      .rtpEcho()
                                      .param("headers", "X-Brimel-id: " + line)
                                      .param("talk_ms", 1500)
                                      .timeout(60))) {
            if (awaitLine(line, 5, "the incoming call is offered") == null) {
                return;
            }
            phone.setRinging(line);
            phone.answerIncoming(line);
            awaitLine(line, 6, "answered");
            awaitLine(line, 7, "the far end hung up");
            phone.hangup(line);
            awaitLine(line, 8, "the line is over");
            int stats = indexOf("addLocalStatistics " + line + " ");
            List<Integer> states = states(line);
            check(states.equals(Arrays.asList(5, 6, 7, 8)), "line states 5, 6, 7, 8: " + states);
            int eight = -1;
            for (int i = 0; i < seen.size(); i++) {
                if (seen.get(i).matches("lineStateChanged " + line + " \\S+ 8 .*")) {
                    eight = i;
                }
            }
            check(stats >= 0 && stats < eight, "the statistics come before state 8: " + seen);
            check(p.passed(30000), "the proxy saw the whole call: " + p.describe());
            List<String> sent = firstLines(p, "received");
            check(sent.contains("SIP/2.0 180 ringing") && sent.contains("SIP/2.0 200 OK"),
                  "180 and 200 reached the proxy: " + sent);
        }
    }

    // The proxy calls the engine and Java refuses the call as busy: 486 "busy" to the proxy.
    private static void incomingBusy() throws Exception {
        String line = "line-b";
        try (Peers.Peer p = proxy(Peers.sipp("proxy_call")
                                      .server()
                                      .param("headers", "X-Brimel-id: " + line)
                                      .param("answer_ms", 5000)
                                      .timeout(30))) {
            if (awaitLine(line, 5, "the incoming call is offered") == null) {
                return;
            }
            phone.busyIncoming(line);
            awaitLine(line, 8, "the refused line is over");
            check(states(line).equals(Arrays.asList(5, 8)), "line states 5, 8: " + states(line));
            // proxy_call expects an answer, so sipp itself counts the call as failed: read what it got.
            p.waitFor(20000);
            List<String> got = firstLines(p, "received");
            check(got.contains("SIP/2.0 486 busy"), "486 busy reached the proxy: " + got);
            check(!got.contains("SIP/2.0 200 OK"), "no answer besides the refusal: " + got);
        }
    }

    // Java dials through the proxy, which answers as a busy far end: states 1, then 3.
    private static void outgoingBusy() throws Exception {
        try (Peers.Peer p = proxy(Peers.sipp("uas_busy").server().service("1002").calls(2).timeout(30))) {
            String line = phone.createLineId();
            check(line != null, "createLineId gives a line");
            if (line == null) {
                return;
            }
            check(phone.dial(line, "1002", "Desk 1001"), "dial is accepted");
            awaitLine(line, 1, "dialling");
            awaitLine(line, 3, "the far end is busy");
            check(states(line).equals(Arrays.asList(1, 3)), "line states 1, 3: " + states(line));
            check(p.passed(20000), "the far end saw INVITE and its ACK: " + p.describe());
            phone.hangup(line);
            awaitLine(line, 8, "the line is over after hangup");
        }
    }

    // A sipp caller calls the engine through the stock kamailio; Java answers, the caller hangs up.
    private static void incomingThroughStockProxy() throws Exception {
        try (Peers.Peer k = Peers.kamailio(false)) {
            int port = k.port("KAMAILIO_PORT", 20000);
            check(port > 0 && k.ready(20000), k.describe() + ": kamailio is up");
            phone.registerWithProxy("1001", "Desk 1001", "1001", "secret1", "127.0.0.1", port);
            if (await("registrationStateChanged 1 OK", "registered at kamailio") == null) {
                return;
            }
            try (Peers.Peer caller = Peers.sipp("uac_call")
                                         .client("127.0.0.1:" + port)
                                         .service("1001")
                                         .auth("1002", "secret2")
                                         .param("caller", "1002")
                                         .param("talk_ms", 2000)
                                         .timeout(30)
                                         .start()) {
                String offered = await("lineStateChanged \\S+ \\S+ 5 .*", "the call through kamailio is offered");
                if (offered == null) {
                    return;
                }
                String line = offered.split(" ")[1];
                phone.answerIncoming(line);
                awaitLine(line, 6, "answered");
                awaitLine(line, 7, "the caller's BYE came along the route set");
                phone.hangup(line);
                awaitLine(line, 8, "the line is over");
                check(states(line).equals(Arrays.asList(5, 6, 7, 8)), "line states 5, 6, 7, 8: " + states(line));
                check(caller.passed(20000), "the caller saw its whole call: " + caller.describe());
            }
        }
    }

    public static void main(String[] args) {
        RUN.main(args, GROUPS, "the engine starts and runs its loop", () -> RUN.startEngine(phone));
    }
}
