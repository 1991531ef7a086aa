package nl.brimel.kbr.phone.jni;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;

/**
 * Drives the engine the way the application does, through the native methods of JPhone, with a
 * recording protocol installed by the test hooks. Prints "N passed, N failed" and exits nonzero on a
 * failure.
 */
public final class JPhoneTest {
    private static int passed;
    private static int failed;
    private static final JPhone phone = new JPhone();

    private interface Group {
        void run() throws Exception;
    }

    private static void check(boolean ok, String what) {
        if (ok) {
            passed++;
        } else {
            failed++;
            System.out.println("FAILED: " + what);
        }
    }

    private static void checkEquals(Object expected, Object actual, String what) {
        boolean ok = expected == null ? actual == null : expected.equals(actual);
        check(ok, what + ": expected <" + expected + "> but was <" + actual + ">");
    }

    // Any Java exception out of a group is a failure: the engine must never let one cross.
    private static void group(String name, Group g) {
        System.out.println("-- " + name);
        try {
            g.run();
        } catch (Throwable t) {
            failed++;
            System.out.println("FAILED: " + name + " threw " + t);
            t.printStackTrace(System.out);
        }
    }

    private static List<String> nextEvents(int n) throws InterruptedException {
        List<String> out = new ArrayList<>();
        for (int i = 0; i < n; i++) {
            String e = phone.events.poll(10, TimeUnit.SECONDS);
            if (e == null) {
                out.add("<no event within 10 s>");
                break;
            }
            out.add(e);
        }
        return out;
    }

    private static void expectEvents(String what, String... expected) throws InterruptedException {
        checkEquals(Arrays.asList(expected), nextEvents(expected.length), what);
    }

    // Everything posted so far has run, and no callback is left over.
    private static void expectQuiet(String what) {
        check(TestHooks.settle(), what + ": the loop answers");
        checkEquals(null, phone.events.poll(), what + ": no further callback");
    }

    private static List<String> lines(String text) {
        List<String> out = new ArrayList<>();
        for (String l : text.split("\n")) {
            if (!l.isEmpty()) {
                out.add(l);
            }
        }
        return out;
    }

    private static String stateEvent(String id, String name, int state, boolean active) {
        return "lineStateChanged " + id + " " + name + " " + state + " " + active
               + " true Local sip:100@127.0.0.1 [] Remote sip:200@127.0.0.1 30 @loop";
    }

    public static void main(String[] args) throws Exception {
        System.loadLibrary("kbrjphone");
        System.loadLibrary("jphonetesthooks");
        if (args.length > 0 && args[0].equals("--output-child")) {
            outputChild();
            return;
        }
        group("exports before initialize", JPhoneTest::beforeInitialize);
        group("initialize once", JPhoneTest::initializeOnce);
        group("the SIP end point as the signalling protocol", JPhoneTest::withSipEndPoint);
        group("processEvents runs the loop on its own thread", JPhoneTest::startLoop);
        group("createLineId with and without a name", JPhoneTest::createLines);
        group("posting exports reach their line on the loop", JPhoneTest::postingExports);
        group("registration", JPhoneTest::registration);
        group("lineStateChanged with every stored state", JPhoneTest::lineStates);
        group("addLocalStatistics before the final state", JPhoneTest::statistics);
        group("buttonPressed, requestDialing, muteStateChanged", JPhoneTest::phoneCallbacks);
        group("no engine exception crosses into Java", JPhoneTest::failuresStayInside);
        group("audio, device and level exports", JPhoneTest::audioExports);
        group("a twin line that fails ends the other calls", JPhoneTest::twinLine);
        group("standard error reaches standard output without CR", JPhoneTest::outputThroughChild);
        System.out.println(passed + " passed, " + failed + " failed");
        System.exit(failed == 0 ? 0 : 1);
    }

