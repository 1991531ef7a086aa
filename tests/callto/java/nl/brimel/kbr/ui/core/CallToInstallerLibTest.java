package nl.brimel.kbr.ui.core;

import java.io.BufferedReader;
import java.io.File;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * Calls every export of the callto library the way the application does, checks the registry file
 * it leaves and hands command lines between copies started as separate JVMs. Needs
 * KBR_REGISTRY_FILE and KBR_WINMSG_DIR. Prints "N passed, N failed".
 */
public final class CallToInstallerLibTest {
    private static int passed;
    private static int failed;
    private static Path registry;

    private interface Group {
        void run() throws Exception;
    }

    private static void check(boolean ok, String what) {
        if (ok) {
            passed++;
        } else {
            failed++;
            System.out.println("FAILED: " + what);
        }
    }

    private static void checkEquals(Object expected, Object actual, String what) {
        check(expected == null ? actual == null : expected.equals(actual),
              what + ": expected <" + expected + "> but was <" + actual + ">");
    }

    private static void group(String name, Group g) {
        System.out.println("-- " + name);
        try {
            g.run();
        } catch (Throwable t) {
            failed++;
            System.out.println("FAILED: " + name + " threw " + t);
            t.printStackTrace(System.out);
        }
    }

    private static RegistryFile fresh() throws IOException {
        Files.deleteIfExists(registry);
        return RegistryFile.load(registry);
    }

    /** Another copy of the application in its own JVM; its output lines are collected. */
    private static final class Copy {
        final Process process;
        final BlockingQueue<String> lines = new LinkedBlockingQueue<>();

        Copy(String command) throws IOException {
            String java = Paths.get(System.getProperty("java.home"), "bin", "java").toString();
            List<String> cmd = new ArrayList<>();
            cmd.add(java);
            cmd.add("-Xcheck:jni");
            cmd.add("-Djava.library.path=" + System.getProperty("java.library.path"));
            cmd.add("-cp");
            cmd.add(System.getProperty("java.class.path"));
            cmd.add("nl.brimel.kbr.ui.core.CallToInstance");
            cmd.add(command);
            process = new ProcessBuilder(cmd).redirectErrorStream(true).start();
            Thread reader = new Thread(() -> {
                try (BufferedReader r = new BufferedReader(
                        new InputStreamReader(process.getInputStream(), StandardCharsets.UTF_8))) {
                    for (String l; (l = r.readLine()) != null;) {
                        lines.add(l);
                    }
                } catch (IOException e) {
                    lines.add("<read failed: " + e + ">");
                }
            });
            reader.setDaemon(true);
            reader.start();
        }

        /** The next line that starts with one of the prefixes, skipping others; null after 20 s. */
        String next(String... prefixes) throws InterruptedException {
            long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(20);
            while (System.nanoTime() < end) {
                String l = lines.poll(100, TimeUnit.MILLISECONDS);
                if (l == null) {
                    continue;
                }
                if (l.contains("WARNING in native method") || l.contains("FATAL ERROR")) {
                    check(false, "JNI check in another copy: " + l);
                }
                for (String p : prefixes) {
                    if (l.startsWith(p)) {
                        return l;
                    }
                }
            }
            return null;
        }

        List<String> allUntilExit() throws InterruptedException {
            check(process.waitFor(30, TimeUnit.SECONDS), "copy ended in time");
            Thread.sleep(100);
            List<String> out = new ArrayList<>();
            lines.drainTo(out);
            return out;
        }

        void end() {
            process.destroyForcibly();
        }
    }

