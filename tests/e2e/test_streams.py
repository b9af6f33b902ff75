"""Big, paced and hostile streams through a real binary (harness.TARGET).

- Big: B64FILTER_STREAM_MIB MiB (64 by default; 1024 for the long check) of
  random bytes from a file and from a pipe, decoded back line by line as the
  output arrives and compared by SHA-256.
- Paced: a writer that sends pieces of 1 to 200 bytes with short random
  pauses (B64FILTER_STREAM_PIECES of them: 3000 on the host, 300 under Wine);
  then the same kind of pieces in lockstep, each waited for, so that each
  piece of up to 57 bytes must be exactly one line.
- Back pressure: a reader that leaves standard output full and then drains
  it slowly, in small reads.
- Non-blocking standard input and output, and a non-blocking terminal that
  takes part of a line at a time (host build): the same output as with
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

    def check_decoded(self, result, decoder):
        self.assertEqual((result.code, result.stderr), (0, b""))
        self.assertEqual(decoder.bytes, self.size)
        self.assertEqual(decoder.sha256.hexdigest(), self.sha256)

    def test_from_a_file(self):
        # Reads of a file give 57 bytes each until the last.
        self.input.seek(0)
        decoder = harness.LineDecoder(whole_reads=True)
        with harness.start(TARGET, stdin=self.input.fileno()) as running:
            self.check_decoded(running.finish(decoder.drain, timeout=3600.0), decoder)
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
                    harness.write_all(fd, block)

        decoder = harness.LineDecoder(whole_reads=False)
        self.check_decoded(harness.fed_run(TARGET, feed, decoder.drain), decoder)


class PacedWriter(unittest.TestCase):

    def test_pieces_with_random_pauses(self):
        pieces = random_pieces(SEED + 2, PIECES)
        generator = random.Random(SEED + 3)
        pauses = [generator.choice((0, 0, 0.0002, 0.001, 0.003)) for _ in pieces]

        def feed(fd):
            for piece, pause in zip(pieces, pauses):
                harness.write_all(fd, piece)
                if pause:
                    time.sleep(pause)

        result = harness.fed_run(TARGET, feed, harness.read_to_end)
        self.assertEqual((result.code, result.stderr), (0, b""))
        decoded = harness.decode_lines(result.stdout)  # each line on its own
        self.assertEqual(b"".join(decoded), b"".join(pieces))
        # Reads are never joined, so pauses can only make more lines.
        self.assertGreaterEqual(len(decoded), -(-sum(map(len, pieces)) // harness.CHUNK_BYTES))

    def test_each_waited_for_piece_is_its_own_lines(self):
        # A piece is in the pipe whole before it is read (a write of up to
        # 4096 bytes to a pipe is atomic): it becomes reads of 57 and the rest.
        pieces = random_pieces(SEED + 4, PIECES)
        expected = b"".join(harness.expected_output(p) for p in pieces)
        self.assertEqual(harness.lockstep_run(TARGET, pieces), (0, expected, b""))


class BackPressure(unittest.TestCase):

    def test_slow_reader_loses_nothing(self):
        data = random.Random(SEED + 6).randbytes(2 * MIB)
        self.assertEqual(harness.slow_reader_run(TARGET, data, SMALL_PIPE),
                         (0, harness.expected_output(data), b""))


class NonBlockingDescriptors(unittest.TestCase):
    """O_NONBLOCK on the descriptors the filter is given: its reads and
    writes still wait, as Windows' synchronous calls do, and a write that a
    terminal takes only in part is finished, not reported as short."""

    def setUp(self):
        if TARGET.on_wine:
            self.skipTest("the host build's descriptors only")

    def test_full_nonblocking_output_waits(self):
        data = random.Random(SEED + 7).randbytes(2 * MIB)
        for output in (SMALL_PIPE._replace(nonblocking=True), harness.Terminal(nonblocking=True)):
            with self.subTest(output=output):
                self.assertEqual(harness.slow_reader_run(TARGET, data, output),
                                 (0, harness.expected_output(data), b""))

    def test_empty_nonblocking_input_waits(self):
        pieces = random_pieces(SEED + 8, 500)
        expected = b"".join(harness.expected_output(p) for p in pieces)
        self.assertEqual(harness.lockstep_run(TARGET, pieces, nonblocking=True), (0, expected, b""))


if __name__ == "__main__":
    unittest.main()
