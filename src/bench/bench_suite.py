#!/usr/bin/env python3
"""The benchmark users can read: kestrava_core's deltas and dumps beside the
tools one would pick instead, on a corpus built the same on every run.

Every measurement runs in a child process of its own (the "worker" side of
this file), under the virtual environment being measured, so that peak
memory is that call's alone and a call that runs past the time budget can be
stopped. Results go to a Markdown table and a PNG chart.

Run it through scripts/bench, which installs the peers; see --help.
"""
import argparse
import ctypes
import fnmatch
import gc
import hashlib
import json
import os
import platform
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import bench_corpus as corpus

REPO = corpus.REPO
BUILD = os.path.join(REPO, "build")

# Tools, by the names the tables use.
KESTRAVA_DELTA = ["diff", "diff_indexed"]
# The in-process yardsticks of diff_indexed: zstd with the old value as a
# raw prefix (what --patch-from does, without the process) at levels 3 and
# 19, and an uncompressed delta that, like ours, copies from the old value.
YARDSTICKS = ["pyzstd -3 prefix", "pyzstd -19 prefix", "hdiffpatch"]
# A delta compressed afterwards (the delta, then pyzstd at that level with no
# prefix; decoding decompresses, then patches): what a user shipping over a
# slow link gets beside compressing against the old value directly.
COMPRESSED = ["diff_indexed + pyzstd -3", "diff_indexed + pyzstd -19"]
DELTA_TOOLS = KESTRAVA_DELTA + YARDSTICKS + COMPRESSED + ["xdelta3 -e -S none", "xdelta3 -e",
                                                          "zstd --patch-from --long", "zstd -19 --patch-from --long",
                                                          "bsdiff4"]
KESTRAVA_DUMPS = ["dumps", "dumps indefinite=False"]
DUMPS_TOOLS = KESTRAVA_DUMPS + ["cbor2", "msgpack", "orjson"]

# Command lines: encode {old} {new} -> {out}; decode {old} {delta} -> {out}.
CLI = {
    "xdelta3 -e -S none": (["xdelta3", "-e", "-S", "none", "-f", "-s", "{old}", "{new}", "{out}"],
                           ["xdelta3", "-d", "-f", "-s", "{old}", "{delta}", "{out}"]),
    "xdelta3 -e": (["xdelta3", "-e", "-f", "-s", "{old}", "{new}", "{out}"],
                   ["xdelta3", "-d", "-f", "-s", "{old}", "{delta}", "{out}"]),
    "zstd --patch-from --long": (["zstd", "-q", "-f", "--long", "--patch-from={old}", "{new}", "-o", "{out}"],
                                 ["zstd", "-q", "-f", "-d", "--long", "--patch-from={old}", "{delta}", "-o", "{out}"]),
    "zstd -19 --patch-from --long": (["zstd", "-q", "-f", "-19", "--long", "--patch-from={old}", "{new}", "-o",
                                      "{out}"],
                                     ["zstd", "-q", "-f", "-d", "--long", "--patch-from={old}", "{delta}", "-o",
                                      "{out}"]),
}

# In-process calls shorter than this are timed in batches, so that tiny
# values measure the call and not the clock; short enough that a batch often
# fits between two preemptions on a busy machine.
MIN_SAMPLE = 0.002
# Quick measurements go on past the requested runs until this much time is
# spent (up to 100 times the runs): on a shared machine the best of more
# samples is steadier.
MIN_TOTAL = 0.5


def more_runs(runs, repeat, spent, next_run, budget):
    if runs >= 100 * repeat or spent + next_run * 1.5 > budget:
        return False
    return runs < repeat or spent < MIN_TOTAL


# ================================================================ worker side

def read(path):
    with open(path, "rb") as f:
        return f.read()


