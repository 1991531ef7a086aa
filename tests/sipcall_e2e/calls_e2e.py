#!/usr/bin/env python3
"""End-to-end call flows of the engine against real peers on 127.0.0.1: sipp scenarios as the far end
or as the engine's proxy, and kamailio between two engines. The engine runs in the driver program
(call_driver.cpp), which takes line commands on stdin and reports line states on stdout.

    python3 calls_e2e.py --driver build/bin/sipcall_driver [-k substring] [-j jobs] [--keep]

Prints one line per case and a closing "N passed, N failed"; exits 1 when a case failed.
"""

import argparse
import concurrent.futures
import os
import queue
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import traceback
from pathlib import Path

sys.dont_write_bytecode = True
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "e2e"))
import peers  # noqa: E402

DRIVER = None
CASES = []


def case(fn):
    CASES.append(fn)
    return fn


class Failure(AssertionError):
    pass


def check(cond, message, *results):
    if not cond:
        details = "\n".join(r.describe() for r in results if r is not None)
        raise Failure(message + ("\n" + details if details else ""))


def expect_line(peer, pattern, timeout, timed_out, ended):
    """The first line of a peer (its pending lines first, then its queue; None in the queue means
    it ended) that matches pattern; the others stay pending, every line read goes to its history.
    A Failure with timed_out() or ended() as its text otherwise."""
    regex = re.compile(pattern)
    for i, line in enumerate(peer.pending):
        m = regex.search(line)
        if m:
            del peer.pending[i]
            return m
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise Failure(timed_out())
        try:
            line = peer.lines.get(timeout=left)
        except queue.Empty:
            continue
        if line is None:
            raise Failure(ended())
        peer.history.append(line)
        m = regex.search(line)
        if m:
            return m
        peer.pending.append(line)


class Engine:
    """The driver process: commands in, event lines out (kept in order, matched by regex)."""

    def __init__(self, workdir, name="engine", env_extra=None):
        self.log_path = Path(workdir) / (name + ".log")
        env = dict(os.environ)
        env.setdefault("kbr_sip_level", "2")
        env.update(env_extra or {})
        self.proc = subprocess.Popen([DRIVER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=open(self.log_path, "w"), text=True, bufsize=1, env=env)
        self.lines = queue.Queue()
        self.history = []
        self.pending = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def send(self, command):
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()

    def expect(self, pattern, timeout=10.0, what=None):
        """The first event line (not matched before) that matches pattern; a Failure after timeout."""
        events = lambda: "\n  ".join(self.history[-30:])
        return expect_line(self, pattern, timeout,
                           lambda: "engine: no '%s' (%s) within %.0f s; events:\n  %s\nlog %s" %
                           (pattern, what or "", timeout, events(), self.log_path),
                           lambda: "engine ended; events:\n  %s\nlog %s" % (events(), self.log_path))

    def states(self, line_id):
        self.drain()
        return [int(m.group(1)) for m in (re.match(r"STATE %s (\d+) " % re.escape(line_id), l)
                                          for l in self.history) if m]

    def drain(self):
        while True:
            try:
                line = self.lines.get_nowait()
            except queue.Empty:
                return
            if line is None:
                return
            self.history.append(line)
            self.pending.append(line)

    def register(self, user, password, port, display="Desk"):
        self.send("register %s %s %s %s 127.0.0.1 %d" % (user, display, user, password, port))
        self.expect(r"^REG 1 ", what="registered")

    def new_line(self):
        self.send("line")
        return self.expect(r"^LINE ([0-9a-f]{16})$").group(1)

    def state(self, line_id, state, timeout=10.0, active=None, what=None):
        pattern = r"^STATE %s %d active=%s" % (re.escape(line_id), state, "[01]" if active is None else active)
        return self.expect(pattern, timeout, what=what or "line state %d" % state)

    def stats(self, line_id, timeout=10.0):
        m = self.expect(r"^STATS %s expected=(\d+) lost=(\d+) heard=(\d+)" % re.escape(line_id), timeout)
        return int(m.group(1)), int(m.group(2)), int(m.group(3))

    def quiet_calls(self, timeout=40.0):
        """Waits until no call, line or RTP thread is left; returns the last counts."""
        deadline = time.monotonic() + timeout
        while True:
            self.send("counts")
            m = self.expect(r"^COUNTS dialogs=(\d+) calls=(\d+) lines=(\d+) threads=(\d+)")
            counts = tuple(int(x) for x in m.groups())
            if counts[1] == 0 and counts[2] == 0:
                return counts
            check(time.monotonic() < deadline, "calls or lines left: %s" % m.group(0))
            time.sleep(0.5)

    def close(self):
        try:
            if self.proc.poll() is None:
                self.send("quit")
                self.proc.wait(timeout=5)
        except Exception:
            pass
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=5)


