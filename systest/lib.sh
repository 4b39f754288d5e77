# SPDX-License-Identifier: MIT
# Helpers of systest/run: what the host needs, the board's kernel and root
# file system, and waiting on the board. systest/run has sourced
# scripts/lib.sh (need_packages, add_arch, as_root) and boards.sh.
# shellcheck shell=bash
# The settings (top, here, cache, work, sock, console, the program paths,
# the limits) are systest/run's.
# shellcheck disable=SC2154

# give_up MESSAGE: the test cannot run at all; counts as one failure.
give_up() {
	echo "systest: $*" >&2
	[ -n "${console:-}" ] && [ -s "$console" ] && show_console
	echo "0 passed, 1 failed"
	exit 1
}

apt_failed() {
	give_up "$1: $(tail -3 "$work/apt.log")"
}

# The userland's GNU triplet (cross compiler and binutils), its loader and
# its ELF machine as readelf names it.
case $userland in
armhf) triplet=arm-linux-gnueabihf loader=ld-linux-armhf.so.3 elf_machine=ARM ;;
arm64) triplet=aarch64-linux-gnu loader=ld-linux-aarch64.so.1 elf_machine=AArch64 ;;
*) give_up "unknown userland $userland" ;;
esac

# The host's side: the emulator, cpio, the cross compiler for the probe
# (with its binutils, which read the tools) and dtc's fdtput for the
# boards' device trees.
provide_host_packages() {
	mkdir -p "$cache"
	need_packages qemu-system-arm cpio "gcc-$triplet" "libc6-dev-$userland-cross" device-tree-compiler xz-utils \
		${link:+"g++-$triplet"} "${host_packages[@]}"
}

