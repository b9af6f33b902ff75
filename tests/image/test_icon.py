"""The committed icon is what tools/make-icon draws.

    python3 tests/image/test_icon.py

The generator is the icon's source: an icon edited by hand, or a generator
changed without writing its output again, fails here.
"""

import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


class Icon(unittest.TestCase):
    def test_committed_icon_is_the_generators_output(self):
        with tempfile.TemporaryDirectory() as directory:
            drawn = os.path.join(directory, "drawn.ico")
            subprocess.run([sys.executable, os.path.join(ROOT, "tools", "make-icon"), drawn],
                           check=True)
            with open(drawn, "rb") as f:
                drawn_bytes = f.read()
        with open(os.path.join(ROOT, "resources", "b64filter.ico"), "rb") as f:
            self.assertEqual(f.read(), drawn_bytes,
                             "resources/b64filter.ico: run tools/make-icon resources/b64filter.ico")


if __name__ == "__main__":
    unittest.main()