def sipp_server(w, scenario, **kw):
    kw.setdefault("timeout", 40)
    s = peers.Sipp(scenario, role="server", workdir=w, **kw).start()
    check(s.running(), "sipp %s did not start" % scenario)
    return s


def received_first_lines(result):
    return peers.first_lines(result.received())


def with_engine(w, fn, name="engine"):
    e = Engine(w, name)
    try:
        return fn(e)
    finally:
        e.close()


# ---- outgoing calls, sipp as the engine's proxy and far end

@case
def outgoing_call_answered_with_media_both_ways_and_ended_by_the_engine(w):
    s = sipp_server(w, "uas_answer", calls=2, rtp_echo=True, service="1002", params={"ring_ms": 200})

    def run(e):
        e.register("1001", "secret1", s.port)
        before = e.quiet_calls()
        line = e.new_line()
        e.send("dial %s 1002" % line)
        e.state(line, 1)
        e.state(line, 2)
        e.state(line, 6, active=1)
        time.sleep(2.0)
        e.send("hangup " + line)
        expected, lost, heard = e.stats(line)
        e.state(line, 8)
        check(expected > 20, "RTP from the far end counted: expected=%d" % expected)
        check(heard > 20, "the echo heard: %d frames" % heard)
        r = s.wait()
        check(r.ok, "uas_answer", r)
        lines = received_first_lines(r)
        check(any(l.startswith("ACK ") for l in lines) and any(l.startswith("BYE ") for l in lines),
              "ACK and BYE reached the far end: %s" % lines, r)
        after = e.quiet_calls()
        check(after[3] == before[3], "threads before %d, after %d" % (before[3], after[3]))
    with_engine(w, run)


def refused_case(status, reason, tone_state):
    def outgoing_call_refused(w):
        s = sipp_server(w, "uas_busy", calls=2, params={"status": status, "reason": reason})

        def run(e):
            e.register("1001", "secret1", s.port)
            line = e.new_line()
            e.send("dial %s 1002" % line)
            e.state(line, tone_state)
            e.state(line, 9, what="the end tone played")
            e.send("hangup " + line)
            e.state(line, 8)
            r = s.wait()
            check(r.ok, "uas_busy %s" % status, r)
            e.quiet_calls()
        with_engine(w, run)
    outgoing_call_refused.__name__ = "outgoing_call_refused_%s_gives_state_%d" % (status, tone_state)
    return case(outgoing_call_refused)


refused_case("486", "Busy Here", 3)
refused_case("600", "Busy Everywhere", 3)
refused_case("404", "Not Found", 11)


@case
def outgoing_call_challenged_407_is_answered_with_credentials(w):
    s = sipp_server(w, "uas_challenge", calls=2, rtp_echo=True, params={"user": "1001", "talk_ms": 5000})

    def run(e):
        e.register("1001", "secret1", s.port)
        line = e.new_line()
        e.send("dial %s 1002" % line)
        e.state(line, 6)
        e.send("hangup " + line)
        e.state(line, 8)
        r = s.wait()
        check(r.ok, "uas_challenge", r)
        invites = [m for m in r.received() if m.startswith("INVITE ")]
        check(len(invites) >= 2, "INVITE sent again", r)
        check(peers.verify_digest(invites[-1], "secret1"), "Proxy-Authorization digest is right", r)
    with_engine(w, run)


@case
def outgoing_call_with_early_media(w):
    s = sipp_server(w, "uas_early_media", calls=2, rtp_echo=True, params={"early_ms": 1500, "ring_ms": 200})

    def run(e):
        e.register("1001", "secret1", s.port)
        line = e.new_line()
        e.send("dial %s 1002" % line)
        e.state(line, 2)
        e.state(line, 6)
        e.send("hangup " + line)
        expected, _, _ = e.stats(line)
        e.state(line, 8)
        # Silence goes out before the answer, so the echo brings packets but nothing to hear.
        check(expected > 40, "early media received: %d packets" % expected)
        check(e.states(line) == [1, 2, 6, 8], "states %s" % e.states(line))
        r = s.wait()
        check(r.ok, "uas_early_media", r)
    with_engine(w, run)


def cancel_case(delay, wait_state, when):
    def outgoing_call_cancelled(w):
        s = sipp_server(w, "uas_cancel", calls=2, params={"answer_delay_ms": delay})

        def run(e):
            e.register("1001", "secret1", s.port)
            line = e.new_line()
            e.send("dial %s 1002" % line)
            e.state(line, wait_state)
            e.send("hangup " + line)
            e.state(line, 8)
            r = s.wait()
            check(r.ok, "uas_cancel after %d ms" % delay, r)
            e.quiet_calls()
        with_engine(w, run)
    outgoing_call_cancelled.__name__ = "outgoing_call_cancelled_" + when
    return case(outgoing_call_cancelled)


