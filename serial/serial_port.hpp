// SPDX-License-Identifier: MIT
// Serial port set-up shared by both tools.
//
// The module knows nothing of protocols: it opens a tty, puts it into raw
// 8N1 mode with non-waiting reads, and can switch the UART to RS-485.
#pragma once

#include <termios.h>

// Opens `path` for reading and writing, never as the controlling terminal,
// and configures it: raw 8N1 at `speed` (B9600, B19200, B38400, ...), no flow
// control, modem lines ignored, reads that return at once with whatever has
// arrived. Returns the descriptor, or -1 when the open itself fails.
// Configuration calls that a device refuses are not reported: the port is
// then used with whatever settings it kept.
int serial_open(const char *path, speed_t speed);

// Switches the UART into RS-485 mode with RTS driving the transmitter.
// Returns 0, or -1 when the driver refuses (no RS-485 support) or takes the
// request but leaves RS-485 mode off.
int serial_set_rs485(int fd);
