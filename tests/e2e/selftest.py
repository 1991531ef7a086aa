#!/usr/bin/env python3
"""Self-tests of the end-to-end harness, without the engine: kamailio starts and answers, digest
registration works and wrong credentials are refused, calls go through kamailio, every sipp
far-end scenario passes against a sipp counterpart that plays the engine, the checks in the
scenarios do fail on wrong input, and peers.py leaves no process behind.

    python3 tests/e2e/selftest.py [-k substring] [-j jobs] [--keep]

Prints one line per case and a closing "N passed, N failed"; exits 1 when a case failed.
"""

import argparse
import concurrent.futures
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent))
import peers  # noqa: E402

PEERS_PY = Path(peers.__file__).resolve()
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


def run_pair(workdir, server, client, server_kw=None, client_kw=None, remote=None, timeout=20):
    """Runs a sipp server and a sipp client against it (or against remote); whichever fails
    first ends the other shortly after. Returns (server result, client result)."""
    server_kw = dict(server_kw or {})
    client_kw = dict(client_kw or {})
    s = peers.Sipp(server, role="server", workdir=workdir, timeout=server_kw.pop("timeout", timeout),
                   **server_kw).start()
    check(s.running(), "sipp server %s did not start" % server, s.wait(timeout=0) if not s.running() else None)
    c = peers.Sipp(client, remote=remote or "127.0.0.1:%d" % s.port, workdir=workdir,
                   timeout=client_kw.pop("timeout", timeout), **client_kw).start()
    try:
        deadline = time.monotonic() + timeout + 5
        while s.running() and c.running() and time.monotonic() < deadline:
            time.sleep(0.05)
        # One ended: give the other a moment to finish its part, longer when the first passed.
        first_ok = (not s.running() and s.proc.returncode == 0) or (not c.running() and c.proc.returncode == 0)
        grace = 8.0 if first_ok else 1.0
        end = time.monotonic() + grace
        while (s.running() or c.running()) and time.monotonic() < end:
            time.sleep(0.05)
        return s.wait(timeout=0), c.wait(timeout=0)
    finally:
        s.stop()
        c.stop()


def both_ok(rs, rc, what):
    check(rs.ok and rc.ok, "%s: server %s, client %s" % (what, rs.returncode, rc.returncode), rs, rc)


def received_lines(result):
    return peers.first_lines(result.received())


def rtp_echo_works(port, timeout=1.0):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    try:
        s.bind(("127.0.0.1", 0))
        s.settimeout(timeout)
        packet = bytes([0x80, 8, 0, 1, 0, 0, 0, 160, 1, 2, 3, 4]) + bytes([0xD5]) * 160
        s.sendto(packet, ("127.0.0.1", port))
        data, _ = s.recvfrom(2048)
        return data == packet
    except socket.timeout:
        return False
    finally:
        s.close()


