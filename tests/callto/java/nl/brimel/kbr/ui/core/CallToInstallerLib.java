package nl.brimel.kbr.ui.core;

import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;

/**
 * The application's class bound to the callto library: its natives, and processCommandRequest,
 * which records each command handed over by a later copy. The command "throw" makes it throw.
 */
public class CallToInstallerLib {
    static {
        System.loadLibrary("Callhook");
    }

    public final BlockingQueue<String> commands = new LinkedBlockingQueue<>();

    public static native boolean installCallTo(String command, boolean force, String name, String description);

    public static native void installAdmin(String command);

    public static native void installAutoLogin(String valueName, String localText, String roamingText);

    public native void startCallToListener();

    public static native boolean executeExisting(String command);

    public static native boolean installOutlookCall(String description, String friendlyName, int loadBehavior,
                                                    String manifest);

    public void processCommandRequest(String command) {
        commands.add(command == null ? "<null>" : command);
        if ("throw".equals(command)) {
            throw new IllegalStateException("refused by the application");
        }
    }
}
