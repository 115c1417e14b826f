#!/usr/bin/env python3
"""End-to-end tests under Wine, in a throwaway prefix: the pilot kit, and what only Wine shows.

Usage: run_e2e.py --program EXE --kit EXE --helper EXE (--start-page-url URL | --start-page-url-file FILE)
                  --work DIR --screenshots DIR [--bare-user32 EXE] [--windows-version NAME] [--only TEXT] [TEST...]

The cases themselves are the pilot kit's, which runs unchanged on Windows: here
it runs in the prefix, where every case must pass or be one of the behaviours
Wine does not model. What stays here is what only Wine's debug channels and
its screen can show: the form of the paths handed to Windows' file functions,
the error mode, pictures of the boxes, and the runtime's GetThreadId stand-in.
These start the program through the Windows-side helper, which reads the title
and text of each message box, presses OK, and reports the exit status.

Where there is no 32-bit Wine (a kernel that runs no 32-bit program, or a
package mirror that could not supply wine32:i386), the suite of a 32-bit
program says why and ends as skipped (status 77).
"""
import argparse
import os
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

from wine_session import WineSession, architecture_of, why_no_wine_for

PROGRAM_TITLE = "Desktop Remediation"
REFUSAL_TITLE = "OS Not Supported."
CONFIRMATION = (PROGRAM_TITLE, "Internet Explorer Has Been Successfully Removed From the Startup Group")
STARTUP = ("Microsoft", "Windows", "Start Menu", "Programs", "Startup")
SHORTCUT = "Internet Explorer.lnk"
MAIN_KEY = "Software\\Microsoft\\Internet Explorer\\Main"
KEPT_COPY_KEY = "Software\\Desktop Remediation Pilot"
RUN_TIMEOUT_SECONDS = 30
DEFAULT_VERSION = "win10"  # a case that needs another sets it itself
SKIPPED = 77  # ctest's SKIP_RETURN_CODE for these suites
# What Wine does not model, which the kit reads as "todo (Wine)" there, and
# what it cannot stage under Wine at all.
WINE_GAPS = {"a shortcut pending deletion is gone", "a deletion the file's permissions refuse is reported",
             "a Startup path of 260 characters or more"}
SKIPPED_UNDER_WINE = {"a service account ends with 4 (LocalSystem)", "a service account ends with 4 (LocalService)"}
# What only a version the program runs on can stage, where Windows reports 5.
SKIPPED_ON_VERSION_FIVE = {"a shortcut pending deletion is gone", "a run without a box loads no graphics"}
VERSION_FIVE = {"winxp", "win2003", "win2k"}
# The account's own start page and its key's permissions, before the kit.
ACCOUNT_START_PAGE = "http://the-account-s-own.example"
ACCOUNT_DACL = "D:(A;;KA;;;WD)(A;;KR;;;BU)"

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
    """What one run of the program showed and how it ended, and, when traced, which paths it handed to
    Windows' file functions."""

    def __init__(self, output, trace=""):
        self.boxes, self.status, self.timed_out = [], None, False
        # Wine's +relay channel: 'Call KERNEL32.DeleteFileW(00c94160 L"C:\\users\\...") ret=...'; a long
        # text is cut short, with "..." after its closing quote. (function, path, whether it was cut)
        self.file_calls = [(function, unescape(path), bool(cut)) for function, path, cut in re.findall(
            r'Call (?:KERNEL32|KERNELBASE)\.(GetFileAttributesW|DeleteFileW)\(\w+ L"((?:[^"\\]|\\.)*)"(\.\.\.)?',
            trace)]
        # The byte count of each RegSetValueExA call, its last argument: a
        # DWORD, of which a 64-bit trace shows the whole register.
        self.set_value_counts = [int(count, 16) & 0xFFFFFFFF for count in re.findall(
            r"Call (?i:advapi32)\.RegSetValueExA\((?:[^,]*,){5}(\w+)\)", trace)]
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
    session = WineSession(options.work, architecture_of(options.program)).open()


def helper(*args):
    return session.check_helper(options.helper, *args)


def reg_sz(text):
    """What the helper's reg-get prints for a REG_SZ value that holds `text`."""
    return f"type\t1\t{(text + chr(0)).encode('utf-16-le').hex()}\n"


def own_user():
    users = [user for user in os.listdir(session.drive_c("users")) if user != "Public"]
    if len(users) != 1:
        raise AssertionError(f"expected one user profile in the prefix, found {users}")
    return users[0]


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

    # -- helpers -----------------------------------------------------------

    def helper(self, *args):
        return helper(*args)

    def appdata(self, *extra_parts):
        return session.windows_path(*self.profile_parts, *extra_parts)

    def windows_shortcut(self):
        return session.windows_path(*self.profile_parts, *STARTUP, SHORTCUT)

    def plant_shortcut(self, path=None):
        path = path or self.shortcut
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as shortcut:
            shortcut.write(b"L\0\0\0 a shortcut")

    def run_program(self, *run_options, appdata=None, trace_calls=False, timeout=RUN_TIMEOUT_SECONDS):
        args = ["run", "--timeout", str(timeout), *run_options, "--appdata", appdata or self.appdata()]
        if trace_calls:
            # Set for the program alone: the helper and Wine's own start-up stay untraced.
            args += ["--env", "WINEDEBUG=+relay"]
        output, trace = session.check_helper_with_trace(options.helper, *args, options.program)
        run = Run(output, trace)
        self.assertFalse(run.timed_out, f"the program was still running after {timeout} s")
        if trace_calls:
            self.assertTrue(run.file_calls, f"+relay reported no call to a file function: {trace[-500:]!r}")
        return run


