// SPDX-License-Identifier: MIT
// The simulated counter module's request parsing.
//
// Input: one byte for the module's set-up (modules played, fault), two for
// its starting counts, then the bytes off the line. The same bytes are fed
// once whole and once in pieces of varying size; the module must answer the
// same either way. Every reply must be well formed and must be understood by
// the counter tool's own reply reading.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "counter/counter_frame.hpp"
#include "fuzz/fuzz_check.hpp"
#include "sim/counter_module.hpp"

namespace {

constexpr counter_fault faults[] = {counter_fault::none, counter_fault::mute, counter_fault::garbage,
				    counter_fault::split, counter_fault::other_head};

bool is_upper_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

bool is_hex(char c) { return is_upper_hex(c) || (c >= 'a' && c <= 'f'); }

unsigned pair_value(const std::string &s, std::size_t at)
{
	unsigned v = 0;
	std::sscanf(s.substr(at, 2).c_str(), "%2x", &v);
	return v;
}

// Places where a complete request could stand: STX, ten hex digits, ETX.
std::size_t possible_requests(std::string_view line)
{
	std::size_t count = 0;
	for (std::size_t i = 0; i + 11 < line.size(); ++i) {
		if (line[i] != 0x02 || line[i + 11] != 0x03)
			continue;
		bool hex = true;
		for (std::size_t j = 1; j <= 10; ++j)
			hex = hex && is_hex(line[i + j]);
		count += hex ? 1 : 0;
	}
	return count;
}

// Hands the reply to the counter tool's reading as the tool would get it
// and returns whether it was matched, with the counts.
bool tool_reads(const std::string &bytes, char cmd, counter_counts &counts)
{
	auto exact = std::make_unique<char[]>(bytes.size());
	std::memcpy(exact.get(), bytes.data(), bytes.size());
	auto reply = counter_read_reply(std::span<char>(exact.get(), bytes.size()));
	return reply && counter_match_reply(*reply, cmd, counts);
}

void check_reply(const counter_reply_bytes &r, const counter_module_config &config,
		 std::array<unsigned long, 2> &in, std::array<unsigned long, 2> &out)
{
	FUZZ_CHECK(r.module == 1 || r.module == 2);
	FUZZ_CHECK(r.command == counter_cmd_reset || r.command == counter_cmd_read);
	auto index = static_cast<std::size_t>(r.module - 1);
	FUZZ_CHECK(config.plays[index]);
	if (r.command == counter_cmd_reset)
		in[index] = out[index] = 0;

	const std::string &b = r.bytes;
	FUZZ_CHECK(r.split_at == (config.fault == counter_fault::split ? b.size() / 2 : b.size()));
	counter_counts counts{};
	if (config.fault == counter_fault::garbage) {
		FUZZ_CHECK(b.find('\x02') == std::string::npos);
		FUZZ_CHECK(!tool_reads(b, r.command, counts));
		return;
	}

	// STX, hex pairs, ETX; the last pair is the low byte of the sum of
	// the others.
	FUZZ_CHECK(b.size() >= 4 && b.front() == 0x02 && b.back() == 0x03);
	const std::string body = b.substr(1, b.size() - 2);
	FUZZ_CHECK(body.size() % 2 == 0);
	for (char c : body)
		FUZZ_CHECK(is_upper_hex(c));
	unsigned sum = 0;
	for (std::size_t i = 0; i + 2 < body.size(); i += 2)
		sum += pair_value(body, i);
	FUZZ_CHECK(pair_value(body, body.size() - 2) == (sum & 0xffu));
	FUZZ_CHECK(counter_module::check_byte(body.substr(0, body.size() - 2)) == (sum & 0xffu));

	int head = config.fault == counter_fault::other_head ? 3 - r.module : r.module;
	FUZZ_CHECK(pair_value(body, 0) == 0 && pair_value(body, 2) == static_cast<unsigned>(head));

	// The tool accepts it and finds the module's counts where they belong.
	FUZZ_CHECK(tool_reads(b, r.command, counts));
	if (r.command == counter_cmd_read) {
		FUZZ_CHECK(body.size() == 26);
		char want[2][16];
		std::snprintf(want[0], sizeof want[0], "%08lu", in[index] % 100000000UL);
		std::snprintf(want[1], sizeof want[1], "%08lu", out[index] % 100000000UL);
		FUZZ_CHECK(std::string(counts.in.text) == want[0]);
		FUZZ_CHECK(std::string(counts.out.text) == want[1]);
	} else {
		FUZZ_CHECK(body.size() == 12);
	}
}

bool same(const counter_reply_bytes &a, const counter_reply_bytes &b)
{
	return a.bytes == b.bytes && a.split_at == b.split_at && a.module == b.module && a.command == b.command;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size < 3)
		return 0;
	counter_module_config config;
	config.plays = {(data[0] & 1) != 0, (data[0] & 2) != 0};
	config.fault = faults[(data[0] >> 2) % std::size(faults)];
	// Counts of up to 10 digits, so that the 8-digit cut is exercised.
	config.in = {data[1] * 40000000UL, data[1] * 7UL};
	config.out = {data[2] * 3UL, data[2] * 41000000UL};
	const std::string_view line(reinterpret_cast<const char *>(data + 3), size - 3);

	counter_module whole(config);
	std::vector<counter_reply_bytes> at_once = whole.feed(line);

	// Pieces of 1 to 8 bytes, sized by the bytes themselves.
	counter_module pieces(config);
	std::vector<counter_reply_bytes> in_pieces;
	for (std::size_t at = 0; at < line.size();) {
		std::size_t len = 1 + static_cast<unsigned char>(line[at]) % 8;
		for (auto &r : pieces.feed(line.substr(at, len)))
			in_pieces.push_back(std::move(r));
		at += len;
	}
	FUZZ_CHECK(at_once.size() == in_pieces.size());
	FUZZ_CHECK(whole.answered() == pieces.answered());
	for (std::size_t i = 0; i < at_once.size(); ++i)
		FUZZ_CHECK(same(at_once[i], in_pieces[i]));

	FUZZ_CHECK(static_cast<std::size_t>(whole.answered()) <= possible_requests(line));
	if (config.fault == counter_fault::mute)
		FUZZ_CHECK(at_once.empty());
	else
		FUZZ_CHECK(at_once.size() == static_cast<std::size_t>(whole.answered()));

	std::array<unsigned long, 2> in = config.in, out = config.out;
	for (const auto &r : at_once)
		check_reply(r, config, in, out);
	return 0;
}