cancel_case(100, 2, "while_ringing")
# Before any provisional response the CANCEL replaces the INVITE's next retransmission.
cancel_case(3000, 1, "before_any_provisional_response")


@case
def outgoing_call_whose_cancel_crosses_the_answer_is_ended_with_bye(w):
    s = sipp_server(w, "uas_cancel_crossing", calls=2, rtp_echo=True)

    def run(e):
        e.register("1001", "secret1", s.port)
        line = e.new_line()
        e.send("dial %s 1002" % line)
        e.state(line, 2)
        e.send("hangup " + line)
        e.state(line, 8)
        r = s.wait()
        check(r.ok, "uas_cancel_crossing", r)
        e.quiet_calls()
    with_engine(w, run)


@case
def far_end_holds_and_resumes(w):
    s = sipp_server(w, "uas_far_hold", calls=2, rtp_echo=True,
                    params={"hold_after_ms": 500, "hold_ms": 500, "talk_ms": 1000})

    def run(e):
        e.register("1001", "secret1", s.port)
        line = e.new_line()
        e.send("dial %s 1002" % line)
        e.state(line, 6)
        e.state(line, 7, timeout=15, what="the far end's BYE")
        e.state(line, 9)
        e.send("hangup " + line)
        e.state(line, 8)
        r = s.wait()
        check(r.ok, "uas_far_hold", r)
        check(e.states(line) == [1, 2, 6, 7, 9, 8], "no line change on the re-INVITEs: %s" % e.states(line))
        e.quiet_calls()
    with_engine(w, run)


def engine_hold_case(answer, hold, resume):
    """The engine holds and resumes a call whose far end answers the INVITE, the hold and the resume
    in the directions given. Its audio reaches the far end while the far end's answer has it receive
    (sendrecv, recvonly) and the call is not on hold; nothing but keep-alives otherwise."""
    def engine_holds_and_resumes(w):
        s = sipp_server(w, "uas_engine_hold", calls=2, rtp_echo=True,
                        params={"answer_dir": answer, "hold_dir": hold, "resume_dir": resume,
                                "talk_ms": 20000})
        # A resume the far end answers without receiving is followed long enough for a keep-alive
        # (every 5 s when no audio went out since the one before).
        resumed_seconds = 3.0 if resume in ("sendrecv", "recvonly") else 8.5
        captures = []

        def run(e):
            e.register("1001", "secret1", s.port)
            capture = open_capture(s.media_port, captures)
            line = e.new_line()
            e.send("dial %s 1002" % line)
            e.state(line, 6, active=1)
            talk = time.monotonic()
            time.sleep(1.5)
            holding = time.monotonic()
            e.send("hold " + line)
            e.state(line, 6, active=0)
            held = time.monotonic()
            time.sleep(1.0)
            # A window ends when the next command goes: the audio that command lets out may come
            # before its line state is read.
            resuming = time.monotonic()
            e.send("activate " + line)
            e.state(line, 6, active=1)
            resumed = time.monotonic()
            time.sleep(resumed_seconds)
            end = time.monotonic()
            e.send("hangup " + line)
            e.state(line, 8)
            r = s.wait()
            check(r.ok, "uas_engine_hold", r)
            check(e.states(line) == [1, 2, 6, 6, 6, 8], "line states as on any hold: %s" % e.states(line))
            if capture:
                # Each answer takes effect as it arrives, before the line state is reported; the
                # windows start 0.3 s later all the same, for the threads' turns on a busy machine.
                windows = [("talking", answer, talk, holding), ("held", "inactive", held, resuming),
                           ("resumed", resume, resumed, end)]
                counts = [(name, capture.rtp(start + 0.3, stop)) for name, _, start, stop in windows]
                print("note: engine RTP to sipp answering %s/%s/%s (audio, keep-alives): %s" %
                      (answer, hold, resume, counts), flush=True)
                for (name, direction, start, stop), (_, (audio, _)) in zip(windows, counts):
                    if direction in ("sendrecv", "recvonly"):
                        check(audio > 25 * (stop - start - 0.3),
                              "audio went out %s: %d packets" % (name, audio))
                    else:
                        check(audio == 0, "no audio %s, answered %s: %d packets" % (name, direction, audio))
                if resumed_seconds > 5:
                    check(counts[2][1][1] >= 1, "the keep-alives stay: %s" % (counts,))
            e.quiet_calls()
        try:
            with_engine(w, run)
        finally:
            for capture in captures:
                capture.close()
    if (answer, hold, resume) != ("sendrecv", "recvonly", "sendrecv"):
        engine_holds_and_resumes.__name__ = "engine_holds_and_resumes_answered_%s_%s_%s" % (answer, hold, resume)
    return case(engine_holds_and_resumes)


