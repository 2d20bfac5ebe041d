"""The installer's application manifest, read out of build/win32/installer.exe.

Wine starts programs whose manifest is malformed, so the manifest is parsed
here: resource type 24, id 1, language 1033; well-formed XML; the trustInfo
element in the asm.v3 namespace asks for highestAvailable without uiAccess;
the compatibility element names the five systems from Vista to 10/11; the
asm.v3 application element declares system DPI awareness (not per-monitor
awareness, no Common Controls 6 dependency); no element declares a namespace
twice (Windows XP SP2 fails hard on that) and nothing but the root is in the
asm.v1 namespace (XP refuses to start a program with an application element
there).
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
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
WINDOWS_SETTINGS = "http://schemas.microsoft.com/SMI/2005/WindowsSettings"
# supportedOS Ids of Vista, 7, 8, 8.1 and 10/11, as Microsoft publishes them.
SUPPORTED_OS = {"{e2011457-1546-43c5-a5fe-008deee3d3f0}", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
                "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
                "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"}


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

    def test_names_the_systems_from_vista_to_11(self):
        root = ET.fromstring(self.text)
        ids = [e.get("Id") for e in root.findall("{0}compatibility/{0}application/{0}supportedOS"
                                                   .format("{%s}" % COMPATIBILITY))]
        self.assertEqual(len(ids), len(SUPPORTED_OS))
        self.assertEqual(set(ids), SUPPORTED_OS)

    def test_declares_system_dpi_awareness_only(self):
        root = ET.fromstring(self.text)
        aware = root.findall("{%s}application/{%s}windowsSettings/{%s}dpiAware" % (ASM_V3, ASM_V3, WINDOWS_SETTINGS))
        self.assertEqual([a.text for a in aware], ["true"])
        settings = root.findall("{%s}application/{%s}windowsSettings/*" % (ASM_V3, ASM_V3))
        self.assertEqual(len(settings), 1, "per-monitor awareness (dpiAwareness) or another setting")
        self.assertEqual(root.findall(".//{%s}dependency" % ASM_V1), [], "a dependency (Common Controls 6)")

    def test_no_element_declares_a_namespace_twice(self):
        self.assertEqual(declared_twice(self.text), [])
        # asm.v1 on the root, asm.v3 on trustInfo and application, one each
        # on compatibility and dpiAware.
        self.assertEqual(sum(len(d) for _, d in declarations(self.text)), 5)

    def test_the_check_finds_a_namespace_declared_twice(self):
        # Well-formed XML, yet one element declares asm.v3 twice.
        doubled = self.text.replace(b'<trustInfo xmlns="%s"' % ASM_V3.encode(),
                                    b'<trustInfo xmlns="%s" xmlns:v3="%s"' % (ASM_V3.encode(), ASM_V3.encode()))
        self.assertNotEqual(doubled, self.text)
        ET.fromstring(doubled)
        self.assertEqual(declared_twice(doubled), ["trustInfo"])

    def test_every_element_is_in_its_namespace(self):
        self.assertEqual(misplaced(ET.fromstring(self.text)), [])

    def test_the_check_finds_an_application_element_in_asm_v1(self):
        # Without its own declaration the element falls into the root's
        # asm.v1 namespace, as in the manifests XP refuses.
        moved = self.text.replace(b'<application xmlns="%s">' % ASM_V3.encode(), b"<application>")
        self.assertNotEqual(moved, self.text)
        self.assertEqual(misplaced(ET.fromstring(moved)), ["application", "windowsSettings"])


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


def misplaced(root):
    """The local names of the elements below the root that are in asm.v1,
    and of application elements in another namespace than asm.v3 (but for
    the one inside compatibility, which is in that element's namespace)."""
    found = []
    allowed = {"{%s}application" % ASM_V3, "{%s}application" % COMPATIBILITY}
    for parent in root.iter():
        for element in parent:
            namespace, _, name = element.tag[1:].partition("}")
            inside_compatibility = parent.tag == "{%s}compatibility" % COMPATIBILITY
            if namespace == ASM_V1 or (name == "application" and (
                    element.tag not in allowed or (namespace == COMPATIBILITY) != inside_compatibility)):
                found.append(name)
    return found


def declared_twice(text):
    """The elements that declare one namespace more than once."""
    return [name for name, pairs in declarations(text) if len({v for _, v in pairs}) != len(pairs)]


if __name__ == "__main__":
    result = unittest.main(exit=False).result
    sys.exit(77 if result.skipped and not result.testsRun - len(result.skipped) else
             0 if result.wasSuccessful() else 1)
