// SPDX-License-Identifier: MIT
#include "serial/serial_port.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// Waits for an exclusive flock on `fd`, tried again until the run has
// waited serial_lock_wait_ms in all (`waited_ms`, shared by both locks a
// run takes). Whoever holds it is most likely another one-shot run that
// lets go within seconds; the kernel drops the lock of a holder that dies.
// A file whose filesystem keeps no locks (ENOLCK, EOPNOTSUPP) counts as
// taken. False when the holder kept it throughout.
bool wait_lock(int fd, int &waited_ms)
{
	for (;; waited_ms += lock_retry_ms) {
		if (flock(fd, LOCK_EX | LOCK_NB) == 0)
			return true;
		if (errno != EWOULDBLOCK && errno != EINTR)
			return true;
		if (waited_ms >= serial_lock_wait_ms)
			return false;
		usleep(lock_retry_ms * 1000);
	}
}

// Read and write, for the owner, the group and the others.
constexpr mode_t rw_owner = S_IRUSR | S_IWUSR, rw_group = S_IRGRP | S_IWGRP, rw_others = S_IROTH | S_IWOTH;

// True when nobody who may not use the device could open `lock`: its
// others and its group read it only where the device's do, and its owner
// is root, the device's owner, or gave it the device's group (which takes
// a member of that group).
bool only_device_users(const struct stat &lock, const struct stat &dev)
{
	const bool group_uses = lock.st_gid == dev.st_gid && (dev.st_mode & rw_group) == rw_group;
	if ((lock.st_mode & S_IROTH) && (dev.st_mode & rw_others) != rw_others)
		return false;
	if ((lock.st_mode & S_IRGRP) && !group_uses)
		return false;
	return lock.st_uid == 0 || lock.st_uid == dev.st_uid || group_uses ||
	       (dev.st_mode & rw_others) == rw_others;
}

// The runs' own queue for a serial device, joined before the device is
// opened: every open of a serial port raises RTS and DTR, whoever else has
// it open, which would switch the transceiver under the exchange of the
// run that has it. One lock file per device number in /run/lock, so that
// a /dev/serial/by-id link and the node it names share one, made with the
// device's group and permissions so that every user of the device can
// queue. Returns its descriptor, held; -1 where there is no queue to join
// (no device node, no lock directory, a lock file that someone who may not
// use the device could hold), and the run goes on without one; or
// serial_port_in_use when the queue did not move for the whole wait.
int join_queue(const char *path, int &waited_ms)
{
	// Only a device can be a serial port; the memory devices (/dev/null,
	// /dev/zero: major 1) are none, and are shared by anything. A
	// Bluetooth RFCOMM tty (major 216) has no RTS wire for an open to
	// switch, but a link that its open starts and its last close ends: runs
	// that open it while another has it share that link, where a run that
	// opened it only after the other's close could attach to the link
	// still closing and be hung up with it.
	struct stat dev {};
	if (stat(path, &dev) != 0 || !S_ISCHR(dev.st_mode) || major(dev.st_rdev) == 1 || major(dev.st_rdev) == 216)
		return -1;
	char name[64];
	snprintf(name, sizeof name, "/run/lock/serial-tools.%u.%u", major(dev.st_rdev), minor(dev.st_rdev));
	// Opened without O_CREAT first: a sticky directory refuses O_CREAT on
	// another user's file (protected_regular). Never through a link, and
	// never waiting: a FIFO in its place must not hold the run.
	constexpr int flags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK;
	int fd = open(name, flags);
	if (fd < 0 && errno == ENOENT) {
		fd = open(name, flags | O_CREAT | O_EXCL, 0600);
		if (fd >= 0) {
			mode_t perms = dev.st_mode & (rw_owner | rw_group | rw_others);
			if (fchown(fd, static_cast<uid_t>(-1), dev.st_gid) != 0)
				perms &= ~rw_group;
			fchmod(fd, perms);
		} else {
			fd = open(name, flags); // another run made it first
		}
	}
	fd = fd < 0 ? -1 : above_std_streams(fd);
	if (fd < 0)
		return -1;
	struct stat lock {};
	if (fstat(fd, &lock) != 0 || !S_ISREG(lock.st_mode) || !only_device_users(lock, dev)) {
		close(fd);
		return -1;
	}
	if (!wait_lock(fd, waited_ms)) {
		close(fd);
		return serial_port_in_use;
	}
	return fd;
}

} // namespace

int serial_open(const char *path, speed_t speed)
{
	// The queue's lock is kept until the process ends.
	int waited_ms = 0;
	if (join_queue(path, waited_ms) == serial_port_in_use)
		return serial_port_in_use;

	// O_NONBLOCK already at open: on a port without CLOCAL whose carrier is
	// down a blocking open waits for carrier, possibly for ever.
	int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
	if (fd < 0)
		return -1;
	fd = above_std_streams(fd);
	if (fd < 0)
		return -1;

	// The device's own lock comes before any setting: the one that
	// picocom, tio and pyserial's exclusive mode take as well, so that none
	// of them (nor a run that found no queue) can mix its bytes or its
	// settings into this exchange. Only a terminal is locked: a regular
	// file, a FIFO or /dev/null is no serial port, may be shared by
	// anything, and is used as it is. (tcgetattr tells a terminal, as
	// isatty would, from what the tool imports anyway.)
	struct termios tio {};
	const bool tty = tcgetattr(fd, &tio) == 0;
	// A terminal answers ENOTTY to nothing: any other error is a terminal
	// that hung up since the open (a Bluetooth link refused, a USB device
	// gone), and nothing sent to it could arrive.
	if (!tty && errno != ENOTTY) {
		close(fd);
		return -1;
	}
	if (tty && !wait_lock(fd, waited_ms)) {
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

void serial_alarm(int us)
{
	if (us > 0) {
		struct sigaction on_timer {};
		on_timer.sa_handler = wake;
		sigaction(SIGALRM, &on_timer, nullptr);
	}
	struct itimerval timer {};
	timer.it_value.tv_sec = us / 1000000;
	timer.it_value.tv_usec = us % 1000000;
	setitimer(ITIMER_REAL, &timer, nullptr);
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
	serial_alarm(stuck_output_wait_us);
	close(fd);
	serial_alarm(0);
}
