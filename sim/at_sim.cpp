// SPDX-License-Identifier: MIT
// at-sim: plays an AT-command interface of the ELM327 kind on a serial line,
// so that quorlet and the scripts around it can be tried without hardware.
// The device's settings (echo, linefeeds) last from one connection of a
// tool to the next, as on a real adapter, until ATZ.
//
//   at-sim -p [options]          new pseudo-terminal; prints its path
//   at-sim -t /dev/ttyUSB0 [-b 9600] [options]
//   at-sim -u /path/to/socket [options]
//   at-sim -F fd [options]

#include <cstdio>
#include <unistd.h>

#include "sim/at_serve.hpp"
#include "sim/line_choice.hpp"

namespace {

void usage(std::FILE *to)
{
	std::fputs("usage: at-sim (-p | -t TTY [-b RATE] | -u SOCKET | -F FD) [options]\n"
		   "  -p          serve a new pseudo-terminal; its path is printed on stdout\n"
		   "  -t TTY      serve an existing tty (a real serial adapter), raw 8N1\n"
		   "  -b RATE     speed for -t (default 9600)\n"
		   "  -u SOCKET   connect to a unix stream socket and serve it\n"
		   "  -F FD       serve an inherited, already open descriptor\n"
		   "  -e          echo off at power-on (as after ATE0)\n"
		   "  -l          linefeeds on at power-on (as after ATL1)\n"
		   "  -N          no vehicle: OBD requests end in UNABLE TO CONNECT\n"
		   "  -D MS       answer delay in milliseconds (default 0)\n"
		   "  -r MS       ATZ: time to the banner (default 700)\n"
		   "  -s MS       first OBD request: time spent searching (default 2000)\n"
		   "  -f FAULT    none, no-prompt, split, trailer, nul, flood or padded\n"
		   "              (default none)\n"
		   "  -g MS       split: gap between the lines of an answer (default 1500)\n"
		   "  -P N        padded: the prompt is byte N of each answer (default 255)\n"
		   "  -n N        exit after answering N commands (default: serve for ever)\n"
		   "  -v          log each command on stderr\n",
		   to);
}

} // namespace

int main(int argc, char *argv[])
{
	at_device_config config;
	at_serve_options options;
	line_choice choice;
	long n;
	int opt;
	while ((opt = getopt(argc, argv, LINE_CHOICE_OPTIONS "elND:r:s:f:g:P:n:vh")) != -1) {
		switch (line_choice_option(choice, opt, optarg)) {
		case line_option::taken:
			continue;
		case line_option::bad:
			return usage(stderr), 2;
		case line_option::not_mine:
			break;
		}
		switch (opt) {
		case 'e':
			config.echo = false;
			break;
		case 'l':
			config.linefeeds = true;
			break;
		case 'N':
			config.vehicle = false;
			break;
		case 'D':
		case 'r':
		case 's':
		case 'g':
			if (!parse_long(optarg, 0, 60000, n))
				return usage(stderr), 2;
			(opt == 'D'   ? config.answer_delay_ms
			 : opt == 'r' ? config.reset_ms
			 : opt == 's' ? config.search_ms
				      : config.split_gap_ms) = static_cast<int>(n);
			break;
		case 'f':
			if (!at_fault_from_name(optarg, config.fault))
				return usage(stderr), 2;
			break;
		case 'P':
			if (!parse_long(optarg, 1, 4096, n))
				return usage(stderr), 2;
			config.prompt_at = static_cast<std::size_t>(n);
			break;
		case 'n':
			if (!parse_long(optarg, 0, 1000000, n))
				return usage(stderr), 2;
			options.max_commands = static_cast<int>(n);
			break;
		case 'v':
			options.log = stderr;
			break;
		case 'h':
			usage(stdout);
			return 0;
		default:
			usage(stderr);
			return 2;
		}
	}
	if (!line_choice_complete(choice)) {
		usage(stderr);
		return 2;
	}

	device_line line;
	if (int status = line_choice_open(choice, line, "at-sim"))
		return status;

	at_device device(config);
	return at_serve(line, device, options);
}