def _status_kib(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


class PeakMemory:
    """Peak resident memory of one call beyond what the process held before
    it. Linux resets the high-water mark through /proc/self/clear_refs; where
    that is refused, the growth of ru_maxrss is the fallback (it only sees
    growth past the earlier peak)."""

    def start(self):
        gc.collect()
        # Free heap memory still resident would be reused by the call
        # without showing as growth: hand it back first.
        try:
            ctypes.CDLL(None).malloc_trim(0)
        except (OSError, AttributeError):
            pass
        try:
            with open("/proc/self/clear_refs", "w") as f:
                f.write("5")
            self.hwm = True
            self.base = _status_kib("VmRSS")
        except OSError:
            self.hwm = False
            self.base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss

    def stop(self):
        now = _status_kib("VmHWM") if self.hwm else resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        return max(0, now - self.base)


def time_in_process(fn, repeat, budget):
    """Best-of-`repeat` time of fn(); the first call also gives the peak
    memory and the result. Stops early when the budget would be exceeded."""
    peak = PeakMemory()
    peak.start()
    t0, c0 = time.perf_counter(), time.process_time()
    result = fn()
    first, cpu = time.perf_counter() - t0, time.process_time() - c0
    peak_kib = peak.stop()
    if not isinstance(result, list):
        result = bytes(result)
    best, runs, spent = first, 1, first
    loops = 1 if first >= MIN_SAMPLE else min(100000, int(MIN_SAMPLE / max(first, 1e-7)) + 1)
    while more_runs(runs, repeat, spent, best * loops, budget):
        gc.collect()
        t0, c0 = time.perf_counter(), time.process_time()
        for _ in range(loops):
            fn()
        elapsed, cpu_elapsed = time.perf_counter() - t0, time.process_time() - c0
        spent += elapsed
        best, cpu = min(best, elapsed / loops), min(cpu, cpu_elapsed / loops)
        runs += 1
    return result, {"best": best, "cpu": cpu, "runs": runs, "loops": loops, "peak_kib": peak_kib}


def run_command(argv):
    """Runs a command; returns (seconds, CPU seconds, peak RSS KiB of that
    process)."""
    with tempfile.TemporaryFile() as err:
        t0 = time.perf_counter()
        p = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(p.pid, 0)
        elapsed = time.perf_counter() - t0
        p.returncode = os.waitstatus_to_exitcode(status)
        if p.returncode != 0:
            err.seek(0)
            raise RuntimeError("%s exited with %d: %s" % (" ".join(argv), p.returncode,
                                                          err.read().decode(errors="replace").strip()))
    return elapsed, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def time_command(argv, repeat, budget):
    best, cpu, peak = run_command(argv)
    runs, spent = 1, best
    while more_runs(runs, repeat, spent, best, budget):
        elapsed, cpu_elapsed, rss = run_command(argv)
        best, cpu, peak = min(best, elapsed), min(cpu, cpu_elapsed), max(peak, rss)
        spent, runs = spent + elapsed, runs + 1
    return {"best": best, "cpu": cpu, "runs": runs, "loops": 1, "peak_kib": peak}


def zstd_prefix_functions(level):
    import pyzstd
    from pyzstd import CParameter, DParameter

    def window_log(old, new):
        return min(30, max(10, max(len(old), len(new)).bit_length()))

    def encode(old, new):
        option = {CParameter.compressionLevel: level, CParameter.enableLongDistanceMatching: 1,
                  CParameter.windowLog: window_log(old, new)}
        return pyzstd.compress(new, option, zstd_dict=pyzstd.ZstdDict(old, is_raw=True).as_prefix)

    def decode(old, delta):
        return pyzstd.decompress(delta, zstd_dict=pyzstd.ZstdDict(old, is_raw=True).as_prefix,
                                 option={DParameter.windowLogMax: 31})
    return encode, decode


def in_process_delta(tool):
    if tool == "bsdiff4":
        import bsdiff4
        return bsdiff4.diff, bsdiff4.patch
    if tool.startswith("pyzstd "):
        return zstd_prefix_functions(int(tool.split()[1][1:]))
    if tool in COMPRESSED:
        import pyzstd
        from kestrava_core import delta
        level = int(tool.split()[-1][1:])
        return (lambda old, new: pyzstd.compress(bytes(delta.diff_indexed(old, new)), level)), \
            (lambda old, packed: delta.patch(old, pyzstd.decompress(packed)))
    if tool == "hdiffpatch":
        import hdiffpatch
        return (lambda old, new: hdiffpatch.diff(old, new, compression="none", validate=False)), hdiffpatch.apply
    from kestrava_core import delta
    return getattr(delta, tool), delta.patch


def dumps_function(tool):
    if tool in KESTRAVA_DUMPS:
        from kestrava_core import cbor
        return (lambda v: cbor.dumps(v)) if tool == "dumps" else (lambda v: cbor.dumps(v, indefinite=False))
    if tool == "cbor2":
        import cbor2
        return cbor2.dumps
    if tool == "msgpack":
        import msgpack
        return msgpack.packb
    import orjson
    return orjson.dumps


def decoded_equal(tool, data, value):
    """Decodes an output with an independent reader (cbor2 for CBOR) and
    compares; None where no reader is installed (the baseline's venv)."""
    try:
        if tool in KESTRAVA_DUMPS or tool == "cbor2":
            import cbor2
            return cbor2.loads(data) == value
        if tool == "msgpack":
            import msgpack
            return msgpack.unpackb(data, strict_map_key=False) == value
        import orjson
        return orjson.loads(data) == value
    except ImportError:
        return None


def worker_delta(job):
    """Op "delta" encodes old and new into out; op "patch" decodes old and
    delta and compares the result with new."""
    encoding = job["op"] == "delta"
    tool, second = job["tool"], job["new"] if encoding else job["delta"]
    if tool in CLI:
        argv = [a.format(old=job["old"], new=second, delta=second, out=job["out"])
                for a in CLI[tool][0 if encoding else 1]]
        out = time_command(argv, job["repeat"], job["budget"])
        result = read(job["out"])
    elif job.get("pairs"):
        # One call per pair, all of them timed as one measurement.
        fn = in_process_delta(tool)[0 if encoding else 1]
        olds, others = corpus.unframe(read(job["old"])), corpus.unframe(read(second))
        results, out = time_in_process(lambda: [bytes(fn(o, x)) for o, x in zip(olds, others)], job["repeat"],
                                       job["budget"])
        result = corpus.frame_pairs(results)
        if encoding:
            with open(job["out"], "wb") as f:
                f.write(result)
            out["size"] = sum(len(r) for r in results)
    else:
        fn = in_process_delta(tool)[0 if encoding else 1]
        old, other = read(job["old"]), read(second)
        result, out = time_in_process(lambda: fn(old, other), job["repeat"], job["budget"])
        if encoding:
            with open(job["out"], "wb") as f:
                f.write(result)
    if encoding:
        out.setdefault("size", len(result))
        out["sha256"] = hashlib.sha256(result).hexdigest()
    else:
        out["match"] = result == read(job["new"])
        if os.path.exists(job["out"]):
            os.unlink(job["out"])
    return out


def worker_dumps(job):
    value = corpus.DOCUMENTS[job["doc"]][2]()
    fn = dumps_function(job["tool"])
    data, out = time_in_process(lambda: fn(value), job["repeat"], job["budget"])
    out.update(size=len(data), sha256=hashlib.sha256(data).hexdigest(),
               match=decoded_equal(job["tool"], data, value))
    return out


def worker_probe(job):
    from importlib import metadata
    import kestrava_core
    from kestrava_core import delta
    versions = {}
    for name in ("kestrava_core", "cbor2", "msgpack", "orjson", "bsdiff4", "pyzstd", "hdiffpatch", "matplotlib"):
        try:
            versions[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            pass
    return {"python": "%s %s" % (platform.python_implementation(), platform.python_version()),
            "module": kestrava_core.__file__, "diff_indexed": hasattr(delta, "diff_indexed"),
            "versions": versions}


def worker_main():
    job = json.loads(sys.stdin.read())
    handler = {"delta": worker_delta, "patch": worker_delta, "dumps": worker_dumps, "probe": worker_probe}[job["op"]]
    print(json.dumps(handler(job)))


# ================================================================ driver side

def log(msg):
    print(msg, flush=True)


def run_worker(python, job, timeout):
    """Runs one job in a fresh process (its own process group, so that a
    command it started goes too when it is stopped)."""
    p = subprocess.Popen([python, os.path.abspath(__file__), "--worker"], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    try:
        out, err = p.communicate(json.dumps(job), timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.communicate()
        return {"status": "over budget"}
    if p.returncode != 0:
        lines = err.strip().splitlines() or ["exit code %d" % p.returncode]
        return {"status": "error", "error": lines[-1]}
    result = json.loads(out.strip().splitlines()[-1])
    result["status"] = "ok"
    return result


def install_module(python, src):
    """Builds the module from a source tree and installs it into a venv,
    with the build requirements of that tree's pyproject.toml."""
    import tomllib
    with open(os.path.join(src, "pyproject.toml"), "rb") as f:
        requires = tomllib.load(f)["build-system"]["requires"]
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL="2")
    subprocess.run([python, "-m", "pip", "install", "-q"] + requires, check=True, env=env)
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-build-isolation", "--force-reinstall", "--no-deps",
                    "-C", "build-dir=build/bench-python/{wheel_tag}", src], check=True, env=env)


def git(*args):
    return subprocess.run(["git", "-C", REPO] + list(args), check=True, capture_output=True,
                          text=True).stdout.strip()


def baseline_python(ref):
    """A venv with the module built at a git ref (kept under build/ per
    commit, so later runs against the same ref reuse it)."""
    sha = git("rev-parse", "--verify", ref + "^{commit}")
    home = os.path.join(BUILD, "bench-baseline", sha[:12])
    python = os.path.join(home, "venv", "bin", "python")
    stamp = os.path.join(home, "installed")
    if not os.path.exists(stamp):
        log("=== building the baseline %s (%s) into %s ===" % (ref, sha[:12], home))
        shutil.rmtree(home, ignore_errors=True)
        src = os.path.join(home, "src")
        os.makedirs(src)
        archive = subprocess.Popen(["git", "-C", REPO, "archive", sha], stdout=subprocess.PIPE)
        subprocess.run(["tar", "-x", "-C", src], stdin=archive.stdout, check=True)
        if archive.wait() != 0:
            raise RuntimeError("git archive %s failed" % sha)
        subprocess.run([sys.executable, "-m", "venv", os.path.join(home, "venv")], check=True)
        install_module(python, src)
        open(stamp, "w").close()
    return python, "%s (%s)" % (ref, sha[:12])


# ---------------------------------------------------------------- formatting

def fmt_time(cell, repeat):
    status = cell.get("status")
    if status == "over budget":
        return "> %g s (budget)" % cell["budget"]
    if status != "ok":
        return cell.get("label", status)
    text = fmt_seconds(cell["best"])
    if cell["runs"] < repeat:
        text += " (%d run%s)" % (cell["runs"], "" if cell["runs"] == 1 else "s")
    return text


def fmt_rate(cell, nbytes):
    if cell.get("status") != "ok" or cell["best"] <= 0:
        return ""
    rate = nbytes / cell["best"] / 1e6
    if rate >= 100:
        return "{:,.0f}".format(rate)
    return "%.3g" % rate if rate >= 0.01 else "< 0.01"


def fmt_seconds(t):
    if t < 1e-3:
        return "%.3g us" % (t * 1e6)
    return "%.3g ms" % (t * 1e3) if t < 1 else "%.3g s" % t


def fmt_cpu(cell):
    return fmt_seconds(cell["cpu"]) if cell.get("status") == "ok" else ""


def fmt_mem(cell):
    if cell.get("status") != "ok":
        return ""
    return "%.1f" % (cell["peak_kib"] / 1024.0)


def fmt_int(n):
    return "{:,}".format(n)


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return "\n".join(lines)


# ---------------------------------------------------------------- machine

def machine_description(probe):
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kib = int(f.readline().split()[1])
    os_name = platform.platform()
    try:
        with open("/etc/os-release") as f:
            fields = dict(line.rstrip("\n").split("=", 1) for line in f if "=" in line)
        os_name = "%s, Linux %s" % (fields.get("PRETTY_NAME", "").strip('"'), platform.release())
    except OSError:
        pass

    def version(argv):
        try:
            p = subprocess.run(argv, capture_output=True, text=True)
            line = (p.stdout + p.stderr).strip().splitlines()[0]
        except (OSError, IndexError):
            return "not found"
        # Both print their copyright or author after the version.
        return line.strip("* ").split(", ")[0]

    try:
        commit = "%s on %s" % (git("describe", "--always", "--dirty"), git("rev-parse", "--abbrev-ref", "HEAD"))
    except subprocess.CalledProcessError:
        commit = "unknown"
    v = probe["versions"]
    return [
        ("Date", time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())),
        ("CPU", "%s, %d cores" % (cpu, os.cpu_count())),
        ("Memory", "%.1f GiB" % (mem_kib / 1024.0 ** 2)),
        ("OS", os_name),
        ("Interpreter", probe["python"]),
        ("kestrava_core", "%s, commit %s" % (v.get("kestrava_core", "?"), commit)),
        ("xdelta3", version(["xdelta3", "-V"])),
        ("zstd", version(["zstd", "--version"])),
        ("PyPI peers", ", ".join("%s %s" % (k, v[k]) for k in ("pyzstd", "hdiffpatch", "cbor2", "msgpack", "orjson",
                                                               "bsdiff4") if k in v)),
    ]


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


