#!/usr/bin/env python3
"""End-to-end tests: the real executable under Wine, in a throwaway prefix.

Usage: run_e2e.py --program EXE --helper EXE (--start-page-url URL | --start-page-url-file FILE)
                  --work DIR --screenshots DIR [TEST...]

Every case starts the program through the Windows-side helper, which reads the
title and text of each message box, presses OK, and reports the exit status.
Each case gets a profile folder of its own as APPDATA and sets the Windows
version and registry state it needs, so that cases share only the prefix.
"""
import argparse
import os
import re
import shutil
import struct
import sys
import unittest
import zlib

from wine_session import WineSession

PROGRAM_TITLE = "Desktop Remediation"
REFUSAL = ("OS Not Supported.", "This application does not apply to Windows XP.")
CONFIRMATION = (PROGRAM_TITLE, "Internet Explorer Has Been Successfully Removed From the Startup Group")
STARTUP = ("Microsoft", "Windows", "Start Menu", "Programs", "Startup")
SHORTCUT = "Internet Explorer.lnk"
IE_KEY = "Software\\Microsoft\\Internet Explorer"
MAIN_KEY = IE_KEY + "\\Main"
REG_SZ = 1
RUN_TIMEOUT_SECONDS = 30
DEFAULT_VERSION = "win10"  # a case that needs another sets it itself

options = None
session = None


def unescape(text):
    out, i = [], 0
    while i < len(text):
        if text[i] == "\\" and i + 1 < len(text):
            out.append({"\\": "\\", "t": "\t", "r": "\r", "n": "\n"}.get(text[i + 1], text[i + 1]))
            i += 2
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def bmp_to_png(bmp_path, png_path):
    """Converts a 24-bit bottom-up BMP, as the helper writes them, to PNG. Returns the pixel rows."""
    with open(bmp_path, "rb") as bmp:
        data = bmp.read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    if bits != 24 or height <= 0:
        raise AssertionError(f"{bmp_path}: expected a 24-bit bottom-up BMP")
    stride = (width * 3 + 3) // 4 * 4
    rows = []
    for y in range(height - 1, -1, -1):
        bgr = data[offset + y * stride: offset + y * stride + width * 3]
        rgb = bytearray(len(bgr))
        rgb[0::3], rgb[1::3], rgb[2::3] = bgr[2::3], bgr[1::3], bgr[0::3]
        rows.append(bytes(rgb))

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))

    png = (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)) +
           chunk(b"IDAT", zlib.compress(b"".join(b"\0" + row for row in rows), 9)) + chunk(b"IEND", b""))
    with open(png_path, "wb") as out:
        out.write(png)
    return rows


class Run:
    """What one run of the program showed and how it ended, and, when traced, which modules it loaded
    and which paths it handed to Windows' file functions."""

    def __init__(self, output, trace=""):
        self.boxes, self.status, self.timed_out = [], None, False
        # Wine's +loaddll channel: 'trace:loaddll:build_module Loaded L"C:\\windows\\system32\\user32.dll" at ...'
        self.loaded = [unescape(path) for path in re.findall(r'trace:loaddll:\w+ Loaded L"(.*?)" at ', trace)]
        # Wine's +relay channel: 'Call KERNEL32.DeleteFileW(00c94160 L"C:\\users\\...") ret=...'; a long
        # text is cut short, with "..." after its closing quote. (function, path, whether it was cut)
        self.file_calls = [(function, unescape(path), bool(cut)) for function, path, cut in re.findall(
            r'Call (?:KERNEL32|KERNELBASE)\.(GetFileAttributesW|DeleteFileW)\(\w+ L"((?:[^"\\]|\\.)*)"(\.\.\.)?',
            trace)]
        # (the mode asked for, the mode it replaced), for each SetErrorMode call.
        self.error_modes = list(zip(
            (int(mode, 16) for mode in re.findall(r"Call KERNEL32\.SetErrorMode\((\w+)\)", trace)),
            (int(mode, 16) for mode in re.findall(r"Ret  KERNEL32\.SetErrorMode\(\) retval=(\w+)", trace))))
        for line in output.splitlines():
            fields = line.split("\t")
            if fields[0] == "box" and len(fields) == 3:
                self.boxes.append((unescape(fields[1]), unescape(fields[2])))
            elif fields[0] == "exit":
                self.status = int(fields[1])
            elif fields[0] == "timeout":
                self.timed_out = True
            else:
                raise AssertionError(f"unexpected line from the helper: {line!r}")


