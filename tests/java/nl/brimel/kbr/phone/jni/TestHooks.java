package nl.brimel.kbr.phone.jni;

/**
 * Test-only access to the engine, from the library jphonetesthooks: it installs a test double of the
 * signalling protocol whose lines record every operation, and drives the phone's loop.
 */
public final class TestHooks {
    private TestHooks() {}

    /** Address of the engine's phone, 0 before initialize. */
    public static native long phoneAddress();
    /** Installs the recording protocol on the phone and the statistics reader for its sessions. */
    public static native void installProtocol();
    /** Kernel id of the calling thread. */
    public static native long threadTag();
    /** Runs an action on the loop and returns the loop thread's id; 0 when the loop did not answer. */
    public static native long loopTag();
    /** Posts an action that holds the loop until {@link #releaseLoop}; false when it did not start. */
    public static native boolean blockLoop();
    public static native void releaseLoop();
    /** True once everything posted before has run on the loop (bounded wait). */
    public static native boolean settle();
    /** The operations the lines and the protocol were given since the last call, one per line. */
    public static native String takeCalls();
    /** Posts setState on the loop for that line. */
    public static native void setState(String lineId, int state);
    /** Gives the line an RTP session double with these figures; failing: reading them throws. */
    public static native void setSession(String lineId, int ssrc, int expected, int lost, int late80, int late160,
                                         int late240, int jitter, boolean failing);
    /** The next operation of that line throws std::runtime_error with the text. */
    public static native void throwNext(String lineId, String text);
    /** The next createLine throws; or reuses the id of the first line created (which stays). */
    public static native void failNextCreate(String text);
    public static native void duplicateNextId();
    public static native void pressButton(int code);
    public static native void requestDialing(String number);
    /** The number is given as bytes (a device may send anything). */
    public static native void requestDialingBytes(byte[] number);
    public static native void setMute(boolean muted);
    public static native void writeCerr(String text);
    public static native void writeCout(String text);

    /** Lines count their operations without writing them down (benchmarks). */
    public static native void quiet(boolean on);
    /** Operations the lines have run so far (all kinds). */
    public static native long operationCount();
    /** Spins until operationCount reaches the value; false after 10 s. */
    public static native boolean awaitOperations(long count);
    /** Calls buttonPressed n times on the loop thread; nanoseconds in all, or -1. */
    public static native long timeButtonCallbacks(int n);
    /** Calls lineStateChanged for the line n times on the loop thread; nanoseconds in all, or -1. */
    public static native long timeLineCallbacks(String lineId, int n);
}
