package nl.brimel.kbr.phone.jni;

import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;

/**
 * Stands in for the application's class: the same native methods and callbacks. Each callback is
 * written to {@link #events} as one line of text, with the thread it arrived on.
 */
public class JPhone {
    public native void initialize();
    public native void processEvents();
    public native void registerWithProxy(String user, String displayName, String authUser, String password,
                                         String host, int port);
    public native void cancelRegistration();
    public native String createLineId();
    public native String createLineId(String name);
    public native boolean dial(String lineId, String number, String displayName);
    public native void hangup(String lineId);
    public native void answerIncoming(String lineId);
    public native void rejectIncoming(String lineId);
    public native void busyIncoming(String lineId);
    public native void setRinging(String lineId);
    public native void putOnHold(String lineId);
    public native void activate(String lineId);
    public native void blindTransfer(String lineId, String target);
    public native void transfer(String lineId, String otherLineId);

    public native String createTwinLineId(String name);
    public native boolean isTwinActive();
    public native void sendDtmf(char key);
    public native void setMute(boolean muted);
    public native void enableRinger(boolean enabled);
    public native boolean isRIngerEnabled();
    public native boolean getAutoInputLevel();
    public native void setAutoInputLevel(boolean enabled);
    public native void setInputLevel(double level);
    public native double getInputLevel();
    public native void setOutputLevel(double level);
    public native double getOutputLevel();
    public native void setDevices(String input, String output);
    public native String getActualInputDevice();
    public native String getActualOutputDevice();
    public native void getInputDevices(Object target);
    public native void getOutputDevices(Object target);
    public native void playIncomingLineSound();

    /** Every callback, in arrival order. */
    public final BlockingQueue<String> events = new LinkedBlockingQueue<>();
    /** The thread that runs processEvents; callbacks must arrive on it. */
    public volatile Thread loopThread;
    /** Benchmark mode: callbacks only count. */
    public volatile boolean countOnly;
    public volatile long callbackCount;

    private void record(String event) {
        if (countOnly) {
            callbackCount++;
            return;
        }
        String where = Thread.currentThread() == loopThread ? "loop" : "thread " + Thread.currentThread().getName();
        events.add(event + " @" + where);
    }

    public void registrationStateChanged(int state, String text) {
        record("registrationStateChanged " + state + " " + text);
    }

    public void lineStateChanged(String lineId, String name, int state, boolean active, boolean internal,
                                 String localName, String localUri, String calledUri, String remoteName,
                                 String remoteUri, int wrapUpTime) {
        record("lineStateChanged " + lineId + " " + name + " " + state + " " + active + " " + internal + " "
               + localName + " " + localUri + " [" + calledUri + "] " + remoteName + " " + remoteUri + " "
               + wrapUpTime);
    }

    public void addLocalStatistics(String lineId, boolean initiator, String what, int ssrc, int expected,
                                   int lost, int late80, int late160, int late240, int jitter, int spare1,
                                   int spare2, int spare3) {
        record("addLocalStatistics " + lineId + " " + initiator + " " + what + " " + ssrc + " " + expected + " "
               + lost + " " + late80 + " " + late160 + " " + late240 + " " + jitter + " " + spare1 + " " + spare2
               + " " + spare3);
    }

    public void buttonPressed(int code) {
        record("buttonPressed " + code);
        if (code == 99) {
            throw new IllegalStateException("button 99 is refused by the application");
        }
    }

    public void requestDialing(String number) {
        record("requestDialing " + number);
    }

    public void muteStateChanged(boolean muted) {
        record("muteStateChanged " + muted);
    }

    public void addDevice(Object target, String name) {
        record("addDevice " + name);
    }
}
