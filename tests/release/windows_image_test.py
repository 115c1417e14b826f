#!/usr/bin/env python3
"""The import reader that `make` and the release tests share, on the import
tables of both binutils layouts, and the refusals it gives."""
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import windows_image  # noqa: E402

HEADERS = """
MajorOSystemVersion\t5
MinorOSystemVersion\t1
MajorSubsystemVersion\t5
MinorSubsystemVersion\t1
Subsystem\t\t00000002\t(Windows GUI)
"""

# Debian 12: binutils 2.40, a decimal hint, and "<none>" as the name of an import by ordinal.
BINUTILS_2_40 = HEADERS + """
The Import Tables (interpreted .idata section contents)
 vma:            Hint    Time      Forward  DLL       First
                 Table   Stamp     Chain    Name      Thunk
 00027000\t0002703c 00000000 00000000 00027b6c 000271c4

\tDLL Name: ADVAPI32.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t2734c\t  613  RegCloseKey
\t2735a\t  617  RegCreateKeyA

\tDLL Name: KERNEL32.dll
\tvma:  Hint/Ord Member-Name Bound-To
\t27610\t  141  CloseHandle
\t80000011\t    000000011  <none>
\t2761e\t  623  GetThreadId

 00027028\t00000000 00000000 00000000 00000000 00000000
"""

# Debian 13: binutils 2.44 adds an Ordinal column and prints the hint in hexadecimal.
BINUTILS_2_44 = HEADERS + """
The Import Tables (interpreted .idata section contents)
 vma:            Hint    Time      Forward  DLL       First
                 Table   Stamp     Chain    Name      Thunk
 00023000\t00023050 00000000 00000000 00023a48 000232f0

\tDLL Name: ADVAPI32.dll
\tvma:     Ordinal  Hint  Member-Name  Bound-To
\t000232f0  <none>  0265  RegCloseKey
\t000232f8  <none>  0269  RegCreateKeyA

\tDLL Name: KERNEL32.dll
\tvma:     Ordinal  Hint  Member-Name  Bound-To
\t00023310  <none>  008d  CloseHandle
\t00023318     17  <none> <none>
\t00023320  <none>  026f  GetThreadId

 00023028\t00000000 00000000 00000000 00000000 00000000
"""

EXPECTED = [("ADVAPI32.dll", "RegCloseKey"), ("ADVAPI32.dll", "RegCreateKeyA"), ("KERNEL32.dll", "CloseHandle"),
            ("KERNEL32.dll", "(by ordinal)"), ("KERNEL32.dll", "GetThreadId")]
LISTED = {("ADVAPI32.DLL", "RegCloseKey"): "Windows NT 3.1", ("ADVAPI32.DLL", "RegCreateKeyA"): "Windows NT 3.1",
          ("KERNEL32.DLL", "CloseHandle"): "Windows NT 3.1", ("KERNEL32.DLL", "GetThreadId"): "Windows Vista"}


class ImportReaderTest(unittest.TestCase):
    def test_both_layouts_read_alike(self):
        for name, text in (("binutils 2.40", BINUTILS_2_40), ("binutils 2.44", BINUTILS_2_44)):
            with self.subTest(layout=name):
                self.assertEqual(windows_image.imports(text), EXPECTED)

    def test_no_imports_is_an_error_not_an_empty_list(self):
        with self.assertRaisesRegex(windows_image.ImageError, "no imports at all"):
            windows_image.imports(HEADERS)

    def test_unknown_columns_are_an_error(self):
        changed = BINUTILS_2_44.replace("Member-Name", "Name")
        with self.assertRaisesRegex(windows_image.ImageError, "columns this reader does not know"):
            windows_image.imports(changed)

    def test_checked_in_list_names_only_known_releases(self):
        listed = windows_image.listed_imports()
        self.assertIn(("KERNEL32.DLL", "DeleteFileW"), listed)
        self.assertEqual(listed[("KERNEL32.DLL", "GetThreadId")], "Windows Vista")


class RefusalTest(unittest.TestCase):
    def test_import_later_than_the_oldest_windows_is_refused_by_name(self):
        for arch, oldest in (("x86", "Windows XP"), ("x64", "Windows XP x64")):
            with self.subTest(arch=arch):
                found = windows_image.problems(BINUTILS_2_44, arch, LISTED | {("KERNEL32.DLL", "(by ordinal)"): "Windows NT 3.1"})
                self.assertEqual(found, [f"it imports KERNEL32.dll GetThreadId, which first came with Windows Vista: "
                                         f"{oldest} would refuse to start it"])

    def test_unlisted_import_is_refused(self):
        found = windows_image.problems(BINUTILS_2_40, "x86", LISTED)
        self.assertTrue(any("KERNEL32.dll (by ordinal)" in problem and "does not list" in problem for problem in found),
                        found)

    def test_loader_versions_and_subsystem(self):
        text = BINUTILS_2_40.replace("MinorSubsystemVersion\t1", "MinorSubsystemVersion\t2")
        text = text.replace("MajorOSystemVersion\t5", "MajorOSystemVersion\t6").replace("00000002\t(Windows GUI)", "00000003")
        listed = LISTED | {("KERNEL32.DLL", "(by ordinal)"): "Windows NT 3.1", ("KERNEL32.DLL", "GetThreadId"): "Windows XP"}
        found = windows_image.problems(text, "x86", listed)
        self.assertEqual(len(found), 3, found)
        self.assertIn("console", found[0])
        self.assertIn("Subsystem version 5.2 is later than Windows XP's 5.1", found[1])
        self.assertIn("OSystem version 6.1 is later than Windows XP's 5.1", found[2])
        self.assertEqual(windows_image.problems(text, "x64", listed)[1:],
                         ["its OSystem version 6.1 is later than Windows XP x64's 5.2: Windows XP x64 would not start it"])


if __name__ == "__main__":
    result = unittest.main(argv=[sys.argv[0], "-v"], exit=False).result
    failed = len(result.failures) + len(result.errors)
    print(f"{max(result.testsRun - failed, 0)} passed, {failed} failed")
    sys.exit(0 if result.wasSuccessful() and result.testsRun > 0 else 1)