# fetch_deb ARCH kernel|busybox-static VAR: sets VAR to the path of the
# cached .deb of that Debian architecture, downloading it first when the
# cache has none. The kernel is the one that Debian's linux-image-FLAVOUR
# points at, FLAVOUR and the archive as the kernel table has them (the
# release's: 6.1 on Debian 12, 6.12 on Debian 13, 7.x on Debian 14, where
# linux-image-V holds nothing but depends on the kernel's parts,
# kernel_parts, which come along; Debian 11's through make-sysroot's apt,
# kept in a folder of its own). The download goes to a folder of its own
# and is then renamed into the cache, the kernel package last, so that runs
# started together never see each other's partial files.
fetch_deb() {
	local arch=$1 what=$2 var=$3 flavour=-  pattern dir=$cache apt=() name dl parts=() part
	if [ "$what" = kernel ]; then
		flavour=$(kernel_field "$kernel_series" "$([ "$arch" = armhf ] && echo 3 || echo 4)")
		[ "$(kernel_field "$kernel_series" 2)" != bullseye ] || dir=$cache/bullseye apt=("$top/scripts/make-sysroot" --apt "$arch")
		pattern="linux-image-[0-9]*-${flavour}_*_$arch.deb"
	else
		pattern="${what}_*_$arch.deb"
	fi
	mkdir -p "$dir"
	# shellcheck disable=SC2012,SC2086
	name=$(cd "$dir" && { ls -1 $pattern 2>/dev/null || true; } | sort -V | tail -1)
	if [ -n "$name" ]; then
		printf -v "$var" '%s' "$dir/$name"
		return 0
	fi
	[ ${#apt[@]} -gt 0 ] || add_arch "$arch"
	if [ "$flavour" != - ] && ! "${apt[@]}" apt-cache show "linux-image-$flavour:$arch" >/dev/null 2>&1; then
		[ ${#apt[@]} -gt 0 ] || as_root "$top/scripts/apt-update"
		"${apt[@]}" apt-cache show "linux-image-$flavour:$arch" >/dev/null 2>&1 ||
			[ "$(kernel_field "$kernel_series" 2)" != release-if-any ] ||
			skip "board $board${boot:+, boot $boot}: this release has no linux-image-$flavour:$arch (kernel $kernel_series)"
	fi
	name=$what
	if [ "$what" = kernel ]; then
		name=$("${apt[@]}" apt-cache depends "linux-image-$flavour:$arch" 2>/dev/null |
			sed -n "s/^ *Depends: \(linux-image-[0-9][^ :]*-$flavour\)\(:$arch\)\{0,1\}$/\1/p" | sed -n 1p)
		[ -n "$name" ] || give_up "apt offers no linux-image-*-$flavour:$arch (linux-image-$flavour:$arch names none)"
		mapfile -t parts < <("${apt[@]}" apt-cache depends "$name:$arch" 2>/dev/null |
			sed -n "s/^ *Depends: \(linux-\(binary\|base\|modules\)-[0-9][^ :]*-$flavour\)\(:$arch\)\{0,1\}$/\1:$arch/p")
	fi
	echo "systest: downloading $name:$arch${parts[*]:+ ${parts[*]}}${apt[*]:+ from Debian 11}" >&2
	dl=$(mktemp -d "$dir/download.XXXXXX")
	if ! (cd "$dl" && "${apt[@]}" apt-get -o APT::Sandbox::User=root download "$name:$arch" "${parts[@]}" >"$work/apt.log" 2>&1); then
		rm -rf "$dl"
		apt_failed "cannot download $name:$arch${parts[*]:+ ${parts[*]}}"
	fi
	for part in "$dl"/linux-binary-* "$dl"/linux-base-* "$dl"/linux-modules-*; do
		[ ! -f "$part" ] || mv "$part" "$dir/"
	done
	# shellcheck disable=SC2012,SC2086
	name=$(cd "$dl" && { ls -1 $pattern 2>/dev/null || true; } | sort -V | tail -1)
	[ -n "$name" ] && mv "$dl/$name" "$dir/$name"
	rm -rf "$dl"
	[ -n "$name" ] || give_up "the download of $what:$arch left no $pattern"
	printf -v "$var" '%s' "$dir/$name"
}

# kernel_parts DEB: DEB, and where it is a linux-image-V that only depends
# on the kernel's parts (Debian 14), those beside it in the cache:
# linux-binary-V has the image, linux-base-V the device trees,
# linux-modules-V the modules.
kernel_parts() {
	local part
	echo "$1"
	case $1 in */linux-image-*) ;; *) return 0 ;; esac
	for part in binary base modules; do
		[ ! -f "${1/\/linux-image-//linux-$part-}" ] || echo "${1/\/linux-image-//linux-$part-}"
	done
}

# from_deb DEB OUT PATTERN...: one file out of a package (or its kernel
# parts), the first that one of the PATTERNs names, kept beside it.
# deb_has is the same, false where the package has no such file.
from_deb() {
	deb_has "$@" || give_up "no ${*:3} in $1"
}
deb_has() {
	local deb=$1 out=$2 kept part pattern
	shift 2
	kept=$cache/$(basename "$deb" .deb).$(basename "$out")
	if [ ! -s "$kept" ]; then
		for part in $(kernel_parts "$deb"); do
			for pattern in "$@"; do
				dpkg-deb --fsys-tarfile "$part" | tar -xO --wildcards "$pattern" >"$kept.part.$$" 2>/dev/null || true
				[ ! -s "$kept.part.$$" ] || break 2
			done
		done
		[ -s "$kept.part.$$" ] || { rm -f "$kept.part.$$"; return 1; }
		mv "$kept.part.$$" "$kept"
	fi
	cp "$kept" "$out"
}

# board_dtb KERNEL_DEB OUT: the board's device tree from the kernel package,
# with the nodes in dtb_enable switched on, those in dtb_disable off and
# those in dtb_remove deleted, the properties in dtb_delete_props deleted
# where the tree has them, and those in dtb_set_props set, empty; a node
# it lacks is an error.
board_dtb() {
	local node entry props prop have
	from_deb "$1" "$2" "./usr/lib/linux-image-*/$dtb" "./usr/lib/modules/*/dtb/$dtb"
	for node in "${dtb_enable[@]}"; do
		fdtput -t s "$2" "$node" status okay || give_up "cannot switch on $node in $dtb"
	done
	for node in "${dtb_disable[@]}"; do
		fdtput -t s "$2" "$node" status disabled || give_up "cannot switch off $node in $dtb"
	done
	for node in "${dtb_remove[@]}"; do
		fdtput -r "$2" "$node" || give_up "cannot remove $node from $dtb"
	done
	for entry in "${dtb_delete_props[@]}"; do
		read -r node props <<<"$entry"
		have=$(fdtget -p "$2" "$node") || give_up "no $node in $dtb"
		for prop in $props; do
			grep -qx -- "$prop" <<<"$have" || continue
			fdtput -d "$2" "$node" "$prop" || give_up "cannot delete $prop of $node in $dtb"
		done
	done
	for entry in "${dtb_set_props[@]}"; do
		read -r node props <<<"$entry"
		for prop in $props; do
			fdtput "$2" "$node" "$prop" || give_up "cannot set $prop of $node in $dtb"
		done
	done
}

# check_tools: the tools are built for the board's userland, whose loader
# alone the guest has; anything else is a mistake in the build folders
# given, not a result.
check_tools() {
	local f got files=("$pulvane")
	[ "$at_phase" = 0 ] || files+=("$quorlet")
	for f in "${files[@]}"; do
		got=$("$triplet-readelf" -h "$f" 2>/dev/null | sed -n 's/^ *Machine: *//p')
		[ "$got" = "$elf_machine" ] ||
			give_up "$f is for ${got:-no machine readelf knows}, but board $board${boot:+, boot $boot} runs the $userland userland"
	done
}

# library_root: sets lib_dirs to the folders the guest's loader and
# libraries are taken from, as the board's lib_root says.
library_root() {
	local sysroot
	case $lib_root in
	cross) lib_dirs=("/usr/$triplet/lib") ;;
	bullseye)
		[ -x "$top/scripts/make-sysroot" ] || give_up "no scripts/make-sysroot for the bullseye userland"
		sysroot=$("$top/scripts/make-sysroot" "$userland") || give_up "scripts/make-sysroot $userland failed"
		lib_dirs=("$sysroot/lib/$triplet" "$sysroot/usr/lib/$triplet" "$sysroot/lib")
		;;
	*) give_up "unknown library root $lib_root" ;;
	esac
}

