# SPDX-License-Identifier: MIT
# qemu's register trace of one UART, turned into what happened on its
# wire, one event a line:
#   tx B      the driver handed byte B to the transmitter
#   rx B      the driver read byte B from the receiver: qemu's UARTs have
#             no line timing (a byte is on the socket the moment it is
#             written), so the order that tells is the driver's own
#   rts L     the RTS bit of the UART's control register is now L (0, 1)
#   rxen L    the receiver (its interrupts, on a 16550) is on (1) or off
#   rxclear   the receive FIFO was cleared (16550)
#   temt L    the driver read the line status: the transmitter, shift
#             register included, is empty (1) or not (16550)
# Run with -v model=pl011|8250|imx, and for the i.MX UART -v chr=NAME, the
# chardev whose UART is wanted (qemu names it in the i.MX trace alone; a
# 16550 trace holds every 16550 of the board, the console's too). Bytes
# and register values are numbers.
# Field layouts, qemu 7.2 to 10:
#   pl011_write addr 0x00000030 value 0x00000501 [reg CR]
#   pl011_read addr 0x00000000 value 0x00000002 [reg DR]
#   serial_write write addr 0x04 val 0x0b       (serial_write [0x04] <- 0x0b
#                                                 from qemu 11)
#   imx_serial_write u0:[0x132] <- 0x00005027   (offset printed in decimal)
#   imx_serial_read u0:[0x000] -> 0x00008002

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
model == "pl011" && $1 == "pl011_read" {
	if (hex($3) == 0)
		print "rx", hex($5) % 256
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
	a = first_hex()
	if (a == 0 && !dlab)
		print "rx", hex($NF)
	else if (a == 5)
		print "temt", bit(hex($NF), 6)
	next
}

# URXD is at 0, UTXD at 0x40, UCR2 at 0x84; qemu prints the offset in
# decimal (64, 132), and the hexadecimal spelling is taken too. A read of
# URXD holds a byte when its CHARRDY bit (15) is set. UCR2's CTS bit (12)
# drives the RTS pin, RXEN (1) is the receiver.
model == "imx" && $1 ~ /^imx_serial_(write|read)$/ {
	split($2, f, ":")
	if (f[1] != chr)
		next
	o = $2
	sub(/^[^[]*\[0x/, "", o)
	sub(/\].*/, "", o)
	v = hex($4)
	if ($1 == "imx_serial_read") {
		if (o == "000" && bit(v, 15))
			print "rx", v % 256
		next
	}
	if (o == "064" || o == "040")
		print "tx", v % 256
	else if (o == "132" || o == "084") {
		print "rts", bit(v, 12)
		print "rxen", bit(v, 1)
	}
	next
}
