package nl.brimel.kbr.phone.jni;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;

/**
 * Registration end to end: the engine driven through JPhone as the application drives it (initialize,
 * processEvents on a thread of its own, registerWithProxy, cancelRegistration) against real peers on
 * 127.0.0.1: kamailio as registrar with digest users, and sipp scenarios standing in for registrars and
 * proxies that challenge, refuse, grant short bindings, probe with OPTIONS or stay silent. Every
 * registration callback must arrive on the processEvents thread.
 *
 * Arguments: the groups to run (kamailio, challenge, refusal, expiry, options, timeout). One engine per
 * process: each group's registerWithProxy replaces the one before. Prints "N passed, N failed" and
 * exits nonzero on a failure.
 */
public final class RegistrationE2ETest {
    private static final E2ERun RUN = new E2ERun();
    private static final JPhone phone = new JPhone();
    private static final long WAIT_MS = 10000;

    private static final Map<String, E2ERun.Group> GROUPS = new LinkedHashMap<>();

    static {
        GROUPS.put("kamailio", RegistrationE2ETest::kamailio);
        GROUPS.put("challenge", RegistrationE2ETest::challenge);
        GROUPS.put("refusal", RegistrationE2ETest::refusal);
        GROUPS.put("expiry", RegistrationE2ETest::expiry);
        GROUPS.put("options", RegistrationE2ETest::options);
        GROUPS.put("timeout", RegistrationE2ETest::timeout);
    }

    private static void check(boolean ok, String what) {
        RUN.check(ok, what);
    }

    private static void checkEquals(Object expected, Object actual, String what) {
        boolean ok = expected == null ? actual == null : expected.equals(actual);
        check(ok, what + ": expected <" + expected + "> but was <" + actual + ">");
    }

    /** A callback and when it arrived (System.nanoTime). */
    private static final class Event {
        final String text;
        final long at;

        Event(String text, long at) {
            this.text = text;
            this.at = at;
        }
    }

    private static Event nextEvent(long timeoutMs) throws InterruptedException {
        String e = phone.events.poll(timeoutMs, TimeUnit.MILLISECONDS);
        return new Event(e == null ? "<no callback within " + timeoutMs + " ms>" : e, System.nanoTime());
    }

    /** The next callback must be this registration state and text, on the loop thread. */
    private static Event expectState(int state, String text, long timeoutMs, String what)
        throws InterruptedException {
        Event e = nextEvent(timeoutMs);
        checkEquals("registrationStateChanged " + state + " " + text + " @loop", e.text, what);
        return e;
    }

    private static void expectQuiet(long ms, String what) throws InterruptedException {
        String e = phone.events.poll(ms, TimeUnit.MILLISECONDS);
        checkEquals(null, e, what + ": no further callback");
    }

    private static double seconds(long fromNanos, long toNanos) { return (toNanos - fromNanos) / 1e9; }

    private static void register(String user, String authUser, String password, int port) {
        phone.registerWithProxy(user, "Desk " + user, authUser, password, "127.0.0.1", port);
    }

    private static int startedPort(Peers.Peer peer, String key) throws InterruptedException {
        int port = peer.port(key, 20000);
        check(port > 0 && peer.ready(20000), peer.describe() + ": the peer is up");
        return port;
    }

    public static void main(String[] args) {
        RUN.main(args, GROUPS, "the engine starts and runs its loop", () -> {
            RUN.startEngine(phone);
            expectQuiet(200, "before any registration");
        });
    }

