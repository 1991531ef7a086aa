package nl.brimel.kbr.ui.core;

/** A jar without the main class. */
public class NotMain {
    public static void main(String[] args) {
        System.out.println("not the main class");
    }
}