# ---------------------------------------------------------------- the run

class Bench:
    def __init__(self, args):
        self.args = args
        self.python = sys.executable
        self.scratch = tempfile.mkdtemp(prefix="kestrava-bench-",
                                        dir="/dev/shm" if os.access("/dev/shm", os.W_OK) else BUILD)
        self.cache = os.path.join(BUILD, "bench-corpus")
        self.rows = []       # delta rows
        self.dumps_rows = []
        self.failures = []
        self.corpus_rows = []
        self.baseline = None

    def wanted(self, case_id, tool):
        a = self.args
        if a.case and not any(fnmatch.fnmatch(case_id, p) for p in a.case):
            return False
        if a.tool and not any(fnmatch.fnmatch(tool, p) for p in a.tool):
            return False
        # Level 19 takes seconds a run: the quick run keeps the minutes short.
        if a.quick and not a.tool and "-19" in tool:
            return False
        return True

    def skipped(self, case_id, tool):
        return any(fnmatch.fnmatch("%s:%s" % (case_id, tool), p) for p in self.args.skip)

    def job(self, python, job):
        job.update(repeat=self.args.repeat, budget=self.args.budget)
        # Loading the inputs and starting the interpreter come on top.
        result = run_worker(python, job, self.args.budget * 1.1 + 5)
        result["budget"] = self.args.budget
        return result

    def fail(self, message):
        self.failures.append(message)
        log("!!! " + message)

    def builds(self, tool):
        """(python, tag) of each build that has the tool: this tree's, and
        the baseline's for the module's own calls."""
        out = [(self.python, "")]
        if self.baseline and (tool in KESTRAVA_DELTA or tool in KESTRAVA_DUMPS) and \
                (tool != "diff_indexed" or self.baseline_probe["diff_indexed"]):
            out.append((self.baseline[0], " (baseline)"))
        return out

    def measure(self, what, builds, make_job):
        """Runs one measurement per build; with a baseline, in alternating
        rounds (this tree, baseline, this tree, ...) so that both see the same
        machine, keeping the best time of each. The rounds must agree."""
        results = [None] * len(builds)
        for _ in range(self.args.rounds if len(builds) > 1 else 1):
            for i, (python, tag) in enumerate(builds):
                prev = results[i]
                if prev is not None and prev["status"] != "ok":
                    continue
                res = self.job(python, make_job(tag))
                if res["status"] == "error":
                    self.fail("%s%s: %s" % (what, tag, res["error"]))
                if prev is None or res["status"] == "error":
                    results[i] = res
                elif res["status"] == "ok":
                    if res.get("sha256") != prev.get("sha256"):
                        self.fail("NOT DETERMINISTIC: %s%s gave different output in two runs" % (what, tag))
                    prev.update(best=min(prev["best"], res["best"]), cpu=min(prev["cpu"], res["cpu"]),
                                runs=prev["runs"] + res["runs"], peak_kib=max(prev["peak_kib"], res["peak_kib"]))
        if len(builds) > 1 and all(r["status"] == "ok" for r in results) and \
                results[0].get("sha256") != results[1].get("sha256"):
            self.fail("OUTPUT DIFFERS: %s: %s bytes from the baseline %s, %s bytes from this tree"
                      % (what, fmt_int(results[1]["size"]), self.baseline[1], fmt_int(results[0]["size"])))
        return results

    def delta_tool(self, case, tool, old_path, new_path):
        """Encode then decode with one tool, per build; the deltas stay in
        scratch until the case is done. Returns [(encode, decode)]."""
        builds = self.builds(tool)
        what = "%s on %s" % (tool, case.id)

        def delta_path(tag):
            return os.path.join(self.scratch, "%s.%s%s.delta" % (case.id, tool.replace(" ", "_"),
                                                                 tag.replace(" ", "_")))

        encs = self.measure(what, builds, lambda tag: {"op": "delta", "tool": tool, "old": old_path,
                                                       "new": new_path, "out": delta_path(tag),
                                                       "pairs": case.pairs})
        have = [b for b, e in zip(builds, encs) if e["status"] == "ok"]
        done = iter(self.measure("patch of " + what, have,
                                 lambda tag: {"op": "patch", "tool": tool, "old": old_path, "delta": delta_path(tag),
                                              "new": new_path, "out": delta_path(tag) + ".out",
                                              "pairs": case.pairs}))
        decs = [next(done) if e["status"] == "ok" else {"status": "skipped", "label": "no delta"} for e in encs]
        for dec, (_, tag) in zip(decs, builds):
            if dec["status"] == "ok" and not dec["match"]:
                self.fail("ROUND TRIP FAILED: %s%s: the decoded value differs from the new value" % (what, tag))
        return list(zip(encs, decs))

    def run_delta_case(self, case):
        old_path, new_path = corpus.case_files(self.cache, case)
        old_size, new_size = os.path.getsize(old_path), os.path.getsize(new_path)
        if case.pairs:  # the values, without the lengths framing them
            old_size, new_size = (sum(len(v) for v in corpus.unframe(read(p))) for p in (old_path, new_path))
        self.corpus_rows.append((case.id, case.title, fmt_int(old_size), fmt_int(new_size),
                                 corpus.sha256_file(old_path)[:16], corpus.sha256_file(new_path)[:16]))
        log("=== %s: %s (%s -> %s bytes) ===" % (case.id, case.title, fmt_int(old_size), fmt_int(new_size)))
        for tool in DELTA_TOOLS:
            if not self.wanted(case.id, tool):
                continue
            row = {"case": case, "tool": tool, "old_size": old_size, "new_size": new_size}
            reason = None
            if self.skipped(case.id, tool):
                reason = "skipped"
            elif (tool == "diff_indexed" or tool in COMPRESSED) and not self.probe["diff_indexed"]:
                reason = "n/a"
            elif case.pairs and tool in CLI:
                reason = "n/a (pairs)"
            elif tool == "bsdiff4" and max(old_size, new_size) > self.args.bsdiff_max_mb * 1e6:
                reason = "skipped (> %g MB)" % self.args.bsdiff_max_mb
            skipped = {"status": "skipped", "label": reason}
            cells = [(skipped, skipped)] * len(self.builds(tool)) if reason else \
                self.delta_tool(case, tool, old_path, new_path)
            row["enc"], row["dec"] = cells[0]
            if self.baseline and tool in KESTRAVA_DELTA:
                n_a = {"status": "skipped", "label": "n/a"}
                base = cells[1] if len(cells) > 1 else (n_a, n_a)
                row["base"] = {"enc": base[0], "dec": base[1]}
            self.rows.append(row)
            log("  %-26s %s" % (tool, self.summary(row)))
        for name in os.listdir(self.scratch):
            os.unlink(os.path.join(self.scratch, name))

    def summary(self, row):
        enc = row["enc"]
        if enc["status"] != "ok":
            return fmt_time(enc, self.args.repeat)
        text = "%s B, encode %s, decode %s" % (fmt_int(enc["size"]), fmt_time(enc, self.args.repeat),
                                              fmt_time(row["dec"], self.args.repeat))
        if "base" in row and row["base"]["enc"]["status"] == "ok":
            text += "; baseline encode %s" % fmt_time(row["base"]["enc"], self.args.repeat)
        return text

    def run_dumps(self, name):
        title, json_ok, _ = corpus.DOCUMENTS[name]
        case_id = "dumps-" + name
        log("=== %s: %s ===" % (case_id, title))
        for tool in DUMPS_TOOLS:
            if not self.wanted(case_id, tool):
                continue
            row = {"doc": name, "title": title, "tool": tool}
            if self.skipped(case_id, tool):
                row["cell"] = {"status": "skipped", "label": "skipped"}
            elif tool == "orjson" and not json_ok:
                row["cell"] = {"status": "skipped", "label": "n/a (not JSON)"}
            else:
                what = "%s on %s" % (tool, case_id)
                builds = self.builds(tool)
                cells = self.measure(what, builds, lambda tag: {"op": "dumps", "tool": tool, "doc": name})
                for cell, (_, tag) in zip(cells, builds):
                    if cell["status"] == "ok" and cell["match"] is False:
                        self.fail("%s%s: the output does not decode to the document" % (what, tag))
                row["cell"] = cells[0]
                if len(cells) > 1:
                    row["base"] = cells[1]
            self.dumps_rows.append(row)
            cell = row["cell"]
            text = fmt_time(cell, self.args.repeat)
            if cell["status"] == "ok":
                text = "%s B, %s" % (fmt_int(cell["size"]), text)
            log("  %-26s %s" % (tool, text))

    def run(self):
        a = self.args
        self.load_start = loadavg()
        self.probe = run_worker(self.python, {"op": "probe"}, 120)
        if self.probe["status"] != "ok":
            raise SystemExit("cannot import kestrava_core: %s" % self.probe.get("error"))
        if a.baseline:
            self.baseline = baseline_python(a.baseline)
            self.baseline_probe = run_worker(self.baseline[0], {"op": "probe"}, 120)
            if self.baseline_probe["status"] != "ok":
                raise SystemExit("cannot import the baseline's kestrava_core: %s" % self.baseline_probe.get("error"))
        log("load average at start: %s" % self.load_start)
        try:
            for case in corpus.delta_cases():
                if (case.quick or not a.quick) and any(self.wanted(case.id, t) for t in DELTA_TOOLS):
                    self.run_delta_case(case)
            for name in corpus.DOCUMENTS:
                if any(self.wanted("dumps-" + name, t) for t in DUMPS_TOOLS):
                    self.run_dumps(name)
        finally:
            shutil.rmtree(self.scratch, ignore_errors=True)
        self.load_end = loadavg()