class KitTest(unittest.TestCase):
    """The pilot kit, as an administrator runs it on a desktop: every case passes, or is one of the known
    gaps of Wine's, said in its line; and the account is left as it was found."""

    def setUp(self):
        # The account's own state, which the kit must leave as it found it.
        self.own_shortcut = session.drive_c("users", own_user(), "AppData", "Roaming", *STARTUP, SHORTCUT)
        os.makedirs(os.path.dirname(self.own_shortcut), exist_ok=True)
        with open(self.own_shortcut, "wb") as shortcut:
            shortcut.write(b"L\0\0\0 the account's own")
        helper("reg-set-sz", MAIN_KEY, "Start Page", ACCOUNT_START_PAGE)
        helper("reg-protect", MAIN_KEY, ACCOUNT_DACL)
        self.found = self.account()

    def tearDown(self):
        if os.path.exists(self.own_shortcut):
            os.remove(self.own_shortcut)

    def account(self):
        return (helper("reg-get", MAIN_KEY, "Start Page"), helper("reg-sddl", MAIN_KEY),
                os.path.isfile(self.own_shortcut))

    def assertAccountAsFound(self):
        self.assertEqual(self.account(), self.found, "the account's start page, its key's permissions or its own "
                                                     "shortcut changed")
        self.assertEqual(helper("reg-get", KEPT_COPY_KEY, "Internet Explorer key existed").strip(), "missing",
                         "the kit kept its copy of the account after putting it back")

    @staticmethod
    def kit_command(*args):
        return [options.kit, "--program", options.program, "--start-page-url", options.start_page_url, *args]

    def kit(self, *args):
        return session.wine(*self.kit_command(*args))

    @staticmethod
    def verdicts(result):
        lines = result.stdout.decode("utf-8").splitlines()
        print("\n".join(lines))
        verdicts = [line for line in lines if line.startswith(("ok ", "FAILED ", "skipped ", "todo (Wine) "))]
        if not verdicts:
            raise AssertionError(f"the kit ran no case: {result.stderr.decode(errors='replace')[-2000:]}")
        return lines, verdicts

    def assertKitPasses(self, *args):
        """Runs the kit on the prefix's own Windows version: every case passes, or is a known gap of Wine's or
        a case that the version cannot stage, said in its line; and the account is left as it was found."""
        session.set_windows_version(options.helper, options.windows_version)
        five = options.windows_version in VERSION_FIVE
        result = self.kit(*args)
        lines, verdicts = self.verdicts(result)
        self.assertEqual([line for line in verdicts if line.startswith("FAILED ")], [])
        for line in verdicts:
            if line.startswith("todo (Wine) "):
                self.assertIn(line[len("todo (Wine) "):].split(":")[0], WINE_GAPS, "an unexpected todo (Wine)")
            elif line.startswith("skipped "):
                name = line[len("skipped "):].split(":")[0]
                self.assertIn(name, SKIPPED_UNDER_WINE | (SKIPPED_ON_VERSION_FIVE if five else set()),
                              "an unexpected skip")
        self.assertIn(f"Windows reports major version {5 if five else 6} to the program here", result.stdout.decode())
        self.assertRegex(lines[-1], r"^\d+ passed, 0 failed, \d+ skipped$")
        self.assertEqual(result.returncode, 0, "the kit's status is its number of failures")
        self.assertAccountAsFound()
        self.assertEqual(helper("reg-get", "Software\\Wine", "Version"), reg_sz(options.windows_version),
                         "the kit did not leave Wine's version as it found it")
        return verdicts

    def test_every_case_passes_or_is_a_known_wine_gap(self):
        self.assertKitPasses(*(["--only", options.only] if options.only else []))

    def test_a_start_page_key_another_account_owns_is_put_back(self):
        # As an elevated installer leaves it, owned by another account (the
        # Administrators group on Windows; SYSTEM here, which Wine lets a
        # process name), the account changing its permissions through the DACL.
        helper("reg-protect", MAIN_KEY, "O:SY" + ACCOUNT_DACL)
        verdicts = self.assertKitPasses("--only", "may not write")
        self.assertEqual(len([line for line in verdicts if line.startswith("ok ")]), 4, verdicts)

    def test_a_build_that_loads_user32_by_its_bare_name_fails(self):
        self.assertTrue(options.bare_user32, "give the build that loads user32 by its bare name: --bare-user32")
        result = session.wine(options.kit, "--program", options.bare_user32, "--start-page-url",
                              options.start_page_url, "--only", "a user32.dll beside the program is not loaded")
        _, verdicts = self.verdicts(result)
        self.assertEqual(len(verdicts), 3, verdicts)
        for line in verdicts:
            self.assertTrue(line.startswith("FAILED ") and "user32.dll came from the program's own folder" in line,
                            f"the case did not catch the planted user32.dll: {line}")
        self.assertEqual(result.returncode, 3)
        self.assertAccountAsFound()

    def end_kit_after_its_first_case(self, sig):
        """Starts the whole kit, and sends its process `sig` once the first case has passed."""
        with tempfile.TemporaryFile() as out:
            kit = subprocess.Popen([session.loader, *self.kit_command()], env=session.env, cwd=session.drive_c(),
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + 60
                while time.monotonic() < deadline and b"\nok " not in (out.seek(0) or out.read()):
                    time.sleep(0.1)
                session.signal_processes(os.path.basename(options.kit), sig)
                kit.wait(timeout=60)
            finally:
                if kit.poll() is None:
                    kit.kill()
                    kit.wait()
            out.seek(0)
            return out.read().decode("utf-8")

    def test_ctrl_c_puts_the_account_back(self):
        # Wine hands SIGINT to a console program as Ctrl+C.
        said = self.end_kit_after_its_first_case(signal.SIGINT)
        self.assertIn("interrupted; the account's start page and its key's permissions are as they were", said)
        self.assertAccountAsFound()

    def test_a_kit_ended_by_force_puts_the_account_back_at_its_next_start(self):
        # As Task Manager ends a process: no handler of its own runs. (By its
        # Unix process: Debian 12's 32-bit taskkill does not see a 64-bit one.)
        self.end_kit_after_its_first_case(signal.SIGKILL)
        self.assertEqual(helper("reg-get", KEPT_COPY_KEY, "Internet Explorer key existed").split("\t")[0], "type",
                         "a kit ended by force left no copy of the account to put back")
        # Every case starts with the start page taken away.
        self.assertNotEqual(self.account(), self.found, "the kit was ended before it changed anything")
        result = self.kit("--restore")
        self.assertEqual(result.returncode, 0, result.stdout.decode(errors="replace"))
        self.assertAccountAsFound()


class RelayTest(ProgramTest):
    """What only Wine's +relay channel shows: the form of the path handed to Windows' file functions, the
    error mode, and the byte count of the start page."""

    def test_start_page_is_written_with_its_terminator_counted(self):
        # Windows and Wine both add a terminator that the count leaves out,
        # when a zero byte follows the data: only the call shows the count.
        run = self.run_program(trace_calls=True)
        self.assertEqual(run.status, 0)
        self.assertEqual(run.set_value_counts, [len(options.start_page_url.encode("ascii")) + 1],
                         "RegSetValueExA should be given the address's bytes and one terminator")

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
        self.capture("refusal", expected_title=REFUSAL_TITLE)

    def test_confirmation(self):
        self.plant_shortcut()
        self.capture("confirmation", expected_title=PROGRAM_TITLE)

    def test_failure_report(self):
        self.plant_shortcut()
        self.helper("attrib", self.windows_shortcut(), "r")
        self.capture("failure-report", expected_title=PROGRAM_TITLE)


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


def main():
    global options
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True)
    parser.add_argument("--kit", required=True, help="the pilot kit of the same architecture")
    parser.add_argument("--helper", required=True)
    address = parser.add_mutually_exclusive_group(required=True)
    address.add_argument("--start-page-url", help="the address the program was built for")
    address.add_argument("--start-page-url-file", help="a file naming it, as make leaves dist/START_PAGE_URL.txt")
    parser.add_argument("--work", required=True)
    parser.add_argument("--screenshots", required=True, help="where the pictures of the boxes go")
    parser.add_argument("--only", help="run only the kit's cases whose name holds this")
    parser.add_argument("--bare-user32", help="a build that loads user32 by its bare name, which the kit must fail")
    parser.add_argument("--windows-version", default=DEFAULT_VERSION,
                        help="the prefix's own Windows version, as Wine names it, for the kit's run (winxp, ...)")
    options, rest = parser.parse_known_args()
    if options.start_page_url_file:
        with open(options.start_page_url_file, encoding="utf-8") as named:
            options.start_page_url = named.read().rstrip("\n")
    arch = architecture_of(options.program)
    no_wine = why_no_wine_for(arch)
    if no_wine:
        print(f"skipped: {no_wine}, so no {arch} Wine: the {arch} suite is not run")
        return SKIPPED
    for name in ("program", "helper", "kit", "bare_user32"):
        path = getattr(options, name)
        if path is None:
            continue
        if not os.path.isfile(path):
            parser.error(f"no such file: {path}")
        setattr(options, name, os.path.abspath(path))
    result = unittest.main(argv=[sys.argv[0], "-v", *rest], exit=False).result
    tests_run = result.testsRun
    failed = len(result.failures) + len(result.errors)
    print(f"{max(tests_run - failed, 0)} passed, {failed} failed")
    return 0 if result.wasSuccessful() and tests_run > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
