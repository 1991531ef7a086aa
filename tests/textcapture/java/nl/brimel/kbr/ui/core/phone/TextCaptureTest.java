package nl.brimel.kbr.ui.core.phone;

import java.io.File;
import java.util.Arrays;
import java.util.concurrent.atomic.AtomicReference;

/**
 * The text-capture library through its Java natives and plain exports, over the stand-in
 * word-capture library and the simulated pointer. Prints one line per check and a closing
 * "N passed, N failed".
 */
public final class TextCaptureTest {
    private static int passed;
    private static int failed;
    private static final PhoneNumberCatcher catcher = new PhoneNumberCatcher();
    // Each capture gets a point of its own, so the pointer always moves to new text.
    private static int nextX = 100;

    private static final int S_FALSE = 1;
    private static final int E_FAIL = 0x80004005;
    private static final int E_ACCESSDENIED = 0x80070005;

    private TextCaptureTest() {
    }

    private static void check(String name, boolean ok, String detail) {
        if (ok) {
            passed++;
            System.out.println("ok   " + name);
        } else {
            failed++;
            System.out.println("FAIL " + name + ": " + detail);
        }
    }

    private static void checkEquals(String name, Object expected, Object actual) {
        boolean same = expected instanceof Object[] && actual instanceof Object[]
                ? Arrays.equals((Object[]) expected, (Object[]) actual)
                : expected == null ? actual == null : expected.equals(actual);
        check(name, same, "expected " + show(expected) + ", got " + show(actual));
    }

    private static String show(Object o) {
        return o instanceof Object[] ? Arrays.toString((Object[]) o) : String.valueOf(o);
    }

    /** A capture call running on a thread of its own. */
    private static final class Pending {
        final AtomicReference<Object> outcome = new AtomicReference<>();
        final Thread thread;
        final long started = System.nanoTime();
        long finished;

        Pending() {
            thread = new Thread(() -> {
                Object result;
                try {
                    result = catcher.captureTextUnderMouse();
                } catch (RuntimeException e) {
                    result = e;
                }
                finished = System.nanoTime();
                outcome.set(result);
            });
            thread.setDaemon(true);
            thread.start();
        }

        boolean done(long waitMs) throws InterruptedException {
            thread.join(waitMs);
            return !thread.isAlive();
        }

        long elapsedMs() {
            return (finished - started) / 1_000_000;
        }
    }

    /** Captures with a bound: the result array, the exception thrown, or "still waiting". */
    private static Object capture(long waitMs) throws InterruptedException {
        Pending p = new Pending();
        if (!p.done(waitMs)) {
            return "still waiting";
        }
        return p.outcome.get();
    }

    private static String[] expect(String text, String fallback, int offset, int x, int y) {
        return new String[] {text, fallback, Integer.toString(offset), Integer.toString(x), Integer.toString(y)};
    }

    private static int placeText(String before, String word, String after, int offset, String widened) {
        int x = nextX;
        nextX += 10;
        CaptureDriver.setText(x, 50, before, word, after, offset, widened);
        return x;
    }

    private static void beforeStart() throws InterruptedException {
        Object r = capture(3000);
        check("capture before start is refused", r instanceof RuntimeException
                && "text capture not started".equals(((RuntimeException) r).getMessage()), show(r));
        byte[] buffer = new byte[8 + 16];
        long n = CaptureDriver.nextString(buffer, 8);
        check("nextString before start gives an empty text", n == 0 && buffer[0] == 0, "n=" + n);
    }

    private static void sizeZero() {
        byte[] buffer = new byte[16];
        long t0 = System.nanoTime();
        long n = CaptureDriver.nextString(buffer, 0);
        boolean untouched = true;
        for (byte b : buffer) {
            untouched &= b == 0x7F;
        }
        check("nextString of size 0 returns 0 and writes nothing", n == 0 && untouched, "n=" + n);
        check("nextString of size 0 does not wait", (System.nanoTime() - t0) / 1_000_000 < 700, "waited");
    }