    private static void beforeInitialize() {
        checkEquals(0L, TestHooks.phoneAddress(), "no phone before initialize");
        checkEquals(null, phone.createLineId(), "createLineId before initialize");
        check(!phone.dial("x", "100", null), "dial before initialize reports failure");
        phone.hangup("x");
        phone.registerWithProxy("100", "", "100", "pw", "127.0.0.1", 5060);
    }

    private static void initializeOnce() {
        phone.initialize();
        long first = TestHooks.phoneAddress();
        check(first != 0, "initialize makes the phone");
        phone.initialize();
        checkEquals(first, TestHooks.phoneAddress(), "a second initialize does nothing");
    }

    private static String sipLine;
    private static String sipNamedLine;

    private static void withSipEndPoint() {
        sipLine = phone.createLineId();
        check(sipLine != null && sipLine.matches("[0-9a-f]{16}"), "the SIP end point makes a line with a new id");
        sipNamedLine = phone.createLineId("Desk");
        check(sipNamedLine != null && !sipNamedLine.equals(sipLine), "and a named line with an id of its own");
        phone.registerWithProxy("100", "Desk", "100", "pw", "127.0.0.1", 5060);
        phone.cancelRegistration();
    }

    private static void startLoop() throws InterruptedException {
        TestHooks.installProtocol();
        AtomicLong loopTag = new AtomicLong();
        Thread loop = new Thread(() -> {
            loopTag.set(TestHooks.threadTag());
            phone.processEvents();
        }, "jphone-loop");
        loop.setDaemon(true);
        phone.loopThread = loop;
        loop.start();
        long tag = TestHooks.loopTag();
        check(tag != 0, "the loop runs actions");
        checkEquals(loopTag.get(), tag, "actions run on the processEvents thread");
        check(tag != TestHooks.threadTag(), "not on the test's thread");

        Thread second = new Thread(phone::processEvents, "second-loop");
        second.setDaemon(true);
        second.start();
        second.join(10000);
        check(!second.isAlive(), "a second processEvents returns at once");
        check(loop.isAlive(), "the first loop keeps running");

        // The SIP lines made before, without a call, end when they hang up.
        phone.hangup(sipLine);
        phone.hangup(sipNamedLine);
        expectEvents("lines without a call end at once", "lineStateChanged " + sipLine + " " + sipLine
                     + " 8 false false   []   0 @loop", "lineStateChanged " + sipNamedLine + " Desk 8 false false   []   0 @loop");
        expectQuiet("hangup of the SIP lines");
    }

    private static String lineA;
    private static String lineB;

    private static void createLines() throws InterruptedException {
        lineA = phone.createLineId();
        lineB = phone.createLineId();
        String named = phone.createLineId("Desk");
        check(lineA != null && lineA.matches("[0-9a-f]{16}"), "a line id of 16 hex digits: " + lineA);
        check(lineB != null && !lineB.equals(lineA), "each createLineId makes a new id");
        check(named != null && !named.equals(lineA) && !named.equals(lineB), "the named line has its own id");
        TestHooks.setState(lineA, 0);
        TestHooks.setState(named, 0);
        expectEvents("an unnamed line is named by its id, a named line keeps its name",
                     stateEvent(lineA, lineA, 0, false), stateEvent(named, "Desk", 0, false));
        expectQuiet("createLineId");
    }

