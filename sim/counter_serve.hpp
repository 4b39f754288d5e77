// SPDX-License-Identifier: MIT
// Runs a simulated counter module on a device line.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

#include "sim/counter_module.hpp"
#include "sim/device_line.hpp"

struct counter_serve_options {
	int delay_ms = 20;      // from the end of a request to the reply
	int split_gap_ms = 300; // between the pieces of a split reply
	int max_frames = 0;     // stop after answering this many (0: never)
	const std::atomic<bool> *stop = nullptr; // checked every few ms
	std::string *wire = nullptr;            // receives every byte read
	std::FILE *log = nullptr;               // a line per request
};

// Serves until `stop` is set, the far end hangs up, or `max_frames` have
// been answered. Returns 0, or 1 when the line failed.
int counter_serve(const device_line &line, counter_module &module, const counter_serve_options &options);
