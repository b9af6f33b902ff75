"""Checks that the decoder's null filter is a floor in the tree it is built in,
whatever that tree's optimiser makes of loops: callgrind counts its
instructions for a 78-byte line of the filter's text, and the decoder's, as the
report counts them (benchmarks.instructions_per_line), and the null filter may
spend at most a fifth of the decoder's. A count that walks the text a byte at
a time spends 15 instructions a byte at -O2, more than twice the decoder's.
Counts, not times: the same on every run.

Usage: test_floor.py B64UNFILTER NULL_UNFILTER   (the host tree's; ctest passes them)
"""

import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchmarks  # noqa: E402

# The null filter's instructions a line, at most, over the decoder's.
FLOOR_SHARE = 1 / 5
SKIP = 77


def main(decoder, null):
    if shutil.which("valgrind") is None:
        print("valgrind is not installed (tools/install-deps installs it)", file=sys.stderr)
        return SKIP
    with tempfile.TemporaryDirectory() as work:
        counts = [benchmarks.instructions_per_line([program], work, text=lambda text: text)
                  for program in (decoder, null)]
    verdict = "within" if counts[1] <= FLOOR_SHARE * counts[0] else "above"
    print(f"instructions a line: decoder {counts[0]:.1f}, null filter {counts[1]:.1f} "
          f"({counts[1] / counts[0]:.3f} of the decoder's, {verdict} the bound of {FLOOR_SHARE:.3f})")
    return 0 if verdict == "within" else 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
