"""The Windows release that tools/release makes, taken apart as a user would.

    B64FILTER_WIN32_IMAGE=IMAGE B64FILTER_WIN64_IMAGE=IMAGE \
        /usr/bin/python3 tests/release/test_release.py [--wine]
    /usr/bin/python3 tests/release/test_release.py --versions

tools/release packages each architecture's encoder image and the decoder's
beside it (b64unfilter.exe) into two temporary directories; the two must be
the same bytes. The zip is unpacked into a fresh folder, where `sha256sum -c`
checks the sums; its entries must be the sorted six (the texts, then x64/ and
x86/ with both programs each), dated alike, with the texts in CR LF and the
images unchanged. The unpacked programs then run under Wine (tools/wine-run),
the encoder's text through the decoder, the x86 ones in a 32-bit prefix and
the x64 ones in a 64-bit one: that case alone runs with --wine, and only
there. A signed release must hold all four images signed. --versions needs
neither image nor Wine: tools/release must refuse a changelog whose newest
section is not the version in VERSION, before it writes anything, and once
that section records the zip's SHA-256, a zip of other bytes, leaving the
release it made before as it was; and a release that builds its images (both
architectures') must run the long sweeps on them before it makes the zip, and
make none when they fail (over stand-ins for cmake and tools/verdicts).
"""

import hashlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import harness  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
RELEASE = os.path.join(ROOT, "tools", "release")
# Each architecture's folder in the zip, the directory of its images, and the Wine prefix it runs in.
ARCHITECTURES = [("x86", os.path.dirname(os.environ.get("B64FILTER_WIN32_IMAGE", "")), "win32"),
                 ("x64", os.path.dirname(os.environ.get("B64FILTER_WIN64_IMAGE", "")), "win64")]
IMAGES = [directory for _, directory, _ in ARCHITECTURES]
PROGRAMS = ["b64filter.exe", "b64unfilter.exe"]
# Each released image: its name in the zip and the file it is made of.
RELEASED = [(folder + "/" + name, os.path.join(directory, name))
            for folder, directory, _ in ARCHITECTURES for name in PROGRAMS]
ENTRIES = ["LICENSE.txt", "README.txt"] + sorted(name for name, _ in RELEASED)


def quiet(argv, **kwargs):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, timeout=600, **kwargs)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def version():
    with open(os.path.join(ROOT, "VERSION"), encoding="ascii") as f:
        return f.read().strip()


def changelog(directory, text):
    path = os.path.join(directory, "CHANGELOG.md")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


def zip_name():
    return "b64filter-%s-windows.zip" % version()


def dated(directory, recorded=None):
    """A changelog whose newest section is this version's, with the zip's
    SHA-256 recorded when one is given."""
    text = "# Changelog\n\n## %s (2026-12-09)\n" % version()
    if recorded:
        text += "\n`%s`, SHA-256 `%s`.\n" % (zip_name(), recorded)
    return changelog(directory, text)


def run_release(out, *options, images=IMAGES, tool=RELEASE, recorded=None):
    # A changelog of this version, so that the package is tested whatever the
    # real one says now (an "Unreleased" section is refused: Versions below).
    return quiet([tool, "--images", *images, "--out", out,
                  "--changelog", dated(os.path.dirname(out), recorded), *options])


def make_release(out, *options, **kwargs):
    result = run_release(out, *options, **kwargs)
    assert result.returncode == 0, result.stdout.decode(errors="replace")
    return os.path.join(out, zip_name())


def sha256(path):
    return hashlib.sha256(read(path)).hexdigest()


def contents(directory):
    """Every file under directory, by its path there."""
    return {os.path.relpath(os.path.join(top, name), directory): read(os.path.join(top, name))
            for top, _, names in os.walk(directory) for name in names}


def crlf_of(path):
    return read(path).replace(b"\n", b"\r\n")


def fake_images(directory, text):
    """Directories of stand-ins for the four images, x86's and x64's, each
    "MZ" and text, the architecture and the program's name: their paths."""
    made = []
    for folder, _, _ in ARCHITECTURES:
        made.append(os.path.join(directory, folder))
        os.makedirs(made[-1])
        for name in PROGRAMS:
            with open(os.path.join(made[-1], name), "wb") as f:
                f.write(b"MZ %s %s %s" % (text, folder.encode(), name.encode()))
    return made