    // kamailio as the registrar: the right password registers, a wrong one is refused after the
    // engine's last credentials attempt, cancelling unregisters.
    private static void kamailio() throws Exception {
        try (Peers.Peer k = Peers.kamailio(false); Peers.Peer strict = Peers.kamailio(true)) {
            int port = startedPort(k, "KAMAILIO_PORT");
            int strictPort = startedPort(strict, "KAMAILIO_PORT");

            register("1001", "1001", "secret1", port);
            expectState(1, "OK", WAIT_MS, "the right password registers");

            // A stock registrar challenges a wrong password again; the engine answers challenges to
            // attempts 1 to 3 and reports the challenge to its fourth attempt as the failure.
            register("1001", "1001", "wrong-password", port);
            expectState(2, "Unauthorized", WAIT_MS,
                        "a wrong password is refused with the registrar's reason");
            int failures = count(k.file("KAMAILIO_LOG"), "authentication of '1001' for REGISTER failed");
            checkEquals(3, failures, "REGISTERs with the wrong credentials: attempts 2, 3 and 4");

            // A registrar that answers a wrong password with 403.
            register("1002", "1002", "not-secret2", strictPort);
            expectState(2, "Forbidden", WAIT_MS, "a registrar that refuses outright");

            register("1002", "1002", "secret2", port);
            expectState(1, "OK", WAIT_MS, "another user registers after the failures");
            phone.cancelRegistration();
            expectState(3, "OK", WAIT_MS, "cancelRegistration unregisters with the 2xx reason phrase");
            expectQuiet(1500, "after the cancel");
            check(k.running() && strict.running(), "both registrars are still running");
        }
    }

    private static int count(String text, String what) {
        int n = 0;
        for (int i = text.indexOf(what); i >= 0; i = text.indexOf(what, i + what.length())) {
            n++;
        }
        return n;
    }

    // A registrar challenging with 401 (credentials in Authorization) and a proxy in front of it
    // challenging with 407 (Proxy-Authorization): the digest must verify with the password, the
    // challenge's opaque comes back, and the un-REGISTER carries the same credentials.
    private static void challenge() throws Exception {
        String[][] cases = {{"reg_401_200", "Authorization", "Proxy-Authorization"},
                            {"reg_407_200", "Proxy-Authorization", "Authorization"}};
        for (String[] c : cases) {
            String scenario = c[0];
            String used = c[1];
            String unused = c[2];
            Peers.SippBuilder b = Peers.sipp(scenario)
                                      .server()
                                      .param("user", "1001")
                                      .param("challenge_extra", ", opaque=\"kbr-op-7\"")
                                      .param("next_ms", 5000)
                                      .timeout(30);
            if (scenario.equals("reg_401_200")) {
                b.param("password", "secret1");
            }
            try (Peers.Peer s = b.start()) {
                int port = startedPort(s, "SIPP_PORT");
                register("1001", "1001", "secret1", port);
                expectState(1, "OK", WAIT_MS, scenario + ": registered after the challenge");
                phone.cancelRegistration();
                expectState(3, "OK", WAIT_MS, scenario + ": unregistered");
                check(s.passed(25000), scenario + ": sipp passed: " + s.describe());

                List<String> registers = SipText.requests(s.file("SIPP_MESSAGES"), "REGISTER");
                checkEquals(3, registers.size(),
                            scenario + ": REGISTERs (first, with credentials, un-REGISTER)");
                if (registers.size() < 3) {
                    continue;
                }
                checkEquals(null, SipText.header(registers.get(0), used),
                            scenario + ": no credentials at first");
                for (int i = 1; i < 3; i++) {
                    String r = registers.get(i);
                    check(SipText.digestVerifies(r, used, "secret1"),
                          scenario + ": the " + used + " digest of REGISTER " + (i + 1) + " verifies: " + r);
                    checkEquals(null, SipText.header(r, unused), scenario + ": no " + unused);
                    String cred = SipText.header(r, used);
                    Map<String, String> p = SipText.digestParameters(cred == null ? "" : cred);
                    checkEquals("kbr-op-7", p.get("opaque"), scenario + ": opaque is returned");
                    checkEquals("kbrtest", p.get("realm"), scenario + ": realm of the challenge");
                    checkEquals("1001", p.get("username"), scenario + ": the auth user");
                }
                checkEquals("0", SipText.header(registers.get(2), "Expires"),
                            scenario + ": the un-REGISTER asks for 0");
                check(SipText.cseq(registers.get(0)) < SipText.cseq(registers.get(1)) &&
                          SipText.cseq(registers.get(1)) < SipText.cseq(registers.get(2)),
                      scenario + ": each REGISTER takes a higher CSeq");
            }
        }
        expectQuiet(500, "after the challenges");
    }

