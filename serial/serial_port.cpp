// SPDX-License-Identifier: MIT
#include "serial/serial_port.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace {

// A caller started with stdin, stdout or stderr closed would otherwise get
// the port on that number, and the tool's own messages or results would be
// written to the device. Move the port above the standard streams; the
// stream stays closed, so writing to it fails as it should.
int above_std_streams(int fd)
{
	if (fd > STDERR_FILENO)
		return fd;
	int moved = fcntl(fd, F_DUPFD, STDERR_FILENO + 1);
	close(fd);
	return moved;
}

} // namespace

int serial_open(const char *path, speed_t speed)
{
	// O_NONBLOCK already at open: on a port without CLOCAL whose carrier is
	// down a blocking open waits for carrier, possibly for ever.
	int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
	if (fd < 0)
		return -1;
	fd = above_std_streams(fd);
	if (fd < 0)
		return -1;

	// O_NONBLOCK alone: every other status flag is cleared.
	fcntl(fd, F_SETFL, O_NONBLOCK);

	struct termios tio {};
	// Not a tty (a regular file, say): there is nothing to build on, and
	// the port is used as it is.
	if (tcgetattr(fd, &tio) != 0)
		return fd;

	// Older glibc sets both directions with cfsetispeed alone; from 2.42 on
	// it sets only the input speed. Setting the output speed to the same
	// code gives the same result on both.
	cfsetispeed(&tio, speed);
	cfsetospeed(&tio, speed);

	// 8N1, receiver on, modem lines and hardware flow control ignored.
	tio.c_cflag |= CLOCAL | CREAD;
	tio.c_cflag &= ~static_cast<tcflag_t>(PARENB);
	tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
	tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE);
	tio.c_cflag |= CS8;
	tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);

	// No line editing, echo or signals.
	tio.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHOE | ISIG);
	// No software flow control.
	tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
	// Bytes go out as written.
	tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);

	// Together with O_NONBLOCK a read never waits; the tools do their own
	// waiting with sleeps. Input translations (ICRNL and friends) are left
	// as found on purpose: the AT tool relies on CR arriving as LF.
	tio.c_cc[VMIN] = 0;
	tio.c_cc[VTIME] = 0;

	tcsetattr(fd, TCSANOW, &tio);
	return fd;
}