def setUpModule():
    global session
    session = WineSession(options.work).open()


def tearDownModule():
    if session is not None:
        session.close()


class ProgramTest(unittest.TestCase):
    def setUp(self):
        session.set_windows_version(options.helper, DEFAULT_VERSION)
        self.profile_parts = ("profiles", self.id().rsplit(".", 1)[-1])
        self.profile = session.drive_c(*self.profile_parts)
        startup = os.path.join(self.profile, *STARTUP)
        os.makedirs(startup)
        self.shortcut = os.path.join(startup, SHORTCUT)
        self.helper("reg-delete", IE_KEY)

    # -- helpers -----------------------------------------------------------

    def helper(self, *args):
        return session.check_helper(options.helper, *args)

    def appdata(self, *extra_parts):
        return session.windows_path(*self.profile_parts, *extra_parts)

    def windows_shortcut(self):
        return session.windows_path(*self.profile_parts, *STARTUP, SHORTCUT)

    def plant_shortcut(self, path=None):
        path = path or self.shortcut
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as shortcut:
            shortcut.write(b"L\0\0\0 a shortcut")

    def run_program(self, *run_options, appdata=None, program=None, trace_modules=False, trace_calls=False,
                    timeout=RUN_TIMEOUT_SECONDS):
        if appdata is None and "--no-appdata" not in run_options:
            appdata = self.appdata()
        args = ["run", "--timeout", str(timeout), *run_options]
        if appdata is not None:
            args += ["--appdata", appdata]
        if trace_modules or trace_calls:
            # Set for the program alone: the helper and Wine's own start-up stay untraced.
            channels = ["+loaddll"] * trace_modules + ["+relay"] * trace_calls
            args += ["--env", "WINEDEBUG=" + ",".join(channels)]
        output, trace = session.check_helper_with_trace(options.helper, *args, program or options.program)
        run = Run(output, trace)
        self.assertFalse(run.timed_out, f"the program was still running after {timeout} s")
        if trace_modules:
            self.assertTrue(run.loaded, f"+loaddll reported no module at all: {trace[:500]!r}")
        if trace_calls:
            self.assertTrue(run.file_calls, f"+relay reported no call to a file function: {trace[-500:]!r}")
        return run

    def start_page(self):
        """The stored Start Page as (type, bytes), or None when there is none."""
        fields = self.helper("reg-get", MAIN_KEY, "Start Page").strip().split("\t")
        if fields == ["missing"]:
            return None
        return int(fields[1]), bytes.fromhex(fields[2])

    def assertStartPageWritten(self):
        # The helper reads with RegQueryValueExW: the stored text and its terminator, in UTF-16.
        expected = (options.start_page_url + "\0").encode("utf-16-le")
        self.assertEqual(self.start_page(), (REG_SZ, expected),
                         f"Start Page should be the REG_SZ {options.start_page_url!r} with one terminator")

    def assertStartPageMissing(self):
        self.assertIsNone(self.start_page(), "Start Page should not have been written")

    def assertFailureReport(self, run, reason, error_code):
        self.assertEqual(run.status, 1, "a failed deletion ends with status 1")
        self.assertEqual(len(run.boxes), 1, f"expected only the failure report, got {run.boxes}")
        title, text = run.boxes[0]
        self.assertEqual(title, PROGRAM_TITLE)
        self.assertIn("DeleteFileW failed", text)
        self.assertIn(self.windows_shortcut(), text, "the report should name the shortcut")
        self.assertIn(reason, text, "the report should give the system's reason")
        self.assertIn(f"(error {error_code})", text)


