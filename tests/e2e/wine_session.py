"""A throwaway Wine prefix on an Xvfb display of its own, for the end-to-end tests.

The session starts Xvfb, then a persistent wineserver with DISPLAY already set
(a server started without a display makes every later window fail), waits until
that server is ready, then initialises the prefix. Each session's prefix has a
path never used before, and its server keeps its directory below the session's
own TMPDIR (where Debian's Wine puts it; Debian 13's in a folder below /tmp
that only this prefix names), so that sessions started side by side, or just
after another one ended, never meet in a shared server directory.
close() ends the wineserver, every Wine process it serves and Xvfb, each by its
PID, and removes the prefix.
"""
import errno
import glob
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

WINE_STEP_SECONDS = 120  # prefix set-up and a single helper call stay well under this
CLIENTS_GRACE_SECONDS = 5  # for a client to notice its wineserver has ended
SERVER_READY_SECONDS = 30
# Each architecture's own loader: Debian's `wine` starts even a 64-bit program
# through the 32-bit one. Where a Wine has no loader of its own for each, `wine`.
LOADERS = {"x86": "/usr/lib/wine/wine", "x64": "/usr/lib/wine/wine64"}


def loader(arch):
    return LOADERS[arch] if os.path.exists(LOADERS[arch]) else "wine"


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


def architecture_of(exe):
    """"x86" or "x64", from the machine field of a Windows executable's PE header."""
    with open(exe, "rb") as image:
        header = image.read(4096)
    offset = int.from_bytes(header[0x3C:0x40], "little")
    machine = int.from_bytes(header[offset + 4:offset + 6], "little")
    return {0x14C: "x86", 0x8664: "x64"}[machine]


