#!/usr/bin/python3
"""Reads what Windows' loader will see in an executable, with pefile, and
refuses one that would not start on the oldest Windows it is for.

Usage: /usr/bin/python3 windows_image.py --arch x86|x64 [--console] EXE...

`make` runs it on each executable after linking and before anything is copied
to dist/; the release tests read the executables through the same functions.
It fails on an import that windows_imports.txt does not list, or lists for a
Windows later than the executable's oldest (Windows XP for x86, Windows XP x64
for x64), and on a subsystem or loader version that Windows would refuse: the
GUI subsystem for the program, the console one with --console (the pilot kit).
pefile comes from Debian's python3-pefile, which is for Debian's own
/usr/bin/python3, not for another python3 that may come first on PATH.
"""
import argparse
import os
import sys
from typing import NamedTuple

try:
    import pefile
except ImportError:  # pragma: no cover - said once, clearly, instead of a trace
    sys.exit(f"{sys.executable} has no pefile: install Debian's python3-pefile and run this with /usr/bin/python3")

# Oldest first. Windows XP x64 is Windows Server 2003 SP1's code.
RELEASES = ["Windows NT 3.1", "Windows NT 3.5", "Windows NT 4.0", "Windows 2000", "Windows XP", "Windows XP x64",
            "Windows Vista", "Windows 7", "Windows 8", "Windows 10"]
OLDEST = {"x86": ("Windows XP", (5, 1)), "x64": ("Windows XP x64", (5, 2))}
GUI_SUBSYSTEM = 2
CONSOLE_SUBSYSTEM = 3
# What an executable in another subsystem than the one it is meant for does.
SUBSYSTEM_FAULTS = {GUI_SUBSYSTEM: "it is not a Windows GUI program: a console would open",
                    CONSOLE_SUBSYSTEM: "it is not a console program: it would print nothing at a command prompt"}
IMPORT_LIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows_imports.txt")
_DIRECTORIES = [pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"],
                pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]]
_BASE_RELOCATION = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]


class ImageError(Exception):
    """The file is no executable this reader can read."""


class Image(NamedTuple):
    """What the loader reads from an executable's headers and directories."""
    machine: int
    timestamp: int
    subsystem: int
    os_version: tuple
    subsystem_version: tuple
    dll_characteristics: int
    relocations_size: int
    imports: list          # (DLL, function), "(by ordinal)" for an import without a name
    resource_types: set    # the type IDs at the top of the resource tree


def read(path):
    try:
        pe = pefile.PE(path, fast_load=True)
        pe.parse_data_directories(directories=_DIRECTORIES)
    except pefile.PEFormatError as error:
        raise ImageError(f"{path}: {error}") from None
    header = pe.OPTIONAL_HEADER
    imports = [(entry.dll.decode("ascii"), imported.name.decode("ascii") if imported.name else "(by ordinal)")
               for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []) for imported in entry.imports]
    if not imports:
        raise ImageError(f"{path} has no imports at all")
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    return Image(
        machine=pe.FILE_HEADER.Machine,
        timestamp=pe.FILE_HEADER.TimeDateStamp,
        subsystem=header.Subsystem,
        os_version=(header.MajorOperatingSystemVersion, header.MinorOperatingSystemVersion),
        subsystem_version=(header.MajorSubsystemVersion, header.MinorSubsystemVersion),
        dll_characteristics=header.DllCharacteristics,
        relocations_size=header.DATA_DIRECTORY[_BASE_RELOCATION].Size,
        imports=imports,
        resource_types={entry.id for entry in resources.entries} if resources else set())


def listed_imports(path=IMPORT_LIST):
    """{(DLL upper-cased, function): first release} from the import list."""
    listed = {}
    with open(path, encoding="utf-8") as table:
        for number, line in enumerate(table, 1):
            if not line.strip() or line.startswith("#"):
                continue
            dll, function, release = line.split(None, 2)
            release = release.strip()
            if release not in RELEASES:
                raise ImageError(f"{os.path.basename(path)} line {number}: unknown release {release!r}")
            listed[(dll.upper(), function)] = release
    return listed


def loader_problems(image, arch, subsystem=GUI_SUBSYSTEM):
    """Why the subsystem or the loader versions would keep the executable from starting on its oldest Windows."""
    release, limit = OLDEST[arch]
    found = []
    if image.subsystem != subsystem:
        found.append(SUBSYSTEM_FAULTS[subsystem])
    for field, version in (("Subsystem", image.subsystem_version), ("OSystem", image.os_version)):
        if version > limit:
            found.append(f"its {field} version {version[0]}.{version[1]} is later than {release}'s "
                         f"{limit[0]}.{limit[1]}: {release} would not start it")
    return found


def import_problems(image, arch, listed):
    """Every import that is not listed, or is listed for a Windows later than the executable's oldest."""
    release, _ = OLDEST[arch]
    found = []
    for dll, function in image.imports:
        first = listed.get((dll.upper(), function))
        if first is None:
            found.append(f"it imports {dll} {function}, which {os.path.basename(IMPORT_LIST)} does not list: "
                         f"find the first Windows release that has it, and list it there")
        elif RELEASES.index(first) > RELEASES.index(release):
            found.append(f"it imports {dll} {function}, which first came with {first}: "
                         f"{release} would refuse to start it")
    return found


def problems(image, arch, listed, subsystem=GUI_SUBSYSTEM):
    """Why Windows' loader would refuse the executable on its oldest Windows; empty when it would not."""
    return loader_problems(image, arch, subsystem) + import_problems(image, arch, listed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=sorted(OLDEST), required=True)
    parser.add_argument("--console", action="store_true", help="a console program, as the pilot kit is")
    parser.add_argument("exe", nargs="+")
    options = parser.parse_args()
    failed = False
    try:
        listed = listed_imports()
        for exe in options.exe:
            subsystem = CONSOLE_SUBSYSTEM if options.console else GUI_SUBSYSTEM
            for problem in problems(read(exe), options.arch, listed, subsystem):
                print(f"{os.path.basename(exe)}: {problem}", file=sys.stderr)
                failed = True
    except (ImageError, OSError) as error:
        print(f"Could not read the executables' headers and imports: {error}", file=sys.stderr)
        return 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
