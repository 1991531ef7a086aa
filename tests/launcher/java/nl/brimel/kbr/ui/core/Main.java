package nl.brimel.kbr.ui.core;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;

/** Stands in for the application's main class: prints what the launcher handed it. */
public class Main {
    /** Non-ASCII characters as \\uXXXX, so the output does not depend on the console's encoding. */
    static String escape(String s) {
        StringBuilder b = new StringBuilder();
        for (int i = 0; i < s.length(); i++) {
            char c = s.charAt(i);
            if (c < 0x20 || c > 0x7e || c == '\\') {
                b.append(String.format("\\u%04x", (int) c));
            } else {
                b.append(c);
            }
        }
        return b.toString();
    }

    public static void main(String[] args) {
        List<String> names = new ArrayList<>();
        for (String name : System.getProperties().stringPropertyNames()) {
            if (name.startsWith("kbr.") || name.startsWith("test.")) {
                names.add(name);
            }
        }
        Collections.sort(names);
        for (String name : names) {
            System.out.println("prop " + name + "=[" + escape(System.getProperty(name)) + "]");
        }
        System.out.println("prop java.class.path=[" + escape(System.getProperty("java.class.path")) + "]");
        System.out.println("prop java.library.path=[" + escape(System.getProperty("java.library.path")) + "]");
        System.out.println("prop user.dir=[" + escape(System.getProperty("user.dir")) + "]");
        System.out.println("args " + args.length);
        for (int i = 0; i < args.length; i++) {
            System.out.println("arg " + i + "=[" + escape(args[i]) + "]");
        }
        String mode = System.getProperty("test.mode", "exit");
        System.out.flush();
        if (mode.equals("throw")) {
            throw new IllegalStateException("main failed on purpose");
        }
        if (mode.equals("return")) {
            System.out.println("main returns");
            return;
        }
        System.exit(0);
    }
}
