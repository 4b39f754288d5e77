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
 * gone). RS485_SHIM_WRITE_ERRNO=N makes every write to a tty fail with
 * errno N.
 *
 * A UART's RTS and line status: RS485_SHIM_MODEM=1 answers TIOCMBIS,
 * TIOCMBIC and TIOCMGET on a tty (RTS set at first, as every open of a
 * serial port sets it); RS485_SHIM_LSR=N answers TIOCSERGETLSR with
 * TIOCSER_TEMT once N microseconds have passed since the last write to a
 * tty (-1: never), as a transmitter that takes that long to empty.
 * Without them a pseudo-terminal refuses both (ENOTTY).
 *
 * RS485_SHIM_EVENTS names a file that gets one line per event, from every
 * process the library is in, with the process and CLOCK_MONOTONIC in
 * microseconds:
 *   1234 5678901 open /dev/pts/3     (every open of a path under /dev/)
 *   1234 5678950 rts 0               (RTS cleared; "rts 1": set)
 *   1234 5679000 write 12            (bytes taken by a tty, or "write -1")
 *   1234 5679010 lsr 0               (TIOCSERGETLSR answered, 1: empty)
 *   1234 5679020 drain               (tcdrain)
 *   1234 6179100 exit
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/serial.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "tests/support/baud_rate.h"

typedef int (*ioctl_fn)(int, unsigned long, ...);

typedef int (*open_fn)(const char *, int, ...);

static int real_open(const char *path, int flags, mode_t mode)
{
	static open_fn real;
	if (!real)
		real = (open_fn)dlsym(RTLD_NEXT, "open");
	return real(path, flags, mode);
}

static int real_open64(const char *path, int flags, mode_t mode)
{
	static open_fn real;
	if (!real)
		real = (open_fn)dlsym(RTLD_NEXT, "open64");
	return real(path, flags, mode);
}

static void append(const char *path, const char *line, int len)
{
	if (!path || !*path || len < 0)
		return;
	int log = real_open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
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

static int set(const char *name)
{
	const char *v = getenv(name);
	return v && *v;
}

static long long now_us(void)
{
	struct timespec t;
	clock_gettime(CLOCK_MONOTONIC, &t);
	return (long long)t.tv_sec * 1000000 + t.tv_nsec / 1000;
}

/* Logs WHAT (and VALUE, unless LONG_MIN) as having happened at AT_US. */
static void event_at(long long at_us, const char *what, long value)
{
	char line[256];
	int len = value == LONG_MIN ? snprintf(line, sizeof line, "%d %lld %s\n", (int)getpid(), at_us, what)
				    : snprintf(line, sizeof line, "%d %lld %s %ld\n", (int)getpid(), at_us, what, value);
	append(getenv("RS485_SHIM_EVENTS"), line, len);
}

static void event(const char *what, long value)
{
	event_at(now_us(), what, value);
}

/* The modem lines and the transmitter this process's tty has. */
static int rts_on = 1;
static long long last_write_us;

/* Answers a modem-line or line-status request where the settings say so:
 * 1 when answered, with *result the ioctl's. */
static int uart_ioctl(int fd, unsigned long request, void *arg, int *result)
{
	if ((request == TIOCMBIS || request == TIOCMBIC || request == TIOCMGET) && set("RS485_SHIM_MODEM") &&
	    isatty(fd)) {
		int *bits = arg;
		if (request == TIOCMGET) {
			*bits = rts_on ? TIOCM_RTS : 0;
		} else if (*bits & TIOCM_RTS) {
			rts_on = request == TIOCMBIS;
			event(rts_on ? "rts 1" : "rts 0", LONG_MIN);
		}
		*result = 0;
		return 1;
	}
	if (request == TIOCSERGETLSR && set("RS485_SHIM_LSR") && isatty(fd)) {
		long after = atol(getenv("RS485_SHIM_LSR"));
		int empty = after >= 0 && now_us() - last_write_us >= after;
		*(unsigned *)arg = empty ? TIOCSER_TEMT : 0;
		event("lsr", empty);
		*result = 0;
		return 1;
	}
	return 0;
}

int ioctl(int fd, unsigned long request, ...)
{
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);

	int answered;
	if (uart_ioctl(fd, request, arg, &answered))
		return answered;

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
	if (!isatty(fd))
		return real(fd, bytes, n);
	const char *most = getenv("RS485_SHIM_WRITE_MAX");
	if (most && *most && n > strtoul(most, NULL, 10))
		n = strtoul(most, NULL, 10);
	ssize_t took = -1;
	if (set("RS485_SHIM_WRITE_ERRNO"))
		errno = atoi(getenv("RS485_SHIM_WRITE_ERRNO"));
	else
		took = real(fd, bytes, n);
	/* The line status counts from the very time logged. */
	last_write_us = now_us();
	event_at(last_write_us, "write", (long)took);
	return took;
}

int tcdrain(int fd)
{
	static int (*real)(int);
	if (!real)
		real = (int (*)(int))dlsym(RTLD_NEXT, "tcdrain");
	event("drain", LONG_MIN);
	return real(fd);
}

static int logged_open(int (*real)(const char *, int, mode_t), const char *path, int flags, va_list ap)
{
	mode_t mode = (flags & O_CREAT) ? (mode_t)va_arg(ap, int) : 0;
	if (strncmp(path, "/dev/", 5) == 0) {
		char what[128];
		snprintf(what, sizeof what, "open %s", path);
		event(what, LONG_MIN);
	}
	return real(path, flags, mode);
}

/* Both names defined by their symbols: where the headers make open the
 * 64-bit-offset open64 (_FILE_OFFSET_BITS=64, as Debian 13's armhf
 * compiler has it by default), a plain definition of each would define
 * open64 twice. */
int shim_open(const char *path, int flags, ...) __asm__("open");
int shim_open64(const char *path, int flags, ...) __asm__("open64");

int shim_open(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	int fd = logged_open(real_open, path, flags, ap);
	va_end(ap);
	return fd;
}

int shim_open64(const char *path, int flags, ...)
{
	va_list ap;
	va_start(ap, flags);
	int fd = logged_open(real_open64, path, flags, ap);
	va_end(ap);
	return fd;
}

__attribute__((destructor)) static void at_exit(void)
{
	event("exit", LONG_MIN);
}
