"""End-to-end tests of the decoder, b64unfilter, as real processes: the host
build, or the Windows image under Wine (harness.UNFILTER), with the filter
of the same platform (harness.TARGET) where its text is wanted.

    B64FILTER_E2E_TARGET=host B64FILTER_E2E_BINARY=build/host/b64filter \\
    B64UNFILTER_E2E_BINARY=build/host/b64unfilter /usr/bin/python3 tests/e2e/test_unfilter.py

- The filter's text decodes to every byte that went in: from a file, from
  a pipe fed as `tar cf -` writes (records of 10240 bytes), whose text has
  padded lines in the middle, and from tar itself.
- Text from GNU base64, OpenSSL and Python decodes.
- Invalid text and text that ends inside a group: the exact message and
  exit code, and the bytes before it written.
- The fault table, as for the filter.
- Through a pipe and at a terminal, a group's bytes come out as soon as it
  is whole, before the input ends.
- Text as Windows saves it decodes: from a file written as PowerShell's
  Out-File writes it (mark FF FE, UTF-16LE, CR LF), and as Notepad saves it
  (UTF-8 with its mark, UTF-16LE and BE with theirs); a unit of UTF-16 that
  is no Base64 character, and half a unit at the end, are named where they
  stand.
"""

import base64
import os
import random
import subprocess
import tempfile
import unittest

import harness

ENCODER = harness.TARGET
DECODER = harness.UNFILTER

# The decoder reads 4096 characters at a time; unbroken text gives 3072 bytes a read.
READ_CHARS = 4096
READ_BYTES = READ_CHARS // 4 * 3
# The record `tar cf -` writes: 20 blocks of 512 bytes.
TAR_RECORD = 10240

RANDOM = random.Random(20261209)


def setUpModule():
    if DECODER is None:
        raise unittest.SkipTest("no decoder named (B64UNFILTER_E2E_BINARY)")


def invalid(line, column):
    return harness.messages("Invalid Base64 input at line %d, column %d" % (line, column))


def inside(line, column):
    return harness.messages("Base64 input ends inside a group at line %d, column %d" % (line, column))


def lines_of(data, width=76, end=b"\r\n"):
    text = base64.b64encode(data)
    return b"".join(text[i:i + width] + end for i in range(0, len(text), width))


def encoded_by(argv, data):
    return subprocess.run(argv, input=data, stdout=subprocess.PIPE, check=True).stdout


def through_a_pipe(source, data_arrangement):
    """The filter reading data_arrangement (bytes, a descriptor, or a Pipe
    fed by `source(fd)`) and writing into a pipe that the decoder
    reads: (the decoder's Result, the filter's Result). A source writes
    all before any output is read, so what it writes must fit in the pipes."""
    read_end, write_end = os.pipe()
    try:
        decoder = harness.start(DECODER, stdin=read_end, stdout=harness.CAPTURE)
    finally:
        os.close(read_end)
    with decoder:
        try:
            encoder = harness.start(ENCODER, stdin=data_arrangement, stdout=write_end)
        finally:
            os.close(write_end)
        with encoder:
            if source is None:
                # The decoder's output is read first: it ends when the filter's does.
                return decoder.finish(), encoder.finish()
            feed = encoder.hand_over_input()
            try:
                source(feed)
            finally:
                os.close(feed)
            return decoder.finish(), encoder.finish()


def as_tar_writes(data):
    """A feed of data in records of 10240 bytes, each written once the
    filter has read the one before: its last read of a record is short,
    so its line is padded, in the middle of the text."""
    def feed(fd):
        for start in range(0, len(data), TAR_RECORD):
            harness.write_all(fd, data[start:start + TAR_RECORD])
            harness.wait_until_read(fd)
    return feed


