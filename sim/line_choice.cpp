// SPDX-License-Identifier: MIT
#include "sim/line_choice.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool parse_long(const char *text, long min, long max, long &value)
{
	char *end = nullptr;
	errno = 0;
	long v = std::strtol(text, &end, 10);
	if (errno != 0 || end == text || *end != '\0' || v < min || v > max)
		return false;
	value = v;
	return true;
}

line_option line_choice_option(line_choice &choice, int opt, const char *arg)
{
	switch (opt) {
	case 'p':
		choice.pty = true;
		return line_option::taken;
	case 't':
		choice.tty = arg;
		return line_option::taken;
	case 'b':
		choice.rate = arg;
		return line_option::taken;
	case 'u':
		choice.socket_path = arg;
		return line_option::taken;
	case 'F':
		return parse_long(arg, 0, 65535, choice.inherited) ? line_option::taken : line_option::bad;
	default:
		return line_option::not_mine;
	}
}

bool line_choice_complete(const line_choice &choice)
{
	return choice.pty + (choice.tty != nullptr) + (choice.socket_path != nullptr) + (choice.inherited >= 0) == 1;
}

int line_choice_open(const line_choice &choice, device_line &line, const char *program)
{
	if (choice.pty) {
		if (!line_open_pty(line)) {
			std::fprintf(stderr, "%s: pseudo-terminal: %s\n", program, std::strerror(errno));
			return 1;
		}
		std::printf("%s\n", line.slave_path.c_str());
		std::fflush(stdout);
	} else if (choice.tty) {
		speed_t speed = line_speed(choice.rate);
		if (speed == B0) {
			std::fprintf(stderr, "%s: unknown rate %s\n", program, choice.rate);
			return 2;
		}
		if (!line_open_tty(line, choice.tty, speed)) {
			std::fprintf(stderr, "%s: cannot open %s: %s\n", program, choice.tty, std::strerror(errno));
			return 1;
		}
	} else if (choice.socket_path) {
		if (!line_connect_unix(line, choice.socket_path)) {
			std::fprintf(stderr, "%s: cannot connect to %s: %s\n", program, choice.socket_path,
				     std::strerror(errno));
			return 1;
		}
	} else {
		line_adopt_fd(line, static_cast<int>(choice.inherited));
	}
	return 0;
}
