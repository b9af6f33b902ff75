"""How long a piece of input waits before its Base64 encoding is out: the time
from the write of a piece into a program's standard input (a pipe kept open)
to the arrival of the last line that completes the piece's encoding on its
standard output (another pipe).

One thread is both writer and reader: it writes a piece, then waits in epoll
for output until the next piece is due (a random pause), so every arrival is
timestamped as it comes while the writer keeps to its own schedule, not to
the program's answers. The output is decoded line by line as it arrives and
compared with what was sent, byte for byte: a piece is complete once the
decoded output covers its last byte. That works for any line length, so the
same measurement serves this filter (one line per read) and peers that wrap
a continuous encoding at 64 or 76 characters.

A program holds a piece when it waits for more input while the piece's
encoding is incomplete: its input pipe is empty and a thread of one of its
processes sleeps in a read of that pipe, so it has written all it will write
until more comes (output that has arrived is read before any piece is
judged). That is a state of the program, seen in /proc, not a deadline: a
slow answer on a loaded machine is late, never held. After `held_limit` held
pieces the run stops, at that count exactly however many were open together,
and what it held is the bytes sent minus the bytes whose encoding had
arrived. Its input is then closed, and the whole output must still decode to
everything sent (else the program lost data, which is an error, not a hold).
The output is taken to come from the processes that read the input, as it
does from a filter, cat, base64, openssl and a Windows program under Wine.

A piece that is neither complete nor held after `cap` seconds (`startup` for
the first) is an error: that only turns a hang into a failure.

A decoder is measured the same way (`decodes`): its pieces are cut from
this filter's own text, and a piece is complete once the output covers the
bytes of every group the text up to its end makes whole.

    measure(argv, size, pieces, ...) -> Run
    percentile(values, p)  nearest rank
"""

import base64
import collections
import fcntl
import os
import random
import select
import struct
import subprocess
import termios
import time

CHUNK = 57
# Hang guards only: a piece neither complete nor held after this long (the
# first, which also waits for the program to start: Wine's start-up of a
# process takes most of a second, far more under emulation) fails the run.
CAP = 30.0
STARTUP = 60.0
HELD_LIMIT = 3
# How often a program with an open piece is looked at in /proc: the pace of
# the look, not a verdict (rarely reached by a program that answers, so the
# look does not delay the reading of its lines).
PROBE = 0.01
PAUSE = (0.001, 0.005)
# Closing the input of a program that held data must make it write the rest
# and exit; this only breaks a hang.
DRAIN_TIMEOUT = 30.0


class Run(collections.namedtuple(
        "Run", "latencies pieces_sent bytes_sent bytes_covered held_pieces exact_pieces")):
    """latencies: seconds, one per timed piece that completed (the first,
    untimed piece excluded, and pieces of text that make no group whole);
    pieces_sent counts the timed pieces written;
    held_pieces the timed pieces the program held (a run that stops at
    held_limit has exactly that many, however many were open); exact_pieces
    the timed pieces whose encoding came as exactly the lines of reads of at
    most 57 bytes of that piece (this filter's output on a pipe fed slowly
    enough)."""

    @property
    def held_bytes(self):
        return self.bytes_sent - self.bytes_covered

    @property
    def held(self):
        return self.held_pieces > 0


class Decoder:
    """Decodes the output line by line as it arrives, checks it against what
    was sent, and remembers where each line's bytes start and end."""

    def __init__(self, sent):
        self.sent = sent
        self.covered = 0
        self.partial = b""
        self.line_end_at = {}  # decoded start offset of a line -> its end offset

    def feed(self, data):
        lines = (self.partial + data).split(b"\n")
        self.partial = lines.pop()
        for line in lines:
            self._line(line)

    def finish(self):
        if self.partial:
            self._line(self.partial)
            self.partial = b""

    def _line(self, line):
        text = line[:-1] if line.endswith(b"\r") else line
        if len(text) % 4:
            raise RuntimeError(f"malformed output line {line!r}")
        decoded = base64.b64decode(text, validate=True)
        start, end = self.covered, self.covered + len(decoded)
        if bytes(self.sent[start:end]) != decoded:
            raise RuntimeError(f"output bytes {start}..{end} do not decode to what was sent")
        self.line_end_at[start] = end
        self.covered = end

    def exact(self, start, end):
        """Whether [start, end) came as the lines of 57-byte reads of it, no more, no less."""
        for a in range(start, end, CHUNK):
            if self.line_end_at.get(a) != min(end, a + CHUNK):
                return False
        return True


