# SPDX-License-Identifier: MIT
# The wire under the port: qemu's trace of the UART's registers, and what
# RS-485 did with RTS around each frame of pulvane.
# shellcheck shell=bash
# shellcheck disable=SC2154 # work, qemu and the board's settings are systest/run's

# trace_plan: sets trace_args, qemu's options for the trace of the port's
# UART model, or trace_none, why there is none.
trace_plan() {
	trace_args=() trace_none=''
	local events=()
	case $port_wire in
	pl011) events=(pl011_write pl011_read pl011_put_fifo) ;;
	8250) events=(serial_write serial_read) ;;
	*) trace_none="no trace of this UART" ;;
	esac
	[ ${#events[@]} -gt 0 ] || return 0
	local e list=''
	for e in "${events[@]}"; do list+=${list:+,}trace:$e; done
	trace_args=(-d "$list" -D "$work/trace.log")
}
