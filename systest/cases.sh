# SPDX-License-Identifier: MIT
# The cases of systest/run and their checks.
# shellcheck shell=bash
# shellcheck disable=SC2154 # work, console, failure, at_phase, always_show_console and the board's settings are systest/run's

# The phases in the order they may run: the tool whose cases each holds,
# and the simulator that plays the device on the port meanwhile ("-":
# none, the device does not read). In the rts phase the modules answer
# after 50 ms, not 20: pulvane -t puts RTS back from user space, and on an
# emulated board whose CPU the busy host holds back for tens of
# milliseconds the driver can read a 20 ms reply before the tool's RTS
# request, which on hardware comes within a scheduler tick of the frame.
# (Seen once in fifteen frames on virt64 under 5.10 while the host built
# packages.)
phase_table="
counter  pulvane  $counter_sim -m 12 -c 10,20 -v
auto     pulvane  $counter_sim -m 12 -c 10,20 -v
rts      pulvane  $counter_sim -m 12 -c 10,20 -v -D 50
at       quorlet  $at_sim -v
fast     quorlet  $at_sim -v
speed    pulvane  $counter_sim -m 12 -c 10,20 -v
unplug   quorlet  $at_sim -v -f split -g 3000
deaf     quorlet  -
"
# phase_field PHASE tool|sim
phase_field() {
	awk -v p="$1" -v f="$2" '$1 == p { if (f == "tool") print $2; else { $1 = $2 = ""; sub(/^ +/, ""); print } }' <<<"$phase_table"
}

# The cases, in order, and their fields (add_case), as cases[NAME/FIELD];
# every field is set, so that each is read as it stands.
case_names=()
case_fields=" cmd port stdin status stdout stderr stderr_or probe refused frames rts cell setup limit xfail wire wire_stopped hazard "
declare -A cases=() port_result=()

# The board's name for a UART, from uart_label: label_of ttyS1.
label_of() {
	local entry
	for entry in "${uart_label[@]}"; do
		[ "${entry%%=*}" = "$1" ] && { echo "${entry#*=}"; return 0; }
	done
	echo "$1"
}

# add_case PHASE NAME FIELD=VALUE...: a case of that phase, named once.
# What it expects is in its fields:
#   cmd      the command the guest runs; none: the case only reads the
#            port's state
#   port     the port the command uses [the test port]
#   stdin    a printf format fed to the command [none]
#   status, stdout, stderr  what the command must give [-, "", ""]
#   stderr_or  other stderrs it may give instead, each one line of it,
#            where the kernel's timing decides between them [none]
#   probe    the port's state afterwards, as rs485_probe prints it
#   refused  1: the driver refuses pulvane RS-485 there; nothing may reach
#            that port's wire
#   frames   pulvane's frames on the test port, each with RTS switched [1
#            for a pulvane on it that is not refused, else 0]
#   rts      board: those frames at the RTS levels the device tree set up
#            (pulvane -a kept them); t1, t0: at the levels pulvane -t 1 or
#            -t 0 sets, the receiver on [usual: the driver's own]
#   cell     the table's cell it counts in: counter, "counter -a",
#            "counter -t" or at [by the phase's tool]
#   setup    carrier-down (CLOCAL cleared first), rs485-off (RS-485
#            switched off first), unplug (the host pulls the adapter out
#            during the command) or cut (a link board's far end goes away
#            during the command, 1.5 s after its start) [-]
#   limit    seconds the command may take before it is killed [limit_case]
#   xfail    why it cannot pass on this board (an emulator's limit): it
#            must fail exactly so, the wire holding `wire` (a printf
#            format), or `wire_stopped` where the guest stopped in it
#   hazard   1: the guest may stop answering or lose its port in it; it
#            runs after the report
add_case() {
	local phase=$1 name=$2 kv f
	shift 2
	[ -z "${cases[$name/phase]:-}" ] || give_up "two cases are named '$name'"
	case_names+=("$name")
	for f in $case_fields; do
		cases[$name/$f]=''
	done
	cases[$name/phase]=$phase cases[$name/port]=$port cases[$name/stdin]=- cases[$name/setup]=-
	cases[$name/limit]=$limit_case cases[$name/status]=- cases[$name/rts]=usual
	for kv in "$@"; do
		[[ $case_fields == *" ${kv%%=*} "* ]] || give_up "case '$name' has no field ${kv%%=*}"
		cases[$name/${kv%%=*}]=${kv#*=}
	done
	if [ -z "${cases[$name/frames]}" ]; then
		cases[$name/frames]=0
		case ${cases[$name/cmd]} in
		pulvane\ *) [ "${cases[$name/port]}" != "$port" ] || [ -n "${cases[$name/refused]}" ] || cases[$name/frames]=1 ;;
		esac
	fi
	if [ -z "${cases[$name/cell]}" ]; then
		cases[$name/cell]='at'
		[ "$(phase_field "$phase" tool)" != pulvane ] || cases[$name/cell]=counter
	fi
}

