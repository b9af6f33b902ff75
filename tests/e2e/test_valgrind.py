"""The host build under valgrind's memcheck, on real runs: empty input, odd
sizes, a few MiB from a file and in pieces through a pipe, and every fault of
harness.FAULTS. Each run must do what it does without valgrind, and memcheck
must find nothing.

The binary is harness.TARGET; it must be a host build without sanitizers.
"""

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


class Memcheck(unittest.TestCase):

    def setUp(self):
        self.logs = tempfile.mkdtemp(prefix="memcheck-")
        self.addCleanup(shutil.rmtree, self.logs)

    def target(self):
        """The host build under memcheck. Its report goes to a file on a
        descriptor of its own (9), opened before valgrind starts: a log file
        that valgrind opened itself would take the lowest free descriptor,
        and so fill a standard one the run means to have closed."""
        log = os.path.join(self.logs, "run-%d.log" % len(os.listdir(self.logs)))
        return harness.wrapped(harness.TARGET, [
            "/bin/sh", "-c", 'log=$1; shift; exec "$@" 9>"$log"', "sh", log,
            "valgrind", "--tool=memcheck", "--error-exitcode=1", "--leak-check=full",
            "--track-origins=yes", "--log-fd=9"]), log

    def assertClean(self, log, name):
        with open(log) as report:
            text = report.read()
        self.assertIn("ERROR SUMMARY: 0 errors from 0 contexts", text, "%s:\n%s" % (name, text))

    def test_runs_that_end_well(self):
        generator = random.Random(9)
        for size in (0, 1, 2, 3, 56, 57, 58, 100, 57 * 7 + 13, 3 * MIB + 5):
            data = generator.randbytes(size)
            target, log = self.target()
            result = harness.run(target, stdin=data)
            self.assertClean(log, "%d bytes" % size)
            self.assertEqual(result, (0, harness.expected_output(data), b""), size)

    def test_pieces_through_a_pipe(self):
        # Each piece waited for, so the reads see an empty pipe between them.
        generator = random.Random(10)
        pieces = [generator.randbytes(generator.randint(1, 200)) for _ in range(40)]
        target, log = self.target()
        expected = b"".join(harness.expected_output(p) for p in pieces)
        result = harness.lockstep_run(target, pieces)
        self.assertClean(log, "pieces")
        self.assertEqual(result, (0, expected, b""))

    def test_faults(self):
        data = random.Random(11).randbytes(harness.FAULT_INPUT_BYTES)
        for fault in harness.FAULTS:
            for stderr in (harness.CAPTURE, harness.CLOSED):
                with self.subTest(fault.name, stderr=stderr), fault.arrange(data) as arguments:
                    target, log = self.target()
                    result = harness.run(target, stderr=stderr, **arguments)
                    self.assertClean(log, fault.name)
                    self.assertEqual(result.code, fault.host.code)
                    if stderr is harness.CAPTURE:
                        self.assertEqual(result.stderr, fault.host.stderr)


if __name__ == "__main__":
    unittest.main()
