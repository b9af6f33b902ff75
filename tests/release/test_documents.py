"""README's and the manual page's table of how the image under Wine differs
from the Linux build, held against the fault table of the end-to-end suites
(FAULTS in tests/e2e/harness.py), which e2e_host and e2e_wine check on the
real programs: every code in the tables must be the one those suites expect,
and every fault whose codes differ must be in each table.

    /usr/bin/python3 tests/release/test_documents.py

The table's other rows are beyond this test: the typed line's end and the
keys at a terminal are what terminal_wine types, and a code of 256 or more
cannot be made to happen under Wine.
"""

import os
import sys
import unittest

import documents

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import harness  # noqa: E402

# A table's row, by its first cell, and the fault of harness.FAULTS it states.
FAULT_OF_ROW = {"standard input closed": "stdin closed",
                "a pipe with no reader": "stdout pipe without reader"}
TABLES = documents.USER_DOCUMENTS[:2]  # README.md and the manual page


class WineDifferences(unittest.TestCase):
    def test_codes_are_those_the_end_to_end_suites_expect(self):
        faults = {fault.name: fault for fault in harness.FAULTS}
        differing = {fault.name for fault in harness.FAULTS
                     if fault.wine is not None and fault.wine.code != fault.host.code}
        for path in TABLES:
            rows = {row[0]: row[1:] for row in documents.table(path, "case")}
            stated = {FAULT_OF_ROW[label]: cells for label, cells in rows.items()
                      if label in FAULT_OF_ROW}
            self.assertEqual(set(stated), differing, path)
            for name, cells in stated.items():
                fault = faults[name]
                self.assertEqual(cells, [str(fault.host.code), str(fault.wine.code)], (path, name))


if __name__ == "__main__":
    unittest.main()
