#!/usr/bin/env bash
# Prints, NUL-separated and relative to it, the files of the source tree as
# they stand: in a git checkout those git tracks or would track, so that
# uncommitted changes count too; elsewhere (a source tarball, a copied tree)
# every file but the build's own output.
# Usage: tools/source_files.sh SOURCE_DIR
set -euo pipefail
source_dir=$1
if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$source_dir" ls-files -z --cached --others --exclude-standard
else
    (cd "$source_dir" && find . \( -path ./build -o -path ./dist -o -path ./.git \) -prune -o -type f -print0)
fi