# find_library NAME: the first of lib_dirs that holds NAME.
find_library() {
	local dir
	for dir in "${lib_dirs[@]}"; do
		[ -e "$dir/$1" ] && { echo "$dir/$1"; return 0; }
	done
	return 1
}

# copy_libraries ROOT: the loader and every library the programs in ROOT/bin
# need, from lib_dirs.
copy_libraries() {
	local root=$1 f lib from todo=() done_libs=" "
	for f in "$root"/bin/*; do
		[ -L "$f" ] && continue
		grep -q 'INTERP' <<<"$("$triplet-readelf" -l "$f" 2>/dev/null)" || continue
		todo+=("$f")
	done
	from=$(find_library "$loader") || give_up "no $loader in ${lib_dirs[*]}"
	cp -L "$from" "$root/lib/"
	while [ ${#todo[@]} -gt 0 ]; do
		f=${todo[0]}
		todo=("${todo[@]:1}")
		for lib in $("$triplet-readelf" -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
			case $done_libs in *" $lib "*) continue ;; esac
			from=$(find_library "$lib") || give_up "$f needs $lib, which ${lib_dirs[*]} lack"
			cp -L "$from" "$root/lib/"
			done_libs+="$lib "
			todo+=("$root/lib/$lib")
		done
	done
}

# copy_modules ROOT KERNEL_DEB: the board's modules and those they depend on
# (their modinfo's depends=) into ROOT/lib/modules, uncompressed, and their
# names in load order, each after what it needs, into ROOT/cases/modules.
# A module the kernel has built in (modules.builtin) is left out.
copy_modules() {
	local root=$1 module
	: >"$root/cases/modules"
	[ ${#modules[@]} -gt 0 ] || return 0
	mkdir -p "$root/lib/modules"
	for module in "${modules[@]}"; do
		copy_module "$root" "$2" "$module"
	done
}
copy_module() {
	local root=$1 module=$3 ko=$1/lib/modules/$3.ko need
	[ ! -e "$ko" ] || return 0
	if ! deb_has "$2" "$ko.packed" "./*/$module.ko*"; then
		from_deb "$2" "$work/modules.builtin" "./*/modules.builtin"
		grep -q "/${module//[-_]/[-_]}\.ko\$" "$work/modules.builtin" || give_up "no module $module in $2"
		return 0
	fi
	case $(od -An -tx1 -N4 "$ko.packed" | tr -d ' ') in
	fd377a58) xz -dc ;;
	28b52ffd) zstd -dcq ;;
	*) cat ;;
	esac <"$ko.packed" >"$ko" || give_up "cannot unpack $module"
	rm "$ko.packed"
	for need in $(tr '\0' '\n' <"$ko" | sed -n 's/^depends=//p' | tr ',' ' '); do
		copy_module "$root" "$2" "$need"
	done
	echo "$module" >>"$root/cases/modules"
}