engine_hold_case("sendrecv", "recvonly", "sendrecv")
engine_hold_case("sendrecv", "recvonly", "inactive")
engine_hold_case("sendrecv", "recvonly", "sendonly")
engine_hold_case("sendonly", "inactive", "sendrecv")


def transfer_case(final, ends):
    def blind_transfer(w):
        s = sipp_server(w, "uas_refer", calls=2, rtp_echo=True,
                        params={"final": final, "refer_to": "sip:1003@127[.]0[.]0[.]1", "talk_ms": 1000})

        def run(e):
            e.register("1001", "secret1", s.port)
            line = e.new_line()
            e.send("dial %s 1002" % line)
            e.state(line, 6)
            e.send("blind %s 1003" % line)
            if ends:
                e.state(line, 8, what="the transferring leg ends")
            else:
                e.state(line, 7, timeout=15, what="the call stays until the far end's BYE")
                e.send("hangup " + line)
                e.state(line, 8)
            r = s.wait()
            check(r.ok, "uas_refer %s" % final, r)
            e.quiet_calls()
        with_engine(w, run)
    blind_transfer.__name__ = "blind_transfer_notified_" + final.split()[0]
    return case(blind_transfer)


transfer_case("200 OK", True)
transfer_case("603 Declined", False)


# ---- incoming calls, sipp as the engine's proxy and caller

@case
def incoming_call_answered_with_the_proxys_line_id(w):
    s = sipp_server(w, "proxy_call", rtp_echo=True,
                    params={"headers": "X-Brimel-id: line-7\nX-Brimel-CallType: internal\nP-Brimel-Wrap-Up-Time: 20",
                            "talk_ms": 5000})

    def run(e):
        e.register("1001", "secret1", s.port)
        m = e.state("line-7", 5, timeout=15)
        check("internal=1 wrapup=20" in m.string, "identity headers: %s" % m.string)
        e.send("ring line-7")
        e.send("answer line-7")
        e.state("line-7", 6, active=1)
        time.sleep(2.0)
        e.send("hangup line-7")
        expected, _, heard = e.stats("line-7")
        e.state("line-7", 8)
        check(expected > 20 and heard > 20, "media both ways: expected=%d heard=%d" % (expected, heard))
        r = s.wait()
        check(r.ok, "proxy_call", r)
        sent = peers.first_lines(r.received())
        check("SIP/2.0 180 ringing" in sent and "SIP/2.0 200 OK" in sent, "180 and 200: %s" % sent, r)
        e.quiet_calls()
    with_engine(w, run)


def incoming_refusal_case(command, reason):
    def incoming_call_refused(w):
        s = sipp_server(w, "proxy_call", params={"headers": "X-Brimel-id: line-r"})

        def run(e):
            e.register("1001", "secret1", s.port)
            e.state("line-r", 5, timeout=15)
            e.send("%s line-r" % command)
            e.state("line-r", 8)
            r = s.wait()
            answers = peers.first_lines(r.received())
            check("SIP/2.0 486 %s" % reason in answers, "486 %s: %s" % (reason, answers), r)
            e.quiet_calls()
        with_engine(w, run)
    incoming_call_refused.__name__ = "incoming_call_refused_by_" + command
    return case(incoming_call_refused)


incoming_refusal_case("busy", "busy")
incoming_refusal_case("reject", "user unable to answer")


def answered_call_stays_up_until_hung_up(e, s, line, scenario, seconds):
    """Answers the proxy's call on line, checks it is still up after seconds, hangs up and returns
    the proxy's result."""
    e.register("1001", "secret1", s.port)
    e.state(line, 5, timeout=15)
    e.send("answer " + line)
    e.state(line, 6)
    time.sleep(seconds)
    check(e.states(line) == [5, 6], "the call stays up: %s" % e.states(line))
    e.send("hangup " + line)
    e.state(line, 8)
    r = s.wait()
    check(r.ok, scenario, r)
    return r


@case
def incoming_cancel_after_the_answer_is_absorbed(w):
    s = sipp_server(w, "proxy_cancel_after_200", rtp_echo=True, params={"headers": "X-Brimel-id: line-c"})

    def run(e):
        answered_call_stays_up_until_hung_up(e, s, "line-c", "proxy_cancel_after_200", 1.5)
    with_engine(w, run)


# ---- two engines through kamailio

