package nl.brimel.kbr.mainjob;

import java.io.File;
import java.time.LocalTime;
import java.time.format.DateTimeFormatter;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import nl.brimel.kbr.phone.jni.JPhone;
import nl.brimel.kbr.phone.jni.Peers;
import nl.brimel.kbr.phone.jni.RtpLog;
import nl.brimel.kbr.phone.jni.SipText;
import nl.brimel.kbr.phone.jni.WavFile;

/**
 * The main job: drives the engine the way the application does, against peers it starts on 127.0.0.1.
 * It runs a list of steps in order, prints every callback the engine makes with a time stamp, and stops
 * at the first step that fails; exit code 0 when every step passed. The steps: start kamailio,
 * initialize, processEvents on a thread of its own, registerWithProxy, stay registered,
 * cancelRegistration; then a call to a sipp called party that is also the engine's proxy and sends the
 * RTP back: registerWithProxy there, createLineId, dial, talk, putOnHold, activate, hangup (with the
 * call's statistics, which must show packets received), the called party's verdict on the whole call,
 * and the audio the call received: the engine plays it on a simulated speaker that records it to a WAV
 * file in the output folder (the microphone, also simulated, sends a tone that the called party sends
 * back); the job prints the file's duration, level and main frequency.
 *
 * The registration states, line states and call statistics are printed with their meaning beside the
 * numbers, as the application reads them.
 *
 * Options: see USAGE. The launcher of the peers is the system property kbr.e2e.peers (tests/e2e/peers.py),
 * their logs go to kbr.e2e.workdir.
 */
public final class MainJob {
    private static final DateTimeFormatter CLOCK = DateTimeFormatter.ofPattern("HH:mm:ss.SSS");
    private static final long CALLBACK_WAIT_MS = 10000;
    /** The longest --stay: an hour of talk is more than any check needs. */
    static final double MAX_STAY_SECONDS = 3600;
    /** The least talk before the hold and after the resume, so that each recording can be judged. */
    static final double MIN_TALK_SECONDS = 1.5;

    static final String USAGE = String.join("\n",
        "usage: MainJob [--stay SECONDS] [--user USER --password PASSWORD] [--out FOLDER]",
        "  --stay SECONDS       how long to stay registered, and to talk before the hold and after the resume (at least 1.5 s), 0 to 3600, default 2",
        "  --user USER          a user of the test registrar (default 1001)",
        "  --password PASSWORD  that user's password (default secret1)",
        "  --out FOLDER         where the received audio is recorded (default $KBR_AUDIO_SIM_RECORD_DIR)",
        "  -h, --help           this text");

    /**
     * The application's reading of a registration state: 1 registered, 2 refused by the registrar (its
     * reason in the text), 3 not registered (cancelled, or "timeout").
     */
    static String registrationMeaning(int state) {
        switch (state) {
        case 1: return "registered";
        case 2: return "registration failed";
        case 3: return "not registered";
        default: return "unknown registration state";
        }
    }

    /**
     * The application's reading of a line state. The engine reports a call that failed for another reason
     * (11) as busy (3) and never reports early media (10); a connected line that is not the active one is
     * on hold.
     */
    static String lineMeaning(int state, boolean active) {
        switch (state) {
        case 0: return "idle";
        case 1: return "dialing";
        case 2: return "ringing at the far end";
        case 3: return "busy or failed";
        case 4: return "failed";
        case 5: return "incoming call";
        case 6: return active ? "connected" : "connected, on hold";
        case 7: return "ended by the far end";
        case 8: return "ended";
        case 9: return "ended, end tone played";
        case 10: return "early media";
        case 11: return "failed";
        default: return "unknown line state";
        }
    }

    /**
     * The phone as the application has it, which also prints each callback with the meaning of its numbers.
     * A note is queued before the callback's event, under one lock, so the printer pairs them in order.
     */
    static final class ExplainedPhone extends JPhone {
        final BlockingQueue<String> notes = new LinkedBlockingQueue<>();

        @Override
        public synchronized void registrationStateChanged(int state, String text) {
            notes.add(String.format("registrationStateChanged %d (%s), \"%s\"", state, registrationMeaning(state),
                                    text));
            super.registrationStateChanged(state, text);
        }