    private static void startFailures(String buildDir) {
        String[][] cases = {
            {"absent library", null, "failed to load wcapturex_x64.dll"},
            {"library without the entry point", buildDir + "/wordcapture_invalid", "Invalid WordCapture library"},
        };
        for (String[] c : cases) {
            if (c[1] != null) {
                CaptureDriver.useWordCaptureFolder(c[1]);
            }
            String message = null;
            try {
                catcher.startCapture();
            } catch (RuntimeException e) {
                message = e.getMessage();
            }
            checkEquals("start with " + c[0], c[2], message);
        }
    }

    private static void capturesRestingPointer() throws InterruptedException {
        Object[][] cases = {
            // name, before, word, after, offset, widened, expected text, fallback, offset
            {"word with text around it", "call ", "0201234567", " now", 2, "", "call 0201234567 now", "", 7},
            {"word alone", "", "12345", "", 3, "", "12345", "", 3},
            {"surrogates kept as they are", "\ud83d\ude00 ", "x\udc00y", "", 1, "", "\ud83d\ude00 x\udc00y", "", 4},
            {"empty text retried widened", "", "", "", 4, "Fallback 0612345678", "", "Fallback 0612345678", 4},
            {"word after an empty widened one", "", "31", "", 0, "", "31", "", 0},
        };
        for (Object[] c : cases) {
            int x = placeText((String) c[1], (String) c[2], (String) c[3], (Integer) c[4], (String) c[5]);
            CaptureDriver.setCursor(x, 50);
            Pending p = new Pending();
            boolean done = p.done(10000);
            check(c[0] + ": returns", done, "still waiting");
            if (!done) {
                continue;
            }
            checkEquals(c[0] + ": capture", expect((String) c[6], (String) c[7], (Integer) c[8], x, 50), p.outcome.get());
            check(c[0] + ": after the pointer rested", p.elapsedMs() >= 700, p.elapsedMs() + " ms");
        }
        // The widened retry used the same request with the widening bit added.
        int x = placeText("", "", "", 0, "wide");
        CaptureDriver.setCursor(x, 50);
        Object r = capture(10000);
        int[] input = CaptureDriver.lastInput();
        checkEquals("widened capture", show(expect("", "wide", 0, x, 50)), show(r));
        check("request carries the point, modes 7 and the widening bit",
                input[1] == x && input[2] == 50 && input[3] == x && input[4] == 50 && input[5] == 7 && input[6] == 7
                        && input[7] == (2 | 0x100),
                Arrays.toString(input));
        check("no objects left behind", CaptureDriver.liveObjects() == 1, "live " + CaptureDriver.liveObjects());
    }

    private static void waitsForNewText() throws InterruptedException {
        int first = placeText("", "same text", "", 0, "");
        CaptureDriver.setCursor(first, 50);
        checkEquals("first text", show(expect("same text", "", 0, first, 50)), show(capture(10000)));

        // Still over the text just returned: no return.
        Pending p = new Pending();
        check("pointer still over the last text keeps waiting", !p.done(2000), show(p.outcome.get()));
        // Moved to the same text elsewhere: not new either.
        int same = placeText("", "same text", "", 0, "");
        CaptureDriver.setCursor(same, 50);
        check("same text at another point keeps waiting", !p.done(2500), show(p.outcome.get()));
        int other = placeText("", "other text", "", 0, "");
        CaptureDriver.setCursor(other, 50);
        boolean done = p.done(10000);
        check("new text ends the wait", done, "still waiting");
        checkEquals("new text returned", show(expect("other text", "", 0, other, 50)), show(p.outcome.get()));
    }

    private static void declinedAndUnreadable() throws InterruptedException {
        // A point the engine declines gives an empty capture after the pause.
        CaptureDriver.setPointResult(S_FALSE);
        CaptureDriver.setCursor(nextX += 10, 50);
        Pending p = new Pending();
        boolean done = p.done(15000);
        CaptureDriver.setPointResult(0);
        check("declined point returns", done, "still waiting");
        checkEquals("declined point gives an empty capture", show(expect("", "", 0, 0, 0)), show(p.outcome.get()));
        check("declined point pauses before the next try", p.elapsedMs() >= 5000, p.elapsedMs() + " ms");

        int x = placeText("", "after decline", "", 0, "");
        CaptureDriver.setCursor(x, 50);
        checkEquals("capture after a declined point", show(expect("after decline", "", 0, x, 50)), show(capture(10000)));

        // A pointer that cannot be read clears the last capture.
        CaptureDriver.setCursorFails(true);
        p = new Pending();
        done = p.done(15000);
        CaptureDriver.setCursorFails(false);
        check("unreadable pointer returns", done, "still waiting");
        checkEquals("unreadable pointer gives an empty capture", show(expect("", "", 0, 0, 0)), show(p.outcome.get()));
    }