# link_programs ROOT: what a link board's guest serves the far end with:
# the simulators and the RFCOMM listener, built for the board (static, so
# that they need no C++ library there) and kept in the cache by their
# sources' hash, the board's link file as ROOT/cases/link, and its
# programs from Debian packages.
link_programs() {
	local root=$1 entry package path deb built
	built=$cache/link-programs-$triplet-$(cat "$top"/sim/*.[ch]pp "$here/rfcomm_serve.c" | sha256sum | cut -c 1-16)
	if [ ! -d "$built" ]; then
		mkdir -p "$built.$$"
		"$triplet-gcc" -static -O2 -Wall -Wextra -o "$built.$$/rfcomm_serve" "$here/rfcomm_serve.c" ||
			give_up "cannot build rfcomm_serve"
		"$triplet-g++" -std=c++20 -static -O2 -I"$top" -o "$built.$$/counter-sim" "$top"/sim/counter_{sim,module,serve}.cpp \
			"$top"/sim/{device_line,line_choice}.cpp || give_up "cannot build counter-sim for the board"
		"$triplet-g++" -std=c++20 -static -O2 -I"$top" -o "$built.$$/at-sim" "$top"/sim/at_{sim,device,serve}.cpp \
			"$top"/sim/{device_line,line_choice}.cpp || give_up "cannot build at-sim for the board"
		# Runs started together may both build: the first one's stays.
		mv -T "$built.$$" "$built" 2>/dev/null || rm -rf "$built.$$"
	fi
	cp "$built"/* "$root/bin/"
	cp "$here/$link" "$root/cases/link"
	for entry in "${guest_debs[@]}"; do
		read -r package path <<<"$entry"
		deb=''
		fetch_deb "$userland" "$package" deb
		from_deb "$deb" "$root/bin/${path##*/}" "$path"
		chmod 755 "$root/bin/${path##*/}"
	done
}

# build_initramfs ROOT CPIO KERNEL_DEB BUSYBOX_DEB: the kernel goes to
# $work/vmlinuz, the root file system into the newc archive CPIO.
build_initramfs() {
	local root=$1 cpio=$2
	from_deb "$3" "$work/vmlinuz" './boot/vmlinuz-*' './usr/lib/modules/*/vmlinuz'
	mkdir -p "$root/bin" "$root/lib" "$root/cases"
	# Debian 12's package has it in /bin, Debian 13's in /usr/bin.
	from_deb "$4" "$root/bin/busybox" './*bin/busybox'
	chmod 755 "$root/bin/busybox"
	cp "$pulvane" "$root/bin/pulvane"
	cp "$here/together" "$root/bin/together"
	[ "$at_phase" = 1 ] && cp "$quorlet" "$root/bin/quorlet"
	# Static, so that it runs on whichever glibc the board's /lib holds.
	"$triplet-gcc" -static -O2 -Wall -Wextra -o "$root/bin/rs485_probe" "$here/rs485_probe.c" ||
		give_up "cannot build the probe"
	[ -z "$link" ] || link_programs "$root"
	copy_libraries "$root"
	copy_modules "$root" "$3"
	cp "$here/guest-init" "$root/init"
	chmod 755 "$root/init"
	write_cases "$root/cases"
	echo "$limit_guest_port $limit_guest_go" >"$root/cases/limits"
	printf '%s\n' "$port" >"$root/cases/port"
	printf '%s\n' "$port" $plain_port >"$root/cases/uarts"
	[ "$port_kind" != usb ] || : >"$root/cases/usb"
	(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc -R 0:0 --quiet) >"$cpio"
}

# start_sim PHASE: the phase's simulator on the test port's socket.
start_sim() {
	# shellcheck disable=SC2086 # the simulator's command line is words
	$(phase_field "$1" sim) -u "$sock" 2>"$work/sim-$1.log" &
	sim_pid=$!
}

# swap_sim PHASE: stops the running simulator, waits until qemu has dropped
# its connection, and starts the phase's one; false, with failure set, when
# qemu does not follow.
swap_sim() {
	kill "$sim_pid"
	wait "$sim_pid" 2>/dev/null || true
	sim_pid=''
	if ! wait_for "qemu to drop the simulator" "$limit_gate" qemu_peer_count 0; then
		failure="qemu kept the simulator's connection"
		return 1
	fi
	start_sim "$1"
	if ! wait_for "qemu to accept the $1 simulator" "$limit_gate" qemu_peer_count 1; then
		failure="qemu did not accept the $1 simulator's connection"
		return 1
	fi
}

wire_size() {
	stat -c %s "$work/wire.out" 2>/dev/null || echo 0
}

