// SPDX-License-Identifier: MIT
#include "sim/counter_module.hpp"

#include <cstdio>

namespace {

constexpr char stx = 0x02;
constexpr char etx = 0x03;
// A frame body longer than this is noise, not a request.
constexpr std::size_t max_body = 64;

int hex_digit(char c)
{
	if (c >= '0' && c <= '9')
		return c - '0';
	if (c >= 'A' && c <= 'F')
		return c - 'A' + 10;
	if (c >= 'a' && c <= 'f')
		return c - 'a' + 10;
	return -1;
}

// Value of the hex pair at `at`, or -1.
int hex_pair(std::string_view text, std::size_t at)
{
	int hi = hex_digit(text[at]);
	int lo = hex_digit(text[at + 1]);
	return hi < 0 || lo < 0 ? -1 : hi * 16 + lo;
}

std::string with_check(const std::string &pairs)
{
	char check[3];
	std::snprintf(check, sizeof check, "%02X", counter_module::check_byte(pairs));
	return pairs + check;
}

} // namespace

bool counter_fault_from_name(std::string_view name, counter_fault &fault)
{
	static const struct {
		std::string_view name;
		counter_fault fault{};
	} names[] = {{"none", counter_fault::none},
		     {"mute", counter_fault::mute},
		     {"garbage", counter_fault::garbage},
		     {"split", counter_fault::split},
		     {"other-head", counter_fault::other_head}};
	for (const auto &n : names)
		if (n.name == name) {
			fault = n.fault;
			return true;
		}
	return false;
}

counter_module::counter_module(const counter_module_config &config) : config_(config) {}

unsigned counter_module::check_byte(std::string_view pairs)
{
	unsigned sum = 0;
	for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
		int v = hex_pair(pairs, i);
		sum += v < 0 ? 0u : static_cast<unsigned>(v);
	}
	return sum & 0xffu;
}

unsigned long counter_module::in_count(int module) const { return config_.in[static_cast<std::size_t>(module - 1)]; }

unsigned long counter_module::out_count(int module) const { return config_.out[static_cast<std::size_t>(module - 1)]; }

std::vector<counter_reply_bytes> counter_module::feed(std::string_view bytes)
{
	std::vector<counter_reply_bytes> replies;
	for (char c : bytes) {
		if (c == stx) {
			// A new STX restarts the frame, as after a collision.
			frame_.clear();
			in_frame_ = true;
		} else if (!in_frame_) {
			continue;
		} else if (c == etx) {
			in_frame_ = false;
			for (auto &r : on_frame(frame_))
				replies.push_back(std::move(r));
			frame_.clear();
		} else if (frame_.size() < max_body) {
			frame_ += c;
		} else {
			in_frame_ = false;
			frame_.clear();
		}
	}
	return replies;
}

std::vector<counter_reply_bytes> counter_module::on_frame(std::string_view body)
{
	// Address (2 pairs), function, length 00, check.
	if (body.size() != 10)
		return {};
	int addr_hi = hex_pair(body, 0);
	int addr_lo = hex_pair(body, 2);
	int function = hex_pair(body, 4);
	int length = hex_pair(body, 6);
	int check = hex_pair(body, 8);
	if (addr_hi != 0 || (addr_lo != 1 && addr_lo != 2) || length != 0 || check < 0)
		return {};
	if (static_cast<unsigned>(check) != check_byte(body.substr(0, 8)))
		return {};
	char command;
	if (function == 0x12)
		command = '2';
	else if (function == 0x13)
		command = '3';
	else
		return {};
	auto index = static_cast<std::size_t>(addr_lo - 1);
	if (!config_.plays[index])
		return {};

	if (command == '2') {
		config_.in[index] = 0;
		config_.out[index] = 0;
	}
	++answered_;
	if (config_.fault == counter_fault::mute)
		return {};

	counter_reply_bytes reply;
	reply.module = addr_lo;
	reply.command = command;
	if (config_.fault == counter_fault::garbage) {
		reply.bytes = "\x7f\xfe?#0000%\r\n\x01\xff";
	} else {
		// With the other module's head the counts are still this module's.
		int head = config_.fault == counter_fault::other_head ? 3 - addr_lo : addr_lo;
		reply.bytes = std::string(1, stx) + reply_for(head, command, index) + etx;
	}
	reply.split_at = config_.fault == counter_fault::split ? reply.bytes.size() / 2 : reply.bytes.size();
	return {reply};
}

std::string counter_module::reply_for(int head_address, char command, std::size_t index) const
{
	char head[16];
	std::snprintf(head, sizeof head, "%04X", head_address);
	if (command == '2')
		return with_check(std::string(head) + "920106");
	char counts[32];
	std::snprintf(counts, sizeof counts, "%08lu%08lu", config_.in[index] % 100000000UL,
		      config_.out[index] % 100000000UL);
	return with_check(std::string(head) + "9310" + counts);
}
