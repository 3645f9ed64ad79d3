#!/usr/bin/env python3
"""Performance figures of vemrick beside reference programs, measured in one run: `make bench`.

Prints each figure with its reference, the ratio of the two, the target and whether it is met,
and writes the same to bench/results.md with the machine, the load and how to reproduce it.

  one payment       vemrick against the test payment server (started once, reused), beside curl
                    posting the very message vemrick signed (taken from the server's log) to the
                    same server: wall and CPU time, runs interleaved (vemrick, curl, vemrick, ...)
  peak memory       peak resident set of one payment, vemrick beside curl
  silent server     CPU share of a process waiting 3 s on a server that never answers
  SHA-1, HMAC       build/bench/bench_sha1 (Google Benchmark), our digest beside libcrypto's
  batch             200 payments, 20 at a time, against a server answering after 100 ms: total
                    wall time and the CPU seconds of all the processes, vemrick beside curl

Wall time is taken around spawning and reaping each child; CPU time (user + system) is the
child's own rusage as os.wait4 returns it. Peak memory is ru_maxrss from wait4 as well, but taken
by GNU time as the child's parent: Linux folds the resident size of the process that calls exec
into the child's maxrss, so a child forked or vforked from this Python process would report at
least the interpreter's size (over 10 MiB). GNU time forks from a process of well under 1 MiB.

Exits 0 when every figure was measured (missed targets are reported, not fatal), 1 when a
measurement could not be taken, 2 for a bad command line or missing programs. Every server runs
on 127.0.0.1 with a --lifetime and is stopped on the way out.
"""
import argparse
import datetime
import json
import os
import platform
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
SIM = os.path.join(REPO, "sim")
sys.path.insert(0, os.path.join(REPO, "tests", "tool"))
import servers  # noqa: E402  (start and stop of the sim/ servers, shared with the end-to-end tests)
DEMO_KEY = os.path.join(SIM, "demo.key")
GNU_TIME = "/usr/bin/time"

PAY_TIMEOUT = "30"           # vemrick's time-out argument for the payments
RUN_LIMIT = 60               # seconds one payment may take before it is killed and reported
SILENT_SECONDS = 3
# OpenSSL's capability mask with the SHA extensions (CPUID leaf 7 EBX bit 29) taken away: the
# yardstick for our portable SHA-1, which is what runs on CPUs without those extensions.
OPENSSL_NO_SHA_EXT = ":~0x20000000"


class MeasurementError(Exception):
    """A figure could not be taken (a program failed, a server misbehaved, a run hung)."""


# ---------------------------------------------------------------------------------------------
# Child processes

def spawn(argv, out_fd=None, stdout=os.devnull, stderr=os.devnull, env=None):
    """Start argv[0] (a path) with stdin from /dev/null. Its stdout is out_fd (e.g. the write end
    of a pipe) or else the file stdout; stderr is appended to the file stderr. A pipe rather than
    a file catches what the child prints: on ext4, closing a file that was truncated and written
    starts its write-back, which would be timed as part of the child."""
    actions = [(os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0)]
    if out_fd is not None:
        actions.append((os.POSIX_SPAWN_DUP2, out_fd, 1))
    else:
        actions.append((os.POSIX_SPAWN_OPEN, 1, stdout, os.O_WRONLY | os.O_CREAT | os.O_TRUNC,
                        0o600))
    actions.append((os.POSIX_SPAWN_OPEN, 2, stderr, os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o600))
    return os.posix_spawn(argv[0], argv, os.environ if env is None else env, file_actions=actions)


def spawn_captured(argv, **spawn_kw):
    """spawn() with stdout into a new pipe (64 KiB of buffer, more than a run prints). Returns
    (pid, read end); read it with read_all() once the child has been reaped."""
    r, w = os.pipe()
    try:
        pid = spawn(argv, out_fd=w, **spawn_kw)
    except BaseException:
        os.close(r)
        raise
    finally:
        os.close(w)
    return pid, r


def read_all(fd):
    chunks = []
    try:
        while True:
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        os.close(fd)
    return b"".join(chunks).decode("latin-1")


class Watchdog:
    """Kills the child processes in .pids with SIGKILL once `seconds` have passed (SIGALRM)."""

    def __init__(self, seconds):
        self.seconds = seconds
        self.pids = set()
        self.fired = False
        self._previous = None

    def _fire(self, *_):
        self.fired = True
        for pid in list(self.pids):
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass

    def __enter__(self):
        self._previous = signal.signal(signal.SIGALRM, self._fire)
        signal.setitimer(signal.ITIMER_REAL, self.seconds)
        return self

    def __exit__(self, exc_type, *exc):
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, self._previous)
        if exc_type is not None:
            # Leaving on an error or a signal: take the children still running along.
            self._fire()
            for pid in self.pids:
                try:
                    os.waitpid(pid, 0)
                except ChildProcessError:
                    pass


class Run:
    """One reaped child: wall seconds, CPU seconds (user + system), ru_maxrss in KiB, minor page
    faults, exit code, and what it printed (when captured)."""

    def __init__(self, wall, ru, status, out=""):
        self.wall = wall
        self.cpu = ru.ru_utime + ru.ru_stime
        self.maxrss_kib = ru.ru_maxrss
        self.minflt = ru.ru_minflt
        self.code = os.waitstatus_to_exitcode(status)
        self.out = out