@case
def call_between_two_engines_through_kamailio(w):
    with peers.Kamailio(workdir=w) as k:
        a = Engine(w, "engine-a")
        b = Engine(w, "engine-b")
        try:
            a.register("1001", "secret1", k.port)
            b.register("1002", "secret2", k.port)
            line = a.new_line()
            a.send("dial %s 1002" % line)
            incoming = b.expect(r"^STATE (\S+) 5 ", timeout=15).group(1)
            b.send("answer " + incoming)
            b.state(incoming, 6)
            a.state(line, 6)
            time.sleep(2.0)
            a.send("hangup " + line)
            a_expected, _, a_heard = a.stats(line)
            a.state(line, 8)
            b.state(incoming, 7)
            b.send("hangup " + incoming)
            b_expected, _, b_heard = b.stats(incoming)
            b.state(incoming, 8)
            check(a_expected > 20 and b_expected > 20, "RTP both ways: %d, %d" % (a_expected, b_expected))
            check(a_heard > 20 and b_heard > 20, "each heard the other: %d, %d" % (a_heard, b_heard))
            a.quiet_calls()
            b.quiet_calls()
        finally:
            a.close()
            b.close()


# ---- calls that lose their ACK, never get an answer, or carry requests the engine does not serve

@case
def incoming_call_whose_ack_is_lost_is_ended_with_bye(w):
    s = sipp_server(w, "proxy_call_no_ack", timeout=60, params={"headers": "X-Brimel-id: line-n"})

    def run(e):
        e.register("1001", "secret1", s.port)
        e.state("line-n", 5, timeout=15)
        e.send("answer line-n")
        e.state("line-n", 6)
        e.state("line-n", 7, timeout=40, what="the call ended when no ACK came")
        e.send("hangup line-n")
        e.state("line-n", 8)
        r = s.wait()
        check(r.ok, "proxy_call_no_ack", r)
        e.quiet_calls()
    with_engine(w, run)


@case
def outgoing_invite_never_answered_fails(w):
    s = sipp_server(w, "uas_no_answer", calls=2, timeout=60, params={"silent_ms": 36000})

    def run(e):
        e.register("1001", "secret1", s.port)
        line = e.new_line()
        e.send("dial %s 1002" % line)
        e.state(line, 1)
        e.state(line, 11, timeout=40, what="the call failed after the INVITE's time-out")
        e.send("hangup " + line)
        e.state(line, 8)
        check(e.states(line) == [1, 11, 8], "states %s" % e.states(line))
        r = s.wait()
        # Each retransmission is timed from the send before it (0.5 s, doubling up to 4 s): 11 sends
        # within 31.5 s where every timer fires on time. A send that a busy machine makes late moves the
        # ones after it, and the one then due after the time-out is not made. So: never more than 11, and
        # none missing that was due before the 32 s.
        sent = r.received_times("INVITE")
        last = sent[-1] - sent[0] if sent else 0.0
        next_due = last + min(0.5 * 2 ** (len(sent) - 1), 4.0)
        print("note: INVITE sent %d times, the last %.2f s after the first" % (len(sent), last), flush=True)
        check(1 <= len(sent) <= 11, "INVITE sent at most 11 times: %d" % len(sent), r)
        check(next_due > 31.75, "every INVITE due before the 32 s time-out was sent: %d sent, the next due at "
              "%.2f s" % (len(sent), next_due), r)
        e.quiet_calls()
    with_engine(w, run)


@case
def options_and_info_inside_a_call_are_answered(w):
    s = sipp_server(w, "proxy_call_in_dialog", rtp_echo=True,
                    params={"headers": "X-Brimel-id: line-i", "talk_ms": 8000})

    def run(e):
        r = answered_call_stays_up_until_hung_up(e, s, "line-i", "proxy_call_in_dialog", 2.0)
        answers = peers.first_lines(r.received())
        check("SIP/2.0 501 Not Implemented" in answers, "INFO answered 501: %s" % answers, r)
        e.quiet_calls()
    with_engine(w, run)


# ---- two engines through the stock kamailio (record_route, loose_route)

def two_engines(w, k):
    a = Engine(w, "engine-a")
    b = Engine(w, "engine-b")
    a.register("1001", "secret1", k.port)
    b.register("1002", "secret2", k.port)
    line = a.new_line()
    a.send("dial %s 1002" % line)
    incoming = b.expect(r"^STATE (\S+) 5 ", timeout=15).group(1)
    b.send("answer " + incoming)
    b.state(incoming, 6)
    a.state(line, 6)
    return a, b, line, incoming


def acks_confirmed(engine):
    return engine.log_path.read_text(errors="replace").count("received ack, state changed to confirmed")


@case
def callee_ends_a_call_between_two_engines_through_kamailio(w):
    with peers.Kamailio(workdir=w) as k:
        a = b = None
        try:
            a, b, line, incoming = two_engines(w, k)
            time.sleep(1.0)
            b.send("hangup " + incoming)
            b.state(incoming, 8)
            a.state(line, 7, what="the callee's BYE came along the route set")
            a.send("hangup " + line)
            a.state(line, 8)
            a.quiet_calls()
            b.quiet_calls()
        finally:
            for e in (a, b):
                if e:
                    e.close()


