#!/usr/bin/env python3
"""Compares the library with the reference reader, message by message.

Each case is a call (login, logout, getfileinfo, adddir, removedir,
removefile, getfilelist, addfile, updatefile, downloadfile) answered by
generated messages, one per receive. The same case runs through the library
(reader_check_host against scripted_service) and through the reference
reader (reference_reader.Client over the list of receives); results, entries,
error state, file information, progress calls and the bytes of every request
(so the identifier the client kept) must agree. When the reader would wait
for another receive, the service sends one more, final message.

  run_reader_check.py --host PATH [--seed N] [--limit N]  exact comparison
  run_reader_check.py --host PATH --joined-split   messages joined or split
  run_reader_check.py --host PATH --bench          latency figures
Runs in its own network namespace (the service listens on 127.0.0.1:11001).
"""
import argparse
import copy
import itertools
import json
import os
import queue
import random
import re
import shlex
import statistics
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import reference_reader as reader  # noqa: E402
import message_grammar  # noqa: E402
from scripted_service import CLOSE, ScriptedService  # noqa: E402

CALL_SECONDS = 5.0
SETTLE_SECONDS = 0.5  # a call still running this long after its last message hangs
FINAL = b'<ACK Result="success"/>'
PATHS = ["\\a\\b", "\\a\\b\\", "\\a\\b\\\\", "\\", "", None, '\\q"uote', "\\amp&<lt>",
         "\\\u00e9\u6587\\f.txt", "\\long\\" + "x" * 300, "/fw/slash/"]
LOCAL_PATHS = ["/home/ann/r.pdf", "", None, '/q"l', "C:\\d\\\u00e9.txt"]
LOGINS = [["ann", "pw", "proj", "ct"], ["\u00e9", "p w&<>", "", ""], ['a"b', "p", "x", "y"]]
KINDS = ["getfilelist", "addfile", "getfileinfo", "getfilelist", "updatefile", "adddir",
         "getfilelist", "downloadfile", "login", "getfilelist", "addfile", "removedir",
         "getfilelist", "updatefile", "removefile", "getfilelist", "downloadfile", "logout"]
MULTI_MESSAGE = {"getfilelist", "addfile", "updatefile", "downloadfile"}


class Host:
    """The library behind reader_check_host, one process, one CBrevanto."""

    def __init__(self, command, service):
        self.service = service
        self.proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     text=True, bufsize=1)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            out = json.loads(line)
            if "cb" in out:
                self.service.callback_seen()
            self.lines.put(out)
        self.lines.put(None)

    def call(self, op, args, settle=SETTLE_SECONDS):
        """(result line, progress lines), or None after CALL_SECONDS, or
        `settle` seconds after the client read the last message, or a crash."""
        self.service.operation_started()
        self.proc.stdin.write(op + reader.encode_args(args) + "\n")
        self.proc.stdin.flush()
        deadline = time.monotonic() + CALL_SECONDS
        callbacks = []
        while True:
            try:
                out = self.lines.get(timeout=0.05)
            except queue.Empty:
                now = time.monotonic()
                answered = self.service.answered_at
                if now > deadline or (answered and now - answered > settle):
                    return None
                continue
            if out is None:
                return None
            if "cb" in out:
                callbacks.append(out)
                continue
            self.service.operation_finished()
            return out, callbacks

    def stop(self):
        self.proc.kill()
        self.proc.wait()


class Call:
    def __init__(self, op, args, receives, judged=True):
        self.op, self.args, self.receives, self.judged = op, args, list(receives), judged


def run_reader(client, call):
    """Runs a call through the reader; returns (client after it, expectation)."""
    receives = list(call.receives)
    while True:
        trial = copy.deepcopy(client)
        io = reader.ScriptedReceives(receives)
        trial.io = io
        counts = []  # progress calls made before each receive
        calls = []
        original_recv = io.recv

        def recv():
            counts.append(len(calls))
            return original_recv()

        io.recv = recv
        try:
            out = trial.run(call.op, call.args, lambda d, t: calls.append((d, t)))
        except reader.ReaderWaits:
            receives.append(FINAL)
            continue
        used = receives[:io.consumed]
        counts.append(len(calls))
        answer = [(m, counts[i + 1] if counts[i + 1] > counts[i] else 0)
                  for i, m in enumerate(used)]
        trial.io = None
        return trial, {"out": out, "sent": io.sent, "answer": answer if io.sent else None,
                       "used": used, "waited": len(receives) > len(call.receives),
                       "err": (trial.err_code, trial.err_text)}