        @Override
        public synchronized void lineStateChanged(String lineId, String name, int state, boolean active,
                                                  boolean internal, String localName, String localUri,
                                                  String calledUri, String remoteName, String remoteUri,
                                                  int wrapUpTime) {
            notes.add(String.format("lineStateChanged line %s%s: state %d (%s), %s, %s call; " +
                                    "local \"%s\" <%s>, remote \"%s\" <%s>, dialled uri \"%s\", " +
                                    "wrap-up %d s", lineId, name.equals(lineId) ? "" : " (name " + name + ")",
                                    state, lineMeaning(state, active),
                                    active ? "active" : "not active", internal ? "internal" : "external",
                                    localName, localUri, remoteName, remoteUri, calledUri, wrapUpTime));
            super.lineStateChanged(lineId, name, state, active, internal, localName, localUri, calledUri,
                                   remoteName, remoteUri, wrapUpTime);
        }

        @Override
        public synchronized void addLocalStatistics(String lineId, boolean initiator, String what, int ssrc,
                                                    int expected, int lost, int late80, int late160,
                                                    int late240, int jitter, int spare1, int spare2,
                                                    int spare3) {
            notes.add(String.format("addLocalStatistics line %s, %s, \"%s\": far end SSRC %d, packets " +
                                    "expected %d, lost %d, late by 10 ms or more %d, by 20 ms or more %d, " +
                                    "by 30 ms or more %d, jitter %d (1/8 ms), unused %d %d %d",
                                    lineId, initiator ? "we called" : "they called", what,
                                    Integer.toUnsignedLong(ssrc), expected, lost, late80, late160, late240, jitter,
                                    spare1, spare2, spare3));
            super.addLocalStatistics(lineId, initiator, what, ssrc, expected, lost, late80, late160, late240,
                                     jitter, spare1, spare2, spare3);
        }
    }

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
    private final ExplainedPhone phone = new ExplainedPhone();
    /** Every callback, after it has been printed, for the steps that wait for one. */
    private final BlockingQueue<String> callbacks = new LinkedBlockingQueue<>();
    private final List<NamedStep> steps = new ArrayList<>();
    private final List<AutoCloseable> peers = new ArrayList<>();

    private String user = "1001";
    private String password = "secret1";
    private double staySeconds = 2;
    private int registrarPort;
    private String callee = "1002";
    private String calleePassword = "secret2";
    private Peers.Peer calledParty;
    private int calledPartyPort;
    private String lineId;
    private String statistics;
    private File outputFolder;
    private File rtpLogFolder;
    private long holdMillis;
    private long resumeMillis;
    private long hangupMillis;

