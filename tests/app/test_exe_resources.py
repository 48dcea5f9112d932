"""The Windows exe as Windows sees it, read with tools that share nothing with the build:
icoutils' wrestool takes the resources out of the exe and icotool lists the icon's images; the
version information, the manifest and the PE headers are read here from their documented
layouts."""

import os
import shutil
import struct
import subprocess
import tempfile
import unittest
import xml.etree.ElementTree as ET

EXE = os.environ.get("SKIFFBOX_EXE", "")
VERSION = os.environ.get("SKIFFBOX_VERSION", "")
BITS = int(os.environ.get("SKIFFBOX_BITS", "64"))

RT_ICON_GROUP = 14
RT_VERSION = 16
RT_MANIFEST = 24
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}
IMAGE_FILE_MACHINE = {32: 0x014C, 64: 0x8664}
IMAGE_FILE_LARGE_ADDRESS_AWARE = 0x0020


def tool(name):
    path = shutil.which(name)
    if not path:
        raise RuntimeError("%s is missing (scripts/deps test installs icoutils)" % name)
    return path


def resource(kind):
    """The exe's resource of that type (the first one): an icon group as wrestool rebuilds it
    into a .ico file, anything else as its raw bytes."""
    raw = [] if kind == RT_ICON_GROUP else ["--raw"]
    out = subprocess.run([tool("wrestool"), "-x", "--type=%d" % kind] + raw + [EXE],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True, timeout=60)
    if not out.stdout:
        raise AssertionError("the exe has no resource of type %d" % kind)
    return out.stdout


def version_node(data, at=0):
    """One node of a VS_VERSIONINFO tree: (key, value bytes, type, children, end). Every node
    is wLength, wValueLength, wType, a NUL-terminated UTF-16 key, then the value and the
    children, each started on a 4-byte boundary."""
    length, value_length, kind = struct.unpack_from("<HHH", data, at)
    end = at + length
    pos = at + 6
    key_end = pos
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[pos:key_end].decode("utf-16-le")
    pos = (key_end + 2 + 3) & ~3
    value_bytes = value_length * 2 if kind == 1 else value_length  # text values count in WORDs
    value = data[pos:pos + value_bytes]
    pos = (pos + value_bytes + 3) & ~3
    children = []
    while pos < end:
        child = version_node(data, pos)
        children.append(child)
        pos = (child[4] + 3) & ~3
    return key, value, kind, children, end


def version_strings(data):
    """(fixed file version as 4 numbers, fixed product version, {name: text} of every
    string table)."""
    key, fixed, _, children, _ = version_node(data)
    assert key == "VS_VERSION_INFO", key
    signature, _, file_ms, file_ls, prod_ms, prod_ls = struct.unpack_from("<6I", fixed)
    assert signature == 0xFEEF04BD, hex(signature)

    def split(ms, ls):
        return (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    strings = {}
    for child_key, _, _, tables, _ in children:
        if child_key != "StringFileInfo":
            continue
        for _, _, _, entries, _ in tables:
            for name, value, _, _, _ in entries:
                strings[name] = value.decode("utf-16-le").rstrip("\0")
    return split(file_ms, file_ls), split(prod_ms, prod_ls), strings


def pe_header(path):
    """(machine, number of sections, symbol table offset, symbol count, characteristics)."""
    with open(path, "rb") as f:
        data = f.read(4096)
    (pe_at,) = struct.unpack_from("<I", data, 0x3C)
    assert data[pe_at:pe_at + 4] == b"PE\0\0"
    machine, sections, _, symbols_at, symbols, _, flags = struct.unpack_from(
        "<HHIIIHH", data, pe_at + 4)
    return machine, sections, symbols_at, symbols, flags


class ExeResources(unittest.TestCase):
    def test_version_information_names_the_product_and_its_version(self):
        file_version, product_version, strings = version_strings(resource(RT_VERSION))
        numbers = tuple(int(n) for n in VERSION.split(".")) + (0,)
        self.assertEqual(file_version, numbers)
        self.assertEqual(product_version, numbers)
        self.assertEqual(strings.get("FileVersion"), VERSION)
        self.assertEqual(strings.get("ProductVersion"), VERSION)
        self.assertEqual(strings.get("OriginalFilename"), "Skiffbox.exe")
        self.assertIn("舟匣", strings.get("ProductName", ""))
        self.assertIn("舟匣", strings.get("FileDescription", ""))

    def test_icon_holds_every_size_from_16_to_256_in_32_bits(self):
        with tempfile.TemporaryDirectory() as tmp:
            ico = os.path.join(tmp, "icon.ico")
            with open(ico, "wb") as f:
                f.write(resource(RT_ICON_GROUP))
            listing = subprocess.run([tool("icotool"), "-l", ico], stdout=subprocess.PIPE,
                                     check=True, timeout=60).stdout.decode()
        sizes = set()
        for line in listing.splitlines():
            fields = dict(part.split("=", 1) for part in line.split() if "=" in part)
            self.assertEqual(fields.get("--width"), fields.get("--height"), line)
            self.assertEqual(fields.get("--bit-depth"), "32", line)
            sizes.add(int(fields["--width"]))
        self.assertEqual(sizes, {16, 24, 32, 48, 256})

    def test_manifest_runs_as_invoker_on_every_supported_system(self):
        root = ET.fromstring(resource(RT_MANIFEST))
        asm1, asm3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
        compat = "{urn:schemas-microsoft-com:compatibility.v1}"
        self.assertEqual(root.tag, asm1 + "assembly")
        path = "trustInfo/security/requestedPrivileges/requestedExecutionLevel"
        levels = root.findall("./" + "/".join(asm3 + step for step in path.split("/")))
        self.assertEqual([(e.get("level"), e.get("uiAccess")) for e in levels],
                         [("asInvoker", "false")])
        ids = {e.get("Id") for e in root.iter(compat + "supportedOS")}
        self.assertEqual(ids, set(SUPPORTED_OS))

    def test_headers_name_the_processor_and_carry_no_symbol_table(self):
        machine, _, symbols_at, symbols, flags = pe_header(EXE)
        self.assertEqual(machine, IMAGE_FILE_MACHINE[BITS])
        self.assertEqual((symbols_at, symbols), (0, 0))
        if BITS == 32:
            self.assertTrue(flags & IMAGE_FILE_LARGE_ADDRESS_AWARE)


if __name__ == "__main__":
    unittest.main()
