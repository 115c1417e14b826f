#!/usr/bin/env bash
# Signs the executables in a folder with Authenticode (SHA-256), in place, and
# rewrites its SHA256SUMS. The key comes from one of:
#   PFX            a PKCS#12 file, its password in PFX_PASSWORD;
#   PKCS11_MODULE  a token's PKCS#11 module, with PKCS11_KEY (the key's
#                  pkcs11: URI) and CERT (its certificate), the PIN in
#                  PKCS11_PIN: the key never leaves the token.
# TIMESTAMP_URL, when set, adds an RFC 3161 timestamp. Passwords and PINs are
# read from the environment and reach osslsigncode through a file only this
# user may read, removed afterwards: never on a command line, where any user
# of the machine could read them.
# Usage: tools/sign.sh DIR
set -euo pipefail
dir=$1

usage() {
    echo "sign: $1" >&2
    echo "usage: PFX_PASSWORD=... make sign PFX=certificate.pfx [TIMESTAMP_URL=http://...]" >&2
    echo "   or: PKCS11_PIN=... make sign PKCS11_MODULE=module.so PKCS11_KEY='pkcs11:...' CERT=cert.pem [TIMESTAMP_URL=...]" >&2
    exit 2
}

secret_file=
trap 'if [[ -n $secret_file ]]; then rm -f "$secret_file"; fi' EXIT
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
    write_secret "$PFX_PASSWORD"
    key=(-pkcs12 "$PFX")
elif [[ -n ${PKCS11_MODULE:-} ]]; then
    [[ -f $PKCS11_MODULE ]] || usage "no PKCS#11 module at '$PKCS11_MODULE'"
    [[ ${PKCS11_KEY:-} == pkcs11:* ]] || usage "set PKCS11_KEY to the key's pkcs11: URI (p11tool --list-privkeys --login lists them)"
    [[ -f ${CERT:-} ]] || usage "set CERT to the file of the key's certificate (and its chain), PEM or DER"
    [[ -n ${PKCS11_PIN+set} ]] || usage "set PKCS11_PIN in the environment to the token's PIN"
    write_secret "$PKCS11_PIN"
    key=(-pkcs11module "$PKCS11_MODULE" -key "$PKCS11_KEY" -certs "$CERT")
else
    usage "name the key: PFX, or PKCS11_MODULE with PKCS11_KEY and CERT"
fi
for exe in "$dir"/remediate-x86.exe "$dir"/remediate-x64.exe; do
    [[ -f $exe ]] || usage "$exe is missing: run make (with your START_PAGE_URL) first"
done
timestamp=()
[[ -n ${TIMESTAMP_URL:-} ]] && timestamp=(-ts "$TIMESTAMP_URL")

for exe in "$dir"/remediate-x86.exe "$dir"/remediate-x64.exe; do
    signed="$exe.signed"
    rm -f "$signed"
    if ! said=$(osslsigncode sign "${key[@]}" -readpass "$secret_file" -h sha256 -n "Desktop Remediation" \
        "${timestamp[@]}" -in "$exe" -out "$signed" 2>&1); then
        printf '%s\n' "$said" >&2
        rm -f "$signed"
        echo "sign: osslsigncode could not sign $exe; it is left unsigned" >&2
        exit 1
    fi
    mv "$signed" "$exe"
    echo "signed $exe"
done
(cd "$dir" && sha256sum remediate-x86.exe remediate-x64.exe > SHA256SUMS)
