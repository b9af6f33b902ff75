"""./b64filter at a terminal (a pseudo-terminal of ours): the wrapper runs
the Windows image under Wine with the terminal as standard input and output.
Each line typed becomes one Base64 line; Ctrl+C ends the run; afterwards the
terminal's settings are what they were before.

    B64FILTER_WIN32_IMAGE=build/win32/b64filter.exe /usr/bin/python3 tests/e2e/test_terminal.py
"""

import base64
import binascii
import fcntl
import os
import pty
import select
import subprocess
import termios
import time
import unittest

import harness

WRAPPER = os.path.join(harness.SOURCE_ROOT, "b64filter")
# Wine's start can be slow; this only breaks a hang.
TIMEOUT = 300.0


def take_terminal():
    """In the child, after setsid: the terminal on standard input becomes
    its controlling terminal, so Ctrl+C reaches its foreground group."""
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class Terminal(unittest.TestCase):

    def setUp(self):
        self.master, self.slave = pty.openpty()
        self.addCleanup(os.close, self.master)
        self.addCleanup(os.close, self.slave)
        self.screen = b""

    def read_until(self, found, what):
        deadline = time.monotonic() + TIMEOUT
        while not found():
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.master], [], [], left)[0]:
                self.fail("no %s on the terminal; it shows %r" % (what, self.screen[-400:]))
            try:
                self.screen += os.read(self.master, 4096)
            except OSError:  # the other side has closed
                self.fail("the terminal closed before %s; it showed %r" % (what, self.screen[-400:]))

    def decoded_lines(self):
        """What each Base64-shaped line on the screen decodes to (the echo of
        typed text, of a length that is no multiple of 4, never decodes)."""
        found = []
        for line in self.screen.split(b"\r\n"):
            if len(line) >= 4 and len(line) % 4 == 0:
                try:
                    found.append(base64.b64decode(line, validate=True))
                except binascii.Error:
                    pass
        return found

    def test_each_typed_line_is_one_line_and_ctrl_c_restores_the_terminal(self):
        before = termios.tcgetattr(self.slave)
        wrapper = subprocess.Popen([WRAPPER], stdin=self.slave, stdout=self.slave,
                                   stderr=subprocess.PIPE, start_new_session=True,
                                   preexec_fn=take_terminal)
        try:
            typed = []
            for text in (b"hello", b"Base64 at a console!"):
                os.write(self.master, text + b"\r")  # Enter sends CR
                typed.append(text)
                self.read_until(lambda: [line.rstrip(b"\r\n") for line in self.decoded_lines()]
                                == typed, "Base64 line for %r" % text)
            # Each line as the console gives it: the text and its line end.
            self.assertTrue(all(line.endswith(b"\n") for line in self.decoded_lines()))
            os.write(self.master, b"\x03")  # Ctrl+C
            wrapper.wait(timeout=TIMEOUT)
        finally:
            if wrapper.returncode is None:
                wrapper.kill()
                wrapper.wait()
            wrapper.stderr.close()
        self.assertEqual(termios.tcgetattr(self.slave), before)


if __name__ == "__main__":
    unittest.main()
