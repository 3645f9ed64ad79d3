#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The torture run: the built tool under one injected fault at a time.

A payment and a pre-authorization, over http and over https, and an inspection are run once with
the fault injector (libvemrick_inject.so, see sim/inject.c) only counting, which tells how many calls
of each kind a run makes. Then, for each kind, each mode of failure (MODES) and each N up to that
count, the same run is made with the Nth call failing (for the ":from" modes, every call from the
Nth on). Where a kind has more than 2 x --edge calls, only the first and last --edge N and every
--every-th (--every-from-th) N between them are run. Every run must:

  - end by itself within LIMIT seconds, never by a signal;
  - print one well-formed result: the lines of its mode, exactly one ReturnCode line, with a code
    the tool documents, and for a library failure a diagnostic on stderr; or end as documented
    otherwise, with status 1 after the digest kernel's "CRITICAL EXCEPTION: ... exiting." or
    after "ReturnCode=999" / "ReturnDescription=Out of Memory", or with status 2 when the result
    could not be written;
  - under a fault a program is expected to ride out (TRANSIENT), end as a run without a fault;
  - by the test server's log: approve only a request that the server logged as valid and
    approved, with that reply's authorization number; never post anything but the signed
    message; never say that the request was not sent when the server read its request line.

--valgrind K repeats K of the faulted runs under valgrind memcheck, which must find no invalid
access and no definitely lost block: one run of each distinct outcome (kind of fault, exit status,
ReturnCode, failing phase) first, then others evenly spaced. The servers listen on 127.0.0.1 and
stop with the run. Prints the runs per kind, the failures with the fault behind each, and the
wall time; exits with 1 when any run failed.
"""
import argparse
import collections
import concurrent.futures
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "sim"))
import authstring  # noqa: E402  (sim/)
import certs  # noqa: E402
import launch  # noqa: E402

# Each kind of call with the ways it fails; ":from" fails every call from the Nth on.
MODES = {
    "malloc": ["ENOMEM", "ENOMEM:from"],
    "socket": ["EMFILE", "ENOMEM"],
    "connect": ["EINTR", "EAGAIN", "ECONNREFUSED"],
    "poll": ["EINTR", "ENOMEM", "EINTR:from"],
    "send": ["EINTR", "EAGAIN", "EPIPE", "ECONNRESET", "short", "EINTR:from"],
    "recv": ["EINTR", "EAGAIN", "ECONNRESET", "short", "EINTR:from"],
    "tls-write": ["EINTR", "EAGAIN", "EPIPE", "short"],
    "tls-read": ["EINTR", "EAGAIN", "ECONNRESET", "short"],
    "fopen": ["ENOMEM", "EINTR", "EACCES"],
    "fread": ["EINTR", "EIO", "short"],
    "write": ["EINTR", "EAGAIN", "EPIPE", "short"],
}
# Faults a program is expected to ride out: an interrupted call, a socket not ready yet, a short
# count. Under one of these a run must end as it does without a fault.
SOCKET_IO = ("send", "recv", "tls-write", "tls-read", "write")
TRANSIENT = {("EINTR", k) for k in SOCKET_IO + ("connect", "poll")} | \
    {(m, k) for m in ("short", "EAGAIN") for k in SOCKET_IO}
TIMEOUT = "2"          # the tool's own time-out per step, in seconds
LIMIT = 20             # seconds a run may take: the tool bounds a whole exchange by 4 x TIMEOUT
VALGRIND_TIMEOUT, VALGRIND_LIMIT = "10", 120   # valgrind makes the tool some 50 times slower
VALGRIND = ["valgrind", "-q", "--error-exitcode=99", "--leak-check=full",
            # allocations reach the injector first, which hands them on to the C library
            "--soname-synonyms=somalloc=nouserintercepts", "--num-callers=30",
            "--errors-for-leak-kinds=definite", "--show-leak-kinds=definite",
            "--suppressions=" + os.path.join(HERE, "tls.supp")]
SCENARIOS = ("pay-http", "pay-https", "preauth-http", "preauth-https", "inspect")
LIBRARY_CODES = {1000, 1001, 1002, 1003, 1004, 1005, 2010}
FIELDS = ["MerchantID", "TransactionID", "CurrencyCode", "TransactionAmount", "Description", "PAN"]
AUTHORIZATION = {"pay": ("PayAuthorizationDateTime", "PayAuthorizationNumber"),
                 "preauth": ("PreAuthDateTime", "QZAuthorizationNumber")}
KERNEL_FATAL = re.compile(r"CRITICAL EXCEPTION: .* exiting\.\n", re.S)
OUT_OF_MEMORY = "ReturnCode=999\nReturnDescription=Out of Memory\n"


class Run:
    """One run of the tool: what it ran under, and what came of it."""
    serial = 0

    def __init__(self, scenario, kind=None, n=0, mode=None, valgrind=False):
        Run.serial += 1
        self.id = "TORTURE-%d" % Run.serial
        self.scenario, self.kind, self.n, self.mode = scenario, kind, n, mode
        self.valgrind = valgrind
        self.status = self.out = self.err = None
        self.report = []

    def fault(self):
        return "%s:%d:%s" % (self.kind, self.n, self.mode) if self.kind else "none"

    def fired(self):
        return any(line.startswith("fired ") for line in self.report)

    def peers(self):
        return {line.split()[1] for line in self.report if line.startswith("peer ")}

    def counts(self):
        return {w[1]: int(w[2]) for w in (line.split() for line in self.report) if w[0] == "count"}

    def describe(self):
        return "%s%s under %s" % (self.scenario, " (valgrind)" * self.valgrind, self.fault())


class Torture:
    def __init__(self, args, work):
        self.args, self.work = args, work
        self.key = os.path.join(work, "merchant.key")
        shutil.copyfile(os.path.join(HERE, "..", "..", "sim", "demo.key"), self.key)
        os.chmod(self.key, 0o600)
        self.paths = certs.make(work)
        # By name, so that the resolver's calls are among those that fail.
        self.host = "localhost" if launch.localhost_resolves() else "127.0.0.1"
        if self.host != "localhost":
            print("torture: %s: the runs use 127.0.0.1" % launch.NO_LOCALHOST, flush=True)
        # The servers wait on a silent client as long as a run under valgrind may take per step.
        io = ("--io-timeout", VALGRIND_TIMEOUT)
        launch.LIFETIME = 3600  # they outlive the longest run, and stop with it
        self.servers = launch.start_many({
            "http": launch.PayServer(*io),
            "https": launch.PayServer(*io, "--tls-cert", self.paths["server"],
                                      "--tls-key", self.paths["server.key"])})

    def argv(self, run):
        """The tool's words after its name for the run's scenario, with the run's TransactionID."""
        auth = authstring.authstring(TransactionID=run.id)
        if run.scenario == "inspect":
            return ["-get", auth]
        command, scheme = run.scenario.split("-")
        options = ["--cacert", self.paths["ca"]] if scheme == "https" else []
        url = "%s://%s:%d/pay" % (scheme, self.host, self.servers[scheme].port)
        words = [auth, url, VALGRIND_TIMEOUT if run.valgrind else TIMEOUT, "", "0", self.key]
        return options + (["-preauth"] + words + ["7"] if command == "preauth" else words)

    def execute(self, run):
        report = os.path.join(self.work, run.id + ".report")
        env = dict(os.environ, VEMRICK_FAULT_REPORT=report, LD_PRELOAD=self.args.inject,
                   VEMRICK_FAULT_ONLY=os.path.basename(self.args.tool))
        if run.kind:
            env["VEMRICK_FAULT"] = "%s:%d:%s" % (run.kind, run.n, run.mode)
        argv, limit = [self.args.tool] + self.argv(run), LIMIT
        if run.valgrind:
            log = os.path.join(self.work, run.id + ".valgrind")
            argv, limit = VALGRIND + ["--log-file=" + log] + argv, VALGRIND_LIMIT
        run.start = time.time()
        try:
            proc = subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=limit)
            run.status, run.out, run.err = (proc.returncode, proc.stdout.decode("latin-1"),
                                            proc.stderr.decode("latin-1"))
        except subprocess.TimeoutExpired as e:
            run.status, run.out, run.err = "hang", (e.stdout or b"").decode("latin-1"), ""
        run.end = time.time()
        if run.valgrind and run.status == 99:
            with open(log, encoding="latin-1") as f:
                run.memcheck = f.read()
        if os.path.exists(report):
            with open(report, encoding="ascii") as f:
                run.report = f.read().splitlines()
        return run

    def run_all(self, runs):
        with concurrent.futures.ThreadPoolExecutor(self.args.jobs) as pool:
            return list(pool.map(self.execute, runs))

    def stop(self):
        launch.stop_many(self.servers.values())


