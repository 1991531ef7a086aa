package nl.brimel.kbr.phone.jni;

import java.io.BufferedReader;
import java.io.File;
import java.io.FileWriter;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Collections;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * Calls with sound, end to end: two engines, each in a JVM of its own with simulated audio endpoints,
 * call each other through kamailio on 127.0.0.1. This process starts kamailio and the two engines and
 * drives them over their standard input; each engine child drives its JPhone the way the application
 * does and answers every command with one line. The audio is judged from the recordings of the
 * simulated speakers.
 *
 * Groups: tone (a tone from the caller's microphone reaches the callee's speaker: frequency, level, the
 * delay from capture to playback; mute sends silence; keys go out as RFC 4733 events), erle (the
 * callee's echo canceller against a simulated acoustic echo, and the same call without it), inband (a
 * called party without telephone events: keys pressed while muted go out in band, and multimon-ng
 * decodes them from the audio on the wire), twin (a twin call stands in for the microphone and
 * speaker: payloads are relayed both ways and the phone's tones reach the twin), doubletalk (both ends
 * talk at once, espeak-ng voices, no echo path: the caller's voice reaches the callee as it does alone).
 * Prints "N passed, N failed" and exits nonzero on a failure.
 */
public final class AudioE2ETest {
    private static final E2ERun RUN = new E2ERun();
    private static final Map<String, E2ERun.Group> GROUPS = new LinkedHashMap<>();
    private static final long WAIT_MS = 20000;
    private static Peers.Peer kamailio;
    private static int kamailioPort;

    static {
        GROUPS.put("tone", AudioE2ETest::tone);
        GROUPS.put("erle", AudioE2ETest::erle);
        GROUPS.put("inband", AudioE2ETest::inband);
        GROUPS.put("twin", AudioE2ETest::twin);
        GROUPS.put("doubletalk", AudioE2ETest::doubleTalk);
    }

    private static void check(boolean ok, String what) {
        RUN.check(ok, what);
    }

    // ---- the engine child

    private static void reply(String text) {
        System.out.println("@@" + text);
        System.out.flush();
    }

    /** Waits for a callback whose text (without the thread mark) matches; the others are printed. */
    private static String await(JPhone phone, String regex, long ms) throws Exception {
        long deadline = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(ms);
        while (true) {
            long left = TimeUnit.NANOSECONDS.toMillis(deadline - System.nanoTime());
            String e = left > 0 ? phone.events.poll(left, TimeUnit.MILLISECONDS) : null;
            if (e == null) {
                throw new Exception("no callback " + regex + " within " + ms + " ms");
            }
            System.out.println("EVENT " + e);
            String text = e.substring(0, e.lastIndexOf(" @"));
            if (text.matches(regex)) {
                return text;
            }
        }
    }

    private static void engine(String user, String password, int port) throws Exception {
        System.loadLibrary("kbrjphone");
        JPhone phone = new JPhone();
        phone.initialize();
        Thread loop = new Thread(phone::processEvents, "jphone-loop");
        loop.setDaemon(true);
        phone.loopThread = loop;
        loop.start();
        BufferedReader in = new BufferedReader(new InputStreamReader(System.in, StandardCharsets.UTF_8));
        String lineId = null;
        String twinId = null;
        String command;
        while ((command = in.readLine()) != null) {
            String[] c = command.trim().split(" ");
            try {
                switch (c[0]) {
                case "register":
                    // register [PORT]: at kamailio, or at another proxy on 127.0.0.1.
                    phone.registerWithProxy(user, "Audio " + user, user, password, "127.0.0.1",
                                            c.length > 1 ? Integer.parseInt(c[1]) : port);
                    await(phone, "registrationStateChanged 1 .*", WAIT_MS);
                    reply("OK registered");
                    break;
                case "autolevel":
                    phone.setAutoInputLevel(Boolean.parseBoolean(c[1]));
                    reply("OK " + phone.getAutoInputLevel());
                    break;
                case "dial":
                    lineId = phone.createLineId();
                    phone.dial(lineId, c[1], "Audio " + user);
                    await(phone, "lineStateChanged " + lineId + " \\S+ 6 true .*", WAIT_MS);
                    reply("OK " + lineId);
                    break;
                case "answer": {
                    // answer [MS]: answers the next offered call, MS after it was offered.
                    String offered = await(phone, "lineStateChanged \\S+ \\S+ 5 .*", WAIT_MS);
                    lineId = offered.split(" ")[1];
                    if (c.length > 1) {
                        Thread.sleep(Long.parseLong(c[1]));
                    }
                    phone.answerIncoming(lineId);
                    await(phone, "lineStateChanged " + lineId + " \\S+ 6 true .*", WAIT_MS);
                    reply("OK " + lineId);
                    break;
                }
                case "twin":
                    twinId = phone.createTwinLineId("twin");
                    phone.dial(twinId, c[1], "Audio " + user);
                    await(phone, "lineStateChanged " + twinId + " \\S+ 6 .*", WAIT_MS);
                    reply("OK " + phone.isTwinActive());
                    break;
                case "hanguptwin":
                    phone.hangup(twinId);
                    await(phone, "lineStateChanged " + twinId + " \\S+ 8 .*", WAIT_MS);
                    reply("OK " + phone.isTwinActive());
                    break;
                case "mute":
                    phone.setMute(Boolean.parseBoolean(c[1]));
                    reply("OK");
                    break;
                case "dtmf":
                    phone.sendDtmf(c[1].charAt(0));
                    reply("OK");
                    break;
                case "hangup": {
                    phone.hangup(lineId);
                    String statistics = await(phone, "addLocalStatistics " + lineId + " .*", WAIT_MS);
                    await(phone, "lineStateChanged " + lineId + " \\S+ 8 .*", WAIT_MS);
                    reply("OK " + statistics);
                    break;
                }
                case "end":
                    // Ended by the far end: the end tone plays, then the line is done with its audio.
                    await(phone, "lineStateChanged " + lineId + " \\S+ (8|9) .*", WAIT_MS);
                    reply("OK ended");
                    break;
                case "quit":
                    reply("OK");
                    System.exit(0);
                    break;
                default:
                    reply("ERR unknown command " + c[0]);
                }
            } catch (Exception e) {
                reply("ERR " + c[0] + ": " + e.getMessage());
            }
        }
        System.exit(0);
    }

    // ---- the driver side

    /** One engine child: its commands, its answers, its output kept in a log file. */
    static final class Engine implements AutoCloseable {
        final String name;
        final Process process;
        final PrintWriter input;
        final BlockingQueue<String> answers = new LinkedBlockingQueue<>();
        final List<String> output = Collections.synchronizedList(new ArrayList<>());

        Engine(String name, String user, String password, Map<String, String> env, File dir) throws IOException {
            this.name = name;
            ProcessBuilder pb = new ProcessBuilder(System.getProperty("java.home") + "/bin/java", "-Xcheck:jni",
                                                   "-Djava.library.path=" + System.getProperty("java.library.path"),
                                                   "-cp", System.getProperty("java.class.path"),
                                                   AudioE2ETest.class.getName(), "--engine", user, password,
                                                   String.valueOf(kamailioPort));
            pb.redirectErrorStream(true);
            pb.environment().putAll(env);
            process = pb.start();
            input = new PrintWriter(process.getOutputStream(), true, StandardCharsets.UTF_8);
            File log = new File(dir, name + ".log");
            Thread reader = new Thread(() -> {
                try (BufferedReader r = new BufferedReader(new InputStreamReader(process.getInputStream(),
                                                                                 StandardCharsets.UTF_8));
                     PrintWriter w = new PrintWriter(new FileWriter(log))) {
                    String l;
                    while ((l = r.readLine()) != null) {
                        output.add(l);
                        w.println(l);
                        w.flush();
                        if (l.startsWith("@@")) {
                            answers.add(l.substring(2));
                        }
                    }
                } catch (IOException e) {
                    answers.add("ERR output lost: " + e);
                }
            }, name + "-output");
            reader.setDaemon(true);
            reader.start();
        }

        void send(String command) { input.println(command); }

        String answer(String command) throws Exception {
            String a = answers.poll(WAIT_MS + 5000, TimeUnit.MILLISECONDS);
            if (a == null || !a.startsWith("OK")) {
                throw new Exception(name + ": " + command + ": " + (a == null ? "no answer" : a));
            }
            return a.substring(2).trim();
        }

        String run(String command) throws Exception {
            send(command);
            return answer(command);
        }

        boolean cleanJni() {
            synchronized (output) {
                for (String l : output) {
                    if (l.contains("WARNING in native method") || l.contains("FATAL ERROR in native method")) {
                        return false;
                    }
                }
            }
            return true;
        }

        @Override
        public void close() {
            send("quit");
            input.close();
            try {
                if (!process.waitFor(10, TimeUnit.SECONDS)) {
                    process.destroyForcibly();
                    process.waitFor(5, TimeUnit.SECONDS);
                }
            } catch (InterruptedException e) {
                process.destroyForcibly();
                Thread.currentThread().interrupt();
            }
        }
    }

    private static File groupDir(String group) {
        File dir = new File(System.getProperty("kbr.e2e.workdir", "build/e2e-work"), "audio_" + group);
        deleteTree(dir);
        dir.mkdirs();
        return dir;
    }

    private static void deleteTree(File f) {
        File[] children = f.listFiles();
        if (children != null) {
            for (File c : children) {
                deleteTree(c);
            }
        }
        f.delete();
    }

    /** The environment of an engine with simulated audio: one microphone, one speaker recording into dir. */
    private static Map<String, String> simulatedAudio(String capture, File dir) {
        dir.mkdirs();
        Map<String, String> env = new HashMap<>();
        env.put("KBR_AUDIO_BACKEND", "sim");
        env.put("KBR_AUDIO_SIM_CAPTURE", capture);
        env.put("KBR_AUDIO_SIM_RENDER", "Speakers");
        env.put("KBR_AUDIO_SIM_RECORD_DIR", dir.getPath());
        return env;
    }

    private static void sleepUntil(long startNanos, double seconds) throws InterruptedException {
        long left = startNanos + (long) (seconds * 1e9) - System.nanoTime();
        if (left > 0) {
            TimeUnit.NANOSECONDS.sleep(left);
        }
    }

    /** A call from 1001 (caller) to 1002 (callee) without the input leveler; body runs while connected. */
    interface Talk {
        void run(Engine caller, Engine callee, long connectedNanos) throws Exception;
    }

    private static String call(Map<String, String> callerEnv, Map<String, String> calleeEnv, File dir, Talk talk)
        throws Exception {
        String statistics;
        try (Engine callee = new Engine("callee", "1002", "secret2", calleeEnv, dir);
             Engine caller = new Engine("caller", "1001", "secret1", callerEnv, dir)) {
            try {
                callee.run("register");
                caller.run("register");
                // Fixed input levels: the levels heard are the levels sent.
                callee.run("autolevel false");
                caller.run("autolevel false");
                callee.send("answer");
                caller.run("dial 1002");
                callee.answer("answer");
                long connected = System.nanoTime();
                talk.run(caller, callee, connected);
                statistics = caller.run("hangup");
                callee.run("end");
            } finally {
                check(caller.cleanJni() && callee.cleanJni(), "both engines ran clean under -Xcheck:jni");
            }
        }
        return statistics;
    }

    /** Seconds from the start of the recording to the first 20 ms block where the tone is present. */
    private static double toneOnset(WavFile w, double hz, double amplitude) {
        for (double t = 0; t + 0.02 <= w.seconds(); t += 0.005) {
            if (w.toneAmplitude(t, t + 0.02, hz) > amplitude) {
                return t;
            }
        }
        return -1;
    }

    /** [start, end) of the first run of blocks where the tone is present, in seconds; null without one. */
    private static double[] firstToneRun(WavFile w, double hz, double amplitude, double from) {
        double start = -1;
        for (double t = from; t + 0.02 <= w.seconds(); t += 0.02) {
            boolean on = w.toneAmplitude(t, t + 0.02, hz) > amplitude;
            if (on && start < 0) {
                start = t;
            } else if (!on && start >= 0) {
                return new double[] {start, t};
            }
        }
        return start < 0 ? null : new double[] {start, w.seconds()};
    }

    // The caller's microphone plays 1 s of silence, then 3 s of 1000 Hz at amplitude 0.3 (-13.5 dBFS),
    // then silence. The caller mutes from 2 s to 3 s after the call connects and then sends two keys.
    // The callee's microphone hears its own speaker (no delay, full level), so the tone comes back to the
    // caller: the round trip gives the delay. Both inputs are named as headsets with an echo canceller of
    // their own (Jabra), so that the engines' cancellers leave the returning tone and the sent tone alone.
    private static void tone() throws Exception {
        File dir = groupDir("tone");
        File burst = new File(dir, "burst.wav");
        WavFile.tone(48000, 1.0, 3.0, 1000, 0.3, 2.0).write(burst);
        Map<String, String> callerEnv = simulatedAudio("Jabra Microphone,source=wav:" + burst,
                                                      new File(dir, "caller"));
        Map<String, String> calleeEnv = simulatedAudio("Jabra Microphone,echo=Speakers:0:1.0", new File(dir, "callee"));
        File rtpLogs = new File(dir, "callee-rtp");
        rtpLogs.mkdirs();
        calleeEnv.put("KBR_RTP_LOGDIR", rtpLogs.getPath());
        calleeEnv.put("kbr_rtp_level", "2");
        String statistics = call(callerEnv, calleeEnv, dir, (caller, callee, connected) -> {
            sleepUntil(connected, 2.0);
            caller.run("mute true");
            sleepUntil(connected, 3.0);
            caller.run("mute false");
            sleepUntil(connected, 4.3);
            caller.run("dtmf 5");
            sleepUntil(connected, 4.8);
            caller.run("dtmf #");
            sleepUntil(connected, 5.5);
        });
        System.out.println("   caller's statistics: " + statistics);

        WavFile heard = WavFile.read(new File(dir, "callee/Speakers-1.wav"));
        double[] run = firstToneRun(heard, 1000, 0.05, 0);
        check(run != null, "the callee heard the caller's tone");
        if (run != null) {
            double a = run[0] + 0.1, b = run[1] - 0.1;
            double hz = heard.frequency(a, b);
            double level = heard.levelDb(a, b);
            System.out.printf("   callee heard %.1f Hz at %.2f dBFS for %.2f s%n", hz, level, run[1] - run[0]);
            check(Math.abs(hz - 1000) < 5, "the frequency heard is 1000 Hz: " + hz);
            // A-law keeps a tone of this level within a fraction of a dB; resampling and the
            // jitter buffer's concealment may take a little more.
            check(Math.abs(level - (-13.47)) < 1.5, "the level heard is the level sent (-13.5 dBFS): " + level);
            // Muted, the caller sends zeros: the tone stops for about the second of muting.
            double[] next = firstToneRun(heard, 1000, 0.05, run[1] + 0.02);
            double gap = next == null ? 0 : next[0] - run[1];
            double quiet = next == null ? 0 : heard.levelDb(run[1] + 0.1, next[0] - 0.1);
            System.out.printf("   muted gap %.2f s at %.1f dBFS%n", gap, quiet);
            check(gap > 0.7 && gap < 1.5, "muting made a gap of about a second: " + gap);
            check(quiet < -55, "the muted gap is silent: " + quiet);
        }

        WavFile back = WavFile.read(new File(dir, "caller/Speakers-1.wav"));
        double returned = toneOnset(back, 1000, 0.05);
        check(returned > 1.0, "the tone came back to the caller: onset at " + returned + " s");
        if (returned > 1.0) {
            double roundTrip = returned - 1.0;
            System.out.printf("   capture to playback: round trip %.0f ms, one way about %.0f ms%n",
                              roundTrip * 1000, roundTrip * 500);
            // Two device buffers, a 20 ms frame and a jitter buffer each way on loopback.
            check(roundTrip < 0.5, "the round trip stays below 500 ms: " + roundTrip);
        }

        List<Integer> events = RtpLog.receivedEvents(rtpLogs, 101);
        System.out.println("   telephone events received by the callee: " + events);
        check(events.contains(5) && events.contains(11), "keys 5 and # reached the callee as RFC 4733 events");
    }

    // The caller sends noise (RMS 0.1); the callee's microphone hears its speaker 20 ms later at half the
    // level. With the callee's echo canceller the caller hears only what is left of that echo.
    private static void erle() throws Exception {
        double[] erle = new double[2];
        String[] inputs = {"Microphone", "Jabra Microphone"};
        for (int k = 0; k < 2; k++) {
            File dir = groupDir("erle" + (k == 0 ? "" : "_without_canceller"));
            File noise = new File(dir, "noise.wav");
            WavFile.noise(48000, 3.0, 0.1).write(noise);
            // The caller's input brings its own canceller (Jabra): only the callee's canceller is at work.
            Map<String, String> callerEnv = simulatedAudio("Jabra Microphone,source=wavloop:" + noise,
                                                           new File(dir, "caller"));
            Map<String, String> calleeEnv = simulatedAudio(inputs[k] + ",echo=Speakers:20:0.5", new File(dir, "callee"));
            call(callerEnv, calleeEnv, dir, (caller, callee, connected) -> sleepUntil(connected, 9.0));
            WavFile played = WavFile.read(new File(dir, "callee/Speakers-1.wav"));
            WavFile residual = WavFile.read(new File(dir, "caller/Speakers-1.wav"));
            double end = residual.seconds() - 0.3;
            double echo = played.levelDb(end - 3.0, end) + 20 * Math.log10(0.5);
            double left = residual.levelDb(end - 3.0, end);
            erle[k] = echo - left;
            System.out.printf("   %s: echo %.1f dBFS, returned %.1f dBFS, ERLE %.1f dB%n",
                              k == 0 ? "with the echo canceller" : "without (control)", echo, left, erle[k]);
        }
        // Without a canceller the whole echo returns (about 0 dB): the measure itself is sound.
        check(Math.abs(erle[1]) < 3, "without the canceller the echo returns whole: " + erle[1]);
        // After convergence the residual lies at the A-law floor (about -72 dBFS), near 38 dB below this
        // echo. 15 dB leaves room for the canceller to reconverge after a scheduling hiccup of a busy
        // machine (which moves the echo against the frame numbers by a frame), and still fails plainly
        // when the reference is out of place or the canceller is missing (0 to 2 dB).
        check(erle[0] > 15, "the echo canceller removes at least 15 dB of the echo after converging: " + erle[0]);
    }

    // sipp answers with PCMA alone, so keys cannot go out as events. The caller mutes and presses three
    // keys: the audio it sends (taken from its RTP packet log, decoded) holds them in band, and
    // multimon-ng, an independent decoder, finds them there.
    private static void inband() throws Exception {
        File dir = groupDir("inband");
        File rtpLogs = new File(dir, "caller-rtp");
        rtpLogs.mkdirs();
        Map<String, String> env = simulatedAudio("Microphone,source=tone:440:0.3", new File(dir, "caller"));
        env.put("KBR_RTP_LOGDIR", rtpLogs.getPath());
        env.put("kbr_rtp_level", "2");
        String keys = "59#";
        try (Peers.Peer farEnd = Peers.sipp("uas_answer_pcma").server().service("1002").rtpEcho().calls(2)
                                      .param("talk_ms", 15000).timeout(60).start();
             Engine caller = new Engine("caller", "1001", "secret1", env, dir)) {
            int port = farEnd.port("SIPP_PORT", 20000);
            check(port > 0 && farEnd.ready(20000), "sipp answers: " + farEnd.describe());
            try {
                caller.run("register " + port);
                caller.run("dial 1002");
                long connected = System.nanoTime();
                caller.run("mute true");
                for (int i = 0; i < keys.length(); i++) {
                    sleepUntil(connected, 0.5 + 0.6 * i);
                    caller.run("dtmf " + keys.charAt(i));
                }
                sleepUntil(connected, 0.5 + 0.6 * keys.length() + 0.3);
                caller.run("hangup");
            } finally {
                check(caller.cleanJni(), "the engine ran clean under -Xcheck:jni");
            }
        }
        WavFile sent = RtpLog.sentAudio(rtpLogs);
        System.out.printf("   the caller sent %.2f s of audio%n", sent.seconds());
        File wav = new File(dir, "sent.wav");
        sent.write(wav);
        // Muted (from before the first key, '5' = 770 + 1336 Hz): apart from the keys the audio on the
        // wire is silence, not the microphone's 440 Hz.
        double firstKey = toneOnset(sent, 1336, 0.05);
        check(firstKey >= 0, "the first key is on the wire");
        check(sent.toneAmplitude(Math.max(0, firstKey), sent.seconds(), 440) < 0.001,
              "no microphone audio while muted");
        Process p = new ProcessBuilder("multimon-ng", "-q", "-a", "DTMF", "-t", "wav", wav.getPath())
                        .redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        check(p.waitFor(30, TimeUnit.SECONDS), "multimon-ng ends");
        StringBuilder decoded = new StringBuilder();
        for (String l : out.split("\n")) {
            if (l.startsWith("DTMF: ")) {
                decoded.append(l.substring(6).trim());
            }
        }
        System.out.println("   multimon-ng decoded: " + decoded);
        checkEquals(keys, decoded.toString(), "the keys pressed are heard in band on the wire");
    }

    // 1001 makes a twin call to 1002 (microphone 600 Hz), then calls 1003 (microphone 900 Hz), who
    // answers after 1.5 s. 1001 opens no audio device: 1003 hears 1002 and 1002 hears 1003 through the
    // relay, and while 1003 has not answered, 1002 hears the dialling tones of 1001's call.
    private static void twin() throws Exception {
        File dir = groupDir("twin");
        Map<String, String> phoneEnv = simulatedAudio("Microphone,source=tone:300:0.3", new File(dir, "phone"));
        Map<String, String> twinEnv = simulatedAudio("Jabra Microphone,source=tone:600:0.3", new File(dir, "twin"));
        Map<String, String> farEnv = simulatedAudio("Jabra Microphone,source=tone:900:0.3", new File(dir, "far"));
        long answeredNanos;
        try (Engine twin = new Engine("twin", "1002", "secret2", twinEnv, dir);
             Engine far = new Engine("far", "1003", "secret3", farEnv, dir);
             Engine phone = new Engine("phone", "1001", "secret1", phoneEnv, dir)) {
            try {
                twin.run("register");
                far.run("register");
                phone.run("register");
                twin.run("autolevel false");
                far.run("autolevel false");
                twin.send("answer");
                check(phone.run("twin 1002").equals("true"), "the twin call is connected and active");
                twin.answer("answer");
                Thread.sleep(500);
                far.send("answer 1500");
                phone.run("dial 1003");
                far.answer("answer");
                answeredNanos = System.nanoTime();
                sleepUntil(answeredNanos, 2.0);
                phone.run("hangup");
                far.run("end");
                check(phone.run("hanguptwin").equals("false"), "the twin is gone with its call");
                twin.run("end");
            } finally {
                check(phone.cleanJni() && twin.cleanJni() && far.cleanJni(), "the engines ran clean under -Xcheck:jni");
            }
        }
        check(!new File(dir, "phone/Speakers-1.wav").exists(), "the phone with the twin opened no audio device");
        WavFile atTwin = WavFile.read(new File(dir, "twin/Speakers-1.wav"));
        WavFile atFar = WavFile.read(new File(dir, "far/Speakers-1.wav"));
        double farOnset = toneOnset(atTwin, 900, 0.05);
        double twinAtFar = toneOnset(atFar, 600, 0.05);
        System.out.printf("   the twin hears 900 Hz from %.2f s; the far end hears 600 Hz from %.2f s%n", farOnset,
                          twinAtFar);
        check(farOnset > 0, "the far end's audio reaches the twin");
        check(twinAtFar >= 0, "the twin's audio reaches the far end");
        if (farOnset > 0) {
            double[] run = firstToneRun(atTwin, 900, 0.05, farOnset);
            double level = atTwin.levelDb(run[0] + 0.1, run[1] - 0.1);
            System.out.printf("   relayed to the twin at %.1f dBFS%n", level);
            check(Math.abs(level - (-13.47)) < 1.5, "the payloads pass unchanged (level kept): " + level);
            // Before the far end answered: the dialling tones of the phone's call (the loudest 100 ms).
            double before = -200;
            for (double t = 0; t + 0.1 <= farOnset - 0.1; t += 0.05) {
                before = Math.max(before, atTwin.levelDb(t, t + 0.1));
            }
            double farBefore = atTwin.toneAmplitude(0, Math.max(0.02, farOnset - 0.1), 900);
            System.out.printf("   before the answer the twin heard up to %.1f dBFS%n", before);
            check(before > -40 && farBefore < 0.02, "the phone's tones are sent to the twin: " + before);
        }
    }

    // ---- double talk

    /** An espeak-ng voice saying text, written to file with pad seconds of silence before it. */
    private static void speak(String voice, String text, double pad, File file) throws Exception {
        File raw = new File(file.getParentFile(), "raw-" + file.getName());
        Process p = new ProcessBuilder("espeak-ng", "-v", voice, "-s", "160", "-w", raw.getPath(), text)
                        .redirectErrorStream(true).start();
        p.getInputStream().readAllBytes();
        if (!p.waitFor(30, TimeUnit.SECONDS) || p.exitValue() != 0) {
            p.destroyForcibly();
            throw new Exception("espeak-ng did not speak " + voice);
        }
        WavFile speech = WavFile.read(raw);
        int before = (int) (pad * speech.rate);
        double[] s = new double[before + speech.samples.length];
        System.arraycopy(speech.samples, 0, s, before, speech.samples.length);
        new WavFile(speech.rate, s).write(file);
    }

    private static double dot(double[] a, int from, int to, double[] b, int lag) {
        double sum = 0;
        int lo = Math.max(from, Math.max(0, -lag)), hi = Math.min(to, Math.min(a.length, b.length - lag));
        for (int i = lo; i < hi; i++) {
            sum += a[i] * b[i + lag];
        }
        return sum;
    }

    /** The lag of b against a (b[i + lag] matches a[i]) in center +- range, best over a[from, to). */
    private static int bestLag(double[] a, int from, int to, double[] b, int center, int range, int step) {
        int best = center;
        double bestSum = Double.NEGATIVE_INFINITY;
        for (int lag = center - range; lag <= center + range; lag += step) {
            // Normalized: a louder stretch of b does not win by its loudness.
            int lo = Math.max(0, from + lag), hi = Math.min(b.length, to + lag);
            double energy = hi > lo ? dot(b, lo, hi, b, 0) : 0;
            double sum = energy > 0 ? dot(a, from, to, b, lag) / Math.sqrt(energy) : Double.NEGATIVE_INFINITY;
            if (sum > bestSum) {
                bestSum = sum;
                best = lag;
            }
        }
        return best;
    }

    /**
     * What reached the far end with the near end talking alone (alone) against the same with the far
     * end talking too (with), over the 10 ms blocks where the near voice is on: the level of each and the
     * level of what is in with and not in alone (per block, with less alone at its best-fitting gain).
     * The two calls start at different moments and a jitter buffer may shift the stream by a frame in
     * one of them, so the streams are aligned by cross-correlation: the whole call first, then each
     * 100 ms of speech near where the one before it was found, at 8000 Hz steps and then to the sample.
     */
    private static double[] compareSpeech(WavFile alone, WavFile with) {
        double[] a = alone.samples, w = with.samples;
        int rate = alone.rate, block = rate / 100, piece = rate / 10, d = Math.max(1, rate / 8000);
        double[] ad = new double[a.length / d], wd = new double[w.length / d];
        for (int i = 0; i < ad.length; i++) {
            ad[i] = a[d * i];
        }
        for (int i = 0; i < wd.length; i++) {
            wd[i] = w[d * i];
        }
        int lag = bestLag(a, 0, a.length, w, d * bestLag(ad, 0, ad.length, wd, 0, ad.length / 2, 1), d, 1);
        double aloneEnergy = 0, withEnergy = 0, other = 0;
        int count = 0;
        for (int p = 0; p + piece <= a.length; p += piece) {
            if (alone.levelDb(p / (double) rate, (p + piece) / (double) rate) < -45) {
                continue;
            }
            // Each 100 ms of speech near where the one before it was found.
            lag = bestLag(a, p, p + piece, w, bestLag(a, p, p + piece, w, lag, rate / 25, d), d, 1);
            for (int f = p; f + block <= p + piece; f += block) {
                double e = dot(a, f, f + block, a, 0);
                if (f + lag < 0 || f + block + lag > w.length || 10 * Math.log10(e / block + 1e-20) < -45) {
                    continue;
                }
                double gain = dot(a, f, f + block, w, lag) / e;
                for (int i = f; i < f + block; i++) {
                    double rest = w[i + lag] - gain * a[i];
                    other += rest * rest;
                    withEnergy += w[i + lag] * w[i + lag];
                }
                aloneEnergy += e;
                count += block;
            }
        }
        double n = Math.max(1, count);
        return new double[] {10 * Math.log10(aloneEnergy / n + 1e-20), 10 * Math.log10(withEnergy / n + 1e-20),
                             10 * Math.log10(other / n + 1e-20), count / (double) rate};
    }

    // The caller (near end) says a sentence in one voice, once, after a pause; the callee (far end) talks
    // all the while in another voice, over and over. Neither microphone hears its speaker. Three calls:
    // near alone, both, far alone. What the caller sends (its packets, as the callee receives them) must
    // be the same with the far end talking as without: the same level within 3 dB, and the far voice, or
    // anything else the caller's echo canceller adds or takes away, at least 30 dB below it; the far
    // voice alone must not go out. The callee's speaker plays the near voice at the same level.
    private static void doubleTalk() throws Exception {
        File dir = groupDir("doubletalk");
        File near = new File(dir, "near.wav");
        File far = new File(dir, "far.wav");
        speak("en-us", "The quick brown fox jumps over the lazy dog. Please call me back before five o clock.",
              1.5, near);
        speak("en-gb-x-rp+f3", "Good morning, this is the front desk speaking. Your order has been sent today.",
              0.0, far);
        double nearSeconds = WavFile.read(near).seconds();
        double farDb = WavFile.read(far).levelDb(0, 1e9);
        String[] names = {"alone", "both", "far_only"};
        String[] nearSources = {"source=wav:" + near, "source=wav:" + near, "source=silence"};
        String[] farSources = {"source=silence", "source=wavloop:" + far, "source=wavloop:" + far};
        WavFile[] heard = new WavFile[3];
        WavFile[] sent = new WavFile[3];
        for (int k = 0; k < 3; k++) {
            File run = new File(dir, names[k]);
            Map<String, String> callerEnv = simulatedAudio("Microphone," + nearSources[k], new File(run, "caller"));
            Map<String, String> calleeEnv = simulatedAudio("Microphone," + farSources[k], new File(run, "callee"));
            File rtpLogs = new File(run, "caller-rtp");
            rtpLogs.mkdirs();
            callerEnv.put("KBR_RTP_LOGDIR", rtpLogs.getPath());
            callerEnv.put("kbr_rtp_level", "2");
            call(callerEnv, calleeEnv, run, (caller, callee, connected) -> sleepUntil(connected, nearSeconds + 0.5));
            heard[k] = WavFile.read(new File(run, "callee/Speakers-1.wav"));
            sent[k] = RtpLog.sentAudio(rtpLogs);
            sent[k].write(new File(run, "sent.wav"));
        }
        WavFile farHeard = WavFile.read(new File(dir, "both/caller/Speakers-1.wav"));
        double farAtNear = farHeard.levelDb(0.5, farHeard.seconds());
        // What the far end receives: the caller's packets, and what the callee's speaker played of them.
        double[] wire = compareSpeech(sent[0], sent[1]);
        double[] played = compareSpeech(heard[0], heard[1]);
        double leak = sent[2].levelDb(0.5, sent[2].seconds());
        System.out.printf("   far voice at the caller's speaker %.1f dBFS%n", farAtNear);
        System.out.printf("   on the wire: near voice alone %.1f dBFS, with the far end talking %.1f dBFS, other than the "
                          + "near voice in it %.1f dBFS (over %.2f s of speech); from a silent microphone %.1f dBFS%n",
                          wire[0], wire[1], wire[2], wire[3], leak);
        System.out.printf("   at the callee's speaker: near voice alone %.1f dBFS, with the far end talking %.1f dBFS, "
                          + "other than the near voice in it %.1f dBFS (over %.2f s of speech)%n", played[0], played[1],
                          played[2], played[3]);
        check(farAtNear > farDb - 6, "the far voice reached the near end: " + farAtNear);
        check(wire[3] > 1.5 && wire[0] > -40, "the near voice went out: " + wire[0] + " dBFS for " + wire[3] + " s");
        check(Math.abs(wire[1] - wire[0]) < 3, "the near voice keeps its level on the wire while the far end talks: "
                                                   + wire[0] + " alone, " + wire[1] + " with the far end");
        check(wire[2] < wire[0] - 30, "the far voice stays 30 dB below the near voice on the wire: " + (wire[2] - wire[0])
                                          + " dB");
        check(leak < farAtNear - 30, "the far voice does not go out from a silent microphone: " + leak);
        // The callee's jitter buffer may conceal or drop a frame in one call and not in the other, which
        // the remainder of the speaker's recording counts; its level is the level sent.
        check(played[3] > 1.5 && Math.abs(played[1] - played[0]) < 3,
              "the callee plays the near voice at the same level while the far end talks: " + played[0] + " alone, "
                  + played[1] + " with the far end");
    }

    private static void checkEquals(Object expected, Object actual, String what) {
        check(expected.equals(actual), what + ": expected <" + expected + "> but was <" + actual + ">");
    }

    public static void main(String[] args) throws Exception {
        if (args.length == 4 && args[0].equals("--engine")) {
            engine(args[1], args[2], Integer.parseInt(args[3]));
            return;
        }
        RUN.main(args, GROUPS, "start kamailio", () -> {
            kamailio = Peers.kamailio(false);
            Runtime.getRuntime().addShutdownHook(new Thread(kamailio::close));
            kamailioPort = kamailio.port("KAMAILIO_PORT", 20000);
            check(kamailioPort > 0 && kamailio.ready(20000), "kamailio started: " + kamailio.describe());
        });
    }
}
