# SPDX-License-Identifier: MIT
# What the board test knows of kernels and boards: the table of kernels,
# the table of boots (and from it the boards), and each boot's settings.
# shellcheck shell=bash
# The settings are read by systest/run, lib.sh, cases.sh and wire.sh.
# shellcheck disable=SC2034

# The kernels: the name --kernel takes; where its packages come from
# ("release": the running release's archive; "release-if-any": the same,
# the boot skipped where the release has none; "bullseye": Debian 11's,
# through scripts/make-sysroot --apt); Debian's linux-image-FLAVOUR for an
# armhf and for an arm64 board ("-": none); the Debian releases whose CI
# run boots it (.ci/run). 5.10 is what many boards in the field still run;
# 16k is the 16K-page arm64 kernel, the Raspberry Pi 5's own kind, from
# Debian 13 on.
kernel_table='
release  release         armmp  arm64      bookworm trixie forky
5.10     bullseye        armmp  arm64      bookworm
16k      release-if-any  -      arm64-16k  trixie
'

# The boots, in the order a run takes them: BOARD, or BOARD/BOOT for a
# board that boots more than once, and the kernels that boot it. Debian
# 11's 5.10 boots the boards that show a difference there (the Pi 4 needs
# newer kernels, the USB adapter is the same, the Pi 2's device tree's
# RS-485 needs the PL011's); the 16K-page kernel boots virt64 alone (qemu's
# Pi 4 has no Cortex-A76, the CPU with 16K pages).
boot_table='
virt                 release 5.10
virt/16550           release
imx6ul               release 5.10
virt64/armhf         release 5.10 16k
virt64/arm64         release 5.10 16k
raspi2b/pl011        release 5.10
raspi2b/mini         release 5.10
raspi2b/pl011-dt     release
raspi4b/pl011-armhf  release
raspi4b/mini-armhf   release
raspi4b/pl011-arm64  release
raspi4b/mini-arm64   release
opipc                release 5.10
usb                  release
rfcomm               release
acm                  release
'

# kernels_all; kernel_field NAME N: the kernel's field N (2 the source, 3
# and 4 the flavours); boots_of KERNEL [BOARD]: the boots that kernel boots
# (of that board); boards_all;
kernels_all() { awk 'NF { print $1 }' <<<"$kernel_table"; }
kernel_field() { awk -v k="$1" -v n="$2" '$1 == k { print $n }' <<<"$kernel_table"; }
boots_of() {
	awk -v k="$1" -v b="${2:-}" 'NF && (b == "" || $1 == b || index($1, b "/") == 1) {
		for (i = 2; i <= NF; i++) if ($i == k) print $1 }' <<<"$boot_table"
}
boards_all() { awk 'NF { sub(/\/.*/, "", $1); if (!seen[$1]++) print $1 }' <<<"$boot_table"; }
# kernels_on RELEASE: the kernels CI boots on that Debian release.
kernels_on() { awk -v r="$1" 'NF { for (i = 5; i <= NF; i++) if ($i == r) print $1 }' <<<"$kernel_table" | paste -sd ' '; }

