"""Runs the real b64filter binaries end to end and checks what they write.

The same calls drive either binary: the host build directly, or the Windows
image under Wine through tools/wine-run. Python 3 standard library only.

    Target                       how to start one binary: its argv and environment
    host_target(binary)          the host build
    wine_target(image, arch)     the Windows image under Wine, "win32" or "win64"
    TARGET                       the filter the CTest registration names (B64FILTER_E2E_*)
    UNFILTER                     the decoder on the same platform (B64UNFILTER_E2E_BINARY),
                                 None when not named
    wrapped(target, argv)        the same target started through another program

    run(target, stdin=..., stdout=..., stderr=...) -> Result(code, stdout, stderr)
    start(target, stdin=PIPE, stdout=PIPE, stderr=CAPTURE) -> Filter: a running
                                 filter, fed with send(), read with read_line() or
                                 read_output(), ended with finish()
    fed_run(target, feed, consume)          input written by a thread, output consumed
    read_to_end(fd)              everything read from fd (a consume for fed_run)
    lockstep_run(target, pieces)            each piece's lines waited for before the next
    slow_reader_run(target, data, output)   output left full, then drained slowly
    wait_until_read(fd)          until the reader of our pipe end has taken all it holds

    expected_output(data)        the lines reads of 57 bytes give (Python's base64)
    decode_lines(output)         the bytes each line encodes; fails on a malformed line
    LineDecoder                  the same, fed block by block, keeping only a digest
    faults(write_bytes, writes_before_limit)  the real faults and what each build does
                                 with them, for a program whose every write is write_bytes long
    FAULTS                       the filter's: faults(LINE_BYTES, SIZE_LIMIT_LINES)
    check_faults(test, target, table, data, output)  each fault of a table run and checked,
                                 output being what the whole run writes
    TerminalSession(argv)        argv started at a pseudo-terminal of ours, typed at
    typed_lines(target, rows)    the target at such a terminal, each row's line typed and
                                 its text waited for; the exit status after the input's end

Stream arrangements (stdin, stdout, stderr):
    bytes      standard input only: a regular file holding them, read from offset 0
    CAPTURE    standard output or error: collected into the Result
    CLOSED     the child starts with that descriptor closed (as with <&- or >&-);
               under Wine, Wine's start-up reopens the free numbers for files of
               its own, and with all three closed it hung (Wine 8.0): don't ask for that
    Pipe(...)  a pipe of ours (PIPE is the plain one): we write the child's standard
               input, or read its standard output; optionally small or non-blocking
               on the child's side
    Terminal(...)  standard output only: a pseudo-terminal in raw mode that we read
    a path     opened for reading (stdin) or writing (stdout, stderr): "/dev/full", a directory
    an int     a descriptor of the caller's, passed as it is (the caller keeps and closes it)
A stream that is not CAPTURE, PIPE or Terminal is None in the Result.

Timeouts only guard against a hung child: they are deadlock breakers, never
speed checks, so keep them generous.
"""

import base64
import binascii
import collections
import contextlib
import fcntl
import hashlib
import os
import pty
import random
import re
import resource
import select
import socket
import struct
import subprocess
import tempfile
import termios
import threading
import time
import tty

SOURCE_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WINE_RUN = os.path.join(SOURCE_ROOT, "tools", "wine-run")

CHUNK_BYTES = 57
LINE_CHARS = 76
LINE_BYTES = LINE_CHARS + 2

CAPTURE = "capture"
CLOSED = "closed"

# Seconds before a child that has not finished is killed and the call fails.
DEFAULT_TIMEOUT = 300.0
# For the line of a piece sent in lockstep; also a deadlock breaker.
LINE_TIMEOUT = 60.0

Result = collections.namedtuple("Result", "code stdout stderr")


class Target(collections.namedtuple("Target", "name argv env")):
    """A binary to run: `name` ("host", "wine" or "wine64"), the argv that
    starts it, and the environment variables it needs on top of the caller's."""

    @property
    def on_wine(self):
        return self.name != "host"

    def environment(self):
        env = dict(os.environ)
        env.update(self.env)
        return env


