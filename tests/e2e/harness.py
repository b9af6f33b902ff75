"""Runs the real b64filter binaries end to end and checks what they write.

The same calls drive either binary: the host build directly, or the Windows
image under Wine through tools/wine-run. Python 3 standard library only.

    Target                      how to start one binary: its argv and environment
    host_target(binary)         the host build
    wine_target(image, prefix)  the Windows image, under Wine, in that prefix
    target_from_environment()   the target the CTest registration names
    run(target, stdin=..., stdout=..., stderr=...) -> Result(code, stdout, stderr)
    start(target, stderr=...) -> Filter: a running filter fed through a pipe,
                                read line by line (send, read_line, close_input, finish)
    expected_output(data)       the lines reads of 57 bytes give (Python's base64)
    decode_lines(output)        the bytes each output line encodes; fails on a malformed line
    prepare_wine_prefix(prefix) a fresh Wine prefix (what the CTest fixture runs)

Stream arrangements, for run() (and stderr of start()):
    bytes      standard input only: a regular file holding them, read from offset 0
    CAPTURE    standard output or error: collected through a pipe into the Result
    CLOSED     the child starts with that descriptor closed (as with <&- or >&-);
               under Wine, Wine's start-up reopens the free numbers for files of
               its own, and with all three closed it hung (Wine 8.0): don't ask for that
    a path     opened for reading (stdin) or writing (stdout, stderr): "/dev/full", a directory
    an int     a descriptor of the caller's, passed as it is (the caller keeps and closes it)
A stream that is not CAPTURE is None in the Result.

Timeouts only guard against a hung child: they are deadlock breakers, never
speed checks, so keep them generous.

Command line: `harness.py wine-prefix PREFIX` makes a fresh prefix.
"""

import base64
import collections
import os
import select
import shutil
import subprocess
import sys
import tempfile
import time

SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE_RUN = os.path.join(SOURCE_ROOT, "tools", "wine-run")

CHUNK_BYTES = 57
LINE_CHARS = 76

CAPTURE = "capture"
CLOSED = "closed"

# Seconds before a child that has not finished is killed and the call fails.
DEFAULT_TIMEOUT = 300.0

Result = collections.namedtuple("Result", "code stdout stderr")


class Target(collections.namedtuple("Target", "name argv env")):
    """A binary to run: `name` ("host" or "wine"), the argv that starts it,
    and the environment variables it needs on top of the caller's."""

    def environment(self):
        env = dict(os.environ)
        env.update(self.env)
        return env


def host_target(binary):
    return Target("host", [os.path.abspath(binary)], {})


def wine_target(image, prefix, wine_run=WINE_RUN):
    # tools/wine-run silences Wine too; saying it here keeps it so whatever runs Wine.
    return Target("wine", [wine_run, os.path.abspath(prefix), os.path.abspath(image)],
                  {"WINEDEBUG": "-all"})


def target_from_environment():
    """The target that B64FILTER_E2E_TARGET ("host" or "wine") and
    B64FILTER_E2E_BINARY name; "wine" also needs B64FILTER_E2E_WINEPREFIX."""
    kind = os.environ.get("B64FILTER_E2E_TARGET", "host")
    binary = os.environ.get("B64FILTER_E2E_BINARY")
    if not binary:
        raise RuntimeError("B64FILTER_E2E_BINARY names no binary")
    if not os.path.isfile(binary):
        raise RuntimeError("no binary at " + binary)
    if kind == "host":
        return host_target(binary)
    if kind == "wine":
        prefix = os.environ.get("B64FILTER_E2E_WINEPREFIX")
        if not prefix:
            raise RuntimeError("B64FILTER_E2E_WINEPREFIX names no Wine prefix")
        return wine_target(binary, prefix)
    raise RuntimeError("unknown B64FILTER_E2E_TARGET " + repr(kind))


def _command(target, closed):
    """argv for the target, started with the descriptors in `closed` closed.
    The shell closes them and then becomes the target, so the target starts
    with them closed, as a user's `prog <&- >&-` would."""
    if not closed:
        return list(target.argv)
    closes = " ".join("%d<&-" % fd if fd == 0 else "%d>&-" % fd for fd in sorted(closed))
    return ["/bin/sh", "-c", 'exec "$@" ' + closes, "sh"] + list(target.argv)


class _Streams:
    """Opens what the arrangements name, and closes what it opened."""

    def __init__(self):
        self._owned = []
        self.closed = set()

    def open(self, fd, arrangement):
        """The value for Popen's stdin/stdout/stderr argument."""
        if arrangement is CLOSED:
            self.closed.add(fd)
            return subprocess.DEVNULL  # replaced by the close in _command
        if arrangement is CAPTURE:
            if fd == 0:
                raise ValueError("standard input cannot be captured")
            return subprocess.PIPE
        if isinstance(arrangement, (bytes, bytearray)):
            if fd != 0:
                raise ValueError("bytes are an arrangement of standard input only")
            handle = tempfile.TemporaryFile()
            handle.write(arrangement)
            handle.seek(0)
            self._owned.append(handle)
            return handle
        if isinstance(arrangement, int):
            return arrangement
        if isinstance(arrangement, (str, os.PathLike)):
            # A file named for output is made, or emptied, as the shell's > does.
            flags = os.O_RDONLY if fd == 0 else os.O_WRONLY | os.O_CREAT | os.O_TRUNC
            opened = os.open(arrangement, flags, 0o644)
            self._owned.append(opened)
            return opened
        raise TypeError("unknown stream arrangement %r" % (arrangement,))

    def close(self):
        for owned in self._owned:
            if isinstance(owned, int):
                os.close(owned)
            else:
                owned.close()
        self._owned = []


