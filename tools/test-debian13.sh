#!/usr/bin/env bash
# Runs the README's `make` and `make test` on a fresh Debian 13 (trixie) root,
# as on a new build machine, from this Debian machine.
#
# The root comes from the Debian archive that this machine's apt uses, made
# with debootstrap (minbase). The run inside it happens in a mount and PID
# namespace of its own: /proc, /sys, /dev and /dev/pts are bound into the root
# there only, so nothing stays mounted once it ends, however it ends, removing
# the root afterwards can never reach this machine's /dev or /proc, and every
# process started in it ends with it. The untouched root is kept as a tarball,
# and the packages installed into it in a folder beside it, so that a second
# run downloads nothing again. Both live in $REMEDIATION_CACHE (default
# /var/cache/desktop-remediation).
#
# What `make` delivered there is copied out to build/debian13/dist, to compare
# with this machine's build.
#
# Usage: tools/test-debian13.sh   (as root: it mounts and chroots)
set -euo pipefail

suite=trixie
project=$(cd "$(dirname "$0")/.." && pwd)
cache=${REMEDIATION_CACHE:-/var/cache/desktop-remediation}
tarball=$cache/debian13-minbase.tar
archives=$cache/debian13-apt-archives

if ((EUID != 0)); then
    echo "$0 needs root: it runs debootstrap, mounts /proc, /sys and /dev into the root, and chroots" >&2
    exit 1
fi

# Inside the namespace (unshare gives it private mounts and its own /proc):
# bind what the root needs, and run make and make test there.
if [[ ${1:-} == --inside ]]; then
    root=$2
    for mount_point in /proc /sys /dev /dev/pts; do
        mount --bind "$mount_point" "$root$mount_point"
    done
    mount --bind "$archives" "$root/var/cache/apt/archives"
    echo "Running make and make test on Debian 13 ($(cat "$root/etc/debian_version"))"
    host_ca=()
    if [[ -f $root/etc/ssl/build-host-ca-certificates.crt ]]; then
        host_ca=(NODE_EXTRA_CA_CERTS=/etc/ssl/build-host-ca-certificates.crt)
    fi
    exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 CI="${CI:-}" "${host_ca[@]}" \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/bash -euo pipefail -c '
            cd /work/project
            # A new machine has no make yet: the one thing the README asks for first.
            apt-get update -q >/dev/null
            DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends make >/dev/null
            make
            make test'
fi

# The archive of Debian itself (not its security archive) that apt here reads.
debian_archive() {
    apt-cache policy | awk '
        /^ *[0-9]+ (https?|file):/ { uri = $2; next }
        /^ *release / && uri != "" && /o=Debian,/ && /l=Debian,/ { print uri; exit }
        { uri = "" }'
}

work=$(mktemp -d /var/tmp/remediation-debian13.XXXXXX)
root=$work/root

# The namespace took its mounts and processes with it. Should anything be
# mounted below the root all the same, the root is left in place, not deleted.
clean_up() {
    local status=$?
    if findmnt -rn -o TARGET | grep -q -F "$root"; then
        echo "Left $work in place: something is still mounted below it:" >&2
        findmnt -rn -o TARGET | grep -F "$root" >&2
        exit 1
    fi
    rm -rf --one-file-system "$work"
    exit "$status"
}
trap clean_up EXIT
trap 'exit 130' INT TERM

"$project/tools/install-deps.sh" debian13
mkdir -p "$cache" "$archives" "$root"
if [[ -f $tarball ]]; then
    echo "Unpacking the Debian 13 root kept in $tarball"
    tar -C "$root" --numeric-owner -xpf "$tarball"
else
    archive=$(debian_archive)
    if [[ -z $archive ]]; then
        apt-get update -q
        archive=$(debian_archive)
    fi
    if [[ -z $archive ]]; then
        echo "Could not tell which Debian archive apt uses here (apt-cache policy names none)" >&2
        exit 1
    fi
    echo "Making a minimal Debian 13 root from $archive"
    debootstrap --variant=minbase "$suite" "$root" "$archive" > "$work/debootstrap.log" ||
        { tail -n 20 "$work/debootstrap.log" >&2; exit 1; }
    tar -C "$root" --numeric-owner -cpf "$tarball.new" . && mv "$tarball.new" "$tarball"
fi

# Reach the archive as apt here does: name resolution, and its Acquire settings
# (proxies, and whether an old snapshot's Release files are taken).
cp /etc/resolv.conf "$root/etc/resolv.conf"
apt-config dump | grep -E '^Acquire::(Check-Valid-Until|Check-Date|Retries|(https?|ftp)::Proxy) ' \
    > "$root/etc/apt/apt.conf.d/90build-host" || true
# And the npm registry as npm here does: through the certificate authorities
# this machine trusts (a TLS-inspecting proxy's among them), which the root's
# own bundle lacks.
if [[ -f /etc/ssl/certs/ca-certificates.crt ]]; then
    mkdir -p "$root/etc/ssl"
    cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/build-host-ca-certificates.crt"
fi

# The working tree as it stands: tracked files and new ones git does not ignore.
mkdir -p "$root/work/project"
(cd "$project" && git ls-files -z --cached --others --exclude-standard |
    tar --null -T - --ignore-failed-read -cf - 2>/dev/null) | tar -C "$root/work/project" -xf -

CI="${CI:-}" unshare --mount --pid --fork --mount-proc "$project/tools/test-debian13.sh" --inside "$root" || status=$?
rm -rf "$project/build/debian13/dist"
if [[ -d $root/work/project/dist ]]; then
    mkdir -p "$project/build/debian13"
    cp -r "$root/work/project/dist" "$project/build/debian13/dist"
fi
if ((${status:-0} != 0)); then
    echo "Debian 13: make or make test failed" >&2
    exit "$status"
fi
echo "Debian 13: make and make test passed; its dist/ is in build/debian13/dist"
