#!/usr/bin/env python3
"""Reads what Windows' loader will see in an executable, from `objdump -p`,
and refuses one that would not start on the oldest Windows it is for.

Usage: windows_image.py --arch x86|x64 --objdump OBJDUMP EXE...

`make` runs it on each executable after linking and before anything is copied
to dist/; the release tests read the executables through the same functions.
It fails on an import that windows_imports.txt does not list, or lists for a
Windows later than the executable's oldest (Windows XP for x86, Windows XP x64
for x64), and on a subsystem or loader version that Windows would refuse.
"""
import argparse
import os
import re
import subprocess
import sys

# Oldest first. Windows XP x64 is Windows Server 2003 SP1's code.
RELEASES = ["Windows NT 3.1", "Windows NT 3.5", "Windows NT 4.0", "Windows 2000", "Windows XP", "Windows XP x64",
            "Windows Vista", "Windows 7", "Windows 8", "Windows 10"]
OLDEST = {"x86": ("Windows XP", (5, 1)), "x64": ("Windows XP x64", (5, 2))}
GUI_SUBSYSTEM = 2
IMPORT_LIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "windows_imports.txt")


class ImageError(Exception):
    """objdump printed something this reader cannot read."""


def dump(objdump, exe):
    return subprocess.run([objdump, "-p", exe], check=True, capture_output=True, text=True).stdout


def header_value(text, name):
    """A field of the PE headers, as the hexadecimal text objdump gives it."""
    match = re.search(rf"^{name}\s+([0-9A-Fa-f]+)", text, re.MULTILINE)
    if not match:
        raise ImageError(f"objdump printed no {name}")
    return match.group(1)


def header_version(text, field):
    """(major, minor) of "Subsystem" or "OSystem"; objdump prints them in decimal."""
    return int(header_value(text, f"Major{field}Version")), int(header_value(text, f"Minor{field}Version"))


def imports(text):
    """(DLL, function) for every import, "(by ordinal)" for one without a name.

    Each DLL's table opens with a line naming its columns, which differ between
    binutils releases: 2.40 prints "vma:  Hint/Ord Member-Name Bound-To" and a
    decimal hint, 2.44 "vma:  Ordinal  Hint  Member-Name  Bound-To" with an
    ordinal ("<none>" for an import by name) and a hexadecimal hint. The name is
    found by the column that the table itself calls Member-Name; both print
    "<none>" there for an import by ordinal.
    """
    found, dll, name_column = [], None, None
    for line in text.splitlines():
        named = re.match(r"\s+DLL Name: (\S+)", line)
        if named:
            dll, name_column = named.group(1), None
            continue
        if dll is None:
            continue
        fields = line.split()
        if not fields:
            dll = None  # a blank line ends the DLL's table
        elif fields[0] == "vma:":
            if "Member-Name" not in fields:
                raise ImageError(f"objdump's import table for {dll} has columns this reader does not know: {line!r}")
            name_column = fields.index("Member-Name")
        elif name_column is not None and re.fullmatch(r"[0-9a-fA-F]+", fields[0]):
            name = fields[name_column] if len(fields) > name_column else "<none>"
            found.append((dll, "(by ordinal)" if name == "<none>" else name))
    if not found:
        raise ImageError("objdump listed no imports at all")
    return found


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


def loader_problems(text, arch):
    """Why the subsystem or the loader versions would keep the executable from starting on its oldest Windows."""
    release, limit = OLDEST[arch]
    found = []
    if int(header_value(text, "Subsystem"), 16) != GUI_SUBSYSTEM:
        found.append("it is not a Windows GUI program: a console would open")
    for field in ("Subsystem", "OSystem"):
        version = header_version(text, field)
        if version > limit:
            found.append(f"its {field} version {version[0]}.{version[1]} is later than {release}'s "
                         f"{limit[0]}.{limit[1]}: {release} would not start it")
    return found


def import_problems(text, arch, listed):
    """Every import that is not listed, or is listed for a Windows later than the executable's oldest."""
    release, _ = OLDEST[arch]
    found = []
    for dll, function in imports(text):
        first = listed.get((dll.upper(), function))
        if first is None:
            found.append(f"it imports {dll} {function}, which {os.path.basename(IMPORT_LIST)} does not list: "
                         f"find the first Windows release that has it, and list it there")
        elif RELEASES.index(first) > RELEASES.index(release):
            found.append(f"it imports {dll} {function}, which first came with {first}: "
                         f"{release} would refuse to start it")
    return found


def problems(text, arch, listed):
    """Why Windows' loader would refuse the executable on its oldest Windows; empty when it would not."""
    return loader_problems(text, arch) + import_problems(text, arch, listed)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--arch", choices=sorted(OLDEST), required=True)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("exe", nargs="+")
    options = parser.parse_args()
    failed = False
    try:
        listed = listed_imports()
        for exe in options.exe:
            for problem in problems(dump(options.objdump, exe), options.arch, listed):
                print(f"{os.path.basename(exe)}: {problem}", file=sys.stderr)
                failed = True
    except (ImageError, OSError, subprocess.CalledProcessError) as error:
        print(f"Could not read the executables' headers and imports: {error}", file=sys.stderr)
        return 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
