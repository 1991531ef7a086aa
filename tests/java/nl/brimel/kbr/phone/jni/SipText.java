package nl.brimel.kbr.phone.jni;

import java.nio.charset.StandardCharsets;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.time.LocalDateTime;
import java.time.ZoneOffset;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Locale;
import java.util.Map;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * Reading what a sipp peer saw: its messages log, headers, and digest credentials checked against a
 * password.
 */
public final class SipText {
    private SipText() {}

    // sipp writes a separator line with the time, then "UDP message received [N] bytes :" and a blank line.
    private static final Pattern SEPARATOR = Pattern.compile(
        "^-{20,} (.*)\\n(?:UDP|TCP) (?:control )?message (received|sent) (?:\\[\\d+\\] bytes ?|\\(\\d+ bytes\\) ?):\\n\\n",
        Pattern.MULTILINE);

    /** The messages of that kind, each with the time on its separator line: {"2026-12-11 09:08:55.658959", text}. */
    private static List<String[]> logged(String log, String kind) {
        List<String[]> out = new ArrayList<>();
        String text = log.replace("\r\n", "\n");
        Matcher m = SEPARATOR.matcher(text);
        int bodyStart = -1;
        String bodyKind = null;
        String bodyTime = null;
        while (m.find()) {
            if (bodyStart >= 0 && kind.equals(bodyKind)) {
                out.add(new String[] {bodyTime, text.substring(bodyStart, m.start()).trim()});
            }
            bodyStart = m.end();
            bodyTime = m.group(1).trim();
            bodyKind = m.group(2);
        }
        if (bodyStart >= 0 && kind.equals(bodyKind)) {
            out.add(new String[] {bodyTime, text.substring(bodyStart).trim()});
        }
        return out;
    }

    /** The messages of a sipp messages log that sipp received (kind "received") or sent, oldest first. */
    public static List<String> messages(String log, String kind) {
        List<String> out = new ArrayList<>();
        for (String[] l : logged(log, kind)) {
            out.add(l[1]);
        }
        return out;
    }

    /** The received requests of that method. */
    public static List<String> requests(String log, String method) {
        List<String> out = new ArrayList<>();
        for (String m : messages(log, "received")) {
            if (m.startsWith(method + " ")) {
                out.add(m);
            }
        }
        return out;
    }

    /** When sipp received each request of that method, in seconds on its clock, oldest first. */
    public static List<Double> requestTimes(String log, String method) {
        List<Double> out = new ArrayList<>();
        for (String[] l : logged(log, "received")) {
            if (l[1].startsWith(method + " ")) {
                LocalDateTime t = LocalDateTime.parse(l[0].replace(' ', 'T'));
                out.add(t.toEpochSecond(ZoneOffset.UTC) + t.getNano() / 1e9);
            }
        }
        return out;
    }

    /** The value of the first header of that name (case-insensitive), or null. */
    public static String header(String message, String name) {
        Matcher m = Pattern
                        .compile("^" + Pattern.quote(name) + "[ \\t]*:[ \\t]*(.*)$",
                                 Pattern.MULTILINE | Pattern.CASE_INSENSITIVE)
                        .matcher(message);
        return m.find() ? m.group(1).trim() : null;
    }

    /** The leading number of the CSeq header, or -1. */
    public static long cseq(String message) {
        String v = header(message, "CSeq");
        if (v == null) {
            return -1;
        }
        Matcher m = Pattern.compile("^(\\d+)").matcher(v);
        return m.find() ? Long.parseLong(m.group(1)) : -1;
    }

    /** The parameters of a Digest challenge or credentials value, names in lower case. */
    public static Map<String, String> digestParameters(String value) {
        Map<String, String> out = new HashMap<>();
        String v = value.trim();
        if (v.regionMatches(true, 0, "Digest", 0, 6)) {
            v = v.substring(6);
        }
        Matcher m = Pattern.compile("(\\w+)\\s*=\\s*(\"[^\"]*\"|[^,\\s]+)").matcher(v);
        while (m.find()) {
            String val = m.group(2);
            if (val.startsWith("\"")) {
                val = val.substring(1, val.length() - 1);
            }
            out.put(m.group(1).toLowerCase(Locale.ROOT), val);
        }
        return out;
    }

    static String md5(String text) {
        try {
            byte[] d = MessageDigest.getInstance("MD5").digest(text.getBytes(StandardCharsets.UTF_8));
            StringBuilder sb = new StringBuilder();
            for (byte b : d) {
                sb.append(String.format("%02x", b & 0xff));
            }
            return sb.toString();
        } catch (NoSuchAlgorithmException e) {
            throw new IllegalStateException(e);
        }
    }

    /**
     * True when the request carries credentials in the named header whose digest response was made
     * with this password for the request's method (RFC 2617, with or without qop).
     */
    public static boolean digestVerifies(String request, String headerName, String password) {
        String value = header(request, headerName);
        if (value == null) {
            return false;
        }
        Map<String, String> p = digestParameters(value);
        for (String k : new String[] {"username", "realm", "nonce", "uri", "response"}) {
            if (!p.containsKey(k)) {
                return false;
            }
        }
        String method = request.substring(0, request.indexOf(' '));
        String ha1 = md5(p.get("username") + ":" + p.get("realm") + ":" + password);
        String ha2 = md5(method + ":" + p.get("uri"));
        String expected = p.containsKey("qop") ? md5(ha1 + ":" + p.get("nonce") + ":" + p.get("nc") + ":" +
                                                     p.get("cnonce") + ":" + p.get("qop") + ":" + ha2)
                                               : md5(ha1 + ":" + p.get("nonce") + ":" + ha2);
        return expected.equalsIgnoreCase(p.get("response"));
    }
}
