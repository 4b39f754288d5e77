#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package of a build tree and checks it:
#   check_deb.sh BUILD_DIR ARCH TOOL...
# - the control fields: Package, Version, Architecture ARCH, a Depends on
#   libc6 with a version (computed from the binaries, so it has one);
# - the contents: each TOOL in /usr/bin, built for ARCH, and its man page;
#   nothing else but directories.
set -u
dir=$1
arch=$2
shift 2
fail() {
	echo "FAIL: $*"
	exit 1
}
cmake --build "$dir" --target package >"$dir/package.log" 2>&1 || {
	cat "$dir/package.log"
	fail "cpack failed in $dir"
}
deb=$(ls "$dir"/package/serial-tools_*_"$arch".deb 2>/dev/null | head -n 1)
[ -n "$deb" ] || fail "no serial-tools package for $arch in $dir/package"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = serial-tools ] || fail "Package: $(field Package)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[[ "$(field Depends)" =~ ^libc6\ \(\>=\ 2\.[0-9]+\)$ ]] || fail "Depends: $(field Depends)"
[ -n "$(field Version)" ] || fail "no Version"

want=()
for tool in "$@"; do
	want+=("./usr/bin/$tool" "./usr/share/man/man1/$tool.1.gz")
done
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
expected=$(printf '%s\n' "${want[@]}" | sort)
[ "$files" = "$expected" ] || fail "contents differ: got
$files
expected
$expected"

case $arch in
armhf) machine='ARM' ;;
amd64) machine='Advanced Micro Devices X86-64' ;;
*) machine='' ;;
esac
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
for tool in "$@"; do
	got=$(readelf -hW "$unpacked/usr/bin/$tool" | sed -n 's/^ *Machine: *//p')
	[ "$got" = "$machine" ] || fail "$tool is built for '$got', not $arch"
	zcat "$unpacked/usr/share/man/man1/$tool.1.gz" | cmp -s - "$(dirname "$0")/../../man/$tool.1" ||
		fail "$tool.1.gz is not the page in man/"
done
echo "ok $(basename "$deb"): Depends: $(field Depends); $(echo "$files" | tr '\n' ' ')"
