#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks a delivered tool binary, whatever its architecture:
# - it is dynamically linked with a program interpreter (the loader),
# - libc.so.6 is its only NEEDED entry (no libstdc++, libgcc_s or libm),
#   but for glibc's loader when it provides the stack-protector canary,
# - it imports nothing for the heap, iostreams, exceptions or the C++
#   runtime;
# - with a second argument such as 2.28, no symbol it imports needs a
#   glibc newer than that (the oldest board userland it must start on);
# - with a third argument such as 65536, every loadable segment is aligned
#   to that many bytes at least, so that a kernel with pages that large
#   can map it.
# readelf reads ELF files of any architecture, so one check serves the
# host and the board builds.
set -u
bin=$1
glibc_floor=${2:-}
min_align=${3:-}
fail() {
	echo "FAIL $bin: $*"
	exit 1
}
[ -f "$bin" ] || fail "no such file"


needed=$(readelf -dW "$bin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
# On armhf, Debian's -fstack-protector-strong reads the canary from
# __stack_chk_guard, which glibc's loader exports: the loader, which every
# program has anyway as its interpreter, may be needed for that alone.
loader=$(readelf -lW "$bin" | sed -n 's/.*Requesting program interpreter: \(.*\)\]/\1/p')
[ -n "$loader" ] || fail "no program interpreter"
loader=${loader##*/}
if [ "$needed" = "libc.so.6 $loader " ]; then
	loader_versions=" $(readelf -VW "$bin" | awk -v f="$loader" '/File:/ { mine = ($5 == f) } mine && /Name:/ { print $NF }' | tr '\n' ' ')"
	from_loader=$(readelf --dyn-syms -W "$bin" | awk -v v="$loader_versions" '
		$7 == "UND" && $9 ~ /^\([0-9]+\)$/ { n = $9; gsub(/[()]/, "", n); if (index(v, " " n " ")) { sub(/@.*/, "", $8); print $8 } }')
	[ "$from_loader" = __stack_chk_guard ] || fail "imports from $loader: $(echo "$from_loader" | tr '\n' ' ')"
elif [ "$needed" != "libc.so.6 " ]; then
	fail "NEEDED entries are: $needed"
fi

# __cxa_finalize is glibc's, weakly referenced by the C start-up files of
# every position-independent program; it is not the C++ runtime.
imports=$(readelf --dyn-syms -W "$bin" | awk '$7 == "UND" && $8 != "" { sub(/@.*/, "", $8); print $8 }')
bad=$(printf '%s\n' "$imports" |
	grep -E '^(malloc|calloc|realloc|reallocarray|free|aligned_alloc|posix_memalign|memalign|valloc|strdup|strndup|_Zn[wa]|_Zd[la]|__cxa_|_ZNS|_ZSt|_ZTI|_ZTV|__gxx_personality|_Unwind_|__aeabi_unwind)' |
	grep -v -x '__cxa_finalize')
[ -z "$bad" ] || fail "imports $(printf '%s\n' "$bad" | tr '\n' ' ')"

versions=$(readelf --dyn-syms -W "$bin" | grep -o 'GLIBC_[0-9.]*' | sed 's/GLIBC_//' | sort -u -V)
if [ -n "$glibc_floor" ]; then
	newest=$(printf '%s\n%s\n' "$versions" "$glibc_floor" | sort -V | tail -n 1)
	[ "$newest" = "$glibc_floor" ] || fail "imports symbols of GLIBC_$newest, newer than $glibc_floor"
fi

aligns=$(readelf -lW "$bin" | awk '$1 == "LOAD" { print $NF }' | sort -u | tr '\n' ' ')
if [ -n "$min_align" ]; then
	for a in $aligns; do
		[ $((a)) -ge "$min_align" ] || fail "a LOAD segment is aligned to $a, less than $min_align: a kernel with larger pages cannot map it"
	done
fi

echo "ok $bin: segments aligned to $aligns; NEEDED $needed; $(printf '%s\n' "$imports" | grep -c .) imports, none for heap, iostream or exceptions; glibc versions $(printf '%s\n' "$versions" | tr '\n' ' ')"
