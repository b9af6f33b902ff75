"""Two clean builds of the Windows images give the same bytes, the filter's
and the decoder's, for x86 and for x64.

    python3 tests/image/test_reproducible.py SOURCE_DIR [CMAKE]

Each build configures the win32 and win64 presets from scratch in temporary
directories of its own, the two builds at different depths and names, so that
neither a build path nor the time of the build can end up in an image
unnoticed.
"""

import hashlib
import os
import subprocess
import sys
import tempfile
import unittest

from images import PROGRAMS

SOURCE = None
CMAKE = "cmake"
IMAGES = [program.file for program in PROGRAMS]
PRESETS = ["win32", "win64"]


def clean_build(build_root):
    digests = {}
    for preset in PRESETS:
        build_dir = os.path.join(build_root, preset)
        for step in (["--preset", preset, "-S", SOURCE, "-B", build_dir], ["--build", build_dir]):
            subprocess.run([CMAKE] + step, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           check=True)
        for name in IMAGES:
            with open(os.path.join(build_dir, name), "rb") as f:
                digests[preset + "/" + name] = hashlib.sha256(f.read()).hexdigest()
    return digests


class Reproducible(unittest.TestCase):
    def test_two_clean_builds_are_identical(self):
        with tempfile.TemporaryDirectory() as root:
            first = clean_build(os.path.join(root, "a"))
            second = clean_build(os.path.join(root, "another", "build-directory"))
        print("SHA-256: %s, %s" % (first, second), file=sys.stderr)
        self.assertEqual(first, second)
        # Four images, not the same two twice: each preset builds its own architecture's.
        self.assertEqual(len(set(first.values())), 2 * len(IMAGES))


if __name__ == "__main__":
    SOURCE = os.path.abspath(sys.argv.pop(1))
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        CMAKE = sys.argv.pop(1)
    unittest.main()
