"""./b64filter and ./b64unfilter at a terminal (a pseudo-terminal of ours as
their standard input and output, as a user's shell gives it): the wrapper
runs the Windows image under Wine, whose console reads what is typed and
shows what the image writes. Every case runs for both: each line typed
becomes one Base64 line (Encoder), each Base64 line typed gives its bytes
(Decoder), whether it was typed once the console was up or while the
wrapper was still getting ready; Ctrl+C ends the run; after it the
terminal's settings are what they were before, and the prompt is back
while another run in the same prefix goes on.

The test types as a person does: it waits for a state of the terminal (the
wrapper's settings, then the console's), never for a time.

    B64FILTER_WIN32_IMAGE=build/win32/b64filter.exe /usr/bin/python3 tests/e2e/test_terminal.py
"""

import base64
import os
import termios
import unittest

import harness

# Wine starts in a few seconds; this only turns a hang into a failure.
LIMIT = 60.0


def wrapper_ready(attrs):
    """The wrapper has turned ICRNL off: Enter now arrives as CR."""
    return not attrs[0] & termios.ICRNL


def console_up(attrs):
    """Wine's console has put the terminal in raw mode, and reads it."""
    return wrapper_ready(attrs) and not attrs[3] & termios.ICANON


class Terminal:
    """The cases; a subclass names the wrapper, what is typed for a text
    and what the screen then shows of it."""

    NAME = None

    def typed(self, text):
        raise NotImplementedError

    def shown(self, text):
        raise NotImplementedError

    def setUp(self):
        self.session = harness.TerminalSession([os.path.join(harness.SOURCE_ROOT, self.NAME)], LIMIT)
        self.addCleanup(self.session.close)

    def wait_for_settings(self, state, what):
        self.session.wait_for_settings(state, what)

    def type_line(self, text):
        self.session.type_line(text)

    def type_text(self, text):
        self.type_line(self.typed(text))

    def shows_line_of(self, text):
        """Waits until the screen shows what the image writes for the
        typed line of text."""
        # (The console may move its cursor with control sequences rather
        # than CR LF, so the text of the line is looked for, not its end.)
        self.session.wait_for_text(self.shown(text), "the line for %r" % text)

    def ctrl_c_restores_the_terminal(self):
        self.session.type(b"\x03")
        self.assertEqual(self.session.wait_for_end("the end of the run after Ctrl+C"), 130)
        self.assertEqual(self.session.settings(), self.session.before)

    def test_lines_typed_once_the_console_is_up(self):
        self.wait_for_settings(console_up, "Wine's console in raw mode")
        for text in (b"hello, world", b"Base64 at a console!"):
            self.type_text(text)
            self.shows_line_of(text)
        self.ctrl_c_restores_the_terminal()

    def test_a_line_typed_ahead_while_the_wrapper_gets_ready(self):
        self.wait_for_settings(wrapper_ready, "ICRNL off")
        self.type_text(b"typed ahead")
        # Still canonical after the keys went in: they were typed before the
        # console was up, while the wrapper checked packages and the build.
        self.assertFalse(console_up(self.session.settings()),
                         "the console was up before the line could be typed ahead")
        self.shows_line_of(b"typed ahead")
        self.type_text(b"and after")
        self.shows_line_of(b"and after")
        self.ctrl_c_restores_the_terminal()

    def test_the_end_waits_for_this_run_alone(self):
        # Another run in the same prefix, which stays until its input ends:
        # the wrapper's end waits for its own console, not for this one.
        image = os.environ["B64FILTER_WIN32_IMAGE"]
        pieces = (b"the other run", b"still running")
        with harness.start(harness.wine_target(image)) as other:
            other.send(pieces[0])
            self.assertEqual(other.read_line(), harness.expected_output(pieces[0]))
            self.wait_for_settings(console_up, "Wine's console in raw mode")
            self.type_text(b"one run")
            self.shows_line_of(b"one run")
            self.ctrl_c_restores_the_terminal()
            other.send(pieces[1])
            self.assertEqual(other.read_line(), harness.expected_output(pieces[1]))
            self.assertEqual(other.finish(), (0, b"", b""))


class Encoder(Terminal, unittest.TestCase):
    NAME = "b64filter"

    def typed(self, text):
        return text

    def shown(self, text):
        """The Base64 line of one read of the text with its line end, as the
        console gives it (CR LF, or LF)."""
        return [base64.b64encode(text + end) for end in (b"\r\n", b"\n")]


class Decoder(Terminal, unittest.TestCase):
    NAME = "b64unfilter"

    def typed(self, text):
        return base64.b64encode(text + b"\r\n")

    def shown(self, text):
        # Every text typed here has a byte outside the Base64 alphabet (a
        # space, a comma), so the echo of the typed line cannot show it.
        return [text]


if __name__ == "__main__":
    unittest.main()