    private static void comFailures() throws InterruptedException {
        Object[][] cases = {
            // name, failure, hr, slot, expected message
            {"point query fails", "point", E_FAIL, 0, "COM error: -2147467259"},
            {"capture fails", "capture", E_ACCESSDENIED, 0, "COM error: -2147024891"},
            {"input setter fails", "setter", E_FAIL, 12, "COM error: -2147467259"},
            {"input creation fails", "createInput", E_FAIL, 0, "WInput object creation failed"},
        };
        for (Object[] c : cases) {
            int x = placeText("", "never seen", "", 0, "");
            if (c[1].equals("point")) {
                CaptureDriver.setPointResult((Integer) c[2]);
            } else {
                CaptureDriver.setFailure((String) c[1], (Integer) c[2], (Integer) c[3]);
            }
            CaptureDriver.setCursor(x, 50);
            Object r = capture(10000);
            CaptureDriver.reset();
            check(c[0] + ": RuntimeException", r instanceof RuntimeException
                    && c[4].equals(((RuntimeException) r).getMessage()), show(r));
            check(c[0] + ": nothing left behind", CaptureDriver.liveObjects() == 1,
                    "live " + CaptureDriver.liveObjects());
        }
    }

    private static void nextStringBuffers() throws InterruptedException {
        Object[][] cases = {
            // name, text, size, expected count, expected bytes (before the terminator)
            {"short buffer", "0123456789", 4, 3L, new byte[] {'0', '1', '2'}},
            {"roomy buffer", "abc", 100, 3L, new byte[] {'a', 'b', 'c'}},
            {"two-byte characters cut whole", "\u00e9\u00e9\u00e9\u00e9\u00e9", 4, 1L, new byte[] {(byte) 0xC3, (byte) 0xA9}},
            {"pair not split", "a\ud83d\ude00b", 4, 1L, new byte[] {'a'}},
            {"pair fits", "c\ud83d\ude00d", 6, 3L, new byte[] {'c', (byte) 0xF0, (byte) 0x9F, (byte) 0x98, (byte) 0x80}},
            {"lone surrogate replaced", "x\ud800y", 8, 3L, new byte[] {'x', (byte) 0xEF, (byte) 0xBF, (byte) 0xBD, 'y'}},
            {"size one", "zzz", 1, 0L, new byte[] {}},
        };
        for (Object[] c : cases) {
            int x = placeText("", (String) c[1], "", 0, "");
            CaptureDriver.setCursor(x, 50);
            int size = (Integer) c[2];
            byte[] buffer = new byte[size + 16];
            long n = boundedNextString(buffer, size);
            byte[] expected = (byte[]) c[4];
            boolean ok = n == (Long) c[3] && buffer[expected.length] == 0;
            for (int i = 0; i < expected.length; i++) {
                ok &= buffer[i] == expected[i];
            }
            for (int i = size; i < buffer.length; i++) {
                ok &= buffer[i] == 0x7F;
            }
            check("nextString " + c[0], ok, "n=" + n + " bytes=" + Arrays.toString(Arrays.copyOf(buffer, Math.min(buffer.length, 12))));
        }
    }

    /** nextString on a thread of its own; a call that never returns is stopped and ends the test. */
    private static long boundedNextString(byte[] buffer, int size) throws InterruptedException {
        long[] result = {-1};
        Thread t = new Thread(() -> result[0] = CaptureDriver.nextString(buffer, size));
        t.setDaemon(true);
        t.start();
        t.join(10000);
        if (t.isAlive()) {
            check("nextString returns", false, "still waiting");
            catcher.stopCapture();
            t.join(15000);
            System.out.println(passed + " passed, " + failed + " failed");
            System.exit(1);
        }
        return result[0];
    }

