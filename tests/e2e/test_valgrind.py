"""The host build under valgrind's memcheck, on real runs: empty input, odd
sizes, a few MiB from a file and in pieces through a pipe, and every fault of
the fault table, for the filter and for the decoder. Each run must do what it
does without valgrind, and memcheck must find nothing.

The binaries are harness.TARGET and harness.UNFILTER; they must be host
builds without sanitizers.
"""

import base64
import os
import random
import shutil
import tempfile
import unittest

import harness

MIB = 1 << 20


def setUpModule():
    if harness.TARGET.on_wine:
        raise unittest.SkipTest("memcheck runs the host build")
    if shutil.which("valgrind") is None:
        raise unittest.SkipTest("valgrind is not installed")


class Memcheck:
    """The checks, for one program: `subject` (its harness target), the runs
    that end as they should, the pieces through a pipe and its fault table."""

    subject = None

    def setUp(self):
        if self.subject is None:
            self.skipTest("no decoder named (B64UNFILTER_E2E_BINARY)")
        self.logs = tempfile.mkdtemp(prefix="memcheck-")
        self.addCleanup(shutil.rmtree, self.logs)

    def target(self):
        """The program under memcheck. Its report goes to a file on a
        descriptor of its own (9), opened before valgrind starts: a log file
        that valgrind opened itself would take the lowest free descriptor,
        and so fill a standard one the run means to have closed."""
        log = os.path.join(self.logs, "run-%d.log" % len(os.listdir(self.logs)))
        return harness.wrapped(self.subject, [
            "/bin/sh", "-c", 'log=$1; shift; exec "$@" 9>"$log"', "sh", log,
            "valgrind", "--tool=memcheck", "--error-exitcode=1", "--leak-check=full",
            "--track-origins=yes", "--log-fd=9"]), log

    def assertClean(self, log, name):
        with open(log) as report:
            text = report.read()
        self.assertIn("ERROR SUMMARY: 0 errors from 0 contexts", text, "%s:\n%s" % (name, text))

    def test_runs_that_end_well(self):
        for name, stdin, expected in self.runs():
            target, log = self.target()
            result = harness.run(target, stdin=stdin)
            self.assertClean(log, name)
            self.assertEqual(result, expected, name)

    def test_pieces_through_a_pipe(self):
        # Each piece waited for, so the reads see an empty pipe between them.
        generator = random.Random(10)
        pieces = [generator.randbytes(generator.randint(1, 200)) for _ in range(40)]
        target, log = self.target()
        result, expected = self.pieces_run(target, pieces)
        self.assertClean(log, "pieces")
        self.assertEqual(result, (0, expected, b""))

    def test_faults(self):
        table, data = self.faults()
        for fault in table:
            for stderr in (harness.CAPTURE, harness.CLOSED):
                with self.subTest(fault.name, stderr=stderr), fault.arrange(data) as arguments:
                    target, log = self.target()
                    result = harness.run(target, stderr=stderr, **arguments)
                    self.assertClean(log, fault.name)
                    self.assertEqual(result.code, fault.host.code)
                    if stderr is harness.CAPTURE:
                        self.assertEqual(result.stderr, fault.host.stderr)


class Filter(Memcheck, unittest.TestCase):
    subject = harness.TARGET

    def runs(self):
        generator = random.Random(9)
        for size in (0, 1, 2, 3, 56, 57, 58, 100, 57 * 7 + 13, 3 * MIB + 5):
            data = generator.randbytes(size)
            yield "%d bytes" % size, data, (0, harness.expected_output(data), b"")

    def pieces_run(self, target, pieces):
        return (harness.lockstep_run(target, pieces),
                b"".join(harness.expected_output(p) for p in pieces))

    def faults(self):
        return harness.FAULTS, random.Random(11).randbytes(harness.FAULT_INPUT_BYTES)


class Unfilter(Memcheck, unittest.TestCase):
    """The decoder: the filter's text of odd sizes and a few MiB, rejected
    text and text that ends inside a group, the text of pieces through a
    pipe (groups split between reads) and its fault table."""

    subject = harness.UNFILTER

    def runs(self):
        generator = random.Random(12)
        for size in (0, 1, 2, 3, 57, 3071, 3072, 3073, 3 * MIB + 5):
            data = generator.randbytes(size)
            yield "%d bytes" % size, harness.expected_output(data), (0, data, b"")
        data = generator.randbytes(5000)
        yield "rejected", harness.expected_output(data) + b"QU\x80", (13, data, harness.messages(
            "Invalid Base64 input at line 89, column 3"))
        yield "inside a group", harness.expected_output(data) + b"QUJ", (38, data, harness.messages(
            "Base64 input ends inside a group at line 89, column 1"))

    def pieces_run(self, target, pieces):
        text = harness.expected_output(b"".join(pieces))

        def feed(fd):
            for start in range(0, len(text), 97):  # the text cut across its groups and lines
                harness.write_all(fd, text[start:start + 97])
                harness.wait_until_read(fd)

        return harness.fed_run(target, feed, harness.read_to_end), b"".join(pieces)

    def faults(self):
        text = base64.b64encode(random.Random(13).randbytes(harness.FAULT_INPUT_BYTES))
        return harness.faults(3072, 2), text


if __name__ == "__main__":
    unittest.main()
