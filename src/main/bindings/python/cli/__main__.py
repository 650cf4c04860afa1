"""The command line, `kestrava` (also `python -m kestrava_core`): diff, patch
and dumps over files and pipes, each output written whole or not at all."""
import argparse
import json
import os
import signal
import stat
import sys
import tempfile
import time

from kestrava_core import cbor, delta

PROG = "kestrava"

EPILOG = """\
examples:
  kestrava diff v1.bin v2.bin -o v1-v2.delta --stats
  kestrava diff --indexed disk-v1.img disk-v2.img -o disk.delta
  kestrava patch v1.bin v1-v2.delta -o v2.bin --max-size 100000000
  ssh host cat v1-v2.delta | kestrava patch v1.bin - -o v2.bin
  echo '{"k": [1, 2.5, null]}' | kestrava dumps --definite -o doc.cbor

An output file is written beside its target and renamed into place only
when the whole run succeeded; `-` reads standard input or writes standard
output. Exit status: 0 done, 1 bad input or an I/O failure (one line on
standard error), 2 bad usage, 128 + the signal's number when interrupted.
"""

# Signals that end a run; the temporary output file is removed first.
STOP_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

# From this much new data a diff can take more than a second: plain, of
# unrelated values, a third of a second at 1 MiB and 15 s at 3 MiB; indexed,
# of values made to slow it, a third of a second at 1 MiB and 8 s at 16 MiB.
SLOW_DIFF_BYTES = 1 << 20
SLOW_INDEXED_DIFF_BYTES = 4 << 20


class Failure(Exception):
    """Bad input or an I/O failure: the file concerned and the cause."""

    def __init__(self, name, cause):
        super().__init__("%s: %s" % (name, cause))


class Stopped(BaseException):
    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum


def input_name(path):
    return "standard input" if path == "-" else path


def output_name(path):
    return "standard output" if path == "-" else path


def cause(error):
    return error.strerror or str(error) if isinstance(error, OSError) else str(error)


def say(message):
    sys.stderr.write("%s: %s\n" % (PROG, message))
    sys.stderr.flush()


def read_input(path):
    try:
        if path == "-":
            return sys.stdin.buffer.read()
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise Failure(input_name(path), cause(e))


def result_view(result):
    """The bytes of a PythonOutBuf, or None when it holds none (the call failed)."""
    try:
        return memoryview(result).cast("B")
    except BufferError:
        return None


def write_all(fd, data, name):
    view = memoryview(data)
    try:
        while view:
            view = view[os.write(fd, view):]
    except OSError as e:
        raise Failure(name, cause(e))


class Clock:
    def __init__(self):
        self.wall, self.cpu = time.perf_counter(), time.process_time()

    def __str__(self):
        return "%.3f s (CPU %.3f s)" % (time.perf_counter() - self.wall, time.process_time() - self.cpu)


def size(n):
    return "{:,} bytes".format(n)


# Each command reads its inputs and returns its output and the line that
# --stats prints, or raises Failure. It runs in a child process (see
# run_in_child).

def run_diff(args):
    old, new = read_input(args.old), read_input(args.new)
    slow = SLOW_INDEXED_DIFF_BYTES if args.indexed else SLOW_DIFF_BYTES
    if len(new) >= slow and sys.stderr.isatty():
        say("diff of %s against %s can take a while (Ctrl-C stops it)" % (size(len(new)), size(len(old))))
    clock = Clock()
    d = result_view((delta.diff_indexed if args.indexed else delta.diff)(old, new))
    if d is None:
        raise Failure(input_name(args.new), "no delta made (out of memory, or a value of 2 GiB or more)")
    return d, "diff%s: old %s, new %s, delta %s (%.2f%% of new) in %s" % (
        " --indexed" if args.indexed else "", size(len(old)), size(len(new)), size(len(d)),
        100.0 * len(d) / max(len(new), 1), clock)


def run_patch(args):
    old, d = read_input(args.old), read_input(args.delta)
    clock = Clock()
    new = result_view(delta.patch(old, d, max_size=args.max_size))
    if new is None:
        limit = "too large" if args.max_size is None else "larger than --max-size %d" % args.max_size
        raise Failure(input_name(args.delta), "does not apply to %s: malformed, copies past its end, or its result "
                      "is %s" % (input_name(args.old), limit))
    return new, "patch: old %s, delta %s, new %s in %s" % (size(len(old)), size(len(d)), size(len(new)), clock)