def group_alive(pgid):
    try:
        os.killpg(pgid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


def wait_gone(pgid, timeout=5.0):
    deadline = time.monotonic() + timeout
    while group_alive(pgid) and time.monotonic() < deadline:
        time.sleep(0.05)
    return not group_alive(pgid)


# ---------------------------------------------------------------------------------------------
# kamailio

@case
def kamailio_starts_answers_options_and_stops(w):
    k = peers.Kamailio(workdir=w).start()
    pgid = k.proc.pid
    try:
        check(peers.sip_options(k.port) == "SIP/2.0 200 OK", "OPTIONS to kamailio not answered 200 OK")
        r = peers.run_sipp("uac_options", remote=k.address, workdir=w, timeout=10)
        check(r.ok, "uac_options against kamailio failed", r)
        log = k.log()
        check("request OPTIONS" in log, "kamailio does not log to its log file")
    finally:
        k.stop()
    check(wait_gone(pgid), "kamailio processes left after stop")
    check(peers.sip_options(k.port, timeout=0.3) is None, "kamailio still answers after stop")


@case
def kamailio_registers_with_digest(w):
    with peers.Kamailio(workdir=w) as k:
        port, r = peers.register_user(k.address, "1001", workdir=w)
        check(r.ok, "uac_register 1001/secret1 failed", r)
        got = r.received()
        check(got[0].startswith("SIP/2.0 401"), "first REGISTER not challenged with 401", r)
        challenge = peers.header(got[0], "WWW-Authenticate")
        check(challenge and "qop" not in challenge and 'realm="kbrtest"' in challenge,
              "challenge must be Digest realm kbrtest without qop: %s" % challenge)
        check(got[-1].startswith("SIP/2.0 200"), "no 200 for the REGISTER with credentials", r)
        check(re.search(r"<sip:1001@127\.0\.0\.1:%d>;expires=3600" % port, peers.header(got[-1], "Contact") or ""),
              "200 does not hold the binding with expires=3600", r)
        sent = r.sent()
        check(peers.verify_digest(sent[-1], "secret1"), "own REGISTER digest does not verify", r)
        # Unregistering removes the binding: a call to 1001 then finds nobody.
        _, r0 = peers.register_user(k.address, "1001", port=port, expires=0, workdir=w)
        check(r0.ok, "unregister failed", r0)


@case
def kamailio_refuses_wrong_credentials(w):
    table = [
        # (reject_bad_auth, service, auth user, password, expected status)
        (False, "1001", "1001", "wrong", "401"),
        (False, "1009", "1009", "secret1", "401"),
        (False, "1001", "1002", "secret2", "403"),
        (True, "1001", "1001", "wrong", "403"),
        (True, "1009", "1009", "secret1", "403"),
    ]
    for reject in (False, True):
        with peers.Kamailio(workdir=w, reject_bad_auth=reject) as k:
            for rej, service, user, password, status in table:
                if rej != reject:
                    continue
                r = peers.run_sipp("uac_register_bad", remote=k.address, service=service, auth_user=user,
                                   auth_password=password, params={"expect": status}, workdir=w, timeout=10)
                check(r.ok, "reject_bad_auth=%s %s as %s/%s: expected %s" % (reject, service, user, password, status), r)


@case
def kamailio_routes_call_between_registered_users(w):
    # Both hang-up directions: the caller's BYE and the callee's BYE follow the Record-Route.
    for callee_hangs_up in (False, True):
        with peers.Kamailio(workdir=w) as k:
            port, rr = peers.register_user(k.address, "1002", workdir=w)
            check(rr.ok, "register 1002 failed", rr)
            uas = peers.Sipp("uas_answer", role="server", port=port, service="1002", rtp_echo=True, workdir=w,
                             timeout=20, params={"talk_ms": 1000 if callee_hangs_up else 8000},
                             name="uas_answer-%s" % callee_hangs_up).start()
            uac = peers.Sipp("uac_call", remote=k.address, service="1002", auth_user="1001", auth_password="secret1",
                             workdir=w, timeout=20, params={"caller": "1001", "talk_ms": 8000 if callee_hangs_up else 1500},
                             name="uac_call-%s" % callee_hangs_up).start()
            ack = uas.wait_for_received(r"^ACK ", timeout=10)
            echo = rtp_echo_works(uas.media_port) if ack else False
            rc = uac.wait()
            rs = uas.wait()
            both_ok(rs, rc, "call 1001 -> 1002 through kamailio")
            check(ack is not None and len(re.findall(r"^Via:", ack, re.M | re.I)) == 2,
                  "ACK did not reach the callee through kamailio", rs)
            check(echo, "RTP sent to the callee's media port was not echoed", rs)
            lines = received_lines(rc)
            check(lines[0].startswith("SIP/2.0 407"), "kamailio did not challenge the INVITE with 407", rc)
            invite = rs.received()[0]
            check(peers.header(invite, "Record-Route"), "INVITE reached the callee without Record-Route", rs)
            check(peers.header(invite, "Proxy-Authorization") is None, "credentials were not consumed", rs)
            bye_side = rc if callee_hangs_up else rs
            check(any(l.startswith("BYE ") for l in received_lines(bye_side)), "BYE did not arrive", bye_side)


@case
def kamailio_refuses_in_dialog_request_without_route(w):
    # A stock proxy routes in-dialog requests by their Route set only: one without Route gets 404.
    with peers.Kamailio(workdir=w) as k:
        port, rr = peers.register_user(k.address, "1002", workdir=w)
        check(rr.ok, "register 1002 failed", rr)
        uas = peers.Sipp("selftest/s_answer_bye_routes.xml", role="server", port=port, service="1002",
                         workdir=w, timeout=15).start()
        rc = peers.run_sipp("uac_call", remote=k.address, service="1002", auth_user="1001", auth_password="secret1",
                            workdir=w, timeout=15, params={"caller": "1001", "talk_ms": 8000})
        rs = uas.wait()
        both_ok(rs, rc, "BYE along the route set through kamailio")
        bye = [m for m in rc.received() if m.startswith("BYE ")]
        check(bye and peers.header(bye[0], "Via") and len(re.findall(r"^Via:", bye[0], re.M | re.I)) >= 2,
              "BYE did not pass through kamailio", rc)


@case
def kamailio_cancel_while_ringing(w):
    with peers.Kamailio(workdir=w) as k:
        port, rr = peers.register_user(k.address, "1002", workdir=w)
        check(rr.ok, "register 1002 failed", rr)
        uas = peers.Sipp("uas_cancel", role="server", port=port, service="1002", workdir=w, timeout=15).start()
        rc = peers.run_sipp("uac_cancel", remote=k.address, service="1002", auth_user="1001", auth_password="secret1",
                            workdir=w, timeout=15, params={"caller": "1001", "ring_ms": 300})
        rs = uas.wait()
        both_ok(rs, rc, "CANCEL through kamailio")
        check("SIP/2.0 487 Request Terminated" in received_lines(rc), "caller got no 487", rc)


@case
def kamailio_unknown_callee_is_not_found(w):
    with peers.Kamailio(workdir=w) as k:
        r = peers.run_sipp("uac_refused", remote=k.address, service="1003", auth_user="1001", auth_password="secret1",
                           workdir=w, timeout=10, params={"caller": "1001", "status": "404", "reason": "Not Found"})
        check(r.ok, "call to an unregistered user must get 404 Not Found", r)


# ---------------------------------------------------------------------------------------------
# Far-end scenarios for calls, each against a sipp that plays the engine

@case
def uas_answer_with_caller(w):
    rs, rc = run_pair(w, "uas_answer", "uac_call", {"rtp_echo": True, "params": {"ring_ms": 100}},
                      {"service": "1001", "params": {"talk_ms": 500}})
    both_ok(rs, rc, "uas_answer")
    check(received_lines(rc)[:3] == ["SIP/2.0 100 Trying", "SIP/2.0 180 Ringing", "SIP/2.0 200 OK"],
          "expected 100, 180, 200", rc)


@case
def uas_scenarios_answer_register_as_proxy(w):
    # Standing in as the engine's proxy: REGISTER answered 200 (with Contact;expires), then the call.
    s = peers.Sipp("uas_answer", role="server", calls=2, workdir=w, timeout=15,
                   params={"reg_expires": 90, "talk_ms": 300}).start()
    r1 = peers.run_sipp("selftest/s_register_once.xml", remote="127.0.0.1:%d" % s.port, workdir=w, timeout=10,
                        params={"status": 200})
    r2 = peers.run_sipp("uac_call", remote="127.0.0.1:%d" % s.port, service="1001", workdir=w, timeout=10,
                        params={"talk_ms": 5000})
    rs = s.wait()
    check(r1.ok and r2.ok and rs.ok, "REGISTER then call against uas_answer", r1, r2, rs)
    check(re.search(r";expires=90", peers.header(r1.received()[0], "Contact") or ""),
          "REGISTER 200 without Contact;expires", r1)


@case
def uas_busy_with_caller(w):
    for status, reason in (("486", "Busy Here"), ("480", "Temporarily Unavailable"), ("600", "Busy Everywhere")):
        rs, rc = run_pair(w, "uas_busy", "uac_refused", {"params": {"status": status, "reason": reason}},
                          {"service": "1001", "params": {"status": status, "reason": reason}})
        both_ok(rs, rc, "uas_busy %s" % status)


@case
def uac_refused_checks_the_reason(w):
    # The engine's two 486 reasons differ; the caller scenario must tell them apart.
    rs, rc = run_pair(w, "uas_busy", "uac_refused", {"params": {"reason": "busy"}},
                      {"service": "1001", "params": {"reason": "user unable to answer"}}, timeout=8)
    check(not rc.ok, "uac_refused accepted 486 busy while expecting 'user unable to answer'", rc)


@case
def uas_challenge_with_caller(w):
    rs, rc = run_pair(w, "uas_challenge", "uac_call", {"rtp_echo": True},
                      {"service": "1001", "auth_user": "1001", "auth_password": "secret1", "params": {"talk_ms": 300}})
    both_ok(rs, rc, "uas_challenge")
    invites = [m for m in rs.received() if m.startswith("INVITE ")]
    check(len(invites) == 2, "expected the INVITE and its retry", rs)
    check(peers.verify_digest(invites[1], "secret1", header_name="Proxy-Authorization"),
          "retried INVITE's digest does not verify with secret1", rs)
    check(not peers.verify_digest(invites[1], "secret2", header_name="Proxy-Authorization"),
          "verify_digest accepts a wrong password", rs)


@case
def uas_challenge_rejects_wrong_user(w):
    rs, rc = run_pair(w, "uas_challenge", "uac_call", {"params": {"user": "1001"}},
                      {"service": "1001", "auth_user": "1002", "auth_password": "secret2", "params": {"talk_ms": 300}},
                      timeout=8)
    check(not rs.ok, "uas_challenge accepted credentials of another user", rs)


@case
def uas_early_media_with_caller(w):
    s = peers.Sipp("uas_early_media", role="server", rtp_echo=True, workdir=w, timeout=15,
                   params={"early_ms": 800, "ring_ms": 100}).start()
    c = peers.Sipp("uac_call", remote="127.0.0.1:%d" % s.port, service="1001", workdir=w, timeout=15,
                   params={"talk_ms": 300}).start()
    progress = c.wait_for_received(r"^SIP/2.0 183 ", timeout=5)
    echo = rtp_echo_works(s.media_port) if progress else False
    rc, rs = c.wait(), s.wait()
    both_ok(rs, rc, "uas_early_media")
    check(progress and peers.header(progress, "Content-Type") == "application/sdp" and "m=audio" in progress,
          "183 without SDP", rc)
    lines = received_lines(rc)
    check(lines.index("SIP/2.0 183 Session Progress") < lines.index("SIP/2.0 180 Ringing"), "183 must come before 180", rc)
    check(echo, "no RTP echo during early media", rs)


@case
def uas_far_hold_with_caller(w):
    rs, rc = run_pair(w, "uas_far_hold", "selftest/s_call_reinvited.xml",
                      {"rtp_echo": True, "params": {"hold_after_ms": 200, "hold_ms": 200}}, {"service": "1001"})
    both_ok(rs, rc, "uas_far_hold")
    reinvites = [m for m in rc.received() if m.startswith("INVITE ")]
    check(len(reinvites) == 2 and "a=sendonly" in reinvites[0] and "a=sendrecv" in reinvites[1],
          "expected re-INVITEs sendonly then sendrecv", rc)


@case
def uas_engine_hold_with_caller(w):
    rs, rc = run_pair(w, "uas_engine_hold", "selftest/s_call_hold.xml", {"rtp_echo": True}, {"service": "1001"})
    both_ok(rs, rc, "uas_engine_hold")


@case
def uas_engine_hold_wants_sendonly(w):
    # A resume-only caller (its first re-INVITE says sendrecv) must fail the hold check.
    rs, rc = run_pair(w, "uas_engine_hold", "selftest/s_call_reinvite_sendrecv.xml", {"params": {"wait_ms": 3000}},
                      {"service": "1001"}, timeout=8)
    check(not rs.ok, "uas_engine_hold accepted a hold re-INVITE without a=sendonly", rs)


@case
def uas_refer_with_transferor(w):
    for final, bye in (("200 OK", "true"), ("603 Declined", "false")):
        rs, rc = run_pair(w, "uas_refer", "selftest/s_call_refer.xml",
                          {"rtp_echo": True, "params": {"final": final, "refer_to": "^sip:1003@", "talk_ms": 600}},
                          {"service": "1001", "params": {"expect": final, "bye": bye}})
        both_ok(rs, rc, "uas_refer %s" % final)
        notifies = [m for m in rc.received() if m.startswith("NOTIFY ")]
        check(len(notifies) == 2 and peers.header(notifies[1], "Content-Type").startswith("message/sipfrag")
              and ("SIP/2.0 " + final) in notifies[1], "NOTIFY sipfrag outcome missing", rc)
        bye_from = rc if bye == "true" else rs
        check(any(m.startswith("SIP/2.0 200") and "BYE" in (peers.header(m, "CSeq") or "") for m in bye_from.received()),
              "BYE not answered", bye_from)


@case
def uas_refer_checks_target(w):
    rs, rc = run_pair(w, "uas_refer", "selftest/s_call_refer.xml", {"params": {"refer_to": "^sip:2000@"}},
                      {"service": "1001"}, timeout=8)
    check(not rs.ok, "uas_refer accepted a Refer-To that does not match refer_to", rs)


@case
def uas_cancel_with_caller(w):
    rs, rc = run_pair(w, "uas_cancel", "uac_cancel", {}, {"service": "1001", "params": {"ring_ms": 200}})
    both_ok(rs, rc, "uas_cancel while ringing")
    rs, rc = run_pair(w, "uas_cancel", "selftest/s_cancel_early.xml", {"params": {"answer_delay_ms": 3000}},
                      {"service": "1001"})
    both_ok(rs, rc, "uas_cancel before any provisional response")
    check("CANCEL before any provisional response" in rs.logs(), "the early CANCEL path was not taken", rs)


@case
def uas_cancel_crossing_with_caller(w):
    rs, rc = run_pair(w, "uas_cancel_crossing", "selftest/s_cancel_crossing.xml", {"rtp_echo": True},
                      {"service": "1001"})
    both_ok(rs, rc, "uas_cancel_crossing")
    check(received_lines(rs)[-2:][0].startswith("ACK ") and received_lines(rs)[-1].startswith("BYE "),
          "expected ACK then BYE after the crossing 200", rs)


# ---------------------------------------------------------------------------------------------
# Callers toward the engine, proxy side

@case
def proxy_call_with_engine(w):
    rs, rc = run_pair(w, "proxy_call", "selftest/s_engine_answer.xml", {"rtp_echo": True}, {})
    both_ok(rs, rc, "proxy_call")
    invite = [m for m in rc.received() if m.startswith("INVITE ")][0]
    check((peers.header(invite, "Call-ID") or "").startswith("call///"), "INVITE Call-ID is not its own", rc)
    check("180 reason ringing" in rs.logs(), "180 reason not logged", rs)


@case
def proxy_call_carries_extra_headers(w):
    rs, rc = run_pair(w, "proxy_call", "selftest/s_engine_answer.xml",
                      {"params": {"headers": "X-Brimel-id: line-7\nX-Brimel-CallType: internal"}}, {})
    both_ok(rs, rc, "proxy_call with headers")
    invite = [m for m in rc.received() if m.startswith("INVITE ")][0]
    check(peers.header(invite, "X-Brimel-id") == "line-7" and peers.header(invite, "X-Brimel-CallType") == "internal",
          "extra headers missing", rc)


@case
def proxy_cancel_after_200_with_engine(w):
    rs, rc = run_pair(w, "proxy_cancel_after_200", "selftest/s_engine_cancel_after_200.xml", {"rtp_echo": True}, {})
    both_ok(rs, rc, "proxy_cancel_after_200")
    lines = received_lines(rc)
    check(lines.index(next(l for l in lines if l.startswith("CANCEL "))) < lines.index(next(l for l in lines if l.startswith("ACK "))),
          "CANCEL must come before the ACK", rc)


# ---------------------------------------------------------------------------------------------
# Registrar stand-ins

@case
def reg_challenges_with_engine(w):
    for scn, first in (("reg_401_200", "SIP/2.0 401 Unauthorized"), ("reg_407_200", "SIP/2.0 407 Proxy Authentication Required")):
        rs, rc = run_pair(w, scn, "selftest/s_register_refresh.xml", {},
                          {"auth_user": "1001", "auth_password": "secret1"})
        both_ok(rs, rc, scn)
        check(received_lines(rc)[0] == first, "%s: first answer must be %s" % (scn, first), rc)
        regs = rs.received()
        check(len(regs) == 4, "%s: expected REGISTER, retry, refresh, un-REGISTER" % scn, rs)
        name = "Authorization" if scn == "reg_401_200" else "Proxy-Authorization"
        check(peers.verify_digest(regs[1], "secret1", header_name=name, check_uri=False), "%s: digest" % scn, rs)
        check(peers.header(rc.received()[-1], "Contact") is None, "%s: un-REGISTER answered with a binding" % scn, rc)


@case
def reg_401_200_rejects_wrong_password(w):
    rs, rc = run_pair(w, "reg_401_200", "selftest/s_register_refresh.xml", {},
                      {"auth_user": "1001", "auth_password": "wrong"}, timeout=8)
    check(not rs.ok, "reg_401_200 accepted a digest made with a wrong password", rs)


@case
def reg_expiry_forms_with_engine(w):
    rs, rc = run_pair(w, "reg_200_contact_expires", "selftest/s_register_refresh.xml", {"params": {"contact_expires": 120}},
                      {"params": {"expect_expires": "expires=120"}})
    both_ok(rs, rc, "reg_200_contact_expires")
    ok = rc.received()[0]
    check(peers.header(ok, "Expires") is None and peers.header(ok, "Contact").endswith(";expires=120"),
          "reg_200_contact_expires: wrong 200", rc)
    rs, rc = run_pair(w, "reg_200_expires_header", "selftest/s_register_refresh.xml", {"params": {"expires": 60}},
                      {"params": {"expect_expires": "Expires: 60"}})
    both_ok(rs, rc, "reg_200_expires_header")
    ok = rc.received()[0]
    check(peers.header(ok, "Expires") == "60" and "expires" not in peers.header(ok, "Contact").lower(),
          "reg_200_expires_header: wrong 200", rc)


@case
def reg_403_with_engine(w):
    rs, rc = run_pair(w, "reg_403", "selftest/s_register_once.xml", {"params": {"next_ms": 500}}, {"params": {"status": 403}})
    both_ok(rs, rc, "reg_403")
    check(received_lines(rc) == ["SIP/2.0 403 Forbidden"], "expected one 403 Forbidden", rc)


@case
def reg_no_answer_with_engine(w):
    rs, rc = run_pair(w, "reg_no_answer", "selftest/s_register_once.xml", {"params": {"hold_ms": 3000}},
                      {"params": {"status": 999, "wait_ms": 2500}})
    both_ok(rs, rc, "reg_no_answer")
    check(rc.received() == [], "reg_no_answer answered", rc)
    check(len(rs.received()) >= 3, "retransmissions not in the messages log", rs)


@case
def reg_options_with_engine(w):
    rs, rc = run_pair(w, "reg_options", "selftest/s_engine_options.xml", {"params": {"options_ms": 200}}, {})
    both_ok(rs, rc, "reg_options")
    options = [m for m in rc.received() if m.startswith("OPTIONS ")]
    check(len(options) == 1 and peers.header(options[0], "Call-ID").startswith("options///"),
          "OPTIONS with its own Call-ID expected", rc)


@case
def reg_options_wants_200_ok(w):
    rs, rc = run_pair(w, "reg_options", "selftest/s_register_once.xml", {"params": {"options_ms": 100}},
                      {"params": {"status": 200, "wait_ms": 2000}}, timeout=8)
    check(not rs.ok, "reg_options passed without an answer to its OPTIONS", rs)


@case
def options_ignored_and_answered(w):
    rs, rc = run_pair(w, "selftest/s_silent.xml", "uac_options_ignored", {}, {"params": {"wait_ms": 2000}})
    both_ok(rs, rc, "uac_options_ignored against a silent peer")
    check(len(rs.received()) >= 2, "OPTIONS was not retransmitted", rs)
    with peers.Kamailio(workdir=w) as k:
        r = peers.run_sipp("uac_options_ignored", remote=k.address, workdir=w, timeout=10, params={"wait_ms": 1500})
        check(not r.ok, "uac_options_ignored passed although kamailio answered", r)
        r = peers.run_sipp("uac_options", remote=k.address, workdir=w, timeout=10)
        check(r.ok, "uac_options against kamailio", r)


# ---------------------------------------------------------------------------------------------
# peers.py itself

@case
def scenario_parameters_are_declared_and_documented(w):
    files = sorted(peers.SCENARIOS.glob("*.xml")) + sorted((peers.SCENARIOS / "selftest").glob("*.xml"))
    check(len(files) > 20, "scenarios missing")
    for f in files:
        text = f.read_text()
        head = text.split("-->", 1)[0]
        check(f.stem in head and ("(client" in head or "(server" in head), "%s: no description of its role" % f.name)
        declared = peers.scenario_params(f)
        used = set(re.findall(r"%\{(\w+)\}", text.split("-->", 1)[1]))
        check(used <= set(declared), "%s uses undeclared %s" % (f.name, used - set(declared)))
        check(set(declared) <= used, "%s declares unused %s" % (f.name, set(declared) - used))
        out = peers.render_scenario(f, {}, Path(w) / ("%s.xml" % f.stem))
        check("%{" not in out.read_text(), "%s: unfilled parameter" % f.name)
    try:
        peers.render_scenario(peers.scenario_path("uac_call"), {"no_such": 1}, Path(w) / "x.xml")
        raise Failure("an unknown parameter was accepted")
    except peers.PeerError:
        pass


@case
def free_ports_are_free_and_distinct(w):
    ports = peers.free_udp_ports(6)
    check(len(set(ports)) == 6 and 5060 not in ports, "ports not distinct: %s" % ports)
    blocks = peers.free_udp_ports(2, block=4)
    check(all(p % 2 == 0 for p in blocks), "media ports must be even")
    for p in ports + [b + i for b in blocks for i in range(4)]:
        check(peers._udp_port_free(p), "port %d is taken" % p)


def _spawn_cli(args, w):
    return subprocess.Popen([sys.executable, str(PEERS_PY)] + args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, cwd=w, start_new_session=True)


def _read_until(proc, pattern, timeout=15.0):
    """Lines of proc's stdout up to one matching pattern (bounded by timeout)."""
    lines = []
    buf = getattr(proc, "_pending", b"")
    fd = proc.stdout.fileno()
    deadline = time.monotonic() + timeout
    while True:
        while b"\n" in buf:
            line, buf = buf.split(b"\n", 1)
            lines.append(line.decode(errors="replace"))
            if re.search(pattern, lines[-1]):
                proc._pending = buf
                return lines
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            break
        ready, _, _ = select.select([fd], [], [], min(remaining, 0.2))
        if ready:
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            buf += chunk
    proc._pending = buf
    raise Failure("no line matching %r from peers.py; got %s" % (pattern, lines))


def _value(lines, key):
    for line in lines:
        if line.startswith(key + "="):
            return line.split("=", 1)[1]
    raise Failure("%s missing in %s" % (key, lines))


@case
def cli_kamailio_stops_at_stdin_eof(w):
    p = _spawn_cli(["kamailio", "--workdir", str(w)], w)
    try:
        lines = _read_until(p, r"^READY")
        port = int(_value(lines, "KAMAILIO_PORT"))
        check(peers.sip_options(port) == "SIP/2.0 200 OK", "kamailio from the CLI does not answer")
        p.stdin.close()
        rest = _read_until(p, r"^STOPPED")
        check(p.wait(timeout=10) == 0, "peers.py kamailio exit code %s" % p.returncode)
        check(peers.sip_options(port, timeout=0.3) is None, "kamailio still answers after stdin EOF: %s" % rest)
    finally:
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()


@case
def cli_kamailio_goes_when_launcher_is_killed(w):
    for sig in (signal.SIGTERM, signal.SIGKILL, signal.SIGINT):
        p = _spawn_cli(["kamailio", "--workdir", str(w)], w)
        try:
            lines = _read_until(p, r"^READY")
            port = int(_value(lines, "KAMAILIO_PORT"))
            os.kill(p.pid, sig)
            p.wait(timeout=10)
            deadline = time.monotonic() + 8
            while peers.sip_options(port, timeout=0.2) is not None and time.monotonic() < deadline:
                time.sleep(0.1)
            check(peers.sip_options(port, timeout=0.3) is None,
                  "kamailio survived its launcher killed with %s" % signal.Signals(sig).name)
            check(wait_gone_port(port), "something still bound to kamailio's port after %s" % signal.Signals(sig).name)
        finally:
            if p.poll() is None:
                os.killpg(p.pid, signal.SIGKILL)
                p.wait()


@case
def cli_sipp_goes_when_launcher_is_killed(w):
    p = _spawn_cli(["sipp", "uas_answer", "--rtp-echo", "--timeout", "60", "--workdir", str(w)], w)
    try:
        lines = _read_until(p, r"^READY")
        port = int(_value(lines, "SIPP_PORT"))
        media = int(_value(lines, "SIPP_MEDIA_PORT"))
        os.kill(p.pid, signal.SIGKILL)
        p.wait(timeout=10)
        check(wait_gone_port(port) and wait_gone_port(media), "sipp survived its launcher killed with SIGKILL")
    finally:
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()


def wait_gone_port(port, timeout=5.0):
    deadline = time.monotonic() + timeout
    while peers._udp_bound(port) and time.monotonic() < deadline:
        time.sleep(0.1)
    return not peers._udp_bound(port)


@case
def cli_sipp_reports_engine_contact_and_exit(w):
    p = _spawn_cli(["sipp", "reg_200_contact_expires", "--watch-register", "--timeout", "15",
                    "--param", "next_ms=500", "--workdir", str(w)], w)
    try:
        lines = _read_until(p, r"^READY")
        port = int(_value(lines, "SIPP_PORT"))
        r = peers.run_sipp("selftest/s_register_once.xml", remote="127.0.0.1:%d" % port, workdir=w, timeout=10,
                           params={"status": 200})
        check(r.ok, "REGISTER against the CLI sipp", r)
        rest = _read_until(p, r"^RESULT=")
        contact = _value(rest, "ENGINE_CONTACT")
        reg_port = int(peers.contact_address(r.sent()[0]).split(":")[1])
        check(contact == "127.0.0.1:%d" % reg_port, "ENGINE_CONTACT %s, REGISTER came from %d" % (contact, reg_port))
        check(_value(rest, "SIPP_EXIT") == "0" and _value(rest, "RESULT") == "passed", "sipp result %s" % rest)
        check(p.wait(timeout=10) == 0, "peers.py sipp exit code %s" % p.returncode)
    finally:
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()


@case
def cli_sipp_stops_at_stdin_eof(w):
    p = _spawn_cli(["sipp", "uas_answer", "--stdin-stops", "--timeout", "60", "--workdir", str(w)], w)
    try:
        lines = _read_until(p, r"^READY")
        port = int(_value(lines, "SIPP_PORT"))
        check(peers._udp_bound(port), "sipp is not bound to its port")
        start = time.monotonic()
        p.stdin.close()
        rest = _read_until(p, r"^RESULT=")
        check(_value(rest, "RESULT") == "failed", "a sipp stopped before its call is not a pass")
        check(p.wait(timeout=10) == 1 and time.monotonic() - start < 10, "peers.py sipp did not stop promptly")
        check(wait_gone_port(port), "sipp still bound after stop")
    finally:
        if p.poll() is None:
            os.killpg(p.pid, signal.SIGKILL)
            p.wait()


@case
def cli_run_wraps_a_command(w):
    code = ("import os,sys; sys.path.insert(0, os.path.dirname(os.environ['KBR_E2E_PEERS'])); import peers; "
            "port=int(os.environ['KBR_KAMAILIO_PORT']); "
            "sys.exit(0 if peers.sip_options(port) == 'SIP/2.0 200 OK' else 3)")
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    r = subprocess.run([sys.executable, str(PEERS_PY), "run", "--kamailio", "--workdir", str(w), "--",
                        sys.executable, "-c", code], capture_output=True, text=True, timeout=30, env=env)
    check(r.returncode == 0, "peers.py run: exit %s\n%s\n%s" % (r.returncode, r.stdout, r.stderr))
    port = int(_value(r.stdout.splitlines(), "KAMAILIO_PORT"))
    check(peers.sip_options(port, timeout=0.3) is None, "kamailio left running after peers.py run")
    r = subprocess.run([sys.executable, str(PEERS_PY), "run", "--workdir", str(w), "--", sys.executable, "-c",
                        "import sys; sys.exit(5)"], capture_output=True, text=True, timeout=30)
    check(r.returncode == 5, "peers.py run must return the command's exit code, got %s" % r.returncode)


@case
def sipp_stopped_on_wait_timeout(w):
    s = peers.Sipp("uas_answer", role="server", workdir=w, timeout=30).start()
    port = s.port
    r = s.wait(timeout=1.0)
    check(r.timed_out and not r.ok, "a sipp still running at the wait limit must count as failed")
    check(not s.running() and wait_gone_port(port), "sipp left running after the wait limit")


# ---------------------------------------------------------------------------------------------

def main():
    ap = argparse.ArgumentParser(description="Self-tests of the end-to-end harness")
    ap.add_argument("-k", dest="select", help="run only cases whose name holds this text")
    ap.add_argument("-j", dest="jobs", type=int, default=4)
    ap.add_argument("--keep", action="store_true", help="keep the work folder")
    args = ap.parse_args()
    peers._install_signal_handlers()

    for tool in ("kamailio", "sipp", "setpriv"):
        if not (shutil.which(tool) or os.path.exists("/usr/sbin/" + tool)):
            print("missing %s" % tool)
            print("0 passed, 1 failed")
            return 1

    cases = [c for c in CASES if not args.select or args.select in c.__name__]
    root = Path(tempfile.mkdtemp(prefix="kbr-e2e-selftest-"))
    passed, failed = [], []
    started = time.monotonic()

    def run(fn):
        w = root / fn.__name__
        w.mkdir()
        t0 = time.monotonic()
        try:
            fn(w)
            return fn.__name__, None, time.monotonic() - t0
        except Failure as e:
            return fn.__name__, str(e), time.monotonic() - t0
        except Exception:
            return fn.__name__, traceback.format_exc(), time.monotonic() - t0

    try:
        with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
            for name, error, secs in pool.map(run, cases):
                if error is None:
                    passed.append(name)
                    print("PASS %s (%.1f s)" % (name, secs), flush=True)
                else:
                    failed.append(name)
                    print("FAIL %s (%.1f s)\n%s" % (name, secs, "\n".join("    " + l for l in error.splitlines())),
                          flush=True)
    finally:
        peers.stop_all()
    with peers._live_lock:
        left = list(peers._live)
    if left:
        failed.append("processes left: %s" % [p.pid for p in left])
        print("FAIL processes left behind: %s" % [p.pid for p in left])
    print("work folder %s%s" % (root, "" if (failed or args.keep) else " (removed)"))
    if not failed and not args.keep:
        shutil.rmtree(root, ignore_errors=True)
    print("total %.1f s" % (time.monotonic() - started))
    print("%d passed, %d failed" % (len(passed), len(failed)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
