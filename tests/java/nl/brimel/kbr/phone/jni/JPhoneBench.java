package nl.brimel.kbr.phone.jni;

import java.util.Arrays;

/**
 * Measures, through a real JVM: one posted line action from a Java thread until it has run on the
 * loop, and one callback from the loop into Java. Prints its figures; not a test.
 */
public final class JPhoneBench {
    public static void main(String[] args) throws Exception {
        System.loadLibrary("kbrjphone");
        System.loadLibrary("jphonetesthooks");
        int rounds = args.length > 0 ? Integer.parseInt(args[0]) : 100000;
        JPhone phone = new JPhone();
        phone.initialize();
        TestHooks.installProtocol();
        Thread loop = new Thread(phone::processEvents, "jphone-loop");
        loop.setDaemon(true);
        phone.loopThread = loop;
        loop.start();
        if (TestHooks.loopTag() == 0) {
            throw new IllegalStateException("the loop did not start");
        }
        String id = phone.createLineId("bench");
        TestHooks.quiet(true);
        phone.countOnly = true;

        // Posted action, round trip: the export posts, the loop runs it, the line counts it.
        long[] samples = new long[rounds];
        for (int pass = 0; pass < 2; pass++) { // the first pass warms up
            for (int i = 0; i < rounds; i++) {
                long base = TestHooks.operationCount();
                long t0 = System.nanoTime();
                phone.putOnHold(id);
                if (!TestHooks.awaitOperations(base + 1)) {
                    throw new IllegalStateException("the action did not run");
                }
                samples[i] = System.nanoTime() - t0;
            }
        }
        Arrays.sort(samples);
        long sum = 0;
        for (long s : samples) {
            sum += s;
        }
        System.out.printf("posted line action, Java thread to loop: median %.2f us, mean %.2f us, p99 %.2f us (%d rounds)%n",
                          samples[rounds / 2] / 1e3, sum / (double) rounds / 1e3,
                          samples[(int) (rounds * 0.99)] / 1e3, rounds);

        // The posting export alone (the caller's cost), in bursts of 10 so that the queue stays short:
        // posting walks the pending timers.
        long postNs = 0;
        for (int burst = 0; burst < rounds / 10; burst++) {
            long base = TestHooks.operationCount();
            long t0 = System.nanoTime();
            for (int i = 0; i < 10; i++) {
                phone.putOnHold(id);
            }
            postNs += System.nanoTime() - t0;
            TestHooks.awaitOperations(base + 10);
        }
        System.out.printf("posting export putOnHold, caller's side: %.0f ns per call%n",
                          postNs / (double) (rounds / 10 * 10));

        for (int pass = 0; pass < 2; pass++) {
            long ns = TestHooks.timeButtonCallbacks(rounds);
            if (pass == 1) {
                System.out.printf("callback buttonPressed (frame, lookup, call): %.0f ns per call%n",
                                  ns / (double) rounds);
            }
        }
        for (int pass = 0; pass < 2; pass++) {
            long ns = TestHooks.timeLineCallbacks(id, rounds);
            if (pass == 1) {
                System.out.printf("callback lineStateChanged (7 strings, lookup, call): %.0f ns per call%n",
                                  ns / (double) rounds);
            }
        }
        System.exit(0);
    }
}
