"""End-to-end tests of one real b64filter binary: the host build, or the
Windows image under Wine (harness.target_from_environment() says which).

    B64FILTER_E2E_TARGET=host B64FILTER_E2E_BINARY=build/host/b64filter \\
        /usr/bin/python3 tests/e2e/test_filter.py
"""

import os
import random
import tempfile
import unittest

import harness

TARGET = harness.TARGET

# Fixed seeds: a failure names data that can be made again.
RANDOM = random.Random(20261208)


def random_bytes(count):
    return bytes(RANDOM.getrandbits(8) for _ in range(count)) if count < 4096 \
        else RANDOM.randbytes(count)


def line_lengths(size):
    """Bytes of each line that a regular file of `size` bytes gives."""
    full, rest = divmod(size, harness.CHUNK_BYTES)
    return [78] * full + ([4 * -(-rest // 3) + 2] if rest else [])


class Files(unittest.TestCase):
    """A regular file as standard input: reads of 57 bytes, one line each."""

    def check_file(self, size, **arrangement):
        data = random_bytes(size)
        result = harness.run(TARGET, stdin=data, **arrangement)
        self.assertEqual(result.code, 0)
        self.assertEqual(result.stderr, b"")
        return data, result

    def test_sizes(self):
        for size in (0, 1, 2, 3, 55, 56, 57, 58, 100, 57 * 2, 57 * 37, 57 * 37 + 1):
            with self.subTest(size=size):
                data, result = self.check_file(size)
                lines = result.stdout.split(b"\r\n")[:-1] if size else []
                self.assertEqual([len(line) + 2 for line in lines], line_lengths(size))
                self.assertEqual(result.stdout.count(b"\r\n"), len(lines))
                self.assertEqual(result.stdout, harness.expected_output(data))
                self.assertEqual(b"".join(harness.decode_lines(result.stdout)), data)

    def test_one_hundred_bytes_are_two_lines(self):
        data, result = self.check_file(100)
        self.assertEqual(len(result.stdout), 78 + 62)
        self.assertEqual(result.stdout[76:78], b"\r\n")
        self.assertEqual(result.stdout[-4:], b"==\r\n")

    def test_megabytes_to_a_file(self):
        size = 3 * 1024 * 1024 + 5  # 55188 full lines and one of 4 characters
        out_path = os.path.join(self.tmp_dir(), "out.b64")
        data, result = self.check_file(size, stdout=out_path)
        with open(out_path, "rb") as out:
            written = out.read()
        pieces = harness.decode_lines(written)
        self.assertEqual([len(p) for p in pieces], [57] * (size // 57) + [size % 57])
        self.assertEqual(written, harness.expected_output(data))

    def tmp_dir(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        return directory.name


class Pipes(unittest.TestCase):
    """A pipe as standard input, fed in lockstep: each piece is written only
    after the line of the piece before it has come out."""

    def test_each_piece_is_its_own_line(self):
        cases = {
            "every padding": [1, 2, 3, 4, 5, 6],
            "full and nearly full": [57, 56, 55, 57],
        }
        for name, sizes in cases.items():
            with self.subTest(name), harness.start(TARGET) as filter_:
                for size in sizes:
                    piece = random_bytes(size)
                    filter_.send(piece)
                    line = filter_.read_line()
                    self.assertEqual(line, harness.expected_output(piece))
                    self.assertEqual(len(line), 4 * -(-size // 3) + 2)
                result = filter_.finish()
                self.assertEqual(result, (0, b"", b""))

    def test_two_pieces_of_ten_end_in_padding(self):
        with harness.start(TARGET) as filter_:
            lines = []
            for _ in range(2):
                filter_.send(random_bytes(10))
                lines.append(filter_.read_line())
            self.assertEqual([len(line) for line in lines], [18, 18])
            self.assertTrue(all(line.endswith(b"==\r\n") for line in lines))
            self.assertEqual(filter_.finish(), (0, b"", b""))

    def test_piece_longer_than_a_read_is_split_at_57(self):
        piece = random_bytes(100)
        with harness.start(TARGET) as filter_:
            filter_.send(piece)
            lines = [filter_.read_line(), filter_.read_line()]
            self.assertEqual(b"".join(lines), harness.expected_output(piece))
            self.assertEqual(filter_.finish(), (0, b"", b""))

    def test_writer_closing_at_once_is_an_empty_input(self):
        with harness.start(TARGET) as filter_:
            self.assertEqual(filter_.finish(), (0, b"", b""))


class Faults(unittest.TestCase):
    """Real failing calls: the exact message, its code as the exit code, what
    stays on standard output, and the same exit code and output when standard
    error cannot be written."""

    def test_faults(self):
        data = random_bytes(harness.FAULT_INPUT_BYTES)
        harness.check_faults(self, TARGET, harness.FAULTS, data, harness.expected_output(data))

    def test_unwritable_stderr_changes_nothing_in_a_clean_run(self):
        data = random_bytes(1000)
        for stderr in (harness.CLOSED, "/dev/full"):
            with self.subTest(stderr=stderr):
                result = harness.run(TARGET, stdin=data, stderr=stderr)
                self.assertEqual(result.code, 0)
                self.assertEqual(result.stdout, harness.expected_output(data))

    def test_a_failed_write_ends_the_reading(self):
        # The child shares the file's offset with us: one read of 57, no more.
        data = random_bytes(1000)
        with tempfile.TemporaryFile() as source:
            source.write(data)
            source.seek(0)
            result = harness.run(TARGET, stdin=source.fileno(), stdout="/dev/full")
            self.assertEqual(result.code, 112)
            self.assertEqual(os.lseek(source.fileno(), 0, os.SEEK_CUR), 57)


class AtATerminal(unittest.TestCase):
    """A pseudo-terminal as standard input and output, as a user's shell
    gives it (harness.typed_lines): each line typed shows its Base64 line at
    once, with the line's end encoded as the platform gives it, LF on the
    host and CR LF from Wine's console (or LF, as it sometimes hands a line
    on)."""

    def test_typed_lines(self):
        ends = (b"\r\n", b"\n") if TARGET.on_wine else (b"\n",)
        texts = (b"hello, terminal", b"a second line")
        code = harness.typed_lines(TARGET, [(text, [harness.expected_output(text + end).rstrip() for end in ends])
                                            for text in texts])
        if not TARGET.on_wine:
            self.assertEqual(code, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