def run_dumps(args):
    name = input_name(args.input)
    text = read_input(args.input)
    clock = Clock()
    try:
        value = json.loads(text)
    except RecursionError:
        raise Failure(name, "invalid JSON: nested too deeply")
    except ValueError as e:
        raise Failure(name, "invalid JSON: %s" % e)
    parsed = str(clock)
    clock = Clock()
    try:
        data = cbor.dumps(value, indefinite=not args.definite)
    except (RuntimeError, TypeError, ValueError) as e:
        raise Failure(name, "cannot be written as CBOR: %s" % e)
    return data, "dumps: JSON %s parsed in %s, CBOR %s written in %s" % (size(len(text)), parsed, size(len(data)),
                                                                        clock)


class Output:
    """Where a run's output goes: standard output, a device or pipe as it is,
    or a temporary file beside the target that replaces the target (keeping
    its mode, and its owner where allowed) only through commit()."""

    def __init__(self, target):
        self.name, self.fd, self.temp, self.path = output_name(target), 1, None, None
        if target == "-":
            return
        self.path = os.path.realpath(target)  # a symbolic link is written through
        try:
            st = os.stat(self.path)
        except FileNotFoundError:
            st = None
        except OSError as e:
            raise Failure(self.name, cause(e))
        if st is not None and not stat.S_ISREG(st.st_mode):
            if stat.S_ISDIR(st.st_mode):
                raise Failure(self.name, "Is a directory")
            try:  # /dev/null, a named pipe: nothing to rename
                self.fd = os.open(self.path, os.O_WRONLY | os.O_TRUNC)
            except OSError as e:
                raise Failure(self.name, cause(e))
            self.path = None
            return
        directory, base = os.path.split(self.path)
        # A stop signal between creating the file and noting its name would leave it behind.
        blocked = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
        try:
            self.fd, self.temp = tempfile.mkstemp(prefix="." + base + ".", suffix=".tmp", dir=directory)
        except OSError as e:
            raise Failure(self.name, cause(e))
        finally:
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
        try:
            if st is None:
                umask = os.umask(0)
                os.umask(umask)
                os.fchmod(self.fd, 0o666 & ~umask)
            else:
                os.fchmod(self.fd, st.st_mode & 0o7777)
                try:
                    os.fchown(self.fd, st.st_uid, st.st_gid)
                except OSError:
                    pass
        except OSError as e:
            self.discard()
            raise Failure(self.name, cause(e))

    def finish(self, data):
        """Writes the whole output (in the child process)."""
        write_all(self.fd, data, self.name)
        if self.temp is not None:
            try:
                os.fsync(self.fd)
            except OSError as e:
                raise Failure(self.name, cause(e))

    def commit(self):
        if self.temp is None:
            return
        # Once renamed the run is done: a late stop signal must not report it failed.
        for signum in STOP_SIGNALS:
            if signal.getsignal(signum) is on_stop_signal:
                signal.signal(signum, signal.SIG_IGN)
        try:
            os.close(self.fd)
            self.fd = -1
            os.replace(self.temp, self.path)
        except OSError as e:
            raise Failure(self.name, cause(e))
        self.temp = None

    def discard(self):
        if self.fd > 2:
            os.close(self.fd)
        self.fd = -1
        if self.temp is not None:
            try:
                os.unlink(self.temp)
            except OSError:
                pass
            self.temp = None


def run_in_child(args, out):
    """Runs the command in a child process, which writes the output, and
    returns its exit status.

    The module's functions keep the interpreter busy until they return, so
    in this process a stop signal would wait for a long diff to finish; the
    child dies at once, and this process, waiting for it, cleans up."""
    sys.stdout.flush()
    sys.stderr.flush()
    # This process waits for the child's end or a stop signal, whichever
    # comes first, with both blocked: a handler could run between the
    # child's end and noting it, and kill a process that is gone.
    waiting = {signal.SIGCHLD, *STOP_SIGNALS}
    blocked = signal.pthread_sigmask(signal.SIG_BLOCK, waiting)
    child_signal = signal.signal(signal.SIGCHLD, signal.SIG_DFL)  # ignored, the child would not wait to be seen
    try:
        pid = os.fork()
        if pid == 0:
            status = 1
            try:
                for signum in STOP_SIGNALS:
                    if signal.getsignal(signum) is on_stop_signal:
                        signal.signal(signum, signal.SIG_DFL)
                signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
                data, stats = args.run(args)
                out.finish(data)
                if args.stats:
                    say(stats)
                status = 0
            except Failure as e:
                say(e)
            except MemoryError:
                say("out of memory")
            except BaseException as e:
                say("%s: %s" % (type(e).__name__, e))
            finally:
                os._exit(status)
        while True:
            signum = signal.sigwait(waiting)
            if signum != signal.SIGCHLD:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                stop(signum)
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                break
    finally:
        signal.signal(signal.SIGCHLD, child_signal)
        signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
    if os.WIFSIGNALED(status):
        if os.WTERMSIG(status) in STOP_SIGNALS:
            stop(os.WTERMSIG(status))
        raise Failure(args.command, "ended by %s" % signal.Signals(os.WTERMSIG(status)).name)
    return os.WEXITSTATUS(status)


