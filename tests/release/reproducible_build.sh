#!/usr/bin/env bash
# What make built in the source tree, before any signing, must come out byte
# for byte from a fresh copy of the same sources at another path and depth,
# for the same address: no timestamps, no build paths.
# Usage: reproducible_build.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
work_dir=$2
rm -rf "$work_dir"
mkdir -p "$work_dir"
work_dir=$(cd "$work_dir" && pwd)
trap 'rm -rf "$work_dir"' EXIT

address=$source_dir/build/start-page-url.input
if [[ ! -f $address ]]; then
    echo "FAIL no build to compare with: run make in $source_dir first"
    exit 1
fi
copy="$work_dir/second/copy/at/another/depth"
mkdir -p "$copy"
"$source_dir/tools/source_files.sh" "$source_dir" | (cd "$source_dir" && xargs -0 cp --parents -t "$copy")
cp "$address" "$work_dir/address"

# Both architectures side by side, one job each.
builds=()
for arch in x86 x64; do
    (cmake --preset "$arch" -S "$copy" -B "$copy/build/$arch" -Wno-dev --log-level=WARNING \
        -DSTART_PAGE_URL_FILE="$work_dir/address" >/dev/null &&
        cmake --build "$copy/build/$arch" --target remediate -j 1 >/dev/null) &
    builds+=($!)
done
built_again=true
for build in "${builds[@]}"; do wait "$build" || built_again=false; done
if ! $built_again; then
    echo "FAIL the fresh copy did not build"
    exit 1
fi

status=0
for arch in x86 x64; do
    built="$source_dir/build/$arch/remediate-$arch.exe"
    again="$copy/build/$arch/remediate-$arch.exe"
    if cmp -s "$built" "$again"; then
        echo "remediate-$arch.exe: identical from the fresh copy ($(sha256sum <"$built" | cut -d' ' -f1))"
    else
        echo "remediate-$arch.exe: the fresh copy's build differs from make's; first differing bytes:"
        cmp -l "$built" "$again" | head -5
        status=1
    fi
done
exit $status