class Made(unittest.TestCase):
    """Two releases of the image, and the first one unpacked."""

    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        cls.zip = make_release(os.path.join(cls.temp.name, "first"))
        cls.again = make_release(os.path.join(cls.temp.name, "second"))
        cls.unpacked = os.path.join(cls.temp.name, "unpacked")
        os.mkdir(cls.unpacked)
        with zipfile.ZipFile(cls.zip) as archive:
            archive.extractall(cls.unpacked)

    @classmethod
    def tearDownClass(cls):
        cls.temp.cleanup()


class Package(Made):
    def test_reproducible(self):
        for name in [os.path.basename(self.zip), "SHA256SUMS"] + [name for name, _ in RELEASED]:
            self.assertEqual(read(os.path.join(os.path.dirname(self.zip), name)),
                             read(os.path.join(os.path.dirname(self.again), name)), name)

    def test_sums_check_out_beside_the_unpacked_files(self):
        for name in (os.path.basename(self.zip), "SHA256SUMS"):
            shutil.copy(os.path.join(os.path.dirname(self.zip), name), self.unpacked)
        result = quiet(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=self.unpacked)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(result.stdout.decode().split(),
                         [word for name in [os.path.basename(self.zip)] + [name for name, _ in RELEASED]
                          for word in (name + ":", "OK")])

    def test_entries(self):
        with zipfile.ZipFile(self.zip) as archive:
            self.assertIsNone(archive.testzip())
            infos = archive.infolist()
        self.assertEqual([i.filename for i in infos], ENTRIES)
        for info in infos:
            self.assertEqual((info.date_time, info.extra, info.comment),
                             ((1980, 1, 1, 0, 0, 0), b"", b""), info.filename)
        for name, image in RELEASED:
            self.assertEqual(read(os.path.join(self.unpacked, name)), read(image), name)
        # README.txt says what each folder is for, as Windows names a folder.
        for folder, _, _ in ARCHITECTURES:
            self.assertIn(b"\n    %s\\   " % folder.encode(), read(os.path.join(self.unpacked, "README.txt")))
        for entry, source in (("README.txt", "docs/README.txt"), ("LICENSE.txt", "LICENSE")):
            text = read(os.path.join(self.unpacked, entry))
            self.assertEqual(text, crlf_of(os.path.join(ROOT, source)), entry)
            self.assertNotIn(b"\r\r", text)
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), entry)
            self.assertTrue(text.endswith(b"\r\n"), entry)

    def test_signed_release_holds_the_signed_image(self):
        out = os.path.join(self.temp.name, "signed")
        cert, key = os.path.join(self.temp.name, "cert.pem"), os.path.join(self.temp.name, "key.pem")
        self.assertEqual(quiet([RELEASE, "--images", *IMAGES, "--out", out, "--sign"]).returncode, 2)
        quiet(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
               "-subj", "/CN=Base64 Filter throwaway test signer",
               "-addext", "extendedKeyUsage=codeSigning", "-keyout", key, "-out", cert], check=True)
        archive = make_release(out, "--sign", "--cert", cert, "--key", key)
        for name, image in RELEASED:
            with zipfile.ZipFile(archive) as opened:
                signed = opened.read(name)
            self.assertEqual(signed, read(os.path.join(out, name)), name)
            self.assertNotEqual(signed, read(image), name)
            verified = quiet(["osslsigncode", "verify", "-in", os.path.join(out, name), "-CAfile", cert])
            self.assertEqual(verified.returncode, 0, verified.stdout)
        self.assertEqual(quiet(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=out).returncode, 0)
        # A new signature is new bytes: refused once the version's zip is recorded.
        signed_release = contents(out)
        again = run_release(out, "--sign", "--cert", cert, "--key", key, recorded=sha256(self.zip))
        self.assertEqual(again.returncode, 1, again.stdout)
        self.assertEqual(contents(out), signed_release)


class UnderWine(Made):
    def test_unpacked_programs_encode_and_decode_under_wine(self):
        data = random.Random(57).randbytes(3 * 57 + 20)
        for folder, _, arch in ARCHITECTURES:
            with self.subTest(folder):
                encoder, decoder = (harness.wine_target(os.path.join(self.unpacked, folder, name), arch)
                                    for name in PROGRAMS)
                text = harness.expected_output(data)
                self.assertEqual(harness.run(encoder, stdin=data), (0, text, b""))
                self.assertEqual(harness.run(decoder, stdin=text), (0, data, b""))
                # The filter's text from a pipe has a padded line in the middle.
                pieces = [data[:20], data[20:]]
                piped = b"".join(harness.expected_output(piece) for piece in pieces)
                self.assertEqual(harness.lockstep_run(encoder, pieces), (0, piped, b""))
                self.assertEqual(harness.run(decoder, stdin=piped), (0, data, b""))
                self.assertEqual(harness.run(decoder, stdin=b"aGVsbG8=\r\n-"),
                                 (13, b"hello", b"Invalid Base64 input at line 2, column 1\r\n"))


