// SPDX-License-Identifier: MIT
// A device that answers whatever request it gets with bytes chosen by the
// test: replies no well-behaved device would send, a hang-up in the middle,
// and many such runs at once, each on its own pseudo-terminal.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tests/support/tool_run.hpp"

struct scripted_answer {
	std::string reply;       // written once the request has ended
	char request_end = 0x03; // the byte that ends a request
	bool hang_up = false;    // close the device's side right after the reply
	int delay_ms = 10;       // from the end of the request to the reply
	int repeat_ms = 0;       // then the reply again this often (0: once)
};

struct scripted_case {
	std::string tool;
	std::vector<std::string> args; // the device path is appended
	scripted_answer answer;
	tool_options options;
	// Permission bits given to the device's path before the run (0: as
	// the kernel made it).
	unsigned path_mode = 0;
	// When set, the run is given this path instead, and the device is
	// left alone.
	std::string path;
};

struct scripted_result {
	tool_result run;
	std::string wire; // every byte the device received
};

// Runs every case against its own device, `parallel` of them at a time
// (the tools mostly sleep, so this costs little CPU). Results in the order
// of the cases.
std::vector<scripted_result> run_scripted(const std::vector<scripted_case> &cases, std::size_t parallel = 6);
