package nl.brimel.kbr.phone.jni;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;

/**
 * What the end-to-end drivers share: the counts behind the closing line, the groups chosen on the
 * command line, and starting the engine the way the application does.
 */
final class E2ERun {
    interface Group {
        void run() throws Exception;
    }

    private int passed;
    private int failed;

    void check(boolean ok, String what) {
        if (ok) {
            passed++;
        } else {
            failed++;
            System.out.println("FAILED: " + what);
        }
    }

    /** Initializes the engine and runs processEvents on a Java thread of its own. */
    void startEngine(JPhone phone) throws InterruptedException {
        phone.initialize();
        Thread loop = new Thread(phone::processEvents, "jphone-loop");
        loop.setDaemon(true);
        phone.loopThread = loop;
        loop.start();
        loop.join(300);
        check(loop.isAlive(), "processEvents keeps running on its thread");
    }

    // Any Java exception out of a group is a failure.
    private void group(String name, Group g) {
        System.out.println("-- " + name);
        try {
            g.run();
        } catch (Throwable t) {
            failed++;
            System.out.println("FAILED: " + name + " threw " + t);
            t.printStackTrace(System.out);
        }
    }

    /**
     * Runs start, then the groups named in args (all of them when none), prints "N passed, N failed"
     * and exits, nonzero on any failure.
     */
    void main(String[] args, Map<String, Group> groups, String startName, Group start) {
        System.loadLibrary("kbrjphone");
        List<String> names = args.length > 0 ? Arrays.asList(args) : new ArrayList<>(groups.keySet());
        for (String n : names) {
            if (!groups.containsKey(n)) {
                System.out.println("unknown group " + n + "; groups: " + groups.keySet());
                System.exit(2);
            }
        }
        group(startName, start);
        for (String n : names) {
            group(n, groups.get(n));
        }
        System.out.println(passed + " passed, " + failed + " failed");
        System.exit(failed == 0 ? 0 : 1);
    }
}
