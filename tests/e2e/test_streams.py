"""Big, paced and hostile streams through a real binary (the one that
harness.target_from_environment() names).

- Big: B64FILTER_STREAM_MIB MiB (64 by default; 1024 for the long check) of
  random bytes from a file and from a pipe, decoded back line by line as the
  output arrives and compared by SHA-256.
- Paced: a writer that sends pieces of 1 to 200 bytes with short random
  pauses (B64FILTER_STREAM_PIECES of them: 3000 on the host, 300 under Wine);
  then the same kind of pieces in lockstep, each waited for, so that each
  piece of up to 57 bytes must be exactly one line.
- Back pressure: a reader that leaves standard output full and then drains
  it slowly, in small reads.
- Non-blocking standard input and output (host build): the same output as
  with blocking descriptors.

Timeouts only break deadlocks; nothing here measures speed.
"""

import binascii
import fcntl
import hashlib
import os
import random
import select
import subprocess
import tempfile
import termios
import threading
import time
import unittest

import harness

MIB = 1 << 20
STREAM_MIB = int(os.environ.get("B64FILTER_STREAM_MIB", "64"))
SEED = int(os.environ.get("B64FILTER_STREAM_SEED", "4"))
SMALL_PIPE = 4096  # the least a Linux pipe holds: a full pipe comes soon
TIMEOUT = 3600.0  # a deadlock breaker only
LINE_TIMEOUT = 60.0  # for the line of a piece sent in lockstep; also a deadlock breaker

TARGET = None


def setUpModule():
    global TARGET
    TARGET = harness.target_from_environment()


def pieces_count():
    default = "3000" if TARGET.name == "host" else "300"
    return int(os.environ.get("B64FILTER_STREAM_PIECES", default))


def spawn(target, stdin, stdout, stderr=subprocess.PIPE):
    """Starts target on descriptors (or files) of ours. Our copies of the
    descriptors handed over are the caller's to close."""
    return subprocess.Popen(target.argv, env=target.environment(), stdin=stdin, stdout=stdout,
                            stderr=stderr)


def set_nonblocking(fd):
    fcntl.fcntl(fd, fcntl.F_SETFL, fcntl.fcntl(fd, fcntl.F_GETFL) | os.O_NONBLOCK)


def small_pipe():
    read_end, write_end = os.pipe()
    fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, SMALL_PIPE)
    return read_end, write_end


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


class LineDecoder:
    """Decodes output line by line as it comes, in blocks, without keeping
    it: the SHA-256 and count of the bytes the lines stand for, the count of
    lines. Every line must be canonical Base64 of 4 to 76 characters ending
    in CR LF; with `whole_reads`, every line but the last must be 76."""

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
        lengths = set(map(len, lines))
        bad = [n for n in lengths if not 4 <= n <= harness.LINE_CHARS or n % 4]
        if bad:
            raise AssertionError("line of %d characters after line %d" % (bad[0], self.lines))
        if self.whole_reads:
            if self.last_short is not None:
                raise AssertionError("line %d is short but not the last" % self.last_short)
            short = [i for i, line in enumerate(lines) if len(line) != harness.LINE_CHARS]
            if short and short != [len(lines) - 1]:
                raise AssertionError("short line %d inside a file's output" % (self.lines + short[0]))
            if short:
                self.last_short = self.lines + short[0]
        try:
            pieces = [binascii.a2b_base64(line, strict_mode=True) for line in lines]
        except binascii.Error as error:
            raise AssertionError("line after line %d is not Base64: %s" % (self.lines, error))
        # Encoding back catches bits set past the data in a padded line.
        if b"".join(binascii.b2a_base64(p, newline=False) for p in pieces) != b"".join(lines):
            raise AssertionError("a line after line %d is not canonical Base64" % self.lines)
        data = b"".join(pieces)
        self.sha256.update(data)
        self.bytes += len(data)
        self.lines += len(lines)

    def finish(self):
        if self._pending:
            raise AssertionError("output ends inside a line: %r" % self._pending[:80])


def drain(fd, decoder):
    while True:
        data = os.read(fd, MIB)
        if not data:
            return
        decoder.feed(data)


