// SPDX-License-Identifier: MIT
/*
 * LD_PRELOAD library: answers TIOCSRS485 on a pseudo-terminal, which the
 * kernel refuses with ENOTTY, so that a tool can be run past that step; and
 * plays the parts of a real UART that a pseudo-terminal cannot.
 *
 * Every TIOCSRS485 request is recorded, one line each, in the file named by
 * RS485_SHIM_LOG (when set):
 *   fd=3 flags=7 before=0 after=0 padding=0,0,0,0,0
 * and the record is handed back as Linux's serial core keeps it: with both
 * RTS levels or neither asked for, RTS_ON_SEND alone. RS485_SHIM_KEPT=N
 * hands back flags N instead, as a driver that takes less than it was
 * asked for without an error (Linux 5.10's imx-uart on a port without RTS
 * hands back 2: RS-485 off). RS485_SHIM_ERRNO=N makes the request fail
 * with errno N instead. Every other ioctl goes to the real one.
 *
 * RS485_SHIM_TERMIOS_LOG names a file that gets one line per tcsetattr:
 *   fd=3 when=0 iflag=0 oflag=0 cflag=0 lflag=0 vmin=0 vtime=0 ispeed=9600 ospeed=9600
 * the settings as the tool asked for them, before the pseudo-terminal drops
 * the c_cflag bits it cannot hold (PARENB, CSIZE, CREAD). The speeds are
 * read with cfgetispeed/cfgetospeed and given in bits per second: from
 * glibc 2.42 on they are no longer bits of c_cflag. For the same
 * reason RS485_SHIM_CFLAG=N makes tcgetattr report c_cflag N, as a UART
 * would hold it. (glibc's own TCSETS and TCGETS do not pass through ioctl
 * above, hence the calls themselves.)
 *
 * RS485_SHIM_WRITE_MAX=N makes a write to a tty take at most N bytes, as a
 * full output queue would.
 *
 * RS485_SHIM_HUNG_UP=1 makes tcgetattr fail with EIO, as on a terminal that
 * hung up right after its open (a Bluetooth link refused, a USB device
 * gone).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "tests/support/baud_rate.h"

typedef int (*ioctl_fn)(int, unsigned long, ...);

static void append(const char *path, const char *line, int len)
{
	if (!path || !*path || len < 0)
		return;
	int log = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
	if (log < 0)
		return;
	if (write(log, line, (size_t)len) < 0) {
		/* nothing more to do: the log is for the test's eyes only */
	}
	close(log);
}

static void record(int fd, const struct serial_rs485 *rs)
{
	char line[256];
	int len = snprintf(line, sizeof line, "fd=%d flags=%u before=%u after=%u padding=%u,%u,%u,%u,%u\n", fd,
			   rs->flags, rs->delay_rts_before_send, rs->delay_rts_after_send, rs->padding[0],
			   rs->padding[1], rs->padding[2], rs->padding[3], rs->padding[4]);
	append(getenv("RS485_SHIM_LOG"), line, len);
}

int ioctl(int fd, unsigned long request, ...)
{
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);

	if (request == TIOCSRS485) {
		struct serial_rs485 *rs = arg;
		record(fd, rs);
		const char *fail = getenv("RS485_SHIM_ERRNO");
		if (fail && *fail) {
			errno = atoi(fail);
			return -1;
		}
		const char *kept = getenv("RS485_SHIM_KEPT");
		const unsigned both = SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND;
		if (kept && *kept) {
			rs->flags = (unsigned)strtoul(kept, NULL, 0);
		} else if ((rs->flags & SER_RS485_ENABLED) &&
			   ((rs->flags & both) == both || (rs->flags & both) == 0)) {
			rs->flags = (rs->flags & ~both) | SER_RS485_RTS_ON_SEND;
		}
		return 0;
	}
	static ioctl_fn real;
	if (!real)
		real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
	return real(fd, request, arg);
}

int tcgetattr(int fd, struct termios *t)
{
	static int (*real)(int, struct termios *);
	if (!real)
		real = (int (*)(int, struct termios *))dlsym(RTLD_NEXT, "tcgetattr");
	const char *hung_up = getenv("RS485_SHIM_HUNG_UP");
	if (hung_up && *hung_up) {
		errno = EIO;
		return -1;
	}
	int got = real(fd, t);
	const char *cflag = getenv("RS485_SHIM_CFLAG");
	if (got == 0 && cflag && *cflag)
		t->c_cflag = (tcflag_t)strtoul(cflag, NULL, 0);
	return got;
}

int tcsetattr(int fd, int when, const struct termios *t)
{
	static int (*real)(int, int, const struct termios *);
	if (!real)
		real = (int (*)(int, int, const struct termios *))dlsym(RTLD_NEXT, "tcsetattr");
	char line[256];
	int len = snprintf(line, sizeof line,
			   "fd=%d when=%d iflag=%#o oflag=%#o cflag=%#o lflag=%#o vmin=%u vtime=%u ispeed=%lu ospeed=%lu\n",
			   fd, when, t->c_iflag, t->c_oflag, t->c_cflag, t->c_lflag, (unsigned)t->c_cc[VMIN],
			   (unsigned)t->c_cc[VTIME], baud_rate(cfgetispeed(t)), baud_rate(cfgetospeed(t)));
	append(getenv("RS485_SHIM_TERMIOS_LOG"), line, len);
	return real(fd, when, t);
}

ssize_t write(int fd, const void *bytes, size_t n)
{
	static ssize_t (*real)(int, const void *, size_t);
	if (!real)
		real = (ssize_t(*)(int, const void *, size_t))dlsym(RTLD_NEXT, "write");
	const char *most = getenv("RS485_SHIM_WRITE_MAX");
	if (most && *most && isatty(fd) && n > strtoul(most, NULL, 10))
		n = strtoul(most, NULL, 10);
	return real(fd, bytes, n);
}