class RoundTrip(unittest.TestCase):
    """b64filter < f | b64unfilter gives back f."""

    def check(self, results, data):
        decoded, encoded = results
        self.assertEqual((encoded.code, encoded.stderr), (0, b""))
        self.assertEqual((decoded.code, decoded.stderr), (0, b""))
        self.assertEqual(len(decoded.stdout), len(data))
        self.assertEqual(decoded.stdout, data)

    def test_from_a_file(self):
        # 2991 and 2994 bytes are 4094 and 4098 characters: one read, and a
        # second read of CR LF alone; the reads of a few MiB end at every
        # even position of a line, inside groups too.
        for size in (0, 1, 2, 57, 58, 2991, 2994, 3 * 1024 * 1024 + 5):
            with self.subTest(size=size):
                data = RANDOM.randbytes(size)
                self.check(through_a_pipe(None, data), data)

    def test_from_a_pipe_as_tar_writes(self):
        data = RANDOM.randbytes(3 * TAR_RECORD + 100)
        # The text itself has padded lines in the middle: the case other
        # decoders get wrong.
        text = harness.fed_run(ENCODER, as_tar_writes(data), harness.read_to_end).stdout
        self.assertGreaterEqual(text[:-4].count(b"=\r\n"), 3)
        self.check(through_a_pipe(as_tar_writes(data), harness.PIPE), data)

    def test_from_tar_itself(self):
        # tar writing into the filter's pipe as fast as it can: where its
        # records fall in the filter's reads is the scheduler's, and any of
        # it must decode. The archive of the same files is the same bytes.
        with tempfile.TemporaryDirectory() as directory:
            for index, size in enumerate((0, 1, 511, 512, 10000, 25000)):
                with open(os.path.join(directory, "file%d" % index), "wb") as f:
                    f.write(RANDOM.randbytes(size))
            tar = ["tar", "cf", "-", "-C", directory, "."]
            archive = subprocess.run(tar, stdout=subprocess.PIPE, check=True).stdout
            read_end, write_end = os.pipe()
            with subprocess.Popen(tar, stdout=write_end) as writer:
                os.close(write_end)
                try:
                    results = through_a_pipe(None, read_end)
                finally:
                    os.close(read_end)
            self.assertEqual(writer.returncode, 0)
        self.check(results, archive)


class OtherEncoders(unittest.TestCase):
    """Text made by other programs, in their line widths and ends, decodes."""

    ENCODERS = {
        "base64": ["base64"],
        "base64 -w 0": ["base64", "-w", "0"],
        "base64 -w 1": ["base64", "-w", "1"],
        "openssl base64": ["openssl", "base64"],
        "openssl base64 -A": ["openssl", "base64", "-A"],
        "Python encodebytes": ["/usr/bin/python3", "-c",
                               "import base64, sys; sys.stdout.buffer.write("
                               "base64.encodebytes(sys.stdin.buffer.read()))"],
    }

    def test_each_encoder(self):
        for size in (1, 2, 3, 5000):
            data = RANDOM.randbytes(size)
            for name, argv in self.ENCODERS.items():
                with self.subTest(name, size=size):
                    result = harness.run(DECODER, stdin=encoded_by(argv, data))
                    self.assertEqual(result, (0, data, b""))

    def test_line_widths_and_ends(self):
        data = RANDOM.randbytes(1000)
        for width, end in ((64, b"\r\n"), (76, b"\n"), (7, b"\r\n"), (1, b"\n"), (5, b"\r")):
            with self.subTest(width=width, end=end):
                self.assertEqual(harness.run(DECODER, stdin=lines_of(data, width, end)),
                                 (0, data, b""))