def output_problems(run):
    """What is wrong with how the run ended and what it printed; [] when nothing."""
    if run.status == "hang":
        return ["did not end within %d s" % (VALGRIND_LIMIT if run.valgrind else LIMIT)]
    if run.status < 0:
        return ["ended by signal %d %s" % (-run.status, run.err.strip().splitlines()[-1:])]
    if run.valgrind and run.status == 99:
        return ["valgrind: " + run.memcheck[:3000]]
    if (run.mode, run.kind) in TRANSIENT and (run.status, run.out[-14:]) != (0, "\nReturnCode=0\n"):
        return ["ended unlike a run without a fault (status %s, %r): the fault should have been "
                "ridden out" % (run.status, run.out[-16:])]
    if run.status == 1 and (KERNEL_FATAL.search(run.err) and run.out == "" or
                            run.out == OUT_OF_MEMORY and "vemrick: out of memory" in run.err):
        return []
    if run.status == 2 and "vemrick: cannot write the result" in run.err:
        return []
    if run.status != 0:
        return ["exit status %s %s" % (run.status, run.err.strip().splitlines()[-1:])]
    lines = run.out.split("\n")
    if lines[-1] != "" or any("=" not in line for line in lines[:-1]):
        return ["output is not key=value lines"]
    pairs = [tuple(line.split("=", 1)) for line in lines[:-1]]
    keys = [k for k, _ in pairs]
    last = pairs[-1 - (keys[-1] == "ReturnDescription")]
    if keys.count("ReturnCode") != 1 or not last[1].isdigit():
        return ["not exactly one numeric ReturnCode line"]
    code = int(dict(pairs)["ReturnCode"])
    command = run.scenario.split("-")[0]
    if code == 999:
        expected = ["ReturnCode", "ReturnDescription"]
    elif command == "inspect":
        expected = FIELDS + ["ReturnCode"]
    else:
        expected = (["Card"] * keys.count("Card") + FIELDS + list(AUTHORIZATION[command])
                    + ["ReturnCode"])
    if keys != expected:
        return ["lines %s, expected %s" % (keys, expected)]
    if code not in LIBRARY_CODES | {0, 999}:
        return ["ReturnCode=%d is none the tool documents for this run" % code]
    if code in LIBRARY_CODES and command != "inspect" and "vemrick: " not in run.err:
        return ["ReturnCode=%d without a diagnostic on stderr" % code]
    values = dict(pairs)
    if code == 0 and values["TransactionID"].strip() != run.id:
        return ["ReturnCode=0 shows TransactionID %r" % values["TransactionID"]]
    return []


