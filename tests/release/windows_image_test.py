#!/usr/bin/python3
"""The reader that `make` and the release tests share: the refusals it gives,
the import list it checks against, and what it says of a file that is no
executable."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import windows_image  # noqa: E402

XP_IMAGE = windows_image.Image(
    machine=0x14C, timestamp=0, subsystem=2, os_version=(5, 1), subsystem_version=(5, 1),
    dll_characteristics=0x8140, relocations_size=4096, resource_types={3, 14, 16},
    imports=[("ADVAPI32.dll", "RegCloseKey"), ("KERNEL32.dll", "CloseHandle"), ("KERNEL32.dll", "(by ordinal)"),
             ("KERNEL32.dll", "GetThreadId")])
LISTED = {("ADVAPI32.DLL", "RegCloseKey"): "Windows NT 3.1", ("KERNEL32.DLL", "CloseHandle"): "Windows NT 3.1",
          ("KERNEL32.DLL", "(by ordinal)"): "Windows NT 3.1", ("KERNEL32.DLL", "GetThreadId"): "Windows Vista"}


class ReaderTest(unittest.TestCase):
    def test_a_file_that_is_no_executable_is_an_error(self):
        with tempfile.NamedTemporaryFile(suffix=".exe") as text:
            text.write(b"MZ but no more than that")
            text.flush()
            with self.assertRaises(windows_image.ImageError):
                windows_image.read(text.name)

    def test_checked_in_list_names_only_known_releases(self):
        listed = windows_image.listed_imports()
        self.assertIn(("KERNEL32.DLL", "DeleteFileW"), listed)
        self.assertEqual(listed[("KERNEL32.DLL", "GetThreadId")], "Windows Vista")


class RefusalTest(unittest.TestCase):
    def test_import_later_than_the_oldest_windows_is_refused_by_name(self):
        for arch, oldest in (("x86", "Windows XP"), ("x64", "Windows XP x64")):
            with self.subTest(arch=arch):
                found = windows_image.problems(XP_IMAGE._replace(os_version=(5, 1)), arch, LISTED)
                self.assertEqual(found, [f"it imports KERNEL32.dll GetThreadId, which first came with Windows Vista: "
                                         f"{oldest} would refuse to start it"])

    def test_unlisted_import_is_refused(self):
        listed = {key: release for key, release in LISTED.items() if key[1] != "(by ordinal)"}
        found = windows_image.problems(XP_IMAGE, "x86", listed | {("KERNEL32.DLL", "GetThreadId"): "Windows XP"})
        self.assertEqual(len(found), 1, found)
        self.assertIn("KERNEL32.dll (by ordinal), which windows_imports.txt does not list", found[0])

    def test_loader_versions_and_subsystem(self):
        image = XP_IMAGE._replace(subsystem=3, subsystem_version=(5, 2), os_version=(6, 1))
        listed = LISTED | {("KERNEL32.DLL", "GetThreadId"): "Windows XP"}
        found = windows_image.problems(image, "x86", listed)
        self.assertEqual(len(found), 3, found)
        self.assertIn("console", found[0])
        self.assertIn("Subsystem version 5.2 is later than Windows XP's 5.1", found[1])
        self.assertIn("OSystem version 6.1 is later than Windows XP's 5.1", found[2])
        self.assertEqual(windows_image.problems(image, "x64", listed)[1:],
                         ["its OSystem version 6.1 is later than Windows XP x64's 5.2: Windows XP x64 would not start it"])


if __name__ == "__main__":
    result = unittest.main(argv=[sys.argv[0], "-v"], exit=False).result
    failed = len(result.failures) + len(result.errors)
    print(f"{max(result.testsRun - failed, 0)} passed, {failed} failed")
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
