"""The project's Windows images, and what tells one from another, for the
tests of tests/image/ that check every image alike.

    ARCH              the architecture whose images these are: B64_WINDOWS_ARCH,
                      x86 (the win32 preset's, the default) or x64 (win64's)
    Program           name, the variable naming its image of ARCH, its title
                      (version record and manifest), file name, internal name,
                      the texts its .const holds beside the platform's messages,
                      its DOS stub's line (the project's, shared), and the
                      tables its code reaches that must lie on a 64-byte boundary
    PROGRAMS          the filter's and the decoder's
    path(program)     the image the program's variable names, or ""
    missing(program)  why that image is not there, or None (tests/shipped_image.py's rule)
"""

import collections
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import shipped_image  # noqa: E402

ARCH = os.environ.get("B64_WINDOWS_ARCH", "x86")
if ARCH not in ("x86", "x64"):
    raise RuntimeError("B64_WINDOWS_ARCH is %r, neither x86 nor x64" % ARCH)
_X64 = ARCH == "x64"

Program = collections.namedtuple("Program", "name variable title file internal texts dos_line aligned")
ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"

PROGRAMS = [
    Program("filter", shipped_image.FILTER_X64 if _X64 else shipped_image.FILTER, "Base64 Filter",
            "b64filter.exe", "b64filter", [ALPHABET],
            b"Base64 Filter needs Windows: run it from a Windows console.", [ALPHABET]),
    Program("unfilter", shipped_image.UNFILTER_X64 if _X64 else shipped_image.UNFILTER, "Base64 Unfilter",
            "b64unfilter.exe", "b64unfilter.exe",
            [b"Invalid Base64 input at line %lu, column %lu\r\n",
             b"Base64 input ends inside a group at line %lu, column %lu\r\n"],
            b"Base64 Filter needs Windows: run it from a Windows console.", []),
]


def path(program):
    return shipped_image.path(program.variable)


def missing(program):
    return shipped_image.missing(program.variable)