# What the driver reports for the test port after the tools: RS-485 FLAGS
# ("none" where the driver has no RS-485 to read back), SPEED both ways,
# raw 8N1 with ICRNL left as found.
raw_port() {
	echo "rs485 $(rs485_part "$1") ispeed=$2 ospeed=$2 csize=8 parenb=0 cstopb=0 crtscts=0" \
		"clocal=1 cread=1 icanon=0 echo=0 isig=0 opost=0 ixon=0 icrnl=1 vmin=0 vtime=0"
}
rs485_part() {
	if [ "$1" = none ]; then echo none; else echo "flags=$1 before=0 after=0"; fi
}
# A port nobody has configured yet: the serial core's initial termios, and
# RS-485 off; a UART driver presets RTS_ON_SEND (2) as the polarity to use
# once it is switched on.
fresh_port="rs485 $(rs485_part "$fresh_flags") ispeed=9600 ospeed=9600 csize=8 parenb=0 cstopb=0 crtscts=0"
fresh_port+=" clocal=1 cread=1 icanon=1 echo=1 isig=1 opost=1 ixon=1 icrnl=1 vmin=1 vtime=0"
# RS-485 as the tools leave it: flags 7 asked for, and what the driver
# keeps (the board's kept: ENABLED | RTS_ON_SEND, 3, from the serial core
# of 6.1, 6.12 and 7.2); a USB adapter or a link has none. The AT phase switches it
# off first; what the driver keeps of flags 0 differs between kernels (the
# 8250 core of 6.1 keeps RTS_ON_SEND, 2; 6.12's nothing), so the cases
# after expect what the guest's switch reported ("@off", filled in by
# check_case).
off_kept=@off
if [ "$port_kind" != uart ]; then
	kept=none off_kept=none
fi
refused=$'Unable to set rs495 mode\n'

# qemu's model of the BCM2835 mini UART has no divisor latch: the 8250
# driver's divisor writes go out as data, one byte (the divisor's low byte)
# each time the speed is set, twice at the tool's open and set up. The
# divisor is the UART's base_baud over the rate, rounded: on the Pi 2
# (50,000,000) 'X' is 5208 at 9600, ',' 2604 at 19200, 0x16 1302 at 38400;
# on the Pi 4 (70,312,500) 0x9c is 7324, 'N' 3662, "'" 1831.
dlab_reason="qemu's mini UART model has no divisor latch: the divisor goes out as data"
# dlab_byte RATE: the divisor's low byte at RATE, as a printf escape.
dlab_byte() {
	printf '\\x%02x' $(((base_baud * 2 + $1) / ($1 * 2) & 0xff))
}
# dlab_stops RATE: the divisor's high byte, which lands in the interrupt-
# enable register, switches on the transmit interrupt (bit 1) behind the
# driver's back, after which the guest may stop answering: 0x0A at 19200
# on the Pi 2; 0x0E at 19200 and 0x07 at 38400 on the Pi 4. Such a case
# runs last, after the report, and a boot has only one last case: the
# board's mini_last names the one it runs (see boards.sh).
dlab_stops() {
	[ $(((base_baud * 2 + $1) / ($1 * 2) >> 8 & 2)) = 2 ]
}
# not_here NAME WHY: a case this boot leaves to another.
not_here=()
not_here() {
	not_here+=("$1: $2")
}