    private static void stopAndRestart() throws InterruptedException {
        int before = placeText("", "before the stop", "", 0, "");
        CaptureDriver.setCursor(before, 50);
        checkEquals("capture before the stop", show(expect("before the stop", "", 0, before, 50)), show(capture(10000)));
        // The pointer rests over the last text: the capture waits until the stop.
        Pending p = new Pending();
        check("waiting before the stop", !p.done(1000), show(p.outcome.get()));
        catcher.stopCapture();
        check("stop releases the engine", CaptureDriver.liveObjects() == 0, "live " + CaptureDriver.liveObjects());
        boolean done = p.done(15000);
        check("a waiting capture returns after the stop", done, "still waiting");
        checkEquals("it returns an empty capture", show(expect("", "", 0, 0, 0)), show(p.outcome.get()));

        long t0 = System.nanoTime();
        Object r = capture(10000);
        checkEquals("after the stop a capture returns the last one", show(expect("", "", 0, 0, 0)), show(r));
        check("at once", (System.nanoTime() - t0) / 1_000_000 < 4000, "slow");
        byte[] buffer = new byte[8 + 16];
        check("nextString after the stop returns at once", CaptureDriver.nextString(buffer, 8) == 0 && buffer[0] == 0,
                "text");

        catcher.startCapture();
        check("restart creates a new engine", CaptureDriver.liveObjects() == 1, "live " + CaptureDriver.liveObjects());
        int x = placeText("", "again", "", 0, "");
        CaptureDriver.setCursor(x, 50);
        checkEquals("capture after restart", show(expect("again", "", 0, x, 50)), show(capture(10000)));

        CaptureDriver.plainStopCapture();
        check("plain stopCapture releases the engine", CaptureDriver.liveObjects() == 0,
                "live " + CaptureDriver.liveObjects());

        catcher.startCapture();
        CaptureDriver.setFailure("stop", E_FAIL, 0);
        String message = null;
        try {
            catcher.stopCapture();
        } catch (RuntimeException e) {
            message = e.getMessage();
        }
        checkEquals("failing engine stop", "Exception in capture text", message);
        check("the engine stays after a failed stop", CaptureDriver.liveObjects() == 1,
                "live " + CaptureDriver.liveObjects());
        CaptureDriver.plainStopCapture(); // reported, not thrown
        check("plain stopCapture survives a failed stop", CaptureDriver.liveObjects() == 1,
                "live " + CaptureDriver.liveObjects());
        CaptureDriver.reset();
        catcher.stopCapture();
        check("stop after the failure cleared", CaptureDriver.liveObjects() == 0, "live " + CaptureDriver.liveObjects());

        CaptureDriver.setFailure("createEngine", E_FAIL, 0);
        message = null;
        try {
            catcher.startCapture();
        } catch (RuntimeException e) {
            message = e.getMessage();
        }
        CaptureDriver.reset();
        checkEquals("engine creation failure", "WCaptureX object creation failed", message);
    }

    public static void main(String[] args) throws Exception {
        String buildDir = System.getProperty("kbr.test.builddir");
        String libraryPath = System.getProperty("java.library.path");
        check("simulated pointer chosen", "sim".equals(CaptureDriver.cursorBackend()), CaptureDriver.cursorBackend());
        CaptureDriver.bindTextCapture(new File(libraryPath, System.mapLibraryName("kbrtextcapture_x64")).getPath());

        sizeZero();
        beforeStart();
        startFailures(buildDir);
        CaptureDriver.useWordCaptureFolder(buildDir + "/wordcapture");
        CaptureDriver.reset();
        catcher.startCapture();
        check("start creates the engine", CaptureDriver.liveObjects() == 1, "live " + CaptureDriver.liveObjects());
        capturesRestingPointer();
        waitsForNewText();
        nextStringBuffers();
        comFailures();
        declinedAndUnreadable();
        stopAndRestart();

        System.out.println(passed + " passed, " + failed + " failed");
        System.exit(failed == 0 ? 0 : 1);
    }
}
