#!/usr/bin/env python3
"""Real SIP peers for the end-to-end tests: kamailio as registrar and proxy, sipp as scripted
far end. Everything runs on 127.0.0.1 with free ports, every wait is bounded, and no process
outlives the launcher (stopped on exit, error, Ctrl-C, SIGTERM; a parent-death signal covers a
launcher that is killed outright).

Use it as a library (import peers) or from the command line; `peers.py -h` lists the commands.

Scenario parameters: a scenario declares its parameters in its leading comment, one per line:
    @param name default   what it means
peers.py writes a copy of the scenario into the run folder with every %{name} replaced by the
given value or the default (a line that holds only %{name} and becomes empty is dropped, so
optional header lines can be left out; a value may hold several lines). A line
    @args -option value ...
adds sipp options the scenario needs. The identities of the peers stay sipp's own keywords:
[service] (-s), -au/-ap for [authentication], [fieldN] from an injection file, [remote_ip] ...
"""

import argparse
import atexit
import datetime
import hashlib
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
SCENARIOS = HERE / "scenarios"
KAMAILIO_CFG = HERE / "kamailio" / "kamailio.cfg"
LOCALHOST = "127.0.0.1"

# Test users of kamailio.cfg.
USERS = {"1001": "secret1", "1002": "secret2", "1003": "secret3", "1004": "secret4"}
REALM = "kbrtest"

# sipp exit codes worth naming.
SIPP_OK = 0
SIPP_FAILED = 1
SIPP_INTERNAL_STOP = 97
SIPP_NO_CALLS = 99
SIPP_BIND_ERROR = 254


class PeerError(RuntimeError):
    """A peer could not be started or misbehaved."""


# ---------------------------------------------------------------------------------------------
# Processes

_live_lock = threading.Lock()
_live = set()


def _register(proc):
    with _live_lock:
        _live.add(proc)


def _unregister(proc):
    with _live_lock:
        _live.discard(proc)


def stop_all():
    """Stops every process started by this module that is still running."""
    with _live_lock:
        procs = list(_live)
    for proc in procs:
        _stop_process(proc, grace=2.0)


atexit.register(stop_all)


def _pdeath_prefix():
    # The child gets SIGTERM when the thread that started it goes away, even by SIGKILL.
    setpriv = shutil.which("setpriv")
    return [setpriv, "--pdeathsig", "TERM"] if setpriv else []


def _spawn(cmd, log_path=None, cwd=None, stdin=subprocess.DEVNULL, own_group=True, env=None):
    """Starts cmd with its output in log_path (None: inherited), in a process group of its own
    unless own_group is false, with the parent-death signal set."""
    log = open(log_path, "ab") if log_path else None
    try:
        proc = subprocess.Popen(_pdeath_prefix() + [str(c) for c in cmd], stdin=stdin, stdout=log,
                                stderr=subprocess.STDOUT if log else None, cwd=cwd, env=env,
                                start_new_session=own_group)
    finally:
        if log:
            log.close()
    proc.kbr_own_group = own_group
    _register(proc)
    return proc


def _stop_process(proc, grace=3.0, sig=signal.SIGTERM):
    """Signals the process (its group when it has one of its own), waits up to grace seconds,
    then kills what is left."""
    own_group = getattr(proc, "kbr_own_group", False)

    def send(signum):
        try:
            if own_group:
                os.killpg(proc.pid, signum)
            elif proc.poll() is None:
                proc.send_signal(signum)
        except (ProcessLookupError, PermissionError):
            pass

    try:
        if proc.poll() is None:
            send(sig)
            try:
                proc.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                pass
        # The group may hold children that outlive their leader (kamailio's workers).
        send(signal.SIGKILL)
        try:
            proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass
    finally:
        _unregister(proc)
    return proc.returncode


def _install_signal_handlers():
    """Turns SIGTERM and SIGHUP into SystemExit so that cleanup runs (main thread only)."""
    def handler(signum, frame):
        raise SystemExit(128 + signum)
    for s in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(s, handler)


# ---------------------------------------------------------------------------------------------
# Ports

_port_lock = threading.Lock()
_handed_out = set()


