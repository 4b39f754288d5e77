// SPDX-License-Identifier: MIT
// counter-sim: plays one or two in/out counter modules on a serial line, so
// that pulvane and the scripts around it can be tried without hardware.
//
//   counter-sim -p [options]          new pseudo-terminal; prints its path
//   counter-sim -t /dev/ttyUSB0 [-b 9600] [options]
//   counter-sim -u /path/to/socket [options]
//   counter-sim -F fd [options]

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "sim/counter_serve.hpp"
#include "sim/line_choice.hpp"

namespace {

void usage(std::FILE *to)
{
	std::fputs("usage: counter-sim (-p | -t TTY [-b RATE] | -u SOCKET | -F FD) [options]\n"
		   "  -p          serve a new pseudo-terminal; its path is printed on stdout\n"
		   "  -t TTY      serve an existing tty (a real serial adapter), raw 8N1\n"
		   "  -b RATE     speed for -t (default 9600)\n"
		   "  -u SOCKET   connect to a unix stream socket and serve it\n"
		   "  -F FD       serve an inherited, already open descriptor\n"
		   "  -m WHICH    modules played: 1, 2 or 12 (default 12)\n"
		   "  -c IN,OUT   starting counts of every module played (default 0,0)\n"
		   "  -D MS       reply delay in milliseconds (default 20)\n"
		   "  -f FAULT    none, mute, garbage, split or other-head (default none)\n"
		   "  -g MS       gap between the two pieces of a split reply (default 300)\n"
		   "  -n N        exit after answering N requests (default: serve for ever)\n"
		   "  -v          log each request on stderr\n",
		   to);
}

} // namespace

int main(int argc, char *argv[])
{
	counter_module_config config;
	counter_serve_options options;
	line_choice choice;
	long n;
	int opt;
	while ((opt = getopt(argc, argv, LINE_CHOICE_OPTIONS "m:c:D:f:g:n:vh")) != -1) {
		switch (line_choice_option(choice, opt, optarg)) {
		case line_option::taken:
			continue;
		case line_option::bad:
			return usage(stderr), 2;
		case line_option::not_mine:
			break;
		}
		switch (opt) {
		case 'm':
			config.plays = {std::strchr(optarg, '1') != nullptr, std::strchr(optarg, '2') != nullptr};
			break;
		case 'c': {
			// Two decimals, neither negative nor followed by other text
			// nor out of range.
			const char *comma = std::strchr(optarg, ',');
			long in = 0, out = 0;
			if (!comma || !parse_long(std::string(optarg, static_cast<std::size_t>(comma - optarg)).c_str(), 0, LONG_MAX, in) ||
			    !parse_long(comma + 1, 0, LONG_MAX, out))
				return usage(stderr), 2;
			config.in = {static_cast<unsigned long>(in), static_cast<unsigned long>(in)};
			config.out = {static_cast<unsigned long>(out), static_cast<unsigned long>(out)};
			break;
		}
		case 'D':
			if (!parse_long(optarg, 0, 60000, n))
				return usage(stderr), 2;
			options.delay_ms = static_cast<int>(n);
			break;
		case 'f':
			if (!counter_fault_from_name(optarg, config.fault))
				return usage(stderr), 2;
			break;
		case 'g':
			if (!parse_long(optarg, 0, 60000, n))
				return usage(stderr), 2;
			options.split_gap_ms = static_cast<int>(n);
			break;
		case 'n':
			if (!parse_long(optarg, 0, 1000000, n))
				return usage(stderr), 2;
			options.max_frames = static_cast<int>(n);
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
	if (int status = line_choice_open(choice, line, "counter-sim"))
		return status;

	counter_module module(config);
	return counter_serve(line, module, options);
}