class Rejected(unittest.TestCase):
    """The first byte that cannot stand where it is ends the run: the bytes
    of the groups before it are written, then the message with its line
    and column (every byte counts, CR too), exit code 13; text that ends
    inside a group gives the position of the group's first character and
    38. Both codes are below 256, so the image under Wine exits with them too."""

    CASES = [
        # text, bytes written, message, exit code
        (b"", b"", b"", 0),
        (b"\r\n\n\r\r\n", b"", b"", 0),
        (b"QQ==QQ==\r\nQUJD", b"AAABC", b"", 0),
        (b"QUJD\r\nREVG\r\nR0g*", b"ABCDEF", invalid(3, 4), 13),
        (b"QUJD REVG", b"ABC", invalid(1, 5), 13),
        (b"QUJD\r\nRE\r\nVG\r\n\r\x00", b"ABCDEF", invalid(4, 2), 13),
        (b"QUJD\tQ", b"ABC", invalid(1, 5), 13),
        (b"QUJDQ_==", b"ABC", invalid(1, 6), 13),
        (b"QUJD\r\nQQ\x80=", b"ABC", invalid(2, 3), 13),
        (b"=QUJ", b"", invalid(1, 1), 13),
        (b"QUJDQ=UJ", b"ABC", invalid(1, 6), 13),
        (b"QQ=A", b"", invalid(1, 4), 13),
        (b"QUJD===", b"ABC", invalid(1, 5), 13),
        (b"QUJD\xff", b"ABC", invalid(1, 5), 13),
        (b"QUJDQ-==", b"ABC", invalid(1, 6), 13),
        (b"QUJDQQ", b"ABC", inside(1, 5), 38),
        (b"QQ=", b"", inside(1, 1), 38),
        (b"QUJD\r\nQU\r\nJ\r\n", b"ABC", inside(2, 1), 38),
    ]

    def test_cases(self):
        for text, written, message, code in self.CASES:
            with self.subTest(text=text):
                self.assertEqual(harness.run(DECODER, stdin=text), (code, written, message))

    def test_past_the_first_reads(self):
        # The filter's lines for 10000 bytes span three reads of the decoder:
        # the first two reads' bytes come from writes of their own, the rest
        # of the lines before the fault from the third.
        data = RANDOM.randbytes(10000)
        text = harness.expected_output(data)
        lines = text.count(b"\r\n")
        for tail, message, code in ((b"QU*", invalid(lines + 1, 3), 13),
                                    (b"\r\nQUJ", inside(lines + 2, 1), 38),
                                    (b"A", inside(lines + 1, 1), 38)):
            with self.subTest(tail=tail):
                self.assertEqual(harness.run(DECODER, stdin=text + tail), (code, data, message))

    def test_a_long_line_counts_its_columns(self):
        data = RANDOM.randbytes(6 * READ_BYTES)
        text = base64.b64encode(data)
        self.assertEqual(harness.run(DECODER, stdin=text + b"\x1a"),
                         (13, data, invalid(1, len(text) + 1)))


class Pipes(unittest.TestCase):
    """Pieces sent one at a time, each after the output of the one before:
    a group's bytes come out as soon as it is whole, before the input ends."""

    def test_groups_come_out_as_they_complete(self):
        # A piece that completes no group writes nothing: the next piece's
        # bytes would show what it wrote.
        with harness.start(DECODER) as decoder:
            for piece, shown in ((b"SGVs", b"Hel"), (b"bG8s\r\nIHBp", b"lo, pi"), (b"c", b""),
                                 (b"GUh", b"pe!"), (b"\r", b""), (b"Cg==", b"\n")):
                decoder.send(piece)
                if shown:
                    self.assertEqual(decoder.read_output(len(shown)), shown)
            self.assertEqual(decoder.finish(), (0, b"", b""))

    def test_a_fault_in_a_later_piece(self):
        with harness.start(DECODER) as decoder:
            decoder.send(b"QUJD\r\n")
            self.assertEqual(decoder.read_output(3), b"ABC")
            decoder.send(b"RE*")
            self.assertEqual(decoder.finish(), (13, b"", invalid(2, 3)))


def saved_as(encoding, text):
    """Text as Windows saves it in an encoding, its byte-order mark first."""
    marks = {"utf-8": b"\xef\xbb\xbf", "utf-16-le": b"\xff\xfe", "utf-16-be": b"\xfe\xff"}
    return marks[encoding] + text.decode("ascii").encode(encoding)