    private static void postingExports() throws InterruptedException {
        check(TestHooks.blockLoop(), "the loop is held");
        long start = System.nanoTime();
        check(phone.dial(lineA, "100", "Desk"), "dial returns true");
        check(phone.dial(lineA, "101", null), "dial with a null display name returns true");
        phone.hangup(lineA);
        phone.answerIncoming(lineA);
        phone.rejectIncoming(lineA);
        phone.busyIncoming(lineA);
        phone.setRinging(lineA);
        phone.putOnHold(lineA);
        phone.activate(lineA);
        phone.blindTransfer(lineA, "200");
        phone.transfer(lineA, lineB);
        long elapsedMs = (System.nanoTime() - start) / 1000000;
        checkEquals("", TestHooks.takeCalls(), "nothing runs while the loop is held: every export returned at once");
        System.out.println("   11 posting exports returned in " + elapsedMs + " ms with the loop held");
        TestHooks.releaseLoop();
        check(TestHooks.settle(), "the loop runs again");
        checkEquals(Arrays.asList(lineA + " dial 100 'Desk' @loop", lineA + " dial 101 '' @loop",
                                  lineA + " hangup @loop", lineA + " answerIncoming @loop",
                                  lineA + " rejectIncoming @loop", lineA + " busyIncoming @loop",
                                  lineA + " setRinging @loop", lineA + " putOnHold @loop",
                                  lineA + " activate @loop", lineA + " blindTransfer 200 @loop",
                                  lineA + " transfer " + lineB + " @loop"),
                    lines(TestHooks.takeCalls()), "each export reached its line on the loop thread, in order");
        expectQuiet("posting exports");
    }

    private static void registration() throws InterruptedException {
        phone.registerWithProxy("100", "Desk Phone", "auth100", "secret", "127.0.0.1", 5070);
        checkEquals(Arrays.asList("registerWithProxy 100 'Desk Phone' auth100 secret 127.0.0.1:5070 @other"),
                    lines(TestHooks.takeCalls()), "registerWithProxy reaches the protocol on the calling thread");
        expectEvents("registration state reaches Java", "registrationStateChanged 1 registered auth100 @loop");
        phone.cancelRegistration();
        expectEvents("a reason with bytes that are not UTF-8 arrives replaced",
                     "registrationStateChanged 3 Not registered ??( @loop");
        checkEquals(Arrays.asList("cancelRegistration @other"), lines(TestHooks.takeCalls()), "cancelRegistration");
        expectQuiet("registration");
    }

    private static void lineStates() throws InterruptedException {
        String id = phone.createLineId("states");
        int[] sequence = {0, 1, 2, 3, 4, 5, 6, 7, 10, 9, 11, 8};
        for (int s : sequence) {
            TestHooks.setState(id, s);
        }
        expectEvents("eleven stored states; 10 is never reported; 11 is reported as 3",
                     stateEvent(id, "states", 0, false), stateEvent(id, "states", 1, true),
                     stateEvent(id, "states", 2, true), stateEvent(id, "states", 3, true),
                     stateEvent(id, "states", 4, true), stateEvent(id, "states", 5, true),
                     stateEvent(id, "states", 6, true), stateEvent(id, "states", 7, true),
                     stateEvent(id, "states", 9, false), stateEvent(id, "states", 3, false),
                     stateEvent(id, "states", 8, false));
        expectQuiet("a line without an RTP session has no statistics");
        phone.hangup(id);
        check(TestHooks.settle(), "loop");
        checkEquals("", TestHooks.takeCalls(), "a hangup for an ended line does nothing");
    }

    private static void statistics() throws InterruptedException {
        String id = phone.createLineId("stats");
        TestHooks.setSession(id, 0x9abcdef0, 500, 3, 7, 2, 1, 12, false);
        TestHooks.setState(id, 5);
        TestHooks.setState(id, 6);
        TestHooks.setState(id, 8);
        expectEvents("statistics come before the final state", stateEvent(id, "stats", 5, false),
                     stateEvent(id, "stats", 6, true),
                     "addLocalStatistics " + id + " false local received " + 0x9abcdef0
                         + " 500 3 7 2 1 12 0 0 0 @loop",
                     stateEvent(id, "stats", 8, false));
        expectQuiet("statistics");

        String failing = phone.createLineId("nostats");
        TestHooks.setSession(failing, 1, 1, 0, 0, 0, 0, 0, true);
        TestHooks.setState(failing, 8);
        expectEvents("statistics that cannot be read still let the final state through",
                     stateEvent(failing, "nostats", 8, false));
        expectQuiet("failing statistics");
    }

