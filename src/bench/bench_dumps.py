#!/usr/bin/env python3
"""Benchmark of cbor.dumps (a program, not a test): this tree's module
against the module built from an older commit, side by side in one run, with
peers for scale.

Every implementation runs in a long-lived worker process; the run takes turns
between them workload by workload, round after round, and keeps each one's
best time (elapsed, and CPU time apart), so machine noise hits all of them
alike. Definite mode
(indefinite=False) throughout.

The two builds run in workers of the same make, each holding its module in
both modes and nothing else; the floor and the peers run in a third. On PyPy
a worker that also ran the others was up to 24% slower on the same module
(this tree against itself), which is more than the differences measured.
Each process also builds its own copy of the documents, whose place in memory
moves a time by up to a third; so the rounds run in --workers generations of
fresh processes and the best over all of them is kept.

  - new:   the module built from this working tree
  - old:   the module built from --baseline (a git ref) in its own venv
  - indef:  this tree's module with indefinite=True (the default)
  - old-indef: the old module with indefinite=True
  - new@peers: this tree's module again, in the peers' process on their
           copy of the documents, for a ratio to a peer that the documents'
           places in memory do not move
  - floor: a small C extension (bench_floor.c) that only visits every object
           through the Python/C calls an encoder needs and writes nothing
  - ormsgpack, msgpack (compiled packer) and cbor2 (compiled) on CPython,
           and orjson on the documents JSON can hold; ormsgpack with
           OPT_NON_STR_KEYS on the one document with integer keys. On PyPy,
           cbor2-py, cbor2's pure-Python encoder under the JIT

Environments live under build/bench-dumps/ (or --work): the benchmark's own
venvs, never the test venv. The workers also check that old and new write
identical bytes for every workload, in both modes.

usage: bench_dumps.py [--python INTERPRETER] [--baseline REF | --baseline-tree DIR]
                      [--rounds N] [--workers N] [--repeat N] [--quick] [--only NAME] [--no-setup] [--json FILE]
"""
import argparse
import gc
import hashlib
import json
import os
import pathlib
import platform
import shutil
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parents[1]
PEERS_CPYTHON = ["ormsgpack", "msgpack", "cbor2", "orjson"]


# --- worker side -----------------------------------------------------------

def worker_implementations(kind, workloads):
    """name -> {workload: callable(value)} for the implementations this venv
    provides, on the workloads each can write."""
    impls = {}
    everywhere = lambda fn: {w: fn for w in workloads}  # noqa: E731
    if kind in ("old", "new"):
        from kestrava_core import cbor
        impls[kind] = everywhere(lambda v, dumps=cbor.dumps: dumps(v, indefinite=False))
        impls["indef" if kind == "new" else "old-indef"] = everywhere(cbor.dumps)
        return impls
    import kestrava_bench_floor
    from kestrava_core import cbor
    impls["floor"] = everywhere(kestrava_bench_floor.visit)
    # This tree's module again, on the same copy of the documents as the
    # peers: a ratio to a peer that does not depend on where two processes
    # put their documents.
    impls["new@peers"] = everywhere(lambda v, dumps=cbor.dumps: dumps(v, indefinite=False))
    if platform.python_implementation() == "PyPy":
        from cbor2 import _encoder
        impls["cbor2-py"] = everywhere(_encoder.dumps)
    else:
        import cbor2
        import msgpack
        import orjson
        import ormsgpack
        str_keys = lambda v: ormsgpack.packb(v)  # noqa: E731
        any_keys = lambda v: ormsgpack.packb(v, option=ormsgpack.OPT_NON_STR_KEYS)  # noqa: E731
        impls["ormsgpack"] = {w: any_keys if w in NON_STR_KEYS else str_keys for w in workloads}
        packer = msgpack.Packer(use_bin_type=True, autoreset=True)
        assert type(packer).__module__.startswith("msgpack._cmsgpack"), "msgpack without its compiled packer"
        impls["msgpack"] = everywhere(packer.pack)
        impls["cbor2"] = everywhere(cbor2.dumps)
        impls["orjson"] = {w: orjson.dumps for w in workloads if w in JSON_DOCUMENTS}
    # A peer that refuses a document (ormsgpack and orjson stop at 255
    # levels of nesting) is left out of its row.
    for name, fns in impls.items():
        for w, fn in list(fns.items()):
            try:
                fn(workloads[w])
            except Exception:
                del fns[w]
    return impls


