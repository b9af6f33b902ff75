"""Both programs of a cross tree, run under qemu-user, against the native
build's: the same output, messages and exit code, case by case, over a fixed
set of inputs (files of 0 bytes to 3 MiB, the encoder's text decoded back,
text the decoder rejects, pieces through a pipe) and under every fault of the
end-to-end fault table, standard error captured, closed and full.

    test_compare.py NATIVE_DIR CROSS_DIR EMULATOR...

NATIVE_DIR and CROSS_DIR hold b64filter and b64unfilter (build/host and the
cross tree); EMULATOR is the command that runs a program of the cross tree
(its CMAKE_CROSSCOMPILING_EMULATOR).
"""

import base64
import os
import random
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import harness  # noqa: E402

NATIVE_DIR, CROSS_DIR, EMULATOR = None, None, None

# Around each edge of a read (57 bytes for the encoder, 4096 characters for
# the decoder), and big enough for many of each.
SIZES = [0, 1, 2, 3, 56, 57, 58, 100, 114, 3071, 3072, 3073, 4096, 65536, (1 << 20) + 1, 3 << 20]

# Text the decoder stops at, each with its own message, position or the bytes
# before it: not Base64, "=" out of place, the end inside a group, after CR,
# LF and long lines, and past the first read of 4096 characters.
REJECTED = [
    b"aGVsbG8K aGVsbG8K",
    b"aGVs\r\nbG8=\r\nQQ==\r\n!",
    b"QQ=A",
    b"=AAA",
    b"QQ==A===",
    b"aGVsbG8",
    b"aGVsbG8K\r\nQ",
    b"\x80",
    b"QUJD\nREVG\r\n\r\n\x00",
    b"QUJD" * 1023 + b"QU-D",
    b"QUJD" * 1024 + b"QUJ",
    b"\n" * 5000 + b"QQ",
]

# What the encoder gets from a pipe, each piece sent once the lines of the
# one before it have come out: a line each.
PIECES = [b"a", b"x" * 57, b"\x00\xff" * 5, b"z" * 3, bytes(range(256))[:40]]


def data_of(size, seed=4648):
    return random.Random(seed + size).randbytes(size)


def target(directory, program, emulator=()):
    binary = os.path.join(directory, program)
    if not os.path.isfile(binary):
        raise RuntimeError("no %s: build it first (tools/cross-check does)" % binary)
    return harness.Target("host", list(emulator) + [binary], {})


class CrossMatchesNative(unittest.TestCase):
    def programs(self, program):
        return target(NATIVE_DIR, program), target(CROSS_DIR, program, EMULATOR)

    def assertSameRun(self, program, **arguments):
        """Runs both builds of program with the same arrangement; returns the native result."""
        native, cross = self.programs(program)
        want = harness.run(native, **arguments)
        got = harness.run(cross, **arguments)
        self.assertEqual(got.code, want.code)
        self.assertEqual(got.stderr, want.stderr)
        self.assertEqual(got.stdout, want.stdout)
        return want

    def test_encoder_files(self):
        for size in SIZES:
            with self.subTest(size=size):
                data = data_of(size)
                want = self.assertSameRun("b64filter", stdin=data)
                self.assertEqual(want.code, 0)
                self.assertEqual(want.stdout, harness.expected_output(data))

    def test_decoder_takes_the_encoders_text_back(self):
        for size in SIZES:
            with self.subTest(size=size):
                data = data_of(size)
                text = harness.expected_output(data)
                for name, variant in (("CR LF", text), ("LF", text.replace(b"\r\n", b"\n"))):
                    with self.subTest(name):
                        want = self.assertSameRun("b64unfilter", stdin=variant)
                        self.assertEqual((want.code, want.stdout), (0, data))

    def test_decoder_rejections(self):
        for text in REJECTED:
            with self.subTest(text=text[:40]):
                want = self.assertSameRun("b64unfilter", stdin=text)
                self.assertIn(want.code, (13, 38))

    def test_encoder_pipe_pieces(self):
        native, cross = self.programs("b64filter")
        want = harness.lockstep_run(native, PIECES)
        self.assertEqual(harness.lockstep_run(cross, PIECES), want)
        self.assertEqual(want.stdout, b"".join(harness.expected_output(p) for p in PIECES))

    def test_faults(self):
        data = data_of(harness.FAULT_INPUT_BYTES)
        text = base64.b64encode(data)
        for program, table, stdin in (("b64filter", harness.FAULTS, data),
                                      ("b64unfilter", harness.faults(3072, 2), text)):
            native, cross = self.programs(program)
            for fault in table:
                for stderr in (harness.CAPTURE, harness.CLOSED, "/dev/full"):
                    with self.subTest(program, fault=fault.name, stderr=stderr):
                        results = []
                        for build in (native, cross):
                            with fault.arrange(stdin) as arguments:
                                result = harness.run(build, stderr=stderr, **arguments)
                                left = result.stdout  # (None where it cannot be read back)
                                if fault.host.written is not None:
                                    left = harness.left_on_stdout(result, arguments)
                                results.append((result.code, result.stderr, left))
                        self.assertEqual(results[1], results[0])
                        self.assertNotEqual(results[0][0], 0)


if __name__ == "__main__":
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    NATIVE_DIR, CROSS_DIR, EMULATOR = sys.argv[1], sys.argv[2], sys.argv[3:]
    unittest.main(argv=sys.argv[:1], verbosity=2)