# ---------------------------------------------------------------- report

def cell_size_time(row, repeat):
    enc = row["enc"]
    if enc["status"] != "ok":
        return fmt_time(enc, repeat)
    return "%s B / %s" % (fmt_int(enc["size"]), fmt_time(enc, repeat))


def report(bench, chart_name):
    a = bench.args
    r = a.repeat
    out = ["# kestrava_core benchmark", ""]
    out.append("Made by `scripts/bench%s`. Every figure below comes from this one run." %
               ("".join(" " + x for x in a.argv)))
    out.append("")
    out.append("![delta sizes and times, dumps times](%s)" % chart_name)
    out += ["", "## Machine", ""]
    out.append(table(["", ""], machine_description(bench.probe) +
                     [("Load average (1, 5, 15 min)", "%s at the start, %s at the end (other work shares the "
                                                      "machine)" % (bench.load_start, bench.load_end))]))
    out += ["", "## How to read it", "",
            "- Times are the best of %d runs or more: quick ones are repeated for at least %g s. Fewer where the "
            "runs would pass the %g s budget per measurement (the count is given then); a run that passed the "
            "budget was stopped and shows as `> budget`." % (r, MIN_TOTAL, a.budget),
            "- `diff`, `diff_indexed`, `patch` (the decode of both), `bsdiff4` and the serialisers are called "
            "in-process from Python on values already in memory; calls under %g ms are timed in batches." % (
                MIN_SAMPLE * 1e3),
            "- xdelta3 and zstd run as command-line programs: their times include starting the process, "
            "reading the inputs from files (in the page cache) and writing the output to a file in memory.",
            "- CPU is the best user plus system time of the same runs (of the child process for the "
            "command-line programs). On a quiet machine it matches the elapsed time of a single-threaded call; "
            "on a busy one, elapsed time also counts waiting for a core and CPU time does not.",
            "- Throughput is MB/s (10^6 bytes) of the new value, for encoding and decoding alike; for the "
            "serialisers, of their own output.",
            "- Peak memory (MiB): for in-process calls, the growth of the process's peak resident memory over "
            "the call (each measurement runs in a fresh process, the inputs already loaded; free heap memory is "
            "returned with malloc_trim and the high-water mark reset through /proc/self/clear_refs just before "
            "the call), so it includes the result. "
            "For the command-line programs, the whole process's peak, which includes their own copy of the "
            "inputs.",
            "- Every delta was decoded again and compared with the new value; kestrava's CBOR was decoded "
            "with cbor2 and compared with the document.", ""]
    if bench.failures:
        out += ["## FAILURES", ""] + ["- " + f for f in bench.failures] + [""]

    if bench.rows:
        tools = [t for t in DELTA_TOOLS if any(row["tool"] == t for row in bench.rows)]
        out += ["## Deltas: size and encode time", ""]
        by_case = {}
        for row in bench.rows:
            by_case.setdefault(row["case"].id, {})[row["tool"]] = row
        rows = []
        for case_id, cells in by_case.items():
            any_row = next(iter(cells.values()))
            rows.append([case_id, fmt_int(any_row["new_size"])] +
                        [cell_size_time(cells[t], r) if t in cells else "" for t in tools])
        out.append(table(["case", "new B"] + ["`%s`" % t for t in tools], rows))
        out += yardstick_section(bench)
        out += ["", "## Deltas in detail", ""]
        rows = []
        for row in bench.rows:
            enc, dec = row["enc"], row["dec"]
            size = enc.get("size")
            rows.append([row["case"].id, "`%s`" % row["tool"], fmt_int(size) if size is not None else "",
                         "%.2f%%" % (100.0 * size / row["new_size"]) if size is not None and row["new_size"] else "",
                         fmt_time(enc, r), fmt_cpu(enc), fmt_rate(enc, row["new_size"]), fmt_mem(enc),
                         fmt_time(dec, r) if enc["status"] == "ok" else "", fmt_cpu(dec),
                         fmt_rate(dec, row["new_size"]), fmt_mem(dec)])
        out.append(table(["case", "tool", "delta B", "of new", "encode", "CPU", "MB/s", "peak MiB", "decode", "CPU",
                          "MB/s", "peak MiB"], rows))
        out.append("")
    if bench.dumps_rows:
        out += ["## dumps beside cbor2, msgpack and orjson", ""]
        rows = []
        for row in bench.dumps_rows:
            cell = row["cell"]
            size = cell.get("size")
            rows.append([row["title"], "`%s`" % row["tool"], fmt_int(size) if size is not None else "",
                         fmt_time(cell, r), fmt_cpu(cell), fmt_rate(cell, size or 0), fmt_mem(cell)])
        out.append(table(["document", "tool", "output B", "time", "CPU", "MB/s", "peak MiB"], rows))
        out.append("")
    if bench.baseline:
        out += baseline_section(bench)
    if bench.corpus_rows:
        out += ["## Corpus", "",
                "Built by src/bench/bench_corpus.py and kept under build/bench-corpus; the same bytes on every "
                "run (the SHA-256 prefixes let you check).", ""]
        out.append(table(["case", "what", "old B", "new B", "old SHA-256", "new SHA-256"], bench.corpus_rows))
        out.append("")
    return "\n".join(out)


