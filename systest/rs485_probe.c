// SPDX-License-Identifier: MIT
/* rs485_probe: runs on the emulated board and prints, on one line, what the
 * UART driver kept of the last tool's settings: the RS-485 record read back
 * with TIOCGRS485 and the termios fields the tools set.
 *
 *   rs485_probe /dev/ttyAMA0
 *   rs485 flags=3 before=0 after=0 ispeed=9600 ospeed=9600 csize=8 ...
 *   rs485_probe /dev/ttyUSB0
 *   rs485 none ispeed=9600 ospeed=9600 csize=8 ...
 *
 * The port is opened non-blocking so that a line without carrier cannot hold
 * the open, and nothing is changed: the driver keeps both records between
 * opens, so this shows exactly what the tool left behind.
 *
 * With -s it instead makes the request pulvane makes (TIOCSRS485, flags 7)
 * and prints what the driver did with it, for the table of UARTs, and then
 * gives the driver back the record it had:
 *
 *   rs485_probe -s /dev/ttyAMA0
 *   accepted, flags 7 kept as 3
 *   rs485_probe -s /dev/ttyS1
 *   refused, ENOTTY
 *
 * A driver may take the request and still leave RS-485 off (Linux 5.10's
 * imx-uart on a port without RTS): "accepted, but RS-485 left off, flags 7
 * kept as 6".
 *
 * With -o it switches RS-485 off (TIOCSRS485, flags 0), as a port facing
 * an AT device is, and says what the driver did:
 *
 *   rs485_probe -o /dev/ttyAMA0
 *   off, flags 0 kept as 0
 */
/* For strerrorname_np. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

static unsigned rate_of(speed_t code)
{
	static const struct {
		speed_t code;
		unsigned rate;
	} rates[] = {{B1200, 1200},   {B2400, 2400},   {B4800, 4800},   {B9600, 9600},
		     {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
	for (size_t i = 0; i < sizeof rates / sizeof rates[0]; i++)
		if (rates[i].code == code)
			return rates[i].rate;
	return 0;
}

static int bit(tcflag_t flags, tcflag_t mask)
{
	return (flags & mask) != 0;
}

static int try_rs485(int fd, unsigned flags, int keep)
{
	struct serial_rs485 rs, before;
	memset(&rs, 0, sizeof rs);
	rs.flags = flags;
	/* With keep, the port is left as it was found: the report may come
	 * before the cases that still run on the port. */
	keep = keep && ioctl(fd, TIOCGRS485, &before) == 0;
	int refused = ioctl(fd, TIOCSRS485, &rs) < 0;
	if (keep && !refused)
		ioctl(fd, TIOCSRS485, &before);
	if (refused) {
		const char *name = strerrorname_np(errno);
		printf("refused, %s\n", name ? name : "unknown error");
		return 0;
	}
	if (flags == 0)
		printf("off, flags 0 kept as %u\n", rs.flags);
	else if (rs.flags & SER_RS485_ENABLED)
		printf("accepted, flags %u kept as %u\n", flags, rs.flags);
	else
		printf("accepted, but RS-485 left off, flags %u kept as %u\n", flags, rs.flags);
	return 0;
}

int main(int argc, char *argv[])
{
	int set = argc == 3 && strcmp(argv[1], "-s") == 0;
	int off = argc == 3 && strcmp(argv[1], "-o") == 0;
	if (argc != 2 && !set && !off) {
		fputs("usage: rs485_probe [-s | -o] TTY\n", stderr);
		return 2;
	}
	const char *path = argv[argc - 1];
	int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
	if (fd < 0) {
		perror(path);
		return 1;
	}
	if (set || off)
		return try_rs485(fd, set ? SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND | SER_RS485_RTS_AFTER_SEND : 0, set);
	/* A driver without RS-485 (a USB adapter, a plain 16550) has no
	 * record to read back: "none", and the termios fields still follow. */
	char rs485[64];
	struct serial_rs485 rs;
	memset(&rs, 0, sizeof rs);
	if (ioctl(fd, TIOCGRS485, &rs) == 0) {
		snprintf(rs485, sizeof rs485, "flags=%u before=%u after=%u", rs.flags, rs.delay_rts_before_send,
			 rs.delay_rts_after_send);
	} else if (errno == ENOTTY) {
		snprintf(rs485, sizeof rs485, "none");
	} else {
		perror("TIOCGRS485");
		return 1;
	}
	struct termios t;
	if (tcgetattr(fd, &t) < 0) {
		perror("tcgetattr");
		return 1;
	}
	unsigned csize = (t.c_cflag & CSIZE) == CS8 ? 8 : (t.c_cflag & CSIZE) == CS7 ? 7 : (t.c_cflag & CSIZE) == CS6 ? 6 : 5;
	printf("rs485 %s"
	       " ispeed=%u ospeed=%u csize=%u parenb=%d cstopb=%d crtscts=%d clocal=%d cread=%d"
	       " icanon=%d echo=%d isig=%d opost=%d ixon=%d icrnl=%d vmin=%u vtime=%u\n",
	       rs485, rate_of(cfgetispeed(&t)),
	       rate_of(cfgetospeed(&t)), csize, bit(t.c_cflag, PARENB), bit(t.c_cflag, CSTOPB),
	       bit(t.c_cflag, CRTSCTS), bit(t.c_cflag, CLOCAL), bit(t.c_cflag, CREAD), bit(t.c_lflag, ICANON),
	       bit(t.c_lflag, ECHO), bit(t.c_lflag, ISIG), bit(t.c_oflag, OPOST), bit(t.c_iflag, IXON),
	       bit(t.c_iflag, ICRNL), t.c_cc[VMIN], t.c_cc[VTIME]);
	close(fd);
	return 0;
}
