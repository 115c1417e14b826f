#!/usr/bin/env python3
"""Checks what Windows' loader will see in a built executable, from objdump -p.

Usage: check_executable.py --arch x86|x64 --objdump OBJDUMP EXE

It must load on the oldest Windows it is for (XP on x86, XP x64 on x64), in the
GUI subsystem, import only from KnownDLLs (so a DLL planted beside it is never
loaded) and nothing from the graphics DLLs (user32 is loaded only to show a
box), import only functions that release has, opt in to ASLR and DEP, and
carry no manifest.
"""
import argparse
import os
import re
import struct
import subprocess
import sys
import unittest

RELEASES = ["Windows NT 3.1", "Windows NT 3.5", "Windows 2000", "Windows XP", "Windows XP x64"]
OLDEST = {"x86": ("Windows XP", (5, 1)), "x64": ("Windows XP x64", (5, 2))}
KNOWN_DLLS = {"KERNEL32.DLL", "USER32.DLL", "ADVAPI32.DLL", "MSVCRT.DLL"}
GRAPHICS_DLLS = {"USER32.DLL", "GDI32.DLL", "WIN32U.DLL", "IMM32.DLL"}
DYNAMIC_BASE, NX_COMPAT, HIGH_ENTROPY_VA = 0x40, 0x100, 0x20
RT_MANIFEST = 24
SIZE_LIMIT = 384 * 1024
IMPORT_LIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows_imports.txt")

options = None
dump = None


def header_value(name):
    match = re.search(rf"^{name}\s+([0-9A-Fa-f]+)", dump, re.MULTILINE)
    if not match:
        raise AssertionError(f"objdump printed no {name}")
    return match.group(1)


def imports():
    """(DLL, function) for every function imported by name."""
    found, dll = [], None
    for line in dump.splitlines():
        named = re.match(r"\s+DLL Name: (\S+)", line)
        if named:
            dll = named.group(1)
            continue
        function = re.match(r"\t[0-9a-f]+\t\s*\d+\s+(\S+)", line)
        if dll and function:
            found.append((dll, function.group(1)))
        elif dll and re.match(r"\t[0-9a-f]+\t\s*<none>", line):
            found.append((dll, "(by ordinal)"))
    return found


def resource_types():
    """The type IDs at the top of the resource tree."""
    return {int(m.group(1), 16) for m in re.finditer(r"^\S+ {3}Entry: ID: 0x([0-9a-f]+)", dump, re.MULTILINE)}


def listed_imports():
    listed = {}
    with open(IMPORT_LIST, encoding="utf-8") as table:
        for line in table:
            if not line.strip() or line.startswith("#"):
                continue
            dll, function, release = line.split(None, 2)
            listed[(dll.upper(), function)] = release.strip()
    return listed


class ExecutableTest(unittest.TestCase):
    def test_gui_subsystem(self):
        self.assertEqual(int(header_value("Subsystem"), 16), 2, "not a Windows GUI program: a console would open")

    def test_loads_on_the_oldest_windows(self):
        release, limit = OLDEST[options.arch]
        for field in ("Subsystem", "OSystem"):
            version = (int(header_value(f"Major{field}Version")), int(header_value(f"Minor{field}Version")))
            self.assertLessEqual(version, limit, f"{field} version {version} is too new for {release}")

    def test_imports_only_known_dlls(self):
        dlls = {dll.upper() for dll, _ in imports()}
        self.assertTrue(dlls, "objdump listed no imports at all")
        self.assertLessEqual(dlls, KNOWN_DLLS, f"imports from DLLs that are not KnownDLLs: {dlls - KNOWN_DLLS}")

    def test_no_graphics_dll_is_imported(self):
        dlls = {dll.upper() for dll, _ in imports()}
        self.assertTrue(dlls, "objdump listed no imports at all")
        self.assertFalse(dlls & GRAPHICS_DLLS, f"imports graphics DLLs, loaded by every run: {dlls & GRAPHICS_DLLS}")

    def test_every_import_is_listed_and_old_enough(self):
        release, _ = OLDEST[options.arch]
        listed = listed_imports()
        for dll, function in imports():
            with self.subTest(dll=dll, function=function):
                first = listed.get((dll.upper(), function))
                self.assertIsNotNone(first, f"{dll} {function} is not in {os.path.basename(IMPORT_LIST)}")
                self.assertIn(first, RELEASES, f"unknown release {first!r} for {function}")
                self.assertLessEqual(RELEASES.index(first), RELEASES.index(release),
                                     f"{function} first came with {first}, after {release}")

    def test_aslr_and_dep(self):
        flags = int(header_value("DllCharacteristics"), 16)
        self.assertTrue(flags & DYNAMIC_BASE, "DYNAMIC_BASE is not set")
        self.assertTrue(flags & NX_COMPAT, "NX_COMPAT is not set")
        if options.arch == "x64":
            self.assertTrue(flags & HIGH_ENTROPY_VA, "HIGH_ENTROPY_VA is not set")

    def test_no_manifest(self):
        types = resource_types()
        self.assertTrue(types, "objdump listed no resources: the icon and version information are missing")
        self.assertNotIn(RT_MANIFEST, types, "the executable carries a manifest")

    def test_no_timestamp(self):
        with open(options.exe, "rb") as exe:
            image = exe.read(4096)
        (pe_offset,) = struct.unpack_from("<I", image, 0x3C)
        self.assertEqual(image[pe_offset:pe_offset + 4], b"PE\0\0", "no PE signature")
        (stamp,) = struct.unpack_from("<I", image, pe_offset + 8)
        self.assertEqual(stamp, 0, "the PE header carries a build time, so no two builds are alike")

    def test_size(self):
        size = os.path.getsize(options.exe)
        self.assertLess(size, SIZE_LIMIT, f"{size} bytes, over the {SIZE_LIMIT} byte limit")


def main():
    global options, dump
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=sorted(OLDEST), required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("exe")
    options, rest = parser.parse_known_args()
    dump = subprocess.run([options.objdump, "-p", options.exe], check=True, capture_output=True, text=True).stdout
    result = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False).result
    failed = len(result.failures) + len(result.errors)
    print(f"{max(result.testsRun - failed, 0)} passed, {failed} failed")
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
