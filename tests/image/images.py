"""The project's two Windows images, and what tells one from the other, for
the tests of tests/image/ that check every image alike.

    Program           name, the variable naming its image, its title (version
                      record and manifest), file name, internal name, the texts
                      its .const holds beside the platform's messages, its DOS
                      stub's line (the project's, shared), and the tables its
                      code reaches that must lie on a 64-byte boundary
    PROGRAMS          the filter's and the decoder's
    path(program)     the image the program's variable names, or ""
    missing(program)  why that image is not there, or None (tests/shipped_image.py's rule)
"""

import collections
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
import shipped_image  # noqa: E402

Program = collections.namedtuple("Program", "name variable title file internal texts dos_line aligned")
ALPHABET = b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"

PROGRAMS = [
    Program("filter", "B64FILTER_WIN32_IMAGE", "Base64 Filter", "b64filter.exe", "b64filter",
            [ALPHABET], b"Base64 Filter needs Windows: run it from a Windows console.", [ALPHABET]),
    Program("unfilter", "B64UNFILTER_WIN32_IMAGE", "Base64 Unfilter", "b64unfilter.exe",
            "b64unfilter.exe",
            [b"Invalid Base64 input at line %lu, column %lu\r\n",
             b"Base64 input ends inside a group at line %lu, column %lu\r\n"],
            b"Base64 Filter needs Windows: run it from a Windows console.", []),
]


def path(program):
    return shipped_image.path(program.variable)


def missing(program):
    return shipped_image.missing(program.variable)