# boot_settings BOARD[/BOOT]: sets, for that boot under kernel_series (machine,
# console_tty, attach, port, port_kind, port_wire and uart_label have no
# default: every boot's arms set them),
#   qemu         the emulator: qemu-system-arm or qemu-system-aarch64
#   machine      qemu's machine options
#   machine_note why a qemu without the machine cannot run the board; the
#                board is then skipped with that line
#   memory       the guest's memory, in MiB
#   kernel_arch  armhf (Debian's armmp kernel) or arm64 (Debian's arm64
#                kernel, which runs an armhf userland through its 32-bit
#                compatibility layer)
#   userland     armhf or arm64: the tools, busybox, the probe and the
#                guest's loader and libraries
#   modules      kernel modules /init loads, in order, before the cases
#   dtb          the device tree from the kernel package, "" for qemu's own
#   dtb_enable   device tree nodes switched on before the boot
#   dtb_disable  device tree nodes switched off (devices qemu does not model)
#   dtb_remove   device tree nodes deleted
#   dtb_delete_props  device tree properties deleted, "NODE PROPERTY...":
#                links to devices qemu does not model; a tree without the
#                property (an older kernel's) has nothing to delete there
#   dtb_set_props  device tree properties set, "NODE PROPERTY...", each
#                empty (a flag that is true): a board's own RS-485 set-up
#   console_tty  the guest's console device (kernel command line)
#   attach       how the chardevs con0 (console), u0 (the simulator's
#                socket) and plain (a file) are wired to the board's devices
#   port         the port facing the simulator
#   port_kind    uart: a UART with RS-485 support; usb: a USB serial
#                adapter, whose driver has no RS-485 and which leaves the
#                bus whenever the simulator's side of the socket closes;
#                link: a link with no RS-485 whose far end is in the guest
#                too (Bluetooth, USB ACM), served there by `link`
#   link         the guest's side of a link board: a file of systest/ that
#                defines link_up (bring the link up, the port appears),
#                link_serve SIMULATOR... (serve a phase's simulator at the
#                far end; no words: nothing serves it), link_unserve, and
#                link_cut (the far end goes away in the middle of a case);
#                "" for none
#   guest_debs   programs the guest takes from Debian packages of its
#                userland, "PACKAGE PATH", PATH as in the package
#   host_helper  a program the host runs for the whole boot, started
#                before qemu, which connects to its socket host_helper_socket
#                (words: the command); host_packages: what provides it
#   plain_port   a UART whose driver refuses RS-485, its bytes going to a
#                file; "" for none
#   port_wire    the port's UART model, for qemu's register trace of its
#                wire (wire.sh): pl011, 8250 (a 16550), imx; mini and usb
#                have none
#   port_refuses 1 where the port's driver refuses RS-485 on this kernel
#   rts_cases    where it refuses, which of pulvane -t's cases run: "all"
#                (19200 and five at once with each level too) or "some"
#                (a read and a reset with each level)
#   kept         the RS-485 flags the driver keeps of flags 7
#   uart_label   NAME=LABEL for the cases and the table of UARTs, one per port
#   lib_root     where the guest's /lib comes from: "cross" (the cross
#                toolchain's, glibc 2.36 on Debian 12) or "bullseye" (Debian
#                11's, glibc 2.31, from scripts/make-sysroot USERLAND)
#   fresh_flags  the RS-485 flags the driver reports before anyone asked
#   powers_off   0 where the machine has no way to power off: the host ends
#                qemu once the guest says it is done
#   no_dlab      the port is qemu's model of the BCM2835 mini UART, which
#                has no divisor latch: see cases.sh
#   base_baud    that mini UART's clock over 16, as the board's kernel
#                reports it: the divisor the driver writes follows from it
#   mini_last    that mini UART's case that may stop the guest, run last:
#                "speed" (pulvane -b 19200) or "fast" (quorlet -b 38400,
#                where that divisor also may stop it); see cases.sh
# A boot's settings are the defaults below and then every arm of the case
# that matches it, in order, each arm ended with ';;&' so that none hides
# a later one; where two arms set the same variable the later wins, so an
# arm shared by several boards or boots goes before their own arms. A
# boot's own values (its clock, its quirks) go in its own arm, never in a
# shared one. The settings are then checked (boot_complete): a boot that
# lacks one stops the run before anything is fetched or booted.
boot_settings() {
	qemu=qemu-system-arm memory=256 kernel_arch=armhf userland=armhf modules=() machine_note=''
	dtb='' dtb_enable=() dtb_disable=() dtb_remove=() dtb_delete_props=() dtb_set_props=() plain_port=''
	link='' guest_debs=() host_helper=() host_helper_socket='' host_packages=()
	no_dlab=0 base_baud='' mini_last=speed powers_off=1 kept=3 port_refuses=0 rts_cases=some fresh_flags=2 lib_root=bullseye
	# What every boot must set in its arms: no default.
	machine=() console_tty='' attach=() port='' port_kind='' port_wire='' uart_label=()
	boot_arms "$1"
	boot_complete "$1"
}

