// SPDX-License-Identifier: MIT
#include "serial/serial_port.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// How long a close may wait for output that the driver keeps but cannot
// send, in microseconds.
constexpr int stuck_output_wait_us = 100000;

// The timer's signal only has to arrive; it is its arrival that ends the
// close's wait.
void wake(int) {}

// How often a held port is tried again: a queued run starts within this
// long of the holder letting go.
constexpr int lock_retry_ms = 20;

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

// Takes the port for this run alone: an exclusive flock on the device, the
// lock that picocom, tio and pyserial's exclusive mode take as well, so that
// none of them and no other run of these tools can mix its bytes or its
// settings into this exchange. Whoever holds it is most likely another
// one-shot run that lets go within seconds, so the lock is tried again
// until serial_lock_wait_ms have passed; the kernel drops the lock of a
// holder that dies. A port whose filesystem keeps no locks (ENOLCK,
// EOPNOTSUPP) is used unlocked. False when the holder kept it throughout.
bool lock_port(int fd)
{
	for (int waited_ms = 0;; waited_ms += lock_retry_ms) {
		if (flock(fd, LOCK_EX | LOCK_NB) == 0)
			return true;
		if (errno != EWOULDBLOCK && errno != EINTR)
			return true;
		if (waited_ms >= serial_lock_wait_ms)
			return false;
		usleep(lock_retry_ms * 1000);
	}
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

	// The lock comes before any setting, so that a run queued behind this
	// one cannot change the speed or the mode under its exchange. Only a
	// terminal is locked: a regular file, a FIFO or /dev/null is no serial
	// port, may be shared by anything, and is used as it is. (tcgetattr
	// tells a terminal, as isatty would, from what the tool imports
	// anyway.)
	struct termios tio {};
	const bool tty = tcgetattr(fd, &tio) == 0;
	// A terminal answers ENOTTY to nothing: any other error is a terminal
	// that hung up since the open (a Bluetooth link refused, a USB device
	// gone), and nothing sent to it could arrive.
	if (!tty && errno != ENOTTY) {
		close(fd);
		return -1;
	}
	if (tty && !lock_port(fd)) {
		close(fd);
		return serial_port_in_use;
	}

	// O_NONBLOCK alone: every other status flag is cleared.
	fcntl(fd, F_SETFL, O_NONBLOCK);

	// Not a tty (a regular file, say): there is nothing to build on, and
	// the port is used as it is. A terminal's settings are read again now
	// that it is this run's: a run that held it may have changed them.
	if (!tty || tcgetattr(fd, &tio) != 0)
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

void serial_close(int fd)
{
	tcflush(fd, TCOFLUSH);
	// Some drivers cannot drop output they have handed on (Linux 6.1's
	// cdc-acm has no flush): the close would still wait its closing time
	// for it. That wait ends on a signal, so a timer's signal ends it.
	int queued = 0;
	if (ioctl(fd, TIOCOUTQ, &queued) != 0 || queued <= 0) {
		close(fd);
		return;
	}
	struct sigaction on_timer {};
	on_timer.sa_handler = wake;
	sigaction(SIGALRM, &on_timer, nullptr);
	struct itimerval timer {};
	timer.it_value.tv_usec = stuck_output_wait_us;
	setitimer(ITIMER_REAL, &timer, nullptr);
	close(fd);
	timer = {};
	setitimer(ITIMER_REAL, &timer, nullptr);
}