def timed_run(argv, limit=RUN_LIMIT, capture=False, **spawn_kw):
    """Run argv once; wall time from before the spawn to after the reap, rusage from os.wait4.
    With capture, the Run carries the child's stdout (read after the reap)."""
    fd = None
    with Watchdog(limit) as dog:
        start = time.perf_counter()
        if capture:
            pid, fd = spawn_captured(argv, **spawn_kw)
        else:
            pid = spawn(argv, **spawn_kw)
        dog.pids.add(pid)
        _, status, ru = os.wait4(pid, 0)
        wall = time.perf_counter() - start
        dog.pids.discard(pid)
    out = read_all(fd) if fd is not None else ""
    if dog.fired:
        raise MeasurementError("%s did not end within %d s" % (os.path.basename(argv[0]), limit))
    return Run(wall, ru, status, out)


def run_batch(argv, total, parallel, limit, capture=False):
    """Run argv `total` times with at most `parallel` at once. Returns (wall seconds, [Run])."""
    runs, running = [], {}
    todo = total
    try:
        with Watchdog(limit) as dog:
            start = time.perf_counter()
            while todo or running:
                while todo and len(running) < parallel:
                    if capture:
                        pid, fd = spawn_captured(argv)
                    else:
                        pid, fd = spawn(argv), None
                    running[pid] = (time.perf_counter(), fd)
                    dog.pids.add(pid)
                    todo -= 1
                # Look at whichever child ended without reaping it, so that a server process
                # (also our child) ending is noticed rather than reaped behind subprocess's back.
                info = os.waitid(os.P_ALL, 0, os.WEXITED | os.WNOWAIT)
                if info is None or info.si_pid not in running:
                    raise MeasurementError("an unexpected child process ended during the batch "
                                           "(pid %s): did a server stop?" % (info and info.si_pid))
                _, status, ru = os.wait4(info.si_pid, 0)
                began, fd = running.pop(info.si_pid)
                wall = time.perf_counter() - began
                dog.pids.discard(info.si_pid)
                runs.append(Run(wall, ru, status, read_all(fd) if fd is not None else ""))
            wall = time.perf_counter() - start
    finally:
        for _, fd in running.values():
            if fd is not None:
                os.close(fd)
    if dog.fired:
        raise MeasurementError("the batch did not end within %d s" % limit)
    return wall, runs


def gnu_time_maxrss(argv, out_file, **spawn_kw):
    """ru_maxrss (KiB) of argv run as a child of GNU time, which reads it with wait4."""
    if os.path.exists(out_file):
        os.unlink(out_file)
    run = timed_run([GNU_TIME, "-f", "%M %x", "-o", out_file] + argv, capture=True, **spawn_kw)
    try:
        with open(out_file) as f:
            words = f.read().split()
        return int(words[-2]), int(words[-1]), run.out
    except (OSError, ValueError, IndexError):
        raise MeasurementError("GNU time gave no reading for %s (exit %d)"
                               % (os.path.basename(argv[0]), run.code))


def raw_exchange(port, request, limit=RUN_LIMIT):
    """Post request bytes to 127.0.0.1:port from this process and read the answer to the close:
    the server's part of a payment with no client program around it. Returns (seconds, answer)."""
    start = time.perf_counter()
    answer = b""
    with socket.create_connection(("127.0.0.1", port), timeout=limit) as conn:
        conn.sendall(request)
        while True:
            chunk = conn.recv(65536)
            if not chunk:
                break
            answer += chunk
    return time.perf_counter() - start, answer


# ---------------------------------------------------------------------------------------------
# The test payment server

class PayServer(servers.PayServer):
    """sim/payserver.py on a free 127.0.0.1 port with a --lifetime and a request log, started and
    stopped as the end-to-end tests do; `name` tells the servers of this run apart in messages."""

    def __init__(self, name, *options):
        super().__init__(*options)
        self.name = name

    def __enter__(self):
        try:
            return super().__enter__()
        except RuntimeError as e:
            raise MeasurementError("the %s server did not start: %s" % (self.name, e))

    def expect_accepted(self, count, who):
        """Check that exactly `count` new requests came in and all were answered with HTTP 200."""
        entries = self.new_log_entries()
        bad = [e for e in entries if e.get("status") != 200]
        if len(entries) != count or bad:
            detail = bad[0].get("error") if bad else "%d requests logged" % len(entries)
            raise MeasurementError("the %s server did not accept %d request(s) from %s: %s"
                                   % (self.name, count, who, detail))
        return entries


# ---------------------------------------------------------------------------------------------
# Figures

def med(values):
    return statistics.median(values)


def spread(values, scale=1.0, fmt="%.2f"):
    """'min / median / max' of the values times scale."""
    return " / ".join(fmt % (v * scale) for v in (min(values), med(values), max(values)))


class Figure:
    """One line of the results: value beside reference; ratio = value / reference."""

    def __init__(self, name, unit, value, reference=None, ref_name="", target_text="",
                 met=None, fmt="%.2f"):
        self.name, self.unit, self.value = name, unit, value
        self.reference, self.ref_name = reference, ref_name
        self.target_text, self.met, self.fmt = target_text, met, fmt

    def ratio(self):
        if self.reference in (None, 0):
            return None
        return self.value / self.reference

    def cells(self):
        ratio = self.ratio()
        ref = "—" if self.reference is None else "%s %s (%s)" % (self.fmt % self.reference,
                                                                 self.unit, self.ref_name)
        return [self.name, "%s %s" % (self.fmt % self.value, self.unit), ref,
                "—" if ratio is None else "%.2f" % ratio, self.target_text or "—",
                "—" if self.met is None else ("met" if self.met else "**missed**")]


