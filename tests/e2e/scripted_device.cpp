// SPDX-License-Identifier: MIT
#include "tests/e2e/scripted_device.hpp"

#include <chrono>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "tests/support/pty_device.hpp"

namespace {

void serve(device_line &line, const std::atomic<bool> &stop, const scripted_answer &answer, std::string &wire)
{
	using clock = std::chrono::steady_clock;
	char chunk[256];
	bool answered = false;
	clock::time_point again;
	while (!stop) {
		if (line.fd < 0) {
			line_sleep_ms(10);
			continue;
		}
		if (answered && answer.repeat_ms > 0 && clock::now() >= again) {
			line_write(line, answer.reply);
			again += std::chrono::milliseconds(answer.repeat_ms);
		}
		ssize_t got = line_read(line, chunk, sizeof chunk, 10);
		if (got <= 0)
			continue;
		std::string_view bytes(chunk, static_cast<std::size_t>(got));
		wire.append(bytes);
		if (answered || bytes.find(answer.request_end) == std::string_view::npos)
			continue;
		answered = true;
		line_sleep_ms(answer.delay_ms);
		line_write(line, answer.reply);
		again = clock::now() + std::chrono::milliseconds(answer.repeat_ms);
		if (answer.hang_up) {
			// The slave sees a hang-up: what it had not yet read is gone,
			// and its reads return end of file.
			close(line.fd);
			line.fd = -1;
		}
	}
}

} // namespace

std::vector<scripted_result> run_scripted(const std::vector<scripted_case> &cases, std::size_t parallel)
{
	std::vector<scripted_result> results(cases.size());
	for (std::size_t first = 0; first < cases.size(); first += parallel) {
		std::size_t last = std::min(cases.size(), first + parallel);
		std::vector<std::unique_ptr<pty_device>> devices;
		std::vector<std::thread> runs;
		for (std::size_t i = first; i < last; ++i) {
			devices.push_back(std::make_unique<pty_device>());
			pty_device &dev = *devices.back();
			const scripted_case &c = cases[i];
			scripted_result &r = results[i];
			dev.start([&c, &r](device_line &line, const std::atomic<bool> &stop) {
				serve(line, stop, c.answer, r.wire);
			});
			if (c.path_mode != 0)
				chmod(dev.path().c_str(), c.path_mode);
			std::vector<std::string> args = c.args;
			args.push_back(c.path.empty() ? dev.path() : c.path);
			runs.emplace_back([&c, &r, args] { r.run = run_tool(c.tool, args, c.options); });
		}
		for (auto &t : runs)
			t.join();
		for (auto &d : devices)
			d->stop();
	}
	return results;
}
