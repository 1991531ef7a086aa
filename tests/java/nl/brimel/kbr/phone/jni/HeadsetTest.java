package nl.brimel.kbr.phone.jni;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;

/**
 * A headset product end to end through Java: the product (argument "plantronics", "jabra" or "epos")
 * is present when the engine starts, so the engine chooses its integration; then calls go through
 * their states while the headset answers, holds, resumes, ends, mutes, sends digits and asks to dial.
 * The lines are the recording lines of the test hooks; their states are set as the SIP stack would set
 * them. Prints "N passed, N failed" and exits nonzero on a failure.
 */
public final class HeadsetTest {
    private static int passed;
    private static int failed;
    private static final JPhone phone = new JPhone();
    private static String vendor;

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

    private static List<String> lines(String text) {
        List<String> out = new ArrayList<>();
        for (String l : text.split("\n")) {
            if (!l.isEmpty()) {
                out.add(l);
            }
        }
        return out;
    }

    // The next Java callback other than a line state; null after 10 s.
    private static String nextCallback() throws InterruptedException {
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
        while (System.nanoTime() < end) {
            String e = phone.events.poll(100, TimeUnit.MILLISECONDS);
            if (e != null && !e.startsWith("lineStateChanged ")) {
                return e;
            }
        }
        return null;
    }

    private static void expectCallbacks(String what, String... expected) throws InterruptedException {
        List<String> got = new ArrayList<>();
        for (int i = 0; i < expected.length; i++) {
            got.add(nextCallback());
        }
        checkEquals(Arrays.asList(expected), got, what);
    }

    // The line operations the headset caused, once the loop has run them.
    private static void expectOperations(String what, String... expected) {
        check(TestHooks.settle(), what + ": the loop answers");
        checkEquals(Arrays.asList(expected), lines(TestHooks.takeCalls()), what);
    }

    // What the headset's product was told about a line state the phone stored.
    private static void expectHeadset(String what, String... expected) {
        check(TestHooks.settle(), what + ": the loop answers");
        checkEquals(Arrays.asList(expected), lines(HeadsetHooks.takeHeadsetCalls(vendor)), what);
    }

    private static void setState(String lineId, int state) {
        TestHooks.setState(lineId, state);
        TestHooks.settle();
    }

    public static void main(String[] args) throws Exception {
        vendor = args.length > 0 ? args[0] : "";
        System.loadLibrary("kbrjphone");
        System.loadLibrary("jphonetesthooks");
        System.loadLibrary("headsettesthooks");
        System.out.println("-- " + vendor + " headset");
        try {
            check(HeadsetHooks.makePresent(vendor), "the product is made present");
            phone.initialize();
            TestHooks.installProtocol();
            Thread loop = new Thread(phone::processEvents, "jphone-loop");
            loop.setDaemon(true);
            phone.loopThread = loop;
            loop.start();
            check(TestHooks.loopTag() != 0, "the loop runs");
            switch (vendor) {
                case "plantronics":
                    plantronics();
                    break;
                case "jabra":
                    jabra();
                    break;
                case "epos":
                    epos();
                    break;
                default:
                    check(false, "unknown vendor " + vendor);
            }
        } catch (Throwable t) {
            failed++;
            System.out.println("FAILED: threw " + t);
            t.printStackTrace(System.out);
        }
        System.out.println(passed + " passed, " + failed + " failed");
        System.exit(failed == 0 ? 0 : 1);
    }

    private static void plantronics() throws InterruptedException {
        HeadsetHooks.takeHeadsetCalls(vendor);
        String line = phone.createLineId();
        setState(line, 5);
        expectHeadset("an offered call is announced", "incoming 1 Remote");
        HeadsetHooks.plantronicsCallState(1, 1, null);
        expectOperations("the headset answers", line + " answerIncoming @loop");
        setState(line, 6);
        expectHeadset("the connected call becomes the active one", "resume 1");
        HeadsetHooks.plantronicsCallState(3, 1, null);
        expectOperations("the headset holds", line + " putOnHold @loop");
        HeadsetHooks.plantronicsCallState(4, 1, null);
        expectOperations("the headset resumes", line + " activate @loop");
        HeadsetHooks.plantronicsCallState(11, 1, null);
        expectCallbacks("mute from the headset reaches Java", "muteStateChanged true @loop");
        expectHeadset("and the headset is told the mute state", "mute-on 1");
        HeadsetHooks.plantronicsCallState(12, 1, null);
        expectCallbacks("unmute from the headset", "muteStateChanged false @loop");
        expectHeadset("and the headset is told", "mute-off 1");
        HeadsetHooks.plantronicsCallState(22, 1, "1*#x");
        expectCallbacks("digits reach Java", "buttonPressed 1 @loop", "buttonPressed 10 @loop",
                        "buttonPressed 11 @loop");
        HeadsetHooks.plantronicsCallRequest("0301234");
        expectCallbacks("a dial request reaches Java", "requestDialing 0301234 @loop");
        HeadsetHooks.plantronicsCallState(2, 1, null);
        expectOperations("the headset ends the call", line + " hangup @loop");
        setState(line, 8);
        expectHeadset("the ended call is terminated", "terminate 1", "hold -1");

        String out = phone.createLineId();
        setState(out, 1);
        expectHeadset("a dialled call is announced with the next id", "outgoing 2 Remote", "resume 2");
        setState(out, 9);
        expectHeadset("and terminated", "terminate 2", "hold -1");
        HeadsetHooks.plantronicsCallState(1, 2, null);
        expectOperations("a request for an ended call does nothing");
    }