def _udp_port_free(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind((LOCALHOST, port))
        return True
    except OSError:
        return False
    finally:
        s.close()


def free_udp_ports(count=1, block=1):
    """Returns count ports on 127.0.0.1 that are free for UDP; with block > 1 each returned port
    starts a run of block free ports (sipp's media uses port, +1, +2, +3) and is even. Ports
    handed out earlier by this process are not returned again; 5060 never is."""
    result = []
    with _port_lock:
        for _ in range(200):
            if len(result) == count:
                break
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind((LOCALHOST, 0))
            port = s.getsockname()[1]
            s.close()
            if block > 1:
                port -= port % 2
            run = range(port, port + block)
            if port < 1024 or port + block > 65535 or 5060 in run:
                continue
            if any(p in _handed_out for p in run) or not all(_udp_port_free(p) for p in run):
                continue
            _handed_out.update(run)
            result.append(port)
    if len(result) < count:
        raise PeerError("no free UDP ports found")
    return result


def free_udp_port():
    return free_udp_ports(1)[0]


def _udp_inodes(port):
    want = ":%04X" % port
    inodes = set()
    try:
        with open("/proc/net/udp") as f:
            for line in f.readlines()[1:]:
                fields = line.split()
                if fields[1].endswith(want) and fields[1][:8] in ("0100007F", "00000000"):
                    inodes.add(fields[9])
    except OSError:
        pass
    return inodes


def _udp_bound_by(port, pid):
    """True when process pid holds a UDP socket bound to port."""
    inodes = _udp_inodes(port)
    if not inodes:
        return False
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                link = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            if link.startswith("socket:[") and link[8:-1] in inodes:
                return True
    except OSError:
        return False
    return False


def _udp_bound(port):
    """True when some socket is bound to UDP port on 127.0.0.1 or the wildcard address."""
    want = ":%04X" % port
    try:
        with open("/proc/net/udp") as f:
            for line in f.readlines()[1:]:
                local = line.split()[1]
                if local.endswith(want) and local[:8] in ("0100007F", "00000000"):
                    return True
    except OSError:
        return not _udp_port_free(port)
    return False


# ---------------------------------------------------------------------------------------------
# Small SIP probe

def sip_options(port, host=LOCALHOST, timeout=0.5):
    """Sends one OPTIONS to host:port from a fresh port; returns the response status line or None."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind((LOCALHOST, 0))
        s.settimeout(timeout)
        local = s.getsockname()[1]
        tag = "%x" % (time.monotonic_ns() & 0xFFFFFFFF)
        msg = ("OPTIONS sip:%s:%d SIP/2.0\r\n"
               "Via: SIP/2.0/UDP %s:%d;branch=z9hG4bK-probe-%s;rport\r\n"
               "Max-Forwards: 70\r\n"
               "From: <sip:probe@%s>;tag=%s\r\n"
               "To: <sip:%s:%d>\r\n"
               "Call-ID: probe-%s@%s\r\n"
               "CSeq: 1 OPTIONS\r\n"
               "Content-Length: 0\r\n\r\n") % (host, port, LOCALHOST, local, tag, LOCALHOST, tag,
                                               host, port, tag, LOCALHOST)
        s.sendto(msg.encode(), (host, port))
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                data, _ = s.recvfrom(65535)
            except socket.timeout:
                return None
            line = data.split(b"\r\n", 1)[0].decode(errors="replace")
            if line.startswith("SIP/2.0 1"):
                continue
            return line
        return None
    finally:
        s.close()


# ---------------------------------------------------------------------------------------------
# Work folders

def make_workdir(prefix="kbr-e2e-"):
    return Path(tempfile.mkdtemp(prefix=prefix))


def _tail(path, lines=30):
    try:
        text = Path(path).read_text(errors="replace").splitlines()
    except OSError:
        return ""
    return "\n".join(text[-lines:])


# ---------------------------------------------------------------------------------------------
# kamailio

class Kamailio:
    """kamailio with tests/e2e/kamailio/kamailio.cfg on 127.0.0.1:port.

        with Kamailio(workdir=d) as k:      # starts and waits until OPTIONS is answered
            ... k.port ...
    """

    def __init__(self, port=None, workdir=None, reject_bad_auth=False, config=KAMAILIO_CFG,
                 debug=None, children=2, shm_mb=32):
        self.port = port
        self.children = children
        self.shm_mb = shm_mb
        self.workdir = Path(workdir) if workdir else make_workdir()
        self.reject_bad_auth = reject_bad_auth
        self.config = Path(config)
        self.debug = debug
        self.proc = None
        self.rundir = None
        self.log_path = None

    def start(self, ready_timeout=10.0, attempts=3):
        exe = shutil.which("kamailio") or "/usr/sbin/kamailio"
        if not os.path.exists(exe):
            raise PeerError("kamailio is not installed")
        fixed_port = self.port is not None
        for _ in range(attempts):
            port = self.port if fixed_port else free_udp_port()
            self.rundir = self.workdir / ("kamailio-%d" % port)
            (self.rundir / "run").mkdir(parents=True, exist_ok=True)
            self.log_path = self.rundir / "kamailio.log"
            cmd = [exe, "-DD", "-E", "-f", self.config, "-Y", self.rundir / "run", "-w", self.rundir,
                   "-l", "udp:%s:%d" % (LOCALHOST, port), "-m", str(self.shm_mb), "-M", "8",
                   "-n", str(self.children)]
            if self.reject_bad_auth:
                cmd += ["-A", "REJECT_BAD_AUTH"]
            if self.debug is not None:
                cmd += ["-d"] * int(self.debug)
            self.proc = _spawn(cmd, self.log_path, cwd=self.rundir)
            self.port = port
            if self._wait_ready(ready_timeout):
                return self
            self.stop()
            if fixed_port:
                break
        raise PeerError("kamailio did not answer OPTIONS on port %s; log %s:\n%s"
                        % (self.port, self.log_path, _tail(self.log_path)))

    def _wait_ready(self, timeout):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            line = sip_options(self.port, timeout=0.3)
            if line and line.startswith("SIP/2.0 200"):
                return True
            time.sleep(0.05)
        return False

    @property
    def address(self):
        return "%s:%d" % (LOCALHOST, self.port)

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def stop(self, grace=3.0):
        if self.proc is not None:
            _stop_process(self.proc, grace=grace)
        return self.proc.returncode if self.proc else None

    def log(self):
        return Path(self.log_path).read_text(errors="replace") if self.log_path else ""

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


# ---------------------------------------------------------------------------------------------
# sipp scenarios

_PARAM_RE = re.compile(r'^[ \t]*@param[ \t]+(\w+)[ \t]+("[^"]*"|\S+)[ \t]*(.*)$', re.M)
_USE_RE = re.compile(r"%\{(\w+)\}")


def scenario_path(name):
    """A scenario by file name (with or without .xml) under tests/e2e/scenarios, or a path."""
    p = Path(name)
    if p.exists():
        return p.resolve()
    for candidate in (SCENARIOS / name, SCENARIOS / (name + ".xml")):
        if candidate.exists():
            return candidate
    raise PeerError("no scenario %s" % name)


def scenario_params(path):
    """The declared parameters of a scenario: {name: (default, description)}. A default of "-"
    means empty; a default with blanks is written in double quotes."""
    text = Path(path).read_text()
    head = text.split("-->", 1)[0]
    result = {}
    for name, default, desc in _PARAM_RE.findall(head):
        if default == "-":
            default = ""
        elif default.startswith('"'):
            default = default[1:-1]
        result[name] = (default, desc.strip())
    return result


_ARGS_RE = re.compile(r"^[ \t]*@args[ \t]+(.*)$", re.M)


def scenario_args(path):
    """Extra sipp arguments a scenario asks for in its leading comment (@args ...)."""
    head = Path(path).read_text().split("-->", 1)[0]
    out = []
    for line in _ARGS_RE.findall(head):
        out += line.split()
    return out


def render_scenario(path, params=None, out_path=None):
    """Writes the scenario with its %{name} parameters filled in; returns the new path."""
    path = Path(path)
    declared = scenario_params(path)
    params = dict(params or {})
    unknown = set(params) - set(declared)
    if unknown:
        raise PeerError("%s has no parameter %s" % (path.name, ", ".join(sorted(unknown))))
    values = {k: str(params.get(k, d[0])) for k, d in declared.items()}
    text = path.read_text()
    head, sep, body = text.partition("-->")
    if not sep:
        head, body = "", text

    out_lines = []
    for line in body.split("\n"):
        uses = _USE_RE.findall(line)
        if uses:
            missing = [u for u in uses if u not in values]
            if missing:
                raise PeerError("%s uses undeclared parameter %s" % (path.name, missing[0]))
            new = _USE_RE.sub(lambda m: values[m.group(1)], line)
            if not new.strip() and line.strip():
                continue
            line = new
        out_lines.append(line)
    out_path = Path(out_path) if out_path else path.with_suffix(".run.xml")
    out_path.write_text(head + sep + "\n".join(out_lines))
    return out_path


class SippResult:
    """What a finished sipp run left: exit code and the paths of its logs."""

    def __init__(self, sipp):
        self.returncode = sipp.returncode
        self.timed_out = sipp.killed
        self.name = sipp.name
        self.rundir = sipp.rundir
        self.messages_path = sipp.messages_path
        self.errors_path = sipp.errors_path
        self.logs_path = sipp.logs_path
        self.stats_path = sipp.stats_path
        self.screen_path = sipp.screen_path
        self.output_path = sipp.output_path

    @property
    def ok(self):
        return self.returncode == SIPP_OK and not self.timed_out

    def messages(self):
        return _read(self.messages_path)

    def errors(self):
        return _read(self.errors_path)

    def logs(self):
        return _read(self.logs_path)

    def received(self):
        """The SIP messages sipp received, oldest first, as text."""
        return _split_messages(self.messages(), "received")

    def received_times(self, method):
        """When sipp received each request of that method, in seconds on its clock, oldest first."""
        return [datetime.datetime.strptime(stamp, "%Y-%m-%d %H:%M:%S.%f").timestamp()
                for stamp, m in _logged(self.messages(), "received") if m.startswith(method + " ")]

    def sent(self):
        return _split_messages(self.messages(), "sent")

    def stats(self):
        """The last row of the statistics file as {column: value}."""
        text = _read(self.stats_path).strip().splitlines()
        if len(text) < 2:
            return {}
        keys = text[0].rstrip(";").split(";")
        values = text[-1].rstrip(";").split(";")
        return dict(zip(keys, values))

    def calls(self):
        """(successful, failed) call counts from sipp's statistics, (0, 0) when unknown."""
        st = self.stats()
        try:
            return int(st.get("SuccessfulCall(C)", 0)), int(st.get("FailedCall(C)", 0))
        except ValueError:
            return 0, 0

    @property
    def passed(self):
        """ok, and at least one call completed successfully."""
        return self.ok and self.calls()[0] > 0

    def describe(self):
        parts = ["%s: exit %s%s" % (self.name, self.returncode, " (killed at timeout)" if self.timed_out else "")]
        for label, path in (("errors", self.errors_path), ("output", self.output_path)):
            tail = _tail(path, 25)
            if tail.strip():
                parts.append("--- %s %s\n%s" % (label, path, tail))
        parts.append("--- messages %s" % self.messages_path)
        return "\n".join(parts)


def _read(path):
    try:
        return Path(path).read_text(errors="replace")
    except (OSError, TypeError):
        return ""


_MSG_SPLIT = re.compile(r"^-{20,} (.*)\n(?:UDP|TCP) (?:control )?message (received|sent) "
                        r"(?:\[\d+\] bytes ?|\(\d+ bytes\) ?):\n\n", re.M)


def _logged(text, kind):
    """(the time on its separator line, the message) of each message of that kind."""
    parts = _MSG_SPLIT.split(text)
    out = []
    # parts: [prefix, time1, kind1, body1, time2, kind2, body2, ...]
    for i in range(1, len(parts) - 2, 3):
        if parts[i + 1] == kind:
            out.append((parts[i].strip(), parts[i + 2].strip("\n")))
    return out


def _split_messages(text, kind):
    return [m for _, m in _logged(text, kind)]


def first_lines(messages):
    return [m.split("\n", 1)[0].strip() for m in messages]


def header(message, name):
    """The value of the first header name (case-insensitive, compact forms not resolved)."""
    m = re.search(r"^%s\s*:\s*(.*)$" % re.escape(name), message, re.M | re.I)
    return m.group(1).strip() if m else None


def digest_params(value):
    """The parameters of a Digest credentials or challenge header value as a dict."""
    value = value.strip()
    if value[:6].lower() == "digest":
        value = value[6:]
    return {k.lower(): (v[1:-1] if v.startswith('"') else v)
            for k, v in re.findall(r'(\w+)\s*=\s*("[^"]*"|[^,\s]+)', value)}


def verify_digest(message, password, header_name=None, check_uri=False):
    """True when the request's Authorization (or Proxy-Authorization) digest response was made
    with password (MD5; with or without qop). check_uri also demands uri = the request-URI."""
    names = [header_name] if header_name else ["Authorization", "Proxy-Authorization"]
    value = None
    for name in names:
        m = re.search(r"^%s\s*:\s*(.*)$" % re.escape(name), message, re.M | re.I)
        if m:
            value = m.group(1).strip()
            break
    if not value:
        return False
    p = digest_params(value)
    start = message.split("\n", 1)[0].split()
    if len(start) < 2 or not all(k in p for k in ("username", "realm", "nonce", "uri", "response")):
        return False
    method, request_uri = start[0], start[1]
    if check_uri and p["uri"] != request_uri:
        return False

    def md5(text):
        return hashlib.md5(text.encode()).hexdigest()

    ha1 = md5("%s:%s:%s" % (p["username"], p["realm"], password))
    ha2 = md5("%s:%s" % (method, p["uri"]))
    if "qop" in p:
        expected = md5(":".join([ha1, p["nonce"], p.get("nc", ""), p.get("cnonce", ""), p["qop"], ha2]))
    else:
        expected = md5("%s:%s:%s" % (ha1, p["nonce"], ha2))
    return expected == p["response"].lower()


def contact_address(message):
    """host:port of the Contact URI of a message, or None."""
    value = header(message, "Contact") or header(message, "m")
    if not value:
        return None
    m = re.search(r"sips?:(?:[^@;>]*@)?([0-9.]+)(?::(\d+))?", value)
    if not m:
        return None
    return "%s:%s" % (m.group(1), m.group(2) or "5060")


class Sipp:
    """One sipp run on 127.0.0.1.

        s = Sipp("uas_answer", role="server", rtp_echo=True, workdir=d).start()
        ...                           # s.port and s.media_port are known once start returns
        r = s.wait()                  # SippResult; r.ok, r.returncode, r.received() ...

    role "client" needs remote ("host:port") and sends the first message; "server" waits.
    calls is sipp's -m (default 1, 0 for no limit); timeout bounds sipp itself (-timeout,
    -timeout_error) and wait() kills it 10 s after that.
    """

    def __init__(self, scenario, role="client", remote=None, port=None, media_port=None,
                 rtp_echo=False, timeout=30, service=None, auth_user=None, auth_password=None,
                 params=None, fields=None, calls=None, workdir=None, name=None, extra_args=()):
        self.scenario = scenario_path(scenario)
        self.role = role
        self.remote = remote
        self.port = port
        self.media_port = media_port
        self.rtp_echo = rtp_echo
        self.timeout = timeout
        self.service = service
        self.auth_user = auth_user
        self.auth_password = auth_password
        self.params = dict(params or {})
        self.fields = fields
        # sipp -m: both roles end after one call unless told otherwise (0 = no limit). A uas_*
        # scenario that stands in as the engine's proxy sees its REGISTER as a call of its own.
        self.calls = 1 if calls is None else (None if calls == 0 else calls)
        self.workdir = Path(workdir) if workdir else make_workdir()
        self.name = name or self.scenario.stem
        self.extra_args = list(extra_args)
        self.proc = None
        self.returncode = None
        self.killed = False
        self.started_at = None
        if role not in ("client", "server"):
            raise PeerError("role must be client or server")
        if role == "client" and not remote:
            raise PeerError("a sipp client needs remote host:port")

    def _command(self):
        exe = shutil.which("sipp") or "/usr/bin/sipp"
        run = render_scenario(self.scenario, self.params, self.rundir / (self.name + ".xml"))
        cmd = [exe]
        if self.role == "client":
            cmd.append(self.remote)
        cmd += ["-sf", run, "-t", "u1", "-i", LOCALHOST, "-bind_local", "-p", self.port,
                "-mi", LOCALHOST, "-mp", self.media_port, "-ci", LOCALHOST,
                "-nostdin", "-timeout", "%ds" % self.timeout, "-timeout_error",
                "-trace_msg", "-message_file", self.messages_path,
                "-trace_err", "-error_file", self.errors_path,
                "-trace_logs", "-log_file", self.logs_path,
                "-trace_stat", "-stf", self.stats_path, "-fd", "1",
                "-trace_screen", "-screen_file", self.screen_path,
                "-max_recv_loops", "1000", "-deadcall_wait", "5000"]
        if self.rtp_echo:
            cmd.append("-rtp_echo")
        if self.calls is not None:
            cmd += ["-m", self.calls]
        if self.service is not None:
            cmd += ["-s", self.service]
        if self.auth_user is not None:
            cmd += ["-au", self.auth_user]
        if self.auth_password is not None:
            cmd += ["-ap", self.auth_password]
        if self.fields:
            inf = self.rundir / "fields.csv"
            rows = [";".join(str(v) for v in row) for row in self.fields]
            inf.write_text("SEQUENTIAL\n" + "\n".join(rows) + "\n")
            cmd += ["-inf", inf]
        return cmd + scenario_args(self.scenario) + self.extra_args

    def start(self, ready_timeout=5.0, attempts=3):
        fixed = self.port is not None, self.media_port is not None
        for attempt in range(attempts):
            if not fixed[0]:
                self.port = free_udp_port()
            if not fixed[1]:
                self.media_port = free_udp_ports(1, block=4)[0]
            self.rundir = self.workdir / ("sipp-%s-%d" % (self.name, self.port))
            self.rundir.mkdir(parents=True, exist_ok=True)
            self.messages_path = self.rundir / "messages.log"
            self.errors_path = self.rundir / "errors.log"
            self.logs_path = self.rundir / "actions.log"
            self.stats_path = self.rundir / "stats.csv"
            self.screen_path = self.rundir / "screen.log"
            self.output_path = self.rundir / "output.log"
            self.proc = _spawn(self._command(), self.output_path, cwd=self.rundir)
            self.started_at = time.monotonic()
            deadline = time.monotonic() + ready_timeout
            while time.monotonic() < deadline:
                if self.proc.poll() is not None or _udp_bound_by(self.port, self.proc.pid):
                    break
                time.sleep(0.02)
            if self.proc.poll() is None:
                return self
            rc = self.proc.returncode
            _unregister(self.proc)
            # A quick death with a port already taken by someone else: try other ports.
            if rc != SIPP_BIND_ERROR or all(fixed) or attempt == attempts - 1:
                self.returncode = rc
                return self
        return self

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def wait(self, timeout=None):
        """Waits for sipp to finish, at most timeout seconds from now (default: until 10 s after
        sipp's own time-out); a sipp still running then is stopped and counts as failed."""
        if self.proc is None:
            raise PeerError("sipp was not started")
        if timeout is None:
            remaining = max(0.0, self.started_at + self.timeout + 10 - time.monotonic())
        else:
            remaining = max(0.0, timeout)
        try:
            self.proc.wait(timeout=remaining)
        except subprocess.TimeoutExpired:
            self.killed = True
        self.stop()
        return SippResult(self)

    def stop(self, grace=3.0):
        """Stops sipp at once (SIGTERM, then SIGKILL)."""
        if self.proc is not None:
            self.returncode = _stop_process(self.proc, grace=grace)
        return self.returncode

    def quit(self, grace=5.0):
        """Asks sipp to finish its calls and exit (SIGUSR1), then stops it."""
        if self.running():
            try:
                os.kill(self.proc.pid, signal.SIGUSR1)
                self.proc.wait(timeout=grace)
            except (ProcessLookupError, subprocess.TimeoutExpired):
                pass
        return self.wait(timeout=0)

    def messages_so_far(self):
        return _read(self.messages_path)

    def wait_for_received(self, pattern, timeout=10.0):
        """Waits until a received message matches the regular expression; returns the message
        or None at the time-out or when sipp ended without it."""
        rx = re.compile(pattern, re.M)
        deadline = time.monotonic() + timeout
        while True:
            for m in _split_messages(self.messages_so_far(), "received"):
                if rx.search(m):
                    return m
            if time.monotonic() >= deadline or not self.running():
                return None
            time.sleep(0.05)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def run_sipp(scenario, **kwargs):
    """Starts a sipp run, waits for it and returns its SippResult."""
    return Sipp(scenario, **kwargs).start().wait()


def register_user(registrar, user, password=None, port=None, expires=3600, workdir=None,
                  timeout=10):
    """Registers user at registrar ("host:port") with Contact 127.0.0.1:port, using the
    uac_register scenario from that port; returns (port, SippResult). A sipp server started
    afterwards on the same port is then reachable as that user through kamailio."""
    password = password if password is not None else USERS.get(user, "")
    s = Sipp("uac_register", remote=registrar, port=port, service=user, auth_user=user,
             auth_password=password, timeout=timeout,
             params={"expires": expires, "check_contact": "true" if expires else "false"},
             workdir=workdir, name="register-%s" % user)
    result = s.start().wait()
    return s.port, result


# ---------------------------------------------------------------------------------------------
# Command line

def _print(*lines):
    for line in lines:
        sys.stdout.write(line + "\n")
    sys.stdout.flush()


def _stdin_closed_event():
    ev = threading.Event()

    def reader():
        try:
            while os.read(sys.stdin.fileno(), 4096):
                pass
        except (OSError, ValueError):
            pass
        ev.set()

    threading.Thread(target=reader, daemon=True).start()
    return ev


def _cmd_ports(args):
    _print(*[str(p) for p in free_udp_ports(args.count, block=args.block)])
    return 0


def _cmd_kamailio(args):
    workdir = Path(args.workdir) if args.workdir else make_workdir()
    k = Kamailio(port=args.port, workdir=workdir, reject_bad_auth=args.reject_bad_auth)
    try:
        k.start(ready_timeout=args.ready_timeout)
        _print("KAMAILIO_PORT=%d" % k.port, "KAMAILIO_LOG=%s" % k.log_path, "READY")
        closed = _stdin_closed_event()
        deadline = time.monotonic() + args.max_seconds
        while not closed.wait(0.1):
            if not k.running():
                _print("KAMAILIO_DIED", "KAMAILIO_LOG=%s" % k.log_path)
                return 1
            if time.monotonic() > deadline:
                _print("MAX_SECONDS_REACHED")
                break
        return 0
    finally:
        k.stop()
        _print("STOPPED")


def _parse_kv(items):
    out = {}
    for item in items or []:
        if "=" not in item:
            raise PeerError("expected name=value, got %s" % item)
        k, v = item.split("=", 1)
        out[k] = v
    return out


def _cmd_sipp(args):
    workdir = Path(args.workdir) if args.workdir else make_workdir()
    fields = [f.split(";") for f in args.field] if args.field else None
    s = Sipp(args.scenario, role=args.role, remote=args.remote, port=args.port,
             media_port=args.media_port, rtp_echo=args.rtp_echo, timeout=args.timeout,
             service=args.service, auth_user=args.auth_user, auth_password=args.auth_password,
             params=_parse_kv(args.param), fields=fields, calls=args.calls, workdir=workdir,
             extra_args=args.extra)
    try:
        s.start()
        _print("SIPP_PORT=%d" % s.port, "SIPP_MEDIA_PORT=%d" % s.media_port,
               "SIPP_DIR=%s" % s.rundir, "SIPP_MESSAGES=%s" % s.messages_path)
        if not s.running():
            result = s.wait(timeout=0)
            _print("SIPP_EXIT=%s" % result.returncode, "RESULT=failed")
            sys.stderr.write(result.describe() + "\n")
            return 1
        _print("READY")
        closed = _stdin_closed_event() if args.stdin_stops else threading.Event()
        reported = set()

        def report_contacts():
            # Each new Contact of a received REGISTER, once (the engine's address for tests
            # that must reach it from elsewhere).
            for m in _split_messages(s.messages_so_far(), "received"):
                addr = contact_address(m) if m.startswith("REGISTER ") else None
                if addr and addr not in reported:
                    reported.add(addr)
                    _print("ENGINE_CONTACT=%s" % addr)

        deadline = s.started_at + s.timeout + 10
        while s.running() and time.monotonic() < deadline:
            if closed.wait(0.05):
                s.quit(grace=args.quit_grace)
                break
            if args.watch_register:
                report_contacts()
        if args.watch_register:
            report_contacts()
        result = s.wait(timeout=0 if not s.running() else None)
        ok_calls, failed_calls = result.calls()
        _print("SIPP_EXIT=%s" % result.returncode, "SIPP_CALLS_OK=%d" % ok_calls,
               "SIPP_CALLS_FAILED=%d" % failed_calls, "RESULT=%s" % ("passed" if result.passed else "failed"))
        if not result.passed:
            sys.stderr.write(result.describe() + "\n")
        return 0 if result.passed else 1
    finally:
        s.stop()


def _cmd_run(args):
    if not args.command:
        raise PeerError("run needs a command after --")
    workdir = Path(args.workdir) if args.workdir else make_workdir()
    env = dict(os.environ)
    env["KBR_E2E_PEERS"] = str(Path(__file__).resolve())
    env["KBR_E2E_WORKDIR"] = str(workdir)
    k = None
    proc = None
    try:
        if args.kamailio:
            k = Kamailio(workdir=workdir, reject_bad_auth=args.reject_bad_auth).start()
            env["KBR_KAMAILIO_PORT"] = str(k.port)
            _print("KAMAILIO_PORT=%d" % k.port)
        proc = _spawn(args.command, env=env, stdin=None, own_group=False)
        try:
            return proc.wait(timeout=args.max_seconds)
        except subprocess.TimeoutExpired:
            _print("MAX_SECONDS_REACHED")
            return 124
    finally:
        if proc is not None:
            _stop_process(proc, grace=3)
        if k is not None:
            k.stop()


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    sub = ap.add_subparsers(dest="cmd", required=True)

    p = sub.add_parser("ports", help="print free UDP ports on 127.0.0.1, one per line")
    p.add_argument("count", type=int, nargs="?", default=1)
    p.add_argument("--block", type=int, default=1, help="each port starts a run of this many free ports")
    p.set_defaults(func=_cmd_ports)

    p = sub.add_parser("kamailio", help="start kamailio, print KAMAILIO_PORT=... and READY, stop at stdin EOF")
    p.add_argument("--port", type=int)
    p.add_argument("--workdir")
    p.add_argument("--reject-bad-auth", action="store_true", help="403 instead of a new challenge for a wrong password")
    p.add_argument("--ready-timeout", type=float, default=10.0)
    p.add_argument("--max-seconds", type=float, default=600.0, help="stop even without stdin EOF after this long")
    p.set_defaults(func=_cmd_kamailio)

    p = sub.add_parser("sipp", help="run a sipp scenario; prints SIPP_PORT=..., READY, SIPP_EXIT=...; "
                                    "exit 0 when sipp passed")
    p.add_argument("scenario", help="file name under tests/e2e/scenarios (.xml optional) or a path")
    p.add_argument("--role", choices=("client", "server"), default="server")
    p.add_argument("--remote", help="host:port a client sends to")
    p.add_argument("--port", type=int)
    p.add_argument("--media-port", type=int)
    p.add_argument("--rtp-echo", action="store_true")
    p.add_argument("--timeout", type=int, default=30, help="seconds sipp may run")
    p.add_argument("--service", help="sipp -s (the [service] keyword)")
    p.add_argument("--auth-user")
    p.add_argument("--auth-password")
    p.add_argument("--param", action="append", metavar="NAME=VALUE", help="scenario parameter")
    p.add_argument("--field", action="append", metavar="A;B;C", help="injection file row ([field0]...)")
    p.add_argument("--calls", type=int, help="sipp -m")
    p.add_argument("--workdir")
    p.add_argument("--watch-register", action="store_true",
                   help="print ENGINE_CONTACT=host:port when a REGISTER's Contact is seen")
    p.add_argument("--stdin-stops", action="store_true", help="stop sipp (SIGUSR1, then kill) at stdin EOF")
    p.add_argument("--quit-grace", type=float, default=3.0)
    p.add_argument("extra", nargs="*", help="more sipp arguments (after --)")
    p.set_defaults(func=_cmd_sipp)

    p = sub.add_parser("run", help="run a command with kamailio around it (KBR_KAMAILIO_PORT in its environment)")
    p.add_argument("--kamailio", action="store_true")
    p.add_argument("--reject-bad-auth", action="store_true")
    p.add_argument("--workdir")
    p.add_argument("--max-seconds", type=float, default=600.0)
    p.add_argument("command", nargs=argparse.REMAINDER)
    p.set_defaults(func=_cmd_run)

    args = ap.parse_args(argv)
    if getattr(args, "command", None) and args.command[:1] == ["--"]:
        args.command = args.command[1:]
    _install_signal_handlers()
    try:
        return args.func(args)
    except PeerError as e:
        sys.stderr.write("peers.py: %s\n" % e)
        return 2
    except KeyboardInterrupt:
        return 130
    finally:
        stop_all()


if __name__ == "__main__":
    sys.exit(main())
