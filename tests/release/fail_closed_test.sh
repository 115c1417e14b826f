#!/usr/bin/env bash
# A failing `make` leaves no executable in dist/, not even one from an earlier
# build. First, an executable that would not start on its oldest Windows: an
# x86 build that calls GetTickCount64, which Windows XP lacks, beside the real
# x64 build. The refusal must name the DLL, the function, the release that
# first has it and the Windows it would fail on. Then a refused address, in a
# copy of the sources whose earlier build was for another address: that
# address stays remembered. Then, in that copy, make itself: an address that
# holds make syntax or a carriage return, a failed package set-up, and a build
# ended by SIGTERM mid-compile.
# Usage: fail_closed_test.sh SOURCE_DIR DIST_DIR WORK_DIR
set -euo pipefail
source_dir=$1
dist_dir=$2
work=$3
rm -rf "$work"
mkdir -p "$work/build/x86" "$work/build/x64" "$work/dist"

cat > "$work/planted.c" <<'C'
#define _WIN32_WINNT 0x0600
#include <windows.h>
int WINAPI wWinMain(HINSTANCE a, HINSTANCE b, PWSTR c, int d) { return (int)GetTickCount64(); }
C
i686-w64-mingw32-gcc-win32 -municode -mwindows -Wl,--major-subsystem-version,5,--minor-subsystem-version,1 \
    -Wl,--major-os-version,5,--minor-os-version,1 -o "$work/build/x86/remediate-x86.exe" "$work/planted.c"
cp "$dist_dir/remediate-x64.exe" "$work/build/x64/"
for arch in x86 x64; do
    mkdir -p "$work/build/$arch/pilot"
    cp "$dist_dir/pilot/remediate-pilot-$arch.exe" "$work/build/$arch/pilot/"
done
# What an earlier, good build left.
plant_earlier_build() {
    mkdir -p "$1/pilot"
    for file in remediate-x86.exe remediate-x64.exe LICENSE SHA256SUMS TOOLCHAIN.txt START_PAGE_URL.txt THIRD-PARTY-NOTICES.txt \
        pilot/remediate-pilot-x86.exe pilot/remediate-pilot-x64.exe pilot/SHA256SUMS; do
        echo earlier > "$1/$file"
    done
}
plant_earlier_build "$work/dist"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
if "$source_dir/tools/deliver.sh" "$work/build" "$work/dist" > "$work/out.txt" 2>&1; then
    fail "the delivery went through"
fi
cat "$work/out.txt"
grep -q "remediate-x86.exe: it imports KERNEL32.dll GetTickCount64, which first came with Windows Vista: Windows XP would refuse to start it" "$work/out.txt" ||
    fail "the refusal does not name KERNEL32.dll GetTickCount64 and why"
grep -q "remediate-x64.exe" "$work/out.txt" && fail "the good x64 build was refused too"
grep -q "^Nothing was delivered" "$work/out.txt" || fail "the refusal does not say that nothing was delivered"
left=$(find "$work/dist" -mindepth 1)
[[ -z $left ]] || fail "dist/ still holds: $left"

copy=$work/copy
mkdir -p "$copy"
"$source_dir/tools/source_files.sh" "$source_dir" | (cd "$source_dir" && xargs -0 cp --parents -t "$copy")
mkdir -p "$copy/build" "$copy/dist"
printf '%s' "http://kept.example" > "$copy/build/START_PAGE_URL"
plant_earlier_build "$copy/dist"
if REMEDIATION_START_PAGE_URL_GIVEN=1 REMEDIATION_START_PAGE_URL='http://bad address' "$copy/tools/build.sh" \
    > "$work/refused.txt" 2>&1; then
    fail "a refused address was built"
