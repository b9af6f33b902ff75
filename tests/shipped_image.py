"""Whether a shipped Windows image is there, by the rule and in the words of
tests/shipped_image.cpp, for tests/skip-unless and the image's own tests
(ShippedImage.* in the unit tests holds the two to one answer): the
variable unset or empty names no image; a path to no file, to one that
cannot be read or to an empty one, is no image. The x64 images'
variables (B64FILTER_WIN64_IMAGE, B64UNFILTER_WIN64_IMAGE), which the
emulated CPU does not run, follow the same rule here, naming their preset.

    shipped_image.py VARIABLE    prints why there is none and exits 77, or exits 0
"""

import os
import sys

FILTER = "B64FILTER_WIN32_IMAGE"
UNFILTER = "B64UNFILTER_WIN32_IMAGE"
FILTER_X64 = "B64FILTER_WIN64_IMAGE"
UNFILTER_X64 = "B64UNFILTER_WIN64_IMAGE"
SKIP = 77


def path(variable=FILTER):
    """The path the variable names, or ""."""
    return os.environ.get(variable, "")


def missing(variable=FILTER):
    """Why the variable's image is not there, or None."""
    image = path(variable)
    if not image:
        return variable + " names no image"
    if not os.path.isfile(image) or not os.access(image, os.R_OK) or os.path.getsize(image) == 0:
        preset = "win64" if variable in (FILTER_X64, UNFILTER_X64) else "win32"
        return ("no Windows image at %s; `cmake --preset %s && cmake --build --preset %s` builds it (./check does)"
                % (image, preset, preset))
    return None


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.stderr.write(__doc__)
        sys.exit(2)
    reason = missing(sys.argv[1])
    if reason:
        print(reason)
    sys.exit(SKIP if reason else 0)
