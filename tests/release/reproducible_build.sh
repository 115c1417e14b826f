#!/usr/bin/env bash
# Two builds of the same sources, from two fresh copies at different paths,
# must give byte-identical executables: no timestamps, no build paths.
# Usage: reproducible_build.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
work_dir=$2
rm -rf "$work_dir"
mkdir -p "$work_dir"
work_dir=$(cd "$work_dir" && pwd)
trap 'rm -rf "$work_dir"' EXIT

copies=("$work_dir/a" "$work_dir/second/copy/at/another/depth")
for copy in "${copies[@]}"; do
    mkdir -p "$copy"
    "$source_dir/tools/source_files.sh" "$source_dir" | (cd "$source_dir" && xargs -0 cp --parents -t "$copy")
done

status=0
for arch in x86 x64; do
    for copy in "${copies[@]}"; do
        cmake --preset "$arch" -S "$copy" -B "$copy/build/$arch" -Wno-dev --log-level=WARNING \
            -DSTART_PAGE_URL=http://reproducible.example >/dev/null
        cmake --build "$copy/build/$arch" --target remediate -j "$(nproc)" >/dev/null
    done
    first="${copies[0]}/build/$arch/remediate-$arch.exe"
    second="${copies[1]}/build/$arch/remediate-$arch.exe"
    if cmp -s "$first" "$second"; then
        echo "remediate-$arch.exe: identical from both copies ($(sha256sum <"$first" | cut -d' ' -f1))"
    else
        echo "remediate-$arch.exe: the two builds differ; first differing bytes:"
        cmp -l "$first" "$second" | head -5
        status=1
    fi
done
exit $status
