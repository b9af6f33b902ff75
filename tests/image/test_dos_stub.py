"""Each image's DOS stub (the filter's and the decoder's), run for real in DOSBox.

    python3 tests/image/test_dos_stub.py
        (B64FILTER_WIN32_IMAGE and B64UNFILTER_WIN32_IMAGE name the images)

Started under DOS, an image must print its one line (CR LF and a bell at
the end) and end with exit code 1. DOSBox runs headless (SDL's dummy video
and audio drivers); inside the DOS session the output goes to a file and
"if errorlevel" records the exit code, since DOSBox's own exit status says
nothing about the program's.
"""

import os
import shutil
import subprocess
import tempfile
import unittest

from images import PROGRAMS, path

CONFIG = """\
[sdl]
output=surface
[mixer]
nosound=true
[speaker]
pcspeaker=false
[midi]
mpu401=none
mididevice=none
"""


def run_in_dosbox(directory, commands):
    config = os.path.join(directory, "dosbox.conf")
    with open(config, "w") as f:
        f.write(CONFIG)
    argv = ["dosbox", "-conf", config, "-noautoexec", "-c", "mount c " + directory, "-c", "c:"]
    for command in commands + ["exit"]:
        argv += ["-c", command]
    env = dict(os.environ, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="dummy",
               HOME=directory)  # DOSBox writes its own settings under HOME
    subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=120, check=True)


def read(directory, name):
    with open(os.path.join(directory, name), "rb") as f:
        return f.read()


class DosStub(unittest.TestCase):
    def test_prints_its_line_and_exits_with_1(self):
        for program in PROGRAMS:
            with self.subTest(program.name), tempfile.TemporaryDirectory() as directory:
                # The same bytes under a DOS 8.3 name.
                shutil.copyfile(path(program), os.path.join(directory, "B64F.EXE"))
                # A redirection creates its file even when the "if" is false, so
                # each file says by its content whether the level was reached.
                run_in_dosbox(directory, ["B64F.EXE > OUT.TXT",
                                          "if errorlevel 1 echo yes> GE1.TXT",
                                          "if errorlevel 2 echo yes> GE2.TXT"])
                self.assertEqual(read(directory, "OUT.TXT"), program.dos_line + b"\r\n\x07")
                self.assertEqual(read(directory, "GE1.TXT"), b"yes\r\n")
                self.assertEqual(read(directory, "GE2.TXT"), b"")


if __name__ == "__main__":
    unittest.main()
