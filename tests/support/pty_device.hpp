// SPDX-License-Identifier: MIT
// A simulated device on the master side of a pseudo-terminal, run in a
// thread while the tool under test talks to the slave side.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <termios.h>
#include <thread>

#include "sim/device_line.hpp"

class pty_device {
public:
	// Opens the pair; the test fails if it cannot.
	pty_device();
	~pty_device();

	// The tool's side.
	const std::string &path() const { return line_.slave_path; }
	// The test's own descriptor of the slave, for tcgetattr/tcsetattr.
	int slave_fd() const { return line_.slave_fd; }
	device_line &line() { return line_; }

	// Runs `body(line, stop)` in a thread until stop() is called.
	void start(std::function<void(device_line &, const std::atomic<bool> &)> body);
	// Asks the body to end and waits for it.
	void stop();

private:
	device_line line_;
	std::atomic<bool> stop_{false};
	std::thread thread_;
};

// Every byte the slave side wrote that is still waiting on the master, after
// waiting `ms` for more.
std::string drain_master(device_line &line, int ms = 50);

// Writes `bytes` from the device's side and waits until they are queued for
// reading on the slave, past the kernel's hand-over from the master, as
// bytes from before a tool's run would be. False if they never get there.
bool pend_input(device_line &line, std::string_view bytes);
