"""Big, paced and hostile streams through a real binary: the filter
(harness.TARGET), and the decoder (harness.UNFILTER) given the filter's text
of the same bytes. Each class of checks runs for both (the decoder's are
named Unfilter...).

- Big: B64FILTER_STREAM_MIB MiB (64 by default; 1024 for the long check) of
  random bytes from a file and from a pipe, decoded back line by line as the
  output arrives (the decoder's output hashed as it comes) and compared by
  SHA-256.
- Paced: a writer that sends pieces of 1 to 200 bytes with short random
  pauses (B64FILTER_STREAM_PIECES of them: 3000 on the host, 300 under Wine);
  then the same kind of pieces in lockstep, each waited for, so that each
  piece of up to 57 bytes must be exactly one line, and each piece of text
  must give the decoder's bytes of the groups it completes at once.
- Back pressure: a reader that leaves standard output full and then drains
  it slowly, in small reads.
- Non-blocking standard input and output, and a non-blocking terminal that
  takes part of a write at a time (host build): the same output as with
  blocking descriptors.

Timeouts only break deadlocks; nothing here measures speed.
"""

import hashlib
import os
import random
import tempfile
import time
import unittest

import harness

MIB = 1 << 20
STREAM_MIB = int(os.environ.get("B64FILTER_STREAM_MIB", "64"))
SEED = int(os.environ.get("B64FILTER_STREAM_SEED", "4"))
TARGET = harness.TARGET
PIECES = int(os.environ.get("B64FILTER_STREAM_PIECES", "300" if TARGET.on_wine else "3000"))
# The least a Linux pipe holds: a full pipe comes soon.
SMALL_PIPE = harness.Pipe(capacity=4096)


def random_pieces(seed, count):
    generator = random.Random(seed)
    return [generator.randbytes(generator.randint(1, 200)) for _ in range(count)]


def cut(data, seed):
    """data in pieces of 1 to 200 bytes."""
    generator = random.Random(seed)
    pieces, start = [], 0
    while start < len(data):
        size = generator.randint(1, 200)
        pieces.append(data[start:start + size])
        start += size
    return pieces


class Digest:
    """The SHA-256 and count of everything read from a descriptor."""

    def __init__(self):
        self.sha256 = hashlib.sha256()
        self.bytes = 0

    def drain(self, fd):
        while True:
            data = os.read(fd, 1 << 20)
            if not data:
                return
            self.sha256.update(data)
            self.bytes += len(data)


class Filter:
    """The filter: it takes the bytes, and its output is checked line by line."""

    target = TARGET
    write_bytes = harness.LINE_BYTES

    @staticmethod
    def text(data):
        return data

    @staticmethod
    def output(data):
        """What the program writes for data from a file."""
        return harness.expected_output(data)

    @staticmethod
    def reader(whole_reads):
        return harness.LineDecoder(whole_reads)

    @staticmethod
    def decoded(output):
        return b"".join(harness.decode_lines(output))  # each line on its own

    @staticmethod
    def lockstep_run(pieces, nonblocking=False):
        """Result and expected output of the pieces sent in lockstep: a
        piece is in the pipe whole before it is read (a write of up to 4096
        bytes to a pipe is atomic): it becomes reads of 57 and the rest."""
        expected = b"".join(harness.expected_output(p) for p in pieces)
        return harness.lockstep_run(TARGET, pieces, nonblocking), expected


