// SPDX-License-Identifier: MIT
#include "sim/counter_serve.hpp"

#include <string_view>

int counter_serve(const device_line &line, counter_module &module, const counter_serve_options &options)
{
	char chunk[256];
	for (;;) {
		if (options.stop && options.stop->load())
			return 0;
		if (options.max_frames > 0 && module.answered() >= options.max_frames)
			return 0;
		ssize_t got = line_read(line, chunk, sizeof chunk, 10);
		if (got < 0)
			return options.stop ? 0 : 1;
		if (got == 0)
			continue;
		auto bytes = std::string_view(chunk, static_cast<std::size_t>(got));
		if (options.wire)
			options.wire->append(bytes);
		for (const auto &reply : module.feed(bytes)) {
			if (options.log)
				std::fprintf(options.log, "module %d: %s, %zu reply bytes\n", reply.module,
					     reply.command == '2' ? "reset" : "read counts", reply.bytes.size());
			if (reply.bytes.empty())
				continue;
			line_sleep_ms(options.delay_ms);
			std::string_view out = reply.bytes;
			if (!line_write(line, out.substr(0, reply.split_at)))
				return 1;
			if (reply.split_at < out.size()) {
				line_sleep_ms(options.split_gap_ms);
				if (!line_write(line, out.substr(reply.split_at)))
					return 1;
			}
		}
	}
}