def entry_time(entry):
    return time.mktime(time.strptime(entry["time"], "%Y-%m-%dT%H:%M:%S"))


def server_problems(run, entries):
    """What the run printed that the server's log (its entries by peer) contradicts."""
    if run.scenario == "inspect" or run.status not in (0, 1) or "ReturnCode=" not in run.out:
        return []
    # The run's connections by their local address and time (whole seconds of a clock that may
    # lag a little); a request that names another TransactionID came from another run that got
    # the same port.
    mine = [e for peer in run.peers() for e in entries.get(peer, [])
            if run.start - 2 <= entry_time(e) <= run.end + 2
            and e.get("fields", {}).get("TransactionID", run.id).strip() == run.id]
    values = dict(line.split("=", 1) for line in run.out.splitlines())
    problems = []
    not_sent = "(request not sent)" in run.err or (run.out == OUT_OF_MEMORY
                                                   and "(request sent" not in run.err)
    if values["ReturnCode"] == "0":
        approved = [e for e in mine if e.get("error") is None and e.get("status") == 200
                    and e.get("signature_valid") and e.get("return_code") == 0
                    and e["fields"]["TransactionID"].strip() == run.id]
        number = values[AUTHORIZATION[run.scenario.split("-")[0]][1]]
        if not any(e["reply"][-40:] == number for e in approved):
            problems.append("ReturnCode=0 without the server approving this request (connections "
                            "from %s, %d of them logged)" % (sorted(run.peers()), len(mine)))
    read = [e for e in mine if "request_line" in e]
    if not_sent and read:
        problems.append("says the request was not sent, but the server read its request line "
                        "from %s at %s" % (read[0]["peer"], read[0]["time"]))
    expected = "2040" if run.scenario.startswith("pay") else "1093"
    if any(e.get("type") not in (None, expected) for e in mine):
        problems.append("posted a message other than a signed %s" % expected)
    return problems


def sample(count, edge, every):
    """1..count, or the first and last `edge` and every `every`-th N between them."""
    if count <= 2 * edge or every <= 1:
        return list(range(1, count + 1))
    return sorted(set(range(1, edge + 1)) | set(range(count - edge + 1, count + 1))
                  | set(range(edge + every, count - edge + 1, every)))


