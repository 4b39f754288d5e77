// SPDX-License-Identifier: MIT
/*
 * LD_PRELOAD library: answers TIOCSRS485 on a pseudo-terminal, which the
 * kernel refuses with ENOTTY, so that a tool can be run past that step.
 *
 * Every TIOCSRS485 request is recorded, one line each, in the file named by
 * RS485_SHIM_LOG (when set):
 *   fd=3 flags=7 before=0 after=0 padding=0,0,0,0,0
 * RS485_SHIM_ERRNO=N makes the request fail with errno N instead. Every
 * other ioctl goes to the real one.
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
#include <unistd.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static void record(int fd, const struct serial_rs485 *rs)
{
	const char *path = getenv("RS485_SHIM_LOG");
	if (!path || !*path)
		return;
	char line[256];
	int len = snprintf(line, sizeof line, "fd=%d flags=%u before=%u after=%u padding=%u,%u,%u,%u,%u\n", fd,
			   rs->flags, rs->delay_rts_before_send, rs->delay_rts_after_send, rs->padding[0],
			   rs->padding[1], rs->padding[2], rs->padding[3], rs->padding[4]);
	int log = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
	if (log < 0)
		return;
	if (write(log, line, (size_t)len) < 0) {
		/* nothing more to do: the log is for the test's eyes only */
	}
	close(log);
}

int ioctl(int fd, unsigned long request, ...)
{
	va_list ap;
	va_start(ap, request);
	void *arg = va_arg(ap, void *);
	va_end(ap);

	if (request == TIOCSRS485) {
		record(fd, (const struct serial_rs485 *)arg);
		const char *fail = getenv("RS485_SHIM_ERRNO");
		if (fail && *fail) {
			errno = atoi(fail);
			return -1;
		}
		return 0;
	}
	static ioctl_fn real;
	if (!real)
		real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
	return real(fd, request, arg);
}
