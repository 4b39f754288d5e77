# SPDX-License-Identifier: MIT
# The wire under the port: qemu's trace of the UART's registers, and what
# RS-485 did with RTS around each frame of pulvane.
# shellcheck shell=bash
# shellcheck disable=SC2154 # work, here, qemu, port, the cases and the board's settings are systest/run's

# For each UART model with a trace: qemu's trace events (a prefix), the
# register bits the table names, and what the driver does around a frame
# in RS-485 mode (RTS_ON_SEND): the RTS bit while sending and after, and
# the receiver. The register levels are the drivers' own: for the same
# flags the PL011 driver and imx-uart clear their RTS bit while sending,
# the 8250 core sets MCR's.
declare -A wire_events=([pl011]=pl011_ [8250]=serial_ [imx]=imx_serial_)
declare -A wire_rts_bit=([pl011]="UARTCR.RTS" [8250]="MCR.RTS" [imx]="UCR2.CTS (the RTS pin)")
declare -A wire_rx_off=([pl011]="receiver off (UARTCR.RXE clear)" [8250]="receive interrupts off (IER.RDI clear)"
	[imx]="receiver off (UCR2.RXEN clear)")
declare -A wire_want=([pl011]="0 1 off" [8250]="1 0 off" [imx]="0 1 off")
# The table's word on each UART's wire, by tty.
declare -A wire_cell

# trace_plan: sets trace_args, qemu's options for the trace of the port's
# UART (port_wire), or trace_none, why there is none.
trace_plan() {
	trace_args=() trace_none=''
	case $port_wire in
	mini) trace_none="qemu has no trace of the BCM2835 mini UART" ;;
	usb) trace_none="a USB adapter has no UART registers to trace" ;;
	bluetooth) trace_none="a Bluetooth link has no UART registers to trace" ;;
	pl011 | 8250 | imx)
		if ! grep -qx "${wire_events[$port_wire]}write" <<<"$("$qemu" -d trace:help 2>/dev/null)"; then
			trace_none="qemu $("$qemu" --version | sed -n '1s/^QEMU emulator version \([^ ]*\).*/\1/p') has no trace of this UART (${wire_events[$port_wire]}write, from qemu 9.0 on)"
		else
			trace_args=(-d "trace:${wire_events[$port_wire]}read,trace:${wire_events[$port_wire]}write" -D "$work/trace.log")
		fi
		;;
	*) trace_none="board data names no UART model (port_wire)" ;;
	esac
}

# wire_frames CHARDEV: one line per frame of pulvane in the trace of the
# UART on CHARDEV (wire-frames.awk).
wire_frames() {
	awk -v model="$port_wire" -v chr="$1" -f "$here/wire-events.awk" "$work/trace.log" |
		awk -f "$here/wire-frames.awk"
}

# check_wire: one counted check of the wire under the port: RTS switched
# around every frame of pulvane where the driver took RS-485, no frame
# where it refused; and the table's cells for the port and the UART that
# refuses RS-485.
check_wire() {
	local name tty=${port#/dev/} want frames got problem='' expect=() seen=() i usual board s a rest
	if [ -n "$plain_port" ]; then
		if [ -s "$work/plain.out" ]; then
			wire_cell[${plain_port#/dev/}]="not switched: RS-485 refused, yet bytes reached its wire"
		else
			wire_cell[${plain_port#/dev/}]="never switched: RS-485 refused, nothing reached its wire"
		fi
	fi
	if [ -n "$trace_none" ]; then
		wire_cell[$tty]="not seen: $trace_none"
		return 0
	fi
	grep -q '^@@kernel ' "$work/console.txt" && [ -f "$work/trace.log" ] || return 0
	# Each case's frames (its field), at the driver's usual levels, or at
	# the board's own where the device tree set RS-485 up and pulvane -a
	# kept it (rts=board): RTS's two levels swapped.
	usual=${wire_want[$port_wire]}
	read -r s a rest <<<"$usual"
	board="$a $s $rest"
	# pulvane -t sets the RTS bit (TIOCM_RTS) itself, 1 while sending with
	# -t 1, 0 with -t 0, and leaves the receiver on.
	local -A kinds=()
	for name in "${case_names[@]}"; do
		grep -qxF "${cases[$name/phase]}" "$work/root/cases/phases" || continue
		for ((i = 0; i < ${cases[$name/frames]}; i++)); do
			case ${cases[$name/rts]} in
			board) expect+=("$board") ;;
			t1) expect+=("1 0 on") ;;
			t0) expect+=("0 1 on") ;;
			*) expect+=("$usual") ;;
			esac
			kinds[${cases[$name/rts]}]=1
			[ "${cases[$name/cell]}" != "counter -t" ] || kinds[t]=1
		done
	done
	want=${#expect[@]}
	frames=$(wire_frames u0)
	got=$(grep -c . <<<"$frames" || true)
	if [ "$want" = 0 ]; then
		if [ "$got" = 0 ]; then
			wire_cell[$tty]="never switched: RS-485 refused, no frame went out"
		else
			problem="$got frames went out, where RS-485 was refused"
		fi
	elif [ "$got" != "$want" ]; then
		problem="want $want frames on the wire, saw $got"
	elif grep -q '^bad' <<<"$frames"; then
		problem=$(grep '^bad' <<<"$frames" | sort | uniq -c | sed 's/^ *\([0-9]*\) bad /\1 frames: /' | paste -sd ';')
	else
		mapfile -t seen < <(cut -d' ' -f2-4 <<<"$frames")
		for i in "${!expect[@]}"; do
			[ "${seen[i]}" = "${expect[i]}" ] && continue
			problem="frame $((i + 1)) of $want: RTS bit, receiver: want ${expect[i]}, got ${seen[i]}"
			break
		done
		if [ -z "$problem" ] && [ -z "${kinds[usual]:-}${kinds[board]:-}" ]; then
			wire_cell[$tty]="RS-485 refused; switched by pulvane -t: ${wire_rts_bit[$port_wire]} 1 while sending with -t 1,"
			wire_cell[$tty]+=" 0 with -t 0, back before the reply; receiver on"
		elif [ -z "$problem" ]; then
			wire_cell[$tty]="switched: ${wire_rts_bit[$port_wire]} $s while sending, $a after"
			if [ -n "${kinds[board]:-}" ]; then
				wire_cell[$tty]="switched: with -a${kinds[t]:+ (and -t, whose RTS the driver ignores)} the device tree's polarity kept, ${wire_rts_bit[$port_wire]} $a while sending, $s after;"
				wire_cell[$tty]+=" without -a replaced by the kernel's RTS_ON_SEND, $s while sending, $a after (no reply on hardware wired for active low)"
			fi
			wire_cell[$tty]+="; ${wire_rx_off[$port_wire]} while sending"
			grep -q ' cleared$' <<<"$frames" && wire_cell[$tty]+="; receive FIFO cleared after the frame"
		fi
	fi
	if [ -n "$problem" ]; then
		wire_cell[$tty]="not switched: $problem"
		echo "FAIL RS-485 on $tty's wire (qemu's trace): $problem"
		failed=$((failed + 1))
	else
		echo "ok   RS-485 on $tty's wire (qemu's trace): ${wire_cell[$tty]} ($want frames)"
		passed=$((passed + 1))
	fi
}