fi
cat "$work/refused.txt"
grep -q 'START_PAGE_URL "http://bad address" is refused' "$work/refused.txt" || fail "the refusal does not name the address"
left=$(find "$copy/dist" -mindepth 1)
[[ -z $left ]] || fail "after a refused address, dist/ still holds: $left"
[[ $(<"$copy/build/START_PAGE_URL") == http://kept.example ]] || fail "a refused address replaced the remembered one"

# make itself, in the copy, as an administrator runs it: not through the
# make running this test.
copy_make=(env -u MAKEFLAGS -u MFLAGS -u MAKELEVEL make -C "$copy")
# What a run printed, on one line: CMake wraps its messages.
said() { tr -s ' \n' ' ' < "$1"; }

# An address is never make text: a planted $(shell ...) must not run, neither
# when make hands the address to a recipe nor in a sub-make.
plant_earlier_build "$copy/dist"
# shellcheck disable=SC2016  # the $(...) is for make, not for this shell
if "${copy_make[@]}" START_PAGE_URL='http://h.example.org/a$(shell touch planted)b' > "$work/planted.txt" 2>&1; then
    fail "an address holding a space was built"
fi
planted=$(find "$copy" -name planted)
[[ -z $planted ]] || fail "make ran the \$(shell ...) in the address: $planted"
# shellcheck disable=SC2016
said "$work/planted.txt" | grep -qF 'a$(shell touch planted)b" is refused: it holds a space at character 30' ||
    fail "the address did not reach the check as it was given: $(cat "$work/planted.txt")"

# A carriage return at the end, as an address copied from a Windows text file
# carries, is refused by name, not dropped on the way.
plant_earlier_build "$copy/dist"
if "${copy_make[@]}" START_PAGE_URL=$'http://x.example.org/a\r' > "$work/return.txt" 2>&1; then
    fail "an address ending in a carriage return was built"
fi
said "$work/return.txt" | grep -qF 'it holds a carriage return (0x0D) at character 23' ||
    fail "the carriage return was not named: $(cat "$work/return.txt")"
[[ $(<"$copy/build/START_PAGE_URL") == http://kept.example ]] || fail "a refused address replaced the remembered one"
left=$(find "$copy/dist" -mindepth 1)
[[ -z $left ]] || fail "after a refused address, dist/ still holds: $left"

# A package set-up that fails before the build: dpkg finds nothing, apt fails.
# An ordinary user's set-up runs apt-get through sudo, whose own secure PATH
# would find the real one: the stand-in sudo runs what it is given as it is.
mkdir -p "$work/no-packages"
printf '#!/bin/sh\nexit 1\n' > "$work/no-packages/dpkg-query"
printf '#!/bin/sh\necho "apt-get: stand-in failure" >&2\nexit 100\n' > "$work/no-packages/apt-get"
printf '#!/bin/sh\nexec "$@"\n' > "$work/no-packages/sudo"
chmod +x "$work/no-packages/dpkg-query" "$work/no-packages/apt-get" "$work/no-packages/sudo"
plant_earlier_build "$copy/dist"
if PATH="$work/no-packages:$PATH" INSTALL_DEPS_RETRY_PAUSE=0 "${copy_make[@]}" > "$work/set-up.txt" 2>&1; then
    fail "make went through a failed set-up"
fi
grep -q "apt-get update failed three times" "$work/set-up.txt" || fail "the set-up did not try again: $(cat "$work/set-up.txt")"
left=$(find "$copy/dist" -mindepth 1)
[[ -z $left ]] || fail "after a failed package set-up, dist/ still holds: $left"

# make ended by SIGTERM mid-compile (a cancelled CI job): nothing in dist/, and
# no compiler left running.
plant_earlier_build "$copy/dist"
rm -rf "$copy/build/x86" "$copy/build/x64"
# Started directly, so that the signal goes to make itself.
"${copy_make[@]}" START_PAGE_URL=http://b.example > "$work/terminated.txt" 2>&1 &
make_pid=$!
for _ in $(seq 600); do
    grep -q "Building CXX" "$work/terminated.txt" && break
    sleep 0.2
done
grep -q "Building CXX" "$work/terminated.txt" || fail "the compile never started: $(cat "$work/terminated.txt")"
kill -TERM "$make_pid"
if wait "$make_pid"; then fail "make ended by SIGTERM reported success"; fi
left=$(find "$copy/dist" -mindepth 1)
[[ -z $left ]] || fail "after make was ended by SIGTERM, dist/ still holds: $left"
# A compiler the signal ended may take a moment to be gone (seen as <defunct> under load).
for _ in $(seq 25); do
    running=$(pgrep -f "$copy/" || true)
    [[ -z $running ]] && break
    sleep 0.2
done
[[ -z $running ]] || fail "processes of the ended build still run: $(ps -o pid,args -p "${running//$'\n'/,}")"

if ((failures == 0)); then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
((failures == 0))
