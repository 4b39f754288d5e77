// SPDX-License-Identifier: MIT
// A simulated in/out counter module on an RS-485 bus.
//
// It behaves as a real slave on a shared bus: it collects frames between
// STX and ETX, answers only those addressed to a module it plays and whose
// check byte is right, and ignores everything else. Replies are ASCII hex
// pairs between STX and ETX:
//   reset: address, 92, length 01, data 06, check    e.g. 00019201069A
//   read:  address, 93, 10, IN and OUT as 8 decimal digits each, check
//          e.g. 00019310 00000012 00000007 D0 (without the blanks)
// The check byte is the low byte of the sum of the hex pairs before it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

enum class counter_fault : std::uint8_t {
	none,       // well-formed replies
	mute,       // never answers
	garbage,    // answers with junk that holds no STX
	split,      // the reply comes in two pieces, a gap apart
	other_head, // the reply carries the other module's address
};

// Parses "none", "mute", "garbage", "split", "other-head"; false if unknown.
bool counter_fault_from_name(std::string_view name, counter_fault &fault);

struct counter_module_config {
	std::array<bool, 2> plays{true, true}; // modules 1 and 2
	counter_fault fault = counter_fault::none;
	std::array<unsigned long, 2> in{0, 0};
	std::array<unsigned long, 2> out{0, 0};
};

struct counter_reply_bytes {
	std::string bytes;
	// Where a split reply breaks; bytes.size() when it goes in one piece.
	std::size_t split_at = 0;
	int module = 0; // 1 or 2
	char command = 0; // '2' reset, '3' read counts
};

class counter_module {
public:
	explicit counter_module(const counter_module_config &config);

	// Takes bytes as they come off the line; returns the replies due for
	// the frames completed by them, in order.
	std::vector<counter_reply_bytes> feed(std::string_view bytes);

	unsigned long in_count(int module) const;
	unsigned long out_count(int module) const;
	// Frames answered so far.
	int answered() const { return answered_; }

	// Hex-pair check byte of `pairs` (an even count of hex digits).
	static unsigned check_byte(std::string_view pairs);

private:
	std::vector<counter_reply_bytes> on_frame(std::string_view body);
	std::string reply_for(int head_address, char command, std::size_t index) const;

	counter_module_config config_;
	std::string frame_;
	bool in_frame_ = false;
	int answered_ = 0;
};