def nested_lists(count, depth):
    # `count` lists, each `depth` lists deep around a small integer.
    out = []
    for i in range(count):
        node = [i % 24]
        for _ in range(depth - 1):
            node = [node]
        out.append(node)
    return out


def documents():
    """name -> value: the documents of scripts/bench, and deep nesting."""
    sys.path.insert(0, str(HERE))
    import bench_corpus
    out = {name: build() for name, (_, _, build) in bench_corpus.DOCUMENTS.items()}
    out["nested"] = bench_corpus.nested(300, 300)
    out["lists"] = nested_lists(3000, 12)
    return out


TITLES = {"nested": "300 chains of 300 levels of maps and arrays",
          "lists": "3,000 lists nested 12 deep"}
# Documents JSON can hold (orjson is measured on these), and those with keys
# that are not strings (ormsgpack needs an option for them).
JSON_DOCUMENTS = {"records", "floats", "nested", "lists"}
NON_STR_KEYS = {"int-keys"}


def worker(kind):
    workloads = documents()
    impls = worker_implementations(kind, workloads)
    out = sys.stdout
    for line in sys.stdin:
        command = json.loads(line)
        if command["op"] == "hello":
            reply = {"impls": {name: list(fns) for name, fns in impls.items()}, "workloads": list(workloads),
                     "interpreter": "%s %s" % (platform.python_implementation(), platform.python_version()),
                     "bits": 8 * __import__("struct").calcsize("P")}
        elif command["op"] == "digest":
            # Only the kestrava modules write CBOR of the same rules; both
            # modes are compared.
            from kestrava_core import cbor
            reply = {w: [hashlib.sha256(cbor.dumps(v, indefinite=mode)).hexdigest() for mode in (False, True)]
                     for w, v in workloads.items()}
        elif command["op"] == "warm":
            fn, value = impls[command["impl"]][command["workload"]], workloads[command["workload"]]
            for _ in range(command["times"]):
                fn(value)
            reply = {}
        else:  # time
            fn, value = impls[command["impl"]][command["workload"]], workloads[command["workload"]]
            best = cpu = float("inf")
            for _ in range(command["repeat"]):
                # Each call pays for its own garbage, not for that of the
                # implementation measured before it.
                gc.collect()
                start, start_cpu = time.perf_counter(), time.process_time()
                fn(value)
                best = min(best, time.perf_counter() - start)
                cpu = min(cpu, time.process_time() - start_cpu)
            reply = {"best": best, "cpu": cpu}
        out.write(json.dumps(reply) + "\n")
        out.flush()


# --- orchestrator side -----------------------------------------------------

def run(cmd, **kw):
    print("  $", " ".join(str(c) for c in cmd), flush=True)
    subprocess.run([str(c) for c in cmd], check=True, **kw)


def build_requirements():
    try:
        import tomllib
    except ImportError:  # older interpreters: the two requirements by hand
        return ["scikit-build-core>=0.10", "pybind11>=2.13,<3"]
    with open(ROOT / "pyproject.toml", "rb") as f:
        return tomllib.load(f)["build-system"]["requires"]


def venv_python(venv):
    return venv / "bin" / "python"


def make_venv(interpreter, venv, packages):
    if not venv_python(venv).exists():
        run([interpreter, "-m", "venv", venv])
    run([venv_python(venv), "-m", "pip", "install", "-q"] + packages)


def install_module(venv, tree):
    run([venv_python(venv), "-m", "pip", "install", "-q", "--no-build-isolation", "--force-reinstall", "--no-deps",
         tree])


def baseline_tree(work, ref):
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--verify", ref + "^{commit}"], check=True,
                            capture_output=True, text=True).stdout.strip()
    tree = work / ("baseline-" + commit[:12])
    if not (tree / "pyproject.toml").exists():
        tree.mkdir(parents=True, exist_ok=True)
        archive = subprocess.run(["git", "-C", ROOT, "archive", commit], check=True, capture_output=True).stdout
        subprocess.run(["tar", "-x", "-C", tree], input=archive, check=True)
    return tree, commit