def collect(fd):
    chunks = []
    while True:
        data = os.read(fd, 65536)
        if not data:
            return b"".join(chunks)
        chunks.append(data)


def pipe_run(target, feed, consume):
    """target between two pipes of ours: feed(fd) writes its input from a
    thread of its own (the pipe is closed after it), while consume(fd) reads
    its output. (exit code, what consume returned, standard error)."""
    in_read, in_write = os.pipe()
    out_read, out_write = os.pipe()
    process = spawn(target, in_read, out_write)
    os.close(in_read)
    os.close(out_write)

    def write_then_close():
        try:
            feed(in_write)
        finally:
            os.close(in_write)

    writer = threading.Thread(target=write_then_close)
    writer.start()
    try:
        consumed = consume(out_read)
        errors = process.stderr.read()
        return process.wait(timeout=TIMEOUT), consumed, errors
    finally:
        writer.join()
        os.close(out_read)
        process.stderr.close()


class BigStreams(unittest.TestCase):
    """STREAM_MIB MiB of random bytes, kept in a file, never in memory whole."""

    @classmethod
    def setUpClass(cls):
        cls.size = STREAM_MIB * MIB
        cls.input = tempfile.TemporaryFile()
        digest = hashlib.sha256()
        generator = random.Random(SEED)
        for _ in range(STREAM_MIB):
            block = generator.randbytes(MIB)
            digest.update(block)
            cls.input.write(block)
        cls.input.flush()
        cls.sha256 = digest.hexdigest()

    @classmethod
    def tearDownClass(cls):
        cls.input.close()

    def check_decoded(self, code, decoder, errors):
        decoder.finish()
        self.assertEqual((code, errors), (0, b""))
        self.assertEqual(decoder.bytes, self.size)
        self.assertEqual(decoder.sha256.hexdigest(), self.sha256)

    def test_from_a_file(self):
        # Reads of a file give 57 bytes each until the last.
        self.input.seek(0)
        read_end, write_end = os.pipe()
        process = spawn(TARGET, self.input, write_end)
        os.close(write_end)
        decoder = LineDecoder(whole_reads=True)
        try:
            drain(read_end, decoder)
            errors = process.stderr.read()
            self.check_decoded(process.wait(timeout=TIMEOUT), decoder, errors)
        finally:
            os.close(read_end)
            process.stderr.close()
        self.assertEqual(decoder.lines, -(-self.size // harness.CHUNK_BYTES))

    def test_from_a_pipe(self):
        # Written in blocks of random size, so that a read of the pipe is
        # sometimes short; each read becomes a line of its own.
        def feed(fd):
            generator = random.Random(SEED + 1)
            with open(self.input.fileno(), "rb", closefd=False) as source:
                source.seek(0)
                while True:
                    block = source.read(generator.randint(1, 256 * 1024))
                    if not block:
                        return
                    write_all(fd, block)

        decoder = LineDecoder(whole_reads=False)
        code, _, errors = pipe_run(TARGET, feed, lambda fd: drain(fd, decoder))
        self.check_decoded(code, decoder, errors)


def random_pieces(seed, count):
    generator = random.Random(seed)
    return [generator.randbytes(generator.randint(1, 200)) for _ in range(count)]


class PacedWriter(unittest.TestCase):

    def test_pieces_with_random_pauses(self):
        pieces = random_pieces(SEED + 2, pieces_count())
        generator = random.Random(SEED + 3)
        pauses = [generator.choice((0, 0, 0.0002, 0.001, 0.003)) for _ in pieces]

        def feed(fd):
            for piece, pause in zip(pieces, pauses):
                write_all(fd, piece)
                if pause:
                    time.sleep(pause)

        code, output, errors = pipe_run(TARGET, feed, collect)
        self.assertEqual((code, errors), (0, b""))
        decoded = harness.decode_lines(output)  # each line on its own
        self.assertEqual(b"".join(decoded), b"".join(pieces))
        # Reads are never joined, so pauses can only make more lines.
        self.assertGreaterEqual(len(decoded), -(-sum(map(len, pieces)) // harness.CHUNK_BYTES))

    def test_each_waited_for_piece_is_its_own_lines(self):
        # A piece is in the pipe whole before it is read (a write of up to
        # 4096 bytes to a pipe is atomic): it becomes reads of 57 and the rest.
        pieces = random_pieces(SEED + 4, pieces_count())
        expected = b"".join(harness.expected_output(p) for p in pieces)
        self.assertEqual(lockstep_run(TARGET, pieces, nonblocking=False), (0, expected, b""))


def wait_until_full(fd, capacity, timeout=TIMEOUT):
    """Waits until the pipe read through fd holds all but less than one line
    of its capacity: the writer is held up by us."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        held = fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0")
        if int.from_bytes(held, "little") > capacity - harness.LINE_CHARS - 2:
            return
        time.sleep(0.01)
    raise AssertionError("standard output never filled")


def slow_reader_run(target, data, nonblocking):
    """The filter reads data from a file and writes to a small pipe that we
    leave full, then drain in small reads with pauses. (code, output, errors)."""
    with tempfile.TemporaryFile() as source:
        source.write(data)
        source.seek(0)
        read_end, write_end = small_pipe()
        if nonblocking:
            set_nonblocking(write_end)
        process = spawn(target, source, write_end)
        os.close(write_end)
        try:
            wait_until_full(read_end, SMALL_PIPE)
            generator = random.Random(SEED + 5)
            chunks = []
            while True:
                chunk = os.read(read_end, generator.randint(1, 2048))
                if not chunk:
                    break
                chunks.append(chunk)
                if generator.random() < 0.01:
                    time.sleep(0.002)
            errors = process.stderr.read()
            return process.wait(timeout=TIMEOUT), b"".join(chunks), errors
        finally:
            os.close(read_end)
            process.stderr.close()


def lockstep_run(target, pieces, nonblocking):
    """The pieces in lockstep through pipes of ours. (code, lines, errors)."""
    in_read, in_write = os.pipe()
    out_read, out_write = os.pipe()
    if nonblocking:
        set_nonblocking(in_read)
        set_nonblocking(out_write)
    process = spawn(target, in_read, out_write)
    os.close(in_read)
    os.close(out_write)
    pending = b""
    lines = []
    try:
        for piece in pieces:
            write_all(in_write, piece)
            got = 0
            while got < len(piece):
                while b"\r\n" not in pending:
                    if not select.select([out_read], [], [], LINE_TIMEOUT)[0]:
                        raise AssertionError("no line for a piece within %gs" % LINE_TIMEOUT)
                    data = os.read(out_read, 65536)
                    if not data:
                        raise AssertionError("output ended after %d lines" % len(lines))
                    pending += data
                end = pending.index(b"\r\n") + 2
                lines.append(pending[:end])
                got += len(harness.decode_lines(pending[:end])[0])
                pending = pending[end:]
        os.close(in_write)
        in_write = None
        rest = collect(out_read)
        errors = process.stderr.read()
        return process.wait(timeout=TIMEOUT), b"".join(lines) + pending + rest, errors
    finally:
        if in_write is not None:
            os.close(in_write)
        os.close(out_read)
        process.stderr.close()


class BackPressure(unittest.TestCase):

    def test_slow_reader_loses_nothing(self):
        data = random.Random(SEED + 6).randbytes(2 * MIB)
        self.assertEqual(slow_reader_run(TARGET, data, nonblocking=False),
                         (0, harness.expected_output(data), b""))


class NonBlockingDescriptors(unittest.TestCase):
    """O_NONBLOCK on the descriptors the filter is given: its reads and
    writes still wait, as Windows' synchronous calls do."""

    def setUp(self):
        if TARGET.name != "host":
            self.skipTest("the host build's descriptors only")

    def test_full_nonblocking_output_waits(self):
        data = random.Random(SEED + 7).randbytes(2 * MIB)
        self.assertEqual(slow_reader_run(TARGET, data, nonblocking=True),
                         (0, harness.expected_output(data), b""))

    def test_empty_nonblocking_input_waits(self):
        pieces = random_pieces(SEED + 8, 500)
        expected = b"".join(harness.expected_output(p) for p in pieces)
        self.assertEqual(lockstep_run(TARGET, pieces, nonblocking=True), (0, expected, b""))


if __name__ == "__main__":
    unittest.main()
