#!/usr/bin/env bash
# Installs, with apt, whatever the build or the tests need that is missing.
# Usage: tools/install-deps.sh build|check|test|bench|sign|debian13
set -euo pipefail

# The executables are read with Debian's pefile, for Debian's /usr/bin/python3.
build_packages=(
    make cmake python3 python3-pefile
    g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
    binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
)
wine_packages=(wine wine64 wine32:i386 xvfb fonts-wine)
sign_packages=(osslsigncode libengine-pkcs11-openssl)
check_packages=(
    "${build_packages[@]}" "${sign_packages[@]}"
    g++ libgtest-dev libgmock-dev clang-format
    openssl softhsm2 python3-yaml
)
test_packages=("${check_packages[@]}" "${wine_packages[@]}")
bench_packages=("${build_packages[@]}" "${wine_packages[@]}")
debian13_packages=(debootstrap tar util-linux git)

case "${1:-}" in
    build) wanted=("${build_packages[@]}") ;;
    check) wanted=("${check_packages[@]}") ;;
    test) wanted=("${test_packages[@]}") ;;
    bench) wanted=("${bench_packages[@]}") ;;
    sign) wanted=("${sign_packages[@]}") ;;
    debian13) wanted=("${debian13_packages[@]}") ;;
    *) echo "usage: $0 build|check|test|bench|sign|debian13" >&2; exit 2 ;;
esac

installed() {
    [[ $(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null) == installed ]]
}

missing=()
for package in "${wanted[@]}"; do
    installed "$package" || missing+=("$package")
done
# The workflow check takes its validator from the npm registry: Debian's npm,
# unless an npm is there already.
if [[ $1 == check || $1 == test ]] && ! command -v npm >/dev/null; then missing+=(npm); fi
((${#missing[@]} == 0)) && exit 0

if ((EUID == 0)); then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    echo "Setting up needs root (or sudo): missing packages: ${missing[*]}" >&2
    exit 1
fi

if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "Adding the i386 architecture, which 32-bit Wine (wine32) comes from"
    "${as_root[@]}" dpkg --add-architecture i386
fi
echo "Installing: ${missing[*]}"
# A mirror in the middle of a sync fails an index now and then: try again, then
# go on with the lists there are, which the install below checks anyway. (The
# pause is the tests' to shorten, where apt-get is a stand-in that always fails.)
for attempt in 1 2 3; do
    if "${as_root[@]}" apt-get update -q; then break; fi
    if ((attempt == 3)); then
        echo "install-deps: apt-get update failed three times; installing from the package lists there are" >&2
    else
        sleep "${INSTALL_DEPS_RETRY_PAUSE:-15}"
    fi
done
apt_install() {
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@"
}
apt_install "${missing[@]}" && exit 0
# The 32-bit Wine needs the i386 half of every library the machine already has
# from Debian's security archive, at the same version: a mirror whose i386 index
# is out of step cannot supply it. Everything else still goes in, and the 32-bit
# end-to-end suites say they were skipped, and why.
[[ " ${missing[*]} " == *" wine32:i386 "* ]] || exit 1
without_wine32=()
for package in "${missing[@]}"; do
    [[ $package == wine32:i386 ]] || without_wine32+=("$package")
done
echo "install-deps: wine32:i386 could not be installed; installing the rest:" \
    "the 32-bit end-to-end suites will be skipped" >&2
((${#without_wine32[@]} == 0)) || apt_install "${without_wine32[@]}"