def differences(call, expected, got, requests):
    """The ways the host's result differs from the reader's, as texts."""
    if got is None:
        return ["hang: no return %.0f s after the last message (or %.0f s in all)"
                % (SETTLE_SECONDS, CALL_SECONDS)]
    line, callbacks = got
    out, diffs = expected["out"], []
    if not call.judged:
        return diffs
    if out["ret"] == reader.SOCKET_ERROR:
        if line["ret"] <= 0:
            diffs.append("ret %d, expected a socket error" % line["ret"])
    elif out["ret"] != reader.UNKNOWN and line["ret"] != out["ret"]:
        diffs.append("ret %d, expected %d" % (line["ret"], out["ret"]))
    code, text = expected["err"]
    got_text = bytes.fromhex(line["err_msg"]).decode("utf-8", "replace")
    if code is not None and (line["err_code"], got_text) != (code, text):
        diffs.append("error state (%d, %r), expected (%d, %r)"
                     % (line["err_code"], got_text, code, text))
    if "entries" in out:
        entries = [[d, bytes.fromhex(p).decode("utf-8", "replace")] for d, p in line["entries"]]
        if entries != out["entries"]:
            diffs.append("entries %r, expected %r" % (entries, out["entries"]))
    if "info" in out and line.get("info") != out["info"]:
        diffs.append("file info %r, expected %r" % (line.get("info"), out["info"]))
    if "cbs" in out:
        got_calls = [c["cb"] for c in callbacks]
        if got_calls != out["cbs"] or any(c["ctx"] != 1 for c in callbacks):
            diffs.append("progress calls %r, expected %r" % (got_calls, out["cbs"]))
    if requests != expected["sent"]:
        diffs.append("requests %r, expected %r" % (requests, expected["sent"]))
    return diffs


