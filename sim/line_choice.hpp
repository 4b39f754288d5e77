// SPDX-License-Identifier: MIT
// The simulators' common front end: which device line to serve, chosen on
// the command line as one of
//   -p          a new pseudo-terminal, whose slave path is printed on stdout
//   -t TTY      an existing tty (a real serial adapter), with -b RATE
//   -u SOCKET   a unix stream socket to connect to (an emulator's UART)
//   -F FD       an inherited, already open descriptor
#pragma once

#include <cstdint>

#include "sim/device_line.hpp"

// The getopt letters taken here, to be put into a simulator's option string.
#define LINE_CHOICE_OPTIONS "pt:b:u:F:"

struct line_choice {
	bool pty = false;
	const char *tty = nullptr;
	const char *rate = "9600";
	const char *socket_path = nullptr;
	long inherited = -1;
};

enum class line_option : std::uint8_t {
	not_mine, // the option is the simulator's own
	taken,
	bad,      // a bad argument
};

// Takes `opt` (with getopt's `arg`) if it is one of the line options.
line_option line_choice_option(line_choice &choice, int opt, const char *arg);

// True when exactly one way to the line was chosen.
bool line_choice_complete(const line_choice &choice);

// Opens the chosen line. For a pseudo-terminal the slave path is printed as
// the one line on stdout, for scripts to pick up. On failure a message
// starting with `program` goes to stderr and the exit status to use is
// returned (1, or 2 for a bad rate); 0 on success.
int line_choice_open(const line_choice &choice, device_line &line, const char *program);

// Parses a decimal in [min, max]; false if `text` is anything else.
bool parse_long(const char *text, long min, long max, long &value);