def host_target(binary):
    return Target("host", [os.path.abspath(binary)], {})


def wine_target(image, arch="win32"):
    option = ["--win64"] if arch == "win64" else []
    return Target("wine64" if arch == "win64" else "wine",
                  [WINE_RUN] + option + [os.path.abspath(image)], {})


def wrapped(target, argv):
    """The target started through argv (valgrind, a shell), which ends in the target's argv."""
    return target._replace(argv=list(argv) + list(target.argv))


def _target_from_environment(variable):
    """B64FILTER_E2E_TARGET ("host", "wine" or "wine64") and the binary that
    `variable` names; None when it names none (the module is then used for
    its helpers)."""
    kind = os.environ.get("B64FILTER_E2E_TARGET", "host")
    binary = os.environ.get(variable)
    if binary is None:
        return None
    if not os.path.isfile(binary):
        raise RuntimeError("%s names no binary: %r" % (variable, binary))
    if kind == "host":
        return host_target(binary)
    if kind in ("wine", "wine64"):
        return wine_target(binary, "win64" if kind == "wine64" else "win32")
    raise RuntimeError("unknown B64FILTER_E2E_TARGET " + repr(kind))


TARGET = _target_from_environment("B64FILTER_E2E_BINARY")
UNFILTER = _target_from_environment("B64UNFILTER_E2E_BINARY")


# ---------------------------------------------------------------- streams

class Pipe(collections.namedtuple("Pipe", "capacity nonblocking")):
    """A pipe between us and the child; capacity in bytes (None: the
    system's), nonblocking on the child's end."""


Pipe.__new__.__defaults__ = (None, False)
PIPE = Pipe()


class Terminal(collections.namedtuple("Terminal", "nonblocking")):
    """A pseudo-terminal in raw mode (no line-end translation) as standard
    output, nonblocking on the child's end; we read the other end."""

    capacity = None  # what the terminal holds is the kernel's business


Terminal.__new__.__defaults__ = (False,)


def set_nonblocking(fd):
    fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


class _Streams:
    """Opens what the arrangements name; after the start, close() closes the
    child's ends, and `ours` holds the ends we keep (stdin, stdout)."""

    def __init__(self):
        self._theirs = []
        self.closed = set()
        self.ours = {}

    def open(self, fd, arrangement):
        """The value for Popen's stdin/stdout/stderr argument."""
        if arrangement is CLOSED:
            self.closed.add(fd)
            return subprocess.DEVNULL  # replaced by the close in _command
        if arrangement is CAPTURE:
            if fd == 0:
                raise ValueError("standard input cannot be captured")
            return self.open(fd, PIPE) if fd == 1 else subprocess.PIPE
        if isinstance(arrangement, Pipe):
            read_end, write_end = os.pipe()
            if arrangement.capacity:
                fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, arrangement.capacity)
            mine, theirs = (write_end, read_end) if fd == 0 else (read_end, write_end)
            return self._hand_over(fd, mine, theirs, arrangement.nonblocking)
        if isinstance(arrangement, Terminal):
            if fd != 1:
                raise ValueError("a terminal is an arrangement of standard output only")
            master, slave = pty.openpty()
            tty.setraw(slave)
            return self._hand_over(fd, master, slave, arrangement.nonblocking)
        if isinstance(arrangement, (bytes, bytearray)):
            if fd != 0:
                raise ValueError("bytes are an arrangement of standard input only")
            handle = tempfile.TemporaryFile()
            handle.write(arrangement)
            handle.seek(0)
            self._theirs.append(handle)
            return handle
        if isinstance(arrangement, int):
            return arrangement
        if isinstance(arrangement, (str, os.PathLike)):
            # A file named for output is made, or emptied, as the shell's > does.
            flags = os.O_RDONLY if fd == 0 else os.O_WRONLY | os.O_CREAT | os.O_TRUNC
            opened = os.open(arrangement, flags, 0o644)
            self._theirs.append(opened)
            return opened
        raise TypeError("unknown stream arrangement %r" % (arrangement,))

    def _hand_over(self, fd, mine, theirs, nonblocking):
        if nonblocking:
            set_nonblocking(theirs)
        self.ours[fd] = mine
        self._theirs.append(theirs)
        return theirs

    def close(self):
        for theirs in self._theirs:
            if isinstance(theirs, int):
                os.close(theirs)
            else:
                theirs.close()
        self._theirs = []


