#!/usr/bin/env bash
# Copies the linked executables to the delivery folder, and the pilot kit to
# its pilot/ folder, only when Windows would start each on the oldest Windows
# it is for. Otherwise it says why, removes
# what the folder held from an earlier build, so that nobody deploys that by
# mistake, and fails. With --withdraw, it only removes what the folder held,
# as `make` does after any failure.
# Usage: tools/deliver.sh BUILD_DIR DIST_DIR | tools/deliver.sh --withdraw DIST_DIR
set -euo pipefail
if (($# != 2)); then
    echo "usage: $0 BUILD_DIR DIST_DIR | $0 --withdraw DIST_DIR" >&2
    exit 2
fi
build=$1
dist=$2
tools=$(cd "$(dirname "$0")" && pwd)
delivered=(remediate-x86.exe remediate-x64.exe LICENSE SHA256SUMS TOOLCHAIN.txt START_PAGE_URL.txt THIRD-PARTY-NOTICES.txt)
kit_delivered=(remediate-pilot-x86.exe remediate-pilot-x64.exe SHA256SUMS)
withdraw() {
    for file in "${delivered[@]}"; do rm -f "$dist/$file"; done
    for file in "${kit_delivered[@]}"; do rm -f "$dist/pilot/$file"; done
    if [[ -d $dist/pilot ]]; then rmdir --ignore-fail-on-non-empty "$dist/pilot"; fi
}
if [[ $build == --withdraw ]]; then
    withdraw
    exit 0
fi

refused=false
for arch in x86 x64; do
    # Debian's own interpreter, which has Debian's pefile, whatever python3 comes first on PATH.
    /usr/bin/python3 "$tools/windows_image.py" --arch "$arch" "$build/$arch/remediate-$arch.exe" || refused=true
    /usr/bin/python3 "$tools/windows_image.py" --arch "$arch" --console "$build/$arch/pilot/remediate-pilot-$arch.exe" ||
        refused=true
done
if $refused; then
    withdraw
    echo "Nothing was delivered to $dist/: an executable above would not start on the oldest Windows it is for." >&2
    exit 1
fi

mkdir -p "$dist/pilot"
for arch in x86 x64; do
    cp "$build/$arch/remediate-$arch.exe" "$dist/"
    cp "$build/$arch/pilot/remediate-pilot-$arch.exe" "$dist/pilot/"
done
cp "$tools/../LICENSE" "$dist/"
(cd "$dist" && sha256sum remediate-x86.exe remediate-x64.exe LICENSE > SHA256SUMS)
(cd "$dist/pilot" && sha256sum remediate-pilot-x86.exe remediate-pilot-x64.exe > SHA256SUMS)
"$tools/toolchain_versions.sh" > "$dist/TOOLCHAIN.txt"
"$tools/third_party_notices.sh" "$build/x86/remediate-x86.map" "$build/x64/remediate-x64.map" \
    > "$dist/THIRD-PARTY-NOTICES.txt"