class GateTest(ProgramTest):
    """The version that Wine reports decides: only major version 5 is refused."""

    def test_major_version_5_shows_only_the_refusal(self):
        # Windows XP 5.1, Server 2003 5.2, 2000 5.0.
        for version in ("winxp", "win2003", "win2k"):
            with self.subTest(version=version):
                session.set_windows_version(options.helper, version)
                self.plant_shortcut()
                self.helper("reg-set-sz", MAIN_KEY, "Start Page", "about:blank")
                run = self.run_program()
                self.assertEqual(run.boxes, [REFUSAL])
                self.assertEqual(run.status, 0)
                self.assertTrue(os.path.isfile(self.shortcut), "the shortcut must be left alone on version 5")
                self.assertEqual(self.start_page(), (REG_SZ, "about:blank\0".encode("utf-16-le")),
                                 "Start Page must not be written on version 5")

    def test_other_versions_pass_the_gate(self):
        # NT 4.0 reports 4, Vista and 7 report 6, and 10 reports 6 to a program without a manifest.
        for version in ("nt40", "vista", "win7", "win10"):
            with self.subTest(version=version):
                session.set_windows_version(options.helper, version)
                self.helper("reg-delete", IE_KEY)
                run = self.run_program()
                self.assertEqual(run.boxes, [], "no refusal and no shortcut: no box at all")
                self.assertEqual(run.status, 0)
                self.assertStartPageWritten()


