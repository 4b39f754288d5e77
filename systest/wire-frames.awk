# SPDX-License-Identifier: MIT
# What RTS did around each frame of pulvane, from the events of
# wire-events.awk. A frame is STX, ten characters 0-9 or A-F and ETX,
# handed to the transmitter. For RS-485, RTS must change before the
# frame's first byte (since the previous frame, or since the trace began),
# stay put while it goes out, and change back after its last byte, before
# the driver reads the module's reply and before anything else goes out;
# and stay put until the reply is read (another program's open of the port
# raises RTS, which would switch the transceiver during the reply). Where
# the trace shows the line status (a 16550), RTS may change back only once
# the transmitter was read empty after the frame's last byte.
# One line
# a frame:
#   ok SEND AFTER RX CLEARED   RTS bit SEND while sending, AFTER once
#                              back; RX "off" when the receiver was off
#                              for the whole frame, else "on"; CLEARED
#                              "cleared" when the receive FIFO was
#                              cleared after the frame, before the reply
#                              was read, else "-"
#   bad WHY

function frame_char(b) {
	return (b >= 48 && b <= 57) || (b >= 65 && b <= 70)
}
function done(line) {
	print line
	state = "idle"
	changed = 0
}
# Switched back: the line waits for the reply (or the next byte out), to
# tell whether the receive FIFO was cleared before it.
function back() {
	if (state == "back")
		done("ok " send " " after " " (rx_on ? "on" : "off") " " (cleared ? "cleared" : "-"))
}
function frame_end(i) {
	if (bytes[12] != 3) {
		state = "idle"
		return
	}
	for (i = 2; i <= 11; i++)
		if (!frame_char(bytes[i])) {
			state = "idle"
			return
		}
	if (during != "")
		done("bad " during)
	else if (!was_changed)
		done("bad RTS did not change before the frame's first byte")
	else
		state = "after"
}

BEGIN {
	state = "idle"
	rts = ""
	rxen = ""
}
$1 == "rts" {
	if (rts != "" && $2 != rts) {
		if (state == "frame")
			during = "RTS changed while the frame went out"
		else if (state == "after" && has_temt && !emptied)
			done("bad RTS changed back before the transmitter was empty")
		else if (state == "after") {
			state = "back"
			after = $2
		} else if (state == "back" && !replied) {
			done("bad RTS changed again after the frame before the reply was read")
			changed = 1
		} else {
			back()
			changed = 1
		}
	}
	rts = $2
	next
}
$1 == "rxen" {
	rxen = $2
	if (state == "frame" && rxen == 1)
		rx_on = 1
	next
}
$1 == "temt" {
	has_temt = 1
	if (state == "after" && $2 == 1)
		emptied = 1
	next
}
$1 == "rxclear" {
	if (state == "after" || (state == "back" && !replied))
		cleared = 1
	next
}
$1 == "tx" {
	back()
	if (state == "frame") {
		bytes[++n] = $2 + 0
		if (n == 12)
			frame_end()
		next
	}
	if (state == "after")
		done("bad a byte went out after the frame before RTS changed back")
	if ($2 == 2) {
		state = "frame"
		n = 1
		bytes[1] = 2
		send = rts
		was_changed = changed
		rx_on = rxen == "" || rxen == 1
		during = ""
		cleared = 0
		replied = 0
		emptied = 0
	}
	next
}
$1 == "rx" {
	if (state == "after")
		done("bad the reply was read before RTS changed back")
	replied = 1
	next
}
END {
	back()
	if (state == "after")
		done("bad RTS never changed back after the frame")
}