def size_ratio(new, old):
    if new.get("status") != "ok" or old.get("status") != "ok" or old["size"] <= 0:
        return ""
    return "%.2f" % (new["size"] / old["size"])


def yardstick_section(bench):
    """diff_indexed beside the in-process yardsticks, case by case: its time
    over pyzstd's at level 3 (elapsed and CPU), its size over hdiffpatch's."""
    r = bench.args.repeat
    by_case = {}
    for row in bench.rows:
        by_case.setdefault(row["case"].id, {})[row["tool"]] = row["enc"]
    if not any("diff_indexed" in c and any(t in c for t in YARDSTICKS) for c in by_case.values()):
        return []
    out = ["", "## `diff_indexed` beside the in-process yardsticks", "",
           "All in-process, in this one run. time/zstd-3 is `diff_indexed`'s time over pyzstd's at level 3 "
           "with the old value as prefix (below 1: faster), by elapsed and by CPU time; size/hdiff is its delta "
           "size over hdiffpatch's uncompressed delta (below 1: smaller).", ""]
    rows = []
    none = {"status": "missing"}
    for case_id, cells in by_case.items():
        ix = cells.get("diff_indexed", none)
        z3, z19, hd = (cells.get(t, none) for t in YARDSTICKS)

        def t(cell):
            return "%s (%s)" % (fmt_time(cell, r), fmt_cpu(cell)) if cell.get("status") == "ok" else \
                fmt_time(cell, r) if cell.get("status") != "missing" else ""

        def b(cell):
            return fmt_int(cell["size"]) if cell.get("status") == "ok" else ""
        rows.append([case_id, t(ix), t(z3), ratio(ix, z3), ratio(ix, z3, "cpu"), t(z19), t(hd),
                     b(ix), b(z3), b(z19), b(hd), size_ratio(ix, hd)])
    out.append(table(["case", "`diff_indexed` (CPU)", "pyzstd -3 (CPU)", "time/zstd-3", "CPU/zstd-3",
                      "pyzstd -19 (CPU)", "hdiffpatch (CPU)", "`diff_indexed` B", "pyzstd -3 B", "pyzstd -19 B",
                      "hdiffpatch B", "size/hdiff"], rows))
    return out


