#!/usr/bin/env python3
"""Calls per second that called parties take through kamailio, side by side in one run.

sipp places calls (INVITE answered after a 407 challenge, 200, ACK, then BYE) through kamailio
on 127.0.0.1 at rising rates, 10 s per rate, to each called party in turn, interleaved per rate:

  engine   the engine in a JVM, answering from Java (tools/callbench CallAnswerer), user 1001
  baresip  Debian's baresip, auto-answering, user 1003
  sipp     a sipp UAS (tests/e2e/scenarios/uas_answer), user 1004

Per party and rate it prints the calls per second completed (from the caller's start to its end, the
last call included) and as a share of the rate offered, the calls completed, refused (answered 503 or
500: the party had not the resources for them) and failed (no final answer, or an unexpected one),
retransmissions (INVITE or BYE sent again by the caller: the party answered late), the party's CPU
(and the engine's loop thread alone) and its resident memory; then the highest rate each party held:
at least 95 % of the offered rate completed, retransmissions under 0.1 % of the calls and no failed
or refused call. `--after RATE` offers RATE once more after the last rate, to show that a party takes
calls after a burst as it did before. Every process the benchmark starts is stopped on every way out
(an error, Ctrl-C, SIGTERM). Runs on a host whose only network is loopback. Not run by CI.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import peers  # noqa: E402

JAVA_HOME = Path(os.environ.get("KBR_JAVA_HOME", "/usr/lib/jvm/java-17-openjdk-amd64"))
TICKS = os.sysconf("SC_CLK_TCK")
PARTIES = ("engine", "baresip", "sipp")
USERS = {"engine": ("1001", "secret1"), "baresip": ("1003", "secret3"), "sipp": ("1004", "secret4")}
# A rate is held with at least this share of the offered rate completed and fewer retransmissions than
# this share of the calls, and no call failed or refused.
HELD_SHARE = 0.95
HELD_RETRANSMISSIONS = 0.001


def held(r):
    return (r["rate"] >= HELD_SHARE * r["offered"] and r["retrans"] < HELD_RETRANSMISSIONS * r["calls"]
            and r["failed"] == 0 and r["refused"] == 0)


def cpu_seconds(stat_path):
    """utime + stime of a process or thread, in seconds (0 when it is gone)."""
    try:
        fields = Path(stat_path).read_text().rsplit(")", 1)[1].split()
    except OSError:
        return 0.0
    return (int(fields[11]) + int(fields[12])) / TICKS


def rss_mb(pid):
    try:
        for line in Path("/proc/%d/status" % pid).read_text().splitlines():
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return 0.0


def thread_stat(pid, name):
    for task in Path("/proc/%d/task" % pid).iterdir():
        try:
            if (task / "comm").read_text().strip() == name:
                return task / "stat"
        except OSError:
            continue
    return None


class Engine:
    def __init__(self, build, work, kport):
        classes = work / "classes"
        classes.mkdir()
        subprocess.run([str(JAVA_HOME / "bin" / "javac"), "-d", str(classes),
                        str(ROOT / "tools/callbench/nl/brimel/kbr/callbench/CallAnswerer.java"),
                        str(ROOT / "tests/java/nl/brimel/kbr/phone/jni/JPhone.java")], check=True)
        self.path = work / "engine.out"
        # Started through peers, which stops it on every way out of the benchmark.
        self.proc = peers._spawn([JAVA_HOME / "bin" / "java", "-Djava.library.path=%s" % (build / "lib"),
                                  "-cp", classes, "nl.brimel.kbr.callbench.CallAnswerer", str(kport)],
                                 self.path, stdin=subprocess.PIPE)
        if not self.await_line("READY", 20):
            raise RuntimeError("the engine did not register; see %s" % self.path)
        self.pid = int(re.search(r"^PID=(\d+)", self.path.read_text(), re.M).group(1))
        self.loop_stat = thread_stat(self.pid, "jphone-loop")

    def await_line(self, text, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if text in self.path.read_text():
                return True
            if self.proc.poll() is not None:
                return False
            time.sleep(0.1)
        return False

    def quiesce(self, seconds=60):
        """Waits until every answered line has ended (a call the caller gave up on ends by the engine's
        own timers)."""
        deadline = time.monotonic() + seconds
        line = ""
        while time.monotonic() < deadline:
            try:
                self.proc.stdin.write(b"\n")
                self.proc.stdin.flush()
            except OSError:
                return False
            time.sleep(0.3)
            counts = re.findall(r"^ANSWERED=(\d+) ENDED=(\d+)", self.path.read_text(), re.M)
            if counts and counts[-1][0] == counts[-1][1]:
                return True
        return False

    def stop(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
                self.proc.wait(5)
            except (OSError, subprocess.TimeoutExpired):
                pass
        peers._stop_process(self.proc)


class Baresip:
    def __init__(self, work, kport):
        home = work / "baresip"
        home.mkdir()
        port = peers.free_udp_port()
        (home / "config").write_text("\n".join([
            # The interface and address explicitly: on a host whose only network is loopback baresip
            # finds no interface of its own.
            "poll_method epoll", "net_interface 127.0.0.1", "sip_listen 127.0.0.1:%d" % port, "sip_trans_def udp",
            "call_max_calls 100000", "audio_player aubridge,nil", "audio_source aubridge,nil",
            "audio_alert aubridge,nil", "rtp_ports 30000-60000",
            "module_path /usr/lib/baresip/modules", "module g711.so", "module aubridge.so",
            "module_app account.so", ""]))
        (home / "accounts").write_text(
            "<sip:1003@127.0.0.1:%d;transport=udp>;auth_pass=secret3;answermode=auto;regint=3600;"
            "audio_codecs=PCMA\n" % kport)
        self.path = work / "baresip.out"
        self.proc = peers._spawn([shutil.which("baresip") or "baresip", "-4", "-n", "127.0.0.1", "-f", home], self.path)
        self.pid = self.proc.pid
        deadline = time.monotonic() + 10
        while "200 OK" not in self.path.read_text(errors="replace"):
            if time.monotonic() > deadline or self.proc.poll() is not None:
                raise RuntimeError("baresip did not register; see %s" % self.path)
            time.sleep(0.1)

    def quiesce(self):
        time.sleep(3)
        return True

    def stop(self):
        peers._stop_process(self.proc)


class SippServer:
    def __init__(self, work, kport):
        port = peers.free_udp_port()
        user, password = USERS["sipp"]
        reg = peers.Sipp("uac_register", role="client", remote="127.0.0.1:%d" % kport, port=port, service=user,
                         auth_user=user, auth_password=password, workdir=work).start().wait()
        if not reg.ok:
            raise RuntimeError("the sipp UAS did not register:\n" + reg.describe())
        # The stock scenario ends sipp after one call; this one answers until it is stopped.
        scenario = work / "uas_bench.xml"
        scenario.write_text(peers.scenario_path("uas_answer").read_text().replace(
            '<action><exec int_cmd="stop_gracefully"/></action>', ''))
        self.sipp = peers.Sipp(scenario, role="server", port=port, service=user, calls=0, timeout=7200,
                               params={"ring_ms": 0, "talk_ms": 60000}, workdir=work).start()
        self.pid = self.sipp.proc.pid

    def quiesce(self):
        time.sleep(3)
        return True

    def stop(self):
        self.sipp.stop()


# The engine is a softphone: answering a call puts the call it had active on hold, so its callers get a
# hold re-INVITE (answered 200, recvonly) during the call, or crossing their BYE.
ANSWER_REINVITE = """  <send>
    <![CDATA[
      SIP/2.0 200 OK
      [last_Via:]
      [last_From:]
      [last_To:]
      [last_Call-ID:]
      [last_CSeq:]
      Contact: <sip:%{caller}@[local_ip]:[local_port]>
      Content-Type: application/sdp
      Content-Length: [len]

      v=0
      o=sipp 1 3 IN IP4 [media_ip]
      s=-
      c=IN IP4 [media_ip]
      t=0 0
      m=audio [media_port] RTP/AVP 8 101
      a=rtpmap:8 PCMA/8000
      a=rtpmap:101 telephone-event/8000
      a=recvonly
    ]]>
  </send>
