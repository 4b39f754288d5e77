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

// Opens `path` for reading and writing, never as the controlling terminal,
// takes the port for this run alone, and configures it: raw 8N1 at `speed`
// (B9600, B19200, B38400, ...), no flow control, modem lines ignored, reads
// that return at once with whatever has arrived. Returns the descriptor, -1
// when the open itself fails or the terminal has hung up by then, or
// serial_port_in_use, with nothing changed, when another program kept the
// port's lock for serial_lock_wait_ms. The
// lock lasts until the descriptor is closed or the process ends.
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

// Switches the UART into RS-485 mode with RTS driving the transmitter.
// Returns 0, or -1 when the driver refuses (no RS-485 support) or takes the
// request but leaves RS-485 mode off.
int serial_set_rs485(int fd);