class ShortcutRemovalTest(ProgramTest):
    """The shortcut in the Startup folder below APPDATA, as Windows reports it."""

    def test_plain_shortcut_is_deleted_with_one_confirmation(self):
        self.plant_shortcut()
        run = self.run_program()
        self.assertEqual(run.boxes, [CONFIRMATION])
        self.assertEqual(run.status, 0)
        self.assertFalse(os.path.exists(self.shortcut), "the shortcut is still there")
        self.assertStartPageWritten()

    def test_hidden_system_shortcut_is_deleted(self):
        self.plant_shortcut()
        self.helper("attrib", self.windows_shortcut(), "hs")
        self.assertEqual(int(self.helper("attrs", self.windows_shortcut()), 16) & 0x6, 0x6,
                         "the prefix's file system could not keep the hidden and system attributes")
        run = self.run_program()
        self.assertEqual(run.boxes, [CONFIRMATION])
        self.assertFalse(os.path.exists(self.shortcut))

    def test_directory_of_that_name_is_left_alone(self):
        os.makedirs(self.shortcut)
        run = self.run_program()
        self.assertEqual(run.boxes, [], "a directory is no shortcut: no box")
        self.assertEqual(run.status, 0)
        self.assertTrue(os.path.isdir(self.shortcut), "the directory must not be removed")
        self.assertStartPageWritten()

    def test_read_only_shortcut_is_reported_and_kept(self):
        self.plant_shortcut()
        self.helper("attrib", self.windows_shortcut(), "r")
        run = self.run_program()
        self.assertFailureReport(run, "Access denied", 5)
        self.assertTrue(os.path.isfile(self.shortcut), "a shortcut that could not be deleted must still be there")
        self.assertStartPageMissing()

    def test_shortcut_held_open_is_reported_and_kept(self):
        self.plant_shortcut()
        run = self.run_program("--hold", self.windows_shortcut())
        self.assertFailureReport(run, "Sharing violation", 32)
        self.assertTrue(os.path.isfile(self.shortcut))
        self.assertStartPageMissing()

    def test_shortcut_held_for_a_moment_is_deleted(self):
        # As the shell does at logon, or a virus scanner with a new file: held
        # without delete sharing from just before the program starts, for 1.3 s.
        self.plant_shortcut()
        run = self.run_program("--hold", self.windows_shortcut(), "--release-after", "1300")
        self.assertEqual(run.boxes, [CONFIRMATION], "the deletion should have waited for the shortcut's release")
        self.assertEqual(run.status, 0)
        self.assertFalse(os.path.exists(self.shortcut), "the shortcut is still there")
        self.assertStartPageWritten()

    def test_appdata_with_trailing_backslash(self):
        self.plant_shortcut()
        run = self.run_program(appdata=self.appdata() + "\\")
        self.assertEqual(run.boxes, [CONFIRMATION])
        self.assertFalse(os.path.exists(self.shortcut))

    def test_paths_reach_windows_in_the_form_it_takes(self):
        # Windows, unlike Wine, refuses a path of MAX_PATH (260) characters or
        # more without the extended-length prefix "\\?\": so the trace of what
        # the program hands over is the proof, not the deletion alone.
        long_parts = tuple(f"{i:02d}" + "x" * 48 for i in range(8))  # 400 characters more
        # The device form "\\.\" is bound by MAX_PATH as well.
        for name, parts, opening, trailing in (("short", (), "", ""), ("long", long_parts, "", ""),
                                               ("long, trailing \\", long_parts, "", "\\"),
                                               ("long, device form", long_parts, "\\\\.\\", "")):
            with self.subTest(appdata=name):
                shortcut = os.path.join(self.profile, *parts, *STARTUP, SHORTCUT)
                self.plant_shortcut(shortcut)
                appdata = self.appdata(*parts)
                run = self.run_program(appdata=opening + appdata + trailing, trace_calls=True)
                self.assertEqual(run.boxes, [CONFIRMATION])
                self.assertFalse(os.path.exists(shortcut), "the shortcut is still there")
                below = "\\" + "\\".join(STARTUP) + "\\" + SHORTCUT
                built = opening + appdata + trailing + below
                # Calls on this case's profile, not those Wine's own DLLs make.
                calls = [call for call in run.file_calls if self.appdata().lower() in call[1].lower()]
                self.assertEqual(sorted({function for function, _, _ in calls}), ["DeleteFileW", "GetFileAttributesW"])
                expected = built if len(built) < 260 else "\\\\?\\" + appdata + below
                for function, path, cut in calls:
                    # Wine cuts a long text in its trace: then its opening must match.
                    self.assertEqual(path, expected[:len(path)] if cut else expected,
                                     f"{function} was handed another form of the path than "
                                     f"{'the one built' if len(built) < 260 else 'the prefixed full path'}")
                # A path on an empty removable drive must fail, not raise "There is no disk in the drive".
                self.assertTrue(run.error_modes, "the program did not set its error mode")
                mode, _ = run.error_modes[-1]
                self.assertEqual(mode, run.error_modes[0][1] | 0x1,
                                 "expected SEM_FAILCRITICALERRORS added to the error mode the process started with")

    def test_profile_path_outside_the_ansi_code_page(self):
        name = "Zo\u00eb \u03a9\u03bc\u03ad\u03b3\u03b1 \u6d4b\u8bd5"
        shortcut = os.path.join(self.profile, name, *STARTUP, SHORTCUT)
        self.plant_shortcut(shortcut)
        run = self.run_program(appdata=self.appdata(name))
        self.assertEqual(run.boxes, [CONFIRMATION])
        self.assertEqual(run.status, 0)
        self.assertFalse(os.path.exists(shortcut), "the shortcut below the non-ANSI profile is still there")

    def test_startup_folder_out_of_reach_ends_with_3(self):
        # The start page is written, but the Startup folder could not be looked
        # in: a deployment tool must not count the desktop as done. Nothing may
        # be deleted where the fixed part alone would point from the current
        # drive, in the profile Wine itself gives, or in a profile that a
        # wildcard would match.
        at_drive_root = session.drive_c(*STARTUP, SHORTCUT)
        in_own_profile = [session.drive_c("users", user, "AppData", "Roaming", *STARTUP, SHORTCUT)
                          for user in os.listdir(session.drive_c("users")) if user != "Public"]
        self.assertTrue(in_own_profile, "the prefix has no user profile")
        cases = (("unset", "--no-appdata", None), ("an unreachable server", None, "\\\\nosuchserver\\share"),
                 ("in quotes", None, '"' + self.appdata() + '"'), ("a wildcard", None, self.appdata()[:-1] + "*"),
                 ("empty", None, ""), ("on a drive that is not there", None, "Q:\\profiles\\user\\AppData\\Roaming"),
                 ("naming no folder", None, self.appdata("NoSuchRoaming")))
        for path in [at_drive_root, self.shortcut, *in_own_profile]:
            self.plant_shortcut(path)
        try:
            for name, option, appdata in cases:
                with self.subTest(appdata=name):
                    self.helper("reg-delete", IE_KEY)
                    run = self.run_program(*[option] * bool(option), appdata=appdata)
                    self.assertEqual(run.boxes, [])
                    self.assertEqual(run.status, 3, "a Startup folder that was not searched must not end with 0")
                    for path in [at_drive_root, self.shortcut, *in_own_profile]:
                        self.assertTrue(os.path.isfile(path), f"{path} was deleted")
                    self.assertStartPageWritten()
        finally:
            for path in [at_drive_root, *in_own_profile]:
                if os.path.isfile(path):
                    os.remove(path)


