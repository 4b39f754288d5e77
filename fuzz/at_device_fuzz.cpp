// SPDX-License-Identifier: MIT
// The simulated AT-command device's command parsing.
//
// Input: one byte for the device's set-up (echo, line feeds, vehicle,
// fault), then the bytes off the line, fed the way the serve loop feeds
// them: the device takes up to the first CR, and the rest is fed again.
// Each answer must be well formed, and a well-behaved device's answer must
// give the AT tool a line to print.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "attool/quorlet.hpp"
#include "fuzz/fuzz_check.hpp"
#include "sim/at_device.hpp"

namespace {

constexpr at_fault faults[] = {at_fault::none,  at_fault::no_prompt, at_fault::split, at_fault::trailer,
			       at_fault::nul,   at_fault::flood,     at_fault::padded};

std::string joined(const at_answer &answer)
{
	std::string all;
	for (const auto &p : answer) {
		FUZZ_CHECK(!p.bytes.empty());
		FUZZ_CHECK(p.delay_ms >= 0);
		all += p.bytes;
	}
	return all;
}

// The command as the device echoes it: control bytes dropped, at most 128.
std::string echoed(std::string_view typed)
{
	std::string out;
	for (char ch : typed) {
		const auto c = static_cast<unsigned char>(ch);
		if (c >= 0x20 && c != 0x7f && out.size() < 128)
			out += ch;
	}
	return out;
}

void check_answer(const at_device_config &config, std::string_view taken, const std::string &all, bool echo_before,
		  bool lf_before)
{
	// A LF is only ever sent after a CR; NUL only as the `nul` fault's
	// first byte.
	for (std::size_t i = 0; i < all.size(); ++i) {
		if (all[i] == '\n')
			FUZZ_CHECK(i > 0 && all[i - 1] == '\r');
		if (all[i] == '\0')
			FUZZ_CHECK(config.fault == at_fault::nul && i == 0);
	}
	const std::string echo = echoed(taken.substr(0, taken.size() - 1));
	const auto prompts_in_echo = std::count(echo.begin(), echo.end(), '>');
	const auto prompts = std::count(all.begin(), all.end(), '>');
	switch (config.fault) {
	case at_fault::none:
	case at_fault::split:
	case at_fault::padded:
		FUZZ_CHECK(all.back() == '>');
		FUZZ_CHECK(prompts == 1 + (echo_before ? prompts_in_echo : 0));
		break;
	case at_fault::no_prompt:
		FUZZ_CHECK(prompts == 0);
		break;
	case at_fault::flood:
		FUZZ_CHECK(all.size() == 300 && prompts == 0);
		break;
	default:
		break;
	}
	if (config.fault == at_fault::padded && all.size() <= config.prompt_at)
		FUZZ_CHECK(all.size() == config.prompt_at);
	if (config.fault != at_fault::none)
		return;

	if (echo_before)
		FUZZ_CHECK(all.rfind(echo + (lf_before ? "\r\n" : "\r"), 0) == 0);
	// What the tool makes of it through a port with ICRNL: a line to print,
	// unless the echo itself held a '>'.
	if (echo_before && prompts_in_echo > 0)
		return;
	std::string received = all;
	std::replace(received.begin(), received.end(), '\r', '\n');
	auto exact = std::make_unique<char[]>(received.size());
	std::memcpy(exact.get(), received.data(), received.size());
	auto line = find_reply_line(std::span<char>(exact.get(), received.size()));
	FUZZ_CHECK(line.has_value() && line->back() == '\n');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 1)
		return 0;
	at_device_config config;
	config.echo = (data[0] & 1) != 0;
	config.linefeeds = (data[0] & 2) != 0;
	config.vehicle = (data[0] & 4) != 0;
	config.fault = faults[(data[0] >> 3) % std::size(faults)];
	config.prompt_at = 1 + (data[0] & 0x80 ? 254 : 30);
	at_device device(config);

	std::string_view line(reinterpret_cast<const char *>(data + 1), size - 1);
	int commands = 0;
	while (!line.empty()) {
		const bool echo_before = device.echo();
		const bool lf_before = device.linefeeds();
		at_answer answer;
		const std::size_t taken = device.feed(line, answer);
		FUZZ_CHECK(taken > 0 && taken <= line.size());
		const std::size_t cr = line.find('\r');
		if (cr == std::string_view::npos) {
			// No command completed: all taken, nothing said.
			FUZZ_CHECK(taken == line.size() && answer.empty());
			FUZZ_CHECK(device.commands() == commands);
			break;
		}
		FUZZ_CHECK(taken == cr + 1);
		FUZZ_CHECK(device.commands() == ++commands);
		FUZZ_CHECK(!answer.empty());
		check_answer(config, line.substr(0, taken), joined(answer), echo_before, lf_before);
		line.remove_prefix(taken);
	}
	FUZZ_CHECK(!joined(device.interrupted()).empty());
	return 0;
}
