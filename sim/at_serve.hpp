// SPDX-License-Identifier: MIT
// Runs a simulated AT-command device on a device line.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

#include "sim/at_device.hpp"
#include "sim/device_line.hpp"

struct at_serve_options {
	int max_commands = 0; // stop once this many are answered (0: never)
	const std::atomic<bool> *stop = nullptr; // checked every few ms
	std::string *wire = nullptr;            // receives every byte read
	std::FILE *log = nullptr;               // a line per command
};

// Serves until `stop` is set, the far end hangs up, or `max_commands` have
// been answered. Returns 0, or 1 when the line failed.
int at_serve(device_line &line, at_device &device, const at_serve_options &options);
