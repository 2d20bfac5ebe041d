"""What the end-to-end tests share: where the built programs are, the Wine
session of each test, installers packed with the authoring tool, and the
texts the installer shows.

Configuration comes from the environment that tests/e2e/CMakeLists.txt sets:
  SAVER_WIN32_DIR  the win32 build (installer.exe, Sample.scr)
  SAVERPACK        the native authoring tool
  E2E_WORK         a folder for the template prefix, the probe and each
                   test's own prefix, screenshots and logs
"""

import hashlib
import os
import shutil
import struct
import subprocess
import sys
import unittest
import zlib

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(SOURCE_DIR, "scripts", "e2e"))

import wineharness  # noqa: E402

WIN32_DIR = os.environ.get("SAVER_WIN32_DIR", os.path.join(SOURCE_DIR, "build", "win32"))
SAVERPACK = os.environ.get("SAVERPACK", os.path.join(SOURCE_DIR, "build", "native", "saverpack"))
WORK = os.environ.get("E2E_WORK", os.path.join(SOURCE_DIR, "build", "e2e-work"))
TEMPLATE = os.path.join(WORK, "wine-template")
PROBE = os.path.join(WORK, "winprobe.exe")

INSTALLER_STUB = os.path.join(WIN32_DIR, "installer.exe")
SAMPLE_SAVER = os.path.join(WIN32_DIR, "Sample.scr")

# CTest's SKIP_RETURN_CODE: the programs under test were not built.
SKIPPED = 77

WINDOWS_DIR = "C:\\windows"          # as Wine reports it
SETTINGS_CAPTION = "Sample Screen Saver Settings"


def require(*paths):
    """Ends the test as skipped when a program it runs has not been built."""
    missing = [p for p in paths if not os.path.exists(p)]
    if missing:
        print("skipped: not built: " + ", ".join(missing))
        sys.exit(SKIPPED)


def main():
    require(INSTALLER_STUB, SAMPLE_SAVER, SAVERPACK)
    if not os.path.exists(os.path.join(TEMPLATE, ".template-complete")):
        print("no template prefix at %s: run the e2e.prepare test first" % TEMPLATE)
        sys.exit(1)
    unittest.main(verbosity=2)


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


# Wine's own programs and libraries, which no test writes: not hashed.
UNWATCHED = ("system32", "winsxs", "syswow64")


def tree_state(root):
    """{relative path: digest, or 'dir'} of everything below root."""
    state = {}
    for dirpath, dirnames, filenames in os.walk(root):
        if dirpath == root:
            dirnames[:] = [d for d in dirnames if d.lower() not in UNWATCHED]
        for d in dirnames:
            state[os.path.relpath(os.path.join(dirpath, d), root)] = "dir"
        for f in filenames:
            path = os.path.join(dirpath, f)
            state[os.path.relpath(path, root)] = file_digest(path) if os.path.isfile(path) else "special"
    return state


def pack(out, title, saver=SAMPLE_SAVER, data=None, files=(), first_number=None, store=False, level=None,
         extra=()):
    """Makes an installer with the authoring tool, from the built installer."""
    command = [SAVERPACK, "pack", "--quiet", "--saver", saver, "--title", title,
               "--stub", INSTALLER_STUB, "-o", out] + list(extra)
    if data:
        command += ["--data", data]
    for f in files:
        command += ["--file", f]
    if first_number is not None:
        command += ["--first-number", str(first_number)]
    if store:
        command.append("--store")
    if level:
        command += ["--level", level]
    subprocess.run(command, check=True, timeout=600)
    return out