class Unfilter:
    """The decoder: it takes the filter's text, in lines of 76 and CR LF from
    reads of 57, and must give back exactly the bytes."""

    target = harness.UNFILTER
    # Its writes are of about 3000 bytes (a read of 4096 characters of
    # lines), more than half of SMALL_PIPE: once one is held, no other fits.
    write_bytes = SMALL_PIPE.capacity // 2

    @staticmethod
    def text(data):
        return harness.expected_output(data)

    @staticmethod
    def output(data):
        return data

    @staticmethod
    def reader(whole_reads):
        return Digest()

    @staticmethod
    def decoded(output):
        return output

    @staticmethod
    def lockstep_run(pieces, nonblocking=False):
        """The text of the pieces' bytes, cut anew into pieces of 1 to 200
        characters, each sent once the bytes of the groups it completes have
        come out: nothing is held back but an unfinished group."""
        data = b"".join(pieces)
        text = harness.expected_output(data)
        pipe = harness.Pipe(nonblocking=nonblocking)
        with harness.start(Unfilter.target, stdin=pipe, stdout=pipe) as running:
            out, groups = [], 0
            for piece in cut(text, len(pieces)):
                running.send(piece)
                groups += len(piece) - piece.count(b"\r") - piece.count(b"\n")
                whole = min(groups // 4 * 3, len(data))
                if whole > sum(map(len, out)):
                    out.append(running.read_output(whole - sum(map(len, out))))
            result = running.finish()
        return result._replace(stdout=b"".join(out) + result.stdout), data


def for_each_program(checks):
    """The checks as a test case of the filter (named as the checks) and one
    of the decoder (Unfilter + the name), skipped when no decoder is named."""
    name = "Unfilter" + checks.__name__

    def setUp(self):
        if Unfilter.target is None:
            self.skipTest("no decoder named (B64UNFILTER_E2E_BINARY)")
        checks.setUp(self)

    globals()[name] = type(name, (checks, unittest.TestCase), {"program": Unfilter, "setUp": setUp})
    return type(checks.__name__, (checks, unittest.TestCase), {"program": Filter})


class Checks:
    program = None

    def setUp(self):
        pass


@for_each_program
class BigStreams(Checks):
    """STREAM_MIB MiB of random bytes, kept in a file, never in memory whole.
    The decoder's input is their text made a MiB at a time, so a padded
    group ends each MiB but the last (1 MiB is not a multiple of 57 bytes)."""

    @classmethod
    def setUpClass(cls):
        if cls.program.target is None:
            return
        cls.size = STREAM_MIB * MIB
        cls.input = tempfile.TemporaryFile()
        digest = hashlib.sha256()
        generator = random.Random(SEED)
        for _ in range(STREAM_MIB):
            block = generator.randbytes(MIB)
            digest.update(block)
            cls.input.write(cls.program.text(block))
        cls.input.flush()
        cls.sha256 = digest.hexdigest()

    @classmethod
    def tearDownClass(cls):
        if cls.program.target is not None:
            cls.input.close()

    def check_decoded(self, result, reader):
        self.assertEqual((result.code, result.stderr), (0, b""))
        self.assertEqual(reader.bytes, self.size)
        self.assertEqual(reader.sha256.hexdigest(), self.sha256)

    def test_from_a_file(self):
        # Reads of a file give 57 bytes each until the last.
        self.input.seek(0)
        reader = self.program.reader(whole_reads=True)
        with harness.start(self.program.target, stdin=self.input.fileno()) as running:
            self.check_decoded(running.finish(reader.drain, timeout=3600.0), reader)
        if self.program is Filter:
            self.assertEqual(reader.lines, -(-self.size // harness.CHUNK_BYTES))

    def test_from_a_pipe(self):
        # Written in blocks of random size, so that a read of the pipe is
        # sometimes short; each read of the filter becomes a line of its own.
        def feed(fd):
            generator = random.Random(SEED + 1)
            with open(self.input.fileno(), "rb", closefd=False) as source:
                source.seek(0)
                while True:
                    block = source.read(generator.randint(1, 256 * 1024))
                    if not block:
                        return
                    harness.write_all(fd, block)

        reader = self.program.reader(whole_reads=False)
        self.check_decoded(harness.fed_run(self.program.target, feed, reader.drain), reader)


@for_each_program
class PacedWriter(Checks):

    def test_pieces_with_random_pauses(self):
        data = b"".join(random_pieces(SEED + 2, PIECES))
        pieces = cut(self.program.text(data), SEED + 5)
        generator = random.Random(SEED + 3)
        pauses = [generator.choice((0, 0, 0.0002, 0.001, 0.003)) for _ in pieces]

        def feed(fd):
            for piece, pause in zip(pieces, pauses):
                harness.write_all(fd, piece)
                if pause:
                    time.sleep(pause)

        result = harness.fed_run(self.program.target, feed, harness.read_to_end)
        self.assertEqual((result.code, result.stderr), (0, b""))
        self.assertEqual(self.program.decoded(result.stdout), data)
        if self.program is Filter:
            # Reads are never joined, so pauses can only make more lines.
            self.assertGreaterEqual(result.stdout.count(b"\r\n"),
                                    -(-len(data) // harness.CHUNK_BYTES))

    def test_each_waited_for_piece_comes_out(self):
        result, expected = self.program.lockstep_run(random_pieces(SEED + 4, PIECES))
        self.assertEqual(result, (0, expected, b""))


@for_each_program
class BackPressure(Checks):

    def test_slow_reader_loses_nothing(self):
        data = random.Random(SEED + 6).randbytes(2 * MIB)
        self.assertEqual(harness.slow_reader_run(self.program.target, self.program.text(data),
                                                 SMALL_PIPE, write_bytes=self.program.write_bytes),
                         (0, self.program.output(data), b""))


@for_each_program
class NonBlockingDescriptors(Checks):
    """O_NONBLOCK on the descriptors the program is given: its reads and
    writes still wait, as Windows' synchronous calls do, and a write that a
    terminal takes only in part is finished, not reported as short."""

    def setUp(self):
        if TARGET.on_wine:
            self.skipTest("the host build's descriptors only")

    def test_full_nonblocking_output_waits(self):
        data = random.Random(SEED + 7).randbytes(2 * MIB)
        for output in (SMALL_PIPE._replace(nonblocking=True), harness.Terminal(nonblocking=True)):
            with self.subTest(output=output):
                self.assertEqual(harness.slow_reader_run(self.program.target,
                                                         self.program.text(data), output,
                                                         write_bytes=self.program.write_bytes),
                                 (0, self.program.output(data), b""))

    def test_empty_nonblocking_input_waits(self):
        result, expected = self.program.lockstep_run(random_pieces(SEED + 8, 500), nonblocking=True)
        self.assertEqual(result, (0, expected, b""))


if __name__ == "__main__":
    unittest.main()
