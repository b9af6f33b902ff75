"""./b64filter with a terminal (a pseudo-terminal of ours) as standard input:
the wrapper runs the Windows image under Wine, whose console reads what is
typed. Each line typed becomes one Base64 line; Ctrl+C ends the run; after
it the terminal's settings are what they were before. Standard output is a
pipe, so that the lines are read exactly, apart from what the console shows
on the terminal.

    B64FILTER_WIN32_IMAGE=build/win32/b64filter.exe /usr/bin/python3 tests/e2e/test_terminal.py
"""

import base64
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

    def test_each_typed_line_is_one_line_and_ctrl_c_restores_the_terminal(self):
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        self.addCleanup(os.close, slave)
        before = termios.tcgetattr(slave)
        out_read, out_write = os.pipe()
        self.addCleanup(os.close, out_read)
        wrapper = subprocess.Popen([WRAPPER], stdin=slave, stdout=out_write, stderr=subprocess.PIPE,
                                   start_new_session=True, preexec_fn=take_terminal)
        os.close(out_write)
        screen, output = b"", b""

        def next_line(what):
            """The next line on standard output, reading what the terminal
            shows meanwhile so that the console never waits on it."""
            nonlocal screen, output
            deadline = time.monotonic() + TIMEOUT
            while b"\r\n" not in output:
                left = deadline - time.monotonic()
                ready = select.select([out_read, master], [], [], max(left, 0))[0] if left > 0 else []
                if not ready:
                    self.fail("no line for %r; the terminal shows %r" % (what, screen[-300:]))
                if master in ready:
                    screen += os.read(master, 4096)
                if out_read in ready:
                    data = os.read(out_read, 4096)
                    if not data:
                        self.fail("output ended before the line for %r" % what)
                    output += data
            line, output = output.split(b"\r\n", 1)
            return base64.b64decode(line, validate=True)

        try:
            for text in (b"hello", b"Base64 at a console!"):
                os.write(master, text + b"\r")  # Enter sends CR
                line = next_line(text)
                # One line: the text as typed, with the line end the console gives it.
                self.assertEqual(line.rstrip(b"\r\n"), text)
                self.assertTrue(line.endswith(b"\n"), line)
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
