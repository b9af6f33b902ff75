"""What the decoders a user has make of the host build's output.

    /usr/bin/python3 tests/release/test_decoders.py BINARY

Random inputs are encoded by the real binary, from a file (only the last line
can be short) and piece by piece through a pipe (short, padded lines in the
middle), and decoded by Python, OpenSSL and GNU coreutils in the ways
README.md, docs/README.txt and the manual page give. The limits they state are
checked too, so that the documents stay true: plain `base64 -d` refuses the
CRs, and for padded lines in the middle OpenSSL writes nothing and Python's
b64decode of the whole text stops at the first "=", both without an error.
"""

import base64
import os
import random
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import harness  # noqa: E402

TARGET = None
FILE_SIZES = (0, 1, 2, 57, 58, 3 * 1024 + 1, 8 * 1024)
PIECES = (5, 57, 1, 2, 40, 57, 3, 56)


def pipe(argv, text):
    result = subprocess.run(argv, input=text, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            timeout=60)
    return result.returncode, result.stdout, result.stderr


# Each takes the filter's output and gives (exit status, decoded bytes).
DECODERS = {
    "python b64decode of the joined lines": lambda text: (0, base64.b64decode(b"".join(text.split()))),
    "python b64decode line by line": lambda text: (0, b"".join(map(base64.b64decode, text.split()))),
    "openssl base64 -d": lambda text: pipe(["openssl", "base64", "-d"], text)[:2],
    "base64 -d -i": lambda text: pipe(["base64", "-d", "-i"], text)[:2],
    "tr -d '\\r' | base64 -d": lambda text: pipe(["sh", "-c", "tr -d '\\r' | base64 -d"], text)[:2],
}
# Those that read on past a padded line in the middle.
READ_ON = ("python b64decode line by line", "base64 -d -i", "tr -d '\\r' | base64 -d")


class Decoders(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        rng = random.Random(4648)
        cls.files = []
        for size in FILE_SIZES:
            data = rng.randbytes(size)
            result = harness.run(TARGET, stdin=data)
            assert result == (0, harness.expected_output(data), b""), (size, result)
            cls.files.append((data, result.stdout))
        cls.sent = rng.randbytes(sum(PIECES))
        cls.pieces = []
        with harness.start(TARGET) as running:
            offset = 0
            for size in PIECES:
                cls.pieces.append(cls.sent[offset:offset + size])
                running.send(cls.pieces[-1])
                assert running.read_line() == base64.b64encode(cls.pieces[-1]) + b"\r\n"
                offset += size
            assert running.finish() == (0, b"", b"")
        cls.piece_text = b"".join(base64.b64encode(p) + b"\r\n" for p in cls.pieces)

    def test_every_decoder_takes_text_from_a_file(self):
        for data, text in self.files:
            for name, decode in DECODERS.items():
                with self.subTest(size=len(data), decoder=name):
                    self.assertEqual(decode(text), (0, data))

    def test_plain_base64_d_stops_at_the_first_cr(self):
        for data, text in self.files[1:] + [(self.sent, self.piece_text)]:
            with self.subTest(size=len(data)):
                code, out, err = pipe(["base64", "-d"], text)
                self.assertNotEqual(code, 0)
                self.assertIn(b"invalid input", err)
                self.assertEqual(out, base64.b64decode(text[:text.index(b"\r")]))

    def test_padded_lines_in_the_middle(self):
        decoded = {name: decode(self.piece_text) for name, decode in DECODERS.items()}
        for name in READ_ON:
            self.assertEqual(decoded[name], (0, self.sent), name)
        # What the documents warn of: no error, and the bytes lost.
        self.assertEqual(decoded["openssl base64 -d"], (0, b""))
        self.assertEqual(decoded["python b64decode of the joined lines"], (0, self.pieces[0]))


if __name__ == "__main__":
    TARGET = harness.host_target(sys.argv.pop(1))
    unittest.main()
