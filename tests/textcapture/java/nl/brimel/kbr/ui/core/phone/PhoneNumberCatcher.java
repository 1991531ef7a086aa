package nl.brimel.kbr.ui.core.phone;

/** Stands in for the application's class: the natives of the text-capture library. */
public class PhoneNumberCatcher {
    static {
        System.loadLibrary("kbrtextcapture_x64");
    }

    public native void startCapture();

    public native void stopCapture();

    /** Text, fallback text, offset, x, y. */
    public native String[] captureTextUnderMouse();
}