    // A registrar that refuses: state 2 with its reason phrase, reported once, and no REGISTER sent
    // again at once (the next try is minutes away).
    private static void refusal() throws Exception {
        String[][] cases = {{"403", "Forbidden"}, {"503", "Service Unavailable"}};
        for (String[] c : cases) {
            try (Peers.Peer s = Peers.sipp("reg_403")
                                    .server()
                                    .param("status", c[0])
                                    .param("reason", c[1])
                                    .param("next_ms", 2500)
                                    .timeout(30)
                                    .start()) {
                int port = startedPort(s, "SIPP_PORT");
                register("1001", "1001", "secret1", port);
                expectState(2, c[1], WAIT_MS, c[0] + ": refused with the reason phrase");
                check(s.passed(20000), c[0] + ": sipp passed: " + s.describe());
                checkEquals(1, SipText.requests(s.file("SIPP_MESSAGES"), "REGISTER").size(),
                            c[0] + ": one REGISTER, no retry at once");
                expectQuiet(300, c[0] + ": one report of the refusal");
            }
        }
    }

    // Short bindings, granted by the Contact's expires parameter or by an Expires header: each refresh
    // goes out before the binding lapses (after half of it, for bindings of 64 s or less), in the same
    // registration (same Call-ID, higher CSeq), and the refresh timer keeps running.
    private static void expiry() throws Exception {
        Object[][] cases = {{"reg_200_contact_expires", "contact_expires", 6},
                            {"reg_200_expires_header", "expires", 8}};
        for (Object[] c : cases) {
            String scenario = (String)c[0];
            int expires = (Integer)c[2];
            try (Peers.Peer s = Peers.sipp(scenario)
                                    .server()
                                    .param((String)c[1], expires)
                                    .param("next_ms", expires * 1000 + 5000)
                                    .timeout(60)
                                    .start()) {
                int port = startedPort(s, "SIPP_PORT");
                register("1001", "1001", "secret1", port);
                Event first = expectState(1, "OK", WAIT_MS, scenario + ": registered");
                Event previous = first;
                for (int refresh = 1; refresh <= 2; refresh++) {
                    Event e = expectState(1, "OK", expires * 1000L + 5000, scenario + ": refresh " + refresh);
                    double interval = seconds(previous.at, e.at);
                    System.out.printf("   %s: refresh %d after %.2f s of a %d s binding%n", scenario, refresh,
                                      interval, expires);
                    check(interval < expires, scenario + ": refresh " + refresh +
                                                  " before the binding lapses (" + interval + " s of " +
                                                  expires + " s)");
                    check(interval > expires / 4.0, scenario + ": refresh " + refresh +
                                                        " not long before half the binding (" + interval +
                                                        " s of " + expires + " s)");
                    previous = e;
                }
                phone.cancelRegistration();
                expectState(3, "OK", WAIT_MS, scenario + ": unregistered");
                check(s.passed(20000), scenario + ": sipp passed: " + s.describe());
                List<String> registers = SipText.requests(s.file("SIPP_MESSAGES"), "REGISTER");
                checkEquals(4, registers.size(),
                            scenario + ": REGISTERs (first, two refreshes, un-REGISTER)");
                String callId = registers.isEmpty() ? null : SipText.header(registers.get(0), "Call-ID");
                long cseq = -1;
                for (String r : registers) {
                    checkEquals(callId, SipText.header(r, "Call-ID"), scenario + ": one Call-ID");
                    check(SipText.cseq(r) > cseq, scenario + ": CSeq grows");
                    cseq = SipText.cseq(r);
                    checkEquals(null, SipText.header(r, "Authorization"),
                                scenario + ": no credentials unasked");
                }
            }
        }
    }

