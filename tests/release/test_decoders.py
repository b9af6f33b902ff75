"""What the decoders a user has make of the host build's output, held against
what each user's document says of them.

    /usr/bin/python3 tests/release/test_decoders.py BINARY DECODER

README.md, the manual page and docs/README.txt each have a decoding table:
a row per decoder, a cell for text made from a file (only the last line can
be short) and one for text with padded lines in the middle (made from a pipe
or the terminal). The three are one table, row for row and cell for cell,
and README's names every decoder the test runs, DECODER (the host build of
b64unfilter) first. Every cell is checked here against the real decoder on
the real binary's output: a cell the test has no check for, a decoder it
cannot run, or a claim that does not hold fails. The text from a
pipe is made as `tar cf - DIR | b64filter` makes it (pieces of 10240 bytes,
so OpenSSL has written something before it stops) and with small pieces.
The Windows decoders of docs/README.txt (certutil, .NET) are out of reach here.
"""

import base64
import collections
import os
import random
import subprocess
import sys
import unittest

import documents

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import harness  # noqa: E402

TARGET = DECODER = None
FILE_SIZES = (0, 1, 2, 57, 58, 3 * 1024 + 1, 8 * 1024)
PIECE_RUNS = {"as tar writes": (10240,) * 3 + (100,), "small": (5, 57, 1, 2, 40, 57, 3, 56)}


def pipe(argv, text):
    result = subprocess.run(argv, input=text, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            timeout=60)
    return result.returncode, result.stdout, result.stderr


def python_decode(text):
    return 0, base64.b64decode(b"".join(text.split())), b""


# Each takes the filter's output and gives (exit status, decoded bytes, standard error).
DECODERS = {
    "b64unfilter": lambda text: pipe([DECODER], text),
    "base64 -d": lambda text: pipe(["base64", "-d"], text),
    "base64 -d -i": lambda text: pipe(["base64", "-d", "-i"], text),
    "tr -d '\\r' | base64 -d": lambda text: pipe(["sh", "-c", "tr -d '\\r' | base64 -d"], text),
    "openssl base64 -d": lambda text: pipe(["openssl", "base64", "-d"], text),
    "Python, whole text": python_decode,
    "Python, line by line": lambda text: (0, b"".join(map(base64.b64decode, text.split())), b""),
}


class Sample(collections.namedtuple("Sample", "data text padded_start padded_end")):
    """Bytes, the filter's text of them, and where the bytes of the first
    padded line start and end (both len(data) when no line is padded)."""


def sample(data, lines):
    """The Sample of data whose lines (each a bytes line with CR LF) the filter wrote."""
    offset = 0
    for line in lines:
        size = len(base64.b64decode(line))
        if line.rstrip().endswith(b"=") and offset + size < len(data):
            return Sample(data, b"".join(lines), offset, offset + size)
        offset += size
    return Sample(data, b"".join(lines), len(data), len(data))


# The cells a document may have, each a check of one decoder's result on a Sample.
def decodes(case, result, s):
    case.assertEqual(result[:2], (0, s.data))


def fails_at_the_first_cr(case, result, s):
    if b"\r" not in s.text:  # no line: nothing to refuse
        return decodes(case, result, s)
    code, out, err = result
    case.assertNotEqual(code, 0)
    case.assertIn(b"invalid input", err)
    case.assertEqual(out, base64.b64decode(s.text[:s.text.index(b"\r")]))


def stops_before(case, result, s):
    code, out, _ = result
    case.assertEqual(code, 0)
    case.assertLessEqual(len(out), s.padded_start)
    case.assertEqual(out, s.data[:len(out)])


def stops_after(case, result, s):
    case.assertEqual(result[:2], (0, s.data[:s.padded_end]))


CLAIMS = {
    "decodes it": decodes,
    "fails at the first CR": fails_at_the_first_cr,
    "stops before, status 0": stops_before,
    "stops after, no error": stops_after,
}


class Decoders(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        rng = random.Random(4648)
        cls.files = []
        for size in FILE_SIZES:
            data = rng.randbytes(size)
            result = harness.run(TARGET, stdin=data)
            assert result == (0, harness.expected_output(data), b""), (size, result)
            cls.files.append(sample(data, result.stdout.splitlines(keepends=True)))
        cls.pipes = []
        for sizes in PIECE_RUNS.values():
            pieces = [rng.randbytes(size) for size in sizes]
            result = harness.lockstep_run(TARGET, pieces)
            expected = b"".join(harness.expected_output(p) for p in pieces)
            assert result == (0, expected, b""), result[0]
            cls.pipes.append(sample(b"".join(pieces), result.stdout.splitlines(keepends=True)))
            assert cls.pipes[-1].padded_start < len(cls.pipes[-1].data)

    def test_every_claim_of_every_document(self):
        for path in documents.USER_DOCUMENTS:
            rows = documents.table(path, "decoder")
            self.assertTrue(rows, path)
            for row in rows:
                self.assertEqual(len(row), 3, (path, row))
                name, cells = row[0], row[1:]
                cells[1] = cells[0] if cells[1] == "the same" else cells[1]
                self.assertIn(name, DECODERS, "%s: a decoder the test cannot run" % path)
                for cell, samples in zip(cells, (self.files, self.pipes)):
                    self.assertIn(cell, CLAIMS, "%s: a claim the test cannot check" % path)
                    for s in samples:
                        with self.subTest(document=os.path.basename(path), decoder=name,
                                          claim=cell, size=len(s.data)):
                            CLAIMS[cell](self, DECODERS[name](s.text), s)

    def test_one_table_of_every_decoder(self):
        readme, *copies = (documents.table(path, "decoder") for path in documents.USER_DOCUMENTS)
        self.assertEqual([row[0] for row in readme], list(DECODERS))
        for path, rows in zip(documents.USER_DOCUMENTS[1:], copies):
            self.assertEqual(rows, readme, "%s differs from README's table" % path)


if __name__ == "__main__":
    TARGET = harness.host_target(sys.argv.pop(1))
    DECODER = sys.argv.pop(1)
    unittest.main()