@case
def quick_hold_and_resume_then_transfer_through_kamailio_acknowledge_every_200(w):
    with peers.Kamailio(workdir=w) as k:
        a = b = None
        try:
            a, b, line, incoming = two_engines(w, k)
            # The resume is asked for before the hold is answered: it waits for it.
            a.send("hold " + line)
            a.send("activate " + line)
            a.state(line, 6, active=0)
            a.state(line, 6, active=1)
            time.sleep(1.0)
            # The callee holds and then transfers at once: the far end refuses the REFER, and the
            # hold's 200 is acknowledged all the same.
            b.send("hold " + incoming)
            b.send("blind %s 1003" % incoming)
            time.sleep(2.0)
            check(acks_confirmed(b) >= 3, "the callee saw the ACK of its 200 and of both re-INVITEs: %d" %
                  acks_confirmed(b))
            check(acks_confirmed(a) >= 1, "the caller saw the ACK of the hold's 200: %d" % acks_confirmed(a))
            check(a.states(line)[-1] == 6 and b.states(incoming)[-1] == 6, "both calls up: %s %s" %
                  (a.states(line), b.states(incoming)))
            a.send("hangup " + line)
            a.state(line, 8)
            b.state(incoming, 7, what="the caller's BYE came along the route set")
            b.send("hangup " + incoming)
            b.state(incoming, 8)
            log = a.log_path.read_text(errors="replace") + b.log_path.read_text(errors="replace")
            check("no ACK for our 200" not in log, "a 200 went unacknowledged")
            a.quiet_calls()
            b.quiet_calls()
        finally:
            for e in (a, b):
                if e:
                    e.close()


# ---- baresip, a stock user agent, through the stock kamailio

