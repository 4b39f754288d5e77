# SPDX-License-Identifier: MIT
# qemu's register trace of one UART, turned into what happened on its
# wire, one event a line:
#   tx B      the driver handed byte B to the transmitter
#   rx B      byte B came in (the device's side), or the driver read it
#             where qemu traces no arrival (the 16550)
#   rts L     the RTS bit of the UART's control register is now L (0, 1)
#   rxen L    the receiver (its interrupts, on a 16550) is on (1) or off
#   rxclear   the receive FIFO was cleared (16550)
# Run with -v model=pl011|8250|imx, and for the i.MX UART -v chr=NAME, the
# chardev whose UART is wanted (qemu names it in the i.MX trace alone; a
# 16550 trace holds every 16550 of the board, the console's too). Bytes
# and register values are numbers.
# Field layouts, qemu 7.2 to 10:
#   pl011_write addr 0x00000030 value 0x00000501 [reg CR]
#   pl011_put_fifo new char 0x2 read_count now 1        (pl011_fifo_rx_put
#                                 RX FIFO push char [0x02] 1/16 ... in 10)
#   serial_write write addr 0x04 val 0x0b       (serial_write [0x04] <- 0x0b
#                                                 from qemu 11)
#   imx_serial_write u0:[0x132] <- 0x00005027   (offset printed in decimal)
#   imx_serial_put_data u0: 0x2

function hex(s, i, c, v) {
	s = tolower(s)
	gsub(/[^0-9a-fx]/, "", s)
	sub(/^0x/, "", s)
	v = 0
	for (i = 1; i <= length(s); i++) {
		c = index("0123456789abcdef", substr(s, i, 1)) - 1
		v = v * 16 + c
	}
	return v
}
function bit(v, b) {
	return int(v / 2 ^ b) % 2
}
# The first field after the event's name that holds a number in hex.
function first_hex(i) {
	for (i = 2; i <= NF; i++)
		if ($i ~ /0x/)
			return hex($i)
	return -1
}

model == "pl011" && $1 == "pl011_write" {
	a = hex($3)
	v = hex($5)
	if (a == 0)
		print "tx", v % 256
	else if (a == 48) {
		# UARTCR: RTS is bit 11, RXE bit 9.
		print "rts", bit(v, 11)
		print "rxen", bit(v, 9)
	}
	next
}
model == "pl011" && ($1 == "pl011_put_fifo" || $1 == "pl011_fifo_rx_put") {
	for (i = 2; i < NF; i++)
		if ($i == "char") {
			print "rx", hex($(i + 1))
			break
		}
	next
}

# The divisor latch (LCR bit 7) turns registers 0 and 1 into the divisor.
model == "8250" && $1 == "serial_write" {
	a = first_hex()
	v = hex($NF)
	if (a == 3)
		dlab = bit(v, 7)
	if (a == 0 && !dlab)
		print "tx", v
	else if (a == 1 && !dlab)
		print "rxen", bit(v, 0)
	else if (a == 2 && bit(v, 1))
		print "rxclear"
	else if (a == 4)
		print "rts", bit(v, 1)
	next
}
model == "8250" && $1 == "serial_read" {
	if (first_hex() == 0 && !dlab)
		print "rx", hex($NF)
	next
}

# UTXD is at 0x40, UCR2 at 0x84; qemu prints the offset in decimal (64,
# 132), and the hexadecimal spelling is taken too. UCR2's CTS bit (12)
# drives the RTS pin, RXEN (1) is the receiver.
model == "imx" && $1 ~ /^imx_serial_(write|put_data)$/ {
	split($2, f, ":")
	if (f[1] != chr)
		next
	if ($1 == "imx_serial_put_data") {
		print "rx", hex($3)
		next
	}
	o = $2
	sub(/^[^[]*\[0x/, "", o)
	sub(/\].*/, "", o)
	v = hex($4)
	if (o == "064" || o == "040")
		print "tx", v % 256
	else if (o == "132" || o == "084") {
		print "rts", bit(v, 12)
		print "rxen", bit(v, 1)
	}
	next
}
