"""The command line, run as a user would: the installed `kestrava` script and
`python -m kestrava_core`, with files and pipes."""
import json
import os
import pathlib
import pty
import select
import signal
import subprocess
import sys
import time

import cbor2
import pytest

from kestrava_core import cbor, delta

MODULE = [sys.executable, "-m", "kestrava_core"]
SCRIPT = [str(pathlib.Path(sys.executable).with_name("kestrava"))]

OLD = b"".join(b"line %d of the old value\n" % i for i in range(3000))
NEW = OLD[:20000] + b"inserted text " * 40 + OLD[20000:50000] + OLD[60000:] + OLD[:3000]
DOC = {"name": "station", "readings": [1, -2, 2.5, None, True, "\u00e9", {"nested": []}], "big": 2 ** 64 - 1}


def kestrava(*args, stdin=b"", command=MODULE, **options):
    return subprocess.run(command + [str(a) for a in args], input=stdin, capture_output=True, **options)


def files(directory):
    return {p.name: p.read_bytes() if p.is_file() else None for p in directory.iterdir()}


@pytest.mark.parametrize("indexed, command", [(False, MODULE), (True, SCRIPT)], ids=["diff", "indexed"])
def test_diff_and_patch_round_trip(tmp_path, indexed, command):
    (tmp_path / "old").write_bytes(OLD)
    (tmp_path / "new").write_bytes(NEW)
    flag = ["--indexed"] if indexed else []
    done = kestrava("diff", tmp_path / "old", tmp_path / "new", "-o", tmp_path / "d", "--stats", *flag, command=command)
    assert done.returncode == 0, done.stderr
    expected = bytes((delta.diff_indexed if indexed else delta.diff)(OLD, NEW))
    assert (tmp_path / "d").read_bytes() == expected and len(expected) < len(NEW) // 4
    assert done.stdout == b"" and done.stderr.startswith(b"kestrava: diff") and done.stderr.count(b"\n") == 1
    done = kestrava("patch", tmp_path / "old", tmp_path / "d", "-o", tmp_path / "back", command=command)
    assert done.returncode == 0 and done.stderr == b""
    assert (tmp_path / "back").read_bytes() == NEW
    # Standard input and output: the new value piped in, the delta out; then the delta piped in.
    done = kestrava("diff", tmp_path / "old", "-", "-o", "-", *flag, stdin=NEW, command=command)
    assert done.returncode == 0 and done.stdout == expected
    done = kestrava("patch", tmp_path / "old", "-", "-o", "-", "--max-size", len(NEW), stdin=expected, command=command)
    assert done.returncode == 0 and done.stdout == NEW
    assert sorted(files(tmp_path)) == ["back", "d", "new", "old"]


@pytest.mark.parametrize("definite", [False, True])
def test_dumps(tmp_path, definite):
    text = json.dumps(DOC).encode()
    flag = ["--definite"] if definite else []
    done = kestrava("dumps", *flag, stdin=text)
    assert done.returncode == 0, done.stderr
    assert done.stdout == cbor.dumps(DOC, indefinite=not definite)
    assert cbor2.loads(done.stdout) == DOC
    assert (done.stdout[0] == 0xa3) is definite  # a map of three, or an indefinite one
    (tmp_path / "doc.json").write_bytes(text)
    assert kestrava("dumps", tmp_path / "doc.json", "-o", tmp_path / "doc.cbor", *flag).returncode == 0
    assert (tmp_path / "doc.cbor").read_bytes() == done.stdout


def test_new_and_replaced_output_files(tmp_path):
    (tmp_path / "doc.json").write_text("[1]")
    # A new file gets the mode the umask allows; a replaced one keeps its mode.
    done = kestrava("dumps", tmp_path / "doc.json", "-o", tmp_path / "new.cbor", preexec_fn=lambda: os.umask(0o027))
    assert done.returncode == 0 and (tmp_path / "new.cbor").stat().st_mode & 0o7777 == 0o640
    (tmp_path / "kept.cbor").write_bytes(b"x")
    (tmp_path / "kept.cbor").chmod(0o604)
    (tmp_path / "link.cbor").symlink_to("kept.cbor")
    assert kestrava("dumps", tmp_path / "doc.json", "-o", tmp_path / "link.cbor").returncode == 0
    assert (tmp_path / "link.cbor").is_symlink() and (tmp_path / "kept.cbor").read_bytes() == b"\x9f\x01\xff"
    assert (tmp_path / "kept.cbor").stat().st_mode & 0o7777 == 0o604
    assert sorted(files(tmp_path)) == ["doc.json", "kept.cbor", "link.cbor", "new.cbor"]