def build_floor(venv, dest):
    python = venv_python(venv)
    info = subprocess.run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['include']); "
                           "print(sysconfig.get_config_var('EXT_SUFFIX'))"],
                          check=True, capture_output=True, text=True).stdout.split()
    include, suffix = info[0], info[1]
    dest.mkdir(parents=True, exist_ok=True)
    target = dest / ("kestrava_bench_floor" + suffix)
    run([os.environ.get("CC", "cc"), "-O2", "-shared", "-fPIC", "-I", include, HERE / "bench_floor.c", "-o", target])


def setup(args, work):
    pypy = "pypy" in pathlib.Path(args.python).name
    peers = [] if pypy else PEERS_CPYTHON
    if pypy:
        peers = ["cbor2<6"]  # the last cbor2 with a pure-Python encoder
    reqs = build_requirements()
    new_venv, old_venv = work / "venv-new", work / "venv-old"
    print("setting up %s (once; later runs reinstall the modules only)" % work, flush=True)
    make_venv(args.python, new_venv, reqs + peers)
    install_module(new_venv, ROOT)
    build_floor(new_venv, work / "floor")
    make_venv(args.python, old_venv, reqs)
    if args.baseline_tree:
        tree, label = pathlib.Path(args.baseline_tree).resolve(), str(args.baseline_tree)
    else:
        tree, label = baseline_tree(work, args.baseline)
    stamp = work / "baseline.txt"
    # The old module is built once per baseline (a commit, or a tree's path).
    if not stamp.exists() or stamp.read_text().strip() != label:
        install_module(old_venv, tree)
        stamp.write_text(label + "\n")