    // A proxy that probes the registered engine with OPTIONS from its own address gets 200 "OK"
    // (reg_options checks the answer); the same OPTIONS from another port gets nothing at all.
    private static void options() throws Exception {
        try (Peers.Peer proxy = Peers.sipp("reg_options")
                                    .server()
                                    .param("options_ms", 300)
                                    .param("next_ms", 15000)
                                    .watchRegister()
                                    .timeout(60)
                                    .start()) {
            int port = startedPort(proxy, "SIPP_PORT");
            register("1001", "1001", "secret1", port);
            expectState(1, "OK", WAIT_MS, "registered at the probing proxy");
            String contact = proxy.await("ENGINE_CONTACT", WAIT_MS);
            check(contact != null && contact.startsWith("127.0.0.1:"), "the engine's contact: " + contact);
            if (contact != null) {
                try (Peers.Peer stranger = Peers.sipp("uac_options_ignored")
                                               .client(contact)
                                               .param("wait_ms", 3000)
                                               .timeout(20)
                                               .start()) {
                    check(stranger.passed(25000),
                          "OPTIONS from another port is not answered: " + stranger.describe());
                    List<String> answers = SipText.messages(stranger.file("SIPP_MESSAGES"), "received");
                    checkEquals(0, answers.size(), "nothing at all came back to the other port");
                }
            }
            phone.cancelRegistration();
            expectState(3, "OK", WAIT_MS, "unregistered at the probing proxy");
            check(proxy.passed(25000), "the proxy's OPTIONS was answered 200 OK: " + proxy.describe());
            List<String> sent = SipText.messages(proxy.file("SIPP_MESSAGES"), "received");
            int answers = 0;
            for (String m : sent) {
                if (m.startsWith("SIP/2.0 200 OK") && "1 OPTIONS".equals(SipText.header(m, "CSeq"))) {
                    answers++;
                }
            }
            check(answers >= 1, "the proxy received the 200 OK to its OPTIONS");
        }
        expectQuiet(300, "after the OPTIONS");
    }

    // A registrar that never answers: the REGISTER is sent 11 times within 31.5 s, then the transaction
    // times out at 32 s and the engine reports state 3 "timeout".
    private static void timeout() throws Exception {
        try (Peers.Peer s =
                 Peers.sipp("reg_no_answer").server().param("hold_ms", 34000).timeout(60).start()) {
            int port = startedPort(s, "SIPP_PORT");
            long start = System.nanoTime();
            register("1001", "1001", "secret1", port);
            Event e = expectState(3, "timeout", 45000, "no answer at all ends in a time-out");
            double elapsed = seconds(start, e.at);
            System.out.printf("   time-out reported after %.2f s%n", elapsed);
            check(elapsed > 30 && elapsed < 45,
                  "the time-out comes after the transaction's 32 s (" + elapsed + " s)");
            // sipp stays silent for 34 s from the first REGISTER, then ends its scenario.
            check(s.passed(20000), "sipp passed: " + s.describe());
            // Each retransmission is timed from the send before it (0.5 s, doubling up to 4 s): 11 sends
            // within 31.5 s where every timer fires on time. A send that a busy machine makes late moves
            // the ones after it, and the one then due after the time-out is not made. So: never more than
            // 11, and none missing that was due before the 32 s.
            List<Double> sent = SipText.requestTimes(s.file("SIPP_MESSAGES"), "REGISTER");
            int n = sent.size();
            double last = n > 0 ? sent.get(n - 1) - sent.get(0) : 0;
            double nextDue = last + Math.min(0.5 * Math.pow(2, n - 1), 4.0);
            System.out.printf("   REGISTER sent %d times, the last %.2f s after the first%n", n, last);
            check(n >= 1 && n <= 11, "REGISTER sent at most 11 times: " + n);
            check(nextDue > 31.75, "every REGISTER due before the 32 s time-out was sent: " + n + " sent, the next due at "
                                       + nextDue + " s");
            expectQuiet(300, "one report of the time-out");
        }
    }
}
