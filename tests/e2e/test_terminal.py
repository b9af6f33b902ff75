"""./b64filter at a terminal (a pseudo-terminal of ours as its standard
input and output, as a user's shell gives it): the wrapper runs the Windows
image under Wine, whose console reads what is typed and shows what the image
writes. Each line typed becomes one Base64 line; Ctrl+C ends the run; after
it the terminal's settings are what they were before.

    B64FILTER_WIN32_IMAGE=build/win32/b64filter.exe /usr/bin/python3 tests/e2e/test_terminal.py
"""

import base64
import fcntl
import os
import pty
import re
import select
import struct
import subprocess
import termios
import time
import unittest

import harness

WRAPPER = os.path.join(harness.SOURCE_ROOT, "b64filter")
# Wine's start can be slow; this only breaks a hang.
TIMEOUT = 300.0
# What a console draws besides text: control sequences (CSI, OSC), which
# the screen is read without.
CONTROL = re.compile(rb"\x1b\[[0-?]*[ -/]*[@-~]|\x1b\][^\x07\x1b]*(?:\x07|\x1b\\)|\x1b[@-Z\\-_]")


def take_terminal():
    """In the child, after setsid: the terminal on standard input becomes
    its controlling terminal, so Ctrl+C reaches its foreground group."""
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class Terminal(unittest.TestCase):

    def test_each_typed_line_is_one_line_and_ctrl_c_restores_the_terminal(self):
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        before = termios.tcgetattr(slave)
        wrapper = subprocess.Popen([WRAPPER], stdin=slave, stdout=slave, stderr=subprocess.PIPE,
                                   start_new_session=True, preexec_fn=take_terminal)
        screen = b""

        def shows_line_of(text):
            """Waits until the screen shows the Base64 line of one read of the
            typed text with its line end (as the console gives it, CR LF or LF)."""
            nonlocal screen
            # (The console may move its cursor with control sequences rather
            # than CR LF, so the text of the line is looked for, not its end.)
            lines = [base64.b64encode(text + end) for end in (b"\r\n", b"\n")]
            deadline = time.monotonic() + TIMEOUT
            while not any(line in CONTROL.sub(b"", screen) for line in lines):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([master], [], [], left)[0]:
                    self.fail("no line for %r; the terminal shows %r" % (text, screen[-300:]))
                try:
                    screen += os.read(master, 4096)
                except OSError:  # the terminal's other side has closed
                    self.fail("the run ended before the line for %r: %r" % (text, screen[-300:]))

        try:
            for text in (b"hello", b"Base64 at a console!"):
                os.write(master, text + b"\r")  # Enter sends CR
                shows_line_of(text)
            os.write(master, b"\x03")  # Ctrl+C
            wrapper.wait(timeout=TIMEOUT)
        finally:
            if wrapper.returncode is None:
                wrapper.kill()
                wrapper.wait()
            wrapper.stderr.close()
        self.assertEqual(termios.tcgetattr(slave), before)


if __name__ == "__main__":
    unittest.main()
