"""The host build under valgrind's memcheck, on real runs: empty input, odd
sizes, a few MiB from a file and in pieces through a pipe, and the failure
paths (a full disk, closed descriptors, a directory, a reader gone). Each
run must do what it does without valgrind, and memcheck must find nothing.

The binary is B64FILTER_E2E_BINARY; it must be a build without sanitizers.
"""

import os
import random
import shutil
import tempfile
import unittest

import harness
import test_streams

MIB = 1 << 20
BINARY = None


def setUpModule():
    global BINARY
    if os.environ.get("B64FILTER_E2E_TARGET", "host") != "host":
        raise unittest.SkipTest("memcheck runs the host build")
    if shutil.which("valgrind") is None:
        raise unittest.SkipTest("valgrind is not installed")
    BINARY = os.environ.get("B64FILTER_E2E_BINARY")
    if not BINARY or not os.path.isfile(BINARY):
        raise RuntimeError("B64FILTER_E2E_BINARY names no binary")


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
        argv = ["/bin/sh", "-c", 'log=$1; shift; exec "$@" 9>"$log"', "sh", log,
                "valgrind", "--tool=memcheck", "--error-exitcode=1", "--leak-check=full",
                "--track-origins=yes", "--log-fd=9", os.path.abspath(BINARY)]
        return harness.Target("host", argv, {}), log

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
        result = test_streams.lockstep_run(target, pieces, nonblocking=False)
        self.assertClean(log, "pieces")
        self.assertEqual(result, (0, expected, b""))

    def test_failures(self):
        data = random.Random(11).randbytes(1000)
        gone_read, gone_write = os.pipe()
        os.close(gone_read)
        self.addCleanup(os.close, gone_write)
        directory = tempfile.mkdtemp()
        self.addCleanup(os.rmdir, directory)
        cases = [
            # name, stdin, stdout, stderr, exit code, text on standard error
            ("full disk", data, "/dev/full", harness.CAPTURE, 112, b"WriteFile() returned error 112\r\n"),
            # A closed descriptor fails its close too.
            ("output closed", data, harness.CLOSED, harness.CAPTURE, 6,
             b"WriteFile() returned error 6\r\nCloseHandle() returned error 6\r\n"),
            ("input closed", harness.CLOSED, harness.CAPTURE, harness.CAPTURE, 6,
             b"ReadFile() returned error 6\r\nCloseHandle() returned error 6\r\n"),
            ("directory as input", directory, harness.CAPTURE, harness.CAPTURE, 1,
             b"ReadFile() returned error 1\r\n"),
            ("reader gone", data, gone_write, harness.CAPTURE, 232, b"WriteFile() returned error 232\r\n"),
            ("error closed too", data, "/dev/full", harness.CLOSED, 112, None),
        ]
        for name, stdin, stdout, stderr, code, message in cases:
            target, log = self.target()
            result = harness.run(target, stdin=stdin, stdout=stdout, stderr=stderr)
            self.assertClean(log, name)
            self.assertEqual((result.code, result.stderr), (code, message), name)


if __name__ == "__main__":
    unittest.main()