def _command(target, closed):
    """argv for the target, started with the descriptors in `closed` closed.
    The shell closes them and then becomes the target, so the target starts
    with them closed, as a user's `prog <&- >&-` would."""
    if not closed:
        return list(target.argv)
    closes = " ".join("%d<&-" % fd if fd == 0 else "%d>&-" % fd for fd in sorted(closed))
    return ["/bin/sh", "-c", 'exec "$@" ' + closes, "sh"] + list(target.argv)


def _limits(file_size_limit):
    """The child's set-up: a limit on the size of the files it writes."""
    if file_size_limit is None:
        return None
    return lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (file_size_limit, file_size_limit))


def _read_some(fd, deadline, what):
    """One read of what fd has, waiting at most until deadline; b"" at its end."""
    left = deadline - time.monotonic()
    if left <= 0 or not select.select([fd], [], [], left)[0]:
        raise AssertionError("nothing more within the deadline; " + what())
    try:
        return os.read(fd, 1 << 20)
    except OSError:  # a terminal whose other side has closed: its end
        return b""


def read_to_end(fd, timeout=DEFAULT_TIMEOUT):
    """Everything read from fd until its end."""
    deadline = time.monotonic() + timeout
    chunks = [b"-"]
    while chunks[-1]:
        chunks.append(_read_some(fd, deadline, lambda: "output unfinished"))
    return b"".join(chunks[1:])


