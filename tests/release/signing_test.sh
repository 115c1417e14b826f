#!/usr/bin/env bash
# Signs copies of the delivered executables with a throwaway self-signed
# certificate made here, once from a PFX file and once from a SoftHSM2 token
# made for the test, whose key never leaves it, and checks that the signatures
# verify, that SHA256SUMS follows, and that no file holding the password or
# PIN is left behind. dist/ itself is not touched.
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
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/test.pfx" \
    -passout pass:"throwaway password"

# A token of the test's own, in a folder of its own, holding the same key.
export SOFTHSM2_CONF=$work/softhsm2.conf
mkdir "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" > "$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label signing --pin 2468 --so-pin 13579 >/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$work/key.pem" -out "$work/key.p8"
softhsm2-util --import "$work/key.p8" --token signing --label signer --id 01 --pin 2468 >/dev/null
rm "$work/key.p8"
token=(PKCS11_MODULE="$(find /usr/lib -name libsofthsm2.so -path '*softhsm*' -print -quit)"
    PKCS11_KEY='pkcs11:token=signing;object=signer;type=private' CERT="$work/cert.pem")

before=$(sha256sum "$dist_dir"/remediate-x86.exe "$dist_dir"/remediate-x64.exe)
status=0
for route in pfx pkcs11; do
    mkdir "$work/$route" "$work/$route-tmp"
    cp "$dist_dir"/remediate-x86.exe "$dist_dir"/remediate-x64.exe "$work/$route/"
    if [[ $route == pfx ]]; then
        PFX="$work/test.pfx" PFX_PASSWORD="throwaway password" TMPDIR="$work/$route-tmp" \
            "$source_dir/tools/sign.sh" "$work/$route"
    else
        env "${token[@]}" PKCS11_PIN=2468 TMPDIR="$work/$route-tmp" "$source_dir/tools/sign.sh" "$work/$route"
    fi
    if [[ -n $(ls -A "$work/$route-tmp") ]]; then
        echo "FAIL $route: signing left files behind: $(ls -A "$work/$route-tmp")"; status=1
    fi
    for arch in x86 x64; do
        exe="$work/$route/remediate-$arch.exe"
        if cmp -s "$exe" "$dist_dir/remediate-$arch.exe"; then
            echo "FAIL remediate-$arch.exe: signing left it unchanged"; status=1; continue
        fi
        if ! osslsigncode verify -CAfile "$work/cert.pem" -in "$exe" > "$work/verify-$arch.txt" 2>&1 ||
            ! grep -q "Signature verification: ok" "$work/verify-$arch.txt"; then
            echo "FAIL remediate-$arch.exe: the signature does not verify:"; cat "$work/verify-$arch.txt"; status=1
            continue
        fi
        if ! (cd "$work/$route" && sha256sum --check --quiet SHA256SUMS); then
            echo "FAIL SHA256SUMS does not match the signed executables"; status=1
        fi
        echo "ok $route remediate-$arch.exe: signed, and the signature verifies"
    done
done

# A wrong PIN signs nothing and says so.
mkdir "$work/wrong-pin"
cp "$dist_dir"/remediate-x86.exe "$dist_dir"/remediate-x64.exe "$work/wrong-pin/"
if env "${token[@]}" PKCS11_PIN=1111 "$source_dir/tools/sign.sh" "$work/wrong-pin" 2>"$work/wrong-pin.txt"; then
    echo "FAIL a wrong PIN signed"; status=1
elif ! cmp -s "$work/wrong-pin/remediate-x86.exe" "$dist_dir/remediate-x86.exe"; then
    echo "FAIL a wrong PIN changed remediate-x86.exe"; status=1
elif ! grep -q "could not sign" "$work/wrong-pin.txt"; then
    echo "FAIL a wrong PIN was not reported:"; cat "$work/wrong-pin.txt"; status=1
fi
if [[ $before != $(sha256sum "$dist_dir"/remediate-x86.exe "$dist_dir"/remediate-x64.exe) ]]; then
    echo "FAIL the unsigned executables in $dist_dir changed"; status=1
fi
if ((status == 0)); then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit $status
