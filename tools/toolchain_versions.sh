#!/usr/bin/env bash
# The build machine and the toolchain that made dist/, one per line: the same
# sources and address give the same bytes only with these same versions.
set -euo pipefail

package_version() { dpkg-query -W -f='${Version}' "$1" 2>/dev/null || echo "not installed"; }

. /etc/os-release
echo "Build machine: ${PRETTY_NAME}, Debian $(cat /etc/debian_version 2>/dev/null || echo unknown)"
for prefix in i686 x86_64; do
    echo "Compiler ($prefix): $($prefix-w64-mingw32-g++-win32 --version | head -n 1)," \
        "package $(package_version g++-mingw-w64-${prefix/_/-}-win32)"
    echo "Binutils ($prefix): $($prefix-w64-mingw32-ld --version | head -n 1)," \
        "package $(package_version binutils-mingw-w64-${prefix/_/-})"
done
echo "mingw-w64 headers and runtime: package $(package_version mingw-w64-common)"
