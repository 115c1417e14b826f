#!/usr/bin/env bash
# Signs the executables in a folder with Authenticode, in place, and rewrites
# its SHA256SUMS. The password comes from PFX_PASSWORD, never the command line.
# Usage: tools/sign.sh DIR PFX [TIMESTAMP_URL]
set -euo pipefail
dir=$1 pfx=$2 timestamp_url=${3:-}
if [[ ! -f $pfx ]]; then
    echo "sign: no certificate file at '$pfx' (make sign PFX=path/to/certificate.pfx)" >&2
    exit 2
fi
if [[ -z ${PFX_PASSWORD+set} ]]; then
    echo "sign: set PFX_PASSWORD in the environment to the certificate's password (empty for none)" >&2
    exit 2
fi
timestamp=()
[[ -n $timestamp_url ]] && timestamp=(-ts "$timestamp_url")

for exe in "$dir"/remediate-x86.exe "$dir"/remediate-x64.exe; do
    signed="$exe.signed"
    rm -f "$signed"
    osslsigncode sign -pkcs12 "$pfx" -readpass <(printf '%s' "$PFX_PASSWORD") -h sha256 \
        -n "Desktop Remediation" "${timestamp[@]}" -in "$exe" -out "$signed" >/dev/null
    mv "$signed" "$exe"
    echo "signed $exe"
done
(cd "$dir" && sha256sum remediate-x86.exe remediate-x64.exe > SHA256SUMS)