class Worker:
    def __init__(self, venv, kind, env):
        self.proc = subprocess.Popen([venv_python(venv), __file__, "--worker", kind], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True, env=env)

    def ask(self, **command):
        self.proc.stdin.write(json.dumps(command) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise RuntimeError("worker died")
        return json.loads(line)

    def close(self):
        self.proc.stdin.close()
        self.proc.wait()


def measure(args, work):
    """The best time of each implementation on each workload over --workers
    generations of fresh worker processes, each running --rounds rounds.
    Each process builds its own copy of the documents, and where that copy
    lies in memory moves a time by up to a third (the same module against
    itself read 0.67 on the nested lists): the best over several processes
    is what a module costs, not where its process happened to put them."""
    env = dict(os.environ)
    env["PYTHONPATH"] = str(work / "floor")
    best, cpu = {}, {}
    for generation in range(args.workers):
        new = Worker(work / "venv-new", "new", dict(os.environ))
        old = Worker(work / "venv-old", "old", dict(os.environ))
        peers = Worker(work / "venv-new", "peers", env)
        workers = (old, new, peers) if generation % 2 == 0 else (peers, new, old)
        hellos = {w: w.ask(op="hello") for w in workers}
        hello = hellos[new]
        workloads = [w for w in hello["workloads"] if not args.only or any(o in w for o in args.only)]
        owners = {name: w for w in workers for name in hellos[w]["impls"]}
        covers = {name: fns for h in hellos.values() for name, fns in h["impls"].items()}
        order = [name for w in (old, new, peers) for name in hellos[w]["impls"]]
        if generation == 0:
            new_digest, old_digest = new.ask(op="digest"), old.ask(op="digest")
            identical = {w: new_digest[w] == old_digest[w] for w in workloads}
        pypy = hello["interpreter"].startswith("PyPy")
        warm = args.warmup if args.warmup is not None else (15 if pypy else 1)
        cells = [(n, w) for w in workloads for n in order if w in covers[n]]
        for name, w in cells:
            owners[name].ask(op="warm", impl=name, workload=w, times=warm)
        for r in range(args.rounds):
            for w in workloads:
                for name in order if r % 2 == 0 else reversed(order):
                    if w in covers[name]:
                        t = owners[name].ask(op="time", impl=name, workload=w, repeat=args.repeat)
                        best[name, w] = min(best.get((name, w), float("inf")), t["best"])
                        cpu[name, w] = min(cpu.get((name, w), float("inf")), t["cpu"])
        for w in workers:
            w.close()
    return hello, order, workloads, best, cpu, identical


# Ratio columns: to the build before, to the fastest binary peer, and the
# cost of indefinite mode over definite.
RATIOS = [("new", "old"), ("indef", "old-indef"), ("new", "ormsgpack"), ("new@peers", "ormsgpack"), ("new", "msgpack"),
          ("new", "floor"), ("new", "cbor2-py"), ("indef", "new")]


def report(hello, order, workloads, best, cpu, identical, baseline, args):
    print()
    print("cbor.dumps(value, indefinite=False), %s %d-bit, best of %d x %d rounds x %d calls; old = %s"
          % (hello["interpreter"], hello["bits"], args.workers, args.rounds, args.repeat, baseline))
    ratios = [(a, b) for a, b in RATIOS if a in order and b in order]
    for title, times in (("elapsed", best), ("CPU time", cpu)):
        print()
        header = "%-10s" % title + "".join("%11s" % n[:10] for n in order)
        header += "".join("%11s" % ("%s/%s" % (a[:5], b[:5])) for a, b in ratios) + "  same bytes"
        print(header)
        for w in workloads:
            row = "%-10s" % w + "".join("%11.2f" % (times[n, w] * 1e3) if (n, w) in times else "%11s" % "n/a"
                                        for n in order)
            row += "".join("%11.3f" % (times[a, w] / times[b, w]) if (a, w) in times and (b, w) in times
                           else "%11s" % "" for a, b in ratios)
            row += "  %s" % ("yes" if identical[w] else "NO")
            print(row)
    print("(ms; new = this tree, definite mode; indef = this tree with indefinite=True; a/b: a's time over b's,"
          " below 1 is faster; 'same bytes': old and new outputs identical in both modes)")
    sys.path.insert(0, str(HERE))
    import bench_corpus
    titles = dict(TITLES, **{name: doc[0] for name, doc in bench_corpus.DOCUMENTS.items()})
    for w in workloads:
        print("  %-10s %s" % (w, titles[w]))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--python", default="python3", help="interpreter to benchmark (python3, pypy3)")
    parser.add_argument("--baseline", default="main", help="git ref the old module is built from")
    parser.add_argument("--baseline-tree", help="an extracted source tree to build the old module from")
    parser.add_argument("--work", help="directory for the benchmark's venvs (default build/bench-dumps/...)")
    parser.add_argument("--rounds", type=int, default=5, help="rounds per generation of workers")
    parser.add_argument("--workers", type=int, default=3,
                        help="generations of fresh worker processes, the best over all kept")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--warmup", type=int)
    parser.add_argument("--quick", action="store_true", help="2 rounds of 3 calls, one generation of workers")
    parser.add_argument("--only", action="append", help="measure the workloads whose names contain this")
    parser.add_argument("--no-setup", action="store_true", help="reuse the venvs and modules as they are")
    parser.add_argument("--json", help="also write the figures to this file")
    args = parser.parse_args()
    if args.worker:
        worker(args.worker)
        return
    if args.quick:
        args.rounds, args.repeat, args.workers = 2, 3, 1
    tag = subprocess.run([args.python, "-c", "import platform, sys; print('%s-%d.%d-%s' % ("
                          "platform.python_implementation().lower(), *sys.version_info[:2], platform.machine()))"],
                         check=True, capture_output=True, text=True).stdout.strip()
    work = pathlib.Path(args.work) if args.work else ROOT / "build" / "bench-dumps" / tag
    work.mkdir(parents=True, exist_ok=True)
    if not args.no_setup:
        setup(args, work)
    baseline = (work / "baseline.txt").read_text().strip()
    hello, order, workloads, best, cpu, identical = measure(args, work)
    report(hello, order, workloads, best, cpu, identical, baseline, args)
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps({
            "interpreter": hello["interpreter"], "bits": hello["bits"], "baseline": baseline,
            "ms": {w: {n: best[n, w] * 1e3 for n in order if (n, w) in best} for w in workloads},
            "cpu_ms": {w: {n: cpu[n, w] * 1e3 for n in order if (n, w) in cpu} for w in workloads},
            "identical": identical}, indent=1))
    if not all(identical.values()):
        sys.exit(1)


if __name__ == "__main__":
    main()
