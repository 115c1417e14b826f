#!/usr/bin/env bash
# A failing `make` leaves no executable in dist/, not even one from an earlier
# build. First, an executable that would not start on its oldest Windows: an
# x86 build that calls GetTickCount64, which Windows XP lacks, beside the real
# x64 build. The refusal must name the DLL, the function, the release that
# first has it and the Windows it would fail on. Then a refused address, in a
# copy of the sources whose earlier build was for another address: that
# address stays remembered.
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
# What an earlier, good build left.
plant_earlier_build() {
    for file in remediate-x86.exe remediate-x64.exe SHA256SUMS TOOLCHAIN.txt START_PAGE_URL.txt; do
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
left=$(ls "$work/dist")
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
left=$(ls "$copy/dist")
[[ -z $left ]] || fail "after a refused address, dist/ still holds: $left"
[[ $(<"$copy/build/START_PAGE_URL") == http://kept.example ]] || fail "a refused address replaced the remembered one"

if ((failures == 0)); then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
((failures == 0))
