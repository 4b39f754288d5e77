# SPDX-License-Identifier: MIT
# The cases of systest/run and their checks.
# shellcheck shell=bash
# shellcheck disable=SC2154 # work, console, failure, at_phase, always_show_console and the board's settings are systest/run's

case_names=()
declare -A case_phase case_input case_cmd case_setup case_limit want_status want_stdout want_stderr want_probe
declare -A port_result

# The board's name for a UART, from uart_label: label_of ttyS1.
label_of() {
	local entry
	for entry in "${uart_label[@]}"; do
		[ "${entry%%=*}" = "$1" ] && { echo "${entry#*=}"; return 0; }
	done
	echo "$1"
}

# add_case PHASE NAME STDIN COMMAND STATUS STDOUT STDERR PROBE
# STDIN is a printf format for the guest, "-" for none; an empty COMMAND
# only reads the port's state.
add_case() {
	case_names+=("$2")
	case_phase[$2]=$1 case_input[$2]=$3 case_cmd[$2]=$4
	want_status[$2]=$5 want_stdout[$2]=$6 want_stderr[$2]=$7 want_probe[$2]=$8
	case_setup[$2]=- case_limit[$2]=20
}

# carrier_down: the last case starts with CLOCAL cleared on the port, whose
# carrier qemu models as down, and must end within 4 s: an open that waits
# for carrier is killed then, and the case fails on its exit status.
carrier_down() {
	local name=${case_names[-1]}
	case_setup[$name]="stty -F $port -clocal" case_limit[$name]=4
}

# What the driver reports for the test UART after the tools: RS-485 FLAGS,
# SPEED both ways, raw 8N1 with ICRNL left as found.
raw_port() {
	echo "rs485 flags=$1 before=0 after=0 ispeed=$2 ospeed=$2 csize=8 parenb=0 cstopb=0 crtscts=0" \
		"clocal=1 cread=1 icanon=0 echo=0 isig=0 opost=0 ixon=0 icrnl=1 vmin=0 vtime=0"
}
# A port nobody has configured yet: the serial core's initial termios, and
# RS-485 off; the driver presets RTS_ON_SEND (2) as the polarity to use
# once it is switched on.
fresh_port="rs485 flags=$fresh_flags before=0 after=0 ispeed=9600 ospeed=9600 csize=8 parenb=0 cstopb=0 crtscts=0"
fresh_port+=" clocal=1 cread=1 icanon=1 echo=1 isig=1 opost=1 ixon=1 icrnl=1 vmin=1 vtime=0"

# counter-sim plays modules 1 and 2, each starting at IN 10, OUT 20. The
# tool asks for flags 7; the 6.1 serial core keeps ENABLED | RTS_ON_SEND (3).
add_case counter "the UART starts without RS-485, cooked, at 9600" - "" \
	- "" "" "$fresh_port"
add_case counter "read module 1: its counts, RS-485 on, raw 8N1 left behind" - "pulvane -d -i 1 $port" \
	0 $'IN:00000010 OUT:00000020 \n' "" "$(raw_port 3 9600)"
add_case counter "reset module 1: OK" - "pulvane -r -i 1 $port" \
	0 $'OK\n' "" "$(raw_port 3 9600)"
add_case counter "module 1 reads zero after its reset" - "pulvane -d -i 1 $port" \
	0 $'IN:00000000 OUT:00000000 \n' "" "$(raw_port 3 9600)"
add_case counter "module 2 kept its counts" - "pulvane -d -i 2 $port" \
	0 $'IN:00000010 OUT:00000020 \n' "" "$(raw_port 3 9600)"
add_case counter "reset is the default operation: module 2 OK" - "pulvane -i 2 $port" \
	0 $'OK\n' "" "$(raw_port 3 9600)"
add_case counter "-b 19200 reaches the UART; module 2 reads zero" - "pulvane -b 19200 -d -i 2 $port" \
	0 $'IN:00000000 OUT:00000000 \n' "" "$(raw_port 3 19200)"