class UnseenStationTest(ProgramTest):
    """Started on a window station that is not visible, as a service or a scheduled task that runs whether
    the user is logged on or not: a box there would wait for good, so none is shown and the run goes on."""

    def run_unseen(self):
        # Each of these runs ends within seconds; a box would hold it until the time-out.
        return self.run_program("--invisible-station", timeout=15)

    def test_shortcut_is_removed_and_the_start_page_written(self):
        self.plant_shortcut()
        run = self.run_unseen()
        self.assertEqual(run.status, 0)
        self.assertFalse(os.path.exists(self.shortcut), "the shortcut is still there")
        self.assertStartPageWritten()

    def test_shortcut_held_for_good_ends_with_1_and_is_kept(self):
        self.plant_shortcut()
        run = self.run_program("--invisible-station", "--hold", self.windows_shortcut(), timeout=15)
        self.assertEqual(run.status, 1)
        self.assertTrue(os.path.isfile(self.shortcut))
        self.assertStartPageMissing()

    def test_version_5_changes_nothing(self):
        session.set_windows_version(options.helper, "winxp")
        self.plant_shortcut()
        run = self.run_unseen()
        self.assertEqual(run.status, 0)
        self.assertTrue(os.path.isfile(self.shortcut))
        self.assertStartPageMissing()


class StartPageTest(ProgramTest):
    """Start Page under HKEY_CURRENT_USER\\Software\\Microsoft\\Internet Explorer\\Main."""

    def test_missing_key_and_parents_are_created(self):
        self.assertIsNone(self.start_page())
        run = self.run_program()
        self.assertEqual((run.boxes, run.status), ([], 0))
        self.assertStartPageWritten()

    def test_value_of_another_type_is_replaced(self):
        self.helper("reg-set-dword", MAIN_KEY, "Start Page", "7")
        self.run_program()
        self.assertStartPageWritten()

    def test_other_text_is_replaced(self):
        self.helper("reg-set-sz", MAIN_KEY, "Start Page", "http://elsewhere.example")
        self.run_program()
        self.assertStartPageWritten()

    def test_key_that_may_not_be_written_ends_with_status_2(self):
        # A common lock-down: the user's key readable but not writable, or not
        # even that. Its owner still opens it; setting the value fails with 5.
        for sddl in ("D:P(A;;KR;;;WD)", "D:P"):
            for with_shortcut in (False, True):
                with self.subTest(dacl=sddl, shortcut=with_shortcut):
                    self.helper("reg-delete", IE_KEY)
                    self.helper("reg-set-sz", MAIN_KEY, "Start Page", "http://old.example")
                    if with_shortcut:
                        self.plant_shortcut()
                    self.helper("reg-protect", MAIN_KEY, sddl)
                    try:
                        run = self.run_program()
                    finally:
                        self.helper("reg-protect", MAIN_KEY, "D:(A;;KA;;;WD)")
                    self.assertEqual(run.status, 2, "a start page that was not written must not end with 0")
                    self.assertEqual(run.boxes, [CONFIRMATION] if with_shortcut else [],
                                     "the start page stays silent; only the removal speaks")
                    self.assertFalse(os.path.exists(self.shortcut))
                    self.assertEqual(self.start_page(), (REG_SZ, "http://old.example\0".encode("utf-16-le")))

    def test_equal_value_stays(self):
        self.helper("reg-set-sz", MAIN_KEY, "Start Page", options.start_page_url)
        run = self.run_program()
        self.assertEqual(run.status, 0)
        self.assertStartPageWritten()

    def test_typical_run_from_start_to_end(self):
        session.set_windows_version(options.helper, "win7")
        self.plant_shortcut()
        run = self.run_program()
        self.assertEqual(run.boxes, [CONFIRMATION])
        self.assertEqual(run.status, 0)
        self.assertFalse(os.path.exists(self.shortcut))
        self.assertStartPageWritten()


