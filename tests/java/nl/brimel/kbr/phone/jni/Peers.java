package nl.brimel.kbr.phone.jni;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.TimeUnit;

/**
 * Real SIP peers on 127.0.0.1 through the launcher tests/e2e/peers.py: kamailio as registrar and proxy,
 * sipp as a scripted registrar, proxy or far end. Each peer is one launcher process that prints
 * NAME=value lines (ports, log paths, the result) and stops its peer when its standard input closes, so
 * a peer never outlives the Java process that started it.
 */
public final class Peers {
    private Peers() {}

    /**
     * Where the launcher is: the system property kbr.e2e.peers, else tests/e2e/peers.py below the current
     * folder.
     */
    public static Path launcher() {
        String p = System.getProperty("kbr.e2e.peers");
        return Paths.get(p != null ? p : "tests/e2e/peers.py").toAbsolutePath();
    }

    private static String python() { return System.getProperty("kbr.e2e.python", "python3"); }

    // The launcher's run folder, where every peer leaves its logs: the system property kbr.e2e.workdir,
    // else a folder of the launcher's own under $TMPDIR.
    private static void addWorkdir(List<String> c) {
        String w = System.getProperty("kbr.e2e.workdir");
        if (w != null) {
            c.add("--workdir");
            c.add(Paths.get(w).toAbsolutePath().toString());
        }
    }

    /** One running launcher and what it has printed so far. */
    public static final class Peer implements AutoCloseable {
        private final String name;
        private final Process process;
        private final Map<String, String> values = new ConcurrentHashMap<>();
        private final List<String> output = new ArrayList<>();
        private final Thread reader;

        private Peer(String name, List<String> command) throws IOException {
            this.name = name;
            ProcessBuilder pb = new ProcessBuilder(command);
            // What goes wrong with a peer (its log tail) is written to the standard error: keep it visible.
            pb.redirectError(ProcessBuilder.Redirect.INHERIT);
            process = pb.start();
            reader = new Thread(this::read, "peer-" + name);
            reader.setDaemon(true);
            reader.start();
        }

        private void read() {
            try (BufferedReader r = new BufferedReader(
                     new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8))) {
                String line;
                while ((line = r.readLine()) != null) {
                    int eq = line.indexOf('=');
                    synchronized (this) {
                        output.add(line);
                        if (eq > 0) {
                            values.put(line.substring(0, eq), line.substring(eq + 1));
                        } else {
                            values.put(line, "");
                        }
                        notifyAll();
                    }
                }
            } catch (IOException e) {
                // The launcher went away; waiting callers see it as a missing value.
            }
            synchronized (this) {
                values.put("<eof>", "");
                notifyAll();
            }
        }

        /** The value printed as NAME=value, waiting up to timeoutMs; null when it did not come. */
        public synchronized String await(String key, long timeoutMs) throws InterruptedException {
            long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(timeoutMs);
            while (!values.containsKey(key) && !values.containsKey("<eof>")) {
                long left = TimeUnit.NANOSECONDS.toMillis(deadline - System.nanoTime());
                if (left <= 0) {
                    break;
                }
                wait(left);
            }
            return values.get(key);
        }

        public String value(String key) { return values.get(key); }

        public int port(String key, long timeoutMs) throws InterruptedException {
            String v = await(key, timeoutMs);
            return v == null ? 0 : Integer.parseInt(v.trim());
        }

        /** True once the launcher has said its peer is up. */
        public boolean ready(long timeoutMs) throws InterruptedException {
            return await("READY", timeoutMs) != null;
        }

        public boolean running() { return process.isAlive(); }

        /**
         * Waits for the launcher to end by itself; its exit code, or -1 when it still runs after timeoutMs.
         */
        public int waitFor(long timeoutMs) throws InterruptedException {
            if (!process.waitFor(timeoutMs, TimeUnit.MILLISECONDS)) {
                return -1;
            }
            reader.join(2000);
            return process.exitValue();
        }