    private static void phoneCallbacks() throws InterruptedException {
        TestHooks.pressButton(5);
        TestHooks.pressButton(99); // the Java method throws
        TestHooks.pressButton(6);
        expectEvents("a callback that throws does not break the next one", "buttonPressed 5 @loop",
                     "buttonPressed 99 @loop", "buttonPressed 6 @loop");
        TestHooks.requestDialing("0301234");
        TestHooks.requestDialingBytes(new byte[] {'1', '2', (byte) 0xFF});
        expectEvents("requestDialing, also with bytes from a device that are not UTF-8",
                     "requestDialing 0301234 @loop", "requestDialing 12? @loop");
        TestHooks.setMute(true);
        TestHooks.setMute(true);
        TestHooks.setMute(false);
        expectEvents("one muteStateChanged per change", "muteStateChanged true @loop",
                     "muteStateChanged false @loop");
        expectQuiet("phone callbacks");
    }

    private static void failuresStayInside() throws InterruptedException {
        checkEquals(null, phone.createLineId(null), "createLineId(null) gives null");
        check(!phone.dial(null, "100", null), "dial without a line id gives false");
        check(!phone.dial(lineA, null, "x"), "dial without a number gives false");
        phone.hangup(null);
        phone.transfer(lineA, null);
        phone.registerWithProxy(null, null, null, null, null, 0);
        TestHooks.failNextCreate("create refused");
        checkEquals(null, phone.createLineId(), "a protocol that throws gives null");
        TestHooks.duplicateNextId();
        checkEquals(null, phone.createLineId("dup"), "a duplicate line id gives null");
        phone.transfer(lineA, "no-such-line");
        TestHooks.throwNext(lineA, "line is gone");
        phone.hangup(lineA);
        phone.activate(lineA);
        check(TestHooks.settle(), "the loop survives");
        checkEquals(Arrays.asList(lineA + " hangup @loop", lineA + " activate @loop"), lines(TestHooks.takeCalls()),
                    "an operation that throws is reported and the next action runs");
        expectQuiet("failures");
    }

    private static void audioExports() throws InterruptedException {
        phone.enableRinger(false);
        check(!phone.isRIngerEnabled(), "the ringer is off");
        phone.enableRinger(true);
        check(phone.isRIngerEnabled(), "the ringer is on again");

        check(phone.getAutoInputLevel(), "automatic input level is on by default");
        phone.setAutoInputLevel(false);
        check(!phone.getAutoInputLevel(), "automatic input level off");
        phone.setAutoInputLevel(true);

        phone.setDevices(null, null);
        phone.setDevices("Headset Microphone", null);
        phone.setDevices(null, "Headset Earphone");
        String input = phone.getActualInputDevice();
        String output = phone.getActualOutputDevice();
        check(input != null && output != null, "the devices really used have names (empty without a manager)");

        // Levels are bounded to 0..1 whatever Java passes.
        double[] given = {0.5, 7.0, -2.0, Double.NaN, Double.POSITIVE_INFINITY};
        for (double g : given) {
            phone.setInputLevel(g);
            phone.setOutputLevel(g);
            double in = phone.getInputLevel();
            double out = phone.getOutputLevel();
            check(in >= 0.0 && in <= 1.0, "input level after " + g + " is within 0..1: " + in);
            check(out >= 0.0 && out <= 1.0, "output level after " + g + " is within 0..1: " + out);
        }

        for (boolean inputSide : new boolean[] {true, false}) {
            List<String> names = new ArrayList<>();
            Object target = names;
            if (inputSide) {
                phone.getInputDevices(target);
            } else {
                phone.getOutputDevices(target);
            }
            String actual = inputSide ? phone.getActualInputDevice() : phone.getActualOutputDevice();
            List<String> added = new ArrayList<>();
            String e;
            while ((e = phone.events.poll()) != null) {
                check(e.startsWith("addDevice ") && e.endsWith(" @thread main"),
                      "addDevice arrives on the calling thread: " + e);
                added.add(e.substring("addDevice ".length(), e.length() - " @thread main".length()));
            }
            if (!added.isEmpty()) {
                checkEquals(actual, added.get(0), "the device really used comes first");
                checkEquals(1L, added.stream().filter(actual::equals).count(), "and only once");
            }
        }

        // Without an active call keys and sounds go nowhere, and nothing fails.
        phone.sendDtmf('5');
        phone.sendDtmf((char) 0x1235);
        phone.playIncomingLineSound();
        phone.setMute(true);
        phone.setMute(true);
        phone.setMute(false);
        expectEvents("setMute tells Java once per change", "muteStateChanged true @loop",
                     "muteStateChanged false @loop");
        expectQuiet("audio exports");
        checkEquals("", TestHooks.takeCalls(), "no line was touched");
    }