class GraphicsLoadingTest(ProgramTest):
    """user32, and the graphics DLLs that come with it, are loaded only for a box, from the system folder."""

    GRAPHICS = {"user32.dll", "gdi32.dll", "win32u.dll"}

    @staticmethod
    def name_of(path):
        return path.rsplit("\\", 1)[-1].lower()

    def graphics_loaded(self, run):
        return [path for path in run.loaded if self.name_of(path) in self.GRAPHICS]

    def test_run_without_a_box_loads_no_graphics(self):
        for version in ("win10", "win7"):
            with self.subTest(version=version):
                session.set_windows_version(options.helper, version)
                run = self.run_program(trace_modules=True)
                self.assertEqual((run.boxes, run.status), ([], 0))
                self.assertIn("advapi32.dll", [self.name_of(path) for path in run.loaded],
                              "the trace should list the program's own imports")
                self.assertEqual(self.graphics_loaded(run), [], "a run that shows no box loaded graphics")
                self.assertStartPageWritten()

    def test_user32_beside_the_executable_is_not_loaded(self):
        # A copy of the program with a user32.dll planted in its folder, which a
        # load by bare name would find first.
        folder = os.path.join(self.profile, "bin")
        os.makedirs(folder)
        program = os.path.join(folder, os.path.basename(options.program))
        shutil.copyfile(options.program, program)
        system_folder = "syswow64" if is_32_bit(options.program) else "system32"
        shutil.copyfile(session.drive_c("windows", system_folder, "user32.dll"), os.path.join(folder, "user32.dll"))
        program_folder = self.appdata("bin").lower()

        def check(run, expected_boxes):
            self.assertEqual([title for title, _ in run.boxes], expected_boxes)
            user32 = [path.lower() for path in run.loaded if self.name_of(path) == "user32.dll"]
            self.assertTrue(user32, "showing a box should have loaded user32")
            for path in user32:
                self.assertNotEqual(path.rsplit("\\", 1)[0], program_folder, "user32 came from the executable's folder")
                self.assertRegex(path, r"^c:\\windows\\(system32|syswow64)\\user32\.dll$")

        with self.subTest(box="refusal"):
            session.set_windows_version(options.helper, "winxp")
            run = self.run_program(program=program, trace_modules=True)
            session.set_windows_version(options.helper, DEFAULT_VERSION)
            check(run, [REFUSAL[0]])
        with self.subTest(box="confirmation"):
            self.plant_shortcut()
            check(self.run_program(program=program, trace_modules=True), [PROGRAM_TITLE])
        with self.subTest(box="failure report"):
            self.plant_shortcut()
            self.helper("attrib", self.windows_shortcut(), "r")
            run = self.run_program(program=program, trace_modules=True)
            check(run, [PROGRAM_TITLE])
            self.assertEqual(run.status, 1)


class ScreenshotTest(ProgramTest):
    """Saves a picture of each of the program's three boxes, title bar included."""

    def capture(self, name, *run_options, expected_title):
        pictures = os.path.join(options.screenshots, name)
        os.makedirs(pictures, exist_ok=True)
        run = self.run_program("--screenshots", session.unix_to_windows(pictures), *run_options)
        self.assertEqual(len(run.boxes), 1)
        self.assertEqual(run.boxes[0][0], expected_title)
        rows = bmp_to_png(os.path.join(pictures, "box-1.bmp"), os.path.join(options.screenshots, name + ".png"))
        self.assertGreater(len(set(b"".join(rows))), 2, f"the picture of the {name} box is blank")

    def test_wine_has_the_fonts_windows_draws_boxes_with(self):
        # Tahoma for the text, Marlett for the close button's glyph: without
        # them the pictures show another face, and an "r" in the title bar.
        found = [line.split("\t")[1:] for line in self.helper("fonts", "Tahoma", "Marlett", "No Such Face").splitlines()]
        self.assertEqual(found, [["Tahoma", "1"], ["Marlett", "1"], ["No Such Face", "0"]])

    def test_refusal(self):
        session.set_windows_version(options.helper, "winxp")
        self.capture("refusal", expected_title=REFUSAL[0])

    def test_confirmation(self):
        self.plant_shortcut()
        self.capture("confirmation", expected_title=PROGRAM_TITLE)

    def test_failure_report(self):
        self.plant_shortcut()
        self.helper("attrib", self.windows_shortcut(), "r")
        self.capture("failure-report", expected_title=PROGRAM_TITLE)


