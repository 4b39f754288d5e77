// SPDX-License-Identifier: MIT
// Serial port set-up shared by both tools.
//
// The module knows nothing of protocols: it opens a tty, puts it into raw
// 8N1 mode with non-waiting reads, and can switch the UART to RS-485.
#pragma once

#include <termios.h>

// How long serial_open waits for a port that another program holds: one
// whole run of the slower tool (quorlet's ten polls, about eleven seconds)
// and some room.
constexpr int serial_lock_wait_ms = 15000;

// serial_open's result when another program held the port all that time.
constexpr int serial_port_in_use = -2;

// Queues behind the other runs of these tools on the device (a lock of
// their own, taken before the open), opens `path` for reading and writing,
// never as the controlling terminal, takes the port for this run alone
// (the device's own lock), and configures it: raw 8N1 at `speed`
// (B9600, B19200, B38400, ...), no flow control, modem lines ignored, reads
// that return at once with whatever has arrived. Returns the descriptor, -1
// when the open itself fails or the terminal has hung up by then, or
// serial_port_in_use, with nothing changed, when another run or program
// kept the port for serial_lock_wait_ms in all. The device's lock lasts
// until the descriptor is closed, the queue's until the process ends.
// Configuration calls that a device refuses are not reported: the port is
// then used with whatever settings it kept.
int serial_open(const char *path, speed_t speed);

// Ends the run's use of the port. Whatever output is still queued has had
// the whole run to leave and cannot (a link that never came up, a device
// that does not read): it is dropped, where a plain close would wait for
// the tty's closing time, 30 s by default, and overshoot the run's bound.
// Where the driver cannot drop it, the close waits 100 ms at most, ended by
// SIGALRM, whose handler it installs.
void serial_close(int fd);

// Arms a one-shot SIGALRM `us` microseconds from now, whose handler does
// nothing, so that a blocking call in between returns; 0 disarms it.
void serial_alarm(int us);

// Switches the UART into RS-485 mode with RTS driving the transmitter.
// Returns 0, or -1 when the driver refuses (no RS-485 support) or takes the
// request but leaves RS-485 mode off.
int serial_set_rs485(int fd);

// For a transceiver wired to RTS on a UART whose driver has no RS-485: sets
// (`on`) or clears the port's RTS. Returns 0, or -1 when the port has no
// modem lines.
int serial_set_rts(int fd, bool on);

// Waits until the UART has sent everything written to it, its shift
// register included, at `rate` bits per second: for at most a few times as
// long as `bytes` take on the line, whatever the driver reports.
void serial_wait_sent(int fd, int rate, int bytes);
