"""Checks that tests/bench/latency.py measures what its report says, not how fast
anything is: every piece is matched to its own lines byte for byte, a program
that buffers is reported as holding exactly the bytes it held, and output
that is not the input's encoding is an error, not a figure.

Usage: test_latency.py B64FILTER   (the host build; ctest passes it)
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import latency  # noqa: E402

FILTER = None
PY = sys.executable


def python(program):
    return [PY, "-c", program]


# Encodes whole blocks of 30 bytes only: it holds up to 29.
BLOCKS_OF_30 = python(
    "import base64, sys\n"
    "while block := sys.stdin.buffer.read(30):\n"
    "    sys.stdout.buffer.write(base64.b64encode(block) + b'\\n'); sys.stdout.buffer.flush()\n")


# Encodes each read, but only `delay` seconds after it.
def slow(delay):
    return python(
        "import base64, os, time\n"
        "while data := os.read(0, 57):\n"
        f"    time.sleep({delay}); os.write(1, base64.b64encode(data) + b'\\n')\n")


# Encodes each read with its first byte changed.
WRONG = python(
    "import base64, os\n"
    "while data := os.read(0, 57):\n"
    "    os.write(1, base64.b64encode(bytes([data[0] ^ 1]) + data[1:]) + b'\\n')\n")
# Decodes each group of four characters as soon as it has them.
GROUP_DECODER = python(
    "import base64, os\n"
    "held = b''\n"
    "while data := os.read(0, 4096):\n"
    "    held += data.replace(b'\\r', b'').replace(b'\\n', b'')\n"
    "    whole = len(held) // 4 * 4\n"
    "    os.write(1, base64.b64decode(held[:whole])); held = held[whole:]\n")
# Decodes a line once it has all of it.
LINE_DECODER = python(
    "import base64, sys\n"
    "for line in sys.stdin.buffer:\n"
    "    sys.stdout.buffer.write(base64.b64decode(line)); sys.stdout.buffer.flush()\n")
# Encodes the first 5 bytes, then swallows the rest.
LOSES_DATA = ["sh", "-c", "head -c 5 | base64 -w 76; cat >/dev/null"]


class Matching(unittest.TestCase):
    def test_each_piece_comes_as_its_own_lines(self):
        for size in (1, 10, 57, 100):
            run = latency.measure([FILTER], size, 8, lockstep=True)
            self.assertFalse(run.held, size)
            self.assertEqual((run.pieces_sent, len(run.latencies), run.exact_pieces), (8, 8, 8), size)
            self.assertEqual(run.bytes_covered, 9 * size)
            self.assertTrue(all(t > 0 for t in run.latencies))

    def test_paced_writes_without_waiting_cover_every_byte(self):
        for argv, copies in (([FILTER], False), (["cat"], True)):
            run = latency.measure(argv, 100, 30, copies=copies)
            self.assertEqual((run.held_pieces, len(run.latencies), run.bytes_covered), (0, 30, 3100), argv)

    def test_latency_is_taken_when_the_line_arrives(self):
        run = latency.measure(slow(0.05), 10, 5, lockstep=True)
        self.assertFalse(run.held)
        self.assertGreaterEqual(min(run.latencies), 0.05)

    def test_a_late_answer_is_late_not_held(self):
        # Asleep, not reading: however long it takes, the piece is coming.
        run = latency.measure(slow(0.7), 10, 2, lockstep=True)
        self.assertEqual((run.held_pieces, len(run.latencies)), (0, 2))
        self.assertGreaterEqual(min(run.latencies), 0.7)


class Holding(unittest.TestCase):
    def test_a_buffering_peer_holds_everything_written(self):
        # Written without pauses, several pieces are open when it is seen
        # waiting for input: the count stops at the limit all the same. (How
        # many were written by then is the scheduler's.)
        run = latency.measure(["base64", "-w", "76"], 10, 8, pause=(0, 0))
        self.assertEqual((run.held_pieces, run.latencies), (3, []))
        self.assertEqual((run.bytes_sent, run.held_bytes), (10 * (run.pieces_sent + 1),) * 2)
        self.assertGreaterEqual(run.pieces_sent, 3)

    def test_only_bytes_without_their_encoding_are_held(self):
        # Bytes 0-30 come out with the third piece, as one line that is not
        # that piece's own; 30-50 never do. (The untimed first piece is
        # held too.)
        run = latency.measure(BLOCKS_OF_30, 10, 8, lockstep=True)
        self.assertEqual((run.held_pieces, run.pieces_sent, len(run.latencies), run.exact_pieces), (3, 4, 1, 0))
        self.assertEqual((run.bytes_sent, run.bytes_covered, run.held_bytes), (50, 30, 20))


class Decoding(unittest.TestCase):
    def test_a_decoder_that_writes_each_whole_group_holds_nothing(self):
        # One character in four makes a group whole: the others have nothing
        # to wait for, and are not timed.
        for size, timed in ((1, 7), (10, 30), (78, 30), (100, 30)):
            run = latency.measure(GROUP_DECODER, size, 30, decodes=True, lockstep=size < 78)
            self.assertEqual((run.held_pieces, run.held_bytes, len(run.latencies)), (0, 0, timed), size)

    def test_a_decoder_that_waits_for_the_line_holds_its_groups(self):
        # The first piece is a whole line (57 bytes); each of the next three
        # adds 10 characters of the second, whose 7 whole groups (21 bytes)
        # it sits on.
        run = latency.measure(LINE_DECODER, 10, 8, decodes=True, lockstep=True)
        self.assertEqual((run.held_pieces, run.pieces_sent, run.latencies), (3, 3, []))
        self.assertEqual((run.bytes_sent, run.bytes_covered, run.held_bytes), (78, 57, 21))


class Faults(unittest.TestCase):
    def test_output_that_is_not_the_encoding_is_an_error(self):
        with self.assertRaisesRegex(RuntimeError, "do not decode to what was sent"):
            latency.measure(WRONG, 10, 3)
        with self.assertRaisesRegex(RuntimeError, "wrote the encoding of 5 of 40 bytes"):
            latency.measure(LOSES_DATA, 10, 3)
        with self.assertRaisesRegex(RuntimeError, "malformed"):
            latency.measure(["cat"], 5, 3)

    def test_a_program_that_neither_answers_nor_reads_is_a_hang(self):
        # The guard's time only ends the run: sleep never reads its input.
        with self.assertRaisesRegex(RuntimeError, "neither completed piece 0 nor waited for more input"):
            latency.measure(["sleep", "60"], 10, 3, startup=0.5)


class Percentile(unittest.TestCase):
    def test_nearest_rank(self):
        values = list(range(200, 0, -1))
        self.assertEqual([latency.percentile(values, p) for p in (50, 99, 100)], [100, 198, 200])
        self.assertEqual(latency.percentile([7], 99), 7)


if __name__ == "__main__":
    FILTER = os.path.abspath(sys.argv.pop(1))
    unittest.main()
