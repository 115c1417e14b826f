#!/usr/bin/env bash
# Signs the executables in a folder, and the pilot kits in its pilot/, with
# Authenticode (SHA-256) and rewrites both SHA256SUMS: all four or none, since
# a desktop that runs only signed programs must run the kit that pilots the
# program. The key comes from one of:
#   PFX            a PKCS#12 file, its password in PFX_PASSWORD (empty for none);
#   PKCS11_MODULE  a token's PKCS#11 module, with PKCS11_KEY (the key's
#                  pkcs11: URI) and CERT (its certificate), the PIN in
#                  PKCS11_PIN: the key never leaves the token.
# TIMESTAMP_URL, when set, adds an RFC 3161 timestamp. The password or PIN is
# read from the environment into a file only this user may read, removed
# afterwards, and taken out of the environment before anything is started:
# it reaches osslsigncode through that file alone, never through a command
# line, where any user of the machine could read it, nor through the
# environment of the build, the package set-up or the signer.
# Every executable is signed to the side first; only when all are signed do
# they and the sums replace the unsigned build, which any failure leaves
# exactly as it was.
# Usage: tools/sign.sh [--build] DIR   (--build: run tools/build.sh first, as `make sign` does)
set -euo pipefail
build=false
if [[ ${1:-} == --build ]]; then
    build=true
    shift
fi
dir=${1:?usage: tools/sign.sh [--build] DIR}
tools=$(cd "$(dirname "$0")" && pwd)
programs=(remediate-x86.exe remediate-x64.exe)
kits=(pilot/remediate-pilot-x86.exe pilot/remediate-pilot-x64.exe)
executables=("${programs[@]}" "${kits[@]}")
# Everything signing replaces, as paths below the folder.
replaced=("${executables[@]}" SHA256SUMS pilot/SHA256SUMS)

usage() {
    echo "sign: $1" >&2
    echo "usage: PFX_PASSWORD=... make sign PFX=certificate.pfx [TIMESTAMP_URL=http://...]" >&2
    echo "   or: PKCS11_PIN=... make sign PKCS11_MODULE=module.so PKCS11_KEY='pkcs11:...' CERT=cert.pem [TIMESTAMP_URL=...]" >&2
    exit 2
}

secret_file=
side=
backup=
replacing=false
clean_up() {
    local status=$?
    if $replacing; then
        # Interrupted between the renames: the unsigned build goes back whole.
        for file in "${replaced[@]}"; do cp -p "$backup/$file" "$dir/$file"; done
        echo "sign: interrupted while replacing the executables; the unsigned build is back in $dir" >&2
    fi
    if [[ -n $secret_file ]]; then rm -f "$secret_file"; fi
    if [[ -n $side ]]; then rm -rf "$side"; fi
    return "$status"
}
trap clean_up EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
# A file that only this user may read, holding the secret.
write_secret() {
    secret_file=$(umask 077 && mktemp)
    printf '%s' "$1" > "$secret_file"
}

if [[ -n ${PFX:-} && -n ${PKCS11_MODULE:-} ]]; then
    usage "give either PFX or PKCS11_MODULE, not both"
elif [[ -n ${PFX:-} ]]; then
    [[ -f $PFX ]] || usage "no certificate file at '$PFX'"
    [[ -n ${PFX_PASSWORD+set} ]] || usage "set PFX_PASSWORD in the environment to the certificate's password (empty for none)"
    if [[ -n $PFX_PASSWORD ]]; then write_secret "$PFX_PASSWORD"; fi
    key=(-pkcs12 "$PFX")
elif [[ -n ${PKCS11_MODULE:-} ]]; then
    [[ -f $PKCS11_MODULE ]] || usage "no PKCS#11 module at '$PKCS11_MODULE'"
    [[ ${PKCS11_KEY:-} == pkcs11:* ]] || usage "set PKCS11_KEY to the key's pkcs11: URI (p11tool --list-privkeys --login lists them)"
    [[ -f ${CERT:-} ]] || usage "set CERT to the file of the key's certificate (and its chain), PEM or DER"
    # Without a PIN the token would ask for one on the terminal, and wait there.
    [[ -n ${PKCS11_PIN:-} ]] || usage "set PKCS11_PIN in the environment to the token's PIN"
    write_secret "$PKCS11_PIN"
    key=(-pkcs11module "$PKCS11_MODULE" -key "$PKCS11_KEY" -certs "$CERT")
else
    usage "name the key: PFX, or PKCS11_MODULE with PKCS11_KEY and CERT"
fi
unset PFX_PASSWORD PKCS11_PIN
readpass=()
if [[ -n $secret_file ]]; then readpass=(-readpass "$secret_file"); fi

if $build; then
    "$tools/install-deps.sh" sign
    "$tools/build.sh"
fi
for file in "${replaced[@]}"; do
    [[ -f $dir/$file ]] || usage "$dir/$file is missing: run make (with your START_PAGE_URL) first"
done
timestamp=()
[[ -n ${TIMESTAMP_URL:-} ]] && timestamp=(-ts "$TIMESTAMP_URL")

side=$(mktemp -d "$dir/.signing.XXXXXX")
mkdir "$side/pilot"
for exe in "${executables[@]}"; do
    if ! said=$(osslsigncode sign "${key[@]}" "${readpass[@]}" -h sha256 -n "Desktop Remediation" \
        "${timestamp[@]}" -in "$dir/$exe" -out "$side/$exe" 2>&1); then
        printf '%s\n' "$said" >&2
        echo "sign: osslsigncode could not sign $dir/$exe; nothing was signed, $dir is as it was" >&2
        exit 1
    fi
done
# The licence is not signed, but its sum goes with the programs'.
(cd "$side" && sha256sum "${programs[@]}") > "$side/SHA256SUMS"
(cd "$dir" && sha256sum LICENSE) >> "$side/SHA256SUMS"
(cd "$side/pilot" && sha256sum "${kits[@]#pilot/}" > SHA256SUMS)

backup=$side/unsigned
mkdir -p "$backup/pilot"
for file in "${replaced[@]}"; do cp -p "$dir/$file" "$backup/$file"; done
replacing=true
for file in "${replaced[@]}"; do mv "$side/$file" "$dir/$file"; done
replacing=false
for exe in "${executables[@]}"; do echo "signed $dir/$exe"; done
