package nl.brimel.kbr.ui.core.phone;

/** Test driver: the simulated pointer, the stand-in word-capture library and the plain exports. */
final class CaptureDriver {
    static {
        System.loadLibrary("textcapturetesthooks");
    }

    private CaptureDriver() {
    }

    static native void useWordCaptureFolder(String folder);

    static native void bindTextCapture(String path);

    static native void setCursor(int x, int y);

    static native void setCursorFails(boolean fails);

    static native String cursorBackend();

    static native void reset();

    static native void setText(int x, int y, String before, String word, String after, int offset, String widened);

    static native void setPointResult(int hr);

    static native void setFailure(String what, int hr, int slot);

    static native int liveObjects();

    static native int captureCount();

    static native int[] lastInput();

    static native long nextString(byte[] out, int size);

    static native void plainStopCapture();
}
