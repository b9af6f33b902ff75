"""Checks that a fuzz test's fixed run can be replayed and that its verdict is
the fuzzer's: run twice, the canary fuzzer (tests/fuzz/replay_canary_fuzz.cpp)
fails on the same input after the same number of inputs, with an exit status
ctest counts as a failure; told never to fail, it stops at its count of
inputs, both times.

Usage: test_fixed_runs.py COMMAND...   (the canary's fixed-run command line)
"""

import os
import re
import subprocess
import sys
import unittest

COMMAND = []
# Only turns a run that never ends into a failure.
HANG_GUARD = 250
SKIP = 77  # ctest's skip status (cmake/tests.cmake)


def run(quiet):
    env = dict(os.environ)
    env.pop("B64_CANARY_QUIET", None)
    if quiet:
        env["B64_CANARY_QUIET"] = "1"
    done = subprocess.run(COMMAND, env=env, capture_output=True, text=True, timeout=HANG_GUARD)
    executed = re.search(r"stat::number_of_executed_units: (\d+)", done.stderr)
    written = re.search(r"Test unit written to (\S+)", done.stderr)
    finding = None
    if written:
        with open(written.group(1), "rb") as f:
            finding = f.read()
        os.remove(written.group(1))
    return done.returncode, int(executed.group(1)) if executed else None, finding, done.stderr


class FixedRuns(unittest.TestCase):
    def test_a_finding_fails_the_same_way_every_run(self):
        first, second = run(False), run(False)
        code, executed, finding, log = first
        self.assertNotIn(code, (0, SKIP), log)
        self.assertTrue(finding and finding.startswith(b"b64!"), log)
        self.assertEqual(first[:3], second[:3], second[3])

    def test_a_clean_run_stops_at_its_count(self):
        bound = [int(a.split("=")[1]) for a in COMMAND if a.startswith("-runs=")]
        first, second = run(True), run(True)
        self.assertEqual(first[0], 0, first[3])
        self.assertEqual(bound, [first[1]], first[3])
        self.assertEqual(first[:3], second[:3], second[3])


if __name__ == "__main__":
    COMMAND = sys.argv[1:]
    del sys.argv[1:]
    unittest.main()
