"""The Windows release that tools/release makes, taken apart as a user would.

    B64FILTER_WIN32_IMAGE=IMAGE /usr/bin/python3 tests/release/test_release.py [--wine]
    /usr/bin/python3 tests/release/test_release.py --versions

tools/release packages the image into two temporary directories; the two
must be the same bytes. The zip is unpacked into a fresh folder, where
`sha256sum -c` checks the sums; its entries must be the sorted three, dated
alike, with the texts in CR LF and the image unchanged. The unpacked program
then encodes under Wine (tools/wine-run): that case alone runs with --wine,
and only there. A signed release must hold the signed image. --versions
needs neither the image nor Wine: tools/release must refuse a changelog whose
newest section is not the version in VERSION, before it writes anything.
"""

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
IMAGE = os.environ.get("B64FILTER_WIN32_IMAGE", "")
ENTRIES = ["LICENSE.txt", "README.txt", "b64filter.exe"]


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


def make_release(out, *options, image=IMAGE):
    # A changelog of this version, so that the package is tested whatever the
    # real one says now (an "Unreleased" section is refused: Versions below).
    dated = changelog(os.path.dirname(out), "# Changelog\n\n## %s (2026-12-09)\n" % version())
    result = quiet([RELEASE, "--image", image, "--out", out, "--changelog", dated, *options])
    assert result.returncode == 0, result.stdout.decode(errors="replace")
    return os.path.join(out, "b64filter-%s-win32.zip" % version())


def crlf_of(path):
    return read(path).replace(b"\n", b"\r\n")


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
        for name in (os.path.basename(self.zip), "SHA256SUMS", "b64filter.exe"):
            self.assertEqual(read(os.path.join(os.path.dirname(self.zip), name)),
                             read(os.path.join(os.path.dirname(self.again), name)), name)

    def test_sums_check_out_beside_the_unpacked_files(self):
        for name in (os.path.basename(self.zip), "SHA256SUMS"):
            shutil.copy(os.path.join(os.path.dirname(self.zip), name), self.unpacked)
        result = quiet(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=self.unpacked)
        self.assertEqual(result.returncode, 0, result.stdout)
        self.assertEqual(result.stdout.decode().split(),
                         [os.path.basename(self.zip) + ":", "OK", "b64filter.exe:", "OK"])

    def test_entries(self):
        with zipfile.ZipFile(self.zip) as archive:
            self.assertIsNone(archive.testzip())
            infos = archive.infolist()
        self.assertEqual([i.filename for i in infos], ENTRIES)
        for info in infos:
            self.assertEqual((info.date_time, info.extra, info.comment),
                             ((1980, 1, 1, 0, 0, 0), b"", b""), info.filename)
        self.assertEqual(read(os.path.join(self.unpacked, "b64filter.exe")), read(IMAGE))
        for entry, source in (("README.txt", "docs/README.txt"), ("LICENSE.txt", "LICENSE")):
            text = read(os.path.join(self.unpacked, entry))
            self.assertEqual(text, crlf_of(os.path.join(ROOT, source)), entry)
            self.assertNotIn(b"\r\r", text)
            self.assertEqual(text.count(b"\n"), text.count(b"\r\n"), entry)
            self.assertTrue(text.endswith(b"\r\n"), entry)

    def test_signed_release_holds_the_signed_image(self):
        out = os.path.join(self.temp.name, "signed")
        cert, key = os.path.join(self.temp.name, "cert.pem"), os.path.join(self.temp.name, "key.pem")
        self.assertEqual(quiet([RELEASE, "--image", IMAGE, "--out", out, "--sign"]).returncode, 2)
        quiet(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
               "-subj", "/CN=Base64 Filter throwaway test signer",
               "-addext", "extendedKeyUsage=codeSigning", "-keyout", key, "-out", cert], check=True)
        archive = make_release(out, "--sign", "--cert", cert, "--key", key)
        with zipfile.ZipFile(archive) as opened:
            signed = opened.read("b64filter.exe")
        self.assertEqual(signed, read(os.path.join(out, "b64filter.exe")))
        self.assertNotEqual(signed, read(IMAGE))
        verified = quiet(["osslsigncode", "verify", "-in", os.path.join(out, "b64filter.exe"),
                          "-CAfile", cert])
        self.assertEqual(verified.returncode, 0, verified.stdout)
        self.assertEqual(quiet(["sha256sum", "--check", "--strict", "SHA256SUMS"], cwd=out).returncode, 0)


class UnderWine(Made):
    def test_unpacked_program_encodes_under_wine(self):
        data = random.Random(57).randbytes(3 * 57 + 20)
        program = harness.wine_target(os.path.join(self.unpacked, "b64filter.exe"))
        self.assertEqual(harness.run(program, stdin=data), (0, harness.expected_output(data), b""))


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
                result = quiet([RELEASE, "--image", os.path.join(temp, "no.exe"), "--out", out,
                                "--changelog", changelog(temp, text)])
                said = result.stdout.decode()
                self.assertEqual(result.returncode, 1, said)
                self.assertIn("no release of %s" % this, said)
                self.assertIn("VERSION", said)
                self.assertFalse(os.path.exists(out))
        with tempfile.TemporaryDirectory() as temp:
            image = os.path.join(temp, "any.exe")
            with open(image, "wb") as f:
                f.write(b"MZ any bytes")
            archive = make_release(os.path.join(temp, "out"), image=image)
            with zipfile.ZipFile(archive) as opened:
                self.assertEqual(opened.read("b64filter.exe"), b"MZ any bytes")


if __name__ == "__main__":
    mode = {"--wine": "UnderWine", "--versions": "Versions"}.get(sys.argv[-1], "Package")
    if mode != "Package":
        sys.argv.pop()
    unittest.main(defaultTest=mode)
