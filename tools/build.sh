#!/usr/bin/env bash
# Builds both executables for the start-page address and delivers them to
# dist/, or leaves dist/ without any executable.
#
# The address is the one given to make (REMEDIATION_START_PAGE_URL, with
# REMEDIATION_START_PAGE_URL_GIVEN set), else the one the last accepted build
# was given, kept in build/START_PAGE_URL, else the example address, with a
# warning. `make clean` forgets it. It reaches CMake in a file, byte for byte:
# a -D value would lose its trailing white space on the way, unseen by the check.
#
# What dist/ held is withdrawn before anything else, so that no earlier build,
# for another address or from other sources, is deployed by mistake, however
# this ends: a refused address, a failed set-up, compile or import check, or
# an interruption (INT, TERM, HUP).
# Usage: tools/build.sh
set -euo pipefail
cd "$(dirname "$0")/.."

example=http://intranet.example.com
remembered=build/START_PAGE_URL
this_build=build/start-page-url.input
dist=dist
jobs=$(nproc 2>/dev/null || echo 2)

say_withdrawn() {
    echo "make failed: $dist/ holds no executable now, so that no earlier build is deployed by mistake." >&2
}
withdraw_on_failure() {
    local status=$?
    ((status == 0)) && return
    tools/deliver.sh --withdraw "$dist"
    say_withdrawn
    exit "$status"
}
# A shell runs a trap only once its command in the foreground has ended, and a
# compile may run for a while yet: each build step runs in a process group of
# its own, waited for, so that a signal ends the step, compilers and all, at
# once.
step=
in_step() {
    setsid "$@" &
    step=$!
    wait "$step"
    step=
}
# A shell ended by a signal runs its EXIT trap with status 0: each signal ends
# the build as the failure it is.
withdraw_on_signal() {
    trap - EXIT
    if [[ -n $step ]]; then
        kill -TERM -- "-$step" 2>/dev/null || true
        wait "$step" || true
    fi
    tools/deliver.sh --withdraw "$dist"
    say_withdrawn
    exit "$1"
}
trap withdraw_on_failure EXIT
trap 'withdraw_on_signal 130' INT
trap 'withdraw_on_signal 143' TERM
trap 'withdraw_on_signal 129' HUP
tools/deliver.sh --withdraw "$dist"

tools/install-deps.sh build

given=true
if [[ -n ${REMEDIATION_START_PAGE_URL_GIVEN:-} ]]; then
    url=$REMEDIATION_START_PAGE_URL
elif [[ -f $remembered ]]; then
    url=$(<"$remembered")
else
    url=$example
    given=false
fi

mkdir -p build
printf '%s' "$url" > "$this_build"
for arch in x86 x64; do
    in_step cmake --preset "$arch" -Wno-dev --log-level=WARNING -DSTART_PAGE_URL_FILE="$PWD/$this_build" >/dev/null
done
# Accepted by the check: every later make builds for it until another is given.
if $given; then cp "$this_build" "$remembered"; fi

for arch in x86 x64; do
    in_step cmake --build --preset "$arch" --target remediate remediate-pilot -j "$jobs"
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