    private static void jabra() throws InterruptedException {
        HeadsetHooks.jabraAttach(7, "Jabra Evolve 65");
        HeadsetHooks.takeHeadsetCalls(vendor);
        String line = phone.createLineId();
        setState(line, 5);
        expectHeadset("an offered call rings the headset", "SetOnline 7 1", "SetRinger 7 1");
        HeadsetHooks.jabraButton(7, 1, true);
        expectOperations("the hook button answers", line + " answerIncoming @loop");
        setState(line, 6);
        expectHeadset("the connected call takes the headset off hook", "SetRinger 7 0", "SetOffHook 7 1");
        HeadsetHooks.jabraButton(7, 2, true);
        expectCallbacks("mute from the headset reaches Java", "muteStateChanged true @loop");
        expectHeadset("and the headset is told the mute state", "SetMute 7 1");
        HeadsetHooks.jabraButton(7, 2, false);
        expectCallbacks("unmute from the headset", "muteStateChanged false @loop");
        expectHeadset("and the headset is told", "SetMute 7 0");
        HeadsetHooks.jabraButton(7, 6, true);
        HeadsetHooks.jabraButton(7, 15, true);
        HeadsetHooks.jabraButton(7, 16, true);
        expectCallbacks("digits reach Java", "buttonPressed 1 @loop", "buttonPressed 10 @loop",
                        "buttonPressed 11 @loop");
        HeadsetHooks.jabraButton(7, 1, false);
        expectOperations("the hook button released ends the call", line + " hangup @loop");
        setState(line, 8);
        expectHeadset("the ended call puts the headset on hook", "SetRinger 7 0", "SetOffHook 7 0", "SetOnline 7 0");

        String out = phone.createLineId();
        setState(out, 1);
        expectHeadset("a dialled call takes the headset off hook", "SetOffHook 7 1");
        setState(out, 8);
        expectHeadset("and back on hook", "SetRinger 7 0", "SetOffHook 7 0", "SetOnline 7 0");
    }

    private static void epos() throws InterruptedException {
        checkEquals("Start", String.join(",", lines(HeadsetHooks.takeHeadsetCalls(vendor))),
                    "the library is started with the loop");
        String line = phone.createLineId();
        setState(line, 5);
        expectHeadset("an offered call is announced", "IncomingCall " + line);
        check(HeadsetHooks.eposRequest("answer", line), "the library answers");
        expectOperations("the headset answers", line + " answerIncoming @loop");
        setState(line, 6);
        expectHeadset("the connected call is activated", "ActivateCall " + line, "ActivateCall " + line);
        HeadsetHooks.eposRequest("hold", line);
        expectOperations("the headset holds", line + " putOnHold @loop");
        HeadsetHooks.eposRequest("resume", line);
        expectOperations("the headset resumes", line + " activate @loop");
        HeadsetHooks.eposMute(true);
        expectCallbacks("mute from the headset reaches Java", "muteStateChanged true @loop");
        expectHeadset("and the headset is told the mute state", "Mute 1");
        HeadsetHooks.eposRequest("answer", "no-such-call");
        expectOperations("a request for an unknown call does nothing");
        HeadsetHooks.eposRequest("end", line);
        expectOperations("the headset ends the call", line + " hangup @loop");
        setState(line, 8);
        expectHeadset("the ended call is ended", "EndCall " + line);

        String out = phone.createLineId();
        setState(out, 1);
        // The new call starts unmuted, and the headset hears of that too.
        expectHeadset("a dialled call is announced", "OutgoingCall " + out, "Mute 0");
        HeadsetHooks.eposRequest("reject", out);
        expectOperations("the headset rejects", out + " rejectIncoming @loop");
        setState(out, 9);
        expectHeadset("and it ends", "EndCall " + out);
    }
}
