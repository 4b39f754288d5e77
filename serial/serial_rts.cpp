// SPDX-License-Identifier: MIT
// RTS switched by the tool itself, for a UART whose driver has no RS-485: in
// a file of its own, so that a tool that never switches it does not link it.
#include "serial/serial_port.hpp"

#include <ctime>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

long long now_us()
{
	struct timespec t {};
	clock_gettime(CLOCK_MONOTONIC, &t);
	return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

} // namespace

int serial_set_rts(int fd, bool on)
{
	int rts = TIOCM_RTS;
	return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &rts) == 0 ? 0 : -1;
}

void serial_wait_sent(int fd, int rate, int bytes)
{
	// A character is ten bits on the line (start, eight data, stop). The
	// transmitter is asked again every tenth of one, so that RTS goes back
	// well within the first character of a reply; and never for longer
	// than four times the bytes' own time, so that a driver that never
	// reports empty cannot hold the run.
	const int char_us = 10000000 / rate;
	const int poll_us = char_us / 10 + 1;
	const int limit_us = 4 * bytes * char_us;
	const long long deadline_us = now_us() + limit_us;
	// A driver that tells no line status (cdc-acm and many other USB
	// drivers) offers tcdrain, whose wait the timer's signal bounds.
	unsigned int lsr = 0;
	if (ioctl(fd, TIOCSERGETLSR, &lsr) != 0) {
		serial_alarm(limit_us);
		tcdrain(fd);
		serial_alarm(0);
		return;
	}
	// Empty is the UART's transmitter done, shift register included
	// (TIOCSER_TEMT), and nothing left in the driver's buffer (TIOCOUTQ: a
	// USB adapter's driver may not have handed the bytes to its chip yet,
	// whose own status would say empty).
	int queued = 0;
	while (!(lsr & TIOCSER_TEMT) || ioctl(fd, TIOCOUTQ, &queued) != 0 || queued != 0) {
		if (now_us() >= deadline_us)
			return;
		usleep(static_cast<useconds_t>(poll_us));
		if (ioctl(fd, TIOCSERGETLSR, &lsr) != 0)
			return;
	}
}