class Bench:
    def __init__(self, args, workdir):
        self.args = args
        self.dir = workdir
        self.build = args.build
        self.vemrick = os.path.join(self.build, "bin", "vemrick")
        self.bench_sha1 = os.path.join(self.build, "bench", "bench_sha1")
        self.bench_silent = os.path.join(self.build, "bench", "bench_silent_wait")
        self.curl = shutil.which("curl")
        self.true = shutil.which("true")
        self.figures = []          # [Figure]
        self.details = []          # markdown lines, section by section
        self.causes = []           # markdown paragraphs on missed targets
        self.errors = []           # figures that could not be taken
        self.loads = []            # (when, 1/5/15-minute load averages)
        self.auth = None
        self.sha_cv = {}
        self.sha_argv = []
        self.pay_cpu = None        # median CPU seconds of one completed payment
        self.body_file = os.path.join(workdir, "signed-body.b64") if workdir else None

    # -- bookkeeping

    def note_load(self, when):
        self.loads.append((when, os.getloadavg()))

    def add(self, figure):
        self.figures.append(figure)
        name, value, ref, ratio, target, result = figure.cells()
        print("  %-44s %12s   ref %-34s ratio %-5s  target %-17s %s"
              % (name, value, ref, ratio, target, result.strip("*")), flush=True)

    def section(self, title, func):
        print("\n== %s" % title, flush=True)
        self.note_load(title)
        started = time.monotonic()
        try:
            func()
        except MeasurementError as e:
            print("  NOT MEASURED: %s" % e, flush=True)
            self.errors.append("%s: %s" % (title, e))
        print("  (%.0f s)" % (time.monotonic() - started), flush=True)

    def check_programs(self):
        missing = [p for p in (self.vemrick, self.bench_sha1, self.bench_silent, GNU_TIME)
                   if not os.access(p, os.X_OK)]
        missing += ["%s (not on PATH)" % name for name, path in (("curl", self.curl),
                                                                 ("true", self.true)) if not path]
        return missing

    def shared_libraries(self):
        """The shared libraries the dynamic loader maps for vemrick (as ldd lists them)."""
        try:
            proc = subprocess.run([self.vemrick], env=dict(os.environ, LD_TRACE_LOADED_OBJECTS="1"),
                                  stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            return []
        names = [line.split()[0] for line in proc.stdout.decode("latin-1").splitlines()
                 if ".so" in line and line.split()]
        return [os.path.basename(n) for n in names
                if not n.startswith("linux-vdso") and "ld-linux" not in n]

    def make_auth(self):
        self.auth = subprocess.check_output(
            [sys.executable, os.path.join(SIM, "authstring.py")]).decode("ascii").strip()

    def pay_argv(self, url, timeout=PAY_TIMEOUT):
        return [self.vemrick, self.auth, url, timeout, "", "0", DEMO_KEY]

    def curl_argv(self, url, *extra):
        return [self.curl, "-s", "-o", "/dev/null"] + list(extra) + [
            "--data-binary", "@" + self.body_file, "-H", "Content-type: application/x-qz", url]

    # -- one payment

    def one_payment(self):
        runs = self.args.runs
        rss_file = os.path.join(self.dir, "gnu-time.txt")
        with PayServer("payments") as server:
            pay, curl = self.pay_argv(server.url()), self.curl_argv(server.url())

            def check_pay(run, who="vemrick"):
                if run.code != 0 or "ReturnCode=0\n" not in run.out:
                    raise MeasurementError("%s did not complete the payment (exit %d): %r"
                                           % (who, run.code, run.out[-200:]))
                return server.expect_accepted(1, who)

            def check_curl(run, who="curl"):
                if run.code != 0:
                    raise MeasurementError("%s failed with exit code %d" % (who, run.code))
                server.expect_accepted(1, who)

            def exchange():
                seconds, answer = raw_exchange(server.port, request)
                if not answer.startswith(b"HTTP/1.0 200 "):
                    raise MeasurementError("the server refused the bare request: %r" % answer[:80])
                server.expect_accepted(1, "the bare exchange")
                return seconds

            # Warm-up (not counted). The first payment's request gives curl its body, and the
            # bare exchange the very bytes vemrick sent.
            entry = check_pay(timed_run(pay, capture=True))[0]
            with open(self.body_file, "w", encoding="latin-1") as f:
                f.write(entry["body"])
            request = ("%s\r\n%s\r\n%s" % (
                entry["request_line"], "".join("%s: %s\r\n" % tuple(h) for h in entry["headers"]),
                entry["body"])).encode("latin-1")
            for _ in range(2):
                check_curl(timed_run(curl))
                check_pay(timed_run(pay, capture=True))
                exchange()

            vem, ref, bare = [], [], []
            for _ in range(runs):
                run = timed_run(pay, capture=True)
                check_pay(run)
                vem.append(run)
                run = timed_run(curl)
                check_curl(run)
                ref.append(run)
                bare.append(exchange())

            # What starting any process costs here, and vemrick without signing or network: the
            # offline inspection decodes the same AuthString and prints its fields.
            get = [self.vemrick, "-get", self.auth]
            true_runs, get_runs = [], []
            for _ in range(runs):
                true_runs.append(timed_run([self.true]))
                run = timed_run(get)
                if run.code != 0:
                    raise MeasurementError("vemrick -get failed with exit code %d" % run.code)
                get_runs.append(run)

            # Peak memory through GNU time (see the top of this file), interleaved as well.
            vem_rss, ref_rss = [], []
            for _ in range(runs):
                kib, code, text = gnu_time_maxrss(pay, rss_file)
                check_pay(Run(0, _NoUsage, code << 8, text), "vemrick under GNU time")
                vem_rss.append(kib)
                kib, code, _ = gnu_time_maxrss(curl, rss_file)
                check_curl(Run(0, _NoUsage, code << 8), "curl under GNU time")
                ref_rss.append(kib)
            floor_rss = [gnu_time_maxrss([self.true], rss_file)[0] for _ in range(5)]
            get_rss = [gnu_time_maxrss(get, rss_file)[0] for _ in range(5)]

        w_v, w_c = med([r.wall for r in vem]), med([r.wall for r in ref])
        c_v, c_c = med([r.cpu for r in vem]), med([r.cpu for r in ref])
        self.pay_cpu = c_v
        m_v, m_c = med(vem_rss) / 1024, med(ref_rss) / 1024
        target_ratio = self.args.wall_ratio_target
        self.add(Figure("one payment: wall time", "ms", w_v * 1e3, w_c * 1e3, "curl",
                        "≤ %.2f × curl" % target_ratio, w_v <= target_ratio * w_c))
        self.add(Figure("one payment: CPU time (user+sys)", "ms", c_v * 1e3, c_c * 1e3, "curl"))
        self.add(Figure("one payment: peak resident memory", "MiB", m_v, m_c, "curl",
                        "< 4 MiB", m_v < 4))

        def row(label, series, scale=1e3, fmt="%.2f"):
            return "| %s | %s |" % (label, " | ".join(spread(s, scale, fmt) for s in series))

        d = self.details
        d.append("### One payment (%d runs each, interleaved vemrick, curl, bare exchange, "
                 "vemrick, ...)" % runs)
        d.append("")
        d.append("| measure (min / median / max) | vemrick | curl |")
        d.append("|---|---|---|")
        d.append(row("wall, ms", [[r.wall for r in vem], [r.wall for r in ref]]))
        d.append(row("CPU user+sys, ms", [[r.cpu for r in vem], [r.cpu for r in ref]]))
        d.append(row("minor page faults", [[r.minflt for r in vem], [r.minflt for r in ref]],
                     1, "%d"))
        d.append(row("peak RSS (GNU time), MiB", [vem_rss, ref_rss], 1 / 1024))
        d.append(row("ru_maxrss of the direct child (os.wait4), MiB",
                     [[r.maxrss_kib for r in vem], [r.maxrss_kib for r in ref]], 1 / 1024))
        d.append("")
        d.append("- The direct child's ru_maxrss is not the program's: Linux folds the resident "
                 "size of the process that calls exec into it, and the child of this script "
                 "starts as a vfork of the Python interpreter (%.1f MiB now). The peak memory "
                 "figures come from GNU time's wait4 instead; GNU time's own floor "
                 "(`/usr/bin/time true`) is %.2f MiB, below both readings. vemrick's offline "
                 "inspection (`vemrick -get`: the same program and libraries, no signing, no "
                 "network) peaks at %.2f MiB."
                 % (_self_maxrss_kib() / 1024, med(floor_rss) / 1024, med(get_rss) / 1024))
        d.append("")
        t_w, g_w, x_w = (med([r.wall for r in true_runs]), med([r.wall for r in get_runs]),
                         med(bare))
        t_c, g_c = med([r.cpu for r in true_runs]), med([r.cpu for r in get_runs])
        t_f, g_f = med([r.minflt for r in true_runs]), med([r.minflt for r in get_runs])
        d.append("Where vemrick's wall time goes (medians, %d runs each):" % runs)
        d.append("")
        d.append("| part | wall, ms | CPU, ms | minor page faults |")
        d.append("|---|---|---|---|")
        d.append("| starting and reaping a process that does nothing (`true`) | %.2f | %.2f | %d |"
                 % (t_w * 1e3, t_c * 1e3, t_f))
        d.append("| vemrick's start-up beyond that: loading its libraries, decoding and printing "
                 "(`vemrick -get` − `true`) | %.2f | %.2f | %d |"
                 % ((g_w - t_w) * 1e3, (g_c - t_c) * 1e3, g_f - t_f))
        d.append("| the exchange with the test server: the same request bytes posted from "
                 "this script over a socket, answer read to the close | %.2f | — | — |"
                 % (x_w * 1e3))
        d.append("| the rest: signing, checking, the tool's own socket work, printing | %.2f "
                 "| %.2f | %d |" % ((w_v - g_w - x_w) * 1e3, (c_v - g_c) * 1e3,
                                    med([r.minflt for r in vem]) - g_f))
        d.append("| **vemrick payment** | **%.2f** | **%.2f** | **%d** |"
                 % (w_v * 1e3, c_v * 1e3, med([r.minflt for r in vem])))
        d.append("")
        if not w_v <= target_ratio * w_c:
            startup = g_c - t_c     # CPU: unlike wall time, not inflated by a busy machine
            per_fault = startup / (g_f - t_f) if g_f > t_f else 0
            text = ("**One payment, wall time (%.2f × curl, target ≤ %.2f).** curl took "
                    "%.2f ms, so the target allows vemrick %.2f ms; it took %.2f ms, %.2f ms of "
                    "it its own CPU. Starting any process takes %.2f ms here and the Python "
                    "test server's answer %.2f ms (the bare exchange); curl waits for both as "
                    "well. Before its main() vemrick spends %.2f ms more CPU than `true` "
                    "(`vemrick -get`, which neither signs nor posts) and has %d more minor page "
                    "faults (%d against %d, some %.0f µs each in this virtual machine); the "
                    "payment itself adds %.2f ms of CPU (the table below)."
                    % (w_v / w_c, target_ratio, w_c * 1e3, target_ratio * w_c * 1e3, w_v * 1e3,
                       c_v * 1e3, t_w * 1e3, x_w * 1e3, startup * 1e3, g_f - t_f, g_f, t_f,
                       per_fault * 1e6, (c_v - g_c) * 1e3))
            libs = self.shared_libraries()
            if any(lib.startswith(("libstdc++", "libgcc_s")) for lib in libs):
                text += (" The tool loads %s at run time: mapping and relocating the C++ runtime "
                         "and running libgcc_s's start-up code is most of that start-up cost. "
                         "Suggested change: link the C++ runtime into the tool, in "
                         "tool/CMakeLists.txt `target_link_options(vemrick_tool PRIVATE "
                         "-static-libstdc++ -static-libgcc)`; expected gain about %.2f ms a "
                         "payment, which would put the ratio near %.2f."
                         % (", ".join(libs), startup * 1e3, (w_v - startup) / w_c))
            self.causes.append(text)
        if not m_v < 4:
            self.causes.append("**Peak memory (%.2f MiB, target < 4 MiB).** `vemrick -get`, which "
                               "loads the same libraries but neither signs nor posts, peaks at "
                               "%.2f MiB; the rest is the payment's own memory."
                               % (m_v, med(get_rss) / 1024))

    # -- silent server

    def silent_server(self):
        runs = self.args.silent_runs
        vem, ref, own, codes = [], [], [], set()
        with PayServer("silent", "--misbehave", "silent") as server:
            pay = self.pay_argv(server.url(), str(SILENT_SECONDS))
            curl = self.curl_argv(server.url(), "--max-time", str(SILENT_SECONDS))
            for _ in range(runs):
                run = timed_run(pay, capture=True)
                text = run.out
                if run.code != 0 or "ReturnCode=" not in text or run.wall < SILENT_SECONDS * 0.9:
                    raise MeasurementError("vemrick did not wait out the silent server (exit %d, "
                                           "%.2f s): %r" % (run.code, run.wall, text[-200:]))
                vem.append(run)
                codes.add(text.rsplit("ReturnCode=", 1)[1].strip())
                run = timed_run(curl)
                if run.code != 28:      # curl: operation timed out
                    raise MeasurementError("curl --max-time %d ended with %d, not 28 (timed out)"
                                           % (SILENT_SECONDS, run.code))
                ref.append(run)
                run = timed_run([self.bench_silent, str(SILENT_SECONDS)], capture=True)
                values = dict(line.split("=", 1) for line in run.out.split() if "=" in line)
                if run.code != 0 or "cpu_percent" not in values:
                    raise MeasurementError("bench_silent_wait failed (exit %d): %r"
                                           % (run.code, values))
                own.append((float(values["cpu_percent"]), float(values["wall_seconds"]), run))
        share_v = med([100 * r.cpu / r.wall for r in vem])
        share_c = med([100 * r.cpu / r.wall for r in ref])
        share_b = med([p for p, _, _ in own])
        self.add(Figure("silent server: CPU share, vemrick", "%",
                        share_v, share_c, "curl --max-time %d" % SILENT_SECONDS, "< 2 %",
                        share_v < 2, fmt="%.3f"))
        self.add(Figure("silent server: CPU share, bench_silent_wait", "%",
                        share_b, None, "", "< 2 %", share_b < 2, fmt="%.3f"))
        d = self.details
        d.append("### Silent server (%d runs each, %d s apiece, interleaved vemrick, curl, "
                 "bench_silent_wait)" % (runs, SILENT_SECONDS))
        d.append("")
        d.append("Fewer runs than elsewhere because each waits %d s. CPU share = CPU seconds "
                 "(user+sys) / wall seconds of the process." % SILENT_SECONDS)
        d.append("")
        d.append("| measure (min / median / max) | vemrick | curl --max-time %d | "
                 "bench_silent_wait |" % SILENT_SECONDS)
        d.append("|---|---|---|---|")
        d.append("| CPU share, %% | %s | %s | %s |"
                 % (spread([100 * r.cpu / r.wall for r in vem], 1, "%.3f"),
                    spread([100 * r.cpu / r.wall for r in ref], 1, "%.3f"),
                    spread([p for p, _, _ in own], 1, "%.3f")))
        d.append("| CPU, ms | %s | %s | %s |"
                 % (spread([r.cpu for r in vem], 1e3), spread([r.cpu for r in ref], 1e3),
                    spread([r.cpu for _, _, r in own], 1e3)))
        d.append("| wall, s | %s | %s | %s |"
                 % (spread([r.wall for r in vem], 1, "%.3f"),
                    spread([r.wall for r in ref], 1, "%.3f"),
                    spread([w for _, w, _ in own], 1, "%.3f")))
        d.append("")
        d.append("- vemrick: the whole process (start-up, signing, the POST, the wait, the "
                 "time-out); bench_silent_wait: its own count around the POST alone, which also "
                 "includes the process's silent-server thread polling every 10 ms. vemrick "
                 "printed ReturnCode=%s." % "/".join(sorted(codes)))
        if self.pay_cpu is not None:
            d.append("- The wait itself: vemrick's CPU here less that of a completed payment "
                     "(%.2f ms) is %.2f ms over %d s."
                     % (self.pay_cpu * 1e3, (med([r.cpu for r in vem]) - self.pay_cpu) * 1e3,
                        SILENT_SECONDS))
        d.append("")
        for name, share in (("vemrick", share_v), ("bench_silent_wait", share_b)):
            if not share < 2:
                self.causes.append("**Silent server, %s (%.3f %%, target < 2 %%).** The wait "
                                   "should block in poll; see the CPU times above." % (name, share))

    # -- SHA-1 and HMAC

    def run_bench_sha1(self, env_extra, filter_re, name):
        out = os.path.join(self.dir, name + ".json")
        err = os.path.join(self.dir, name + ".err")
        argv = [self.bench_sha1, "--benchmark_repetitions=%d" % self.args.sha_repetitions,
                "--benchmark_report_aggregates_only=true", "--benchmark_format=json"]
        if self.args.sha_min_time > 0:
            argv.append("--benchmark_min_time=%g" % self.args.sha_min_time)
        if filter_re:
            argv.append("--benchmark_filter=%s" % filter_re)
        env = dict(os.environ, **env_extra)
        run = timed_run(argv, limit=1200, stdout=out, stderr=err, env=env)
        if run.code != 0:
            raise MeasurementError("bench_sha1 failed with exit code %d: %s"
                                   % (run.code, open(err, errors="replace").read()[-500:]))
        with open(out) as f:
            data = json.load(f)
        medians = {}
        for b in data.get("benchmarks", []):
            if b.get("error_occurred"):
                continue
            if b.get("aggregate_name") == "median":
                medians[b["run_name"]] = b
            elif b.get("aggregate_name") == "cv":
                self.sha_cv[(name, b["run_name"])] = "%.1f %%" % (100 * b["real_time"])
        if not filter_re:
            self.sha_argv = argv
        return medians

    def sha(self):
        main = self.run_bench_sha1({}, "", "sha1")
        nosha = self.run_bench_sha1({"OPENSSL_ia32cap": OPENSSL_NO_SHA_EXT},
                                    "OpenSSL_EVP|HmacSha1Text_OpenSSL", "sha1-openssl-no-sha-ext")

        def mbps(table, name):
            if name not in table:
                raise MeasurementError("bench_sha1 reported no %s" % name)
            return table[name]["bytes_per_second"] / 1e6

        def ns(table, name):
            b = table[name]
            scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
            return b["real_time"] * scale

        has_ni = "BM_Sha1_Ours/sha_ni/16384" in main
        engine = "sha_ni" if has_ni else "portable"
        sha_tool = mbps(main, "BM_Sha1_Ours/%s/16384" % engine)
        sha_ssl = mbps(main, "BM_Sha1_OpenSSL_EVP/16384")
        self.add(Figure("SHA-1 16 KiB, tool's path (%s)" % engine, "MB/s", sha_tool,
                        sha_ssl, "OpenSSL", "≥ 0.5 × OpenSSL", sha_tool >= 0.5 * sha_ssl,
                        fmt="%.0f"))
        sha_port = mbps(main, "BM_Sha1_Ours/portable/16384")
        sha_ssl_nosha = mbps(nosha, "BM_Sha1_OpenSSL_EVP/16384")
        if has_ni:
            self.add(Figure("SHA-1 16 KiB, portable path", "MB/s", sha_port,
                            sha_ssl_nosha, "OpenSSL, no SHA ext.", "≥ 0.5 × OpenSSL",
                            sha_port >= 0.5 * sha_ssl_nosha, fmt="%.0f"))
        hm_tool = mbps(main, "BM_HmacSha1Text_Ours/%s/460" % engine)
        hm_ssl = mbps(main, "BM_HmacSha1Text_OpenSSL/460")
        self.add(Figure("HMAC-SHA-1 460 B, tool's path (%s)" % engine, "MB/s",
                        hm_tool, hm_ssl, "OpenSSL", fmt="%.0f"))
        if has_ni:
            hm_port = mbps(main, "BM_HmacSha1Text_Ours/portable/460")
            hm_ssl_nosha = mbps(nosha, "BM_HmacSha1Text_OpenSSL/460")
            self.add(Figure("HMAC-SHA-1 460 B, portable path", "MB/s", hm_port,
                            hm_ssl_nosha, "OpenSSL, no SHA ext.", fmt="%.0f"))
        d = self.details
        d.append("### SHA-1 and HMAC-SHA-1 (bench_sha1, medians of %d repetitions)"
                 % self.args.sha_repetitions)
        d.append("")
        d.append("`%s`; then once more for OpenSSL alone, with `OPENSSL_ia32cap=%s` in the "
                 "environment (its SHA extension code switched off, as on a CPU without them) "
                 "and `--benchmark_filter=OpenSSL_EVP|HmacSha1Text_OpenSSL`. OpenSSL's figures "
                 "are those of EVP digests with a context reused; MB = 10^6 bytes."
                 % (" ".join([os.path.relpath(self.sha_argv[0], REPO)] + self.sha_argv[1:]),
                    OPENSSL_NO_SHA_EXT))
        d.append("")
        d.append("| benchmark | median MB/s | median time per call | CV of the repetitions |")
        d.append("|---|---|---|---|")
        for table, run_name, suffix in ((main, "sha1", ""),
                                        (nosha, "sha1-openssl-no-sha-ext",
                                         " (OpenSSL without SHA ext.)")):
            for name, b in table.items():
                d.append("| %s%s | %.0f | %.0f ns | %s |"
                         % (name, suffix, b["bytes_per_second"] / 1e6, ns(table, name),
                            self.sha_cv.get((run_name, name), "—")))
        d.append("")
        if has_ni:
            d.append("- The tool takes the SHA-NI path on a CPU with the SHA extensions, as this "
                     "one has. Our portable path runs at "
                     "%.2f × OpenSSL's SHA-NI code and %.2f × its code for CPUs without the SHA "
                     "extensions, the fair yardstick for it; the one-call `SHA1()` of OpenSSL "
                     "runs at %.0f MB/s."
                     % (sha_port / sha_ssl, sha_port / sha_ssl_nosha,
                        mbps(main, "BM_Sha1_OpenSSL/16384")))
        d.append("")
        if sha_tool < 0.5 * sha_ssl:
            self.causes.append("**SHA-1 (%.2f × OpenSSL, target ≥ 0.5).** The %s path runs at "
                               "%.0f MB/s beside OpenSSL's %.0f MB/s (table above)."
                               % (sha_tool / sha_ssl, engine, sha_tool, sha_ssl))
        if has_ni and sha_port < 0.5 * sha_ssl_nosha:
            self.causes.append("**SHA-1 portable path (%.2f × OpenSSL without SHA extensions, "
                               "target ≥ 0.5).** %.0f MB/s beside %.0f MB/s (table above)."
                               % (sha_port / sha_ssl_nosha, sha_port, sha_ssl_nosha))

    # -- batch

    def batch(self):
        a = self.args
        vem, ref = [], []
        with PayServer("batch", "--delay", a.batch_delay) as server:
            pay, curl = self.pay_argv(server.url()), self.curl_argv(server.url())
            for i in range(a.batch_runs):
                wall, runs = run_batch(pay, a.batch_size, a.batch_parallel, 600, capture=True)
                approved = sum(1 for r in runs if "ReturnCode=0\n" in r.out)
                if approved != a.batch_size or any(r.code != 0 for r in runs):
                    raise MeasurementError("batch %d: %d of %d vemrick payments approved"
                                           % (i + 1, approved, a.batch_size))
                server.expect_accepted(a.batch_size, "the vemrick batch")
                vem.append((wall, sum(r.cpu for r in runs), runs))
                wall, runs = run_batch(curl, a.batch_size, a.batch_parallel, 600)
                failed = [r.code for r in runs if r.code != 0]
                if failed:
                    raise MeasurementError("batch %d: %d curl runs failed (exit %d)"
                                           % (i + 1, len(failed), failed[0]))
                server.expect_accepted(a.batch_size, "the curl batch")
                ref.append((wall, sum(r.cpu for r in runs), runs))
        n = a.batch_size
        wall_v, wall_c = med([w for w, _, _ in vem]), med([w for w, _, _ in ref])
        cpu_v, cpu_c = med([c for _, c, _ in vem]), med([c for _, c, _ in ref])
        title = "batch of %d" % n
        self.add(Figure(title + ": total wall", "s", wall_v, wall_c, "curl", fmt="%.3f"))
        self.add(Figure(title + ": total CPU", "s", cpu_v, cpu_c, "curl", fmt="%.3f"))
        self.add(Figure(title + ": CPU per payment", "ms", cpu_v / n * 1e3, cpu_c / n * 1e3,
                        "curl", "≤ 5 ms", cpu_v / n * 1e3 <= 5))
        ideal = -(-n // a.batch_parallel) * a.batch_delay
        d = self.details
        d.append("### Batch (%d batches each, interleaved vemrick, curl, ...)" % a.batch_runs)
        d.append("")
        d.append("Each batch: %d payments, %d running at once (a new one starts as soon as one "
                 "ends), against a server answering each request %g s after reading it. CPU = "
                 "the sum of every process's own user+sys time (os.wait4). The delay alone "
                 "makes %.1f s the least a batch can take." % (n, a.batch_parallel, a.batch_delay,
                                                               ideal))
        d.append("")
        d.append("| measure (min / median / max over batches) | vemrick | curl |")
        d.append("|---|---|---|")
        d.append("| total wall, s | %s | %s |" % (spread([w for w, _, _ in vem], 1, "%.3f"),
                                                spread([w for w, _, _ in ref], 1, "%.3f")))
        d.append("| total CPU, s | %s | %s |" % (spread([c for _, c, _ in vem], 1, "%.3f"),
                                               spread([c for _, c, _ in ref], 1, "%.3f")))
        d.append("| wall of one payment in the batch (median of all), ms | %.1f | %.1f |"
                 % (med([r.wall for _, _, rs in vem for r in rs]) * 1e3,
                    med([r.wall for _, _, rs in ref for r in rs]) * 1e3))
        d.append("")
        if not cpu_v / n * 1e3 <= 5:
            alone = ("; one payment on its own takes %.2f ms (above)" % (self.pay_cpu * 1e3)
                     if self.pay_cpu is not None else "")
            self.causes.append("**Batch CPU per payment (%.2f ms, target ≤ 5 ms).** The sum of "
                               "the processes' own user+sys times over %d payments%s."
                               % (cpu_v / n * 1e3, n, alone))

    # -- report

    def machine(self):
        model = "unknown"
        try:
            with open("/proc/cpuinfo") as f:
                for line in f:
                    if line.startswith("model name"):
                        model = line.split(":", 1)[1].strip()
                        break
        except OSError:
            pass
        flags = "unknown"
        for path in sorted(_glob(os.path.join(self.build, "crypto", "CMakeFiles"), "flags.make")):
            with open(path) as f:
                for line in f:
                    if line.startswith("CXX_FLAGS"):
                        flags = line.split("=", 1)[1].strip()
        curl_version = subprocess.run([self.curl, "--version"], stdout=subprocess.PIPE,
                                      stderr=subprocess.DEVNULL).stdout.decode().split("\n")[0]
        return [("processors (nproc)", str(os.cpu_count())),
                ("CPU model", model),
                ("kernel", platform.release()),
                ("compiler flags of the library", "`%s`" % flags),
                ("shared libraries vemrick loads", ", ".join(self.shared_libraries()) or "none"),
                ("curl", " ".join(curl_version.split()[:2])),
                ("Python (test server)", platform.python_version())]

    def write(self, path, started, elapsed):
        lines = ["# vemrick performance figures", ""]
        lines.append("Written by `bench/run.py` on %s; the run took %.0f s."
                     % (started.strftime("%Y-%m-%d %H:%M:%S %Z").strip(), elapsed))
        lines.append("")
        lines.append("## Machine")
        lines.append("")
        for key, value in self.machine():
            lines.append("- %s: %s" % (key, value))
        lines.append("- load average (1, 5, 15 min) at the start of each part, which other "
                     "work on the machine may have raised:")
        for when, load in self.loads:
            lines.append("  - %s: %.2f %.2f %.2f" % ((when,) + tuple(load)))
        if max(load[0] for _, load in self.loads) >= 1:
            lines.append("- Other work was running during this run (a 1-minute load of 1 or "
                         "more): wall times include some waiting for a processor, which the "
                         "interleaving spreads over both sides of each comparison; CPU times "
                         "and the SHA-1 throughputs (taken in CPU time) are much less affected.")
        lines.append("")
        lines.append("## How to reproduce")
        lines.append("")
        lines.append("`make bench` from the top of the repository: it builds (`make build`), "
                     "installs the Debian packages libbenchmark-dev, libssl-dev, curl and time "
                     "when missing, and runs `python3 bench/run.py --build build`, which writes "
                     "this file. `python3 bench/run.py --help` lists the knobs (run counts, "
                     "batch shape, output file). This run: `%s`."
                     % " ".join(["bench/run.py"] + self.argv_shown))
        lines.append("")
        lines.append("## Figures")
        lines.append("")
        lines.append("Each value is a median, measured in this one run beside its reference; "
                     "ratio = value / reference (for throughput, higher is faster).")
        lines.append("")
        lines.append("| figure | value | reference | ratio | target | result |")
        lines.append("|---|---|---|---|---|---|")
        for fig in self.figures:
            lines.append("| " + " | ".join(fig.cells()) + " |")
        lines.append("")
        if self.errors:
            lines.append("**Not measured:**")
            lines.append("")
            lines.extend("- %s" % e for e in self.errors)
            lines.append("")
        lines.append("## Missed targets")
        lines.append("")
        if self.causes:
            for cause in self.causes:
                lines.append(cause)
                lines.append("")
        else:
            lines.append("None.")
            lines.append("")
        lines.append("## Details")
        lines.append("")
        lines.append("Wall time is taken around spawning and reaping each child process; CPU "
                     "time is the child's own user+sys from os.wait4. Every request is checked: "
                     "the server logged it and answered HTTP 200, and vemrick printed "
                     "ReturnCode=0. curl posts the body vemrick sent (taken from the server's "
                     "request log) with `curl -s -o /dev/null --data-binary @FILE -H "
                     "\"Content-type: application/x-qz\" URL`. All servers are sim/payserver.py "
                     "on 127.0.0.1.")
        lines.append("")
        lines.extend(self.details)
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(lines).rstrip() + "\n")


class _NoUsage:
    ru_utime = ru_stime = 0.0
    ru_maxrss = ru_minflt = 0


def _self_maxrss_kib():
    import resource
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def _glob(directory, filename):
    found = []
    for root, _, files in os.walk(directory):
        if filename in files:
            found.append(os.path.join(root, filename))
    return found


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default="build", help="build directory (default: build)")
    p.add_argument("--out", default=os.path.join(HERE, "results.md"),
                   help="results file (default: bench/results.md)")
    p.add_argument("--runs", type=int, default=25,
                   help="runs of one payment per program (default 25, at least 20)")
    p.add_argument("--silent-runs", type=int, default=5,
                   help="runs against the silent server per program (default 5; 3 s each)")
    p.add_argument("--sha-repetitions", type=int, default=20,
                   help="bench_sha1 repetitions (default 20)")
    p.add_argument("--sha-min-time", type=float, default=0.2,
                   help="bench_sha1 seconds per repetition (default 0.2; 0: the library's 0.5)")
    p.add_argument("--batch-runs", type=int, default=20, help="batches per program (default 20)")
    p.add_argument("--batch-size", type=int, default=200, help="payments per batch (default 200)")
    p.add_argument("--batch-parallel", type=int, default=20,
                   help="payments running at once (default 20)")
    p.add_argument("--batch-delay", type=float, default=0.1,
                   help="server delay before answering, seconds (default 0.1)")
    p.add_argument("--wall-ratio-target", type=float, default=0.3, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.runs < 1 or args.silent_runs < 1 or args.batch_runs < 1 or args.batch_size < 1 \
            or args.batch_parallel < 1 or args.sha_repetitions < 1:
        p.error("run counts must be positive")
    if not os.path.isdir(args.build) and os.path.isdir(os.path.join(REPO, args.build)):
        args.build = os.path.join(REPO, args.build)
    args.build = os.path.abspath(args.build)

    started = datetime.datetime.now().astimezone()
    t0 = time.monotonic()
    bench = Bench(args, None)
    missing = bench.check_programs()
    if missing:
        print("bench/run.py: missing: %s (build with `make build`; the Debian packages "
              "libbenchmark-dev, libssl-dev, curl, time)" % ", ".join(missing), file=sys.stderr)
        return 2
    workdir = tempfile.mkdtemp(prefix="vemrick-bench-")
    bench = Bench(args, workdir)
    bench.argv_shown = argv

    def terminate(*_):
        raise SystemExit("bench/run.py: stopped by a signal")
    signal.signal(signal.SIGTERM, terminate)
    signal.signal(signal.SIGHUP, terminate)
    try:
        bench.make_auth()
        print("vemrick benchmarks; %d processors, load %.2f %.2f %.2f"
              % ((os.cpu_count(),) + os.getloadavg()), flush=True)
        bench.section("one payment (%d runs each)" % args.runs, bench.one_payment)
        bench.section("silent server (%d runs each)" % args.silent_runs, bench.silent_server)
        bench.section("SHA-1 and HMAC-SHA-1", bench.sha)
        bench.section("batch (%d batches each)" % args.batch_runs, bench.batch)
        bench.note_load("end")
        elapsed = time.monotonic() - t0
        bench.write(args.out, started, elapsed)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    print("\nwrote %s (%.0f s)" % (os.path.relpath(args.out), elapsed))
    missed = [f.name for f in bench.figures if f.met is False]
    if missed:
        print("targets missed: %s (see Missed targets in the results)" % "; ".join(missed))
    if bench.errors:
        print("NOT MEASURED: %s" % "; ".join(bench.errors), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
