package nl.brimel.kbr.ui.core;

/** The main class without a static main(String[]). */
public class Main {
    public void main() {
        System.out.println("not static");
    }
}