def ratio(new, old, key="best"):
    if new.get("status") != "ok" or old.get("status") != "ok" or old[key] <= 0:
        return ""
    return "%.3f" % (new[key] / old[key])


def baseline_section(bench):
    r = bench.args.repeat
    out = ["## This tree against the baseline %s" % bench.baseline[1], "",
           "Both builds measured in this run, in %d alternating rounds on each case (each round in fresh "
           "processes), the best of all kept. new/old below 1 is faster: by elapsed time, and by the CPU time "
           "of the same calls, which waiting for a busy machine's cores does not inflate. Output is compared "
           "byte for byte." % bench.args.rounds, ""]
    rows = []

    def line(case_id, call, new, old, identity):
        rows.append([case_id, call, fmt_time(old, r), fmt_time(new, r), ratio(new, old), ratio(new, old, "cpu"),
                     identity])

    def identity(new, old):
        if new.get("status") != "ok" or old.get("status") != "ok":
            return ""
        return "identical" if new["sha256"] == old["sha256"] else "**DIFFERS**"

    for row in bench.rows:
        if "base" not in row:
            continue
        base = row["base"]
        line(row["case"].id, "`%s`" % row["tool"], row["enc"], base["enc"], identity(row["enc"], base["enc"]))
        if row["enc"]["status"] == "ok" or base["enc"]["status"] == "ok":
            line(row["case"].id, "`patch` of its delta", row["dec"], base["dec"], "")
    for row in bench.dumps_rows:
        if "base" in row:
            line("dumps-" + row["doc"], "`%s`" % row["tool"], row["cell"], row["base"],
                 identity(row["cell"], row["base"]))
    out.append(table(["case", "call", "baseline", "this tree", "new/old", "CPU new/old", "output"], rows))
    out.append("")
    return out