def plan(counts, args):
    runs = []
    for scenario, made in counts.items():
        for kind, modes in MODES.items():
            for mode in modes:
                every = args.every_from if mode.endswith(":from") else args.every
                for n in sample(made.get(kind, 0), args.edge, every):
                    # The first allocation is the C++ runtime's reserve for throwing when memory
                    # runs out: failing it and all after it leaves no way to throw std::bad_alloc.
                    if (kind, n, mode) == ("malloc", 1, "ENOMEM:from"):
                        continue
                    runs.append(Run(scenario, kind, n, mode))
    return runs


def outcome(run):
    """What a run came to, coarsely: its kind, exit status, ReturnCode and the phase on stderr."""
    code = re.search(r"^ReturnCode=(\d+)$", run.out or "", re.M)
    phase = re.search(r"^vemrick: ([\w ]+?):", run.err or "", re.M)
    return (run.kind, run.status, code and code.group(1), phase and phase.group(1))


def spread(runs, k):
    """Up to k faulted runs to repeat under valgrind: one of each outcome (evenly spaced when k is
    smaller), so that every way of failing is checked for leaks, then others evenly spaced."""
    first = collections.OrderedDict()
    for r in runs:
        if r.kind and r.fired():
            first.setdefault(outcome(r), r)
    picked = list(first.values())
    if len(picked) > k:
        picked = [picked[i * len(picked) // k] for i in range(k)]
    rest = [r for r in runs if r.kind and r.fired() and r not in picked]
    more = min(len(rest), k - len(picked))
    picked += [rest[i * len(rest) // more] for i in range(more)]
    return [Run(r.scenario, r.kind, r.n, r.mode, valgrind=True) for r in picked], len(first)


def main(argv):
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--tool", required=True, help="the built vemrick")
    p.add_argument("--inject", required=True, help="the built libvemrick_inject.so")
    p.add_argument("--edge", type=int, default=50, help="N always run at each end of a long range")
    p.add_argument("--every", type=int, default=20, help="every how many N between the ends")
    p.add_argument("--every-from", type=int, default=100, help="the same for the :from modes")
    p.add_argument("--valgrind", type=int, default=0, help="faulted runs to repeat under valgrind")
    p.add_argument("--jobs", type=int, default=2)
    p.add_argument("--show", type=int, default=100, help="failures listed at most")
    args = p.parse_args(argv)
    args.tool, args.inject = os.path.abspath(args.tool), os.path.abspath(args.inject)
    if args.valgrind and not shutil.which("valgrind"):
        p.error("--valgrind needs valgrind (apt-get install valgrind)")
    began = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="vemrick-torture-") as work:
        t = Torture(args, work)
        try:
            clean = t.run_all([Run(s) for s in SCENARIOS])
            runs = t.run_all(plan({r.scenario: r.counts() for r in clean}, args))
            checked, args.outcomes = spread(runs, args.valgrind)
            runs = clean + runs + t.run_all(checked)
            time.sleep(1)  # the server logs a connection its client left at once, but not before
            entries = collections.defaultdict(list)
            for e in t.servers["http"].log_entries() + t.servers["https"].log_entries():
                entries[e["peer"]].append(e)
        finally:
            t.stop()
    failures = []
    for r in runs:
        problems = output_problems(r) or server_problems(r, entries)
        if r in clean and r.out is not None and not r.out.endswith("ReturnCode=0\n"):
            problems.append("without a fault the run did not succeed")
        failures += [(r, why) for why in problems]
    summary(runs, failures, time.monotonic() - began, args)
    return 1 if failures else 0


def summary(runs, failures, seconds, args):
    by_kind = collections.OrderedDict((k, [0, 0, 0]) for k in ["none"] + list(MODES))
    for r in runs:
        by_kind[r.kind or "none"][0] += 1
        by_kind[r.kind or "none"][1] += r.fired()
    for r, _ in failures:
        by_kind[r.kind or "none"][2] += 1
    nth = lambda k: "every N" if k <= 1 else "every %d-th N" % k  # noqa: E731
    print("torture: runs per kind (all N up to %d calls of a kind, else the first and last %d and "
          "%s between them, %s for the :from modes; %d runs of %d distinct outcomes again under "
          "valgrind)" % (2 * args.edge, args.edge, nth(args.every), nth(args.every_from),
                         sum(r.valgrind for r in runs), args.outcomes))
    for kind, (total, fired, failed) in by_kind.items():
        print("  %-12s %6d runs, %6d with the fault struck, %d failed"
              % (kind, total, fired, failed))
    for r, why in failures[:args.show]:
        print("FAILED %s: %s" % (r.describe(), why))
    print("torture: %d runs, %d failures, %.0f s" % (len(runs), len(failures), seconds))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
