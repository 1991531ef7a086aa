package nl.brimel.kbr.ui.core;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.LinkedHashMap;
import java.util.Locale;
import java.util.Map;

/** Reads and writes the user's registry file, so that tests can prepare and check it. */
final class RegistryFile {
    static final class Value {
        String name;
        int type;
        byte[] data;
    }

    private final Map<String, String> keys = new LinkedHashMap<>();
    private final Map<String, Map<String, Value>> values = new LinkedHashMap<>();

    static RegistryFile load(Path file) throws IOException {
        RegistryFile r = new RegistryFile();
        if (!Files.exists(file)) {
            return r;
        }
        String text = new String(Files.readAllBytes(file), StandardCharsets.ISO_8859_1);
        String current = null;
        for (String line : text.split("\n")) {
            String[] f = line.split(" ", -1);
            if (f[0].equals("K")) {
                current = unescape(f[1]);
                r.addKey(current);
            } else if (f[0].equals("V")) {
                Value v = new Value();
                v.name = unescape(f[1]);
                v.type = Integer.parseInt(f[2]);
                v.data = f[3].equals("-") ? new byte[0] : hex(f[3]);
                r.values.get(current.toLowerCase(Locale.ROOT)).put(v.name.toLowerCase(Locale.ROOT), v);
            }
        }
        return r;
    }

    void save(Path file) throws IOException {
        StringBuilder s = new StringBuilder("kbr-registry 1\n");
        for (Map.Entry<String, String> k : keys.entrySet()) {
            s.append("K ").append(escape(k.getValue())).append('\n');
            for (Value v : values.get(k.getKey()).values()) {
                s.append("V ").append(escape(v.name)).append(' ').append(v.type).append(' ');
                if (v.data.length == 0) {
                    s.append('-');
                }
                for (byte b : v.data) {
                    s.append(String.format("%02x", b & 0xff));
                }
                s.append('\n');
            }
        }
        byte[] body = s.toString().getBytes(StandardCharsets.ISO_8859_1);
        long h = 0xcbf29ce484222325L;
        for (byte b : body) {
            h = (h ^ (b & 0xff)) * 0x100000001b3L;
        }
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        out.write(body);
        out.write(String.format("end %016x\n", h).getBytes(StandardCharsets.ISO_8859_1));
        Files.write(file, out.toByteArray());
    }

    void addKey(String path) {
        String p = "";
        for (String part : path.isEmpty() ? new String[0] : path.split("\\\\")) {
            p = p.isEmpty() ? part : p + "\\" + part;
            keys.putIfAbsent(p.toLowerCase(Locale.ROOT), p);
            values.putIfAbsent(p.toLowerCase(Locale.ROOT), new LinkedHashMap<>());
        }
        keys.putIfAbsent("", "");
        values.putIfAbsent("", new LinkedHashMap<>());
    }

    void setText(String path, String name, String text) {
        addKey(path);
        Value v = new Value();
        v.name = name;
        v.type = 1;
        v.data = (text + "\0").getBytes(StandardCharsets.UTF_16LE);
        values.get(path.toLowerCase(Locale.ROOT)).put(name.toLowerCase(Locale.ROOT), v);
    }

    boolean hasKey(String path) {
        return keys.containsKey(path.toLowerCase(Locale.ROOT));
    }

    /** The value as "type:text" (text values) or "type:number" (DWORD); null when missing. */
    String get(String path, String name) {
        Map<String, Value> m = values.get(path.toLowerCase(Locale.ROOT));
        Value v = m == null ? null : m.get(name.toLowerCase(Locale.ROOT));
        if (v == null) {
            return null;
        }
        if (v.type == 4) {
            return "4:" + ((v.data[0] & 0xff) | (v.data[1] & 0xff) << 8 | (v.data[2] & 0xff) << 16 | (v.data[3] & 0xff) << 24);
        }
        String t = new String(v.data, StandardCharsets.UTF_16LE);
        if (t.endsWith("\0")) {
            t = t.substring(0, t.length() - 1);
        }
        return v.type + ":" + t;
    }

    private static String escape(String s) {
        StringBuilder out = new StringBuilder(":");
        for (byte b : s.getBytes(StandardCharsets.UTF_8)) {
            int c = b & 0xff;
            if (c <= 0x20 || c >= 0x7f || c == '%') {
                out.append(String.format("%%%02X", c));
            } else {
                out.append((char) c);
            }
        }
        return out.toString();
    }

    private static String unescape(String s) {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        for (int i = 1; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c == '%') {
                out.write(Integer.parseInt(s.substring(i + 1, i + 3), 16));
                i += 2;
            } else {
                out.write(c);
            }
        }
        return new String(out.toByteArray(), StandardCharsets.UTF_8);
    }

    private static byte[] hex(String s) {
        byte[] out = new byte[s.length() / 2];
        for (int i = 0; i < out.length; i++) {
            out[i] = (byte) Integer.parseInt(s.substring(2 * i, 2 * i + 2), 16);
        }
        return out;
    }
}
