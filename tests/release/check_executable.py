#!/usr/bin/python3
"""Checks what Windows' loader will see in a built executable, read with pefile.

Usage: /usr/bin/python3 check_executable.py --arch x86|x64 EXE

It must load on the oldest Windows it is for (XP on x86, XP x64 on x64), in the
GUI subsystem, import only from KnownDLLs (so a DLL planted beside it is never
loaded) and nothing from the graphics DLLs (user32 is loaded only to show a
box), import only functions that release has, opt in to ASLR and DEP with its
relocations kept, declare itself Terminal Server aware, and carry no manifest.
"""
import argparse
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import windows_image  # noqa: E402  the reader that `make` checks with before delivering

KNOWN_DLLS = {"KERNEL32.DLL", "USER32.DLL", "ADVAPI32.DLL", "MSVCRT.DLL"}
GRAPHICS_DLLS = {"USER32.DLL", "GDI32.DLL", "WIN32U.DLL", "IMM32.DLL"}
DYNAMIC_BASE, NX_COMPAT, HIGH_ENTROPY_VA, TERMINAL_SERVER_AWARE = 0x40, 0x100, 0x20, 0x8000
RT_MANIFEST = 24
SIZE_LIMIT = 384 * 1024

MACHINES = {"x86": 0x14C, "x64": 0x8664}

options = None
image = None


class ExecutableTest(unittest.TestCase):
    def test_starts_on_the_oldest_windows_as_a_gui_program(self):
        # The subsystem and the loader versions, checked as `make` checks them.
        self.assertEqual(image.machine, MACHINES[options.arch], "built for another processor")
        self.assertEqual(windows_image.loader_problems(image, options.arch), [])

    def test_imports_only_known_dlls(self):
        dlls = {dll.upper() for dll, _ in image.imports}
        self.assertLessEqual(dlls, KNOWN_DLLS, f"imports from DLLs that are not KnownDLLs: {dlls - KNOWN_DLLS}")

    def test_no_graphics_dll_is_imported(self):
        dlls = {dll.upper() for dll, _ in image.imports}
        self.assertFalse(dlls & GRAPHICS_DLLS, f"imports graphics DLLs, loaded by every run: {dlls & GRAPHICS_DLLS}")

    def test_every_import_is_listed_and_old_enough(self):
        self.assertEqual(windows_image.import_problems(image, options.arch, windows_image.listed_imports()), [])

    def test_aslr_dep_and_terminal_server_awareness(self):
        flags = image.dll_characteristics
        self.assertTrue(flags & DYNAMIC_BASE, "DYNAMIC_BASE is not set")
        self.assertTrue(flags & NX_COMPAT, "NX_COMPAT is not set")
        if options.arch == "x64":
            self.assertTrue(flags & HIGH_ENTROPY_VA, "HIGH_ENTROPY_VA is not set")
        # Without it, Remote Desktop Session Hosts and Citrix servers give the
        # program a per-user Windows folder and copy install-mode keys into the
        # user's hive when it starts.
        self.assertTrue(flags & TERMINAL_SERVER_AWARE, "TERMINAL_SERVER_AWARE is not set")

    def test_relocations_are_kept(self):
        # ASLR moves only an image that carries its relocations.
        self.assertGreater(image.relocations_size, 0, "the relocation table is empty: ASLR cannot move the image")

    def test_no_manifest(self):
        types = image.resource_types
        self.assertTrue(types, "no resources: the icon and version information are missing")
        self.assertNotIn(RT_MANIFEST, types, "the executable carries a manifest")

    def test_no_timestamp(self):
        self.assertEqual(image.timestamp, 0, "the PE header carries a build time, so no two builds are alike")

    def test_size(self):
        size = os.path.getsize(options.exe)
        self.assertLess(size, SIZE_LIMIT, f"{size} bytes, over the {SIZE_LIMIT} byte limit")


def main():
    global options, image
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=sorted(windows_image.OLDEST), required=True)
    parser.add_argument("exe")
    options, rest = parser.parse_known_args()
    image = windows_image.read(options.exe)
    result = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False).result
    failed = len(result.failures) + len(result.errors)
    print(f"{max(result.testsRun - failed, 0)} passed, {failed} failed")
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