class Baresip:
    """baresip registered at kamailio as 1002 (answering automatically), driven by menu commands on
    its standard input; its output lines are kept for matching, like the engine's."""

    def __init__(self, workdir, proxy_port, user="1002", password="secret2"):
        folder = Path(workdir) / "baresip"
        folder.mkdir()
        sip_port = peers.free_udp_port()
        (folder / "config").write_text(
            "poll_method epoll\n"
            "sip_listen 127.0.0.1:%d\n"
            "net_interface 127.0.0.1\n"
            "audio_player alsa,null\n"
            "audio_source alsa,null\n"
            "audio_alert alsa,null\n"
            "rtp_ports 30000-39998\n"
            "module_path /usr/lib/baresip/modules\n"
            "module stdio.so\n"
            "module g711.so\n"
            "module alsa.so\n"
            "module_app account.so\n"
            "module_app menu.so\n" % sip_port)
        (folder / "accounts").write_text(
            '<sip:%s@127.0.0.1>;auth_pass=%s;outbound="sip:127.0.0.1:%d";regint=600;answermode=auto\n' %
            (user, password, proxy_port))
        (folder / "contacts").write_text("")
        self.log_path = Path(workdir) / "baresip.log"
        self.log = open(self.log_path, "w")
        self.proc = subprocess.Popen(["baresip", "-f", str(folder)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, bufsize=1,
                                     start_new_session=True)
        self.lines = queue.Queue()
        self.history = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.log.write(line)
            self.log.flush()
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def command(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def expect(self, pattern, timeout=10.0, what=None):
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure("baresip: no '%s' (%s) within %.0f s; log %s" % (pattern, what or "", timeout,
                                                                           self.log_path))
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                continue
            if line is None:
                raise Failure("baresip ended; log %s" % self.log_path)
            self.history.append(line)
            m = regex.search(line)
            if m:
                return m

    def close(self):
        try:
            if self.proc.poll() is None:
                self.command("/quit")
                self.proc.wait(timeout=5)
        except Exception:
            pass
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, 9)
            self.proc.wait(timeout=5)
        self.log.close()


def with_baresip(w, fn, engine_env=None):
    with peers.Kamailio(workdir=w) as k:
        e = Engine(w, env_extra=engine_env)
        b = Baresip(w, k.port)
        try:
            b.expect(r"200 OK", timeout=10, what="registered")
            e.register("1001", "secret1", k.port)
            fn(e, b, k)
            said = b.log_path.read_text(errors="replace")
            check(not re.search(r"\b(404|408|481)\b", said), "baresip saw a request refused or lost: %s" %
                  b.log_path)
        finally:
            b.close()
            e.close()


@case
def baresip_calls_the_engine_through_kamailio_and_hangs_up(w):
    def run(e, b, k):
        b.command("/dial sip:1001@127.0.0.1")
        incoming = e.expect(r"^STATE (\S+) 5 ", timeout=15).group(1)
        e.send("answer " + incoming)
        e.state(incoming, 6)
        b.expect(r"[Cc]all established", what="baresip got the engine's 200")
        time.sleep(1.0)
        b.command("/hangup")
        e.state(incoming, 7, timeout=10, what="baresip's BYE came along the route set")
        e.send("hangup " + incoming)
        e.state(incoming, 8)
        e.quiet_calls()
    with_baresip(w, run)


@case
def engine_calls_baresip_through_kamailio_and_hangs_up(w):
    def run(e, b, k):
        line = e.new_line()
        e.send("dial %s 1002" % line)
        e.state(line, 6, timeout=15, what="baresip answered")
        b.expect(r"[Cc]all established", what="the engine's ACK reached baresip")
        time.sleep(1.0)
        e.send("hangup " + line)
        e.state(line, 8)
        b.expect(r"terminated|closed", what="the engine's BYE reached baresip")
        e.quiet_calls()
    with_baresip(w, run)


@case
def baresip_calls_the_engine_through_kamailio_which_holds_and_refuses_a_transfer(w):
    def run(e, b, k):
        b.command("/dial sip:1001@127.0.0.1")
        incoming = e.expect(r"^STATE (\S+) 5 ", timeout=15).group(1)
        e.send("answer " + incoming)
        e.state(incoming, 6)
        b.expect(r"[Cc]all established", what="baresip got the engine's 200")
        # The engine holds and resumes along the route set; baresip answers both re-INVITEs.
        e.send("hold " + incoming)
        e.send("activate " + incoming)
        e.state(incoming, 6, active=0)
        e.state(incoming, 6, active=1)
        time.sleep(1.0)
        # A transfer asked by baresip is answered at once (the engine does not serve it, instead of
        # leaving the proxy to answer 408 after 10 s); baresip then ends the call itself.
        b.command("/transfer sip:1003@127.0.0.1")
        b.expect(r"transfer failed: 501", timeout=3, what="the REFER answered at once")
        e.state(incoming, 7, timeout=5, what="baresip's BYE came along the route set")
        e.send("hangup " + incoming)
        e.state(incoming, 8)
        log = e.log_path.read_text(errors="replace")
        check("no ACK for our 200" not in log, "a 200 went unacknowledged")
        e.quiet_calls()
    with_baresip(w, run)


class UdpCapture:
    """UDP datagrams to one port of the loopback interface as they cross it (a raw packet socket,
    which takes CAP_NET_RAW, with a kernel filter so that nothing else of the machine's loopback
    traffic is queued): (arrival time, payload) of each, read in a thread. The arrival time is the
    kernel's, on the monotonic clock's scale: a reader thread that gets its turn late on a busy
    machine does not move a packet into a later window."""

    def __init__(self, port):
        import ctypes
        import socket
        import struct
        # udp and dst port <port> on an Ethernet-framed IPv4 packet, fragments left out
        program = [(0x28, 0, 0, 12), (0x15, 0, 8, 0x0800), (0x30, 0, 0, 23), (0x15, 0, 6, 17),
                   (0x28, 0, 0, 20), (0x45, 4, 0, 0x1FFF), (0xB1, 0, 0, 14), (0x48, 0, 0, 16),
                   (0x15, 0, 1, port), (0x06, 0, 0, 0xFFFF), (0x06, 0, 0, 0)]
        code = b"".join(struct.pack("HBBI", *i) for i in program)
        self._code = ctypes.create_string_buffer(code)
        fprog = struct.pack("HL", len(program), ctypes.addressof(self._code))
        # Opened for no protocol, filtered, and only then bound to all protocols of lo: nothing
        # arrives unfiltered.
        self.sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, 0)
        self.sock.setsockopt(socket.SOL_SOCKET, 26, fprog)  # SO_ATTACH_FILTER
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        self.sock.setsockopt(socket.SOL_SOCKET, 35, 1)  # SO_TIMESTAMPNS
        self.sock.bind(("lo", 0x0003))  # ETH_P_ALL
        self.sock.settimeout(0.2)
        self.packets = []
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        import socket
        import struct
        while self.running:
            try:
                frame, ancillary, _, address = self.sock.recvmsg(65535, socket.CMSG_SPACE(16))
            except socket.timeout:
                continue
            except OSError:
                return
            if address[2] == socket.PACKET_OUTGOING:
                continue  # each loopback datagram is seen going out and coming in: counted once
            at = time.monotonic()
            for level, kind, data in ancillary:
                if level == socket.SOL_SOCKET and kind == 35 and len(data) >= 16:  # SCM_TIMESTAMPNS
                    seconds, nanoseconds = struct.unpack("qq", data[:16])
                    # The kernel stamps on the wall clock: moved onto the monotonic one.
                    at = seconds + nanoseconds / 1e9 - (time.time() - time.monotonic())
            ip = frame[14:]
            udp = ip[(ip[0] & 0x0F) * 4:]
            with self.lock:
                self.packets.append((at, bytes(udp[8:])))

    def close(self):
        self.running = False
        self.thread.join(timeout=2)
        self.sock.close()

    def rtp(self, start, end):
        """RTP version 2 datagrams between two times: (audio packets, keep-alives)."""
        with self.lock:
            chosen = [p for (at, p) in self.packets if start <= at < end]
        rtp = [p for p in chosen if len(p) >= 12 and p[0] >> 6 == 2]
        return sum(1 for p in rtp if len(p) > 13), sum(1 for p in rtp if len(p) == 13)


