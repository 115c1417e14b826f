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
import shutil
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
SKIPPED_UNDER_WINE = {"a service account ends with 4 (LocalSystem)", "a service account ends with 4 (LocalService)",
                      "every profile and the Default profile are repaired",
                      "every profile and the Default profile are repaired "
                      "(past a user's opportunistic lock on their shortcut)",
                      "every profile and the Default profile are repaired (while a standard user holds the lock's old name)",
                      "over every profile a junction in a profile is not gone through (Microsoft)",
                      "over every profile a junction in a profile is not gone through "
                      "(Microsoft\\Windows\\Start Menu\\Programs\\Startup)"}
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

    def end_kit_after_its_first_case(self, sig, *args, passed=1):
        """Starts the kit, and sends its process `sig` once `passed` cases have passed."""
        with tempfile.TemporaryFile() as out:
            kit = subprocess.Popen([session.loader, *self.kit_command(*args)], env=session.env, cwd=session.drive_c(),
                                   stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + 60
                while time.monotonic() < deadline and (out.seek(0) or out.read()).count(b"\nok ") < passed:
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


    def test_a_kit_ended_by_force_in_a_locked_key_case_puts_back_a_key_it_made(self):
        # No Main key before the kit: the cases make it, and the third locks
        # it to nothing but its permissions (D:P), as a kit ended then leaves
        # it; the kit must still delete it at its next start.
        session.wine("reg", "delete", "HKCU\\" + MAIN_KEY, "/f")
        self.found = self.account()
        self.end_kit_after_its_first_case(signal.SIGKILL, "--only", "may not write", passed=2)
        self.assertNotEqual(helper("reg-sddl", MAIN_KEY).strip(), "missing", "the kit was ended after its last case")
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


PROFILE_LIST = "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList"
MARKER_KEY = "HKLM\\SOFTWARE\\Desktop Remediation"
SHELL_FOLDERS = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders"
APPDATA_BELOW_PROFILE = ("AppData", "Roaming")


def reg(*args):
    """Wine's reg.exe on the 64-bit view, where both executables read ProfileList and write the marker."""
    result = session.wine("reg", *args, "/reg:64")
    if result.returncode != 0:
        raise AssertionError(f"reg {' '.join(args)} failed: {result.stdout.decode(errors='replace')}")
    return result.stdout.decode(errors="replace")


def text_hive(path, values):
    """A hive file in Wine's own text format, which Wine's RegLoadKeyW reads; values: {(key, name): REG_EXPAND_SZ}."""
    def quoted(text):
        escaped = text.replace("\\", "\\\\").replace('"', '\\"')
        return '"' + escaped.replace("\r", "\\r").replace("\n", "\\n").replace("\t", "\\t") + '"'
    lines = ["WINE REGISTRY Version 2", ""]
    for (key, name), value in values.items():
        lines += [f"[{key.replace(chr(92), chr(92) * 2)}] 0", f"{quoted(name)}=str(2):{quoted(value)}", ""]
    with open(path, "w", encoding="utf-8", newline="\n") as hive:
        hive.write("\n".join(lines))


class AllProfilesTest(unittest.TestCase):
    """/AllProfiles under Wine: profiles staged in the prefix beside Wine's own signed-in user, each folder and the
    signed-in start page checked, the hive writes of the others shown by +relay (Wine does not write a loaded hive
    back to its file), the report, the marker and the status."""

    def setUp(self):
        session.set_windows_version(options.helper, DEFAULT_VERSION)
        self.log = session.drive_c("remediation.log")
        self.shortcuts = {}  # who -> the shortcut planted in that profile's Startup folder
        self.own = own_user()

    def tearDown(self):
        # The prefix as it was found, for the suites after this one.
        for name in os.listdir(session.drive_c("users")):
            if name not in (self.own, "Public"):
                shutil.rmtree(session.drive_c("users", name))
        shutil.rmtree(session.drive_c("redirected"), ignore_errors=True)
        shutil.rmtree(os.path.join(session.prefix, "dosdevices", "unc"), ignore_errors=True)
        for staged in (self.log, *self.shortcuts.values()):
            if os.path.lexists(staged):
                os.remove(staged)
        for key in reg("query", PROFILE_LIST).splitlines():
            if key.startswith(PROFILE_LIST.replace("HKLM", "HKEY_LOCAL_MACHINE") + "\\") and "-0-0-0-1000" not in key:
                reg("delete", key, "/f")
        session.wine("reg", "delete", PROFILE_LIST, "/v", "Default", "/f", "/reg:64")
        session.wine("reg", "delete", MARKER_KEY, "/f", "/reg:64")

    def profile(self, who, sid, folder_name, hive=True, hive_file="NTUSER.DAT", appdata=None, listed=True):
        """A profile folder with the shortcut in its Startup folder and, where asked, its ProfileList entry."""
        folder = session.drive_c("users", folder_name)
        os.makedirs(folder, exist_ok=True)
        appdata_parts = appdata or ("users", folder_name, *APPDATA_BELOW_PROFILE)
        startup = session.drive_c(*appdata_parts, *STARTUP)
        os.makedirs(startup, exist_ok=True)
        self.shortcuts[who] = os.path.join(startup, SHORTCUT)
        with open(self.shortcuts[who], "wb") as shortcut:
            shortcut.write(b"L\0\0\0 " + who.encode())
        if hive:
            setting = "\\".join(("C:",) + appdata_parts) if appdata else "%USERPROFILE%\\AppData\\Roaming"
            text_hive(os.path.join(folder, hive_file), {(SHELL_FOLDERS, "AppData"): setting})
        if listed:
            reg("add", f"{PROFILE_LIST}\\{sid}", "/v", "ProfileImagePath", "/t", "REG_EXPAND_SZ", "/d",
                f"C:\\users\\{folder_name}", "/f")
        return folder

    def run_all_profiles(self, *extra, env=None):
        args = ["run", "--timeout", "120", "--arg", "/AllProfiles", "--arg", "/Log", "--arg", "C:\\remediation.log",
                *extra]
        if env:
            args += ["--env", env]
        output, trace_text = session.check_helper_with_trace(options.helper, *args, options.program)
        run = Run(output)
        self.assertFalse(run.timed_out, "the run over every profile did not end")
        self.assertEqual(run.boxes, [], "the run over every profile shows no box")
        return run, trace_text

    def report(self):
        with open(self.log, "rb") as log:
            data = log.read()
        self.assertNotIn(b"\n", data.replace(b"\r\n", b""), "every line of the report ends in CRLF")
        return [line.split("\t") for line in data.decode("utf-8").split("\r\n") if line]

    def linked_away(self, folder, who):
        """Replaces a folder of a profile with a link (a Unix symbolic link, which Wine reports as a reparse point)
        to a folder of another's, which holds a shortcut at the same place below it: the canary."""
        elsewhere = os.path.join(options.work, f"elsewhere-{who}")
        canary = os.path.join(elsewhere, *os.path.relpath(self.shortcuts.pop(who), folder).split(os.sep))
        os.makedirs(os.path.dirname(canary), exist_ok=True)
        with open(canary, "wb") as shortcut:
            shortcut.write(b"L\0\0\0 canary")
        shutil.rmtree(folder)
        os.symlink(elsewhere, folder)
        return canary

    def test_every_profile_and_the_default_one(self):
        own_sid = "S-1-5-21-0-0-0-1000"  # Wine's one user, its hive loaded at HKEY_USERS\<SID>
        self.profile("own", own_sid, own_user(), hive=False, listed=False)
        self.profile("bob", "S-1-5-21-1-2-3-1001", "bob")
        self.profile("entra", "S-1-12-1-11-22-33-44", "entra")
        self.profile("mandy", "S-1-5-21-1-2-3-1003", "mandy", hive_file="NTUSER.MAN")
        self.profile("service", "S-1-5-18", "service-profile")
        self.profile("bak", "S-1-5-21-1-2-3-1001.bak", "bob-copy")
        self.profile("Default", None, "Default", listed=False)
        reg("add", PROFILE_LIST, "/v", "Default", "/t", "REG_EXPAND_SZ", "/d", "%SystemDrive%\\users\\Default", "/f")
        reg("add", f"{PROFILE_LIST}\\S-1-5-21-1-2-3-1005", "/v", "ProfileImagePath", "/t", "REG_EXPAND_SZ", "/d",
            "C:\\users\\gone", "/f")
        # What standard users may write, each in their own hive or folder: AppData redirected to a folder of their
        # own, to the all-users folder, to a server of their choosing, with a line of the report's own form in it;
        # a link as their Startup folder, and as a folder above it.
        steered = {"dave": "S-1-5-21-1-2-3-1006", "gus": "S-1-5-21-1-2-3-1007", "hal": "S-1-5-21-1-2-3-1008",
                   "ivy": "S-1-5-21-1-2-3-1009", "carol": "S-1-5-21-1-2-3-1004", "jim": "S-1-5-21-1-2-3-1010"}
        self.profile("dave", steered["dave"], "dave", appdata=("redirected", "dave"))
        self.profile("gus", steered["gus"], "gus", appdata=("ProgramData",))
        unc = os.path.join(session.prefix, "dosdevices", "unc", "evilhost", "share", "hal")
        self.profile("hal", steered["hal"], "hal", hive=False)
        self.shortcuts["hal"] = os.path.join(unc, *STARTUP, SHORTCUT)
        os.makedirs(os.path.dirname(self.shortcuts["hal"]))
        with open(self.shortcuts["hal"], "wb") as shortcut:
            shortcut.write(b"L\0\0\0 on a server")
        text_hive(session.drive_c("users", "hal", "NTUSER.DAT"), {(SHELL_FOLDERS, "AppData"): "\\\\evilhost\\share\\hal"})
        forged = "\r\n2026-12-10 00:00:00\tS-1-5-21-9-9-9-9\tC:\\users\\x\tshortcut removed; start page written"
        self.profile("ivy", steered["ivy"], "ivy")
        text_hive(session.drive_c("users", "ivy", "NTUSER.DAT"),
                  {(SHELL_FOLDERS, "AppData"): "%USERPROFILE%\\AppData\\Roaming" + forged})
        carol = self.profile("carol", steered["carol"], "carol")
        canaries = [self.linked_away(os.path.join(carol, *APPDATA_BELOW_PROFILE, *STARTUP), "carol")]
        jim = self.profile("jim", steered["jim"], "jim")
        canaries.append(self.linked_away(os.path.join(jim, *APPDATA_BELOW_PROFILE, "Microsoft"), "jim"))

        run, trace = self.run_all_profiles(env="WINEDEBUG=+relay,+file")

        self.assertEqual(run.status, 3, "a mandatory profile and the steered ones are not remediated")
        for who, shortcut in self.shortcuts.items():
            self.assertEqual(os.path.exists(shortcut), who in ("mandy", "service", "bak", "dave", "gus", "hal", "ivy"),
                             f"{who}'s shortcut")
        for canary in canaries:
            self.assertTrue(os.path.exists(canary), f"the shortcut a link led to was deleted: {canary}")
        on_server = [line for line in trace.splitlines() if "evilhost" in line.lower() and re.search(
            r"trace:file|Call \w+\.(CreateFile|GetFileAttributes|FindFirstFile|GetFullPathName|RegLoadKey)\w*\(", line)]
        self.assertEqual(on_server, [], "the run reached for the server a user's AppData named")
        self.assertEqual(helper("reg-get", MAIN_KEY, "Start Page"), reg_sz(options.start_page_url),
                         "the signed-in user's start page, in the hive Windows loaded")
        self.assertNotIn("Start Page", session.wine("reg", "query", MARKER_KEY, "/reg:64").stdout.decode(),
                         "a marker written for a run that did not remediate everything")
        # A steered profile still gets its start page.
        self.assertHiveWrites(trace, ["S-1-5-21-1-2-3-1001", "S-1-12-1-11-22-33-44", "Default", *steered.values()])

        report = self.report()
        self.assertEqual([len(fields) for fields in report], [4] * len(report), "a line without its four fields")
        said = {fields[1]: fields[3] for fields in report}
        self.assertNotIn("S-1-5-21-9-9-9-9", said, "a line forged in a user's hive")
        for who, what in ((own_sid, "shortcut removed"), ("S-1-5-21-1-2-3-1001", "shortcut removed"),
                          ("S-1-12-1-11-22-33-44", "shortcut removed"), ("Default", "shortcut removed"),
                          ("S-1-5-21-1-2-3-1005", "left alone: its profile folder is not there"),
                          ("S-1-5-21-1-2-3-1003", "not remediated: a mandatory profile"), ("-", "exit status 3")):
            self.assertEqual(said[who].split(";")[0].split(",")[0], what, who)
        for who in ("dave", "gus", "hal", "ivy"):
            self.assertIn("AppData leads out of the profile folder", said[steered[who]], who)
        self.assertIn("<U+000D><U+000A>2026-12-10 00:00:00<U+0009>S-1-5-21-9-9-9-9", said[steered["ivy"]])
        for who in ("carol", "jim"):
            self.assertIn("is a junction or link, not gone through", said[steered[who]], who)
        self.assertFalse({"S-1-5-18", "S-1-5-21-1-2-3-1001.bak"} & said.keys(), "accounts that are no users reported")

        # Without them, the next run has everything done: status 0, the marker in the 64-bit view, and the
        # report appended to.
        for sid in ("S-1-5-21-1-2-3-1003", *steered.values()):
            reg("delete", f"{PROFILE_LIST}\\{sid}", "/f")
        run, _ = self.run_all_profiles()
        self.assertEqual(run.status, 0)
        self.assertIn(options.start_page_url, reg("query", MARKER_KEY, "/v", "Start Page"))
        self.assertEqual([fields[3] for fields in self.report() if fields[1] == "-"], ["exit status 3", "exit status 0"])

    def test_a_hive_an_ended_run_left_loaded_is_unloaded_first(self):
        left = "Desktop Remediation S-1-5-21-7-7-7-7"
        hive = session.drive_c("left-loaded.dat")
        text_hive(hive, {(SHELL_FOLDERS, "AppData"): "%USERPROFILE%\\AppData\\Roaming"})
        try:
            helper("hive-load", left, "C:\\left-loaded.dat")
            self.assertEqual(session.wine("reg", "query", f"HKU\\{left}").returncode, 0, "the hive was not loaded")
            run, _ = self.run_all_profiles()
            self.assertEqual(run.status, 0)
            self.assertIn(["-", f"HKEY_USERS\\{left}", "unloaded: an earlier run left it loaded"],
                          [fields[1:] for fields in self.report()])
            self.assertNotEqual(session.wine("reg", "query", f"HKU\\{left}").returncode, 0, "the hive stays loaded")
        finally:
            os.remove(hive)

    def test_a_report_that_cannot_be_had_holds_no_repair_back(self):
        """What a user can do to the report (make it a link to another's file, make its folder a link, hold it open)
        and a report the user's own run cannot open: the repair is done, the marker written, the run ends with 7, and
        nothing is made or written behind a link."""
        other = os.path.join(options.work, "other-file")
        linked_folder = os.path.join(options.work, "linked-report-folder")
        every = ["--arg", "/AllProfiles", "--arg", "/Log", "--arg"]
        user_run = ["--arg", "/Log", "--arg", "C:\\no-such-folder\\remediation.log"]
        cases = (("a report file that is a link", lambda: os.symlink(other, self.log), every + ["C:\\remediation.log"]),
                 ("a report folder that is a link", lambda: os.symlink(linked_folder, session.drive_c("linked")),
                  every + ["C:\\linked\\remediation.log"]),
                 ("a report held open by another process", lambda: None,
                  ["--hold", "C:\\remediation.log", *every, "C:\\remediation.log"]),
                 ("the user's run, its report in no folder", lambda: None, user_run))
        for name, stage, args in cases:
            with self.subTest(name):
                os.makedirs(linked_folder, exist_ok=True)
                with open(other, "wb") as kept:
                    kept.write(b"another's file\r\n")
                self.profile("own", "S-1-5-21-0-0-0-1000", own_user(), hive=False, listed=False)
                if args is not user_run:
                    self.profile("bob", "S-1-5-21-1-2-3-1001", "bob")
                stage()
                try:
                    output, _ = session.check_helper_with_trace(options.helper, "run", "--timeout", "120", *args,
                                                                options.program)
                    run = Run(output)
                finally:
                    if os.path.islink(session.drive_c("linked")):
                        os.remove(session.drive_c("linked"))
                self.assertEqual(run.status, 7, "repaired, but the report could not be written")
                for who, shortcut in self.shortcuts.items():
                    self.assertFalse(os.path.exists(shortcut), f"{who}'s shortcut")
                with open(other, "rb") as kept:
                    self.assertEqual(kept.read(), b"another's file\r\n", "the run wrote through the link")
                self.assertEqual(os.listdir(linked_folder), [], "a file was made behind the link")
                if args is not user_run:
                    self.assertIn(options.start_page_url, reg("query", MARKER_KEY, "/v", "Start Page"),
                                  "the desktop is done: its marker")
                self.tearDown()
                self.shortcuts = {}

    def test_a_report_path_in_short_form_names_the_same_file(self):
        # As GetTempPathW often gives an administrator's folder: 8.3 names, and another letter case.
        folder = session.drive_c("Administrator Scratch Folder")
        os.makedirs(folder)
        try:
            self.profile("bob", "S-1-5-21-1-2-3-1001", "bob")
            short = helper("short-path", "C:\\Administrator Scratch Folder").strip().replace("\\\\", "\\")
            self.assertNotIn(" ", short, "Wine made no 8.3 name")
            for run in ("made", "opened by its own 8.3 name"):
                with self.subTest(run=run):
                    name = "remediation.log" if run == "made" else helper(
                        "short-path", "C:\\Administrator Scratch Folder\\remediation.log").strip().split("\\")[-1]
                    self.assertTrue(run == "made" or name != "remediation.log", "Wine made no 8.3 name")
                    output, _ = session.check_helper_with_trace(
                        options.helper, "run", "--timeout", "120", "--arg", "/AllProfiles", "--arg", "/Log", "--arg",
                        f"{short.lower()}\\{name}", options.program)
                    self.assertEqual(Run(output).status, 0, "a report path that names the same file is refused")
            with open(os.path.join(folder, "remediation.log"), "rb") as log:
                self.assertEqual(log.read().count(b"\texit status 0\r\n"), 2, "both runs wrote the one report")
        finally:
            shutil.rmtree(folder)

    def assertHiveWrites(self, trace, names):
        """Each hive loaded under the program's own name, its start page written there, then unloaded."""
        events = []  # (function, its first text argument, its last argument)
        for call, args in re.findall(r"Call \w+\.(RegLoadKeyW|RegUnLoadKeyW|RegOpenKeyExW|RegSetValueExW)\(([^)]*)\)",
                                     trace):
            texts = re.findall(r'L"((?:[^"\\]|\\.)*)"', args)
            events.append((call, unescape(texts[0]) if texts else "", args.split(",")[-1]))
        for name in names:
            hive = f"Desktop Remediation {name}"
            with self.subTest(hive=hive):
                on_hive = [i for i, (_, text, _) in enumerate(events) if text.startswith(hive)]
                self.assertTrue(on_hive, "the hive was never loaded")
                first, last = on_hive[0], on_hive[-1]
                self.assertEqual((events[first][0], events[last][0]), ("RegLoadKeyW", "RegUnLoadKeyW"),
                                 "the hive is loaded before any key below it is opened, and unloaded last")
                writes = [int(count, 16) & 0xFFFFFFFF for call, text, count in events[first:last]
                          if call == "RegSetValueExW" and text == "Start Page"]
                self.assertEqual(writes, [(len(options.start_page_url) + 1) * 2],
                                 "one REG_SZ of the address and its terminator while the hive was loaded")

    def test_an_argument_not_understood_changes_nothing(self):
        for args in (["--arg", "/AllProfiles", "--arg", "/Bogus"], ["--arg", "/Log"]):
            with self.subTest(args=args):
                output, _ = session.check_helper_with_trace(options.helper, "run", *args, options.program)
                run = Run(output)
                self.assertEqual((run.status, run.boxes), (5, []))


class ScreenshotTest(ProgramTest):
    """Saves a picture of each of the program's boxes, title bar included."""

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

    def test_help(self):
        self.capture("help", "--arg", "/?", expected_title=PROGRAM_TITLE)


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