class Copy(Decoder):
    """For a program that copies its input as it is (cat): the pipes' own
    round trip, the floor under any filter's figure."""

    def feed(self, data):
        start, end = self.covered, self.covered + len(data)
        if bytes(self.sent[start:end]) != data:
            raise RuntimeError(f"output bytes {start}..{end} are not what was sent")
        self.covered = end

    def finish(self):
        pass


class Bytes:
    """Random pieces for a program that encodes (or, with `copies`, copies)
    them: a piece is complete once the output covers its last byte."""

    def __init__(self, rng, copies):
        self.rng = rng
        self.sent = bytearray()
        self.output = (Copy if copies else Decoder)(self.sent)

    def piece(self, size):
        data = self.rng.randbytes(size)
        self.sent += data
        return data

    def due(self):
        """How much output the input written so far must make."""
        return len(self.sent)

    def rest(self):
        """What to write before the input is closed, so that all of it has an output."""
        return b""


class Text(Bytes):
    """Pieces of Base64 text for a program that decodes it: this filter's
    output for random bytes (lines of 76 characters and CR LF, 57 bytes each),
    cut into pieces of any size. A piece is complete once the output covers
    every group of four characters that the text up to its end makes whole."""

    LINE = 78

    def __init__(self, rng):
        super().__init__(rng, True)
        self.text = bytearray()
        self.written = 0

    def piece(self, size):
        if not self.written:  # the untimed first piece has output, so that it waits for the start
            size = max(size, self.LINE)
        while len(self.text) < self.written + size:
            data = self.rng.randbytes(CHUNK)
            self.sent += data
            self.text += base64.b64encode(data) + b"\r\n"
        self.written += size
        return bytes(self.text[self.written - size:self.written])

    def due(self):
        lines, at = divmod(self.written, self.LINE)
        return lines * CHUNK + min(at, self.LINE - 2) // 4 * 3

    def rest(self):
        end = -(-self.written // self.LINE) * self.LINE
        data, self.written = bytes(self.text[self.written:end]), end
        return data


# The system calls that wait for input on the descriptor that is their first
# argument (read, pread64, readv), by the word size of the task's program.
READ_CALLS = {64: {0, 17, 19}, 32: {3, 180, 145}}


def unread_bytes(fd):
    """Bytes in the pipe of fd that its reader has not taken yet."""
    return struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0" * 4))[0]


def processes(pid):
    """pid and its descendants that are still there."""
    found, todo = [], [pid]
    while todo:
        p = todo.pop()
        try:
            for task in os.listdir(f"/proc/{p}/task"):
                with open(f"/proc/{p}/task/{task}/children") as f:
                    todo += map(int, f.read().split())
        except OSError:
            continue
        found.append(p)
    return found


def word_size(pid):
    with open(f"/proc/{pid}/exe", "rb") as f:
        return 32 if f.read(5)[4:] == b"\1" else 64


def waiting_for_input(pid, in_fd):
    """Whether the program started as pid has taken all its input and waits
    for more: its input pipe is empty, and a thread of it or of a process it
    started sleeps in a read of that pipe. (A task that is running, or woken
    and not yet run, shows no call in /proc.)"""
    if unread_bytes(in_fd):
        return False
    pipe = f"pipe:[{os.fstat(in_fd).st_ino}]"
    for p in processes(pid):
        try:
            reads = READ_CALLS[word_size(p)]
            for task in os.listdir(f"/proc/{p}/task"):
                with open(f"/proc/{p}/task/{task}/syscall") as f:
                    call = f.read().split()
                if (len(call) > 1 and call[0].isdigit() and int(call[0]) in reads
                        and os.readlink(f"/proc/{p}/fd/{int(call[1], 16)}") == pipe):
                    return True
        except OSError:  # gone meanwhile, or not ours to look at
            continue
    return False


def measure(argv, size, pieces, *, copies=False, decodes=False, cap=CAP, held_limit=HELD_LIMIT, startup=STARTUP,
            pause=PAUSE, lockstep=False, program_cpus=None, helper_cpus=None, env=None, seed=57):
    """Runs argv with pieces + 1 pieces of `size` random bytes (the first
    untimed) and returns a Run; `copies` says the program copies instead of
    encoding, `decodes` that it decodes Base64 text: its pieces are then
    `size` characters of text, and its bytes are the decoded ones. With lockstep, a piece is written only once
    the one before it completed or was held (and its pause is over), so that
    no two pieces can meet in one read."""
    rng = random.Random(seed)
    feed = Text(rng) if decodes else Bytes(rng, copies)
    decoder = feed.output
    ends, written, done = [], [], []
    timed_held = 0
    first_open = 0  # the first piece neither complete nor held
    next_due = 0.0
    next_probe = 0.0
    total = pieces + 1

    def may_send():
        if len(written) == total or (written and first_open == 0):  # all out, or not started yet
            return False
        return not lockstep or first_open == len(written)

    saved_affinity = os.sched_getaffinity(0)
    if helper_cpus:
        os.sched_setaffinity(0, helper_cpus)
    proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
                            preexec_fn=(lambda: os.sched_setaffinity(0, program_cpus)) if program_cpus else None)
    out_fd, in_fd = proc.stdout.fileno(), proc.stdin.fileno()
    poller = select.epoll()
    poller.register(out_fd, select.EPOLLIN)

    def take_output(timeout):
        """Reads what the program wrote, waiting at most timeout seconds for
        it, and marks the pieces it completes."""
        for _ in poller.poll(timeout):
            arrived = time.perf_counter()
            data = os.read(out_fd, 1 << 16)
            if not data:
                raise RuntimeError(f"{argv[0]} closed its output before its input was closed")
            decoder.feed(data)
            for i in range(first_open, len(written)):
                if ends[i] > decoder.covered:
                    break
                if done[i] is None:
                    done[i] = arrived

    def take_all_output():
        while poller.poll(0):
            take_output(0)

    def probe_due():
        return max(next_probe, written[first_open] + PROBE)

    def guard(i):
        return written[i] + (startup if i == 0 else cap)

    try:
        while True:
            now = time.perf_counter()
            if may_send() and now >= next_due:
                piece = feed.piece(size)
                ends.append(feed.due())
                written.append(time.perf_counter())
                # A piece of text that makes no group whole has nothing to
                # wait for: done, and not timed (0).
                done.append(0.0 if len(written) > 1 and ends[-1] <= decoder.covered else None)
                os.write(in_fd, piece)
                next_due = written[-1] + rng.uniform(*pause)
            take_output(0)
            while first_open < len(written) and done[first_open] is not None:
                first_open += 1
            if first_open < len(written) and time.perf_counter() >= probe_due():
                next_probe = time.perf_counter() + PROBE
                if waiting_for_input(proc.pid, in_fd):
                    # All it wrote before it went back to reading counts
                    # first: only what is still open then is held. The run
                    # stops at held_limit exactly, however many are open.
                    take_all_output()
                    while first_open < len(written) and timed_held < held_limit:
                        if done[first_open] is None:
                            timed_held += first_open > 0
                            done[first_open] = False
                        first_open += 1
                elif time.perf_counter() > guard(first_open):
                    raise RuntimeError(f"{argv[0]} neither completed piece {first_open} nor waited for more "
                                       f"input within {startup if first_open == 0 else cap:g} s")
            if timed_held >= held_limit or first_open == total:
                break
            deadlines = [next_due] if may_send() else []
            if first_open < len(written):
                deadlines.append(probe_due())
            take_output(max(0.0, min(deadlines) - time.perf_counter()) if deadlines else PROBE)
        bytes_covered, bytes_sent = decoder.covered, feed.due()
        os.write(in_fd, feed.rest())
        _drain(proc, decoder, argv)
    finally:
        poller.close()
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        for pipe in (proc.stdin, proc.stdout):
            if not pipe.closed:
                pipe.close()
        os.sched_setaffinity(0, saved_affinity)
    if decoder.covered != feed.due():
        what = "bytes" if decodes else "encoding"
        raise RuntimeError(f"{argv[0]} wrote the {what} of {decoder.covered} of {feed.due()} bytes")
    latencies = [t - w for t, w in zip(done[1:], written[1:]) if t]
    exact = 0 if copies or decodes else sum(decoder.exact(ends[i] - size, ends[i])
                                            for i in range(1, len(written)) if done[i])
    return Run(latencies, len(written) - 1, bytes_sent, bytes_covered, timed_held, exact)


def _drain(proc, decoder, argv):
    """Closes the program's input and reads the rest of its output."""
    proc.stdin.close()
    deadline = time.monotonic() + DRAIN_TIMEOUT
    fd = proc.stdout.fileno()
    while True:
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            raise RuntimeError(f"{argv[0]} did not finish within {DRAIN_TIMEOUT} s of the end of its input")
        data = os.read(fd, 1 << 16)
        if not data:
            break
        decoder.feed(data)
    decoder.finish()
    proc.stdout.close()
    code = proc.wait(timeout=DRAIN_TIMEOUT)
    if code:
        raise RuntimeError(f"{argv[0]} exited with {code}")


def percentile(values, p):
    """Nearest rank: the smallest value that p per cent of the values do not exceed."""
    ordered = sorted(values)
    rank = max(1, -(-len(ordered) * p // 100))
    return ordered[int(rank) - 1]
