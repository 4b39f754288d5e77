// SPDX-License-Identifier: MIT
#include "sim/at_serve.hpp"

#include <algorithm>
#include <chrono>
#include <deque>

namespace {

using clock_type = std::chrono::steady_clock;

void log_answer(std::FILE *log, int number, const at_answer &answer)
{
	if (!log)
		return;
	std::size_t bytes = 0;
	for (const auto &p : answer)
		bytes += p.bytes.size();
	std::fprintf(log, "command %d: %zu answer bytes in %zu pieces\n", number, bytes, answer.size());
}

} // namespace

int at_serve(device_line &line, at_device &device, const at_serve_options &options)
{
	std::string inbox;            // received, not yet taken by the device
	std::deque<at_piece> pending; // the answer under way
	auto due = clock_type::now(); // when pending.front() goes out
	char chunk[256];

	auto start = [&](const at_answer &answer) {
		pending.assign(answer.begin(), answer.end());
		if (!pending.empty())
			due = clock_type::now() + std::chrono::milliseconds(pending.front().delay_ms);
	};

	for (;;) {
		if (options.stop && options.stop->load())
			return 0;

		// Send every piece that is due.
		while (!pending.empty() && clock_type::now() >= due) {
			if (!line_write(line, pending.front().bytes))
				return 1;
			pending.pop_front();
			if (!pending.empty())
				due = clock_type::now() + std::chrono::milliseconds(pending.front().delay_ms);
		}
		if (pending.empty() && options.max_commands > 0 && device.commands() >= options.max_commands)
			return 0;

		if (!inbox.empty()) {
			if (pending.empty()) {
				// Idle: the next command, if the bytes complete one.
				at_answer answer;
				inbox.erase(0, device.feed(inbox, answer));
				if (!answer.empty()) {
					log_answer(options.log, device.commands(), answer);
					start(answer);
				}
			} else if (pending.front().deaf) {
				inbox.clear();
			} else {
				// A byte during an answer stops it, and is used up.
				inbox.erase(0, 1);
				start(device.interrupted());
				if (options.log)
					std::fprintf(options.log, "answer stopped\n");
			}
			continue;
		}

		int wait_ms = 10;
		if (!pending.empty()) {
			auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - clock_type::now());
			wait_ms = static_cast<int>(std::clamp<long long>(left.count(), 0, 10));
		}
		ssize_t got = line_read(line, chunk, sizeof chunk, wait_ms);
		if (got < 0)
			return options.stop ? 0 : 1;
		if (got > 0) {
			auto bytes = std::string_view(chunk, static_cast<std::size_t>(got));
			if (options.wire)
				options.wire->append(bytes);
			inbox.append(bytes);
		}
	}
}
