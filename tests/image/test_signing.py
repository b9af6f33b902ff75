"""The optional signing step, with a throwaway certificate.

    /usr/bin/python3 tests/image/test_signing.py    (B64FILTER_WIN32_IMAGE names the image;
        with B64_WINDOWS_ARCH=x64, B64FILTER_WIN64_IMAGE)

openssl makes a self-signed code-signing certificate; tools/sign-image signs
a copy of the filter's image with it. The signed image must carry a signature
that osslsigncode verifies (and a tampered copy must not), keep a valid
checksum and the unsigned image's bytes, and still encode under Wine (the x64
image in a 64-bit prefix).
"""

import os
import subprocess
import sys
import tempfile
import unittest

import pefile

from images import ARCH, PROGRAMS, path

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "e2e"))
import harness  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIGN_IMAGE = os.path.join(ROOT, "tools", "sign-image")
IMAGE = path(PROGRAMS[0])


def quiet(argv, **kwargs):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, **kwargs)


def verify(path, ca):
    return quiet(["osslsigncode", "verify", "-in", path, "-CAfile", ca])


class Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        cls.cert = os.path.join(cls.temp.name, "cert.pem")
        cls.key = os.path.join(cls.temp.name, "key.pem")
        cls.signed = os.path.join(cls.temp.name, "signed.exe")
        quiet(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
               "-subj", "/CN=Base64 Filter throwaway test signer",
               "-addext", "keyUsage=digitalSignature", "-addext", "extendedKeyUsage=codeSigning",
               "-keyout", cls.key, "-out", cls.cert], check=True)
        quiet([SIGN_IMAGE, "--cert", cls.cert, "--key", cls.key, IMAGE, cls.signed], check=True)
        with open(IMAGE, "rb") as f:
            cls.unsigned_bytes = f.read()
        with open(cls.signed, "rb") as f:
            cls.signed_bytes = f.read()

    @classmethod
    def tearDownClass(cls):
        cls.temp.cleanup()

    def test_signature_verifies_and_tampering_is_caught(self):
        result = verify(self.signed, self.cert)
        self.assertEqual(result.returncode, 0, result.stdout.decode(errors="replace"))
        # One byte of code changed after signing: the digest no longer matches.
        pe = pefile.PE(data=self.signed_bytes)
        code = next(s for s in pe.sections if s.Name.rstrip(b"\0") == b".code")
        tampered = bytearray(self.signed_bytes)
        tampered[code.PointerToRawData] ^= 0xFF
        path = os.path.join(self.temp.name, "tampered.exe")
        with open(path, "wb") as f:
            f.write(tampered)
        self.assertNotEqual(verify(path, self.cert).returncode, 0)

    def test_certificate_table_appended_checksum_valid(self):
        pe = pefile.PE(data=self.signed_bytes)
        security = pe.OPTIONAL_HEADER.DATA_DIRECTORY[
            pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        # The table follows the image's own bytes and runs to the end of the file.
        self.assertGreaterEqual(security.VirtualAddress, len(self.unsigned_bytes))
        self.assertEqual(security.VirtualAddress + security.Size, len(self.signed_bytes))
        self.assertEqual(pe.OPTIONAL_HEADER.CheckSum, pe.generate_checksum())
        # Apart from the checksum and the table's directory entry, nothing changed.
        unsigned = pefile.PE(data=self.unsigned_bytes)
        skip = [unsigned.OPTIONAL_HEADER.get_field_absolute_offset("CheckSum"),
                security.get_file_offset()]

        def masked(data):
            data = bytearray(data[:len(self.unsigned_bytes)])
            data[skip[0]:skip[0] + 4] = bytes(4)
            data[skip[1]:skip[1] + 8] = bytes(8)
            return data
        self.assertEqual(masked(self.signed_bytes), masked(self.unsigned_bytes))

    def test_signed_image_runs_under_wine(self):
        target = harness.wine_target(self.signed, "win64" if ARCH == "x64" else "win32")
        self.assertEqual(harness.run(target, stdin=b"hello"),
                         (0, b"aGVsbG8=\r\n", b""))


if __name__ == "__main__":
    unittest.main()
