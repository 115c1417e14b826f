#!/usr/bin/env bash
# Builds both executables for the start-page address and delivers them to
# dist/, or leaves dist/ without any executable.
#
# The address is the one given to make (REMEDIATION_START_PAGE_URL, with
# REMEDIATION_START_PAGE_URL_GIVEN set), else the one the last accepted build
# was given, kept in build/START_PAGE_URL, else the example address, with a
# warning. `make clean` forgets it.
#
# Any failure (a refused address, a compile or link error, the import check)
# removes what dist/ held, so that no earlier build, for another address or
# from other sources, is deployed by mistake.
# Usage: tools/build.sh
set -euo pipefail
cd "$(dirname "$0")/.."

example=http://intranet.example.com
remembered=build/START_PAGE_URL
dist=dist
jobs=$(nproc 2>/dev/null || echo 2)

withdraw_on_failure() {
    local status=$?
    ((status == 0)) && return
    tools/deliver.sh --withdraw "$dist"
    echo "make failed: $dist/ holds no executable now, so that no earlier build is deployed by mistake." >&2
    exit "$status"
}
trap withdraw_on_failure EXIT

given=true
if [[ -n ${REMEDIATION_START_PAGE_URL_GIVEN:-} ]]; then
    url=$REMEDIATION_START_PAGE_URL
elif [[ -f $remembered ]]; then
    url=$(<"$remembered")
else
    url=$example
    given=false
fi

for arch in x86 x64; do
    cmake --preset "$arch" -Wno-dev --log-level=WARNING -DSTART_PAGE_URL="$url" >/dev/null
done
# Accepted by the check: every later make builds for it until another is given.
if $given; then printf '%s' "$url" > "$remembered"; fi

for arch in x86 x64; do
    cmake --build --preset "$arch" --target remediate -j "$jobs"
done
tools/deliver.sh build "$dist"
printf '%s\n' "$url" > "$dist/START_PAGE_URL.txt"

cat "$dist/TOOLCHAIN.txt"
printf 'Start page: %s (in %s/START_PAGE_URL.txt)\n' "$url" "$dist"
for arch in x86 x64; do
    file=$dist/remediate-$arch.exe
    printf '%-24s %7d bytes  sha256 %s\n' "$file" "$(stat -c %s "$file")" "$(sha256sum "$file" | cut -d' ' -f1)"
done
if ! $given; then
    echo "warning: no START_PAGE_URL was ever given: the executables carry the example address $example," \
        "not your organisation's. Build for yours with: make START_PAGE_URL='https://...'" >&2
fi
