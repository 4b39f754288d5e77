// SPDX-License-Identifier: MIT
// The device's end of a serial line, shared by the simulators and the tests.
//
// A simulated device talks through one descriptor: the master side of a new
// pseudo-terminal (whose slave path is handed to the tool), an existing tty
// (a real serial adapter), or an already connected descriptor such as a
// socket to an emulated board's UART.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <termios.h>

struct device_line {
	int fd = -1;
	// Pseudo-terminal only: the slave, held open by the device side so that
	// the line survives every open and close by the tool, and its path.
	int slave_fd = -1;
	std::string slave_path;

	device_line() = default;
	device_line(const device_line &) = delete;
	device_line &operator=(const device_line &) = delete;
	device_line(device_line &&other) noexcept;
	device_line &operator=(device_line &&other) noexcept;
	~device_line();
};

// A new pseudo-terminal pair. The slave keeps the kernel's initial settings
// (cooked, echo, ICRNL) until a tool configures it. Returns false on failure.
bool line_open_pty(device_line &line);

// An existing tty, set raw 8N1 at `speed`.
bool line_open_tty(device_line &line, const char *path, speed_t speed);

// A unix stream socket at `path`, connected to (an emulator's serial port).
bool line_connect_unix(device_line &line, const char *path);

// A descriptor already open (inherited, or a socket). The line owns it.
void line_adopt_fd(device_line &line, int fd);

// Waits up to `timeout_ms` for bytes and reads what is there, at most `n`.
// Returns the count, 0 when nothing came in time, -1 when the far end hung
// up or the read failed.
ssize_t line_read(const device_line &line, char *p, std::size_t n, int timeout_ms);

// Writes all of `bytes`, waiting for room as needed. False on failure.
bool line_write(const device_line &line, std::string_view bytes);

// Parses "9600", "19200", "38400", ... into a termios speed code; B0 when the
// rate is not one of the standard ones.
speed_t line_speed(const char *rate);

// Sleeps for `ms` milliseconds.
void line_sleep_ms(int ms);