# five_at_once PHASE [OPTIONS [FIELD=VALUE...]]: five pulvane -d started at
# the same moment, for modules 1, 2, 1, 2 and 1 (module 1 read zero, module
# 2 at its first counts), take turns on the port: each gets its own
# module's counts. OPTIONS (-a, "-t 1") go to each run and name the
# table's cell; the fields are the case's, after its own.
five_at_once() {
	local phase=$1 opts=${2:-} cell=()
	shift $(($# < 2 ? $# : 2))
	[ -z "$opts" ] || cell=("cell=counter ${opts%% *}")
	add_case "$phase" "${opts:+$opts: }five runs at once take turns: each gets its own module's counts" \
		cmd="together $(for id in 1 2 1 2; do printf 'pulvane %s-d -i %s %s -- ' "${opts:+$opts }" "$id" "$port"; done)pulvane ${opts:+$opts }-d -i 1 $port" \
		status=0 stdout="$(printf 'IN:%s OUT:%s \n' 00000000 00000000 00000010 00000020 00000000 00000000 \
			00000010 00000020 00000000 00000000)"$'\n' probe="$(raw_port "$kept" 9600)" frames=5 "${cell[@]}" "$@"
}
# rts_cases PROBE-FLAGS: pulvane -t in a phase of its own (rts). All of
# them (the board's rts_cases): module 1 read, reset and read zero at 19200
# with -t 1, module 2 read at 19200 with -t 0, five runs taking turns with
# each level, and module 2 reset with -t 0; some: module 1 read with -t 1,
# module 2 read and reset with -t 0. The driver's RS-485 is never asked
# for; the port's flags stay PROBE-FLAGS.
rts_cases() {
	local t="cell=counter -t"
	add_case rts "-t 1: read module 1, RTS switched by the tool" cmd="pulvane -t 1 -d -i 1 $port" \
		status=0 stdout="$counts" probe="$(raw_port "$1" 9600)" rts=t1 "$t"
	if [ "$rts_cases" = some ]; then
		add_case rts "-t 0: read module 2" cmd="pulvane -t 0 -d -i 2 $port" \
			status=0 stdout="$counts" probe="$(raw_port "$1" 9600)" rts=t0 "$t"
	else
		add_case rts "-t 1: reset module 1: OK" cmd="pulvane -t 1 -r -i 1 $port" \
			status=0 stdout=$'OK\n' probe="$(raw_port "$1" 9600)" rts=t1 "$t"
		add_case rts "-t 1 -b 19200: module 1 reads zero" cmd="pulvane -t 1 -b 19200 -d -i 1 $port" \
			status=0 stdout="$zero" probe="$(raw_port "$1" 19200)" rts=t1 "$t"
		add_case rts "-t 0 -b 19200: read module 2" cmd="pulvane -t 0 -b 19200 -d -i 2 $port" \
			status=0 stdout="$counts" probe="$(raw_port "$1" 19200)" rts=t0 "$t"
		five_at_once rts "-t 1" probe="$(raw_port "$1" 9600)" rts=t1
		five_at_once rts "-t 0" probe="$(raw_port "$1" 9600)" rts=t0
	fi
	add_case rts "-t 0: reset module 2: OK" cmd="pulvane -t 0 -r -i 2 $port" \
		status=0 stdout=$'OK\n' probe="$(raw_port "$1" 9600)" rts=t0 "$t"
}

# refusal NAME COMMAND PORT PROBE: pulvane refused RS-485 on PORT.
refusal() {
	add_case counter "$1" cmd="$2" port="$3" status=1 stderr="$refused" probe="$4" refused=1
}
counts=$'IN:00000010 OUT:00000020 \n' zero=$'IN:00000000 OUT:00000000 \n'
carrier="carrier down, CLOCAL cleared: the open does not wait"

# The counter phase: counter-sim plays modules 1 and 2, each starting at
# IN 10, OUT 20. The tool asks for flags 7, or with -a for nothing.
if [ "$port_kind" = uart ] && [ "$port_refuses" = 1 ]; then
	# A driver without RS-485 for the port on this kernel: every run
	# of pulvane is refused, and nothing reaches the module.
	add_case counter "the UART starts without RS-485, cooked, at 9600" probe="$fresh_port"
	refusal "$(label_of "${port#/dev/}") refuses RS-485: the message, nothing on its wire" "pulvane -d -i 1 $port" \
		"$port" "$(raw_port "$fresh_flags" 9600)"
	[ -z "$plain_port" ] || refusal "$(label_of "${plain_port#/dev/}") refuses RS-485: the message, nothing on its wire" \
		"pulvane -d $plain_port" "$plain_port" "$(raw_port "$fresh_flags" 9600)"
	refusal "$carrier; RS-485 refused" "pulvane -d -i 1 $port" "$port" "$(raw_port "$fresh_flags" 9600)"
	cases[${case_names[-1]}/setup]=carrier-down cases[${case_names[-1]}/limit]=$limit_carrier
	# There pulvane -t switches RTS itself.
	rts_cases "$fresh_flags"
elif [ ${#dtb_set_props[@]} -gt 0 ]; then
	# The device tree set RS-485 up: on from boot, RTS active low. -a
	# keeps it, and its cases run first, while the port has the board's
	# settings; the frames show the board's RTS levels. Without -a the
	# request replaces them with the kernel's RTS_ON_SEND: the simulator,
	# with no transceiver, still answers, but on hardware wired for
	# active low that run would get no reply.
	add_case counter "the UART starts with the device tree's RS-485 (flags $fresh_flags), cooked, at 9600" probe="$fresh_port"
	add_case counter "-a: read module 1, the board's RS-485 kept" cmd="pulvane -a -d -i 1 $port" \
		status=0 stdout="$counts" probe="$(raw_port "$fresh_flags" 9600)" rts=board cell="counter -a"
	add_case counter "-a: reset module 1: OK, the board's RS-485 kept" cmd="pulvane -a -r -i 1 $port" \
		status=0 stdout=$'OK\n' probe="$(raw_port "$fresh_flags" 9600)" rts=board cell="counter -a"
	# With the driver's RS-485 on, the driver owns RTS: what -t's
	# requests do on the wire is the driver's.
	add_case counter "-t 1 with the device tree's RS-485 on: reset module 1, the board's levels on the wire" \
		cmd="pulvane -t 1 -r -i 1 $port" status=0 stdout=$'OK\n' probe="$(raw_port "$fresh_flags" 9600)" rts=board \
		cell="counter -t"
	add_case counter "without -a: module 1 reads zero; the board's RS-485 replaced (flags $kept)" \
		cmd="pulvane -d -i 1 $port" status=0 stdout="$zero" probe="$(raw_port "$kept" 9600)"
	# The AT cases are the PL011's own boot's.
	at_phase=0
	not_here "the AT cases" "the PL011's boot without the device tree's RS-485 runs them"
elif [ "$port_kind" = uart ]; then
	add_case counter "the UART starts without RS-485, cooked, at 9600" probe="$fresh_port"
	add_case counter "read module 1: its counts, RS-485 on, raw 8N1 left behind" cmd="pulvane -d -i 1 $port" \
		status=0 stdout="$counts" probe="$(raw_port "$kept" 9600)"
	add_case counter "reset module 1: OK" cmd="pulvane -r -i 1 $port" status=0 stdout=$'OK\n' probe="$(raw_port "$kept" 9600)"
	add_case counter "module 1 reads zero after its reset" cmd="pulvane -d -i 1 $port" \
		status=0 stdout="$zero" probe="$(raw_port "$kept" 9600)"
	add_case counter "module 2 kept its counts" cmd="pulvane -d -i 2 $port" \
		status=0 stdout="$counts" probe="$(raw_port "$kept" 9600)"
	# Not on the mini UART, whose divisor bytes go out at every open.
	[ "$no_dlab" = 1 ] || five_at_once counter
	add_case counter "reset is the default operation: module 2 OK" cmd="pulvane -i 2 $port" \
		status=0 stdout=$'OK\n' probe="$(raw_port "$kept" 9600)"
	[ "$no_dlab" = 1 ] || add_case counter "-b 19200 reaches the UART; module 2 reads zero" \
		cmd="pulvane -b 19200 -d -i 2 $port" status=0 stdout="$zero" probe="$(raw_port "$kept" 19200)"
	[ -z "$plain_port" ] || refusal "$(label_of "${plain_port#/dev/}") refuses RS-485: the message, nothing on its wire" \
		"pulvane -d $plain_port" "$plain_port" "$(raw_port "$kept" "$([ "$no_dlab" = 0 ] && echo 19200 || echo 9600)")"
	add_case counter "$carrier; module 1 reads zero" cmd="pulvane -d -i 1 $port" \
		status=0 stdout="$zero" probe="$(raw_port "$kept" 9600)" setup=carrier-down limit="$limit_carrier"
else
	# A USB adapter or a link: no RS-485 in the driver. On Bluetooth the
	# very first case is a run of quorlet right after the bind, whose
	# open starts the link (nothing else has opened the port before).
	if [ "$board" = rfcomm ]; then
		add_case at "the first run after the bind, the link not up at its open, is answered" stdin='ATI\n' \
			cmd="quorlet $port" status=0 stdout=$'ELM327 v1.5\n' probe="$(raw_port none 9600)"
	else
		add_case counter "the adapter starts without RS-485, cooked, at 9600" probe="$fresh_port"
	fi
	refusal "the adapter refuses RS-485: the message, nothing on its wire" "pulvane -d $port" "$port" "$(raw_port none 9600)"
	# An RS-485 adapter switches direction by itself: with -a, which
	# makes no request, the exchanges pass through it. A phase of their
	# own, so that the one before shows the refusal sent nothing.
	add_case auto "-a: read module 1 through the adapter" cmd="pulvane -a -d -i 1 $port" \
		status=0 stdout="$counts" probe="$(raw_port none 9600)" cell="counter -a"
	add_case auto "-a: reset module 1: OK" cmd="pulvane -a -r -i 1 $port" \
		status=0 stdout=$'OK\n' probe="$(raw_port none 9600)" cell="counter -a"
	# Over Bluetooth each run's connection is served by a simulator of
	# its own, which starts at its first counts.
	if [ "$board" != rfcomm ]; then
		add_case auto "-a: module 1 reads zero after its reset" cmd="pulvane -a -d -i 1 $port" \
			status=0 stdout="$zero" probe="$(raw_port none 9600)" cell="counter -a"
		add_case auto "-a -b 19200: module 2 kept its counts" cmd="pulvane -a -b 19200 -d -i 2 $port" \
			status=0 stdout="$counts" probe="$(raw_port none 19200)" cell="counter -a"
		five_at_once auto -a
		# Modem lines, so pulvane -t switches RTS there too: ftdi_sio
		# tells when its transmitter is empty, cdc-acm only drains.
		add_case auto "-t 1: read module 2" cmd="pulvane -t 1 -d -i 2 $port" \
			status=0 stdout="$counts" probe="$(raw_port none 9600)" cell="counter -t"
		add_case auto "-t 0: reset module 2: OK" cmd="pulvane -t 0 -r -i 2 $port" \
			status=0 stdout=$'OK\n' probe="$(raw_port none 9600)" cell="counter -t"
	fi
fi

# The AT phase: at-sim starts as after power-on: echo on, lines ended by
# CR, which the port's ICRNL turns into LF. A port facing an AT device is
# not in RS-485 mode, so it is switched off first: in RS-485 mode the 8250
# core clears the receive FIFO once the transmitter is empty, and drops
# whatever the device sent back before (a simulator on the emulator's
# socket answers at once). quorlet leaves RS-485 as it finds it. On the
# mini UART the divisor bytes before each line make at-sim answer "?"
# (dlab_xfail).
at9600='' at19200='' at38400=''
if [ "$no_dlab" = 1 ]; then
	at9600=$(dlab_byte 9600) at19200=$(dlab_byte 19200) at38400=$(dlab_byte 38400)
fi
# dlab_xfail BYTES [WHY]: sets xf to the fields of an AT case that, on the
# mini UART, fails for the divisor BYTES before its line (at-sim answers
# "?"); to none elsewhere.
dlab_xfail() {
	xf=()
	[ "$no_dlab" = 0 ] || xf=("xfail=$dlab_reason; at-sim gets $1 and answers ?${2:-}" "wire=$1\\r" "stdout=?"$'\n')
}
[ "$port_kind" != uart ] ||
	add_case at "RS-485 switched off for the AT device" probe="$(raw_port "$off_kept" 9600)" setup=rs485-off
dlab_xfail "${at9600}${at9600}ATI"
add_case at "ATI: the version line" stdin='ATI\n' cmd="quorlet $port" \
	status=0 stdout=$'ELM327 v1.5\n' probe="$(raw_port "$off_kept" 9600)" "${xf[@]}"
add_case at "an unknown command: the question mark line" stdin='XYZ\n' cmd="quorlet $port" \
	status=0 stdout=$'?\n' probe="$(raw_port "$off_kept" 9600)"
# at_fast PHASE [WHY]: AT@1 at 38400.
at_fast() {
	dlab_xfail "${at9600}${at9600}${at38400}AT@1" "${2:-}"
	add_case "$1" "AT@1 at 38400" stdin='AT@1\n' cmd="quorlet -b 38400 $port" \
		status=0 stdout=$'OBDII to RS232 Interpreter\n' probe="$(raw_port "$off_kept" 38400)" "${xf[@]}"
}
if [ "$no_dlab" = 0 ] || ! dlab_stops 38400; then
	at_fast at
elif [ "$mini_last" != fast ]; then
	not_here "AT@1 at 38400" "may stop the guest; the mini UART's other boot runs it"
fi
add_case at "a line without newline is refused after the port is set up" stdin='ATI' cmd="quorlet $port" \
	status=1 stderr=$'invalid string\n' probe="$(raw_port "$off_kept" 9600)"
dlab_xfail "${at9600}${at9600}ATI"
add_case at "$carrier; ATI answers" stdin='ATI\n' cmd="quorlet $port" status=0 stdout=$'ELM327 v1.5\n' \
	probe="$(raw_port "$off_kept" 9600)" setup=carrier-down limit="$limit_carrier" "${xf[@]}"

# The speed change on the mini UART: the 19200 divisor goes out before the
# frame, and its high byte lands in the interrupt-enable register, after
# which the guest may stop answering. So it runs last, after the report,
# with counter-sim back on the port.
if [ "$no_dlab" = 1 ] && dlab_stops 38400 && [ "$mini_last" = fast ]; then
	at_fast fast ", and may stop the guest"
	# The guest may stop before the command goes out: then the
	# divisor bytes alone.
	cases[AT@1 at 38400/hazard]=1 cases[AT@1 at 38400/limit]=$limit_hazard
	cases[AT@1 at 38400/wire_stopped]="${at9600}${at9600}${at38400}"
fi
if [ "$no_dlab" = 1 ] && [ "$mini_last" = speed ]; then
	add_case speed "-b 19200 reaches the UART; module 2 reads its counts" cmd="pulvane -b 19200 -d -i 2 $port" \
		status=0 stdout="$counts" probe="$(raw_port "$kept" 19200)" \
		xfail="$dlab_reason, and may stop the guest" wire="${at9600}${at19200}" hazard=1 limit="$limit_hazard"
elif [ "$no_dlab" = 1 ]; then
	not_here "-b 19200 on the mini UART" "may stop the guest; the mini UART's other boot runs it"
fi

# The adapter pulled out in the middle of an answer: at-sim splits ATI's
# answer with a pause, and the host deletes the adapter from the bus while
# quorlet waits for the rest. quorlet must print nothing and end with
# status 1 within its ten seconds; the guest goes on.
[ "$port_kind" != usb ] ||
	add_case unplug "the adapter pulled out during the answer: status 1, nothing printed, within 10 s" stdin='ATI\n' \
		cmd="quorlet $port" status=1 probe="$port: No such file or directory" setup=unplug limit="$limit_unplug_case" hazard=1

# A link's own cases. Over Bluetooth: five runs at once, each answered in
# turn over a connection of its own; a channel nobody listens on, whose
# link is refused and the tty hung up about 30 ms after the open (before
# the port is set up, before quorlet's write or after it: three ways to
# fail, each with status 1); and the far end closing during the answer. Over USB ACM: a device that does not read what it is sent, the
# run's line left queued; and the device unplugged during the answer. Each
# ends within the run's ten seconds, with nothing printed.
if [ "$board" = rfcomm ]; then
	add_case at "five runs at once take turns: each is answered" stdin='ATI\n' \
		cmd="together$(for _ in 1 2 3 4; do printf ' quorlet %s --' "$port"; done) quorlet $port" \
		status=0 stdout="$(printf 'ELM327 v1.5\n%.0s' 1 2 3 4 5)"$'\n' probe="$(raw_port none 9600)"
	add_case at "a channel nobody listens on: status 1, nothing printed, within 10 s" stdin='ATI\n' \
		cmd="quorlet /dev/rfcomm1" port=/dev/rfcomm1 status=1 stderr_or=$'Unable to open /dev/rfcomm1\nfailed to send string to port\n' \
		probe="$(raw_port none 9600)" limit="$limit_unplug_case"
	add_case unplug "the far end closing during the answer: status 1, nothing printed, within 10 s" \
		stdin='ATI\n' cmd="quorlet $port" status=1 probe="$(raw_port none 9600)" setup=cut \
		limit="$limit_unplug_case" hazard=1
elif [ "$board" = acm ]; then
	add_case deaf "a device that does not read: status 1, nothing printed, within 10 s" stdin='ATI\n' \
		cmd="quorlet $port" status=1 probe="$(raw_port none 9600)" limit="$limit_unplug_case"
	add_case unplug "the device unplugged during the answer: status 1, nothing printed, within 10 s" stdin='ATI\n' \
		cmd="quorlet $port" status=1 probe="$port: No such file or directory" setup=cut limit="$limit_unplug_case" hazard=1
fi

# The phases in the order they run, each with its simulator on the port.
phases=()
for name in "${case_names[@]}"; do
	case " ${phases[*]} " in *" ${cases[$name/phase]} "*) ;; *) phases+=("${cases[$name/phase]}") ;; esac
done

# write_cases DIR: the phases in order and one file of cases per phase for
# the guest, the AT phases left out when they are skipped. The report (the
# kernel's messages, the userland, the UARTs) comes after the cases, or
# before the first case that may stop the guest or take its port away.
write_cases() {
	local name phase reported=0 sim
	: >"$1/phases"
	for phase in "${phases[@]}"; do
		[ "$at_phase" = 1 ] || [ "$(phase_field "$phase" tool)" != quorlet ] || continue
		echo "$phase" >>"$1/phases"
		: >"$1/$phase"
	done
	for name in "${case_names[@]}"; do
		phase=${cases[$name/phase]}
		[ -e "$1/$phase" ] || continue
		if [ -n "${cases[$name/hazard]}" ] && [ "$reported" = 0 ]; then
			printf '@report\t-\t-\t-\t\n' >>"$1/$phase"
			reported=1
		fi
		printf '%s\t%s\t%s\t%s\t%s\n' "$name" "${cases[$name/limit]}" "${cases[$name/setup]}" \
			"${cases[$name/stdin]}" "${cases[$name/cmd]}" >>"$1/$phase"
	done
	[ "$reported" = 1 ] || printf '@report\t-\t-\t-\t\n' >>"$1/$(tail -n 1 "$1/phases")"
	# A link board serves each phase's simulator in the guest, the board's
	# own build of it under its plain name.
	[ -z "$link" ] || while read -r phase; do
		read -ra sim <<<"$(phase_field "$phase" sim)"
		[ "${sim[0]}" != - ] || sim=()
		printf '%s\t%s\n' "$phase" "${sim[0]:+${sim[0]##*/} ${sim[*]:1}}"
	done <"$1/phases" >"$1/sims"
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

# wire_has FORMAT: the bytes the guest sent on the test port hold FORMAT.
wire_has() {
	local want
	want=$(hex_of "$(printf "$1"; echo .)")
	want=${want% 2e}
	case " $(squash "$(od -An -tx1 -v "$work/wire.out" 2>/dev/null)") " in
	*" $want "*) return 0 ;;
	*) return 1 ;;
	esac
}

# other_stderr NAME HEX: HEX is one of the case's stderr_or lines.
other_stderr() {
	local line
	while IFS= read -r line; do
		[ -z "$line" ] || [ "$2" != "$(hex_of "$line"$'\n')" ] || return 0
	done <<<"${cases[$1/stderr_or]}"
	return 1
}

check_case() {
	local name=$1 got want off wire problems=() note='' phase cmd xfail
	phase=${cases[$name/phase]} cmd=${cases[$name/cmd]} xfail=${cases[$name/xfail]}
	if [ "$name" = "$hung_case" ] && ! grep -qxF "@@end $name" "$work/console.txt"; then
		# Expected of this case: the guest may stop answering in it.
		note="; the guest stopped answering"
	elif ! grep -qxF "@@end $name" "$work/console.txt"; then
		problems+=("no result from the board")
	else
		if [ -n "$cmd" ]; then
			got=$(result "$name" status)
			[ "$got" = "${cases[$name/status]}" ] ||
				problems+=("exit status: want ${cases[$name/status]}, got $got")
			for want in stdout stderr; do
				got=$(squash "$(result "$name" "$want")")
				[ "$got" = "$(hex_of "${cases[$name/$want]}")" ] || { [ "$want" = stderr ] && other_stderr "$name" "$got"; } ||
					problems+=("$want: want $(printf '%q' "${cases[$name/$want]}")${cases[$name/stderr_or]:+ or a line of $(printf '%q' "${cases[$name/stderr_or]}")}, got $(quoted_hex "$got")")
			done
		fi
		got=$(result "$name" probe)
		want=${cases[$name/probe]}
		if [[ $want == *flags=@off* ]]; then
			# What the driver kept of flags 0; a driver without RS-485
			# refused the switch and keeps what it had.
			off=$(sed -n 's/^@@rs485off off, flags 0 kept as \([0-9]*\)$/\1/p' "$work/console.txt" | sed -n 1p)
			[ "${cases[$name/setup]}" != rs485-off ] || [ $((${off:-0} % 2)) = 0 ] ||
				problems+=("RS-485 still on after flags 0: kept as $off")
			want=${want//@off/${off:-$fresh_flags}}
		fi
		[ "$got" = "$want" ] ||
			problems+=("port state: want $want" "            got  $got")
		if [ -n "${cases[$name/refused]}" ]; then
			# Nothing may reach the refusing port's wire: the plain
			# UART's file, or the test port in the first phase.
			if [ "${cases[$name/port]}" = "$port" ]; then
				[ "${wire_end[$phase]:-1}" = 0 ] ||
					problems+=("$([ -n "$link" ] && echo "requests the device heard" || echo "bytes on the wire") in the $phase phase: ${wire_end[$phase]:-unknown}")
			elif [ -s "$work/plain.out" ]; then
				problems+=("bytes on the wire: $(hex_of "$(cat "$work/plain.out")")")
			fi
		fi
		case ${cases[$name/setup]} in
		unplug | cut)
			# Ten polls a second apart, and no more.
			got=$(result "$name" seconds)
			awk -v s="$got" 'BEGIN { exit !(s != "" && s < 10.9) }' ||
				problems+=("took $got s, more than its ten seconds")
			grep -qxF "@@done" "$work/console.txt" || problems+=("the guest did not go on after it")
			;;&
		unplug)
			[ -n "${t_unplug:-}" ] || problems+=("the adapter was not pulled out")
			grep -q "^@@later .*disconnected from ${port#/dev/}" "$work/console.txt" ||
				problems+=("the guest's kernel did not report the adapter gone")
			;;
		cut) grep -qxF "@@cut $name" "$work/console.txt" || problems+=("the far end did not go away") ;;
		esac
	fi
	if [ -n "$xfail" ]; then
		wire=${cases[$name/wire]}
		[ -z "$note" ] || [ -z "${cases[$name/wire_stopped]}" ] || wire=${cases[$name/wire_stopped]}
		wire_has "$wire" ||
			problems+=("the limit's signature is missing: no $(printf '%q' "$(printf "$wire")") on the wire")
		note=" (expected failure: $xfail$note)"
	fi
	note_port_result "$name" ${#problems[@]}
	if [ ${#problems[@]} -eq 0 ]; then
		echo "ok   $name${cmd:+ ($(result "$name" seconds) s)}$note"
		passed=$((passed + 1))
	else
		echo "FAIL $name${xfail:+ (expected to fail only so: $xfail)}"
		printf '       %s\n' "${problems[@]}"
		failed=$((failed + 1))
	fi
}

check_results() {
	local name phase heard bug
	tr -d '\r' <"$console" >"$work/console.txt"
	# A link board's far end is in the guest, which counts what it heard.
	if [ -n "$link" ]; then
		while read -r phase heard; do
			wire_end[$phase]=$heard
		done < <(sed -n 's/^@@heard //p' "$work/console.txt")
	fi
	for name in "${case_names[@]}"; do
		grep -qxF "${cases[$name/phase]}" "$work/root/cases/phases" || continue
		check_case "$name"
	done
	check_board
	check_wire
	[ ${#not_here[@]} -eq 0 ] || printf 'not run in this boot: %s\n' "${not_here[@]}"
	if [ -n "$failure" ]; then
		# What the guest's kernel said when it stopped, if anything.
		bug=$(grep -m 1 -e 'kernel BUG at' -e 'Unable to handle' -e 'Internal error:' "$work/console.txt" | sed 's/^\[[ 0-9.]*\] //')
		echo "FAIL the board run: $failure${bug:+; its kernel said: $bug}"
		failed=$((failed + 1))
	fi
	if [ "$failed" -gt 0 ] || [ "$always_show_console" = 1 ]; then
		show_console
	fi
	# The kernel's word on each RS-485 request, once per distinct message.
	sed -n 's/^@@dmesg \[[ 0-9.]*\] //p' "$work/console.txt" | sort | uniq -c |
		sed 's/^ *\([0-9]*\) \(.*\)/systest: guest kernel, \1 times: \2/'
	sed -n 's/^@@later \(.*\)/systest: guest kernel, after the report: \1/p' "$work/console.txt"
	return 0
}

# check_board: what the guest's report says of the board itself: the tools
# that ran are the userland's, and the mini UART's base_baud, from which
# the divisor bytes on its wire were worked out, is the board's.
check_board() {
	grep -q '^@@kernel ' "$work/console.txt" || return 0
	board_fact "$(sed -n 's/^@@tools //p' "$work/console.txt")" "$userland" \
		"the $userland tools ran" "the tools that ran: want $userland"
	[ "$no_dlab" = 1 ] || return 0
	board_fact "$(sed -n "s/^@@base_baud ${port#/dev/} //p" "$work/console.txt")" "$base_baud" \
		"${port#/dev/}'s base_baud is $base_baud, as the divisor bytes expected on its wire assume" \
		"${port#/dev/}'s base_baud: want $base_baud (the board's data)"
}

# board_fact GOT WANT OK-TEXT FAIL-TEXT: one check of check_board, counted.
board_fact() {
	if [ "$1" = "$2" ]; then
		echo "ok   $3"
		passed=$((passed + 1))
	else
		echo "FAIL $4, got ${1:-no word}"
		failed=$((failed + 1))
	fi
}

# note_port_result NAME PROBLEMS: what the table says about the case's
# cell on its port: passed, refused as expected, or FAILED.
note_port_result() {
	local name=$1 key word
	[ -n "${cases[$name/cmd]}" ] || return 0
	key="${cases[$name/cell]} ${cases[$name/port]}"
	word=passed
	[ -z "${cases[$name/refused]}" ] || word="refused as expected"
	[ -z "${cases[$name/xfail]}" ] || word="expected failure (qemu)"
	[ "$2" -eq 0 ] || word=FAILED
	[ "$word" = passed ] && [ "${port_result[$key]:-}" = "expected failure (qemu)" ] && return 0
	[ "${port_result[$key]:-}" = FAILED ] || port_result[$key]=$word
}

# The board's rows of the table of UARTs, printed and added to the run's
# table file; and the guest's glibc.
uart_table() {
	local line tty rest kernel message tools clock row
	kernel=$(sed -n 's/^@@kernel //p' "$work/console.txt")
	echo "systest: guest glibc: $(sed -n 's/^@@glibc //p' "$work/console.txt")"
	tools=$(sed -n 's/^@@tools //p' "$work/console.txt")
	echo "systest: $table_header"
	while read -r line; do
		tty=${line%% *} rest=${line#* }
		message=$(sed -n "s/^@@dmesg \[[ 0-9.]*\] \(.* $tty ([0-9]*): .*\)/\1/p" "$work/console.txt" | sort -u)
		clock=$(sed -n "s/^@@base_baud $tty //p" "$work/console.txt")
		row="| $board | $(label_of "$tty") (${rest%%:*}) | $kernel | $tools tools | ${rest#*: } | ${message:-none}"
		row+=" | ${clock:-none} | ${port_result[counter /dev/$tty]:-not run}${port_result[counter -a /dev/$tty]:+; with -a ${port_result[counter -a /dev/$tty]}}"
		row+="${port_result[counter -t /dev/$tty]:+; with -t ${port_result[counter -t /dev/$tty]}}"
		row+=" | ${port_result[at /dev/$tty]:-not run} | ${wire_cell[$tty]:-not seen} |"
		echo "systest: $row"
		echo "$row" >>"$table"
	done < <(sed -n 's/^@@uart //p' "$work/console.txt")
}

summary() {
	echo "$passed passed, $failed failed"
	[ "$failed" -eq 0 ]
}