class Versions(unittest.TestCase):
    """A zip is made only under the version of the changelog's newest section."""

    def test_only_the_newest_section_of_this_version_is_released(self):
        this, other = version(), "7.6.5.4"
        refused = {
            "unreleased on top": "## Unreleased\n\n- more\n\n## %s (2026-12-09)\n" % this,
            "another version on top": "## %s (2026-12-09)\n\n## %s (2026-12-08)\n" % (other, this),
            "no date": "## %s\n" % this,
            "not yet released": "## %s (2026-12-09), not yet\n" % this,
            "a longer version": "## %s.1 (2026-12-09)\n" % this,
            "no section": "# Changelog\n\n%s (2026-12-09)\n" % this,
        }
        for name, text in refused.items():
            with self.subTest(name), tempfile.TemporaryDirectory() as temp:
                out = os.path.join(temp, "out")
                result = quiet([RELEASE, "--images", os.path.join(temp, "none"), os.path.join(temp, "none"),
                                "--out", out, "--changelog", changelog(temp, text)])
                said = result.stdout.decode()
                self.assertEqual(result.returncode, 1, said)
                self.assertIn("no release of %s" % this, said)
                self.assertIn("VERSION", said)
                self.assertFalse(os.path.exists(out))
        with tempfile.TemporaryDirectory() as temp:
            images = fake_images(os.path.join(temp, "images"), b"any")
            archive = make_release(os.path.join(temp, "out"), images=images)
            with zipfile.ZipFile(archive) as opened:
                # Each folder holds its architecture's images, under their own names.
                self.assertEqual({name: opened.read(name) for name in opened.namelist() if "/" in name},
                                 {folder + "/" + name: b"MZ any %s %s" % (folder.encode(), name.encode())
                                  for folder, _, _ in ARCHITECTURES for name in PROGRAMS})
            # Any image missing: no release.
            for image in [os.path.join(directory, name) for directory in images for name in PROGRAMS]:
                os.rename(image, os.path.join(temp, "away"))
                result = run_release(os.path.join(temp, "missing"), images=images)
                os.rename(os.path.join(temp, "away"), image)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn(b"no image at " + image.encode(), result.stdout)
                self.assertFalse(os.path.exists(os.path.join(temp, "missing", zip_name())))


class Recorded(unittest.TestCase):
    """Once the changelog records the zip's SHA-256, tools/release makes those
    bytes or nothing: a change to any file the zip carries is refused, and the
    release made before stays as it was. On a copy of the tree, whose
    tools/release takes the texts from the copy."""

    def test_a_change_to_any_file_the_zip_carries_is_refused(self):
        with tempfile.TemporaryDirectory() as temp:
            tree = os.path.join(temp, "tree")
            shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns(".git", "build", "__pycache__"))
            tool = os.path.join(tree, "tools", "release")
            images = fake_images(os.path.join(temp, "images"), b"released")
            out = os.path.join(temp, "out")
            recorded = sha256(make_release(out, images=images, tool=tool))
            make_release(out, images=images, tool=tool, recorded=recorded)  # the same bytes: made
            released = contents(out)
            for entry, source in self.sources(released[zip_name()], images, tree).items():
                with self.subTest(entry):
                    original = read(source)
                    with open(source, "ab") as f:
                        f.write(b"one more line\n")
                    result = run_release(out, images=images, tool=tool, recorded=recorded)
                    with open(source, "wb") as f:
                        f.write(original)
                    said = result.stdout.decode()
                    self.assertEqual(result.returncode, 1, said)
                    self.assertIn("records SHA-256 %s for %s" % (recorded, zip_name()), said)
                    self.assertEqual(contents(out), released)

    def sources(self, archive_bytes, images, tree):
        """Each entry of the zip, by the file it is made of: an image, or the
        one file of the tree with its bytes (the texts with CR LF)."""
        files = [os.path.join(top, name) for root in images + [tree]
                 for top, _, names in os.walk(root) for name in names]
        found = {}
        with tempfile.TemporaryFile() as f:
            f.write(archive_bytes)
            with zipfile.ZipFile(f) as archive:
                for entry in archive.namelist():
                    data = archive.read(entry)
                    matches = [path for path in files
                               if data in (read(path), crlf_of(path))]
                    self.assertEqual(len(matches), 1, "%s is made of %s" % (entry, matches))
                    found[entry] = matches[0]
        self.assertEqual(sorted(found), ENTRIES)
        return found

    def test_two_recorded_sums_are_refused_before_anything_is_written(self):
        with tempfile.TemporaryDirectory() as temp:
            two = "## %s (2026-12-09)\n\n`%s`, SHA-256 `%s`.\n`%s`, SHA-256 `%s`.\n" % (
                version(), zip_name(), "ab" * 32, zip_name(), "cd" * 32)
            out = os.path.join(temp, "out")
            result = quiet([RELEASE, "--images", os.path.join(temp, "none"), os.path.join(temp, "none"),
                            "--out", out, "--changelog", changelog(temp, two)])
            self.assertEqual(result.returncode, 1, result.stdout)
            self.assertIn(b"records 2 SHA-256s", result.stdout)
            self.assertFalse(os.path.exists(out))