class ResourcesTest(unittest.TestCase):
    """The version resource and icon, read through the Windows API as Explorer reads them."""

    def query(self, command):
        return [line.split("\t") for line in session.check_helper(options.helper, command, options.program).splitlines()]

    def test_version_resource(self):
        lines = self.query("version-info")
        fixed = [line[1:] for line in lines if line[0] == "fixed"]
        self.assertEqual(fixed, [["00010000", "00000000", "00010000", "00000000"]],
                         "file and product versions should both be 1.0.0.0")
        self.assertEqual([line[1] for line in lines if line[0] == "translation"], ["040904b0"],
                         "one translation: US English (0x0409), Unicode (1200)")
        strings = {line[1]: unescape(line[2]) for line in lines if line[0] == "string"}
        self.assertEqual(strings.get("FileVersion"), "1.00")
        self.assertEqual(strings.get("ProductVersion"), "1.00")
        self.assertEqual(strings.get("OriginalFilename"), os.path.basename(options.program))
        self.assertEqual(strings.get("ProductName"), PROGRAM_TITLE)
        for name in ("CompanyName", "FileDescription", "InternalName"):
            self.assertTrue(strings.get(name), f"{name} is missing or empty")

    def test_icon_images(self):
        images = [tuple(int(v) for v in line[1:]) for line in self.query("icons") if line[0] == "icon"]
        self.assertEqual(images, [(32, 32, 2, 1), (32, 32, 16, 4), (16, 16, 16, 4)],
                         "expected 32x32 in 2 colours, 32x32 in 16 colours and 16x16 in 16 colours")


class RuntimeStandInTest(unittest.TestCase):
    """The GetThreadId that the program carries for Windows XP, whose kernel32 lacks it, and which
    newer compilers' thread support calls: kernel32's own where there is one, ntdll's answer otherwise."""

    def test_thread_ids_match_what_windows_gave(self):
        threads = [line.split("\t")[1:] for line in session.check_helper(options.helper, "thread-ids").splitlines()
                   if line.startswith("thread\t")]
        self.assertEqual(len(threads), 2, "expected this thread and a second one")
        for given, stand_in, from_ntdll in threads:
            self.assertNotEqual(given, "0")
            self.assertEqual(stand_in, given, "the stand-in read another thread's ID")
            self.assertEqual(from_ntdll, given, "the Windows XP way read another thread's ID")


def is_32_bit(executable):
    with open(executable, "rb") as image:
        header = image.read(4096)
    (pe_offset,) = struct.unpack_from("<I", header, 0x3C)
    (machine,) = struct.unpack_from("<H", header, pe_offset + 4)
    return machine == 0x14C


def main():
    global options
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--helper", required=True)
    address = parser.add_mutually_exclusive_group(required=True)
    address.add_argument("--start-page-url", help="the address the program was built for")
    address.add_argument("--start-page-url-file", help="a file naming it, as make leaves dist/START_PAGE_URL.txt")
    parser.add_argument("--work", required=True)
    parser.add_argument("--screenshots", required=True, help="where the pictures of the boxes go")
    options, rest = parser.parse_known_args()
    if options.start_page_url_file:
        with open(options.start_page_url_file, encoding="utf-8") as named:
            options.start_page_url = named.read().rstrip("\n")
    options.program = os.path.abspath(options.program)
    options.helper = os.path.abspath(options.helper)
    for path in (options.program, options.helper):
        if not os.path.isfile(path):
            parser.error(f"no such file: {path}")
    result = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False).result
    tests_run = result.testsRun
    failed = len(result.failures) + len(result.errors)
    print(f"{max(tests_run - failed, 0)} passed, {failed} failed")
    return 0 if result.wasSuccessful() and tests_run > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
