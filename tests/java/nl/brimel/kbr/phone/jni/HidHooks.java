package nl.brimel.kbr.phone.jni;

/** Test-only access to the engine's HID device and to the simulated HID bus, from jphonetesthooks. */
public final class HidHooks {
    private HidHooks() {}

    /** Makes the HID headset driver the phone's device; call between initialize and processEvents. */
    public static native void installHidDevice();
    /** Plugs a supported product into the simulated bus; its id. */
    public static native int addDevice(int vendor, int product);
    /** An input report from the device (byte 0 the report id); false when it is not plugged in. */
    public static native boolean push(int id, byte[] report);
    public static native void unplug(int id);
    public static native void replug(int id);
    /** True once the driver has a read pending on the device (it listens). */
    public static native boolean waitReading(int id, int timeoutMs);
    /** The reports sent to the device, one a line: milliseconds, then the bytes in hex. */
    public static native String sent(int id);
}