class Sweeps(unittest.TestCase):
    """The release that builds its images runs the long sweeps on them, every
    one afresh, before it makes the zip, and makes none when they fail; one of
    given images runs none. On a copy of the tree, with cmake and
    tools/verdicts as stand-ins that log how they are called."""

    CMAKE = """#!/bin/sh
echo "cmake $*" >> "$FAKE_LOG"
if [ "$1" = --preset ]; then mkdir -p "build/$2" && touch "build/$2/build.ninja"; fi
for preset in win32 win64; do
  if [ "$1 $2" = "--build $PWD/build/$preset" ]; then
    printf "MZ $preset encoder" > build/$preset/b64filter.exe
    printf "MZ $preset decoder" > build/$preset/b64unfilter.exe
  fi
done
"""
    VERDICTS = '#!/bin/sh\necho "verdicts $*" >> "$FAKE_LOG"\nexit "$FAKE_SWEEPS"\n'

    def test_the_sweeps_run_before_the_zip_and_a_failure_stops_it(self):
        with tempfile.TemporaryDirectory() as temp:
            tree, bin_dir, log = (os.path.join(temp, name) for name in ("tree", "bin", "log"))
            shutil.copytree(ROOT, tree, ignore=shutil.ignore_patterns(".git", "build", "__pycache__"))
            os.mkdir(bin_dir)
            for path, text in ((os.path.join(bin_dir, "cmake"), self.CMAKE),
                               (os.path.join(tree, "tools", "verdicts"), self.VERDICTS)):
                with open(path, "w", encoding="utf-8") as f:
                    f.write(text)
                os.chmod(path, 0o755)
            images = fake_images(os.path.join(temp, "images"), b"given")
            sweeps = "verdicts ctest --preset long --no-reuse"
            rows = [  # (the sweeps' exit status, images given, exit status, a zip made, the sweeps run)
                ("0", False, 0, True, [sweeps]), ("1", False, 1, False, [sweeps]), ("1", True, 0, True, [])]
            for status, given, expected, made, logged in rows:
                out = os.path.join(temp, "out") if given else os.path.join(tree, "build", "release")
                shutil.rmtree(out, ignore_errors=True)
                argv = [os.path.join(tree, "tools", "release"), "--changelog", dated(temp)]
                argv += ["--images", *images, "--out", out] if given else []
                env = dict(os.environ, PATH=bin_dir + os.pathsep + os.environ["PATH"], FAKE_LOG=log,
                           FAKE_SWEEPS=status)
                open(log, "w", encoding="utf-8").close()
                result = quiet(argv, cwd=tree, env=env)
                with open(log, encoding="utf-8") as f:
                    calls = f.read().splitlines()
                self.assertEqual((result.returncode, os.path.exists(os.path.join(out, zip_name()))),
                                 (expected, made), result.stdout)
                self.assertEqual([c for c in calls if c.startswith("verdicts")], logged)
                if not given:  # both architectures' images are built first, then the sweeps' program
                    for preset in ("win32", "win64"):
                        self.assertLess(calls.index("cmake --build %s/build/%s" % (tree, preset)),
                                        calls.index("cmake --build --preset host --target proof_tests"))
                if made and not given:  # from the trees it built
                    with zipfile.ZipFile(os.path.join(out, zip_name())) as opened:
                        self.assertEqual(opened.read("x64/b64unfilter.exe"), b"MZ win64 decoder")


if __name__ == "__main__":
    mode = {"--wine": ["UnderWine"], "--versions": ["Versions", "Recorded", "Sweeps"]}.get(sys.argv[-1], ["Package"])
    if mode != ["Package"]:
        sys.argv.pop()
    unittest.main(defaultTest=mode)
