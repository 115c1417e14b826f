#!/usr/bin/env bash
# Installs, with apt, whatever the build or the tests need that is missing.
# Usage: tools/install-deps.sh build|test|bench|sign|debian13
set -euo pipefail

build_packages=(
    make cmake python3
    g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
    binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
)
wine_packages=(wine wine64 wine32:i386 xvfb fonts-wine)
test_packages=(
    "${build_packages[@]}" "${wine_packages[@]}"
    g++ libgtest-dev libgmock-dev clang-format
    osslsigncode openssl
)
bench_packages=("${build_packages[@]}" "${wine_packages[@]}")
sign_packages=(osslsigncode)
debian13_packages=(debootstrap tar util-linux git)

case "${1:-}" in
    build) wanted=("${build_packages[@]}") ;;
    test) wanted=("${test_packages[@]}") ;;
    bench) wanted=("${bench_packages[@]}") ;;
    sign) wanted=("${sign_packages[@]}") ;;
    debian13) wanted=("${debian13_packages[@]}") ;;
    *) echo "usage: $0 build|test|bench|sign|debian13" >&2; exit 2 ;;
esac

installed() {
    [[ $(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null) == installed ]]
}

# Debian's Wine 8 looks for its own fonts in /usr/share/fonts itself (not in
# its folders) and through fontconfig, while fonts-wine puts them in
# /usr/share/wine/fonts, where neither looks. Without Marlett every title bar
# shows the letter "r" where its close button belongs; fontconfig reads the
# administrator's folder /usr/local/share/fonts, so a link there is enough.
wine_fonts=/usr/share/wine/fonts
wine_fonts_link=/usr/local/share/fonts/wine

missing=()
for package in "${wanted[@]}"; do
    installed "$package" || missing+=("$package")
done
fonts_hidden=false
if [[ " ${wanted[*]} " == *" fonts-wine "* && ! -e $wine_fonts_link ]]; then
    fonts_hidden=true
fi
((${#missing[@]} == 0)) && ! $fonts_hidden && exit 0

if ((EUID == 0)); then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    echo "Setting up needs root (or sudo): missing packages: ${missing[*]:-none}; Wine's fonts linked: $($fonts_hidden && echo no || echo yes)" >&2
    exit 1
fi

if ((${#missing[@]} > 0)); then
    if [[ " ${missing[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        echo "Adding the i386 architecture, which 32-bit Wine (wine32) comes from"
        "${as_root[@]}" dpkg --add-architecture i386
    fi
    echo "Installing: ${missing[*]}"
    "${as_root[@]}" apt-get update -q
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
if $fonts_hidden; then
    echo "Linking $wine_fonts_link to $wine_fonts, so that Wine finds its own fonts"
    "${as_root[@]}" mkdir -p "$(dirname "$wine_fonts_link")"
    "${as_root[@]}" ln -sfn "$wine_fonts" "$wine_fonts_link"
fi