# boot_arms BOOT: the arms.
boot_arms() {
	case $1 in
	virt | virt/* | virt64/*)
		# A PL011 (amba-pl011) with RS-485 support; the console and a
		# spare UART are PCI 16550s, which have none. 5.10's PL011
		# driver has no RS-485.
		machine=(-M 'virt,highmem=off' -cpu cortex-a15)
		console_tty=ttyS0
		attach=(-device 'pci-serial,chardev=con0' -device 'pci-serial,chardev=plain' -serial chardev:u0)
		port=/dev/ttyAMA0 port_kind=uart plain_port=/dev/ttyS1
		uart_label=("ttyAMA0=PL011" "ttyS1=PCI 16550") port_wire=pl011
		lib_root=cross
		[ "$kernel_series" != 5.10 ] || port_refuses=1 fresh_flags=0
		;;&
	virt64/*)
		# virt under Debian's 64-bit kernel, twice: with the armhf
		# userland, every ioctl of the 32-bit tools going through the
		# kernel's compat layer, and with an arm64 userland (Debian 11's
		# loader and libc) and the arm64 tools, as on a 64-bit Raspberry
		# Pi OS or an i.MX8 image. qemu's Cortex-A53 has no 16K pages;
		# the A76, the Pi 5's core, has.
		qemu=qemu-system-aarch64 memory=512 kernel_arch=arm64
		machine=(-M virt -cpu cortex-a53)
		[ "$kernel_series" != 16k ] || machine=(-M virt -cpu cortex-a76)
		;;&
	virt64/arm64) userland=arm64 lib_root=bullseye ;;&
	virt/16550)
		# The spare PCI 16550 faces the simulator: a UART whose driver
		# has no RS-485 on any kernel, where pulvane -t switches RTS
		# itself. The PL011 writes into the file.
		attach=(-device 'pci-serial,chardev=con0' -device 'pci-serial,chardev=u0' -serial chardev:plain)
		port=/dev/ttyS1 plain_port='' port_wire=8250 port_refuses=1 rts_cases=all fresh_flags=0
		uart_label=("ttyS1=PCI 16550")
		;;&
	imx6ul)
		# -serial options fill UART1, UART2, ... in order. UART1 is the
		# console; UART2 has RTS in the device tree (uart-has-rtscts), so
		# imx-uart offers RS-485 on it; UART3 is disabled in the tree and
		# is switched on here as it is, without RTS (5.10's imx-uart
		# leaves RS-485 off there, which pulvane reports as a refusal).
		# Newer kernels' trees (7.2's; 6.1's has none) give the UARTs
		# channels of the SDMA controller, which qemu does not model (a
		# region that ignores writes and reads as zero): imx-uart then
		# sends by DMA, the transfer never completes, nothing reaches the
		# wire and the port's close waits for the output to drain.
		# Without the channels the driver uses its FIFO and interrupts,
		# as it does under 6.1.
		machine=(-M mcimx6ul-evk)
		dtb=imx6ul-14x14-evk.dtb
		dtb_enable=(/soc/bus@2100000/serial@21ec000)
		dtb_delete_props=("/soc/bus@2100000/serial@21e8000 dmas dma-names"
			"/soc/bus@2100000/serial@21ec000 dmas dma-names")
		console_tty=ttymxc0
		attach=(-serial chardev:con0 -serial chardev:u0 -serial chardev:plain)
		port=/dev/ttymxc1 port_kind=uart plain_port=/dev/ttymxc2
		uart_label=("ttymxc1=i.MX6UL UART2, RTS" "ttymxc2=i.MX6UL UART3, no RTS") port_wire=imx
		;;&
	raspi2b/*)
		# -serial options fill the PL011 (ttyAMA0) first, then the mini
		# UART (bcm2835-aux-uart, ttyS1), which the tree leaves off.
		# Both offer RS-485. Each takes its turn facing the simulator,
		# the other one carrying the console. In a third boot the
		# device tree sets the PL011's RS-485 up, as a board whose
		# transceiver enables on a low RTS does: on from boot, RTS
		# active low (RTS_AFTER_SEND instead of RTS_ON_SEND).
		machine=(-M raspi2b) memory=1024 powers_off=0
		dtb=bcm2836-rpi-2-b.dtb
		;;&
	raspi4b/*)
		# As raspi2b, under Debian's arm64 kernel, each UART with the
		# armhf and the arm64 userland. qemu has the machine from 9.0 on.
		# The kernel stops with a synchronous external abort on devices
		# qemu does not model, so they are switched off, and the tree
		# gives the PL011 to Bluetooth, whose node would take the port.
		qemu=qemu-system-aarch64 machine=(-M raspi4b) memory=2048 kernel_arch=arm64 powers_off=0
		machine_note="the Raspberry Pi 4 (raspi4b) needs qemu 9 or later"
		dtb=broadcom/bcm2711-rpi-4-b.dtb
		dtb_disable=(/soc/interrupt-controller@7ef00100 /soc/i2c@7ef04500 /soc/i2c@7ef09500
			/soc/hdmi@7ef00700 /soc/hdmi@7ef05700 /soc/clock@7ef00000)
		dtb_remove=(/soc/serial@7e201000/bluetooth)
		userland=${1##*-}
		;;&
	raspi2b/* | raspi4b/*)
		dtb_enable=(/soc/serial@7e215040)
		uart_label=("ttyAMA0=PL011" "ttyS1=mini UART") port_kind=uart
		;;&
	raspi2b/pl011* | raspi4b/pl011-*)
		console_tty=ttyS1
		attach=(-serial chardev:u0 -serial chardev:con0)
		port=/dev/ttyAMA0 port_wire=pl011
		[ "$kernel_series" != 5.10 ] || port_refuses=1 fresh_flags=0
		;;&
	raspi2b/pl011-dt)
		dtb_set_props=("/soc/serial@7e201000 linux,rs485-enabled-at-boot-time rs485-rts-active-low")
		# ENABLED | RTS_AFTER_SEND
		fresh_flags=5
		;;&
	raspi2b/mini | raspi4b/mini-*)
		# Both the speed change (19200) and, on the Pi 4, AT@1 at 38400
		# may stop the guest here; each boot runs one of them last.
		console_tty=ttyAMA0
		attach=(-serial chardev:con0 -serial chardev:u0)
		port=/dev/ttyS1 port_wire=mini no_dlab=1
		;;&
	raspi2b/mini)
		# The mini UART's clock over 16, as the Pi 2's kernel reports it.
		base_baud=50000000
		;;&
	raspi4b/mini-*)
		base_baud=70312500
		;;&
	raspi4b/mini-arm64)
		# AT@1 at 38400 may stop the guest here: run last.
		mini_last=fast
		;;&
	opipc)
		# The Orange Pi PC (Allwinner H3): four 16550-type UARTs, which
		# -serial options fill in order. The tree switches on UART0
		# alone, the console; UART1 is switched on for the port. Its
		# driver, 8250_dw, finds none of DesignWare's own RS-485
		# hardware in qemu's model and falls back to the 8250 core's
		# software RS-485, the code AM335x's 8250_omap uses as well,
		# which 5.10 does not have yet.
		machine=(-M orangepi-pc) memory=1024
		dtb=sun8i-h3-orangepi-pc.dtb
		dtb_enable=(/soc/serial@1c28400)
		console_tty=ttyS0
		attach=(-serial chardev:con0 -serial chardev:u0)
		port=/dev/ttyS1 port_kind=uart
		uart_label=("ttyS1=H3 UART1") port_wire=8250
		[ "$kernel_series" != 5.10 ] || port_refuses=1
		;;&
	usb)
		# An FTDI adapter (ftdi_sio) on an xHCI controller; the armmp
		# kernel has USB as modules.
		machine=(-M 'virt,highmem=off' -cpu cortex-a15)
		modules=(usbcore xhci-hcd xhci-pci usbserial ftdi_sio)
		console_tty=ttyS0
		attach=(-device 'pci-serial,chardev=con0' -device qemu-xhci -device 'usb-serial,id=adapter,chardev=u0')
		port=/dev/ttyUSB0 port_kind=usb port_wire=usb
		uart_label=("ttyUSB0=USB adapter")
		lib_root=cross
		fresh_flags=none
		;;&
	rfcomm | acm)
		machine=(-M 'virt,highmem=off' -cpu cortex-a15)
		console_tty=ttyS0
		attach=(-device 'pci-serial,chardev=con0')
		port_kind=link lib_root=cross fresh_flags=none uart_label=()
		;;&
	rfcomm)
		# An ELM327 behind Bluetooth, bound with rfcomm. btvirt on the
		# host is the radio: each connection to its socket is one
		# emulated BR/EDR controller, and the guest attaches two over
		# virtio consoles (qemu's 16550s pass a byte at a time, which
		# btvirt's packet reader does not survive): hci0 for the tools,
		# hci1 for the far end, whose RFCOMM listener serves the
		# simulators (link-rfcomm).
		host_helper=(btvirt -s -l0) host_helper_socket=/tmp/bt-server-bredr host_packages=(bluez-test-tools)
		attach+=(-device virtio-serial-device
			-chardev "socket,id=bt0,path=$host_helper_socket" -device 'virtconsole,chardev=bt0'
			-chardev "socket,id=bt1,path=$host_helper_socket" -device 'virtconsole,chardev=bt1')
		modules=(virtio_mmio virtio_console hci_uart rfcomm)
		guest_debs=("bluez ./*bin/btattach" "bluez ./*bin/hciconfig" "bluez ./*bin/rfcomm")
		port=/dev/rfcomm0 port_wire=bluetooth link=link-rfcomm
		uart_label=("rfcomm0=Bluetooth (RFCOMM)")
		;;&
	acm)
		# A USB adapter with a native CDC-ACM function: the gadget
		# side, on dummy_hcd in the same guest, plays the device on
		# ttyGS0 (link-acm).
		modules=(dummy_hcd usb_f_acm cdc-acm)
		port=/dev/ttyACM0 port_wire=usb link=link-acm
		uart_label=("ttyACM0=USB CDC-ACM device")
		;;&
	esac
}

# boot_complete BOOT: the boot's settings hold everything a boot needs;
# else one line that names the boot and what it lacks, and status 1.
boot_complete() {
	local v missing=() wrong=()
	for v in qemu machine memory kernel_arch userland console_tty attach port port_kind port_wire uart_label lib_root fresh_flags; do
		[ -n "${!v:-}" ] || missing+=("$v")
	done
	[ "$no_dlab" != 1 ] || [ -n "$base_baud" ] || missing+=("base_baud (its mini UART's clock over 16, in its own arm)")
	[ "$port_kind" != link ] || [ -n "$link" ] || missing+=("link (its far end's file)")
	[ ${#host_helper[@]} -eq 0 ] || [ -n "$host_helper_socket" ] || missing+=(host_helper_socket)
	case $port_kind in uart | usb | link | '') ;; *) wrong+=("port_kind $port_kind (uart, usb or link)") ;; esac
	case $kernel_arch in armhf | arm64) ;; *) wrong+=("kernel_arch $kernel_arch (armhf or arm64)") ;; esac
	case $userland in armhf | arm64) ;; *) wrong+=("userland $userland (armhf or arm64)") ;; esac
	case $lib_root in cross | bullseye) ;; *) wrong+=("lib_root $lib_root (cross or bullseye)") ;; esac
	case $mini_last in speed | fast) ;; *) wrong+=("mini_last $mini_last (speed or fast)") ;; esac
	case $rts_cases in all | some) ;; *) wrong+=("rts_cases $rts_cases (all or some)") ;; esac
	[ ${#missing[@]} -gt 0 ] || [ ${#wrong[@]} -gt 0 ] || return 0
	local said=() joined
	[ ${#missing[@]} -eq 0 ] || said+=("no $(printf '%s, ' "${missing[@]}")")
	[ ${#wrong[@]} -eq 0 ] || said+=("$(printf '%s, ' "${wrong[@]}")")
	joined=$(printf '%s; ' "${said[@]/%, /}")
	echo "systest: boot $1 (kernel $kernel_series) is incomplete in boards.sh: ${joined%; }" >&2
	return 1
}

# arms_open: every arm of boot_settings lets the later ones be reached.
# An arm ended with ';;' hides every later arm from the boots it matches:
# their shared settings would silently not be reached. In bash's listing
# of the function the arms' patterns and their ends stand eight blanks in.
arms_open() {
	local hiding
	hiding=$(declare -f boot_arms | awk '/^        [^ ].*\)$/ { arm = substr($0, 9, length($0) - 9) }
		/^        ;;$/ { printf "%s%s", sep, arm; sep = ", " }')
	[ -n "$hiding" ] || return 0
	echo "systest: boards.sh: end every arm of boot_settings with ';;&', not ';;', which hides the arms after it: $hiding" >&2
	return 1
}