def chart(bench, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FuncFormatter, NullFormatter

    def panel(ax, groups, tools, value, title, xlabel):
        """Horizontal bars, a group per case and a bar per tool; stopped
        runs as hatched bars at the budget."""
        n = len(tools)
        # Ten colours by default: more tools than that would share them.
        colours = plt.rcParams["axes.prop_cycle"].by_key()["color"] if n <= 10 else \
            list(matplotlib.colormaps["tab20"].colors)
        height = 0.8 / max(n, 1)
        for gi, (label, cells) in enumerate(groups):
            for ti, tool in enumerate(tools):
                cell = cells.get(tool)
                if cell is None:
                    continue
                y = gi + (ti - (n - 1) / 2) * height
                v, stopped = value(cell)
                if v is None:
                    continue
                ax.barh(y, v, height, color=colours[ti % len(colours)], hatch="//" if stopped else None,
                        edgecolor="black" if stopped else None, linewidth=0.3)
        ax.set_yticks(range(len(groups)))
        ax.set_yticklabels([g[0] for g in groups], fontsize=8)
        if not ax.yaxis_inverted():  # a shared axis is inverted once
            ax.invert_yaxis()
        ax.set_xscale("log")
        ax.xaxis.set_major_formatter(FuncFormatter(lambda v, _: "%g" % v))
        ax.xaxis.set_minor_formatter(NullFormatter())
        ax.set_title(title, fontsize=10)
        ax.set_xlabel(xlabel, fontsize=8)
        ax.tick_params(axis="x", labelsize=8)
        ax.grid(axis="x", alpha=0.3)
        handles = [plt.Rectangle((0, 0), 1, 1, color=colours[i % len(colours)]) for i in range(n)]
        return handles

    def size_of(row):
        enc = row["enc"]
        return (100.0 * enc["size"] / max(row["new_size"], 1), False) if enc["status"] == "ok" else (None, False)

    def time_of(cell):
        if cell["status"] == "ok":
            return cell["best"] * 1e3, False
        if cell["status"] == "over budget":
            return cell["budget"] * 1e3, True
        return None, False

    delta_groups, dumps_groups = [], []
    for row in bench.rows:
        if not delta_groups or delta_groups[-1][0] != row["case"].id:
            delta_groups.append((row["case"].id, {}))
        delta_groups[-1][1][row["tool"]] = row
    for row in bench.dumps_rows:
        if not dumps_groups or dumps_groups[-1][0] != row["doc"]:
            dumps_groups.append((row["doc"], {}))
        dumps_groups[-1][1][row["tool"]] = row["cell"]
    delta_tools = [t for t in DELTA_TOOLS if any(t in g[1] for g in delta_groups)]
    dumps_tools = [t for t in DUMPS_TOOLS if any(t in g[1] for g in dumps_groups)]

    rows_needed = max(len(delta_groups), 1)
    fig = plt.figure(figsize=(13, 3 + 0.42 * rows_needed + 0.4 * max(len(dumps_groups), 1) + 2))
    grid = fig.add_gridspec(2, 2, height_ratios=[max(rows_needed, 1), max(len(dumps_groups), 1) + 1])
    if delta_groups:
        ax = fig.add_subplot(grid[0, 0])
        handles = panel(ax, delta_groups, delta_tools, size_of, "Delta size (% of the new value; smaller is better)",
                        "% of the new value (log scale)")
        ax2 = fig.add_subplot(grid[0, 1], sharey=ax)
        panel(ax2, delta_groups, delta_tools, lambda row: time_of(row["enc"]),
              "Encode time (ms; command-line tools include process start)", "ms (log scale; hatched: stopped at "
              "the budget)")
        plt.setp(ax2.get_yticklabels(), visible=False)
        labels = [t if any(g[1][t]["enc"]["status"] != "skipped" for g in delta_groups if t in g[1])
                  else t + " (n/a)" for t in delta_tools]
        fig.legend(handles, labels, loc="upper center", ncol=min(len(delta_tools), 7), fontsize=8,
                   bbox_to_anchor=(0.5, 0.965))
    if dumps_groups:
        ax3 = fig.add_subplot(grid[1, :])
        handles = panel(ax3, dumps_groups, dumps_tools, time_of, "Serialising (ms, in-process; smaller is better)",
                        "ms (log scale)")
        ax3.legend(handles, dumps_tools, fontsize=8, loc="upper left", bbox_to_anchor=(1.0, 1.0))
    fig.suptitle("kestrava_core beside its peers (%s)" % machine_short(bench.probe), fontsize=11, y=0.995)
    fig.tight_layout(rect=(0, 0, 1, 0.94))
    fig.savefig(path, dpi=90, bbox_inches="tight")
    plt.close(fig)


def machine_short(probe):
    with open("/proc/cpuinfo") as f:
        cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "")
    return "%s, %d cores, %s" % (cpu, os.cpu_count(), probe["python"])


