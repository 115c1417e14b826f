#!/usr/bin/env bash
# Signs copies of the delivered executables with a throwaway self-signed
# certificate made here, and checks that the signatures verify and that the
# signed executables still pass the loader checks. dist/ itself is not touched.
# Usage: signing_test.sh SOURCE_DIR DIST_DIR WORK_DIR
set -euo pipefail
source_dir=$(cd "$1" && pwd)
dist_dir=$(cd "$2" && pwd)
work=$3
rm -rf "$work"
mkdir -p "$work"
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Desktop Remediation signing test" \
    -addext "extendedKeyUsage=codeSigning" -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
export PFX_PASSWORD="throwaway password"
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/test.pfx" \
    -passout env:PFX_PASSWORD

mkdir "$work/dist"
cp "$dist_dir"/remediate-x86.exe "$dist_dir"/remediate-x64.exe "$work/dist/"
before=$(sha256sum "$dist_dir"/remediate-x86.exe "$dist_dir"/remediate-x64.exe)

"$source_dir/tools/sign.sh" "$work/dist" "$work/test.pfx"

status=0
for arch in x86 x64; do
    exe="$work/dist/remediate-$arch.exe"
    if cmp -s "$exe" "$dist_dir/remediate-$arch.exe"; then
        echo "FAIL remediate-$arch.exe: signing left it unchanged"; status=1; continue
    fi
    if ! osslsigncode verify -CAfile "$work/cert.pem" -in "$exe" > "$work/verify-$arch.txt" 2>&1 ||
        ! grep -q "Signature verification: ok" "$work/verify-$arch.txt"; then
        echo "FAIL remediate-$arch.exe: the signature does not verify:"; cat "$work/verify-$arch.txt"; status=1
        continue
    fi
    if ! (cd "$work/dist" && sha256sum --check --quiet SHA256SUMS); then
        echo "FAIL SHA256SUMS does not match the signed executables"; status=1
    fi
    echo "ok remediate-$arch.exe: signed, and the signature verifies"
done
if [[ $before != $(sha256sum "$dist_dir"/remediate-x86.exe "$dist_dir"/remediate-x64.exe) ]]; then
    echo "FAIL the unsigned executables in $dist_dir changed"; status=1
fi
exit $status
