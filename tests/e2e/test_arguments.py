"""Both programs given arguments, on one platform (harness.TARGET and
harness.UNFILTER).

    B64FILTER_E2E_TARGET=host B64FILTER_E2E_BINARY=build/host/b64filter \\
        B64UNFILTER_E2E_BINARY=build/host/b64unfilter /usr/bin/python3 tests/e2e/test_arguments.py

The Linux programs refuse any: one line on standard error naming the program
and how to call it, exit status 2, and nothing read from standard input nor
written to standard output (a file named in a loop must not be taken for the
loop's own input). The Windows images ignore their command line: under Wine
each does with standard input what it does without arguments.
"""

import os
import random
import subprocess
import tempfile
import unittest

import harness

# Argument forms a user may give, each after the program's name.
ARGUMENTS = [
    ("a.bin",),  # a file that is there, which a user expects encoded
    ("a.bin", "b.bin", "c.bin"),  # a loop's or a glob's list
    ("-",),
    ("--help",),
    ("",),  # an empty argument, as "$unset" gives
    ("--", "a.bin"),
    ("two words",),
]


def usage(name):
    return ("%s: takes no arguments; usage: %s < INPUT > OUTPUT\n" % (name, name)).encode()


def run_with_pipes(target, arguments, given, cwd):
    """target started with arguments, its standard input a pipe holding given
    (and closed at our end), its output and error pipes we read to the end;
    returns the Result and what is still unread in its input pipe."""
    into, feed = os.pipe()
    harness.write_all(feed, given)
    os.close(feed)
    try:
        done = subprocess.run(target.argv + list(arguments), stdin=into, capture_output=True, cwd=cwd,
                              env=target.environment(), timeout=harness.DEFAULT_TIMEOUT)
        os.set_blocking(into, False)
        try:
            unread = os.read(into, len(given) + 1)
        except BlockingIOError:
            unread = b""
    finally:
        os.close(into)
    return harness.Result(done.returncode, done.stdout, done.stderr), unread


class Arguments(unittest.TestCase):
    def test_each_program_given_arguments(self):
        data = random.Random(30).randbytes(2 * harness.CHUNK_BYTES + 11)
        text = harness.expected_output(data)
        # program, what it is given on standard input, what it writes for it
        programs = [("b64filter", harness.TARGET, data, text), ("b64unfilter", harness.UNFILTER, text, data)]
        with tempfile.TemporaryDirectory() as cwd:
            with open(os.path.join(cwd, "a.bin"), "wb") as f:
                f.write(b"the named file")
            for name, target, given, made in programs:
                for arguments in ARGUMENTS:
                    with self.subTest(program=name, arguments=arguments):
                        result, unread = run_with_pipes(target, arguments, given, cwd)
                        if target.on_wine:  # the image ignores them, as designed
                            self.assertEqual((result, unread), ((0, made, b""), b""))
                        else:
                            self.assertEqual((result, unread), ((2, b"", usage(name)), given))


if __name__ == "__main__":
    unittest.main(verbosity=2)
