#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Performance figures of vemrick beside reference programs, measured in one run: `make bench`.

Prints each figure with its reference, their ratio and the target, and writes the same to
bench-results.md in the build directory (bench/results.md keeps the figures the README quotes).

  one payment     vemrick against the test payment server, runs interleaved with curl posting the
                  very message vemrick signed (taken from the server's log): wall time, CPU time
                  and peak resident memory
  over https      the same with the test server speaking HTTPS (certificates made by sim/certs.py),
                  vemrick and curl both trusting the test CA with --cacert
  system store    the same with the system's trust store and the test CA added to it: vemrick
                  with SSL_CERT_DIR naming OpenSSL's hashed directory and one holding the test
                  CA (SSL_CERT_FILE unset), curl with the system bundle and the test CA
  silent server   CPU share of vemrick waiting 3 s on the test server's `silent` mode
  SHA-1, HMAC     bench_sha1 (Google Benchmark): our digest beside libcrypto's
  batch           200 payments, 20 at a time, against a server answering after 100 ms: total
                  wall time and the CPU time of all the processes, vemrick beside curl
  from Python     400 payments by 8 threads of this process through the package in python/ (over
                  the built libvemrick.so.1), beside the same orders paid by spawning vemrick
                  from 8 threads: payments a second, and CPU a payment counting this process and
                  its children

Wall time is taken around starting and reaping each child; CPU time (user + system) is the growth
of getrusage(RUSAGE_CHILDREN) over the same span. Peak memory comes from GNU time (%M): Linux
counts the resident size of the process that calls exec into the child's maxrss, so a child
started from this interpreter would report the interpreter's size.

Every program run here bounds itself (vemrick by its time-out argument, curl by --max-time, the
servers by --lifetime on 127.0.0.1). Exits 0 when every figure was measured (a missed target is
reported, not fatal), 1 when one could not be taken, 2 for a bad command line or missing programs.
"""
import argparse
import datetime
import json
import os
import platform
import resource
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from collections import namedtuple
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(REPO, "sim"))
import certs  # noqa: E402  (sim/certs.py: throwaway TLS certificates)
import launch  # noqa: E402  (sim/launch.py: the test servers, shared with the end-to-end tests)

GNU_TIME = "/usr/bin/time"
PAY_TIMEOUT = 30         # vemrick's time-out argument, and curl's --max-time
SILENT_SECONDS = 3
# OpenSSL's capability mask with the SHA extensions (CPUID leaf 7 EBX bit 29) taken away: the
# yardstick for our portable SHA-1, the code that runs on CPUs without those extensions.
OPENSSL_NO_SHA_EXT = ":~0x20000000"

Run = namedtuple("Run", "wall cpu code out")
PYTHON_THREADS = 8
PAYMENTS = {  # scheme: figure name, wall time target (ratio to curl's), peak memory target (MiB)
    "http": ("one payment", 0.25, 4),
    "https": ("one payment over https", 0.6, 8),
    "https-system": ("one payment over https, system store", 0.25, 8),
}


class BenchError(Exception):
    """A figure could not be taken: a program failed or a server refused a request."""


def children_cpu():
    ru = resource.getrusage(resource.RUSAGE_CHILDREN)
    return ru.ru_utime + ru.ru_stime


def run_once(argv, env=None):
    """Run argv to its end with stdout captured. No time-out here: waiting with one polls, which
    would add to the wall time measured."""
    proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env)
    out = proc.communicate()[0]
    return proc.returncode, out.decode("latin-1")


def timed(argv, env=None):
    cpu, start = children_cpu(), time.perf_counter()
    code, out = run_once(argv, env)
    return Run(time.perf_counter() - start, children_cpu() - cpu, code, out)


def paid(code, out):
    return code == 0 and "ReturnCode=0\n" in out


def med(values):
    return statistics.median(values)


def spread(values, fmt):
    return " / ".join(fmt % v for v in (min(values), med(values), max(values)))


class Bench:
    def __init__(self, args, workdir):
        self.args = args
        self.vemrick = os.path.join(args.build, "bin", "vemrick")
        self.bench_sha1 = os.path.join(args.build, "bench", "bench_sha1")
        self.curl = shutil.which("curl")
        self.body = os.path.join(workdir, "body.b64")
        self.rss_file = os.path.join(workdir, "time.txt")
        self.workdir = workdir
        self.certs = None       # sim/certs.py's files, made for the https figures
        self.key = os.path.join(workdir, "demo.key")    # private, as a merchant keeps the key
        shutil.copyfile(os.path.join(REPO, "sim", "demo.key"), self.key)
        os.chmod(self.key, 0o600)
        self.auth = subprocess.check_output(
            [sys.executable, os.path.join(REPO, "sim", "authstring.py")], timeout=60
        ).decode("ascii").strip()
        self.figures = []       # table rows: figure, vemrick, reference, ratio, target, result
        self.spreads = []       # table rows: measure, vemrick, reference
        self.sha_rows = []      # table rows: benchmark, MB/s
        self.errors = []
        self.startup_ms = None  # wall time of starting and reaping `true`

    def figure(self, name, value, ref=None, ref_name="", fmt="%.2f", unit="", target="", met=None):
        ratio = "%.2f" % (value / ref) if ref else "—"
        reference = "%s%s (%s)" % (fmt % ref, unit, ref_name) if ref else "—"
        row = [name, (fmt % value) + unit, reference, ratio, target or "—",
               "—" if met is None else ("met" if met else "**missed**")]
        self.figures.append(row)
        print("  %-40s %-11s ref %-26s ratio %-5s target %-16s %s"
              % tuple(c.strip("*") for c in row), flush=True)

    def pay_argv(self, url, timeout=PAY_TIMEOUT, options=()):
        return [self.vemrick, *options, self.auth, url, str(timeout), "", "0", self.key]

    def curl_argv(self, url, max_time=PAY_TIMEOUT, options=()):
        return [self.curl, "-s", "-o", "/dev/null", "--max-time", str(max_time), *options,
                "--data-binary", "@" + self.body, "-H", "Content-type: application/x-qz", url]

    @staticmethod
    def accepted(server, count, who):
        entries = server.new_log_entries()
        if len(entries) != count or any(e.get("status") != 200 for e in entries):
            bad = [e.get("error") for e in entries if e.get("status") != 200]
            raise BenchError("the server did not accept %d request(s) from %s: %d logged, %s"
                             % (count, who, len(entries), bad[:1] or "all accepted"))
        return entries

    def check_pay(self, server, code, out):
        if not paid(code, out):
            raise BenchError("vemrick did not complete the payment (exit %d): %r"
                             % (code, out[-200:]))
        return self.accepted(server, 1, "vemrick")

    def check_curl(self, server, code):
        if code != 0:
            raise BenchError("curl failed with exit code %d" % code)
        self.accepted(server, 1, "curl")

    def peak_rss_mib(self, argv, env=None):
        """ru_maxrss of argv as GNU time, its parent, reads it with wait4."""
        code, out = run_once([GNU_TIME, "-f", "%M", "-o", self.rss_file] + argv, env)
        try:
            with open(self.rss_file) as f:
                return int(f.read().split()[-1]) / 1024, code, out
        except (OSError, ValueError, IndexError):
            raise BenchError("GNU time gave no reading for %s (exit %d)" % (argv[0], code))

    # -- one payment: wall, CPU and peak memory, vemrick beside curl

    def one_payment(self, scheme="http"):
        runs = self.args.runs
        name, wall_ratio, rss_cap = PAYMENTS[scheme]
        server_options, trust, curl_trust, env = (), (), (), None
        if scheme.startswith("https"):
            if self.certs is None:
                os.mkdir(os.path.join(self.workdir, "certs"))
                self.certs = certs.make(os.path.join(self.workdir, "certs"))
            server_options = ("--tls-cert", self.certs["server"], "--tls-key", self.certs["server.key"])
            trust = curl_trust = ("--cacert", self.certs["ca"])
        if scheme == "https-system":
            trust, curl_trust, env = (), ("--cacert", self.system_bundle()), self.system_store_env()
        with launch.PayServer(*server_options) as server:
            pay = self.pay_argv(server.url(), options=trust)
            curl = self.curl_argv(server.url(), options=curl_trust)
            entry = self.check_pay(server, *run_once(pay, env))[0]    # warm-up; gives curl its body
            with open(self.body, "w", encoding="latin-1") as f:
                f.write(entry["body"])
            self.check_curl(server, run_once(curl)[0])
            vem, ref, true, vem_rss, ref_rss = [], [], [], [], []
            for _ in range(runs):
                run = timed(pay, env)
                self.check_pay(server, run.code, run.out)
                vem.append(run)
                run = timed(curl)
                self.check_curl(server, run.code)
                ref.append(run)
                true.append(timed(["true"]))
            for _ in range(runs):
                mib, code, out = self.peak_rss_mib(pay, env)
                self.check_pay(server, code, out)
                vem_rss.append(mib)
                mib, code, _ = self.peak_rss_mib(curl)
                self.check_curl(server, code)
                ref_rss.append(mib)
        wall_v, wall_c = med([r.wall for r in vem]), med([r.wall for r in ref])
        self.figure(name + ": wall time", wall_v * 1e3, wall_c * 1e3, "curl", unit=" ms",
                    target="≤ %g × curl" % wall_ratio, met=wall_v <= wall_ratio * wall_c)
        self.figure(name + ": CPU time", med([r.cpu for r in vem]) * 1e3,
                    med([r.cpu for r in ref]) * 1e3, "curl", unit=" ms")
        self.figure(name + ": peak resident memory", med(vem_rss), med(ref_rss), "curl",
                    fmt="%.1f", unit=" MiB", target="< %d MiB" % rss_cap, met=med(vem_rss) < rss_cap)
        ms = [[r.wall * 1e3 for r in vem], [r.wall * 1e3 for r in ref]]
        self.spreads += [
            [name + ": wall, ms", spread(ms[0], "%.2f"), spread(ms[1], "%.2f")],
            [name + ": CPU, ms", spread([r.cpu * 1e3 for r in vem], "%.2f"),
             spread([r.cpu * 1e3 for r in ref], "%.2f")],
            [name + ": peak RSS, MiB", spread(vem_rss, "%.2f"), spread(ref_rss, "%.2f")]]
        if scheme == "http":
            self.startup_ms = med([r.wall for r in true]) * 1e3

    def system_store_env(self):
        """The environment in which the system's hashed directory and one holding the test CA
        make vemrick's trust store."""
        hashed = os.path.join(self.workdir, "hashed")
        if not os.path.isdir(hashed):
            os.mkdir(hashed)
            shutil.copyfile(self.certs["ca"], os.path.join(hashed, "test-ca.pem"))
            subprocess.run(["openssl", "rehash", hashed], check=True, timeout=60,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        system_dir = subprocess.check_output(["openssl", "version", "-d"], timeout=60).decode()
        system_dir = os.path.join(system_dir.split('"')[1], "certs")
        env = {k: v for k, v in os.environ.items() if k not in ("SSL_CERT_FILE", "SSL_CERT_DIR")}
        return dict(env, SSL_CERT_DIR=system_dir + ":" + hashed)

    def system_bundle(self):
        """curl's default bundle with the test CA appended: the same trust for curl."""
        bundle = os.path.join(self.workdir, "bundle.pem")
        if not os.path.exists(bundle):
            with open(bundle, "wb") as out:
                for path in ("/etc/ssl/certs/ca-certificates.crt", self.certs["ca"]):
                    with open(path, "rb") as f:
                        out.write(f.read())
        return bundle

    # -- silent server: CPU share while nothing comes back

    def silent_server(self):
        shares = []
        with launch.PayServer("--misbehave", "silent") as server:
            pay = self.pay_argv(server.url(), SILENT_SECONDS)
            for _ in range(self.args.silent_runs):
                run = timed(pay)
                if run.code != 0 or "ReturnCode=" not in run.out or run.wall < 0.9 * SILENT_SECONDS:
                    raise BenchError("vemrick did not wait out the silent server (exit %d, "
                                     "%.2f s): %r" % (run.code, run.wall, run.out[-200:]))
                shares.append(100 * run.cpu / run.wall)
        self.figure("silent server %d s: CPU share" % SILENT_SECONDS, med(shares), fmt="%.2f",
                    unit=" %", target="< 2 %", met=med(shares) < 2)
        self.spreads.append(["silent server: CPU share, %", spread(shares, "%.3f"), ""])

    # -- SHA-1 and HMAC-SHA-1 beside libcrypto

    def sha_medians(self, env_extra, filter_re=None):
        """MB/s of each benchmark: the median of the repetitions, or the one run."""
        argv = [self.bench_sha1, "--benchmark_repetitions=%d" % self.args.sha_repetitions,
                "--benchmark_min_time=0.2", "--benchmark_report_aggregates_only=true",
                "--benchmark_format=json"]
        if filter_re:
            argv.append("--benchmark_filter=" + filter_re)
        code, out = run_once(argv, dict(os.environ, **env_extra))
        if code != 0:
            raise BenchError("bench_sha1 failed with exit code %d" % code)
        return {b["run_name"]: b["bytes_per_second"] / 1e6
                for b in json.loads(out).get("benchmarks", [])
                if b.get("aggregate_name", "median") == "median" and not b.get("error_occurred")}

    def sha(self):
        mbps = self.sha_medians({})
        engine = "sha_ni" if "BM_Sha1_Ours/sha_ni/16384" in mbps else "portable"
        no_ext = {} if engine != "sha_ni" else self.sha_medians(
            {"OPENSSL_ia32cap": OPENSSL_NO_SHA_EXT}, "OpenSSL_EVP|HmacSha1Text_OpenSSL")
        self.sha_rows = sorted(mbps.items()) + [(k + " (OpenSSL without SHA extensions)", v)
                                                 for k, v in sorted(no_ext.items())]
        try:
            ours, ssl = mbps["BM_Sha1_Ours/%s/16384" % engine], mbps["BM_Sha1_OpenSSL_EVP/16384"]
            self.figure("SHA-1 16 KiB (%s)" % engine, ours, ssl, "OpenSSL", "%.0f", " MB/s",
                        "≥ 0.5 × OpenSSL", ours >= 0.5 * ssl)
            if engine == "sha_ni":
                ours, ssl = mbps["BM_Sha1_Ours/portable/16384"], no_ext["BM_Sha1_OpenSSL_EVP/16384"]
                self.figure("SHA-1 16 KiB (portable)", ours, ssl, "OpenSSL, no SHA ext.", "%.0f",
                            " MB/s", "≥ 0.5 × OpenSSL", ours >= 0.5 * ssl)
            ours = mbps["BM_HmacSha1Text_Ours/%s/460" % engine]
            ssl = mbps["BM_HmacSha1Text_OpenSSL/460"]
            self.figure("HMAC-SHA-1 460 B (%s)" % engine, ours, ssl, "OpenSSL", "%.0f", " MB/s")
        except KeyError as e:
            raise BenchError("bench_sha1 reported no %s" % e)

    # -- batch: many payments at once against a slow server

    def one_batch(self, server, argv, check, who):
        size = self.args.batch_size
        cpu, start = children_cpu(), time.perf_counter()
        with ThreadPoolExecutor(self.args.batch_parallel) as pool:
            results = list(pool.map(lambda _: run_once(argv), range(size)))
        wall, cpu = time.perf_counter() - start, children_cpu() - cpu
        failed = [r for r in results if not check(*r)]
        if failed:
            raise BenchError("%d of %d %s runs in a batch failed (exit %d)"
                             % (len(failed), size, who, failed[0][0]))
        self.accepted(server, size, who)
        return wall, cpu

    def batch(self):
        a = self.args
        vem, ref = [], []
        with launch.PayServer("--delay", a.batch_delay) as server:
            pay, curl = self.pay_argv(server.url()), self.curl_argv(server.url())
            for _ in range(a.batch_runs):
                vem.append(self.one_batch(server, pay, paid, "vemrick"))
                ref.append(self.one_batch(server, curl, lambda code, _: code == 0, "curl"))
        per_v = [c / a.batch_size * 1e3 for _, c in vem]
        per_c = [c / a.batch_size * 1e3 for _, c in ref]
        name = "batch of %d, %d at a time" % (a.batch_size, a.batch_parallel)
        self.figure(name + ": CPU a payment", med(per_v), med(per_c), "curl", unit=" ms",
                    target="≤ 5 ms", met=med(per_v) <= 5)
        self.figure(name + ": total wall", med([w for w, _ in vem]), med([w for w, _ in ref]),
                    "curl", unit=" s")
        self.spreads += [["batch: total wall, s", spread([w for w, _ in vem], "%.3f"),
                          spread([w for w, _ in ref], "%.3f")],
                         ["batch: CPU a payment, ms", spread(per_v, "%.2f"), spread(per_c, "%.2f")]]

    # -- from Python: the package in threads of this process, beside spawning the tool

    def package(self):
        """The Python package over the built shared library, and the orders it pays."""
        library = os.path.join(self.args.build, "lib", "libvemrick.so.1")
        if not os.path.isfile(library):
            raise BenchError("%s is missing (make bench builds it)" % library)
        os.environ["VEMRICK_LIBRARY"] = library
        sys.path.insert(0, os.path.join(self.args.build, "python"))  # staged by the build
        import authstring  # noqa: E402  (sim/)
        import vemrick as package  # noqa: E402  (the build's python/: what is measured here)

        auths = [authstring.authstring(TransactionID="BENCH-%d" % i,
                                       TransactionAmount="%d.00" % (i + 1))
                 for i in range(self.args.python_payments)]
        return package, auths

    def embedded(self):
        a = self.args
        package, auths = self.package()

        def cpu_now():
            own = resource.getrusage(resource.RUSAGE_SELF)
            return own.ru_utime + own.ru_stime + children_cpu()

        def one_round(server, pay, who):
            """Each of the threads pays its share of the orders one after another, as a web
            server's worker threads would."""
            done = []
            threads = [threading.Thread(target=lambda k: done.extend(
                [pay(auth) for auth in auths[k::PYTHON_THREADS]]), args=(k,))
                for k in range(PYTHON_THREADS)]
            cpu, start = cpu_now(), time.perf_counter()
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
            wall, cpu = time.perf_counter() - start, cpu_now() - cpu
            if done.count(True) != len(auths):
                raise BenchError("%d of %d payments through %s failed"
                                 % (len(auths) - done.count(True), len(auths), who))
            self.accepted(server, len(auths), who)
            return len(auths) / wall, cpu / len(auths) * 1e3

        rates, cpus = ([], []), ([], [])
        with launch.PayServer() as server:
            url = server.url()
            ways = ((lambda auth: package.pay(auth, url, key_file=self.key,
                                              timeout=PAY_TIMEOUT).approved, "the package"),
                    (lambda auth: paid(*run_once([self.vemrick, auth, url, str(PAY_TIMEOUT), "",
                                                  "0", self.key])), "spawned vemrick"))
            for _ in range(a.python_runs):
                for i, (pay, who) in enumerate(ways):
                    rate, cpu = one_round(server, pay, who)
                    rates[i].append(rate)
                    cpus[i].append(cpu)
        name = "from Python, %d threads" % PYTHON_THREADS
        self.figure(name + ": payments a second", med(rates[0]), med(rates[1]), "spawning vemrick",
                    fmt="%.0f", unit="/s")
        self.figure(name + ": CPU a payment", med(cpus[0]), med(cpus[1]), "spawning vemrick",
                    unit=" ms", target="≤ 0.2 × spawning",
                    met=med(cpus[0]) <= 0.2 * med(cpus[1]))
        self.spreads += [["from Python: CPU a payment, ms (package; spawning vemrick)",
                          spread(cpus[0], "%.3f"), spread(cpus[1], "%.3f")]]

    def embedded_https(self):
        """Payments over https from 8 threads of this process through the package, trusting the
        test CA with cacert= and through the system store: CPU a payment and payments a second."""
        package, auths = self.package()
        if self.certs is None:
            os.mkdir(os.path.join(self.workdir, "certs"))
            self.certs = certs.make(os.path.join(self.workdir, "certs"))
        saved = {k: os.environ.get(k) for k in ("SSL_CERT_FILE", "SSL_CERT_DIR")}
        with launch.PayServer("--tls-cert", self.certs["server"], "--tls-key",
                              self.certs["server.key"]) as server:
            url = server.url(scheme="https")
            for store, options in (("cacert", dict(cacert=self.certs["ca"])), ("system store", {})):
                if not options:
                    os.environ.pop("SSL_CERT_FILE", None)
                    os.environ["SSL_CERT_DIR"] = self.system_store_env()["SSL_CERT_DIR"]
                rates, cpus = [], []
                for _ in range(self.args.python_runs):
                    done, lock = [], threading.Lock()

                    def work(k):
                        for auth in auths[k::PYTHON_THREADS]:
                            ok = package.pay(auth, url, key_file=self.key, timeout=PAY_TIMEOUT,
                                             **options).approved
                            with lock:
                                done.append(ok)
                    threads = [threading.Thread(target=work, args=(k,)) for k in range(PYTHON_THREADS)]
                    own = resource.getrusage(resource.RUSAGE_SELF)
                    cpu, start = own.ru_utime + own.ru_stime, time.perf_counter()
                    for thread in threads:
                        thread.start()
                    for thread in threads:
                        thread.join()
                    own = resource.getrusage(resource.RUSAGE_SELF)
                    wall, cpu = time.perf_counter() - start, own.ru_utime + own.ru_stime - cpu
                    if done.count(True) != len(auths):
                        raise BenchError("%d of %d https payments from Python (%s) failed"
                                         % (len(auths) - done.count(True), len(auths), store))
                    self.accepted(server, len(auths), "the package")
                    rates.append(len(auths) / wall)
                    cpus.append(cpu / len(auths) * 1e3)
                name = "from Python over https (%s), %d threads" % (store, PYTHON_THREADS)
                self.figure(name + ": payments a second", med(rates), fmt="%.0f", unit="/s")
                self.figure(name + ": CPU a payment", med(cpus), unit=" ms", target="≤ 1.2 ms",
                            met=med(cpus) <= 1.2)
        for k, v in saved.items():
            if v is None:
                os.environ.pop(k, None)
            else:
                os.environ[k] = v

    # -- report

    def report(self, started, elapsed, loads):
        a = self.args
        with open("/proc/cpuinfo") as f:
            model = next((line.split(":", 1)[1].strip() for line in f
                          if line.startswith("model name")), "unknown")
        lines = ["# vemrick performance figures", "",
                 "Written by `bench/run.py` (`make bench`) on %s in %.0f s: %d processors (%s), "
                 "Linux %s. One-minute load average, which other work on the machine raises, at "
                 "the start of each part: %s."
                 % (started.strftime("%Y-%m-%d %H:%M %Z"), elapsed, os.cpu_count(), model,
                    platform.release(), ", ".join("%s %.2f" % load for load in loads)), "",
                 "Medians: one payment (over http and over https) of %d runs each (vemrick and "
                 "curl interleaved), the silent server of %d, bench_sha1 of %d repetitions, the "
                 "batch of %d batches each (server delay %g s). Ratio = vemrick / reference."
                 % (a.runs, a.silent_runs, a.sha_repetitions, a.batch_runs, a.batch_delay)
                 + ("" if self.startup_ms is None else " Starting and reaping a process that does "
                    "nothing (`true`) takes %.2f ms here." % self.startup_ms), "",
                 "| figure | vemrick | reference | ratio | target | result |",
                 "| --- | --- | --- | --- | --- | --- |"]
        lines += ["| " + " | ".join(row) + " |" for row in self.figures]
        if self.errors:
            lines += ["", "Not measured:", ""] + ["- " + e for e in self.errors]
        lines += ["", "## Spread (min / median / max)", "", "| measure | vemrick | curl |",
                  "| --- | --- | --- |"] + ["| " + " | ".join(row) + " |" for row in self.spreads]
        lines += ["", "## bench_sha1 medians", "", "| benchmark | MB/s |", "| --- | --- |"]
        lines += ["| %s | %.0f |" % row for row in self.sha_rows]
        with open(a.out, "w", encoding="utf-8") as f:
            f.write("\n".join(lines) + "\n")


def main(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default="build", help="build directory (default: build)")
    p.add_argument("--out", help="results file (default: bench-results.md in the build directory)")
    for name, default, what in (("runs", 25, "runs of one payment per program"),
                                ("silent-runs", 5, "runs against the silent server"),
                                ("sha-repetitions", 20, "bench_sha1 repetitions"),
                                ("batch-runs", 20, "batches per program"),
                                ("batch-size", 200, "payments per batch"),
                                ("batch-parallel", 20, "payments running at once"),
                                ("python-runs", 5, "rounds from Python, each way"),
                                ("python-payments", 400, "payments a round from Python")):
        p.add_argument("--" + name, type=int, default=default,
                       help="%s (default %d)" % (what, default))
    p.add_argument("--batch-delay", type=float, default=0.1,
                   help="server delay before answering in the batch, seconds (default 0.1)")
    args = p.parse_args(argv)
    if min(args.runs, args.silent_runs, args.sha_repetitions, args.batch_runs, args.batch_size,
           args.batch_parallel, args.python_runs, args.python_payments) < 1 \
            or not 0 <= args.batch_delay <= 10:
        p.error("counts must be positive and the delay between 0 and 10 s")
    args.build = os.path.abspath(args.build if os.path.isdir(args.build)
                                 else os.path.join(REPO, args.build))
    args.out = args.out or os.path.join(args.build, "bench-results.md")
    missing = [path for path in (os.path.join(args.build, "bin", "vemrick"),
                                 os.path.join(args.build, "bench", "bench_sha1"), GNU_TIME)
               if not os.access(path, os.X_OK)] + [p for p in ("curl", "openssl") if not shutil.which(p)]
    if missing:
        print("bench/run.py: missing %s (`make bench` builds and installs what it needs)"
              % ", ".join(missing), file=sys.stderr)
        return 2

    signal.signal(signal.SIGTERM, lambda *_: sys.exit("bench/run.py: stopped by SIGTERM"))
    started, t0 = datetime.datetime.now().astimezone(), time.monotonic()
    loads = []
    print("vemrick benchmarks; %d processors" % os.cpu_count(), flush=True)
    with tempfile.TemporaryDirectory(prefix="vemrick-bench-") as workdir:
        bench = Bench(args, workdir)
        for title, part in (("one payment", bench.one_payment),
                            ("one payment over https", lambda: bench.one_payment("https")),
                            ("one payment over https, system store",
                             lambda: bench.one_payment("https-system")),
                            ("silent server", bench.silent_server),
                            ("SHA-1 and HMAC-SHA-1", bench.sha), ("batch", bench.batch),
                            ("from Python", bench.embedded),
                            ("from Python over https", bench.embedded_https)):
            loads.append((title, os.getloadavg()[0]))
            print("== %s (load %.2f)" % loads[-1], flush=True)
            try:
                part()
            except (BenchError, RuntimeError, OSError, ValueError) as e:
                print("  NOT MEASURED: %s" % e, flush=True)
                bench.errors.append("%s: %s" % (title, e))
    loads.append(("end", os.getloadavg()[0]))
    bench.report(started, time.monotonic() - t0, loads)
    print("wrote %s (%.0f s)" % (os.path.relpath(args.out), time.monotonic() - t0))
    return 1 if bench.errors else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
