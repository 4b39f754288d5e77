# SPDX-License-Identifier: MIT
# Shared by the scripts: installs what is missing and builds.
# shellcheck shell=bash

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# The exit status of a run that was skipped, neither passed nor failed
# (automake's convention), for every script that can skip: the board test
# for a boot this machine cannot run, test-on-debian for a release whose
# root cannot be made.
# shellcheck disable=SC2034 # read by the scripts that source this
skip_status=77

# as_root COMMAND...: runs it as root, through sudo when not root already.
as_root() {
	if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# need_packages PKG...: installs those of the Debian packages not present.
need_packages() {
	local missing=()
	local p
	for p in "$@"; do
		case $(dpkg-query -W -f='${Status}' "$p" 2>/dev/null) in
		*'install ok installed'*) ;;
		*) missing+=("$p") ;;
		esac
	done
	[ ${#missing[@]} -eq 0 ] && return 0
	echo "installing: ${missing[*]}" >&2
	as_root "$top/scripts/apt-update"
	DEBIAN_FRONTEND=noninteractive as_root apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# add_arch ARCH: lets apt fetch packages of that board architecture
# (armhf or arm64: the board's libc6, for the package's computed
# dependencies; busybox and the kernel for the board test).
add_arch() {
	grep -qx -- "$1" <<<"$(dpkg --print-foreign-architectures)" && return 0
	as_root dpkg --add-architecture "$1"
	as_root "$top/scripts/apt-update"
}

# make_sysroot [ARCH]: the board's library root (Debian 11's glibc for
# armhf, the default, or arm64) under build/; prints its path.
make_sysroot() {
	need_packages dpkg-dev debian-archive-keyring
	"$top/scripts/make-sysroot" "${1:-armhf}"
}

# board_triplet ARCH: the GNU triplet of Debian's cross toolchain for it.
board_triplet() {
	case $1 in
	armhf) echo arm-linux-gnueabihf ;;
	arm64) echo aarch64-linux-gnu ;;
	*) return 1 ;;
	esac
}

# build_board ARCH: the board build, the two tools and the preload library,
# for armhf or arm64, in build-ARCH, against that board's library root.
build_board() {
	local arch=$1 sysroot var dir=$top/build-$1
	add_arch "$arch"
	need_packages cmake ninja-build "g++-$(board_triplet "$arch")" dpkg-dev "libc6:$arch"
	sysroot=$(make_sysroot "$arch")
	var=${arch^^}_SYSROOT
	# A build folder configured before the tools were built against the
	# sysroot keeps the toolchain's old flags in its cache: start it anew.
	[ ! -f "$dir/CMakeCache.txt" ] || grep -q "^$var:" "$dir/CMakeCache.txt" || rm -rf "$dir"
	cmake -S "$top" -B "$dir" -G Ninja -D"$var=$sysroot" \
		-DCMAKE_TOOLCHAIN_FILE="$top/cmake/$arch-toolchain.cmake" ${WERROR:+-DWERROR=ON} >/dev/null
	cmake --build "$dir"
}

# The board builds, 32-bit and 64-bit.
build_armhf() { build_board armhf; }
build_arm64() { build_board arm64; }

# The host build: the tools, the simulators and the tests; with arguments,
# the end-to-end suites also run the armhf and arm64 board builds found
# there (build_host ARMHF_DIR [ARM64_DIR]).
build_host() {
	# socat: the pty bridge of the network suite; systemd: systemd-analyze,
	# which checks the example bridge's unit.
	need_packages cmake ninja-build g++ libgtest-dev groff-base man-db dpkg-dev file socat systemd
	cmake -S "$top" -B "$top/build" -G Ninja ${WERROR:+-DWERROR=ON} \
		-DARMHF_BUILD_DIR="${1:-}" -DARM64_BUILD_DIR="${2:-}" >/dev/null
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
		} | grep -E '/debian/?$' | sed -n 1p
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
