"""A throwaway Wine prefix on an Xvfb display of its own, for the end-to-end tests.

The session starts Xvfb, then a persistent wineserver with DISPLAY already set
(a server started without a display makes every later window fail), then
initialises the prefix. close() ends the wineserver, every Wine process it
serves and Xvfb, each by its PID, and removes the prefix.
"""
import os
import shutil
import signal
import subprocess
import tempfile
import time

WINE_STEP_SECONDS = 120  # prefix set-up and a single helper call stay well under this
# fonts-wine puts Wine's own fonts (Tahoma, and Marlett, which draws the
# title-bar buttons) where neither Debian's Wine nor fontconfig looks. The
# session's own fontconfig file adds that folder for its Wine alone, leaving the
# system's fonts as they are.
WINE_FONTS = "/usr/share/wine/fonts"
FONTCONFIG = """<?xml version="1.0"?>
<!DOCTYPE fontconfig SYSTEM "urn:fontconfig:fonts.dtd">
<fontconfig>
  <include ignore_missing="yes">/etc/fonts/fonts.conf</include>
  <dir>{fonts}</dir>
  <cachedir>{cache}</cachedir>
</fontconfig>
"""


class WineError(Exception):
    pass


def _end(process, seconds=10):
    """Ends a child process: politely, then by force; always reaps it."""
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout=seconds)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class WineSession:
    def __init__(self, work_dir, virtual_desktop=True):
        self.work_dir = os.path.abspath(work_dir)
        self.virtual_desktop = virtual_desktop
        self.prefix = os.path.join(self.work_dir, "prefix")
        self.xvfb = None
        self.wineserver = None
        self.env = None

    # -- start and stop ---------------------------------------------------

    def open(self):
        try:
            self._open()
        except BaseException:
            self.close()
            raise
        return self

    def _open(self):
        shutil.rmtree(self.work_dir, ignore_errors=True)
        home = os.path.join(self.work_dir, "home")
        os.makedirs(home)
        os.makedirs(self.prefix)
        display = self._start_xvfb()
        fontconfig = os.path.join(self.work_dir, "fonts.conf")
        with open(fontconfig, "w", encoding="utf-8") as config:
            config.write(FONTCONFIG.format(fonts=WINE_FONTS, cache=os.path.join(self.work_dir, "fontcache")))
        self.env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            # Wine links the profile's Desktop and Documents to $HOME: keep that inside the work tree.
            "HOME": home,
            "DISPLAY": display,
            "WINEPREFIX": self.prefix,
            "WINEARCH": "win64",
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            "LC_ALL": "C.UTF-8",
            "FONTCONFIG_FILE": fontconfig,
        }
        self.wineserver = subprocess.Popen(["wineserver", "--foreground", "--persistent"], env=self.env,
                                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                           stderr=subprocess.DEVNULL)
        result = self._run(["wine", "wineboot", "--init"], "initialising the prefix", cwd=self.work_dir)
        if result.returncode != 0 or not os.path.isdir(self.drive_c()):
            raise WineError(f"wineboot --init failed ({result.returncode}): {result.stderr.decode(errors='replace')}")
        if self.virtual_desktop:
            self._use_virtual_desktop()

    def _use_virtual_desktop(self):
        # Windows open on a virtual desktop of Wine's, which draws their title bars as
        # Windows does; Xvfb alone has no window manager to draw them.
        for key, name, value in ((r"HKCU\Software\Wine\Explorer", "Desktop", "E2E"),
                                 (r"HKCU\Software\Wine\Explorer\Desktops", "E2E", "800x600")):
            result = self._run(["wine", "reg", "add", key, "/v", name, "/d", value, "/f"], "setting the desktop")
            if result.returncode != 0:
                raise WineError(f"reg add {key} failed: {result.stdout.decode(errors='replace')}")

    def close(self):
        if self.wineserver is not None and self.wineserver.poll() is None:
            subprocess.run(["wineserver", "--kill"], env=self.env, timeout=30, check=False,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _end(self.wineserver)
        _end(self.xvfb)
        leftovers = self._processes_in_prefix()
        for pid in leftovers:
            os.kill(pid, signal.SIGKILL)
        if not os.environ.get("E2E_KEEP_PREFIX"):
            shutil.rmtree(self.work_dir, ignore_errors=True)
        if leftovers:
            raise WineError(f"Wine processes of this prefix were still running after the wineserver ended, "
                            f"and were killed: {leftovers}")

    def signal_processes(self, name, sig):
        """Sends `sig` to every process of this prefix whose command line names `name`."""
        for pid in self._processes_in_prefix(name):
            try:
                os.kill(pid, sig)
            except ProcessLookupError:
                pass  # ended with the one before it (a launcher and its program)

    def _processes_in_prefix(self, name=None):
        """PIDs of live processes, other than zombies, that run in this session's prefix (and whose command
        line names `name`, when given)."""
        marker = f"WINEPREFIX={self.prefix}".encode()
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/environ", "rb") as environ:
                    if marker not in environ.read().split(b"\0"):
                        continue
                with open(f"/proc/{entry}/stat", "rb") as stat:
                    if stat.read().rsplit(b")", 1)[1].split()[0] == b"Z":
                        continue
                if name is not None:
                    with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                        if name.encode() not in cmdline.read():
                            continue
            except OSError:
                continue  # ended meanwhile, or not ours to read
            found.append(int(entry))
        return found

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.monotonic() + 30
        with os.fdopen(read_end, "rb") as reader:
            while not number.endswith(b"\n"):
                if time.monotonic() > deadline or self.xvfb.poll() is not None:
                    raise WineError("Xvfb did not report a display")
                chunk = reader.read(1)
                if not chunk:
                    raise WineError("Xvfb closed its display pipe without a display number")
                number += chunk
        return ":" + number.decode().strip()

    # -- running things in the prefix --------------------------------------

    def _run(self, command, what, cwd=None):
        # Output goes to files, not pipes: Wine's background processes inherit
        # the descriptors, and a pipe would then never reach its end.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            process = subprocess.Popen(command, env=self.env, cwd=cwd or self.drive_c(), stdin=subprocess.DEVNULL,
                                       stdout=out, stderr=err)
            try:
                process.wait(timeout=WINE_STEP_SECONDS)
            except subprocess.TimeoutExpired:
                _end(process)
                raise WineError(f"{what}: no answer after {WINE_STEP_SECONDS} s: {command}") from None
            out.seek(0)
            err.seek(0)
            return subprocess.CompletedProcess(command, process.returncode, out.read(), err.read())

    def wine(self, *args):
        """Runs a Windows program from drive C:, so that C: is its current drive."""
        return self._run(["wine", *args], " ".join(args[:2]))

    def drive_c(self, *parts):
        return os.path.join(self.prefix, "drive_c", *parts)

    @staticmethod
    def unix_to_windows(path):
        """Wine's Z: drive is the Unix root."""
        return "Z:" + os.path.abspath(path).replace("/", "\\")

    @staticmethod
    def windows_path(*parts):
        return "C:\\" + "\\".join(parts)

    def set_windows_version(self, helper, version):
        """Sets the version that Wine reports to the programs started after this."""
        self.check_helper(helper, "reg-set-sz", "Software\\Wine", "Version", version)

    def check_helper(self, helper, *args):
        return self.check_helper_with_trace(helper, *args)[0]

    def check_helper_with_trace(self, helper, *args):
        """The helper's output, and what Wine wrote to standard error: the debug
        channels of a program that the helper started with WINEDEBUG set."""
        result = self.wine(helper, *args)
        if result.returncode != 0:
            raise WineError(f"helper {' '.join(args)} failed ({result.returncode}): "
                            f"{result.stdout.decode(errors='replace')}{result.stderr.decode(errors='replace')}")
        return result.stdout.decode("utf-8"), result.stderr.decode("utf-8", errors="replace")