    public static void main(String[] args) throws Exception {
        registry = Paths.get(System.getenv("KBR_REGISTRY_FILE"));
        Files.createDirectories(registry.getParent());
        Path messages = Paths.get(System.getenv("KBR_WINMSG_DIR"));
        Files.createDirectories(messages.getParent());
        if (!Files.exists(messages)) {
            Files.createDirectory(messages, PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rwx------")));
        }

        group("installCallTo registers both schemes", () -> {
            fresh();
            checkEquals(true, CallToInstallerLib.installCallTo("\"/opt/brimel/brimel\" -dial \"%1\"", false, "Brimel",
                                                                "Brimel \u00e9 softphone \ud83d\udcde"), "result");
            RegistryFile r = RegistryFile.load(registry);
            checkEquals("1:Brimel \u00e9 softphone \ud83d\udcde", r.get("Software\\Brimel\\KBR\\Capabilities", "ApplicationDescription"),
                        "description");
            checkEquals("1:Brimel", r.get("Software\\Classes\\Applications\\brimel.exe", "FriendlyAppName"), "friendly name");
            checkEquals("2:\"/opt/brimel/brimel\" -dial \"%1\"",
                        r.get("Software\\Classes\\Brimel.Callto\\shell\\open\\command", ""), "open command");
            for (String scheme : new String[] {"callto", "tel"}) {
                checkEquals("1:Brimel.Callto", r.get("Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\"
                                                     + scheme + "\\UserChoice", "ProgId"), scheme + " choice");
                checkEquals("1:Brimel Phone System Protocol", r.get("Software\\Classes\\" + scheme, ""), scheme + " class");
            }
        });

        group("installCallTo leaves a scheme another program owns", () -> {
            RegistryFile r = fresh();
            r.setText("Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\callto\\UserChoice", "ProgId",
                      "Other.Url");
            r.setText("Software\\Classes\\callto\\shell\\open\\command", "", "other %1");
            r.save(registry);
            checkEquals(false, CallToInstallerLib.installCallTo("cmd", false, "n", "d"), "not forced");
            checkEquals("1:other %1", RegistryFile.load(registry).get("Software\\Classes\\callto\\shell\\open\\command", ""),
                        "foreign command kept");
            checkEquals(true, CallToInstallerLib.installCallTo("cmd", true, "n", "d"), "forced");
            checkEquals(false, RegistryFile.load(registry).hasKey("Software\\Classes\\callto\\shell"), "foreign shell removed");
        });

        group("a registry failure makes installCallTo false", () -> {
            Files.write(registry, "damaged".getBytes(StandardCharsets.US_ASCII));
            checkEquals(false, CallToInstallerLib.installCallTo("cmd", false, "n", "d"), "damaged registry");
            checkEquals("damaged", new String(Files.readAllBytes(registry), StandardCharsets.US_ASCII), "file untouched");
        });

        group("installAdmin, installAutoLogin, installOutlookCall", () -> {
            fresh();
            CallToInstallerLib.installAdmin("admin %1");
            CallToInstallerLib.installAutoLogin("Brimel", "\"/opt/brimel/brimel\"", "%APPDATA%\\brimel");
            checkEquals(false, CallToInstallerLib.installOutlookCall("Calls", "Brimel", 3, "m"), "no Outlook");
            RegistryFile r = RegistryFile.load(registry);
            r.addKey("Software\\Microsoft\\Office\\Outlook\\Addins");
            r.save(registry);
            checkEquals(true, CallToInstallerLib.installOutlookCall("Calls", "Brimel", 3, "file:///m.vsto"), "with Outlook");
            r = RegistryFile.load(registry);
            checkEquals("1:Brimel Phone System Admin Protocol", r.get("Software\\Classes\\brimel.admin", ""), "admin");
            checkEquals("2:admin %1", r.get("Software\\Classes\\brimel.admin\\shell\\open\\command", ""), "admin command");
            checkEquals("1:\"/opt/brimel/brimel\"", r.get("Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Brimel"),
                        "autostart (local profile)");
            String addin = "Software\\Microsoft\\Office\\Outlook\\Addins\\CallOutlookMenu";
            checkEquals("1:Calls", r.get(addin, "Description"), "description");
            checkEquals("1:Brimel", r.get(addin, "FriendlyName"), "friendly name");
            checkEquals("4:3", r.get(addin, "LoadBehavior"), "load behaviour");
            checkEquals("1:file:///m.vsto", r.get(addin, "Manifest"), "manifest");
        });

        group("null strings are refused with each export's failure result", () -> {
            fresh();
            checkEquals(false, CallToInstallerLib.installCallTo(null, false, "n", "d"), "installCallTo");
            checkEquals(false, CallToInstallerLib.installOutlookCall("d", null, 1, "m"), "installOutlookCall");
            checkEquals(false, CallToInstallerLib.executeExisting(null), "executeExisting");
            CallToInstallerLib.installAdmin(null);
            CallToInstallerLib.installAutoLogin("Brimel", null, "x");
            RegistryFile r = RegistryFile.load(registry);
            checkEquals(null, r.get("Software\\Classes\\Brimel.Callto", ""), "nothing installed");
            checkEquals(null, r.get("Software\\Microsoft\\Windows\\CurrentVersion\\Run", "Brimel"), "no autostart");
        });

        group("without a running copy, executeExisting is false and the copy goes on as the first", () -> {
            Copy first = new Copy("first");
            try {
                String[] start = {"broadcast", "done", "first", "handed", "received", "got", "receved"};
                checkEquals("broadcast discover attach", first.next(start), "first line");
                // Its own discover reaches its own window only, and is ignored there.
                checkEquals("done broadcast discover attach", first.next(start), "second line");
                checkEquals("first copy", first.next(start), "went on as the first");

                String[] texts = {"callto:+31 20 555 0100", "tel:\u00e9\u20ac 1 \ud83d\udcde", ""};
                for (String text : texts) {
                    Copy second = new Copy(text);
                    List<String> out = second.allUntilExit();
                    check(out.contains("handed over"), "second copy handed over \"" + text + "\": " + out);
                    check(out.contains("receved command reply"), "second copy saw the reply: " + out);
                    checkEquals("command: [" + text + "]", first.next("command: "), "received by the first");
                }
            } finally {
                first.end();
            }
        });

        group("a listener in this JVM gets commands in processCommandRequest", () -> {
            CallToInstallerLib lib = new CallToInstallerLib();
            Thread listener = new Thread(lib::startCallToListener, "callto-listener");
            listener.setDaemon(true);
            listener.start();
            Copy a = new Copy("throw");
            List<String> out = a.allUntilExit();
            check(out.contains("handed over"), "handed over: " + out);
            checkEquals("throw", lib.commands.poll(20, TimeUnit.SECONDS), "first command");
            // The exception thrown by the application did not end the listener.
            Copy b = new Copy("callto:42");
            b.allUntilExit();
            checkEquals("callto:42", lib.commands.poll(20, TimeUnit.SECONDS), "second command");
            // Bytes that are not valid UTF-8, from a process that is not Java: valid text reaches Java.
            // Characters beyond U+FFFF in plain UTF-8 arrive whole.
            String[][] raw = {{"63616fe9", "cao\ufffd"}, {"f09f939e31", "\ud83d\udcde1"}, {"c0af", "\ufffd\ufffd"}};
            for (String[] r : raw) {
                Process p = new ProcessBuilder(System.getProperty("kbr.callto.send"), r[0]).redirectErrorStream(true).start();
                String said = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
                check(p.waitFor(30, TimeUnit.SECONDS) && p.exitValue() == 0, "raw sender " + r[0] + ": " + said);
                checkEquals(r[1], lib.commands.poll(20, TimeUnit.SECONDS), "raw bytes " + r[0]);
            }
            // The listener's window class is this process's: a hand-off from here cannot make its own.
            checkEquals(false, CallToInstallerLib.executeExisting("x"), "executeExisting beside the listener");
            checkEquals(null, lib.commands.poll(300, TimeUnit.MILLISECONDS), "nothing else arrived");
        });

        System.out.println(passed + " passed, " + failed + " failed");
        System.exit(failed == 0 ? 0 : 1);
    }
}