def run(target, stdin=b"", stdout=CAPTURE, stderr=CAPTURE, timeout=DEFAULT_TIMEOUT):
    """Runs the target to its end with the given stream arrangements."""
    streams = _Streams()
    try:
        arranged = [streams.open(0, stdin), streams.open(1, stdout), streams.open(2, stderr)]
        process = subprocess.Popen(_command(target, streams.closed), env=target.environment(),
                                   stdin=arranged[0], stdout=arranged[1], stderr=arranged[2])
    finally:
        streams.close()
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.communicate()
        raise
    return Result(process.returncode, out, err)


class Filter:
    """A running filter whose standard input and output are pipes of ours,
    driven piece by piece: send() a piece, read_line() what it became."""

    def __init__(self, target, stderr=CAPTURE):
        streams = _Streams()
        try:
            err = streams.open(2, stderr)
            self._process = subprocess.Popen(_command(target, streams.closed),
                                             env=target.environment(), stdin=subprocess.PIPE,
                                             stdout=subprocess.PIPE, stderr=err)
        finally:
            streams.close()
        self._pending = b""

    def send(self, data):
        """Writes data to the filter's standard input at once (no buffering)."""
        self._process.stdin.write(data)
        self._process.stdin.flush()

    def read_line(self, timeout=60.0):
        """The next output line, CR LF included. Fails if no whole line comes
        within timeout seconds, or if output ends first."""
        deadline = time.monotonic() + timeout
        fd = self._process.stdout.fileno()
        while b"\r\n" not in self._pending:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise AssertionError("no whole line within %gs; have %r" % (timeout, self._pending))
            data = os.read(fd, 65536)
            if not data:
                raise AssertionError("output ended inside a line: %r" % (self._pending,))
            self._pending += data
        end = self._pending.index(b"\r\n") + 2
        line, self._pending = self._pending[:end], self._pending[end:]
        return line

    def close_input(self):
        """Closes the writing end of the filter's standard input."""
        if self._process.stdin is not None:
            self._process.stdin.close()
            self._process.stdin = None  # so that communicate() leaves it alone

    def finish(self, timeout=DEFAULT_TIMEOUT):
        """Closes standard input, waits for the end and returns the Result;
        its stdout holds only what read_line() has not returned."""
        self.close_input()
        try:
            out, err = self._process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.communicate()
            raise
        return Result(self._process.returncode, self._pending + out, err)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self._process.returncode is None:  # not finished: a test failed midway
            self._process.kill()
            self.close_input()
            self._process.communicate()


def start(target, stderr=CAPTURE):
    return Filter(target, stderr)


def expected_output(data, chunk=CHUNK_BYTES):
    """What the filter writes for data read `chunk` bytes at a time (a regular
    file gives reads of 57): each read encoded by Python's base64, then CR LF."""
    return b"".join(base64.b64encode(data[i:i + chunk]) + b"\r\n"
                    for i in range(0, len(data), chunk))


def decode_lines(output):
    """The bytes that each line of output encodes, in order. Fails unless every
    line is canonical Base64 of 4 to 76 characters ending in CR LF."""
    if not output:
        return []
    if not output.endswith(b"\r\n"):
        raise AssertionError("output does not end in CR LF: ...%r" % (output[-80:],))
    pieces = []
    offset = 0
    for number, line in enumerate(output[:-2].split(b"\r\n"), 1):
        where = "line %d (at byte %d): %r" % (number, offset, line[:100])
        if not 4 <= len(line) <= LINE_CHARS or len(line) % 4:
            raise AssertionError("%d characters in %s" % (len(line), where))
        try:
            piece = base64.b64decode(line, validate=True)
        except ValueError as error:
            raise AssertionError("not Base64 (%s) in %s" % (error, where))
        # Re-encoding catches bits set past the data and CR or LF alone inside a line.
        if base64.b64encode(piece) != line:
            raise AssertionError("not canonical Base64 in " + where)
        pieces.append(piece)
        offset += len(line) + 2
    return pieces


def prepare_wine_prefix(prefix, wine_run=WINE_RUN):
    """Makes a fresh Wine prefix at `prefix`, through tools/wine-run's own set-up."""
    env = dict(os.environ, WINEPREFIX=os.path.abspath(prefix), WINEDEBUG="-all")
    if os.path.isdir(prefix):
        # A wineserver still serving the old prefix would outlive its files.
        subprocess.run(["wineserver", "-k"], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)
        shutil.rmtree(prefix)
    # Any Windows program makes wine-run set the prefix up first; cmd is Wine's own.
    subprocess.run([wine_run, prefix, "cmd.exe", "/c", "exit"], stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, check=True, timeout=600)


def main(argv):
    if len(argv) != 3 or argv[1] != "wine-prefix":
        sys.stderr.write("usage: %s wine-prefix PREFIX\n" % argv[0])
        return 2
    prepare_wine_prefix(argv[2])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