class Checker:
    def __init__(self, host_command, service, log):
        self.command, self.service, self.log = host_command, service, log
        self.host = Host(host_command, service)
        self.client = reader.Client()
        self.clean = False  # the last case left both sides in the same known state
        self.cases = self.failed = self.hangs = 0

    def prefix(self, n):
        """Calls that bring both sides to a known state: logged in with the
        identifier c<n>, the error state seeded, the last message ACK or RPT."""
        c = self.client
        calls = []
        if not (self.clean and c.logged_in and c.sock == "open"):
            # After a difference the two sides may part until the seed below.
            if c.sock != "none":
                calls.append(Call("logout", [], [FINAL], judged=self.clean))
            calls.append(Call("login", LOGINS[0], [b'<ACK Result="success" ClientID="c%d"/>' % n],
                              judged=self.clean))
        head = b"RPT" if n % 2 else b"ACK"
        calls.append(Call("adddir", ["\\seed"], [b'<%s Result="failed" errcode="%d" errtext='
                                                 b'"seed %d"/>' % (head, 100 + n % 50, n)]))
        return calls

    def case_calls(self, n, kind, receives):
        path, local = PATHS[n % len(PATHS)], LOCAL_PATHS[(n // 3) % len(LOCAL_PATHS)]
        if kind == "login":
            return [Call("logout", [], [FINAL]), Call("login", LOGINS[n % len(LOGINS)], receives)]
        if kind == "logout":
            return [Call("logout", [], receives)]
        if kind == "getfileinfo":
            return [Call(kind, [path, "5", "-9"], receives)]
        if kind == "getfilelist":
            return [Call(kind, [path, str(n % 2)], receives)]
        if kind in MULTI_MESSAGE:
            return [Call(kind, [local, path], receives)]
        return [Call(kind, [path], receives)]

    def run_case(self, n, kind, receives):
        calls = self.prefix(n) + self.case_calls(n, kind, receives)
        report = []
        for i, call in enumerate(itertools.chain(calls, [None])):
            if call is None:  # the probe: its request shows the identifier kept
                if self.client.sock != "open":
                    break
                call = Call("removefile", ["\\probe"], [FINAL])
            self.client, expected = run_reader(self.client, call)
            self.service.expect([expected["answer"]] if expected["answer"] else [])
            got = self.host.call(call.op, call.args)
            requests, reads, notes = self.service.take_log()
            diffs = differences(call, expected, got, [r for r, _ in requests])
            diffs += notes if call.judged else []
            if diffs:
                report.append((call, expected, got, diffs))
            if got is None:
                self.hangs += 1
                self.restart()
                break
        self.cases += 1
        self.clean = not report
        if report:
            self.failed += 1
            self.print_report(n, kind, report)

    def restart(self):
        self.host.stop()
        time.sleep(0.1)
        self.service.take_log()
        self.host = Host(self.command, self.service)
        self.client = reader.Client()

    def print_report(self, n, kind, report):
        lines = ["case %d (%s)" % (n, kind)]
        for call, expected, got, diffs in report:
            lines.append("  %s %r: messages %r%s" % (call.op, call.args, expected["used"],
                                                     " (reader waited: final added)"
                                                     if expected["waited"] else ""))
            lines.append("    reader: %r" % expected["out"])
            lines.append("    library: %r" % (got[0] if got else None))
            lines += ["    DIFF " + d for d in diffs]
        text = "\n".join(lines)
        self.log.write(text + "\n")
        if self.failed <= 25:
            print(text)


def cases(seed, limit):
    """(number, kind, receives): every generated message heads one case, in
    a seeded order, so that a run cut short by its time budget still spans
    every form."""
    rng = random.Random(seed)
    pool = list(message_grammar.messages(seed))
    rng.shuffle(pool)
    rpt_heads = [m for m in pool if m[1:5].lower() == b"rpt "]
    for n, message in enumerate(pool[:limit] if limit else pool):
        kind = KINDS[n % len(KINDS)]
        receives = [message]
        if kind in MULTI_MESSAGE:
            for _ in range(rng.choice((0, 1, 2))):
                receives.append(rng.choice(rpt_heads if rng.random() < 0.5 else pool))
            if rng.random() < 0.06:
                receives.insert(rng.randrange(len(receives) + 1), CLOSE)
        elif rng.random() < 0.02:
            receives = [CLOSE]
        yield n, kind, receives


def exact_check(args, service):
    log_path = os.path.join(os.environ.get("TMPDIR", "/tmp"), "reference_reader_check.log")
    with open(log_path, "w") as log:
        checker = Checker(shlex.split(args.host), service, log)
        start = time.monotonic()
        planned = list(cases(args.seed, args.limit))
        for n, kind, receives in planned:
            if time.monotonic() - start > args.budget:
                break
            checker.run_case(n, kind, receives)
        checker.host.stop()
    unrun = len(planned) - checker.cases
    print("reference reader check: %d cases run, %d differ, %d hangs, %d not run (time budget),"
          " %.0f s; all differences in %s" % (checker.cases, checker.failed, checker.hangs,
                                                unrun, time.monotonic() - start, log_path))
    return checker.failed == 0 and unrun == 0


def joinable(receives):
    """Whether the messages are reports whose heads have closed followed by a
    final reply headed ACK: the one join a reader can undo without changing
    what a whole message gives (a report may carry any element after its
    head, so only a final reply that nothing follows within a second is
    taken as joined)."""
    messages = [m for m in receives if m is not CLOSE]
    if len(messages) < 2:
        return False
    *reports, final = messages
    for report in reports:
        head_end = report.find(b">")
        if not re.match(rb"\s*<rpt ", report, re.I) or head_end < 0:
            return False
        if report[head_end - 1:head_end] != b"/" and not re.search(rb"</rpt", report, re.I):
            return False
    return re.match(rb"\s*<ack[\s/>]", final, re.I) is not None


def joined_split_check(args, service):
    """Best effort: messages joined in one receive or cut anywhere, with
    delays; each call must return within 3 s and the next reply be read."""
    failures = cases_run = 0
    host = Host(shlex.split(args.host), service)
    rng = random.Random(args.seed)
    host_alive = True
    pool = [c for c in cases(args.seed, args.limit) if c[1] in MULTI_MESSAGE][::8]
    start = time.monotonic()
    for n, kind, receives in pool:
        if time.monotonic() - start > args.budget:
            break
        if not host_alive:
            host = Host(shlex.split(args.host), service)
            host_alive = True
        client = reader.Client()
        service.delivery = "each"
        for call in (Call("logout", [], [FINAL]), Call("login", LOGINS[0], [FINAL])):
            client, expected = run_reader(client, call)
            service.expect([expected["answer"]] if expected["answer"] else [])
            host.call(call.op, call.args)
        call = Call(kind, [LOCAL_PATHS[0], "\\j"] if kind != "getfilelist" else ["\\j", "0"],
                    [r for r in receives if r is not CLOSE])
        client, expected = run_reader(client, call)
        delivery = service.delivery = "joined" if joinable(receives) else "split"
        service.expect([expected["answer"]])
        started = time.monotonic()
        got = host.call(call.op, call.args, settle=3.0)
        service.delivery = "each"
        probe_size = 1000 + n
        service.expect([[(b'<ACK Result="success" Size="%d"/>' % probe_size, 0)]])
        probe = host.call("getfileinfo", ["\\probe", "0", "0"]) if got else None
        service.take_log()
        cases_run += 1
        problem = None
        if got is None or time.monotonic() - started > 3.0:
            problem = "no return within 3 s"
        elif probe is None or probe[0]["ret"] != 0 or probe[0]["info"]["size"][1] != probe_size:
            problem = "next reply misread: %r" % (probe[0] if probe else None)
        if problem:
            failures += 1
            print("joined/split case %d (%s, %s): %s\n  messages %r"
                  % (n, kind, delivery, problem, expected["used"]))
            host.stop()
            host_alive = False
    host.stop()
    print("joined/split check: %d cases run, %d failures, %d not run (time budget), %.0f s"
          % (cases_run, failures, len(pool) - cases_run, time.monotonic() - start))
    return failures == 0 and cases_run == len(pool)


def bench(args, service):
    """Time from the client having read a message to its callback or return.
    A figure is None when the client did not call back or return within
    SETTLE_SECONDS of reading the message (it was waiting for more)."""
    def login(host):
        service.expect([[(b'<ACK Result="success" ClientID="b"/>', 0)]])
        host.call("login", LOGINS[0])
        service.take_log()

    def median(values):
        values = [v for v in values if v is not None]
        return statistics.median(values) if values else None

    def measure(command):
        host = Host(command, service)
        login(host)
        rows = {}
        reports = [(b'<RPT TotalBytes="100" CompleteBytes="%d">' % i, i + 1) for i in range(10)]
        service.expect([reports + [(FINAL, 0)]])
        got = host.call("addfile", ["/l", "\\s"])
        _, reads, _ = service.take_log()
        callbacks = got[1] if got else []
        lags = [c["t"] - r[2] for c, r in zip(callbacks, reads)]
        rows["progress reports as open tags"] = median(
            lag if lag < SETTLE_SECONDS * 1e9 else None for lag in lags)
        if got is None:
            host.stop()
            host = Host(command, service)
            login(host)
        lags = []
        for i in range(20):
            service.expect([[(b'<ACK Result="success">', 0)]])
            got = host.call("adddir", ["\\d%d" % i])
            _, reads, _ = service.take_log()
            lags.append(got[0]["t"] - reads[0][2] if got and reads else None)
            if got is None:
                host.stop()
                host = Host(command, service)
                login(host)
        rows["final replies as open tags"] = median(lags)
        service.expect([[(FINAL, 0)]] * 100)
        start = time.monotonic_ns()
        returned = all(host.call("adddir", ["\\e%d" % i]) for i in range(100))
        rows["100 AddDir in a row"] = time.monotonic_ns() - start if returned else None
        service.take_log()
        host.stop()
        return rows

    def shown(ns):
        # The read is seen by polling, so a lag below the polling step shows as 0.
        return "no return or callback (waits for more)" if ns is None else "%.3f ms" % max(
            0.0, ns / 1e6)

    ours = measure(shlex.split(args.host))
    reference = measure([sys.executable, reader.__file__, "--client"])
    for name in ours:
        ratio = ("%.1f" % (ours[name] / reference[name]) if ours[name] and reference[name]
                 and reference[name] > 50000 else "-")
        print("%s: ours %s, one-receive reader %s, ratio %s"
              % (name, shown(ours[name]), shown(reference[name]), ratio))
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--host", required=True, help="the reader_check_host program")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--limit", type=int, default=0, help="at most this many cases")
    parser.add_argument("--budget", type=float, default=100,
                        help="seconds after which no further case starts")
    parser.add_argument("--joined-split", action="store_true")
    parser.add_argument("--bench", action="store_true")
    args = parser.parse_args()
    os.environ.setdefault("BREVANTO_LOG_DIR", os.environ.get("TMPDIR", "/tmp"))
    service = ScriptedService(seed=args.seed)
    mode = bench if args.bench else joined_split_check if args.joined_split else exact_check
    sys.exit(0 if mode(args, service) else 1)


if __name__ == "__main__":
    main()
