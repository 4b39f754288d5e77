#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks a Debian package that dpkg-buildpackage made:
#   check_deb.sh DEB [LIBC_FLOOR]
# - the control fields: Package, Version, Architecture; for serial-tools a
#   Depends on libc6 alone, with a version (computed from the binaries, so
#   it has one; exactly LIBC_FLOOR when given);
# - the exact contents, directories aside: the programs, their man pages
#   (the very pages in man/), the copyright and changelog, the examples;
#   for serial-tools README.md and the user's part of docs/ (the very
#   files, gzipped where larger than 4 KiB, as dh_compress does); for
#   serial-tools-sim the preload library too;
# - every ELF file built for the package's architecture, and each tool of
#   serial-tools needing libc.so.6 alone and, given LIBC_FLOOR (a board's
#   package), no glibc symbol newer than that and segments aligned to
#   64 KiB (check_binary.sh).
set -u
deb=$1
floor=${2:-}
here=$(cd "$(dirname "$0")" && pwd)
src=$here/../..
fail() {
	echo "FAIL $(basename "$deb"): $*"
	exit 1
}
[ -f "$deb" ] || fail "no such package"

field() { dpkg-deb -f "$deb" "$1"; }
package=$(field Package)
arch=$(field Architecture)
[ "$(field Version)" = "$(dpkg-parsechangelog -l "$src/debian/changelog" -S Version)" ] ||
	fail "Version: $(field Version)"
triplet=$(dpkg-architecture -qDEB_HOST_MULTIARCH -a"$arch" 2>/dev/null)
doc=./usr/share/doc/$package
case $package in
serial-tools)
	programs=(pulvane quorlet)
	extra=()
	for f in "$src"/examples/*; do
		extra+=("$doc/examples/$(basename "$f")")
	done
	docs=(README.md docs/boards-and-uarts.md docs/rs485.md docs/adapters.md docs/sharing-a-port.md)
	for f in "${docs[@]}"; do
		name=$doc/$(basename "$f")
		[ "$(stat -c %s "$src/$f")" -le 4096 ] || name+=.gz
		extra+=("$name")
	done
	if [ -n "$floor" ]; then
		[ "$(field Depends)" = "libc6 (>= $floor)" ] || fail "Depends: $(field Depends), not libc6 (>= $floor)"
	else
		[[ "$(field Depends)" =~ ^libc6\ \(\>=\ 2\.[0-9]+\)$ ]] || fail "Depends: $(field Depends)"
	fi
	;;
serial-tools-sim)
	programs=(at-sim counter-sim)
	docs=()
	extra=("./usr/lib/$triplet/serial-tools-sim/rs485_shim.so")
	[[ "$(field Depends)" =~ libc6\ \(\>=\ 2\.[0-9]+\) ]] || fail "Depends: $(field Depends)"
	;;
*) fail "unknown package $package" ;;
esac

want=("$doc/changelog.gz" "$doc/copyright" "${extra[@]}")
for program in "${programs[@]}"; do
	want+=("./usr/bin/$program" "./usr/share/man/man1/$program.1.gz")
done
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sort)
expected=$(printf '%s\n' "${want[@]}" | sort)
[ "$files" = "$expected" ] || fail "contents differ: got
$files
expected
$expected"

case $arch in
armhf) machine='ARM' ;;
arm64) machine='AArch64' ;;
amd64) machine='Advanced Micro Devices X86-64' ;;
*) machine='' ;;
esac
unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
while IFS= read -r f; do
	got=$(readelf -hW "$unpacked/$f" | sed -n 's/^ *Machine: *//p')
	[ "$got" = "$machine" ] || fail "$f is built for '$got', not $arch"
done < <(cd "$unpacked" && find . -type f -exec sh -c 'case $(head -c 4 "$1") in ?ELF) ;; *) exit 1 ;; esac' sh {} \; -print)
for program in "${programs[@]}"; do
	zcat "$unpacked/usr/share/man/man1/$program.1.gz" | cmp -s - "$src/man/$program.1" ||
		fail "$program.1.gz is not the page in man/"
	if [ "$package" = serial-tools ]; then
		result=$("$here/check_binary.sh" "$unpacked/usr/bin/$program" "$floor" ${floor:+65536}) || fail "$result"
	fi
done
for f in "${docs[@]}"; do
	shipped=$unpacked/usr/share/doc/$package/$(basename "$f")
	[ -f "$shipped" ] || shipped+=.gz
	zcat -f "$shipped" | cmp -s - "$src/$f" || fail "$(basename "$shipped") is not $f"
done
echo "ok $(basename "$deb"): Depends: $(field Depends); $(echo "$files" | wc -l) files"
