package nl.brimel.kbr.phone.jni;

/**
 * Test-only access to the headset products' stand-ins, from the library headsettesthooks: one
 * vendor's product is made present before the engine starts, then its buttons and events are
 * driven and what the engine told it is read back.
 */
public final class HeadsetHooks {
    private HeadsetHooks() {}

    /** "plantronics", "jabra" or "epos"; false when it cannot be made present. */
    public static native boolean makePresent(String vendor);
    /** What the product was told since the last call, one entry a line. */
    public static native String takeHeadsetCalls(String vendor);

    /** Raises a call state event of the hub for a call id (dtmf: the key text, or null). */
    public static native int plantronicsCallState(int state, int callId, String dtmf);
    /** Raises a call request of the hub with that number. */
    public static native int plantronicsCallRequest(String number);

    public static native void jabraAttach(int id, String name);
    public static native void jabraButton(int id, int input, boolean value);

    /** "answer", "hold", "resume", "end" or "reject" for a call id; false without a running instance. */
    public static native boolean eposRequest(String what, String callId);
    public static native boolean eposMute(boolean muted);
}
