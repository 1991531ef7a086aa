#!/usr/bin/env python3
"""The engine against linphone's console client (Debian linphone-cli), a second stock user agent, through
the stock kamailio on 127.0.0.1: calls both ways with the sound checked both ways, hold and resume from
each side, blind and attended transfer with linphone as transferee and as target, and a request linphone
sends outside any call. The engine runs in the driver program of calls_e2e.py.

    python3 linphone_e2e.py --driver build/bin/sipcall_driver [-k substring] [-j jobs]

Each linphonec runs with a configuration of its own under a home folder of its own in the case's work
folder: its stock settings but for the ports, the account and GRUU (not supported: the stock kamailio
does not route GRUU contacts for any user agent); its sound comes from a tone file and goes to a file.
Prints one line per case and "N passed, N failed"; exits 1 when a case failed.
"""

import math
import os
import queue
import re
import shutil
import struct
import subprocess
import sys
import threading
import time
import wave
from pathlib import Path

sys.dont_write_bytecode = True
HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import calls_e2e  # noqa: E402
from calls_e2e import Engine, Failure, check, peers  # noqa: E402

CASES = []

ENGINE_TONE_HZ = 400      # the driver's microphone: 400 Hz at 8000 of 32768
ENGINE_TONE_DBFS = 20 * math.log10(8000 / 32768 / math.sqrt(2))
LINPHONE_TONE_HZ = 880    # linphone's file
LINPHONE_TONE_DBFS = 20 * math.log10(0.3 / math.sqrt(2))


def case(fn):
    CASES.append(fn)
    return fn


def tone_file(path, hz, seconds=60, amplitude=0.3, rate=8000):
    subprocess.run(["sox", "-n", "-r", str(rate), "-c", "1", "-b", "16", str(path), "synth", str(seconds),
                    "sine", str(hz), "vol", str(amplitude)], check=True, timeout=30)