    /** The call talks this long before the hold and after the resume: enough sound to judge. */
    private double talkSeconds() { return Math.max(staySeconds, MIN_TALK_SECONDS); }

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
                    say("callback", explained(e));
                    callbacks.add(e);
                }
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
            }
        }, "callback-printer");
        printer.setDaemon(true);
        printer.start();
    }

    // The callback's event with its numbers explained; a callback without a note is shown as it is.
    // Callbacks come on the processEvents thread; one that came on another thread says so.
    private String explained(String event) {
        int at = event.lastIndexOf(" @");
        String where = at >= 0 ? event.substring(at + 2) : "";
        String text = at >= 0 ? event.substring(0, at) : event;
        String thread = where.equals("loop") ? "" : " (on " + where + ", not the processEvents thread)";
        if (!text.matches("(registrationStateChanged|lineStateChanged|addLocalStatistics) .*")) {
            return text + thread;
        }
        String note = phone.notes.poll();
        return (note == null ? text : note) + thread;
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

    /**
     * Waits for a callback that matches want (a regular expression over the whole text, which ends in
     * "@loop" when it came on the loop thread); callbacks before it are passed over (they are printed), a
     * callback that matches stop fails the step.
     */
    private String awaitCallback(String want, String stop, long timeoutMs) throws Exception {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(timeoutMs);
        while (true) {
            long left = TimeUnit.NANOSECONDS.toMillis(deadline - System.nanoTime());
            String e = left > 0 ? callbacks.poll(left, TimeUnit.MILLISECONDS) : null;
            if (e == null) {
                throw new StepFailed("no callback " + want + " within " + timeoutMs + " ms");
            }
            if (e.matches(want)) {
                return e;
            }
            if (stop != null && e.matches(stop)) {
                throw new StepFailed("got " + e + " while waiting for " + want);
            }
        }
    }

    /** Waits for the line's next report of that state (and activity, when not null), on the loop thread. */
    private String awaitLine(int state, Boolean active) throws Exception {
        String activity = active == null ? "(true|false)" : active.toString();
        return awaitCallback("lineStateChanged " + lineId + " \\S+ " + state + " " + activity + " .* @loop",
                             "lineStateChanged " + lineId + " \\S+ (3|7|8|9|11) .*", CALLBACK_WAIT_MS);
    }

    /**
     * Waits until the called party has received count requests of that method: a call change is done
     * when its ACK has arrived, and the next change must not cross it.
     */
    private void awaitCalledPartyReceived(String method, int count) throws Exception {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(CALLBACK_WAIT_MS);
        while (SipText.requests(calledParty.file("SIPP_MESSAGES"), method).size() < count) {
            if (System.nanoTime() > deadline || !calledParty.running()) {
                throw new StepFailed("the called party did not receive " + method + " number " + count);
            }
            Thread.sleep(20);
        }
        say("peer", "the called party has received " + method + " number " + count);
    }

    private void buildSteps() {
        // Registration at a real registrar.
        step("start the registrar (kamailio on 127.0.0.1)", () -> {
            Peers.Peer k = Peers.kamailio(false);
            peers.add(k);
            registrarPort = k.port("KAMAILIO_PORT", 20000);
            if (registrarPort <= 0 || !k.ready(20000)) {
                throw new StepFailed("kamailio did not start: " + k.describe());
            }
            say("peer", "kamailio at 127.0.0.1:" + registrarPort + ", log " + k.value("KAMAILIO_LOG"));
        });
        step("initialize", () -> {
            say("note", "initialize looks for the vendors' headsets; without them the engine logs " +
                            "\"No Plantronics hub found\", \"Cannot load jabra library\" and \"Cannot create " +
                            "EPOS device\": these three lines are the normal case, not errors");
            phone.initialize();
        });
        step("processEvents on its own thread", () -> {
            Thread loop = new Thread(phone::processEvents, "jphone-loop");
            loop.setDaemon(true);
            phone.loopThread = loop;
            loop.start();
            loop.join(200);
            if (!loop.isAlive()) {
                throw new StepFailed("processEvents returned");
            }
            say("note", "every callback below came on this thread, as the application expects");
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

        // A call. sipp is the engine's proxy and the called party at once: behind kamailio, a sipp called
        // party would answer every request of the call toward kamailio, where the call's first INVITE came
        // from, while the engine sends its re-INVITEs and its BYE straight to the called party's Contact,
        // so those answers would never reach the engine.
        step("start the called party (sipp as proxy and " + callee + ", sending RTP back)", () -> {
            calledParty = Peers.sipp("uas_engine_hold")
                              .server()
                              .service(callee)
                              .rtpEcho()
                              .calls(2)
                              .param("wait_ms", 15000 + (long) (talkSeconds() * 1000))
                              .param("talk_ms", 15000 + (long) (talkSeconds() * 1000))
                              .timeout(90 + (int) Math.ceil(talkSeconds() * 3))
                              .start();
            peers.add(calledParty);
            calledPartyPort = calledParty.port("SIPP_PORT", 20000);
            if (calledPartyPort <= 0 || !calledParty.ready(20000)) {
                throw new StepFailed("the called party did not start: " + calledParty.describe());
            }
            say("peer", "called party at 127.0.0.1:" + calledPartyPort + ", messages " +
                            calledParty.value("SIPP_MESSAGES"));
        });
        step("registerWithProxy at the called party", () -> {
            say("call", "registerWithProxy " + user + " at 127.0.0.1:" + calledPartyPort);
            phone.registerWithProxy(user, "Main Job " + user, user, password, "127.0.0.1", calledPartyPort);
            expectCallback("registrationStateChanged 1 OK");
        });
        step("createLineId", () -> {
            lineId = phone.createLineId();
            if (lineId == null) {
                throw new StepFailed("no line");
            }
            say("result", "line " + lineId);
        });
        step("dial " + callee, () -> {
            say("call", "dial " + lineId + " " + callee);
            if (!phone.dial(lineId, callee, "Main Job")) {
                throw new StepFailed("dial refused");
            }
            awaitLine(6, true);
            awaitCalledPartyReceived("ACK", 1);
        });
        step("talk", () -> {
            say("wait", talkSeconds() + " s");
            Thread.sleep((long)(talkSeconds() * 1000));
        });
        step("putOnHold", () -> {
            say("call", "putOnHold " + lineId);
            holdMillis = System.currentTimeMillis();
            phone.putOnHold(lineId);
            awaitLine(6, false);
            awaitCalledPartyReceived("ACK", 2);
        });
        step("activate", () -> {
            say("call", "activate " + lineId);
            resumeMillis = System.currentTimeMillis();
            phone.activate(lineId);
            awaitLine(6, true);
            awaitCalledPartyReceived("ACK", 3);
        });
        step("talk after the resume", () -> {
            say("wait", talkSeconds() + " s");
            Thread.sleep((long)(talkSeconds() * 1000));
        });
        step("hangup", () -> {
            say("call", "hangup " + lineId);
            hangupMillis = System.currentTimeMillis();
            phone.hangup(lineId);
            statistics = awaitCallback("addLocalStatistics " + lineId + " .* @loop", null, CALLBACK_WAIT_MS);
            awaitCallback("lineStateChanged " + lineId + " \\S+ 8 .* @loop", null, CALLBACK_WAIT_MS);
        });
        step("the call received packets", () -> {
            // addLocalStatistics <line> <initiator> local received <ssrc> <expected> <lost> ...
            String[] f = statistics.split(" ");
            int expected = Integer.parseInt(f[6]);
            int lost = Integer.parseInt(f[7]);
            int received = expected - lost;
            if (received <= 0) {
                throw new StepFailed("the call's statistics show no packets received (expected " + expected +
                                     ", lost " + lost + ")");
            }
            say("result", received + " packets received, " + lost + " lost");
        });
        step("the called party saw the whole call", () -> {
            if (!calledParty.passed(30000)) {
                throw new StepFailed("the called party's scenario failed: " + calledParty.describe());
            }
        });
        step("the received audio", this::checkReceivedAudio);
    }

    /** Frequency by the zero crossings of the loudest second. */
    static double mainFrequency(WavFile w) {
        int window = Math.max(1, Math.min(w.rate, w.samples.length));
        int best = 0;
        double bestEnergy = -1;
        for (int start = 0; start + window <= w.samples.length; start += window / 2) {
            double e = 0;
            for (int i = start; i < start + window; i++) {
                e += w.samples[i] * w.samples[i];
            }
            if (e > bestEnergy) {
                bestEnergy = e;
                best = start;
            }
        }
        int crossings = 0;
        for (int i = best + 1; i < best + window; i++) {
            if ((w.samples[i - 1] < 0) != (w.samples[i] < 0)) {
                crossings++;
            }
        }
        return crossings / 2.0 * w.rate / window;
    }

    private final long startMillis = System.currentTimeMillis();

    /** The simulated microphone's tone (KBR_AUDIO_SIM_CAPTURE "source=tone:HZ:AMPLITUDE"), or null. */
    static double[] microphoneTone(String capture) {
        if (capture == null) {
            return null;
        }
        java.util.regex.Matcher m =
            java.util.regex.Pattern.compile("source=tone:([0-9.]+)(?::([0-9.]+))?").matcher(capture);
        if (!m.find()) {
            return null;
        }
        try {
            return new double[] {Double.parseDouble(m.group(1)), m.group(2) == null ? 0.5 : Double.parseDouble(m.group(2))};
        } catch (NumberFormatException e) {
            return null;
        }
    }

    /** Level, peak and main frequency of the samples from second `from` on. */
    static final class Sound {
        final double seconds, dbfs, peak, hz;

        Sound(WavFile w, double from) {
            int a = (int) Math.min(w.samples.length, Math.round(from * w.rate));
            double[] part = java.util.Arrays.copyOfRange(w.samples, a, w.samples.length);
            double sum = 0;
            double p = 0;
            for (double v : w.samples) {
                p = Math.max(p, Math.abs(v));
            }
            for (double v : part) {
                sum += v * v;
            }
            seconds = w.seconds();
            dbfs = part.length == 0 ? -200 : 10 * Math.log10(Math.max(sum / part.length, 1e-20));
            peak = p;
            hz = mainFrequency(new WavFile(w.rate, part));
        }

        @Override
        public String toString() {
            return String.format("%.2f s at %.1f dBFS (peak %.3f), %.0f Hz", seconds, dbfs, peak, hz);
        }
    }

    /** The A-law audio the call sent between two moments (wall clock, ms), from the RTP packet log. */
    private WavFile sentAudio(long fromMillis, long toMillis) throws Exception {
        List<Double> samples = new ArrayList<>();
        File[] logs = rtpLogFolder.listFiles((d, n) -> n.endsWith("_out.log"));
        if (logs != null) {
            for (File log : logs) {
                if (log.lastModified() < startMillis - 1000) {
                    continue;
                }
                for (RtpLog.Packet p : RtpLog.packets(log)) {
                    // The log keeps the low 32 bits of the clock.
                    long t = fromMillis + (p.timeMs - (int) fromMillis);
                    if (t >= fromMillis && t < toMillis && p.data.length > 12 && (p.data[1] & 0x7F) == 8) {
                        for (int i = 12; i < p.data.length; i++) {
                            samples.add(RtpLog.decodeALaw(p.data[i] & 0xFF));
                        }
                    }
                }
            }
        }
        double[] s = new double[samples.size()];
        for (int i = 0; i < s.length; i++) {
            s[i] = samples.get(i);
        }
        return new WavFile(8000, s);
    }

    // Each audio run of the call (the hold closes the device, the resume opens it again) is one
    // recording: what the called party sent back, which is what we sent it. Each is judged against what
    // went out on the wire in that run and against the microphone: no sample at full scale, the level
    // received within 4 dB of the level sent, nothing sent louder than the microphone, and the
    // microphone's frequency. The first half second of each run is left out of the levels: the input
    // leveler is still lowering the volume then.
    private void checkReceivedAudio() throws Exception {
        if (outputFolder == null) {
            throw new StepFailed("no output folder: give --out or KBR_AUDIO_SIM_RECORD_DIR");
        }
        File[] files = outputFolder.listFiles((d, n) -> n.endsWith(".wav"));
        List<File> recordings = new ArrayList<>();
        if (files != null) {
            for (File f : files) {
                if (f.lastModified() >= startMillis - 1000) {
                    recordings.add(f);
                }
            }
        }
        recordings.sort((a, b) -> a.getName().compareTo(b.getName()));
        if (recordings.size() != 2) {
            throw new StepFailed("wanted two recordings (before the hold, after the resume) in " + outputFolder +
                                 ", found " + recordings.size());
        }
        double[] tone = microphoneTone(System.getenv("KBR_AUDIO_SIM_CAPTURE"));
        double microphoneDb = tone == null ? Double.NaN : 20 * Math.log10(tone[1] / Math.sqrt(2));
        if (tone != null) {
            say("result", String.format("the microphone sends %.0f Hz at %.1f dBFS", tone[0], microphoneDb));
        }
        String[] runs = {"before the hold", "after the resume"};
        long[][] windows = {{startMillis, holdMillis}, {resumeMillis, hangupMillis}};
        List<String> faults = new ArrayList<>();
        for (int k = 0; k < 2; k++) {
            Sound received = new Sound(WavFile.read(recordings.get(k)), 0.5);
            Sound sent = rtpLogFolder == null ? null : new Sound(sentAudio(windows[k][0], windows[k][1]), 0.5);
            say("result", String.format("audio %s: sent %s; received %s (%s)", runs[k],
                                        sent == null ? "not known (no KBR_RTP_LOGDIR)" : sent.toString(), received,
                                        recordings.get(k)));
            String run = "audio " + runs[k] + ": ";
            if (received.seconds < 1.0 || received.dbfs < -60) {
                faults.add(run + "the recording is short or silent");
                continue;
            }
            if (received.peak >= 0.99) {
                faults.add(run + String.format("the audio received clips (peak %.3f)", received.peak));
            }
            double hz = tone != null ? tone[0] : sent != null ? sent.hz : received.hz;
            if (Math.abs(received.hz - hz) > 0.1 * hz) {
                faults.add(run + String.format("received %.0f Hz, sent %.0f Hz", received.hz, hz));
            }
            if (sent != null) {
                if (sent.seconds < 1.0) {
                    faults.add(run + "hardly any audio sent");
                    continue;
                }
                // A-law's largest value is 0.984.
                if (sent.peak >= 0.98) {
                    faults.add(run + String.format("the audio sent clips (peak %.3f)", sent.peak));
                }
                if (Math.abs(received.dbfs - sent.dbfs) > 4) {
                    faults.add(run + String.format("received %.1f dBFS for %.1f dBFS sent", received.dbfs, sent.dbfs));
                }
                if (!Double.isNaN(microphoneDb) && sent.dbfs > microphoneDb + 1) {
                    faults.add(run + String.format("sent %.1f dBFS, louder than the microphone's %.1f dBFS",
                                                   sent.dbfs, microphoneDb));
                }
            }
        }
        if (!faults.isEmpty()) {
            throw new StepFailed(String.join("; ", faults));
        }
    }

    /** The peers' folders of earlier runs go: the peers' folder keeps the logs of this run only. */
    static void clearEarlierPeerFolders(File workdir) throws java.io.IOException {
        File[] old = workdir == null ? null : workdir.listFiles((d, n) -> n.matches("(kamailio|sipp)-.*"));
        if (old == null) {
            return;
        }
        for (File f : old) {
            try (java.util.stream.Stream<java.nio.file.Path> walk = java.nio.file.Files.walk(f.toPath())) {
                walk.sorted(java.util.Comparator.reverseOrder()).forEach(q -> q.toFile().delete());
            }
        }
    }

    private int run() {
        try {
            String workdir = System.getProperty("kbr.e2e.workdir");
            clearEarlierPeerFolders(workdir == null ? null : new File(workdir));
        } catch (java.io.IOException e) {
            say("peer", "could not clear the peers' earlier folders: " + e.getMessage());
        }
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

    /** A command line that cannot run: one line for the user. */
    static final class BadOption extends Exception {
        private static final long serialVersionUID = 1L;

        BadOption(String message) { super(message); }
    }

    /** Reads the options into the job; false when the user asked for help. */
    boolean parseOptions(String[] args) throws BadOption {
        for (int i = 0; i < args.length; i++) {
            String a = args[i];
            if (a.equals("-h") || a.equals("--help")) {
                return false;
            }
            if (!a.equals("--stay") && !a.equals("--user") && !a.equals("--password") && !a.equals("--out")) {
                throw new BadOption("unknown option " + a);
            }
            if (i + 1 >= args.length) {
                throw new BadOption(a + " needs a value");
            }
            String value = args[++i];
            switch (a) {
            case "--stay":
                staySeconds = seconds(value);
                break;
            case "--user":
                user = value;
                break;
            case "--password":
                password = value;
                break;
            default:
                outputFolder = new File(value);
                break;
            }
        }
        return true;
    }

    static double seconds(String value) throws BadOption {
        double s;
        try {
            s = value.matches("[0-9]+(\\.[0-9]+)?") ? Double.parseDouble(value) : -1;
        } catch (NumberFormatException e) {
            s = -1;
        }
        if (!(s >= 0 && s <= MAX_STAY_SECONDS)) {
            throw new BadOption("--stay takes a number of seconds from 0 to " + (int) MAX_STAY_SECONDS + ", not " +
                                value);
        }
        return s;
    }

    public static void main(String[] args) {
        MainJob job = new MainJob();
        try {
            if (!job.parseOptions(args)) {
                System.out.println(USAGE);
                System.exit(0);
            }
        } catch (BadOption e) {
            System.err.println("MainJob: " + e.getMessage() + " (-h for help)");
            System.exit(2);
        }
        if (System.getenv("KBR_RTP_LOGDIR") != null) {
            job.rtpLogFolder = new File(System.getenv("KBR_RTP_LOGDIR"));
        }
        if (job.outputFolder == null && System.getenv("KBR_AUDIO_SIM_RECORD_DIR") != null) {
            job.outputFolder = new File(System.getenv("KBR_AUDIO_SIM_RECORD_DIR"));
        }
        System.loadLibrary("kbrjphone");
        System.exit(job.run());
    }
}