def sign(installer, signed, work):
    """Signs installer as an author would, with a throwaway self-signed
    certificate made in work; checks that the signing tool accepts the result
    (so the signature covers the package) and that saverpack verify does."""
    key, cert = os.path.join(work, "key.pem"), os.path.join(work, "cert.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "1", "-subj", "/CN=Throwaway Test Signer"], check=True, capture_output=True, timeout=120)
    subprocess.run(["osslsigncode", "sign", "-certs", cert, "-key", key, "-n", "Sample", "-in", installer,
                    "-out", signed], check=True, capture_output=True, timeout=120)
    subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", signed], check=True, capture_output=True,
                   timeout=120)
    verify = subprocess.run([SAVERPACK, "verify", signed], capture_output=True, text=True, timeout=600)
    if verify.returncode != 0 or "signed: certificate table of" not in verify.stdout:
        raise AssertionError("saverpack verify on the signed installer:\n" + verify.stdout + verify.stderr)
    return signed


def make_icon(path):
    """An .ico file of a 16-colour 32x32 bitmap and a 256x256 PNG."""
    def png(w, h):
        raw = b"".join(b"\0" + b"".join(bytes((x % 256, y % 256, 160, 255)) for x in range(w)) for y in range(h))
        def chunk(kind, data):
            return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
        return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 8, 6, 0, 0, 0)) +
                chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))

    def bitmap(w, h):
        header = struct.pack("<IiiHHIIiiII", 40, w, 2 * h, 1, 4, 0, 0, 0, 0, 16, 0)
        palette = b"".join(struct.pack("<BBBB", i * 16, 255 - i * 16, 128, 0) for i in range(16))
        rows = b"".join(bytes(((x // 2 + y) % 16) * 17 for x in range(w // 2)) for y in range(h))
        return header + palette + rows + bytes(4 * h)

    images = [(32, 32, 16, 4, bitmap(32, 32)), (0, 0, 0, 32, png(256, 256))]
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for w, h, colours, bits, data in images:
        out += struct.pack("<BBBBHHII", w, h, colours, 0, 1, bits, len(data), offset)
        offset += len(data)
    with open(path, "wb") as f:
        f.write(out + b"".join(image[4] for image in images))
    return path


def group_thousands(n):
    return "{:,}".format(n)


def confirmation_text(scr_name, title, size):
    return ("This program will install %s (%s Screen Saver) to %s and will make it your default Screen Saver."
            "  This installation will take %s bytes." % (scr_name, title, WINDOWS_DIR.upper(), group_thousands(size)))


def completion_text(stem):
    return ("Installation Complete!\r\n\r\nData files have also been installed in your %s\\TORVANEK\\LUMAVERN\\%s"
            " directory." % (WINDOWS_DIR, stem.upper()))


def caption_for(title):
    return "%s Screen Saver Installation" % title


class SessionTest(unittest.TestCase):
    """Each test runs in its own copy of the template prefix on its own Xvfb.

    Its folder under E2E_WORK/runs keeps the screenshots and Wine's logs."""

    def setUp(self):
        self.work = os.path.join(WORK, "runs", self.id().split(".")[-1])
        shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.work)
        self.session = wineharness.WineSession(self.work, TEMPLATE, PROBE)
        self.addCleanup(self.session.close, keep_prefix=bool(os.environ.get("E2E_KEEP")))
        self.downloads = os.path.join(self.session.drive_c, "Downloads")
        os.makedirs(self.downloads)

    def shot(self, name, window):
        return self.session.screenshot_window(os.path.join(self.work, name), window)

    def answer_box(self, caption, expected_text, key, buttons=None, exclude=(), screenshot=None, timeout=60):
        """Waits for a message box, checks its text, presses key (or, given
        a number, posts that button's command), waits until it closes."""
        box = self.session.wait_for_box(caption, exclude=exclude, timeout=timeout)
        self.assertEqual(box.message, expected_text, "text of the box %r" % caption)
        if buttons is not None:
            self.assertEqual([b.replace("&", "") for b in box.buttons], buttons, "buttons of %r" % caption)
        if screenshot:
            self.shot(screenshot, box)
        if isinstance(key, int):
            self.session.command_until_gone(box, key)
        else:
            self.session.press_until_gone(box, key)
        return box
