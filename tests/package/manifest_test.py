"""The installer's application manifest, read out of build/win32/installer.exe.

Wine starts programs whose manifest is malformed, so the manifest is parsed
here: resource type 24, id 1, language 1033; well-formed XML; the trustInfo
element in the asm.v3 namespace asks for highestAvailable without uiAccess;
no element declares a namespace twice (Windows XP SP2 fails hard on that).
"""
import os
import struct
import sys
import unittest
import xml.etree.ElementTree as ET
import xml.parsers.expat

WIN32_DIR = os.environ.get("SAVER_WIN32_DIR", os.path.join(os.path.dirname(__file__), "../../build/win32"))
INSTALLER = os.path.join(WIN32_DIR, "installer.exe")
ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"


def resource(image, path):
    """The data of the resource at path (type, name, language ids)."""
    pe = struct.unpack_from("<I", image, 60)[0]
    count = struct.unpack_from("<H", image, pe + 6)[0]
    for i in range(count):
        at = pe + 248 + 40 * i
        if image[at:at + 8].rstrip(b"\0") == b".rsrc":
            va, raw = struct.unpack_from("<I", image, at + 12)[0], struct.unpack_from("<I", image, at + 20)[0]
            break
    else:
        raise AssertionError("no .rsrc section")
    directory = 0
    for wanted in path:
        named, ids = struct.unpack_from("<HH", image, raw + directory + 12)
        entries = [struct.unpack_from("<II", image, raw + directory + 16 + 8 * k) for k in range(named + ids)]
        targets = [target for name, target in entries if not name & 0x80000000 and name == wanted]
        if not targets:
            raise AssertionError("no resource entry %d on the way to %r" % (wanted, path))
        directory = targets[0] & 0x7FFFFFFF
    rva, size = struct.unpack_from("<II", image, raw + directory)
    return image[rva - va + raw:rva - va + raw + size]


class ManifestTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not os.path.exists(INSTALLER):
            raise unittest.SkipTest("installer.exe not built")
        with open(INSTALLER, "rb") as f:
            cls.text = resource(f.read(), (24, 1, 1033))

    def test_asks_for_the_highest_rights_the_user_has(self):
        root = ET.fromstring(self.text)
        self.assertEqual(root.tag, "{%s}assembly" % ASM_V1)
        self.assertEqual(root.get("manifestVersion"), "1.0")
        levels = root.findall("{0}trustInfo/{0}security/{0}requestedPrivileges/{0}requestedExecutionLevel"
                              .format("{%s}" % ASM_V3))
        self.assertEqual(len(levels), 1)
        self.assertEqual(levels[0].get("level"), "highestAvailable")
        self.assertEqual(levels[0].get("uiAccess"), "false")

    def test_no_element_declares_a_namespace_twice(self):
        self.assertEqual(declared_twice(self.text), [])
        self.assertEqual(sum(len(d) for _, d in declarations(self.text)), 2)  # asm.v1 and asm.v3, once each

    def test_the_check_finds_a_namespace_declared_twice(self):
        # Well-formed XML, yet one element declares asm.v3 twice.
        doubled = self.text.replace(b'<trustInfo xmlns="%s"' % ASM_V3.encode(),
                                    b'<trustInfo xmlns="%s" xmlns:v3="%s"' % (ASM_V3.encode(), ASM_V3.encode()))
        self.assertNotEqual(doubled, self.text)
        ET.fromstring(doubled)
        self.assertEqual(declared_twice(doubled), ["trustInfo"])


def declarations(text):
    """(element, [(attribute, namespace)]) for every element, in order."""
    found = []
    parser = xml.parsers.expat.ParserCreate()
    parser.ordered_attributes = True

    def start(name, attributes):
        pairs = list(zip(attributes[0::2], attributes[1::2]))
        found.append((name, [(a, v) for a, v in pairs if a == "xmlns" or a.startswith("xmlns:")]))
    parser.StartElementHandler = start
    parser.Parse(text, True)
    return found


def declared_twice(text):
    """The elements that declare one namespace more than once."""
    return [name for name, pairs in declarations(text) if len({v for _, v in pairs}) != len(pairs)]


if __name__ == "__main__":
    result = unittest.main(exit=False).result
    sys.exit(77 if result.skipped and not result.testsRun - len(result.skipped) else
             0 if result.wasSuccessful() else 1)
