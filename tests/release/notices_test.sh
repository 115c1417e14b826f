#!/usr/bin/env bash
# dist/THIRD-PARTY-NOTICES.txt carries the copyright files of the packages
# whose runtime is linked into the executables, for the versions that
# TOOLCHAIN.txt names: the mingw-w64 runtime's Zope Public License notice,
# conditions and disclaimer, and GCC's runtime library exception.
# The program's own licence, MIT, goes beside them, its sum in SHA256SUMS.
# Usage: notices_test.sh DIST_DIR
set -euo pipefail
notices=$1/THIRD-PARTY-NOTICES.txt
toolchain=$1/TOOLCHAIN.txt
status=0
expect() {
    grep -qF -- "$1" "$notices" || { echo "FAIL $notices does not hold: $1"; status=1; }
}
[[ -f $notices ]] || { echo "FAIL no $notices"; exit 1; }
gcc_version=$(sed -n 's/^Compiler (i686): .*, package //p' "$toolchain")
mingw_version=$(sed -n 's/^mingw-w64 headers and runtime: package //p' "$toolchain")
for package in g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32 gcc-mingw-w64-i686-win32 gcc-mingw-w64-x86-64-win32; do
    expect "$package $gcc_version"
done
for package in mingw-w64-i686-dev mingw-w64-x86-64-dev; do expect "$package $mingw_version"; done
expect "License: ZPL-2.1"
expect "Redistributions in binary form must reproduce the accompanying"
expect "THIS SOFTWARE IS PROVIDED BY THE COPYRIGHT HOLDERS"
expect "GCC RUNTIME LIBRARY EXCEPTION"
grep -qx "MIT License" "$1/LICENSE" || { echo "FAIL $1/LICENSE is not the MIT licence"; status=1; }
(cd "$1" && grep -q ' LICENSE$' SHA256SUMS && sha256sum --check --quiet --ignore-missing SHA256SUMS) ||
    { echo "FAIL $1/SHA256SUMS does not cover LICENSE as it is"; status=1; }
if ((status == 0)); then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit $status