def open_capture(port, captures):
    """A UdpCapture of the port, added to captures (the caller closes them); None, with a note, where
    the test may not open a raw packet socket."""
    try:
        capture = UdpCapture(port)
    except OSError as error:
        print("note: no raw packet socket (%s): the engine's RTP is not counted on the wire" % error, flush=True)
        return None
    captures.append(capture)
    return capture


@case
def baresip_holds_and_resumes_the_engine_whose_rtp_stops_and_starts_with_it(w):
    captures = []

    def run(e, b, k):
        b.command("/dial sip:1001@127.0.0.1")
        incoming = e.expect(r"^STATE (\S+) 5 ", timeout=15).group(1)
        e.send("answer " + incoming)
        e.state(incoming, 6)
        b.expect(r"[Cc]all established", what="baresip got the engine's 200")
        m = re.search(r"Start session with 127\.0\.0\.1:(\d+)", e.log_path.read_text(errors="replace"))
        check(m, "the engine's media started towards baresip (log %s)" % e.log_path)
        port = int(m.group(1))
        capture = open_capture(port, captures)
        talk = time.monotonic()
        time.sleep(1.5)
        b.command("/hold")
        held = time.monotonic()
        time.sleep(2.5)
        # Taken before the command: the audio it lets out may come before the command returns.
        resumed = time.monotonic()
        b.command("/resume")
        time.sleep(1.5)
        end = time.monotonic()
        b.command("/hangup")
        e.state(incoming, 7, timeout=10, what="baresip's BYE came along the route set")
        e.send("hangup " + incoming)
        e.state(incoming, 8)
        if capture:
            # The re-INVITEs take a few milliseconds through kamailio: half a second of margin.
            before = capture.rtp(talk, held)
            during = capture.rtp(held + 0.5, resumed)
            after = capture.rtp(resumed + 0.5, end)
            print("note: engine RTP to baresip (audio, keep-alives): talking %s, held %s, resumed %s" %
                  (before, during, after), flush=True)
            check(before[0] > 50, "audio went out before the hold: %s" % (before,))
            check(during[0] == 0, "no audio while baresip holds the call: %s" % (during,))
            check(after[0] > 40, "audio went out again after the resume: %s" % (after,))
        log = e.log_path.read_text(errors="replace")
        check("not sending audio on rtp session" in log and "sending audio on rtp session" in log,
              "the hold and the resume reached the engine's media (log %s)" % e.log_path)
        e.quiet_calls()
    try:
        with_baresip(w, run, engine_env={"kbr_rtp_level": "2"})
    finally:
        for capture in captures:
            capture.close()


def run_cases(cases, args, prefix):
    """Runs the cases whose names hold args.k, args.j at a time, each in a work folder of its own;
    prints a line per case and the closing count, and returns the exit status."""
    root = Path(tempfile.mkdtemp(prefix=prefix))
    selected = [c for c in cases if args.k in c.__name__]

    def run(fn):
        w = root / fn.__name__
        w.mkdir()
        start = time.monotonic()
        try:
            fn(w)
            return fn.__name__, None, time.monotonic() - start
        except Exception as e:
            detail = str(e) if isinstance(e, Failure) else traceback.format_exc()
            return fn.__name__, detail, time.monotonic() - start

    passed = failed = 0
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.j)) as pool:
        for name, error, seconds in pool.map(run, selected):
            if error is None:
                passed += 1
                print("ok   %-75s %5.1f s" % (name, seconds), flush=True)
            else:
                failed += 1
                print("FAIL %-75s %5.1f s\n%s" % (name, seconds, error), flush=True)
    peers.stop_all()
    if failed == 0 and not args.keep:
        shutil.rmtree(root, ignore_errors=True)
    else:
        print("work folders kept in %s" % root)
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


def parse_args():
    """The options of an end-to-end script (--driver, -k, -j, --keep); sets the driver to run."""
    global DRIVER
    ap = argparse.ArgumentParser()
    ap.add_argument("--driver", required=True)
    ap.add_argument("-k", default="")
    ap.add_argument("-j", type=int, default=1)
    ap.add_argument("--keep", action="store_true")
    args = ap.parse_args()
    DRIVER = os.path.abspath(args.driver)
    return args


def main():
    return run_cases(CASES, parse_args(), "kbr-calls-")


if __name__ == "__main__":
    sys.exit(main())