# pull_out_adapter: once the guest has started the unplug case and sent its
# command, and the first part of the answer is on its way, the adapter is
# deleted from the bus through qemu's monitor.
pull_out_adapter() {
	local sent
	sent=$(wire_size)
	wait_for "the unplug case" "$limit_unplug" console_has '^@@unplug' || return 1
	wait_for "the command on the adapter" "$limit_gate" wire_grew "$sent" || return 1
	sleep 1
	echo "device_del adapter" >&8
	t_unplug=$(date +%s.%N)
}

# end_qemu: timeout(1) passes the signal on to qemu and waits for it.
end_qemu() {
	kill "$qemu_timeout_pid" 2>/dev/null || true
	wait "$qemu_timeout_pid" 2>/dev/null || true
}

guest_finished() {
	qemu_gone || console_has '^@@done'
}

wire_grew() {
	[ "$(wire_size)" -gt "$1" ]
}

# await_power_off: the guest powers off when it is done. A case that may
# stop the guest runs last: when the guest stops answering in it, qemu is
# ended once the case's time is up, and the case's check decides.
await_power_off() {
	local name
	for name in "${case_names[@]}"; do
		[ -n "${cases[$name/hazard]}" ] && [ -n "${cases[$name/xfail]}" ] || continue
		wait_for "the last case" "$limit_finish" console_has "^@@case $name\$" || break
		if ! wait_for "the guest to finish" "$((${cases[$name/limit]} + limit_gate))" guest_finished 2>/dev/null; then
			echo "systest: the guest stopped answering in its last case; qemu is ended"
			hung_case=$name
			end_qemu
			return 0
		fi
		break
	done
	if [ "$powers_off" = 1 ]; then
		wait_for "the guest to power off" "$limit_finish" qemu_gone || failure="the guest did not power off"
	elif wait_for "the guest to finish" "$limit_finish" console_has '^@@done'; then
		# /init has synced; nothing is left to lose.
		end_qemu
	else
		failure="the guest did not finish"
	fi
}

# wait_for WHAT SECONDS COMMAND...: polls COMMAND until it succeeds; false
# when time runs out or the board stopped before.
wait_for() {
	local what=$1 limit=$2 deadline
	shift 2
	deadline=$(($(date +%s%N) + limit * 1000000000))
	until "$@"; do
		if [ "$(date +%s%N)" -ge "$deadline" ]; then
			echo "systest: gave up waiting for $what after $limit s" >&2
			return 1
		fi
		if [ "$1" != qemu_gone ] && [ -n "$qemu_timeout_pid" ] && qemu_gone; then
			echo "systest: qemu ended while waiting for $what" >&2
			return 1
		fi
		if [ "$1" != qemu_gone ] && [ -n "$sim_pid" ] && ! kill -0 "$sim_pid" 2>/dev/null; then
			echo "systest: the simulator ended while waiting for $what" >&2
			return 1
		fi
		sleep 0.1
	done
}

console_has() {
	grep -q "$1" <<<"$(tr -d '\r' <"$console")"
}

qemu_gone() {
	! kill -0 "$qemu_timeout_pid" 2>/dev/null
}

# qemu_peer_count N: true when qemu holds N connected sockets on the UART's
# path. A client that connects while qemu still serves the previous one
# waits in the listen queue, so the simulator's own connect says nothing.
qemu_peer_count() {
	local pid inodes n
	pid=$(cat "$work/qemu.pid" 2>/dev/null) || return 1
	inodes=$(find "/proc/$pid/fd" -maxdepth 1 -type l -printf '%l\n' 2>/dev/null |
		sed -n 's/^socket:\[\([0-9]*\)\]$/\1/p' | sort -u)
	n=$(awk -v path="$sock" -v inodes=" ${inodes//$'\n'/ } " \
		'NR > 1 && $8 == path && $6 == "03" && index(inodes, " " $7 " ") { n++ } END { print n + 0 }' /proc/net/unix)
	[ "$n" -eq "$1" ]
}

elapsed() {
	awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", b - a }'
}

show_console() {
	echo "----- guest console -----"
	tr -d '\r' <"$console"
	echo "----- end of guest console -----"
	local f
	for f in "$work"/qemu.err "$work"/sim-*.log "$work"/monitor.out; do
		[ -s "$f" ] && { echo "----- $(basename "$f") -----"; cat "$f"; }
	done
	if [ -s "$work/wire.out" ]; then
		echo "----- bytes the guest sent on $port -----"
		od -An -c -v "$work/wire.out"
	fi
	return 0
}
