// SPDX-License-Identifier: MIT
#include "tests/support/port_settings.hpp"

#include <cstdio>
#include <unistd.h>

#include "tests/support/baud_rate.h"
#include "tests/support/tool_run.hpp"

struct termios make_port_dirty(int fd, tcflag_t *uart_cflag)
{
	struct termios tio {};
	tcgetattr(fd, &tio);
	tio.c_cflag |= PARENB | CSTOPB | CRTSCTS;
	tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CLOCAL);
	tio.c_cflag |= CS7;
	tio.c_lflag |= ICANON | ECHO | ECHOE | ISIG;
	tio.c_iflag |= IXON | IXOFF | IXANY | ICRNL | INLCR;
	tio.c_oflag |= OPOST;
	tio.c_cc[VMIN] = 5;
	tio.c_cc[VTIME] = 3;
	cfsetispeed(&tio, B38400);
	cfsetospeed(&tio, B38400);
	tcsetattr(fd, TCSANOW, &tio);
	if (uart_cflag)
		*uart_cflag = tio.c_cflag & ~static_cast<tcflag_t>(CREAD);
	struct termios held {};
	tcgetattr(fd, &held);
	return held;
}

struct termios expected_after_setup(struct termios before, speed_t speed)
{
	struct termios t = before;
	t.c_cflag |= CLOCAL | CREAD;
	t.c_cflag &= ~static_cast<tcflag_t>(PARENB | CSTOPB | CSIZE | CRTSCTS);
	t.c_cflag |= CS8;
	t.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ISIG);
	t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
	t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
	t.c_cc[VMIN] = 0;
	t.c_cc[VTIME] = 0;
	cfsetispeed(&t, speed);
	cfsetospeed(&t, speed);
	return t;
}

namespace {

void add_bits(std::string &out, const char *name, unsigned long want, unsigned long got)
{
	if (want == got)
		return;
	char line[160];
	std::snprintf(line, sizeof line, "%s: want %#lo, got %#lo (differing bits %#lo)\n", name, want, got, want ^ got);
	out += line;
}

void add_rate(std::string &out, const char *name, unsigned long want, unsigned long got)
{
	if (want == got)
		return;
	char line[160];
	std::snprintf(line, sizeof line, "%s: want %lu bit/s, got %lu bit/s\n", name, want, got);
	out += line;
}

// Every flag word and the two control characters the set-up touches.
std::string flags_diff(const struct termios &want, const struct termios &got)
{
	std::string out;
	add_bits(out, "c_iflag", want.c_iflag, got.c_iflag);
	add_bits(out, "c_oflag", want.c_oflag, got.c_oflag);
	add_bits(out, "c_cflag", want.c_cflag, got.c_cflag);
	add_bits(out, "c_lflag", want.c_lflag, got.c_lflag);
	add_bits(out, "VMIN", want.c_cc[VMIN], got.c_cc[VMIN]);
	add_bits(out, "VTIME", want.c_cc[VTIME], got.c_cc[VTIME]);
	return out;
}

} // namespace

std::string settings_diff(const struct termios &want, const struct termios &got)
{
	std::string out = flags_diff(want, got);
	add_rate(out, "input speed", baud_rate(cfgetispeed(&want)), baud_rate(cfgetispeed(&got)));
	add_rate(out, "output speed", baud_rate(cfgetospeed(&want)), baud_rate(cfgetospeed(&got)));
	return out;
}

std::string request_diff(const struct termios &want, const std::string &path)
{
	std::string log = read_file(path);
	unlink(path.c_str());
	struct termios got {};
	int when = -1;
	unsigned vmin = 0, vtime = 0;
	unsigned long ispeed = 0, ospeed = 0;
	int n = std::sscanf(log.c_str(),
			    "fd=%*d when=%d iflag=%o oflag=%o cflag=%o lflag=%o vmin=%u vtime=%u ispeed=%lu ospeed=%lu",
			    &when, &got.c_iflag, &got.c_oflag, &got.c_cflag, &got.c_lflag, &vmin, &vtime, &ispeed,
			    &ospeed);
	if (n != 9 || log.find('\n') != log.size() - 1 || when != TCSANOW)
		return "not one tcsetattr with TCSANOW: " + log;
	got.c_cc[VMIN] = static_cast<cc_t>(vmin);
	got.c_cc[VTIME] = static_cast<cc_t>(vtime);
	// The speeds as the library read them from the request, in bits per
	// second: from glibc 2.42 on they are not in c_cflag, and the library
	// may be built against another glibc than this test.
	std::string out = flags_diff(want, got);
	add_rate(out, "input speed", baud_rate(cfgetispeed(&want)), ispeed);
	add_rate(out, "output speed", baud_rate(cfgetospeed(&want)), ospeed);
	return out;
}