@pytest.mark.parametrize("args, stdin, message", [
    (["patch", "old", "truncated", "-o", "target"], b"", "truncated: does not apply to old: malformed"),
    (["patch", "old", "-", "-o", "target"], b"\x00\x1a\x00\x10\x00\x00",  # copies 1 MiB of the old value
     "standard input: does not apply to old: malformed, copies past its end, or its result is too large"),
    (["patch", "old", "delta", "-o", "target", "--max-size", len(NEW) - 1], b"",
     "delta: does not apply to old: malformed, copies past its end, or its result is larger than --max-size"),
    (["patch", "missing", "delta", "-o", "target"], b"", "missing: No such file or directory"),
    (["diff", "sub", "old", "-o", "target"], b"", "sub: Is a directory"),
    (["dumps", "-o", "target"], b'{"k": [1, 2', "standard input: invalid JSON: "),
    (["dumps", "-o", "target"], b"[18446744073709551616]",
     "standard input: cannot be written as CBOR: dumps received an integer out of range"),
    (["dumps", "-o", "target"], b"[" * 100000, "standard input: invalid JSON: nested too deeply"),
    (["patch", "old", "delta", "-o", "old/target"], b"", "old/target: Not a directory"),
    (["patch", "old", "delta", "-o", "sub"], b"", "sub: Is a directory"),
    (["patch", "old", "delta", "-o", "/dev/full"], b"", "/dev/full: No space left on device"),
])
def test_failures_leave_every_file_as_it_was(tmp_path, args, stdin, message):
    # Bad input and I/O failures: one line naming the file and the cause, status 1; the
    # existing target is unchanged and no temporary file is left beside it.
    d = bytes(delta.diff(OLD, NEW))
    (tmp_path / "old").write_bytes(OLD)
    (tmp_path / "delta").write_bytes(d)
    (tmp_path / "truncated").write_bytes(d[:len(d) // 2])
    (tmp_path / "target").write_bytes(b"what was there")
    (tmp_path / "sub").mkdir()
    before = files(tmp_path)
    done = kestrava(*args, stdin=stdin, cwd=tmp_path)
    assert done.returncode == 1
    assert done.stderr.decode().startswith("kestrava: " + message), done.stderr
    assert done.stderr.count(b"\n") == 1 and done.stdout == b""
    assert files(tmp_path) == before


def test_full_standard_output_and_usage_errors(tmp_path):
    (tmp_path / "old").write_bytes(OLD)
    with open("/dev/full", "wb") as full:
        done = subprocess.run(MODULE + ["diff", str(tmp_path / "old"), "-", "-o", "-"], input=NEW, stdout=full,
                              stderr=subprocess.PIPE)
    assert done.returncode == 1 and done.stderr == b"kestrava: standard output: No space left on device\n"
    for args in (["diff", "old", "new"], ["patch", "-", "-", "-o", "x"], ["patch", "a", "b", "-o", "x", "--max-size",
                 str(2 ** 64)]):
        done = kestrava(*args, cwd=tmp_path)
        assert done.returncode == 2 and b"usage: kestrava" in done.stderr and b"Traceback" not in done.stderr, args
    assert sorted(files(tmp_path)) == ["old"]
    done = kestrava("--help", command=SCRIPT)
    assert done.returncode == 0 and b"examples:" in done.stdout and b"kestrava patch" in done.stdout
    done = kestrava("--version", command=SCRIPT)
    assert done.returncode == 0 and done.stdout.startswith(b"kestrava ")


@pytest.mark.parametrize("signum, group", [(signal.SIGINT, True), (signal.SIGTERM, False)],
                         ids=["Ctrl-C", "SIGTERM to the command"])
def test_stop_signal_during_a_long_diff(tmp_path, signum, group):
    # Unrelated values of 4 MiB take the plain diff many seconds. With standard error
    # on a terminal the command says so before it starts, which is when the signal
    # is sent: to the whole process group, as Ctrl-C does, or to the command alone.
    (tmp_path / "old").write_bytes(os.urandom(4 << 20))
    (tmp_path / "new").write_bytes(os.urandom(4 << 20))
    (tmp_path / "target").write_bytes(b"what was there")
    before = files(tmp_path)
    master, slave = pty.openpty()
    proc = subprocess.Popen(MODULE + ["diff", "old", "new", "-o", "target"], cwd=tmp_path, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=slave, start_new_session=True)
    os.close(slave)
    try:
        said = b""
        deadline = time.monotonic() + 60
        while b"can take a while" not in said and time.monotonic() < deadline:
            if select.select([master], [], [], 1)[0]:
                said += os.read(master, 1000)
        assert b"kestrava: diff of 4,194,304 bytes against 4,194,304 bytes can take a while" in said, said
        if group:
            os.killpg(proc.pid, signum)
        else:
            proc.send_signal(signum)
        stopped = time.monotonic()
        assert proc.wait(timeout=30) == 128 + signum
        assert time.monotonic() - stopped < 5
        while select.select([master], [], [], 0.5)[0]:
            try:
                said += os.read(master, 1000)
            except OSError:
                break
    finally:
        if proc.poll() is None:
            proc.kill()
        os.close(master)
    assert said.rstrip().splitlines()[1:] == [b"kestrava: interrupted by " + signal.Signals(signum).name.encode()]
    assert files(tmp_path) == before