def why_no_wine_for(arch):
    """Why this machine cannot run the architecture's programs under Wine, or None
    where it can: some kernels run no 32-bit program ("Exec format error", from
    the kernel or from the shell of Debian's `wine`), and Debian's `wine` without
    its 32-bit half (wine32:i386) says so and runs only 64-bit programs."""
    try:
        result = subprocess.run([loader(arch), "--version"], stdin=subprocess.DEVNULL, capture_output=True,
                                check=False, timeout=60)
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return "this machine's kernel runs no 32-bit program"
        raise
    if b"Exec format error" in result.stderr:
        return "this machine's kernel runs no 32-bit program"
    if arch == "x86" and b"wine32 is missing" in result.stderr:
        return "the 32-bit Wine (wine32:i386) is not installed"
    return None


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
    def __init__(self, work_dir, arch, virtual_desktop=True):
        self.work_dir = os.path.abspath(work_dir)
        self.virtual_desktop = virtual_desktop
        self.loader = loader(arch)
        self.prefix = None
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
        server_tmp = os.path.join(self.work_dir, "tmp")
        os.makedirs(home)
        os.makedirs(server_tmp)
        self.prefix = tempfile.mkdtemp(prefix="prefix-", dir=self.work_dir)
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
            "WINELOADER": self.loader,
            "TMPDIR": server_tmp,
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winemenubuilder.exe=d",
            "LC_ALL": "C.UTF-8",
            "FONTCONFIG_FILE": fontconfig,
        }
        if not self._start_server():
            # Debian 13's wineserver (Wine 10) aborts at start ("free(): invalid
            # pointer") whenever TMPDIR is set at all: there its directory stays
            # below /tmp, in a folder of its own that this new prefix names.
            del self.env["TMPDIR"]
            if os.path.exists(os.path.join(self.prefix, "wineserver")):
                os.remove(os.path.join(self.prefix, "wineserver"))
            if not self._start_server():
                raise WineError(f"the wineserver ended at start, with status {self.wineserver.returncode}: "
                                f"{self._server_log()}")
        result = self._run([self.loader, "wineboot", "--init"], "initialising the prefix", cwd=self.work_dir)
        if result.returncode != 0 or not os.path.isdir(self.drive_c()):
            raise WineError(f"wineboot --init failed ({result.returncode}): {result.stderr.decode(errors='replace')}")
        if self.virtual_desktop:
            self._use_virtual_desktop()

    def _start_server(self):
        """Starts the prefix's server and waits until it listens (a client
        started before then would set up a server directory of its own beside
        the server's); False if it ended at start."""
        with open(os.path.join(self.work_dir, "wineserver.log"), "wb") as log:
            self.wineserver = subprocess.Popen(["wineserver", "--foreground", "--persistent"], env=self.env,
                                               stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        deadline = time.monotonic() + SERVER_READY_SECONDS
        while not self._server_listens():
            if self.wineserver.poll() is not None:
                return False
            if time.monotonic() > deadline:
                raise WineError(f"the wineserver was not listening after {SERVER_READY_SECONDS} s: "
                                f"{self._server_log()}")
            time.sleep(0.05)
        return True

    def _server_folder(self):
        """The folder of its own that Debian's Wine keeps the server's directory
        in, below TMPDIR (or /tmp), as the prefix names it; None for Wine's own."""
        if not self.prefix or not self.env or not os.path.exists(os.path.join(self.prefix, "wineserver")):
            return None
        with open(os.path.join(self.prefix, "wineserver"), encoding="utf-8") as named:
            name = named.read().strip()
        # Only ever a folder of the server's own making (mkdtemp's wine-XXXXXX).
        if not re.fullmatch(r"wine-[A-Za-z0-9]{6}", name):
            return None
        return os.path.join(self.env.get("TMPDIR", "/tmp"), name)

    def _server_listens(self):
        # Wine's own keeps its directory below /tmp, named by the prefix's inode.
        server_folder = self._server_folder()
        if server_folder:
            return bool(glob.glob(os.path.join(server_folder, "server-*", "socket")))
        prefix = os.stat(self.prefix)
        return os.path.exists(f"/tmp/.wine-{os.getuid()}/server-{prefix.st_dev:x}-{prefix.st_ino:x}/socket")

    def _server_log(self):
        with open(os.path.join(self.work_dir, "wineserver.log"), encoding="utf-8", errors="replace") as log:
            return log.read().strip() or "it said nothing"

    def _use_virtual_desktop(self):
        # Windows open on a virtual desktop of Wine's, which draws their title bars as
        # Windows does; Xvfb alone has no window manager to draw them.
        for key, name, value in ((r"HKCU\Software\Wine\Explorer", "Desktop", "E2E"),
                                 (r"HKCU\Software\Wine\Explorer\Desktops", "E2E", "800x600")):
            result = self._run([self.loader, "reg", "add", key, "/v", name, "/d", value, "/f"], "setting the desktop")
            if result.returncode != 0:
                raise WineError(f"reg add {key} failed: {result.stdout.decode(errors='replace')}")

    def close(self):
        if self.wineserver is not None and self.wineserver.poll() is None:
            subprocess.run(["wineserver", "--kill"], env=self.env, timeout=30, check=False,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _end(self.wineserver)
        _end(self.xvfb)
        # Each client sees its server gone only when it next reads from it: on
        # a loaded machine that can take a moment. One still there after the
        # grace is a process a test left running.
        deadline = time.monotonic() + CLIENTS_GRACE_SECONDS
        while self._processes_in_prefix() and time.monotonic() < deadline:
            time.sleep(0.1)
        leftovers = self._processes_in_prefix()
        for pid in leftovers:
            os.kill(pid, signal.SIGKILL)
        if not os.environ.get("E2E_KEEP_PREFIX"):
            # A server folder outside the work folder (Debian 13's, below /tmp)
            # outlives its server: it goes with the prefix that names it.
            server_folder = self._server_folder()
            if server_folder and not server_folder.startswith(self.work_dir + os.sep):
                shutil.rmtree(server_folder, ignore_errors=True)
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
        if self.prefix is None:
            return []
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
        return self._run([self.loader, *args], " ".join(args[:2]))

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

