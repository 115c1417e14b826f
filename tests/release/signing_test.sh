#!/usr/bin/env bash
# Signs copies of the delivered executables and pilot kits with a throwaway self-signed
# certificate made here, once from a PFX file and once from a SoftHSM2 token
# made for the test, whose key never leaves it, and checks that the signatures
# verify, that SHA256SUMS follows, and that no file holding the password or
# PIN is left behind; then that a password-less PFX file signs, that a failure
# on the second executable leaves both unsigned and the sums as they were, and
# that the secret never reaches the signer's environment. dist/ itself is not
# touched.
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

signables=(remediate-x86.exe remediate-x64.exe pilot/remediate-pilot-x86.exe pilot/remediate-pilot-x64.exe)
replaced=("${signables[@]}" SHA256SUMS pilot/SHA256SUMS)
# A copy of what signing works on, as make delivered it (the licence, whose sum SHA256SUMS keeps, too).
copy_dist() {
    mkdir -p "$1/pilot"
    for file in "${replaced[@]}" LICENSE; do cp "$dist_dir/$file" "$1/$file"; done
}
sums_follow() {
    (cd "$1" && sha256sum --check --quiet SHA256SUMS) && (cd "$1/pilot" && sha256sum --check --quiet SHA256SUMS)
}
before=$(cd "$dist_dir" && sha256sum "${replaced[@]}")
status=0
for route in pfx pkcs11; do
    mkdir "$work/$route-tmp"
    copy_dist "$work/$route"
    if [[ $route == pfx ]]; then
        PFX="$work/test.pfx" PFX_PASSWORD="throwaway password" TMPDIR="$work/$route-tmp" \
            "$source_dir/tools/sign.sh" "$work/$route"
    else
        env "${token[@]}" PKCS11_PIN=2468 TMPDIR="$work/$route-tmp" "$source_dir/tools/sign.sh" "$work/$route"
    fi
    if [[ -n $(ls -A "$work/$route-tmp") ]]; then
        echo "FAIL $route: signing left files behind: $(ls -A "$work/$route-tmp")"; status=1
    fi
    for file in "${signables[@]}"; do
        exe="$work/$route/$file"
        if cmp -s "$exe" "$dist_dir/$file"; then
            echo "FAIL $file: signing left it unchanged"; status=1; continue
        fi
        if ! osslsigncode verify -CAfile "$work/cert.pem" -in "$exe" > "$work/verify.txt" 2>&1 ||
            ! grep -q "Signature verification: ok" "$work/verify.txt"; then
            echo "FAIL $file: the signature does not verify:"; cat "$work/verify.txt"; status=1
            continue
        fi
        echo "ok $route $file: signed, and the signature verifies"
    done
    sums_follow "$work/$route" || { echo "FAIL $route: the SHA256SUMS do not match the signed executables"; status=1; }
done

# A wrong PIN signs nothing and says so.
copy_dist "$work/wrong-pin"
if env "${token[@]}" PKCS11_PIN=1111 "$source_dir/tools/sign.sh" "$work/wrong-pin" 2>"$work/wrong-pin.txt"; then
    echo "FAIL a wrong PIN signed"; status=1
elif ! cmp -s "$work/wrong-pin/remediate-x86.exe" "$dist_dir/remediate-x86.exe"; then
    echo "FAIL a wrong PIN changed remediate-x86.exe"; status=1
elif ! grep -q "could not sign" "$work/wrong-pin.txt"; then
    echo "FAIL a wrong PIN was not reported:"; cat "$work/wrong-pin.txt"; status=1
fi
# A PFX file without a password signs, with no password file at all.
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -out "$work/open.pfx" -passout pass:
copy_dist "$work/no-password"
if ! PFX="$work/open.pfx" PFX_PASSWORD='' "$source_dir/tools/sign.sh" "$work/no-password" >"$work/no-password.txt" 2>&1 ||
    ! osslsigncode verify -CAfile "$work/cert.pem" -in "$work/no-password/remediate-x64.exe" >/dev/null 2>&1; then
    echo "FAIL a PFX file without a password did not sign:"; cat "$work/no-password.txt"; status=1
fi

# A stand-in osslsigncode records what it was given, and fails on the last
# executable when told to: all are signed or none, and the secret reaches it
# only in its file.
mkdir "$work/bin"
cat > "$work/bin/osslsigncode" <<'STANDIN'
#!/bin/sh
env > "$STANDIN_RECORD.env.$$"
echo "$@" > "$STANDIN_RECORD.args.$$"
while [ $# -gt 0 ]; do
    case $1 in -in) in=$2; shift ;; -out) out=$2; shift ;; esac
    shift
done
case $in in *"$STANDIN_FAIL_ON") echo "stand-in: refused $in" >&2; exit 1 ;; esac
{ cat "$in"; echo signed; } > "$out"
STANDIN
chmod +x "$work/bin/osslsigncode"
for fail_on in remediate-pilot-x64.exe nothing; do
    folder=$work/stand-in-$fail_on
    copy_dist "$folder"
    if PATH="$work/bin:$PATH" STANDIN_RECORD="$work/record" STANDIN_FAIL_ON=$fail_on PFX="$work/test.pfx" \
        PFX_PASSWORD="throwaway password" "$source_dir/tools/sign.sh" "$folder" >"$folder.txt" 2>&1; then
        signed=true
    else
        signed=false
    fi
    if [[ $fail_on == nothing ]]; then
        $signed || { echo "FAIL the stand-in signer's run failed:"; cat "$folder.txt"; status=1; }
        sums_follow "$folder" || { echo "FAIL the SHA256SUMS do not follow"; status=1; }
        continue
    fi
    if $signed; then echo "FAIL a signing whose last executable failed went through"; status=1; fi
    for file in "${replaced[@]}"; do
        cmp -s "$folder/$file" "$dist_dir/$file" || { echo "FAIL a failed signing changed $file"; status=1; }
    done
    leftovers=$(cd "$folder" && find . -mindepth 1 ! -path ./pilot ! -name remediate-x86.exe ! -name remediate-x64.exe \
        ! -name remediate-pilot-x86.exe ! -name remediate-pilot-x64.exe ! -name SHA256SUMS ! -name LICENSE)
    [[ -z $leftovers ]] || { echo "FAIL a failed signing left behind: $leftovers"; status=1; }
done
if grep -l "throwaway password" "$work"/record.* >/dev/null 2>&1; then
    echo "FAIL the password reached the signer's environment or command line:"
    grep -l "throwaway password" "$work"/record.*; status=1
fi
grep -q -- "-readpass" "$work"/record.args.* || { echo "FAIL the signer was not given the password file"; status=1; }

if [[ $before != $(cd "$dist_dir" && sha256sum "${replaced[@]}") ]]; then
    echo "FAIL the unsigned executables in $dist_dir changed"; status=1
fi
if ((status == 0)); then echo "1 passed, 0 failed"; else echo "0 passed, 1 failed"; fi
exit $status