    private static void twinLine() throws InterruptedException {
        check(!phone.isTwinActive(), "no twin line at first");
        String other = phone.createLineId("other");
        String twin = phone.createTwinLineId("twin");
        check(twin != null && twin.matches("[0-9a-f]{16}"), "the twin line has an id: " + twin);
        check(phone.isTwinActive(), "the twin line is active");
        TestHooks.setState(twin, 1);
        expectEvents("Java is told of the twin line's progress", stateEvent(twin, "twin", 1, true));
        TestHooks.setState(twin, 3);
        check(TestHooks.settle(), "loop"); // the state change has run and posted the hangups
        check(TestHooks.settle(), "loop"); // and the hangups have run
        check(!phone.isTwinActive(), "the failed twin line is no longer the twin");
        List<String> calls = lines(TestHooks.takeCalls());
        check(calls.contains(twin + " hangup @loop"), "the twin line " + twin + " is hung up: " + calls);
        check(calls.contains(other + " hangup @loop"), "and so is every other line: " + calls);
        expectQuiet("Java is not told of the failed twin line");
    }

    private static String readAll(InputStream in) throws IOException {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        in.transferTo(out);
        return out.toString(StandardCharsets.UTF_8);
    }

    private static void outputThroughChild() throws Exception {
        String java = System.getProperty("java.home") + "/bin/java";
        ProcessBuilder pb = new ProcessBuilder(java, "-Xcheck:jni",
                                               "-Djava.library.path=" + System.getProperty("java.library.path"),
                                               "-cp", System.getProperty("java.class.path"),
                                               JPhoneTest.class.getName(), "--output-child");
        Process child = pb.start();
        child.getOutputStream().close();
        String[] streams = new String[2];
        Thread errReader = new Thread(() -> {
            try {
                streams[1] = readAll(child.getErrorStream());
            } catch (IOException e) {
                streams[1] = "<" + e + ">";
            }
        });
        errReader.start();
        streams[0] = readAll(child.getInputStream());
        errReader.join(60000);
        check(child.waitFor(60, TimeUnit.SECONDS), "the child ends");
        checkEquals(0, child.exitValue(), "the child's exit code");
        String out = streams[0];
        String err = streams[1] == null ? "" : streams[1];
        check(out.contains("from cerr\nsecond line\n"), "std::cerr text is on standard output: " + out);
        check(out.contains("from cout\n"), "std::cout text is on standard output");
        check(out.indexOf('\r') < 0, "no carriage return on standard output");
        check(!err.contains("from cerr"), "nothing of it on standard error: " + err);
        check(!out.contains("WARNING in native method") && !err.contains("WARNING in native method"),
              "the child ran clean under -Xcheck:jni");
    }

    private static void outputChild() {
        phone.initialize();
        TestHooks.writeCerr("from cerr\r\nsecond line\r\n");
        TestHooks.writeCout("from cout\r\n");
        System.exit(0);
    }
}