class Linphone:
    """linphonec registered at kamailio as user, answering automatically; commands on its standard input,
    its output lines kept for matching."""

    def __init__(self, workdir, proxy_port, user, password, name):
        self.name = name
        self.home = Path(workdir) / name
        (self.home / ".local" / "share" / "linphone").mkdir(parents=True)
        sip_port, rtp_port = peers.free_udp_ports(2, block=4)
        self.sip_port = sip_port
        self.user = user
        self.rc = self.home / "linphonerc"
        self.rc.write_text(
            "[sip]\n"
            "sip_port=%d\nsip_tcp_port=0\nsip_tls_port=0\ndefault_proxy=0\n"
            # GRUU off: the stock kamailio does not route GRUU contacts.
            "supported=replaces, outbound\n"
            "[rtp]\naudio_rtp_port=%d\n"
            "[proxy_0]\n"
            "reg_proxy=<sip:127.0.0.1:%d>\nreg_identity=\"Lin %s\" <sip:%s@127.0.0.1>\n"
            "reg_expires=600\nreg_sendregister=1\npublish=0\n"
            "[auth_info_0]\nusername=%s\nuserid=%s\npasswd=%s\nrealm=kbrtest\ndomain=127.0.0.1\n" %
            (sip_port, rtp_port, proxy_port, user, user, user, user, password))
        self.tone = self.home / "tone.wav"
        tone_file(self.tone, LINPHONE_TONE_HZ)
        self.log_path = Path(workdir) / (name + ".log")
        self.debug_path = Path(workdir) / (name + "-debug.log")
        self.out = open(self.log_path, "w")
        env = dict(os.environ, HOME=str(self.home))
        self.proc = subprocess.Popen(["linphonec", "-c", str(self.rc), "-d", "5", "-l", str(self.debug_path)],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                     text=True, bufsize=1, env=env, start_new_session=True)
        self.lines = queue.Queue()
        self.history = []
        self.pending = []
        threading.Thread(target=self._read, daemon=True).start()
        self.command("soundcard use files")
        self.command("play " + str(self.tone))
        self.command("autoanswer enable")
        self.expect(r"Auto answer enabled", what="started")

    def _read(self):
        for line in self.proc.stdout:
            self.out.write(line)
            self.out.flush()
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def command(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def forget(self):
        """Lines so far are not matched any more: the next expect waits for new ones."""
        while True:
            try:
                line = self.lines.get_nowait()
            except queue.Empty:
                break
            if line is None:
                self.lines.put(None)
                break
            self.history.append(line)
        self.pending = []

    def record(self, path):
        """The sound linphone receives in the calls from now on goes to path (a WAV file)."""
        self.command("record " + str(path))

    def expect(self, pattern, timeout=10.0, what=None):
        return calls_e2e.expect_line(self, pattern, timeout,
                                     lambda: "%s: no '%s' (%s) within %.0f s; output %s, log %s" %
                                     (self.name, pattern, what or "", timeout, self.log_path, self.debug_path),
                                     lambda: "%s ended; output %s" % (self.name, self.log_path))

    def registered(self, timeout=15.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if "to [LinphoneRegistrationOk]" in self.debug_text():
                return
            time.sleep(0.2)
        raise Failure("%s: not registered within %.0f s; log %s" % (self.name, timeout, self.debug_path))

    def debug_text(self):
        try:
            return self.debug_path.read_text(errors="replace")
        except OSError:
            return ""

    def close(self):
        try:
            if self.proc.poll() is None:
                self.command("quit")
                self.proc.wait(timeout=8)
        except Exception:
            pass
        if self.proc.poll() is None:
            os.killpg(self.proc.pid, 9)
            self.proc.wait(timeout=5)
        self.out.close()


# ---- the sound received

def samples_of(path):
    """(rate, samples) of a WAV file, or of the driver's raw 8 kHz recording."""
    path = Path(path)
    if path.suffix == ".wav":
        with wave.open(str(path)) as w:
            check(w.getsampwidth() == 2, "%s: 16-bit samples" % path)
            frames = w.readframes(w.getnframes())
            channels = w.getnchannels()
            values = struct.unpack("<%dh" % (len(frames) // 2), frames)
            return w.getframerate(), list(values[::channels])
    data = path.read_bytes() if path.exists() else b""
    return 8000, list(struct.unpack("<%dh" % (len(data) // 2), data[:len(data) // 2 * 2]))


def windows(rate, samples, seconds=0.25):
    """(start time, RMS in dBFS, frequency from zero crossings) per window."""
    n = int(rate * seconds)
    out = []
    for start in range(0, len(samples) - n + 1, n):
        w = samples[start:start + n]
        rms = math.sqrt(sum(x * x for x in w) / n) / 32768
        crossings = sum(1 for a, b in zip(w, w[1:]) if (a < 0) != (b < 0))
        out.append((start / rate, 20 * math.log10(rms) if rms > 0 else -120.0, crossings / 2 / seconds))
    return out


def tone_windows(path, hz, floor_dbfs=-40.0):
    rate, samples = samples_of(path)
    return [w for w in windows(rate, samples) if w[1] > floor_dbfs and abs(w[2] - hz) < 0.05 * hz]


def check_heard(path, hz, dbfs, what, minimum_seconds, since=None):
    """The tone hz at about dbfs (within 3 dB) in at least minimum_seconds of the recording (after since
    seconds when given); returns the windows that hold it."""
    rate, samples = samples_of(path)
    all_windows = windows(rate, samples)
    heard = [w for w in all_windows if w[1] > dbfs - 3 and w[1] < dbfs + 3 and abs(w[2] - hz) < 0.05 * hz]
    if since is not None:
        heard = [w for w in heard if w[0] >= since]
    loud = sorted(all_windows, key=lambda w: -w[1])[:5]
    check(len(heard) * 0.25 >= minimum_seconds,
          "%s: %.2f s of %d Hz at %.1f dBFS +-3 dB (of %.2f s recorded; loudest windows %s) in %s" %
          (what, len(heard) * 0.25, hz, dbfs, len(samples) / rate,
           ["%.2fs %.1fdB %.0fHz" % w for w in loud], path))
    return heard


def with_linphones(w, users, fn):
    """kamailio, the engine registered as 1001 and a linphonec per (user, password); fn(engine, phones)."""
    with peers.Kamailio(workdir=w) as k:
        e = Engine(w)
        phones = []
        try:
            for n, (user, password) in enumerate(users):
                phones.append(Linphone(w, k.port, user, password, "linphone-%s" % user))
            for p in phones:
                p.registered()
            e.register("1001", "secret1", k.port)
            fn(e, phones, k)
            for p in phones:
                text = p.debug_text()
                refusal = re.search(r"^SIP/2\.0 (400|408|481|488) .*", text, re.M)
                check(not refusal, "%s saw a request refused or lost (%s): %s" %
                      (p.name, refusal.group(0) if refusal else "", p.debug_path))
        finally:
            for p in phones:
                p.close()
            e.close()


# ---- cases

def check_sound_after_resumes(w, expected, lost, recorded_before):
    """After a call held and resumed from both sides: RTP from linphone was counted, linphone's tone
    reached the engine after the resumes (its recording from recorded_before seconds on), and the
    engine's tone reached linphone until the call's last seconds."""
    check(expected > 100, "RTP from linphone counted: expected=%d lost=%d" % (expected, lost))
    check_heard(Path(w) / "engine-received.raw", LINPHONE_TONE_HZ, LINPHONE_TONE_DBFS,
                "linphone -> engine after both resumes", 1.0, since=recorded_before - 1.0)
    heard = check_heard(Path(w) / "linphone-received.wav", ENGINE_TONE_HZ, ENGINE_TONE_DBFS,
                        "engine -> linphone", 3.0)
    rate, samples = samples_of(Path(w) / "linphone-received.wav")
    check(heard[-1][0] > len(samples) / rate - 3.0, "engine -> linphone after both resumes: last tone at "
          "%.2f s of %.2f s" % (heard[-1][0], len(samples) / rate))


def hold_and_resume_both_sides(e, line, lp, call_id):
    streams = r"([Mm]edia streams established .* for call %s|Call %s .*resumed)" % (call_id, call_id)
    # The engine holds and resumes ...
    lp.forget()
    e.send("hold " + line)
    e.state(line, 6, active=0)
    lp.expect(r"Call %s .*paused by" % call_id, timeout=10, what="linphone held by the engine")
    time.sleep(1.0)
    lp.forget()
    e.send("activate " + line)
    e.state(line, 6, active=1)
    lp.expect(streams, timeout=10, what="resumed by the engine")
    time.sleep(1.0)
    # ... then linphone does.
    lp.forget()
    lp.command("pause %s" % call_id)
    lp.expect(r"Call %s .*paused" % call_id, timeout=10, what="linphone holds the engine")
    time.sleep(1.0)
    lp.forget()
    lp.command("resume %s" % call_id)
    lp.expect(streams, timeout=10, what="linphone resumes")
    time.sleep(2.0)


@case
def engine_calls_linphone_with_sound_both_ways_and_each_side_holds_and_resumes(w):
    def run(e, phones, k):
        lp = phones[0]
        lp.record(Path(w) / "linphone-received.wav")
        e.send("record %s" % (Path(w) / "engine-received.raw"))
        e.expect(r"^RECORDING ")
        line = e.new_line()
        e.send("dial %s 1003" % line)
        e.state(line, 6, timeout=15, what="linphone answered")
        m = lp.expect(r"Call (\d+) with .* connected", timeout=10, what="linphone connected")
        call_id = m.group(1)
        time.sleep(2.0)
        talk_before_hold = check_heard(Path(w) / "engine-received.raw", LINPHONE_TONE_HZ, LINPHONE_TONE_DBFS,
                                       "linphone -> engine before the hold", 1.0)
        hold_and_resume_both_sides(e, line, lp, call_id)
        recorded_before = len(samples_of(Path(w) / "engine-received.raw")[1]) / 8000
        time.sleep(1.5)
        e.send("hangup " + line)
        expected, lost, heard = e.stats(line)
        e.state(line, 8)
        lp.expect(r"Call %s .*(ended|terminated)" % call_id, timeout=10, what="the engine's BYE reached linphone")
        check_sound_after_resumes(w, expected, lost, recorded_before)
        e.quiet_calls()
    with_linphones(w, [("1003", "secret3")], run)


@case
def linphone_calls_the_engine_with_sound_both_ways_and_each_side_holds_and_resumes(w):
    def run(e, phones, k):
        lp = phones[0]
        lp.record(Path(w) / "linphone-received.wav")
        e.send("record %s" % (Path(w) / "engine-received.raw"))
        e.expect(r"^RECORDING ")
        lp.command("call sip:1001@127.0.0.1")
        incoming = e.expect(r"^STATE (\S+) 5 ", timeout=15, what="linphone's INVITE offered").group(1)
        e.send("answer " + incoming)
        e.state(incoming, 6)
        m = lp.expect(r"Call (\d+) with .* connected", timeout=10, what="linphone got the engine's 200")
        call_id = m.group(1)
        time.sleep(2.0)
        check_heard(Path(w) / "engine-received.raw", LINPHONE_TONE_HZ, LINPHONE_TONE_DBFS,
                    "linphone -> engine before the hold", 1.0)
        hold_and_resume_both_sides(e, incoming, lp, call_id)
        recorded_before = len(samples_of(Path(w) / "engine-received.raw")[1]) / 8000
        time.sleep(1.5)
        lp.command("terminate %s" % call_id)
        e.state(incoming, 7, timeout=10, what="linphone's BYE came along the route set")
        e.send("hangup " + incoming)
        expected, lost, heard = e.stats(incoming)
        e.state(incoming, 8)
        check_sound_after_resumes(w, expected, lost, recorded_before)
        e.quiet_calls()
    with_linphones(w, [("1003", "secret3")], run)


@case
def engine_transfers_linphone_blind_to_another_linphone(w):
    def run(e, phones, k):
        transferee, target = phones
        line = e.new_line()
        e.send("dial %s 1003" % line)
        e.state(line, 6, timeout=15, what="the transferee answered")
        transferee.expect(r"Call (\d+) with .* connected", timeout=10)
        time.sleep(1.0)
        e.send("blind %s 1004" % line)
        e.state(line, 8, timeout=15, what="the transfer succeeded and ended our leg")
        target.expect(r"Call (\d+) with .*1003.* connected", timeout=10, what="the target took the call")
        m = transferee.expect(r"Call (\d+) with .*1004.* connected", timeout=10, what="the transferee reached it")
        text = e.log_path.read_text(errors="replace")
        check("dialog transfered" in text, "the NOTIFY settled the transfer: %s" % e.log_path)
        transferee.command("terminate %s" % m.group(1))
        target.expect(r"Call \d+ .*(ended|terminated)", timeout=10)
        e.quiet_calls()
    with_linphones(w, [("1003", "secret3"), ("1004", "secret4")], run)


@case
def engine_transfers_linphone_attended_to_another_linphone(w):
    def run(e, phones, k):
        transferee, target = phones
        first = e.new_line()
        e.send("dial %s 1003" % first)
        e.state(first, 6, timeout=15, what="the transferee answered")
        transferee.expect(r"Call (\d+) with .* connected", timeout=10)
        second = e.new_line()
        e.send("dial %s 1004" % second)
        e.state(second, 6, timeout=15, what="the target answered")
        target.expect(r"Call (\d+) with .* connected", timeout=10)
        time.sleep(1.0)
        e.send("transfer %s %s" % (first, second))
        e.state(first, 8, timeout=15, what="the transferee's NOTIFY ended the first leg")
        e.state(second, 8, timeout=15, what="the target replaced the second leg and ended it")
        m = transferee.expect(r"Call (\d+) with .*1004.* connected", timeout=10, what="the transferee reached the target")
        text = target.debug_text()
        check(re.search(r"^Replaces: .*to-tag=.*from-tag=", text, re.M | re.I),
              "the target read the Replaces header whole: %s" % target.debug_path)
        transferee.command("terminate %s" % m.group(1))
        target.expect(r"Call \d+ .*(ended|terminated)", timeout=10)
        e.quiet_calls()
    with_linphones(w, [("1003", "secret3"), ("1004", "secret4")], run)


@case
def a_request_linphone_sends_outside_any_call_is_answered(w):
    def run(e, phones, k):
        lp = phones[0]
        lp.command("chat sip:1001@127.0.0.1 hello")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and not re.search(r"SIP/2\.0 405 Method Not Allowed", lp.debug_text()):
            time.sleep(0.2)
        text = lp.debug_text()
        check(re.search(r"SIP/2\.0 405 Method Not Allowed", text), "linphone's MESSAGE answered 405: %s" %
              lp.debug_path)
        check(not re.search(r"SIP/2\.0 408 ", text), "no time-out answer from the proxy: %s" % lp.debug_path)
    with_linphones(w, [("1003", "secret3")], run)


def main():
    args = calls_e2e.parse_args()
    if not shutil.which("linphonec"):
        print("linphonec missing (Debian linphone-cli; scripts/install-deps.sh installs it)")
        print("0 passed, 1 failed")
        return 1
    return calls_e2e.run_cases(CASES, args, "kbr-linphone-")


if __name__ == "__main__":
    sys.exit(main())
