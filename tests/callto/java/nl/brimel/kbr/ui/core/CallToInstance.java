package nl.brimel.kbr.ui.core;

import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.TimeUnit;

/**
 * One copy of the application as it starts: it hands its command line to a running copy, or, when
 * there is none, goes on as the first copy and prints each command it receives. Ends by itself after
 * 60 s at the latest.
 */
public final class CallToInstance {
    public static void main(String[] args) throws Exception {
        // The test reads this output as UTF-8, whatever the locale.
        System.setOut(new PrintStream(System.out, true, StandardCharsets.UTF_8));
        String command = args.length > 0 ? args[0] : "";
        if (CallToInstallerLib.executeExisting(command)) {
            System.out.println("handed over");
            System.out.flush();
            return;
        }
        System.out.println("first copy");
        System.out.flush();
        CallToInstallerLib lib = new CallToInstallerLib();
        Thread listener = new Thread(lib::startCallToListener, "callto-listener");
        listener.setDaemon(true);
        listener.start();
        long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
        while (System.nanoTime() < end) {
            String c = lib.commands.poll(100, TimeUnit.MILLISECONDS);
            if (c != null) {
                System.out.println("command: [" + c + "]");
                System.out.flush();
            }
        }
        System.exit(0);
    }
}