def stop(signum):
    # One is enough: another Ctrl-C must not cut the clean-up short.
    for s in STOP_SIGNALS:
        signal.signal(s, signal.SIG_IGN)
    raise Stopped(signum)


def on_stop_signal(signum, frame):
    stop(signum)


def max_size(text):
    try:
        n = int(text)
    except ValueError:
        n = -1
    if not 0 <= n < 1 << 64:
        raise argparse.ArgumentTypeError("not a byte count from 0 to 2**64 - 1: %r" % text)
    return n


class Version(argparse.Action):
    """--version, looked up only when asked for (importlib.metadata is slow to import)."""

    def __init__(self, option_strings, dest, **kwargs):
        super().__init__(option_strings, dest, nargs=0, help="show the version and exit")

    def __call__(self, parser, namespace, values, option_string=None):
        try:
            from importlib.metadata import version
            text = version("kestrava_core")
        except Exception:
            text = delta.__version__
        sys.stdout.write("%s %s\n" % (PROG, text))
        parser.exit()


def parser():
    p = argparse.ArgumentParser(prog=PROG, description="Binary deltas and CBOR with kestrava_core.",
                                epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--version", action=Version)
    commands = p.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    def command(name, run, help_text):
        c = commands.add_parser(name, help=help_text, description=help_text + ".", epilog=EPILOG,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
        c.set_defaults(run=run, parser=c)
        return c

    c = command("diff", run_diff, "make a delta that turns OLD into NEW")
    c.add_argument("old", metavar="OLD", help="the old value's file, or - for standard input")
    c.add_argument("new", metavar="NEW", help="the new value's file, or - for standard input")
    c.add_argument("-o", "--output", metavar="DELTA", required=True, help="the delta's file, or - for standard output")
    c.add_argument("--indexed", action="store_true",
                   help="find moved and repeated blocks anywhere in OLD (for large values; same delta format)")
    c = command("patch", run_patch, "apply DELTA to OLD")
    c.add_argument("old", metavar="OLD", help="the old value's file, or - for standard input")
    c.add_argument("delta", metavar="DELTA", help="the delta's file, or - for standard input")
    c.add_argument("-o", "--output", metavar="NEW", required=True, help="the new value's file, or - for standard output")
    c.add_argument("--max-size", type=max_size, metavar="N",
                   help="refuse a delta whose result would be larger than N bytes (set it for deltas from elsewhere)")
    c = command("dumps", run_dumps, "write a JSON document as CBOR")
    c.add_argument("input", metavar="JSON", nargs="?", default="-", help="the JSON file (default: standard input)")
    c.add_argument("-o", "--output", metavar="CBOR", default="-", help="the CBOR file (default: standard output)")
    c.add_argument("--definite", action="store_true", help="write arrays and maps with their length in the head")
    for c in commands.choices.values():
        c.add_argument("--stats", action="store_true", help="print sizes and times on standard error")
    return p


def run(args):
    out = None
    try:
        out = Output(args.output)
        status = run_in_child(args, out)
        if status == 0:
            out.commit()
        return status
    except Failure as e:
        say(e)
        return 1
    finally:
        if out is not None:
            out.discard()


def main(argv=None):
    args = parser().parse_args(argv)
    if [getattr(args, name, None) for name in ("old", "new", "delta")].count("-") > 1:
        args.parser.error("only one input can be standard input")
    previous = {signum: signal.getsignal(signum) for signum in STOP_SIGNALS}
    for signum, handler in previous.items():
        if handler in (signal.SIG_DFL, signal.default_int_handler):  # not when started ignoring them
            signal.signal(signum, on_stop_signal)
    try:
        return run(args)
    except (Stopped, KeyboardInterrupt) as e:
        signum = e.signum if isinstance(e, Stopped) else signal.SIGINT
        say("interrupted by %s" % signal.Signals(signum).name)
        return 128 + signum
    finally:
        for signum, handler in previous.items():
            signal.signal(signum, handler)


if __name__ == "__main__":
    sys.exit(main())
