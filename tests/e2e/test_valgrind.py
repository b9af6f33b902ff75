"""The host build under valgrind's memcheck, on real runs: empty input, odd
sizes, a few MiB from a file and in pieces through a pipe, and every fault of
the fault table, for the filter and for the decoder. Each run must do what it
does without valgrind, and memcheck must find nothing.

The decoder in constant time: the tests' own decoder marks each read's text
secret for memcheck and makes defined only what the text's shape shows
(unfilter/decode_chunk.cpp), so that memcheck reports any branch or address
that depends on which character a byte is. The decoder's runs again, the
unit tables and two sweeps through it must give no report; the same decoder
with a leak planted, a table look-up or a branch, must give its report.

The binaries are harness.TARGET and harness.UNFILTER; they must be host
builds without sanitizers. The tests' decoder, as a program and with each
leak planted, and the unit tests' and the sweeps' programs are named by
B64UNFILTER_CHECKED_BINARY, B64UNFILTER_TABLE_LEAK_BINARY,
B64UNFILTER_BRANCH_LEAK_BINARY, B64_UNIT_TESTS and B64_PROOF_TESTS.
"""

import base64
import os
import subprocess
import random
import shutil
import tempfile
import unittest

import harness

MIB = 1 << 20
# Without --track-origins, which finds nothing more and makes each start a
# third dearer: add it by hand to see where a reported value came from.
MEMCHECK = ["valgrind", "--tool=memcheck", "--error-exitcode=1", "--leak-check=full"]
CLEAN = "ERROR SUMMARY: 0 errors from 0 contexts"


def named(variable):
    """The host program the variable names, or None."""
    path = os.environ.get(variable)
    return harness.host_target(path) if path else None


def memcheck_target(subject, logs):
    """The subject under memcheck. Its report goes to a file on a descriptor
    of its own (9), opened before valgrind starts: a log file that valgrind
    opened itself would take the lowest free descriptor, and so fill a
    standard one the run means to have closed."""
    log = os.path.join(logs, "run-%d.log" % len(os.listdir(logs)))
    return harness.wrapped(subject, [
        "/bin/sh", "-c", 'log=$1; shift; exec "$@" 9>"$log"', "sh", log] + MEMCHECK + ["--log-fd=9"]), log


def report(log):
    with open(log) as text:
        return text.read()


def setUpModule():
    if harness.TARGET.on_wine:
        raise unittest.SkipTest("memcheck runs the host build")
    if shutil.which("valgrind") is None:
        raise unittest.SkipTest("valgrind is not installed")


class Memcheck:
    """The checks, for one program: `subject` (its harness target), the runs
    that end as they should and the pieces through a pipe."""

    subject = None

    def setUp(self):
        if self.subject is None:
            self.skipTest("no decoder named (B64UNFILTER_E2E_BINARY)")
        self.logs = tempfile.mkdtemp(prefix="memcheck-")
        self.addCleanup(shutil.rmtree, self.logs)

    def target(self):
        return memcheck_target(self.subject, self.logs)

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


class FaultTable:
    """The program's fault table under memcheck, with standard error open and closed."""

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


class Filter(Memcheck, FaultTable, unittest.TestCase):
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


class UnfilterRuns(Memcheck):
    """The decoder: the filter's text of odd sizes and a few MiB, rejected
    text and text that ends inside a group, the text of pieces through a
    pipe (groups split between reads)."""

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


class Unfilter(UnfilterRuns, FaultTable, unittest.TestCase):
    """The decoder's runs, and its fault table."""

    def faults(self):
        text = base64.b64encode(random.Random(13).randbytes(harness.FAULT_INPUT_BYTES))
        return harness.faults(3072, 2), text


class UnfilterSecret(UnfilterRuns, unittest.TestCase):
    """The decoder's runs, through the tests' decoder: its text is secret,
    and memcheck finds nothing. (Its fault table is left to Unfilter: a
    fault is the platform's, and what the decoder does with the text before
    it is what these runs do.)"""

    subject = named("B64UNFILTER_CHECKED_BINARY")


class SecretTablesAndSweeps(unittest.TestCase):
    """The decoder's unit tables, and the sweeps of its states and of its
    fullest reads from each, through the tests' decoder that their programs
    link: memcheck finds nothing. (The sweep of every byte in windows from
    every state takes a minute and a half under memcheck: CI runs it,
    memcheck.decoder_table_sweep.)"""

    RUNS = (("B64_UNIT_TESTS", "DecodeChunk.*:UnfilterMain.*/Host"),
            ("B64_PROOF_TESTS", "DecoderStates.*:DecoderBound.FullestReadsFromEveryState:DecoderBound.Utf16HalfAsFull"))

    def test_nothing_reported(self):
        for variable, tests in self.RUNS:
            with self.subTest(variable):
                program = os.environ.get(variable)
                if not program:
                    self.skipTest(variable + " names no program")
                with tempfile.NamedTemporaryFile("r", prefix="memcheck-") as log:
                    run = subprocess.run(MEMCHECK + ["--log-file=" + log.name, program, "--gtest_filter=" + tests],
                                         stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                         timeout=600, check=False)
                    text = log.read()
                self.assertEqual(run.returncode, 0, run.stdout.decode(errors="replace") + text)
                self.assertIn(CLEAN, text)


class PlantedLeaks(unittest.TestCase):
    """The tests' decoder with a leak planted (B64_PLANTED_LEAK): each run
    still decodes right, and memcheck reports the leak, as it would one of
    the decoder's own."""

    LEAKS = (("B64UNFILTER_TABLE_LEAK_BINARY", "Use of uninitialised value of size"),
             ("B64UNFILTER_BRANCH_LEAK_BINARY", "Conditional jump or move depends on uninitialised value(s)"))

    def test_each_is_reported(self):
        logs = tempfile.mkdtemp(prefix="memcheck-")
        self.addCleanup(shutil.rmtree, logs)
        data = random.Random(14).randbytes(3000)
        for variable, said in self.LEAKS:
            with self.subTest(variable):
                planted = named(variable)
                if planted is None:
                    self.skipTest(variable + " names no program")
                target, log = memcheck_target(planted, logs)
                result = harness.run(target, stdin=harness.expected_output(data))
                text = report(log)
                self.assertEqual(result, (1, data, b""), text)
                self.assertIn(said, text)
                self.assertNotIn(CLEAN, text)


if __name__ == "__main__":
    unittest.main()