# ---------------------------------------------------------------- main

def parse_args(argv):
    p = argparse.ArgumentParser(prog="scripts/bench", description=__doc__.split("\n\n")[0],
                                formatter_class=argparse.RawDescriptionHelpFormatter,
                                epilog="Cases: " + ", ".join(c.id for c in corpus.delta_cases()) + ", " +
                                       ", ".join("dumps-" + d for d in corpus.DOCUMENTS) +
                                       ".\nTools: " + ", ".join(DELTA_TOOLS + DUMPS_TOOLS) + ".")
    p.add_argument("--quick", action="store_true",
                   help="small cases and 1 MiB shapes only, without the level-19 rows (unless --tool names them)")
    p.add_argument("--case", action="append", default=[], metavar="PATTERN",
                   help="only cases matching this glob (e.g. '16M-*', 'dumps-*'); may repeat")
    p.add_argument("--tool", action="append", default=[], metavar="PATTERN",
                   help="only tools matching this glob (e.g. 'diff*', 'xdelta3*'); may repeat")
    p.add_argument("--skip", action="append", default=[], metavar="CASE:TOOL",
                   help="skip these cells (globs, e.g. '16M-moved:diff'); may repeat")
    p.add_argument("--repeat", type=int, default=5, help="best of this many runs (default 5)")
    p.add_argument("--budget", type=float, default=60.0,
                   help="seconds per measurement; a run past it is stopped and reported (default 60)")
    p.add_argument("--bsdiff-max-mb", type=float, default=4.0,
                   help="skip bsdiff4 on values larger than this (default 4 MB)")
    p.add_argument("--baseline", metavar="GIT_REF",
                   help="also build the module at this ref and set its times and outputs beside this tree's")
    p.add_argument("--rounds", type=int, default=3,
                   help="with --baseline: measure both builds this many times, alternately (default 3)")
    p.add_argument("--out", help="directory for benchmark.md and benchmark.png (default: docs/ for a full run, "
                                 "build/bench-report/ otherwise)")
    p.add_argument("--no-install", action="store_true",
                   help="measure the module already installed in the venv instead of rebuilding it")
    args = p.parse_args(argv)
    args.argv = argv
    return args


def main(argv):
    args = parse_args(argv)
    if not args.no_install:
        log("=== building and installing kestrava_core from %s ===" % REPO)
        install_module(sys.executable, REPO)
    bench = Bench(args)
    bench.run()
    partial = args.quick or args.case or args.tool or args.skip or args.baseline
    out_dir = args.out or (os.path.join(BUILD, "bench-report") if partial else os.path.join(REPO, "docs"))
    os.makedirs(out_dir, exist_ok=True)
    text = report(bench, "benchmark.png")
    with open(os.path.join(out_dir, "benchmark.md"), "w") as f:
        f.write(text + "\n")
    chart(bench, os.path.join(out_dir, "benchmark.png"))
    log("")
    log(text)
    log("")
    log("written: %s and %s" % (os.path.join(out_dir, "benchmark.md"), os.path.join(out_dir, "benchmark.png")))
    if bench.failures:
        log("")
        log("!!! %d FAILURE(S):" % len(bench.failures))
        for f in bench.failures:
            log("!!! " + f)
        return 1
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["--worker"]:
        worker_main()
    else:
        sys.exit(main(sys.argv[1:]))
