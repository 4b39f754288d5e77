# SPDX-License-Identifier: MIT
# Shared by the scripts: installs what is missing and builds.
# shellcheck shell=bash

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# need_packages PKG...: installs those of the Debian packages not present.
need_packages() {
	local missing=()
	local p
	for p in "$@"; do
		dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
	done
	[ ${#missing[@]} -eq 0 ] && return 0
	echo "installing: ${missing[*]}" >&2
	local sudo=
	[ "$(id -u)" -eq 0 ] || sudo=sudo
	$sudo apt-get update -qq >&2
	DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# Lets apt fetch armhf packages (the board's libc6, for the package's
# computed dependencies; busybox and the kernel for the board test).
add_armhf_arch() {
	dpkg --print-foreign-architectures | grep -qx armhf && return 0
	local sudo=
	[ "$(id -u)" -eq 0 ] || sudo=sudo
	$sudo dpkg --add-architecture armhf
	$sudo apt-get update -qq >&2
}

# The board's library root (Debian 11's armhf glibc) under build/; prints
# its path.
make_sysroot() {
	need_packages dpkg-dev debian-archive-keyring
	"$top/scripts/make-sysroot"
}

# The board build: the two tools and the preload library, for armhf,
# against the board's library root.
build_armhf() {
	add_armhf_arch
	need_packages cmake ninja-build g++-arm-linux-gnueabihf dpkg-dev libc6:armhf
	local sysroot
	sysroot=$(make_sysroot)
	# A build folder configured before the tools were built against the
	# sysroot keeps the toolchain's old flags in its cache: start it anew.
	[ ! -f "$top/build-armhf/CMakeCache.txt" ] ||
		grep -q '^ARMHF_SYSROOT:' "$top/build-armhf/CMakeCache.txt" ||
		rm -rf "$top/build-armhf"
	cmake -S "$top" -B "$top/build-armhf" -G Ninja -DARMHF_SYSROOT="$sysroot" \
		-DCMAKE_TOOLCHAIN_FILE="$top/cmake/armhf-toolchain.cmake" ${WERROR:+-DWERROR=ON} >/dev/null
	cmake --build "$top/build-armhf"
}

# The host build: the tools, the simulators and the tests; with an argument,
# the end-to-end suites also run the board build found there.
build_host() {
	need_packages cmake ninja-build g++ libgtest-dev groff-base man-db dpkg-dev file
	cmake -S "$top" -B "$top/build" -G Ninja ${WERROR:+-DWERROR=ON} -DARMHF_BUILD_DIR="${1:-}" >/dev/null
	cmake --build "$top/build"
}

# debian_mirror: prints the first Debian archive (not the security one)
# named in this machine's apt sources, one-line or deb822 style; fails when
# there is none.
debian_mirror() {
	local mirror
	mirror=$(
		{
			sed -n 's/^[[:space:]]*URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr ' ' '\n'
			sed -n 's/^[[:space:]]*deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\{0,1\}\([^[:space:]]\+\).*/\2/p' \
				/etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
		} | grep -E '/debian/?$' | head -n 1
	) || true
	[ -n "$mirror" ] && echo "$mirror"
}

# clang_runtime_packages: installs clang and prints the names of its versioned
# runtime packages (the sanitizers' and libFuzzer's) for the clang this
# release has, e.g. libclang-rt-14-dev on Debian 12, libclang-rt-19-dev
# on Debian 13.
clang_runtime_packages() {
	need_packages clang
	local major
	major=$(clang -dumpversion | cut -d. -f1)
	echo "libclang-rt-$major-dev libfuzzer-$major-dev"
}
