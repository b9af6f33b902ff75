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

A program that has not completed a piece within `cap` seconds holds it
(output that has arrived is read before any piece is judged); after
`held_limit` such pieces the run stops, at that count exactly however many
expired together while this process was descheduled, and what it held is the
bytes sent minus the bytes whose encoding had arrived. Its input is then closed, and the
whole output must still decode to everything sent (else the program lost
data, which is an error, not a hold).

    measure(argv, size, pieces, ...) -> Run
    percentile(values, p)  nearest rank
"""

import base64
import collections
import os
import random
import select
import subprocess
import time

CHUNK = 57
# A piece with no complete encoding after this long is held, not late.
CAP = 0.5
HELD_LIMIT = 3
# The first piece is not timed: it waits for the program to start (Wine's
# start-up of a process takes most of a second), and is allowed this long.
STARTUP = 5.0
PAUSE = (0.001, 0.005)
# Closing the input of a program that held data must make it write the rest
# and exit; this only breaks a hang.
DRAIN_TIMEOUT = 30.0


class Run(collections.namedtuple(
        "Run", "latencies pieces_sent bytes_sent bytes_covered held_pieces exact_pieces")):
    """latencies: seconds, one per timed piece that completed (the first,
    untimed piece excluded); pieces_sent counts the timed pieces written;
    held_pieces the timed pieces not completed within the cap (a run that
    stops at held_limit has exactly that many, whatever expired meanwhile);
    exact_pieces
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


def measure(argv, size, pieces, *, copies=False, cap=CAP, held_limit=HELD_LIMIT, startup=STARTUP, pause=PAUSE,
            lockstep=False, program_cpus=None, helper_cpus=None, env=None, seed=57):
    """Runs argv with pieces + 1 pieces of `size` random bytes (the first
    untimed) and returns a Run; `copies` says the program copies instead of
    encoding. With lockstep, a piece is written only once
    the one before it completed or was held (and its pause is over), so that
    no two pieces can meet in one read."""
    rng = random.Random(seed)
    sent = bytearray()
    decoder = (Copy if copies else Decoder)(sent)
    ends, written, done = [], [], []
    timed_held = 0
    first_open = 0  # the first piece neither complete nor held
    next_due = 0.0
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

    try:
        while True:
            now = time.perf_counter()
            if may_send() and now >= next_due:
                piece = rng.randbytes(size)
                sent += piece
                ends.append(len(sent))
                done.append(None)
                written.append(time.perf_counter())
                os.write(in_fd, piece)
                next_due = written[-1] + rng.uniform(*pause)
            # Output already there counts before any piece is judged: a pass
            # that comes late (this process descheduled) must not make a
            # piece held whose encoding had arrived.
            take_output(0)
            # Holds: pieces are written in order, so the oldest open one is
            # the first to expire. The run stops at held_limit exactly, however
            # many pieces expired since the last pass.
            now = time.perf_counter()
            while first_open < len(written) and timed_held < held_limit:
                if done[first_open] is not None:
                    first_open += 1
                elif now - written[first_open] > (startup if first_open == 0 else cap):
                    timed_held += first_open > 0
                    done[first_open] = False
                    first_open += 1
                else:
                    break
            if timed_held >= held_limit or first_open == total:
                break
            deadlines = [next_due] if may_send() else []
            if first_open < len(written):
                deadlines.append(written[first_open] + (startup if first_open == 0 else cap))
            take_output(max(0.0, min(deadlines) - time.perf_counter()) if deadlines else cap)
        bytes_covered = decoder.covered
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
    if decoder.covered != len(sent):
        raise RuntimeError(f"{argv[0]} wrote the encoding of {decoder.covered} of {len(sent)} bytes")
    latencies = [t - w for t, w in zip(done[1:], written[1:]) if t]
    exact = sum(decoder.exact(ends[i] - size, ends[i]) for i in range(1, len(written)) if done[i])
    return Run(latencies, len(written) - 1, len(sent), bytes_covered, timed_held, exact)


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
