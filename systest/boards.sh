# SPDX-License-Identifier: MIT
# The boards systest/run knows: what each machine needs from qemu, where its
# console and UARTs are, and which userland its guest gets.
# shellcheck shell=bash
# The settings are read by systest/run, lib.sh and cases.sh.
# shellcheck disable=SC2034

boards_all=(virt imx6ul virt64 raspi2b usb)

# board_settings NAME [BOOT]: sets, for that board (and that boot of it),
#   boots        the boots a board needs, when it needs more than one; each
#                is run in turn, with its own settings
#   qemu         the emulator: qemu-system-arm or qemu-system-aarch64
#   machine      qemu's machine options
#   memory       the guest's memory, in MiB
#   kernel_arch  armhf (Debian's armmp kernel) or arm64 (Debian's arm64
#                kernel, running the armhf userland through its 32-bit
#                compatibility layer)
#   modules      kernel modules /init loads, in order, before the cases
#   dtb          the device tree from the kernel package, "" for qemu's own
#   dtb_enable   device tree nodes switched on before the boot
#   console_tty  the guest's console device (kernel command line)
#   attach       how the chardevs con0 (console), u0 (the simulator's
#                socket) and plain (a file) are wired to the board's devices
#   port         the port facing the simulator
#   port_kind    uart: a UART with RS-485 support; usb: a USB serial
#                adapter, whose driver has no RS-485 and which leaves the
#                bus whenever the simulator's side of the socket closes
#   plain_port   a UART whose driver refuses RS-485, its bytes going to a
#                file; "" for none
#   uart_label   NAME=LABEL for the cases and the table of UARTs, one per port
#   lib_root     where the guest's /lib comes from: "cross" (the cross
#                toolchain's, glibc 2.36) or "bullseye" (Debian 11's, glibc
#                2.31, from scripts/make-sysroot)
#   fresh_flags  the RS-485 flags the driver reports before anyone asked
#   powers_off   0 where the machine has no way to power off: the host ends
#                qemu once the guest says it is done
#   no_dlab      the port is qemu's model of the BCM2835 mini UART, which
#                has no divisor latch: see cases.sh
board_settings() {
	boots=() qemu=qemu-system-arm memory=256 kernel_arch=armhf modules=()
	dtb='' dtb_enable=() port_kind=uart plain_port='' no_dlab=0 powers_off=1
	case $1 in
	virt)
		# A PL011 (amba-pl011) with RS-485 support; the console and a
		# spare UART are PCI 16550s, which have none.
		machine=(-M 'virt,highmem=off' -cpu cortex-a15)
		console_tty=ttyS0
		attach=(-device 'pci-serial,chardev=con0' -device 'pci-serial,chardev=plain' -serial chardev:u0)
		port=/dev/ttyAMA0 plain_port=/dev/ttyS1
		uart_label=("ttyAMA0=PL011" "ttyS1=PCI 16550")
		lib_root=cross
		fresh_flags=2
		;;
	virt64)
		# virt under Debian's 64-bit kernel: every ioctl of the 32-bit
		# tools goes through the kernel's compat layer.
		board_settings virt
		qemu=qemu-system-aarch64 memory=512 kernel_arch=arm64
		machine=(-M virt -cpu cortex-a53)
		;;
	imx6ul)
		# -serial options fill UART1, UART2, ... in order. UART1 is the
		# console; UART2 has RTS in the device tree (uart-has-rtscts), so
		# imx-uart offers RS-485 on it; UART3 is disabled in the tree and
		# is switched on here as it is, without RTS.
		machine=(-M mcimx6ul-evk)
		dtb=imx6ul-14x14-evk.dtb
		dtb_enable=(/soc/bus@2100000/serial@21ec000)
		console_tty=ttymxc0
		attach=(-serial chardev:con0 -serial chardev:u0 -serial chardev:plain)
		port=/dev/ttymxc1 plain_port=/dev/ttymxc2
		uart_label=("ttymxc1=i.MX6UL UART2, RTS" "ttymxc2=i.MX6UL UART3, no RTS")
		lib_root=bullseye
		fresh_flags=2
		;;
	raspi2b)
		# -serial options fill the PL011 (ttyAMA0) first, then the mini
		# UART (bcm2835-aux-uart, ttyS1), which the tree leaves off.
		# Both offer RS-485. Each takes its turn facing the simulator,
		# the other one carrying the console.
		boots=(pl011 mini)
		machine=(-M raspi2b) memory=1024 powers_off=0
		dtb=bcm2836-rpi-2-b.dtb
		dtb_enable=(/soc/serial@7e215040)
		uart_label=("ttyAMA0=PL011" "ttyS1=mini UART")
		lib_root=bullseye
		case ${2:-} in
		pl011)
			console_tty=ttyS1
			attach=(-serial chardev:u0 -serial chardev:con0)
			port=/dev/ttyAMA0
			fresh_flags=2
			;;
		mini)
			console_tty=ttyAMA0
			attach=(-serial chardev:con0 -serial chardev:u0)
			port=/dev/ttyS1
			fresh_flags=2
			no_dlab=1
			;;
		'') ;;
		*) return 1 ;;
		esac
		;;
	usb)
		# An FTDI adapter (ftdi_sio) on an xHCI controller; the armmp
		# kernel has USB as modules.
		machine=(-M 'virt,highmem=off' -cpu cortex-a15)
		modules=(usbcore xhci-hcd xhci-pci usbserial ftdi_sio)
		console_tty=ttyS0
		attach=(-device 'pci-serial,chardev=con0' -device qemu-xhci -device 'usb-serial,id=adapter,chardev=u0')
		port=/dev/ttyUSB0 port_kind=usb
		uart_label=("ttyUSB0=USB adapter")
		lib_root=cross
		fresh_flags=none
		;;
	*) return 1 ;;
	esac
}
