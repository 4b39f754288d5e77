// SPDX-License-Identifier: MIT
// Runs a built tool as a child process, the way a shell script would, and
// captures what it did: exit status, standard output and error, time taken.
//
// Where the tool lives and how it is started come from the environment, so
// that one test binary can run the host build and the board build:
//   PULVANE_BIN, QUORLET_BIN   the tools (default: this build's)
//   RS485_SHIM                 the LD_PRELOAD library that answers TIOCSRS485
//   TOOL_EMULATOR              words put before the tool, e.g.
//                              "qemu-arm -L /usr/arm-linux-gnueabihf"
//   TOOL_TARGET=armhf, arm64   all three for that board build beside this one
//   TOOL_EMULATOR_ENV=plain    the emulator passes its own environment on to
//                              the tool (valgrind), so the tool's settings
//                              are set in it rather than given as -E words
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

enum class stream_setup : std::uint8_t {
	piped,   // captured (stdout, stderr) or fed from `stdin_data` (stdin)
	closed,  // not open at all, as after `>&-` or `<&-`
	dev_full, // /dev/full: every write fails with ENOSPC
	dev_null,
};

struct tool_options {
	std::string stdin_data;
	stream_setup in = stream_setup::piped;
	stream_setup out = stream_setup::piped;
	// Standard error: captured, or closed as a caller may start the tool.
	stream_setup err = stream_setup::piped;
	// Starts the tool as a service is started: in a session of its own,
	// with no controlling terminal.
	bool own_session = false;
	// Answer TIOCSRS485 through the preload library (pty tests).
	bool rs485_shim = true;
	// Where the library records the requests it answered.
	std::string rs485_log;
	// Makes the library refuse TIOCSRS485 with this errno (0: accept).
	int rs485_errno = 0;
	// Where the library records the settings the tool passes to tcsetattr.
	std::string termios_log;
	// Makes the library report this c_cflag from tcgetattr (0: the port's).
	unsigned port_cflag = 0;
	// Makes the library's writes to a tty take at most this many bytes
	// (0: all).
	int write_max = 0;
	// Where the library records the run's opens, RTS changes, writes and
	// waits for the transmitter, with their times (read_events).
	std::string events;
	// Holds `stdin_data` back until this returns true.
	std::function<bool()> stdin_when;
	// Further NAME=VALUE settings for the tool.
	std::vector<std::string> env;
	// Words put before the emulator and the tool, e.g. setpriv to run the
	// tool as another user.
	std::vector<std::string> prefix;
	// The emulator's words for this run, in place of tool_emulator()'s.
	std::optional<std::string> emulator;
	// The test fails rather than hangs past this.
	int timeout_ms = 30000;
};

struct tool_result {
	int status = -1; // exit status, or -1 when ended by a signal
	int signal = 0;
	bool timed_out = false;
	std::string out;
	std::string err;
	double seconds = 0;
};

std::string tool_path(const std::string &name);
// The words put before each tool: TOOL_EMULATOR, or the board build's
// default; empty when the tools run bare.
std::string tool_emulator();
// True when the tools run under an emulator.
bool tool_emulated();

tool_result run_tool(const std::string &name, const std::vector<std::string> &args, const tool_options &options = {});

// Runs the tool once for each list of arguments, all started at the same
// moment, as timers, services and shells may start them on one port.
std::vector<tool_result> run_together(const std::string &name, const std::vector<std::vector<std::string>> &runs,
				      const tool_options &options = {});

// How long a tool waits for a port that another program holds, as the
// README and the man pages promise.
constexpr double port_lock_wait_s = 15.0;

// The whole of a file the tool (or a library in it) wrote; empty if none.
std::string read_file(const std::string &path);

// One line of the preload library's event log: the process, the time in
// microseconds, the event ("open", "rts", "write", "lsr", "drain",
// "exit") and what follows it ("/dev/pts/3", "1", "12", ...).
struct shim_event {
	int pid = 0;
	long long us = 0;
	std::string what, arg;
};
std::vector<shim_event> read_events(const std::string &path);