refusal_case="$(label_of "${plain_port#/dev/}") refuses RS-485: the message, nothing on its wire"
add_case counter "$refusal_case" - "pulvane -d $plain_port" \
	1 "" $'Unable to set rs495 mode\n' "$(raw_port 3 19200)"
add_case counter "carrier down, CLOCAL cleared: the open does not wait; module 1 reads zero" - "pulvane -d -i 1 $port" \
	0 $'IN:00000000 OUT:00000000 \n' "" "$(raw_port 3 9600)"
carrier_down

# at-sim starts as after power-on: echo on, lines ended by CR, which the
# port's ICRNL turns into LF. quorlet leaves RS-485 alone.
add_case at "ATI: the version line" 'ATI\n' "quorlet $port" \
	0 $'ELM327 v1.5\n' "" "$(raw_port 3 9600)"
add_case at "an unknown command: the question mark line" 'XYZ\n' "quorlet $port" \
	0 $'?\n' "" "$(raw_port 3 9600)"
add_case at "AT@1 at 38400" 'AT@1\n' "quorlet -b 38400 $port" \
	0 $'OBDII to RS232 Interpreter\n' "" "$(raw_port 3 38400)"
add_case at "a line without newline is refused after the port is set up" 'ATI' "quorlet $port" \
	1 "" $'invalid string\n' "$(raw_port 3 9600)"
add_case at "carrier down, CLOCAL cleared: the open does not wait; ATI answers" 'ATI\n' "quorlet $port" \
	0 $'ELM327 v1.5\n' "" "$(raw_port 3 9600)"
carrier_down

# write_cases DIR: one file per phase for the guest; no AT file when that
# phase is skipped.
write_cases() {
	local name
	: >"$1/counter"
	: >"$1/at"
	for name in "${case_names[@]}"; do
		[ "${case_phase[$name]}" = at ] && [ "$at_phase" = 0 ] && continue
		printf '%s\t%s\t%s\t%s\t%s\n' "$name" "${case_limit[$name]}" "${case_setup[$name]}" \
			"${case_input[$name]}" "${case_cmd[$name]}" >>"$1/${case_phase[$name]}"
	done
}

# squash TEXT: the words of TEXT, one blank between them.
squash() {
	local words
	read -ra words -d '' <<<"$1" || true
	echo "${words[*]}"
}

hex_of() {
	squash "$(printf '%s' "$1" | od -An -tx1 -v)"
}

# quoted_hex HEX: the bytes of HEX quoted for the reader, $'..' where needed.
quoted_hex() {
	local h text
	# shellcheck disable=SC2059
	text=$(printf "$(for h in $1; do printf '\\x%s' "$h"; done)"; echo .)
	printf '%q' "${text%.}"
}

passed=0 failed=0

# result NAME KEY: the value of "@@KEY ..." in the case's block.
result() {
	awk -v name="$1" -v key="@@$2" '
		$0 == "@@case " name { inside = 1; next }
		$0 == "@@end " name { inside = 0 }
		inside && (index($0, key " ") == 1 || $0 == key) { print substr($0, length(key) + 2); exit }' "$work/console.txt"
}

check_case() {
	local name=$1 got problems=()
	if ! grep -qxF "@@end $name" "$work/console.txt"; then
		problems+=("no result from the board")
	else
		if [ -n "${case_cmd[$name]}" ]; then
			got=$(result "$name" status)
			[ "$got" = "${want_status[$name]}" ] ||
				problems+=("exit status: want ${want_status[$name]}, got $got")
			got=$(squash "$(result "$name" stdout)")
			[ "$got" = "$(hex_of "${want_stdout[$name]}")" ] ||
				problems+=("stdout: want $(printf '%q' "${want_stdout[$name]}"), got $(quoted_hex "$got")")
			got=$(squash "$(result "$name" stderr)")
			[ "$got" = "$(hex_of "${want_stderr[$name]}")" ] ||
				problems+=("stderr: want $(printf '%q' "${want_stderr[$name]}"), got $(quoted_hex "$got")")
		fi
		got=$(result "$name" probe)
		[ "$got" = "${want_probe[$name]}" ] ||
			problems+=("port state: want ${want_probe[$name]}" "            got  $got")
		if [ "$name" = "$refusal_case" ] && [ -s "$work/plain.out" ]; then
			problems+=("bytes on the wire: $(hex_of "$(cat "$work/plain.out")")")
		fi
	fi
	note_port_result "$name" ${#problems[@]}
	if [ ${#problems[@]} -eq 0 ]; then
		echo "ok   $name${case_cmd[$name]:+ ($(result "$name" seconds) s)}"
		passed=$((passed + 1))
	else
		echo "FAIL $name"
		printf '       %s\n' "${problems[@]}"
		failed=$((failed + 1))
	fi
}

check_results() {
	local name
	tr -d '\r' <"$console" >"$work/console.txt"
	for name in "${case_names[@]}"; do
		[ "${case_phase[$name]}" = at ] && [ "$at_phase" = 0 ] && continue
		check_case "$name"
	done
	if [ -n "$failure" ]; then
		echo "FAIL the board run: $failure"
		failed=$((failed + 1))
	fi
	if [ "$failed" -gt 0 ] || [ "$always_show_console" = 1 ]; then
		show_console
	fi
	# The kernel's word on each RS-485 request, once per distinct message.
	sed -n 's/^@@dmesg \[[ 0-9.]*\] //p' "$work/console.txt" | sort | uniq -c |
		sed 's/^ *\([0-9]*\) \(.*\)/systest: guest kernel, \1 times: \2/'
	return 0
}

# note_port_result NAME PROBLEMS: what the table says about the case's
# phase on its UART (the command's last word): passed, refused as
# expected, or FAILED.
note_port_result() {
	local name=$1 key word
	[ -n "${case_cmd[$name]}" ] || return 0
	key="${case_phase[$name]} ${case_cmd[$name]##* }"
	word=passed
	[ "${want_stderr[$name]}" = $'Unable to set rs495 mode\n' ] && word="refused as expected"
	[ "$2" -eq 0 ] || word=FAILED
	[ "${port_result[$key]:-}" = FAILED ] || port_result[$key]=$word
}

# The board's rows of the table of UARTs, and the guest's glibc.
uart_table() {
	local line tty rest kernel message
	kernel=$(sed -n 's/^@@kernel //p' "$work/console.txt")
	echo "systest: guest glibc: $(sed -n 's/^@@glibc //p' "$work/console.txt")"
	echo "systest: | board | UART (driver) | kernel | TIOCSRS485 flags 7 | kernel message | counter | AT |"
	while read -r line; do
		tty=${line%% *} rest=${line#* }
		message=$(sed -n "s/^@@dmesg \[[ 0-9.]*\] \(.* $tty ([0-9]*): .*\)/\1/p" "$work/console.txt" | sort -u)
		echo "systest: | $board | $(label_of "$tty") (${rest%%:*}) | $kernel | ${rest#*: } | ${message:-none}" \
			"| ${port_result[counter /dev/$tty]:-not run} | ${port_result[at /dev/$tty]:-not run} |"
	done < <(sed -n 's/^@@uart //p' "$work/console.txt")
}

summary() {
	echo "$passed passed, $failed failed"
	[ "$failed" -eq 0 ]
}
