package nl.brimel.kbr.callbench;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicLong;
import nl.brimel.kbr.phone.jni.JPhone;

/**
 * The called party of the call benchmark (bench/call_rates.py): registers the engine at a registrar on
 * 127.0.0.1 and answers every line that comes in (state 5: answerIncoming), hangs up every
 * line the far end has ended (state 7), and counts the lines that are over (state 8). Prints PID= and
 * READY once registered; prints the counts for every line on its standard input and runs until that
 * input ends.
 *
 * Arguments: REGISTRAR_PORT [USER PASSWORD] (default 1001 secret1).
 */
public final class CallAnswerer {
    private CallAnswerer() {}

    public static void main(String[] args) throws Exception {
        if (args.length < 1) {
            System.out.println("usage: CallAnswerer REGISTRAR_PORT [USER PASSWORD]");
            System.exit(2);
        }
        int port = Integer.parseInt(args[0]);
        String user = args.length > 2 ? args[1] : "1001";
        String password = args.length > 2 ? args[2] : "secret1";
        System.loadLibrary("kbrjphone");
        JPhone phone = new JPhone();
        phone.initialize();
        Thread loop = new Thread(phone::processEvents, "jphone-loop");
        loop.setDaemon(true);
        phone.loopThread = loop;
        loop.start();

        AtomicLong answered = new AtomicLong();
        AtomicLong ended = new AtomicLong();
        AtomicLong other = new AtomicLong();
        Object registered = new Object();
        boolean[] isRegistered = {false};
        Thread worker = new Thread(() -> {
            try {
                while (true) {
                    String e = phone.events.take();
                    if (e.startsWith("registrationStateChanged 1 ")) {
                        synchronized (registered) {
                            isRegistered[0] = true;
                            registered.notifyAll();
                        }
                    }
                    if (!e.startsWith("lineStateChanged ")) {
                        continue;
                    }
                    String[] f = e.split(" ");
                    String line = f[1];
                    switch (f[3]) {
                    case "5":
                        // Answered at once, without setRinging: kamailio's two UDP workers may forward a
                        // 180 and the 200 right behind it in either order, and sipp counts a 180 after the
                        // 200 as a failed call.
                        phone.answerIncoming(line);
                        answered.incrementAndGet();
                        break;
                    case "7":
                        phone.hangup(line);
                        break;
                    case "8":
                        ended.incrementAndGet();
                        break;
                    case "6":
                        break;
                    default:
                        other.incrementAndGet();
                        System.out.println("UNEXPECTED " + e);
                    }
                }
            } catch (InterruptedException ex) {
                Thread.currentThread().interrupt();
            }
        }, "answerer");
        worker.setDaemon(true);
        worker.start();

        phone.registerWithProxy(user, "Bench " + user, user, password, "127.0.0.1", port);
        synchronized (registered) {
            long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
            while (!isRegistered[0] && System.nanoTime() < deadline) {
                registered.wait(100);
            }
        }
        if (!isRegistered[0]) {
            System.out.println("NOT_REGISTERED");
            System.exit(1);
        }
        System.out.println("PID=" + ProcessHandle.current().pid());
        System.out.println("READY");
        System.out.flush();
        try (BufferedReader in = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8))) {
            while (in.readLine() != null) {
                System.out.println("ANSWERED=" + answered.get() + " ENDED=" + ended.get() + " UNEXPECTED="
                                   + other.get());
                System.out.flush();
            }
        } catch (IOException e) {
            // Same as the end of the input.
        }
        System.out.println("ANSWERED=" + answered.get() + " ENDED=" + ended.get() + " UNEXPECTED=" + other.get());
        System.out.flush();
        phone.cancelRegistration();
        Thread.sleep(500);
        System.exit(0);
    }
}
