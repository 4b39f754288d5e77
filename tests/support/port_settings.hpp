// SPDX-License-Identifier: MIT
// The port settings a tool leaves behind, compared with where they started.
#pragma once

#include <string>
#include <termios.h>

// Puts the tty into a state that a careless earlier program could leave:
// 7E2 with hardware flow control, canonical mode with echo, software flow
// control, output processing, CR/LF translations, VMIN 5, 38400 baud.
// Returns the settings as the kernel then holds them; `uart_cflag`, when
// given, gets the c_cflag asked for, with the receiver off too, which a UART
// would hold but a pseudo-terminal does not (it keeps CS8 and CREAD, no
// PARENB).
struct termios make_port_dirty(int fd, tcflag_t *uart_cflag = nullptr);

// What the tools' set-up must make of `before` at `speed`: exactly the bits
// it names change, every other bit is kept.
struct termios expected_after_setup(struct termios before, speed_t speed);

// Empty when `got` matches `want` in every flag, the two control characters
// the set-up touches, and both speeds; otherwise a readable account of the
// differences. Speeds are compared in bits per second.
std::string settings_diff(const struct termios &want, const struct termios &got);

// Empty when the preload library's log at `path` holds exactly one
// tcsetattr, made at once (TCSANOW) with the settings `want`, both speeds
// included (the library records them as its C library reads them);
// otherwise what was wrong. The log is removed.
std::string request_diff(const struct termios &want, const std::string &path);