"""


REFUSALS = """  <recv response="503" optional="true" next="refused"/>
  <recv response="500" optional="true" next="refused"/>
"""
REFUSED = """  <nop next="end"/>
  <label id="refused"/>
  <send>
    <![CDATA[
      ACK sip:[service]@%{domain} SIP/2.0
      [last_Via:]
      Max-Forwards: 70
      From: <sip:%{caller}@%{domain}>;tag=[pid]SIPpTag00[call_number]
      [last_To:]
      Call-ID: [call_id]
      CSeq: 2 ACK
      Content-Length: 0

    ]]>
  </send>
  <nop>
    <action>
      <log message="refused [call_id]"/>
    </action>
  </nop>
"""


def caller_scenario(work, party):
    """uac_call that hangs up soon after its ACK (20 ms; 200 ms for the engine, whose hold re-INVITE
    comes when the next call is answered). For baresip and the sipp UAS it accepts a 180 that
    arrives after the 200 (kamailio's workers may reorder a 180 and the 200 right behind it: the
    proxy's doing, not the called party's); for the engine it answers hold re-INVITEs. A 503 or 500 to
    the INVITE (the party had not the resources for the call) is acknowledged and logged "refused"."""
    text = peers.scenario_path("uac_call").read_text()
    second = text.index('CSeq: 2 INVITE')
    at = text.index('  <recv response="200" rrs="true">', second)
    text = text[:at] + REFUSALS + text[at:]
    end = text.index('  <label id="end"/>')
    text = text[:end] + REFUSED + text[end:]
    bye_wait = re.compile(r'  <recv request="BYE" timeout="[^"]*" ontimeout="hangup"/>\n(.|\n)*?<label id="hangup"/>')
    if party == "engine":
        text = bye_wait.sub(lambda m: '  <recv request="INVITE" timeout="200" ontimeout="hangup"/>\n' + ANSWER_REINVITE +
                            '  <recv request="ACK" timeout="2000" ontimeout="hangup"/>\n  <label id="hangup"/>', text, count=1)
        hangup = text.index('<label id="hangup"/>')
        at = text.index('  <recv response="200"/>', hangup)
        # A re-INVITE that crossed the BYE is left unanswered: the call is over for both sides.
        text = text[:at] + '  <recv request="INVITE" optional="true"/>\n' + text[at:]
    else:
        text = bye_wait.sub('  <recv response="180" timeout="20" ontimeout="hangup"/>\n  <label id="hangup"/>', text,
                            count=1)
        hangup = text.index('<label id="hangup"/>')
        at = text.index('  <recv response="200"/>', hangup)
        text = text[:at] + '  <recv response="180" optional="true"/>\n' + text[at:]
    path = work / ("uac_%s.xml" % party)
    path.write_text(text)
    return path


def run_rate(party, kport, rate, seconds, work):
    user = USERS[party.name][0]
    calls = rate * seconds
    cpu0 = cpu_seconds("/proc/%d/stat" % party.pid)
    loop0 = cpu_seconds(party.loop_stat) if getattr(party, "loop_stat", None) else None
    sipp = peers.Sipp(party.scenario, role="client", remote="127.0.0.1:%d" % kport, service=user,
                      auth_user="1002", auth_password="secret2", params={"talk_ms": 10}, calls=calls,
                      timeout=seconds * 3 + 60, workdir=work / ("%s-%d" % (party.name, rate)),
                      extra_args=["-r", str(rate), "-l", str(max(1000, rate * 5))]).start()
    # From the moment sipp has its port (its first call follows) to its end after the last call.
    t0 = time.monotonic()
    result = sipp.wait()
    wall = time.monotonic() - t0
    cpu = cpu_seconds("/proc/%d/stat" % party.pid) - cpu0
    loop = cpu_seconds(party.loop_stat) - loop0 if loop0 is not None else None
    stats = result.stats()
    ok, failed = result.calls()

    def count(column):
        try:
            return int(stats.get(column, 0))
        except ValueError:
            return 0
    retrans = count("Retransmissions(C)")
    refused = sum(1 for line in peers._read(result.logs_path).splitlines() if line.startswith("refused "))
    if os.environ.get("KBR_BENCH_KEEP_LOGS") is None:
        for path in (result.messages_path, result.logs_path):
            try:
                os.unlink(path)
            except OSError:
                pass
    # A refused call ends well for sipp (its 503 is acknowledged) but is no completed call.
    completed = max(0, ok - refused)
    return {"offered": rate, "ok": completed, "refused": refused, "failed": failed, "calls": calls, "wall": wall,
            "rate": completed / wall if wall else 0, "retrans": retrans, "cpu": 100.0 * cpu / wall,
            "loop": None if loop is None else 100.0 * loop / wall, "rss": rss_mb(party.pid)}


ROW = "%-8s %7s %9s %6s %7s %7s %7s %8s %6s %6s %7s"


def print_row(party, label, r):
    print(ROW % (party, label, "%.1f" % r["rate"], "%.1f" % (100.0 * r["rate"] / r["offered"]), r["ok"],
                 r["refused"], r["failed"], r["retrans"], "%.1f" % r["cpu"],
                 "-" if r["loop"] is None else "%.1f" % r["loop"], "%.1f" % r["rss"]), flush=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=str(ROOT / "build"), help="build folder with lib/libkbrjphone.so")
    ap.add_argument("--rates", default="100 250 500 750 1000 1250", help="calls per second offered")
    ap.add_argument("--seconds", type=int, default=10, help="seconds per rate and party")
    ap.add_argument("--parties", default=",".join(PARTIES), help="comma-separated subset of " + ",".join(PARTIES))
    ap.add_argument("--kamailio-children", type=int, default=8, help="kamailio's UDP workers")
    ap.add_argument("--kamailio-shm", type=int, default=1024, help="kamailio's shared memory in MB")
    ap.add_argument("--after", type=int, default=0,
                    help="offer this rate once more after the last rate (row marked RATE+)")
    args = ap.parse_args()
    try:
        rates = [int(r) for r in args.rates.split()]
        parties = [p for p in args.parties.split(",") if p]
        if not rates or any(r <= 0 for r in rates) or any(p not in PARTIES for p in parties) or args.after < 0:
            raise ValueError
    except ValueError:
        ap.error("--rates takes positive numbers, --parties a subset of " + ",".join(PARTIES))
    if "engine" in parties:
        for tool in ("java", "javac"):
            if not os.access(JAVA_HOME / "bin" / tool, os.X_OK):
                ap.error("KBR_JAVA_HOME=%s is no JDK: %s is missing" % (JAVA_HOME, JAVA_HOME / "bin" / tool))
    for tool in ("sipp", "kamailio") + (("baresip",) if "baresip" in parties else ()):
        if not shutil.which(tool) and not Path("/usr/sbin/" + tool).exists():
            ap.error("%s is not installed (scripts/install-deps.sh installs it)" % tool)

    # SIGTERM and SIGHUP end the benchmark through its cleanup, as Ctrl-C does.
    peers._install_signal_handlers()
    work = Path(tempfile.mkdtemp(prefix="kbr-callrates-"))
    print("work folder: %s" % work)
    kamailio = peers.Kamailio(workdir=work, children=args.kamailio_children, shm_mb=args.kamailio_shm)
    running = []
    try:
        kamailio.start()
        for name in parties:
            party = {"engine": lambda: Engine(Path(args.build).resolve(), work, kamailio.port),
                     "baresip": lambda: Baresip(work, kamailio.port),
                     "sipp": lambda: SippServer(work, kamailio.port)}[name]()
            party.name = name
            party.scenario = caller_scenario(work, name)
            running.append(party)
        print("kamailio 127.0.0.1:%d with %d workers and %d MB; %d s per rate and party"
              % (kamailio.port, args.kamailio_children, args.kamailio_shm, args.seconds))
        print(ROW % ("party", "offered", "achieved", "ach%", "ok", "refused", "failed", "retrans", "cpu%", "loop%",
                     "rss_MB"))
        best = {p.name: 0 for p in running}
        offers = [(rate, str(rate)) for rate in rates]
        if args.after:
            offers.append((args.after, "%d+" % args.after))
        for rate, label in offers:
            for party in running:
                r = run_rate(party, kamailio.port, rate, args.seconds, work)
                print_row(party.name, label, r)
                if held(r) and label == str(rate):
                    best[party.name] = max(best[party.name], rate)
                if not party.quiesce():
                    print("%-8s lines still open after the quiet time" % party.name, flush=True)
        print("highest rate held (>= %d %% of the offered rate completed, retransmissions < %.1f %% of the calls,"
              " no failed or refused call): " % (100 * HELD_SHARE, 100 * HELD_RETRANSMISSIONS) +
              ", ".join("%s %d/s" % (name, rate) for name, rate in best.items()))
        if args.after:
            print("%d+: %d/s offered again after the other rates" % (args.after, args.after))
    finally:
        for party in running:
            try:
                party.stop()
            except Exception as e:  # noqa: BLE001 - the others are stopped all the same
                print("stopping %s: %s" % (party.name, e), file=sys.stderr)
        kamailio.stop()
        # Whatever else was started (a party that failed to start, a sipp caller cut short).
        peers.stop_all()
    return 0


if __name__ == "__main__":
    sys.exit(main())