        /** True when the launcher said its sipp passed (RESULT=passed) and ended with 0. */
        public boolean passed(long timeoutMs) throws InterruptedException {
            return waitFor(timeoutMs) == 0 && "passed".equals(values.get("RESULT"));
        }

        /** The text of a file the launcher named (a sipp messages log, a kamailio log); empty when absent. */
        public String file(String key) {
            String p = values.get(key);
            if (p == null) {
                return "";
            }
            try {
                return new String(Files.readAllBytes(Paths.get(p)), StandardCharsets.ISO_8859_1);
            } catch (IOException e) {
                return "";
            }
        }

        public synchronized String describe() { return name + ": " + String.join(" | ", output); }

        /**
         * Closes the launcher's standard input (its signal to stop the peer) and waits; kills it if needed.
         */
        @Override
        public void close() {
            try {
                process.getOutputStream().close();
            } catch (IOException e) {
                // Already gone.
            }
            try {
                if (!process.waitFor(15, TimeUnit.SECONDS)) {
                    process.destroy();
                    if (!process.waitFor(5, TimeUnit.SECONDS)) {
                        process.destroyForcibly();
                    }
                }
            } catch (InterruptedException e) {
                process.destroyForcibly();
                Thread.currentThread().interrupt();
            }
        }
    }

    private static List<String> command(String... args) {
        List<String> c = new ArrayList<>();
        c.add(python());
        c.add(launcher().toString());
        for (String a : args) {
            c.add(a);
        }
        return c;
    }

    /** kamailio with the test users; KAMAILIO_PORT once READY. rejectBadAuth: 403 for a wrong password. */
    public static Peer kamailio(boolean rejectBadAuth) throws IOException {
        List<String> c = command("kamailio", "--max-seconds", "600");
        addWorkdir(c);
        if (rejectBadAuth) {
            c.add("--reject-bad-auth");
        }
        return new Peer("kamailio", c);
    }

    /** A sipp scenario under tests/e2e/scenarios, builder style. */
    public static final class SippBuilder {
        private final List<String> args = new ArrayList<>();
        private final String scenario;

        private SippBuilder(String scenario) {
            this.scenario = scenario;
            args.add("sipp");
            args.add(scenario);
            args.add("--stdin-stops");
        }

        public SippBuilder server() {
            args.add("--role");
            args.add("server");
            return this;
        }

        public SippBuilder client(String remote) {
            args.add("--role");
            args.add("client");
            args.add("--remote");
            args.add(remote);
            return this;
        }

        public SippBuilder param(String name, Object value) {
            args.add("--param");
            args.add(name + "=" + value);
            return this;
        }

        /** Seconds sipp may run before it counts as failed. */
        public SippBuilder timeout(int seconds) {
            args.add("--timeout");
            args.add(Integer.toString(seconds));
            return this;
        }

        /** The local SIP port (a port another scenario registered from, to be reached through kamailio). */
        public SippBuilder port(int port) {
            args.add("--port");
            args.add(Integer.toString(port));
            return this;
        }

        /** sipp's [service]: the user it is or calls. */
        public SippBuilder service(String user) {
            args.add("--service");
            args.add(user);
            return this;
        }

        /** Credentials for sipp's [authentication]. */
        public SippBuilder auth(String user, String password) {
            args.add("--auth-user");
            args.add(user);
            args.add("--auth-password");
            args.add(password);
            return this;
        }

        /** Sends every RTP packet back where it came from. */
        public SippBuilder rtpEcho() {
            args.add("--rtp-echo");
            return this;
        }

        /** sipp -m: calls before it ends (a REGISTER answered in a call of its own counts). */
        public SippBuilder calls(int n) {
            args.add("--calls");
            args.add(Integer.toString(n));
            return this;
        }

        /** Prints ENGINE_CONTACT=host:port once the engine's REGISTER has arrived. */
        public SippBuilder watchRegister() {
            args.add("--watch-register");
            return this;
        }

        public Peer start() throws IOException {
            List<String> c = command();
            c.addAll(args);
            addWorkdir(c);
            return new Peer(scenario, c);
        }
    }

    public static SippBuilder sipp(String scenario) { return new SippBuilder(scenario); }
}
