#!/usr/bin/env bash
# Prints the third-party notices for executables, from their link maps: every
# archive member and start-up object the linker took from outside the project
# (the mingw-w64 runtime, libstdc++, libgcc) belongs to a Debian package, whose
# copyright file is printed whole, once, naming the packages that share it.
# Usage: tools/third_party_notices.sh LINK_MAP...
set -euo pipefail
(($# > 0)) || { echo "usage: $0 LINK_MAP..." >&2; exit 2; }

# The files the linker took in: archives it included a member of, and the
# objects it loaded directly, both by absolute path.
linked_files() {
    awk '
        /^Archive member included/ { in_members = 1; next }
        /^(Discarded input sections|Memory Configuration)/ { in_members = 0 }
        in_members && match($0, /^\/[^(]+\.a\(/) { print substr($0, 1, RLENGTH - 1) }
        /^LOAD \/.*\.o$/ { print $2 }
    ' "$@" | xargs -r readlink -f | sort -u
}

mapfile -t files < <(linked_files "$@")
((${#files[@]} > 0)) || { echo "$0: no library in the link maps $*" >&2; exit 1; }
mapfile -t packages < <(dpkg-query -S "${files[@]}" | cut -d: -f1 | tr -s ", " "\\n" | sort -u)

cat <<'HEAD'
Third-party notices

The executables remediate-x86.exe and remediate-x64.exe, and the pilot kit
beside them, contain parts of the following Debian packages, linked in
statically. Each package's copyright file follows as Debian ships it; where
several packages ship the same file, it is given once, under all their names.
HEAD
declare -A names_of file_of
for package in "${packages[@]}"; do
    copyright=/usr/share/doc/$package/copyright
    [[ -f $copyright ]] || { echo "$0: $package has no copyright file at $copyright" >&2; exit 1; }
    sum=$(sha256sum < "$copyright" | cut -d' ' -f1)
    names_of[$sum]="${names_of[$sum]:-}${names_of[$sum]:+, }$package $(dpkg-query -W -f='${Version}' "$package")"
    file_of[$sum]=$copyright
done
for sum in $(printf '%s\n' "${!names_of[@]}" | sort); do
    printf '\n%s\n%s\n\n' "================================================================================" \
        "${names_of[$sum]}"
    cat "${file_of[$sum]}"
done
