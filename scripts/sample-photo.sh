#!/usr/bin/env bash
# Puts a real photograph, taken from a Debian package, at $1 (PNG). The
# package is only downloaded, not installed: the one picture is unpacked
# from it. Exits non-zero when the package cannot be had.
set -euo pipefail
out="$(realpath -m "$1")"
[[ -s "$out" ]] && exit 0
package=python3-skimage
picture=motorcycle_left.png
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cd "$tmp"
if ! apt-get download "$package" >/dev/null 2>&1; then
    sudo=""
    [[ $(id -u) -ne 0 ]] && sudo="sudo"
    $sudo apt-get update -q >/dev/null 2>&1 || true
    apt-get download "$package" >/dev/null 2>&1 || exit 1
fi
dpkg-deb --fsys-tarfile "$package"_*.deb | tar -x --wildcards "*/skimage/data/$picture"
mkdir -p "$(dirname "$out")"
cp "$(find . -name "$picture" | head -n 1)" "$out"
