package nl.brimel.kbr.mainjob;

import java.time.LocalTime;
import java.time.format.DateTimeFormatter;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import nl.brimel.kbr.phone.jni.JPhone;
import nl.brimel.kbr.phone.jni.Peers;

/**
 * The main job: drives the engine the way the application does, against peers it starts on 127.0.0.1.
 * It runs a list of steps in order (start the registrar, initialize, processEvents on a thread of its
 * own, registerWithProxy, stay registered, cancelRegistration), prints every callback the engine makes
 * with a time stamp, and stops at the first step that fails. Exit code 0 when every step passed.
 *
 * Options: --stay SECONDS (how long to stay registered, default 2), --user USER --password PASSWORD
 * (a user of the test registrar, default 1001 / secret1). The launcher of the peers is the system
 * property kbr.e2e.peers (tests/e2e/peers.py).
 */
public final class MainJob {
    private static final DateTimeFormatter CLOCK = DateTimeFormatter.ofPattern("HH:mm:ss.SSS");
    private static final long CALLBACK_WAIT_MS = 10000;

    /** One step of the job; it throws to fail. */
    interface Step {
        void run() throws Exception;
    }

    private static final class NamedStep {
        final String name;
        final Step body;

        NamedStep(String name, Step body) {
            this.name = name;
            this.body = body;
        }
    }

    static final class StepFailed extends Exception {
        private static final long serialVersionUID = 1L;

        StepFailed(String message) { super(message); }
    }

    private final long startNanos = System.nanoTime();
    private final JPhone phone = new JPhone();
    /** Every callback, after it has been printed, for the steps that wait for one. */
    private final BlockingQueue<String> callbacks = new LinkedBlockingQueue<>();
    private final List<NamedStep> steps = new ArrayList<>();
    private final List<AutoCloseable> peers = new ArrayList<>();

    private String user = "1001";
    private String password = "secret1";
    private double staySeconds = 2;
    private int registrarPort;

    private void say(String kind, String text) {
        double elapsed = (System.nanoTime() - startNanos) / 1e9;
        System.out.printf("%s %8.3f s  %-8s %s%n", LocalTime.now().format(CLOCK), elapsed, kind, text);
        System.out.flush();
    }

    private void step(String name, Step body) { steps.add(new NamedStep(name, body)); }

    // Prints each callback as it arrives and hands it on to the steps.
    private void startPrinter() {
        Thread printer = new Thread(() -> {
            try {
                while (true) {
                    String e = phone.events.take();
                    say("callback", e);
                    callbacks.add(e);
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }, "callback-printer");
        printer.setDaemon(true);
        printer.start();
    }

    /** Waits for the next callback; it must be exactly this one, on the loop thread. */
    private void expectCallback(String expected) throws Exception {
        String e = callbacks.poll(CALLBACK_WAIT_MS, TimeUnit.MILLISECONDS);
        if (e == null) {
            throw new StepFailed("no callback within " + CALLBACK_WAIT_MS + " ms; expected " + expected);
        }
        if (!e.equals(expected + " @loop")) {
            throw new StepFailed("expected " + expected + " on the loop thread, got " + e);
        }
    }

    private void buildSteps() {
        step("start the registrar (kamailio on 127.0.0.1)", () -> {
            Peers.Peer k = Peers.kamailio(false);
            peers.add(k);
            registrarPort = k.port("KAMAILIO_PORT", 20000);
            if (registrarPort <= 0 || !k.ready(20000)) {
                throw new StepFailed("kamailio did not start: " + k.describe());
            }
            say("peer", "kamailio at 127.0.0.1:" + registrarPort + ", log " + k.value("KAMAILIO_LOG"));
        });
        step("initialize", phone::initialize);
        step("processEvents on its own thread", () -> {
            Thread loop = new Thread(phone::processEvents, "jphone-loop");
            loop.setDaemon(true);
            phone.loopThread = loop;
            loop.start();
            loop.join(200);
            if (!loop.isAlive()) {
                throw new StepFailed("processEvents returned");
            }
        });
        step("registerWithProxy", () -> {
            say("call", "registerWithProxy " + user + " at 127.0.0.1:" + registrarPort);
            phone.registerWithProxy(user, "Main Job " + user, user, password, "127.0.0.1", registrarPort);
            expectCallback("registrationStateChanged 1 OK");
        });
        step("stay registered", () -> {
            say("wait", staySeconds + " s");
            Thread.sleep((long)(staySeconds * 1000));
        });
        step("cancelRegistration", () -> {
            say("call", "cancelRegistration");
            phone.cancelRegistration();
            expectCallback("registrationStateChanged 3 OK");
        });
    }

    private int run() {
        startPrinter();
        buildSteps();
        int number = 0;
        String failure = null;
        try {
            for (NamedStep s : steps) {
                number++;
                say("step", number + "/" + steps.size() + " " + s.name);
                try {
                    s.body.run();
                } catch (Exception e) {
                    failure = "step " + number + " (" + s.name + "): " + e.getMessage();
                    if (!(e instanceof StepFailed)) {
                        e.printStackTrace(System.out);
                    }
                    break;
                }
            }
        } finally {
            for (int i = peers.size() - 1; i >= 0; i--) {
                try {
                    peers.get(i).close();
                } catch (Exception e) {
                    say("peer", "stopping failed: " + e);
                }
            }
        }
        if (failure != null) {
            say("result", "main job failed at " + failure);
            return 1;
        }
        say("result", "main job passed: " + steps.size() + " steps");
        return 0;
    }

    public static void main(String[] args) {
        MainJob job = new MainJob();
        for (int i = 0; i < args.length; i++) {
            String a = args[i];
            String value = i + 1 < args.length ? args[i + 1] : null;
            if (value == null) {
                System.out.println("missing value for " + a);
                System.exit(2);
            }
            switch (a) {
            case "--stay":
                job.staySeconds = Double.parseDouble(value);
                break;
            case "--user":
                job.user = value;
                break;
            case "--password":
                job.password = value;
                break;
            default:
                System.out.println("unknown option " + a +
                                   "; options: --stay SECONDS --user USER --password PASSWORD");
                System.exit(2);
            }
            i++;
        }
        System.loadLibrary("kbrjphone");
        System.exit(job.run());
    }
}