class Filter:
    """A running filter with the stream arrangements of the module's docstring.
    Standard input is fed with send(); standard output, when it is a pipe or
    terminal of ours, is read with read_line() or by finish()."""

    def __init__(self, target, stdin=PIPE, stdout=PIPE, stderr=CAPTURE, file_size_limit=None):
        streams = _Streams()
        try:
            arranged = [streams.open(0, stdin), streams.open(1, stdout), streams.open(2, stderr)]
            self._process = subprocess.Popen(
                _command(target, streams.closed), env=target.environment(), stdin=arranged[0],
                stdout=arranged[1], stderr=arranged[2], preexec_fn=_limits(file_size_limit))
        except BaseException:
            for mine in streams.ours.values():
                os.close(mine)
            raise
        finally:
            streams.close()
        self.input = streams.ours.get(0)
        self.output = streams.ours.get(1)
        self._pending = b""

    def send(self, data):
        """Writes data to the filter's standard input at once (no buffering)."""
        write_all(self.input, data)

    def read_line(self, timeout=LINE_TIMEOUT):
        """The next output line, CR LF included. Fails if no whole line comes
        within timeout seconds, or if output ends first."""
        deadline = time.monotonic() + timeout
        while b"\r\n" not in self._pending:
            data = _read_some(self.output, deadline, lambda: "have %r" % (self._pending,))
            if not data:
                raise AssertionError("output ended inside a line: %r" % (self._pending,))
            self._pending += data
        end = self._pending.index(b"\r\n") + 2
        line, self._pending = self._pending[:end], self._pending[end:]
        return line

    def read_output(self, count, timeout=LINE_TIMEOUT):
        """At least count bytes of output, all that has come by then. Fails
        if they do not come within timeout seconds, or if output ends first."""
        deadline = time.monotonic() + timeout
        while len(self._pending) < count:
            data = _read_some(self.output, deadline, lambda: "have %r" % (self._pending,))
            if not data:
                raise AssertionError("output ended at %r" % (self._pending,))
            self._pending += data
        data, self._pending = self._pending, b""
        return data

    def hand_over_input(self):
        """Our end of standard input, for the caller to write and close."""
        fd, self.input = self.input, None
        return fd

    def close_input(self):
        """Closes our end of the filter's standard input: the end of its input."""
        if self.input is not None:
            os.close(self.hand_over_input())

    def finish(self, consume=None, timeout=DEFAULT_TIMEOUT):
        """Ends the input, reads the rest of the output (consume(fd) does,
        when given), waits for the end and returns the Result; its stdout
        holds only what read_line() has not returned, or what consume returned."""
        deadline = time.monotonic() + timeout
        self.close_input()
        out = None
        if self.output is not None:
            out = consume(self.output) if consume else self._pending + read_to_end(self.output, timeout)
        try:
            _, err = self._process.communicate(timeout=max(0.0, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.communicate()
            raise
        return Result(self._process.returncode, out, err)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self._process.returncode is None:  # not finished: a test failed midway
            self._process.kill()
            self._process.communicate()
        self.close_input()
        if self.output is not None:
            os.close(self.output)
            self.output = None


def start(target, stdin=PIPE, stdout=PIPE, stderr=CAPTURE, file_size_limit=None):
    return Filter(target, stdin, stdout, stderr, file_size_limit)


def run(target, stdin=b"", stdout=CAPTURE, stderr=CAPTURE, file_size_limit=None,
        timeout=DEFAULT_TIMEOUT):
    """Runs the target to its end with the given stream arrangements."""
    with start(target, stdin, stdout, stderr, file_size_limit) as running:
        return running.finish(timeout=timeout)


def fed_run(target, feed, consume, timeout=3600.0):
    """The target between two pipes of ours: feed(fd) writes its input from a
    thread of its own (the pipe is closed after it), while consume(fd) reads
    its output. Result(code, what consume returned, standard error)."""
    with start(target) as running:
        fd = running.hand_over_input()

        def write_then_close():
            try:
                feed(fd)
            finally:
                os.close(fd)

        writer = threading.Thread(target=write_then_close)
        writer.start()
        try:
            return running.finish(consume, timeout)
        finally:
            writer.join()


def lockstep_run(target, pieces, nonblocking=False):
    """Each piece sent only after the lines of the piece before it have come
    out. Result(code, all output, standard error)."""
    pipe = Pipe(nonblocking=nonblocking)
    with start(target, stdin=pipe, stdout=pipe) as running:
        lines = []
        for piece in pieces:
            running.send(piece)
            got = 0
            while got < len(piece):
                lines.append(running.read_line())
                got += len(decode_lines(lines[-1])[0])
        result = running.finish()
        return result._replace(stdout=b"".join(lines) + result.stdout)


def slow_reader_run(target, data, output, seed=5, write_bytes=LINE_BYTES):
    """The filter reads data from a file and writes to `output` (a small Pipe
    or a Terminal) that we leave full for a while, then drain in small reads
    with pauses; write_bytes is at most what one of the program's writes
    holds. Result(code, all output, standard error)."""
    generator = random.Random(seed)

    def slowly(fd):
        wait_until_held(fd, output.capacity, write_bytes)
        chunks = []
        while True:
            try:
                chunk = os.read(fd, generator.randint(1, 2048))
            except OSError:  # a terminal whose other side has closed
                chunk = b""
            if not chunk:
                return b"".join(chunks)
            chunks.append(chunk)
            if generator.random() < 0.01:
                time.sleep(0.002)

    with start(target, stdin=data, stdout=output) as running:
        return running.finish(slowly, timeout=3600.0)


def pipe_held(fd):
    """The bytes a pipe holds, asked of either of its ends."""
    return int.from_bytes(fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"), "little")


def wait_until_read(fd, timeout=600.0):
    """Waits until the reader of the pipe whose end fd is has taken all it holds."""
    deadline = time.monotonic() + timeout
    while pipe_held(fd):
        if time.monotonic() > deadline:
            raise AssertionError("the pipe was never read empty")
        time.sleep(0.001)


def wait_until_held(fd, capacity, write_bytes=LINE_BYTES, timeout=600.0):
    """Waits until what fd has to read stops growing (or, knowing the
    capacity, until less than a write of write_bytes would fit): the writer
    is held up by us."""
    deadline = time.monotonic() + timeout
    last, steady = -1, 0
    while time.monotonic() < deadline:
        held = pipe_held(fd)
        if capacity and held > capacity - write_bytes:
            return
        steady = steady + 1 if held == last and held > 0 else 0
        if not capacity and steady >= 20:
            return
        last = held
        time.sleep(0.01)
    raise AssertionError("the output never filled")


# ---------------------------------------------------------------- terminal

# What a console draws besides text: control sequences (CSI, OSC), which
# the screen is read without.
CONTROL = re.compile(rb"\x1b\[[0-?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)|\x1b[@-Z\\-_]")


def _take_terminal():
    """In the child, after setsid: the terminal on standard input becomes
    its controlling terminal, so Ctrl+C reaches its foreground group."""
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class TerminalSession:
    """argv started as a user's shell starts it at a terminal: a
    pseudo-terminal of ours (80 x 24) its standard input and output and its
    controlling terminal, standard error kept apart. We type at the other
    end and read what it shows. Every wait is for a state of the terminal
    or its screen, and fails `limit` seconds after the start: a hang
    breaker, not a time the program must keep. `prepare(slave)` changes the
    terminal's settings before the start; `before` holds them then."""

    def __init__(self, argv, limit=LINE_TIMEOUT, env=None, prepare=None):
        self.master, self.slave = pty.openpty()
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        if prepare:
            prepare(self.slave)
        self.before = termios.tcgetattr(self.slave)
        self.errors = tempfile.TemporaryFile()
        self.deadline = time.monotonic() + limit
        self.limit = limit
        self.screen = b""
        self.process = subprocess.Popen(argv, stdin=self.slave, stdout=self.slave, stderr=self.errors,
                                        env=env, start_new_session=True, preexec_fn=_take_terminal)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        os.close(self.master)
        os.close(self.slave)
        self.errors.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def settings(self):
        return termios.tcgetattr(self.slave)

    def left(self, what):
        """Seconds left of the limit; past it, the failure that says what did not happen."""
        left = self.deadline - time.monotonic()
        if left <= 0:
            self.errors.seek(0)
            raise AssertionError("%s within %.0f s; the terminal shows %r; standard error has %r"
                                 % (what, self.limit, self.screen[-300:], self.errors.read()[-300:]))
        return left

    def read_screen(self, what):
        """Takes what the terminal shows within a few ms; fails if the program's side has closed."""
        if select.select([self.master], [], [], min(self.left(what), 0.005))[0]:
            try:
                self.screen += os.read(self.master, 4096)
            except OSError:  # the terminal's other side has closed
                raise AssertionError("the run ended before %s: %r" % (what, self.screen[-300:]))

    def text(self):
        """The screen so far without control sequences."""
        return CONTROL.sub(b"", self.screen)

    def wait_for_settings(self, state, what):
        """Polls the terminal's settings (reading what it shows meanwhile)
        until state holds for them."""
        while not state(self.settings()):
            self.read_screen(what)

    def wait_for_text(self, texts, what):
        """Waits until the screen shows one of texts; returns it."""
        while True:
            shown = [text for text in texts if text in self.text()]
            if shown:
                return shown[0]
            self.read_screen(what)

    def type(self, keys):
        write_all(self.master, keys)

    def type_line(self, text):
        self.type(text + b"\r")  # Enter sends CR

    def wait_for_end(self, what):
        """Reads the screen until the program has ended; its exit status."""
        while self.process.poll() is None:
            if select.select([self.master], [], [], min(self.left(what), 0.005))[0]:
                try:
                    self.screen += os.read(self.master, 4096)
                except OSError:
                    pass
        return self.process.returncode


def typed_lines(target, rows, limit=LINE_TIMEOUT):
    """The target started at a terminal of ours, as a shell starts it; for
    each row (typed, shown), the line typed and one of the texts shown
    waited for, before the next is typed; then the end of the input typed.
    Returns the exit status. On the host, Enter arrives as LF and Ctrl+D
    ends the input. Under Wine the console reads the terminal in raw mode
    (waited for before the first line) and gives CR LF for Enter; it needs
    ICRNL off, as ./b64filter sets it, and ends at Ctrl+C only."""
    def no_icrnl(slave):
        attrs = termios.tcgetattr(slave)
        attrs[0] &= ~termios.ICRNL
        termios.tcsetattr(slave, termios.TCSANOW, attrs)

    with TerminalSession(target.argv, limit, env=target.environment(),
                         prepare=no_icrnl if target.on_wine else None) as session:
        if target.on_wine:
            session.wait_for_settings(lambda attrs: not attrs[3] & termios.ICANON, "Wine's console in raw mode")
        for typed, shown in rows:
            session.type_line(typed)
            session.wait_for_text(shown, "the output of %r" % typed)
        session.type(b"\x03" if target.on_wine else b"\x04")
        return session.wait_for_end("the end of the input")


# ---------------------------------------------------------------- output

def expected_output(data, chunk=CHUNK_BYTES):
    """What the filter writes for data read `chunk` bytes at a time (a regular
    file gives reads of 57): each read encoded by Python's base64, then CR LF."""
    return b"".join(base64.b64encode(data[i:i + chunk]) + b"\r\n"
                    for i in range(0, len(data), chunk))


def _decode_block(lines, first):
    """The bytes each line encodes. Every line must be canonical Base64 of 4
    to 76 characters; `first` is the number of the first, for messages."""
    bad = [(i, line) for i, line in enumerate(lines) if not 4 <= len(line) <= LINE_CHARS or len(line) % 4]
    if bad:
        raise AssertionError("%d characters in line %d: %r" % (len(bad[0][1]), first + bad[0][0],
                                                               bad[0][1][:100]))
    try:
        pieces = [binascii.a2b_base64(line, strict_mode=True) for line in lines]
    except binascii.Error as error:
        raise AssertionError("not Base64 (%s) in lines from %d" % (error, first))
    # Encoding back catches bits set past the data in a padded line.
    for i, (piece, line) in enumerate(zip(pieces, lines)):
        if binascii.b2a_base64(piece, newline=False) != line:
            raise AssertionError("not canonical Base64 in line %d: %r" % (first + i, line))
    return pieces


def decode_lines(output):
    """The bytes that each line of output encodes, in order. Fails unless every
    line is canonical Base64 of 4 to 76 characters ending in CR LF."""
    if not output:
        return []
    if not output.endswith(b"\r\n"):
        raise AssertionError("output does not end in CR LF: ...%r" % (output[-80:],))
    return _decode_block(output[:-2].split(b"\r\n"), 1)


class LineDecoder:
    """Decodes output line by line as it comes, in blocks, without keeping
    it: the SHA-256 and count of the bytes the lines stand for, the count of
    lines. Lines as decode_lines() wants them; with `whole_reads`, every line
    but the last must be 76 characters."""

    def __init__(self, whole_reads):
        self.whole_reads = whole_reads
        self.sha256 = hashlib.sha256()
        self.bytes = 0
        self.lines = 0
        self.last_short = None
        self._pending = b""

    def feed(self, data):
        self._pending += data
        end = self._pending.rfind(b"\r\n")
        if end < 0:
            return
        block, self._pending = self._pending[:end], self._pending[end + 2:]
        lines = block.split(b"\r\n")
        if self.whole_reads:
            short = [i for i, line in enumerate(lines) if len(line) != LINE_CHARS]
            if self.last_short is not None or short[:1] not in ([], [len(lines) - 1]):
                raise AssertionError("a short line inside a file's output, before line %d"
                                     % (self.lines + len(lines)))
            if short:
                self.last_short = self.lines + short[0]
        data = b"".join(_decode_block(lines, self.lines + 1))
        self.sha256.update(data)
        self.bytes += len(data)
        self.lines += len(lines)

    def drain(self, fd):
        """Feeds everything read from fd until its end."""
        while True:
            data = os.read(fd, 1 << 20)
            if not data:
                break
            self.feed(data)
        if self._pending:
            raise AssertionError("output ends inside a line: %r" % self._pending[:80])


# ---------------------------------------------------------------- faults

def messages(*lines):
    return b"".join(line.encode() + b"\r\n" for line in lines)


# What a run under a fault ends with: the exit code and standard error, the
# exit code when standard error is closed as well, where that differs, and
# what stays on standard output, where the run's output can be read back (not
# /dev/full, a pipe without a reader or a closed descriptor): (whole writes,
# bytes of the write that failed), the start of what the whole run writes.
Outcome = collections.namedtuple("Outcome", "code stderr code_without_stderr written")
Outcome.__new__.__defaults__ = (None, None)

# A fault: arrange(data) is a context manager that gives run()'s keyword
# arguments for a run over `data` and takes back what it opened; host and
# wine are the outcomes of the two builds (wine: None where Wine is not
# measured, and the test is left out there); write_bytes, the length of each
# of the program's writes, what `written` counts in.
Fault = collections.namedtuple("Fault", "name arrange host wine write_bytes")
Fault.__new__.__defaults__ = (None,)


def _simple(**arguments):
    """An arrangement that opens nothing: stdin=True stands for the data."""
    @contextlib.contextmanager
    def arrange(data):
        yield {k: (data if v is True else v) for k, v in arguments.items()}
    return arrange


@contextlib.contextmanager
def _pipe_without_reader(data):
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        yield {"stdin": data, "stdout": write_end}
    finally:
        os.close(write_end)


@contextlib.contextmanager
def _unconnected_socket(data):
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as unconnected:
        yield {"stdin": unconnected.fileno()}


def _file_size_limit(limit):
    """Standard output a file, with the process's file-size limit at `limit`."""
    @contextlib.contextmanager
    def arrange(data):
        with tempfile.TemporaryDirectory() as directory:
            yield {"stdin": data, "stdout": os.path.join(directory, "out.b64"),
                   "file_size_limit": limit}
    return arrange


# Input for the faults: 200 full lines, enough that a file-size limit falls
# inside the output, and past anything memcheck logs to its own file.
FAULT_INPUT_BYTES = CHUNK_BYTES * 200
SIZE_LIMIT_LINES = 150


def faults(write_bytes, writes_before_limit):
    """The fault table for a program whose writes are each write_bytes long
    (the filter's lines; the decoder's blocks), with the file-size limit
    after writes_before_limit of them, or inside the next one."""
    limit = write_bytes * writes_before_limit
    table = [
        Fault("stdout /dev/full", _simple(stdin=True, stdout="/dev/full"),
              Outcome(112, messages("WriteFile() returned error 112")),
              Outcome(112, messages("WriteFile() returned error 112"))),
        # Wine's anonymous pipes without a reader fail with ERROR_PIPE_NOT_CONNECTED
        # (233); the host layer gives ERROR_NO_DATA (232) for EPIPE.
        Fault("stdout pipe without reader", _pipe_without_reader,
              Outcome(232, messages("WriteFile() returned error 232")),
              Outcome(233, messages("WriteFile() returned error 233"))),
        # On the host the handle is descriptor 1 itself, so its close fails too.
        # Under Wine a closed descriptor is no closed handle: Wine's start-up
        # opens files of its own on the free numbers, and the image gets handles
        # to those. A missing descriptor 1 ends up as a handle that cannot be
        # written but closes cleanly; with standard error closed as well, the
        # image ends with 0 and writes nothing we can see (Wine 8.0).
        Fault("stdout closed", _simple(stdin=True, stdout=CLOSED),
              Outcome(6, messages("WriteFile() returned error 6", "CloseHandle() returned error 6")),
              Outcome(6, messages("WriteFile() returned error 6"), code_without_stderr=0)),
        # Wine's start-up opens the current directory, and with descriptor 0 free
        # it lands there: the image then reads a directory, as in the next case.
        Fault("stdin closed", _simple(stdin=CLOSED),
              Outcome(6, messages("ReadFile() returned error 6", "CloseHandle() returned error 6"),
                      written=(0, 0)),
              Outcome(1, messages("ReadFile() returned error 1"), code_without_stderr=0, written=(0, 0))),
        Fault("stdin a directory", _simple(stdin=os.path.dirname(os.path.abspath(__file__))),
              Outcome(1, messages("ReadFile() returned error 1"), written=(0, 0)),
              Outcome(1, messages("ReadFile() returned error 1"), written=(0, 0))),
        # Reading an unconnected stream socket fails with EINVAL on Linux, which
        # Wine turns into the same code as the host layer does.
        Fault("stdin an unconnected socket", _unconnected_socket,
              Outcome(87, messages("ReadFile() returned error 87"), written=(0, 0)),
              Outcome(87, messages("ReadFile() returned error 87"), written=(0, 0))),
        # The write that would pass the limit fails with EFBIG (and the kernel's
        # SIGXFSZ must not end the process first), whether the limit falls
        # between two writes or inside one (the part that fits stays written).
        Fault("file-size limit between writes", _file_size_limit(limit),
              Outcome(223, messages("WriteFile() returned error 223"), written=(writes_before_limit, 0)),
              None),
        Fault("file-size limit inside a write", _file_size_limit(limit + 40),
              Outcome(223, messages("WriteFile() returned error 223"), written=(writes_before_limit, 40)),
              None),
    ]
    return [fault._replace(write_bytes=write_bytes) for fault in table]


FAULTS = faults(LINE_BYTES, SIZE_LIMIT_LINES)


def left_on_stdout(result, arguments):
    """What a run left on standard output: captured, or in the file it wrote."""
    path = arguments.get("stdout", CAPTURE)
    if path is CAPTURE:
        return result.stdout
    with open(path, "rb") as written:
        return written.read()


def check_faults(test, target, table, data, output):
    """Runs target over data under each fault of the table, with standard
    error captured, closed and full: the exact message and its code as the
    exit code, the same exit code when standard error cannot be written
    (or the one the table gives for it closed), and what stays on standard
    output: the start of `output` (what the whole run writes) that the
    table gives, or nothing on a standard output of ours where it gives
    none. `test` is the unittest.TestCase that checks."""
    for fault in table:
        outcome = fault.wine if target.on_wine else fault.host
        if outcome is None:
            continue  # not measured under Wine
        for stderr in (CAPTURE, CLOSED, "/dev/full"):
            with test.subTest(fault.name, stderr=stderr), fault.arrange(data) as arguments:
                result = run(target, stderr=stderr, **arguments)
                if stderr is CAPTURE:
                    test.assertEqual((result.code, result.stderr), outcome[:2])
                    test.assertIn(str(outcome.code).encode(), outcome.stderr)
                elif stderr is CLOSED and outcome.code_without_stderr is not None:
                    test.assertEqual(result.code, outcome.code_without_stderr)
                else:
                    test.assertEqual(result.code, outcome.code)
                if outcome.written is None:
                    test.assertIn(result.stdout, (b"", None))
                else:
                    writes, part = outcome.written
                    test.assertEqual(left_on_stdout(result, arguments),
                                     output[:writes * fault.write_bytes + part])