class SavedByWindows(unittest.TestCase):
    """Base64 text that went through PowerShell or Notepad, read from a
    file as `b64unfilter < file` reads it: the byte-order mark is skipped
    and not counted, and UTF-16 is read a unit a character."""

    def decode_file(self, content):
        with tempfile.TemporaryFile() as source:
            source.write(content)
            source.seek(0)
            return harness.run(DECODER, stdin=source.fileno())

    def test_out_file(self):
        # Windows PowerShell 5.1: `Get-Content photo.b64 | Out-File copy.b64`
        # writes each line in UTF-16LE after FF FE, and ends each with CR LF.
        # The file spans several of the decoder's reads.
        data = RANDOM.randbytes(3 * READ_BYTES + 100)
        lines = harness.expected_output(data).split(b"\r\n")[:-1]
        out_file = b"\xff\xfe" + b"".join(line.decode("ascii").encode("utf-16-le") + "\r\n".encode("utf-16-le")
                                          for line in lines)
        self.assertEqual(self.decode_file(out_file), (0, data, b""))

    def test_notepad(self):
        # Notepad's "UTF-8 with BOM", "Unicode" and "Unicode big endian", the
        # last line with no line end.
        data = RANDOM.randbytes(1000)
        text = lines_of(data)[:-2]
        for encoding in ("utf-8", "utf-16-le", "utf-16-be"):
            with self.subTest(encoding=encoding):
                self.assertEqual(self.decode_file(saved_as(encoding, text)), (0, data, b""))

    def test_rejected(self):
        # The mark is not counted: columns are the characters after it.
        le = "utf-16-le"
        for content, result in (
                # U+00E9 (E9 00) is no Base64 character, and U+2013 (13 20) none at all.
                (saved_as(le, b"QUJD\r\nQU") + "\u00e9D".encode(le), (13, b"ABC", invalid(2, 3))),
                (saved_as(le, b"QUJD\r\nQUJD\r\n") + "\u2013".encode(le), (13, b"ABCABC", invalid(3, 1))),
                # Half a unit at the end.
                (saved_as(le, b"QUJDQUJD") + b"Q", (13, b"ABCABC", invalid(1, 9))),
                (saved_as("utf-16-be", b"QUJD QUJD"), (13, b"ABC", invalid(1, 5))),
                (saved_as("utf-8", b"QUJD\r\nRE*"), (13, b"ABC", invalid(2, 3))),
                # A mark begun and broken; UTF-16 without its mark.
                (b"\xef\xbbQUJD", (13, b"", invalid(1, 1))),
                ("QUJD".encode(le), (13, b"", invalid(1, 2))),
                (saved_as(le, b"QUJDQU"), (38, b"ABC", inside(1, 5)))):
            with self.subTest(content=content):
                self.assertEqual(self.decode_file(content), result)


class Faults(unittest.TestCase):
    """The filter's fault table, run on the decoder: the same messages and
    codes, and where Wine's differ, for the same reasons (the table says
    why). The text has no line ends, so every read decodes to one write of
    3072 bytes, and the file-size limit falls after two of them, or inside
    the third."""

    def test_faults(self):
        data = RANDOM.randbytes(harness.FAULT_INPUT_BYTES)
        harness.check_faults(self, DECODER, harness.faults(READ_BYTES, 2), base64.b64encode(data), data)

    def test_a_failed_write_ends_the_reading(self):
        # The child shares the file's offset with us: one read, no more.
        with tempfile.TemporaryFile() as source:
            source.write(base64.b64encode(RANDOM.randbytes(3 * READ_BYTES)))
            source.seek(0)
            result = harness.run(DECODER, stdin=source.fileno(), stdout="/dev/full")
            self.assertEqual((result.code, result.stderr),
                             (112, harness.messages("WriteFile() returned error 112")))
            self.assertEqual(os.lseek(source.fileno(), 0, os.SEEK_CUR), READ_CHARS)


class AtATerminal(unittest.TestCase):
    """A pseudo-terminal as standard input and output, as a user's shell
    gives it: each line typed shows its bytes at once, before the input
    ends. The host build reads the terminal's lines as Linux gives them
    (LF for Enter) and ends at Ctrl+D. Under Wine the console reads the
    terminal in raw mode and gives CR LF for Enter; it needs ICRNL off, as
    ./b64filter sets it, and ends at Ctrl+C only."""

    def test_typed_lines(self):
        # The second line ends inside a group, which the third completes.
        # (Wine's console draws a space at the end of a write as a cursor
        # move, so no shown text ends in one.)
        code = harness.typed_lines(DECODER, [(b"aGVsbG8sIHRlcm1pbmFs", [b"hello, terminal"]),
                                             (b"bGluZSBpbiB0d2", [b"line in t"]), (b"8gcGFydHM=", [b"wo parts"])])
        if not DECODER.on_wine:
            self.assertEqual(code, 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
