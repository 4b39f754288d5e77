# SPDX-License-Identifier: MIT
# The boards systest/run knows: what each machine needs from qemu, where its
# console and UARTs are, and which userland its guest gets.
# shellcheck shell=bash
# The settings are read by systest/run, lib.sh and cases.sh.
# shellcheck disable=SC2034

boards_all=(virt imx6ul)

# board_settings NAME: sets, for that board,
#   machine      qemu's machine options
#   dtb          the device tree from the kernel package, "" for qemu's own
#   dtb_enable   device tree nodes switched on before the boot
#   console_tty  the guest's console device (kernel command line)
#   attach       how the chardevs con0 (console), u0 (the simulator's
#                socket) and plain (a file) are wired to the board's UARTs
#   port         the UART with RS-485 support, facing the simulator
#   plain_port   a UART whose driver refuses RS-485; its bytes go to a file
#   uart_label   NAME=LABEL for the cases and the table of UARTs, one per port
#   lib_root     where the guest's /lib comes from: "cross" (the cross
#                toolchain's, glibc 2.36) or "bullseye" (Debian 11's, glibc
#                2.31, from scripts/make-sysroot)
#   fresh_flags  the RS-485 flags the driver reports before anyone asked
board_settings() {
	case $1 in
	virt)
		# A PL011 (amba-pl011) with RS-485 support; the console and a
		# spare UART are PCI 16550s, which have none.
		machine=(-M 'virt,highmem=off' -cpu cortex-a15)
		dtb='' dtb_enable=()
		console_tty=ttyS0
		attach=(-device 'pci-serial,chardev=con0' -device 'pci-serial,chardev=plain' -serial chardev:u0)
		port=/dev/ttyAMA0 plain_port=/dev/ttyS1
		uart_label=("ttyAMA0=PL011" "ttyS1=PCI 16550")
		lib_root=cross
		fresh_flags=2
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
	*) return 1 ;;
	esac
}
