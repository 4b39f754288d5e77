// SPDX-License-Identifier: MIT
// The in/out counter module's frame protocol: pure byte handling, no I/O.
//
// A request is 12 bytes: STX, ten ASCII characters, ETX. Read as hex pairs
// the characters are a 16-bit module address, a function code (12 reset,
// 13 read counts), a length (00) and a check byte, the low byte of the sum
// of the four before it.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

inline constexpr char counter_stx = 0x02;
inline constexpr char counter_etx = 0x03;
inline constexpr std::size_t counter_frame_len = 12;

inline constexpr char counter_cmd_reset = '2';
inline constexpr char counter_cmd_read = '3';

// Width of the IN and OUT count fields in a read-counts reply.
inline constexpr std::size_t counter_count_len = 8;

// Writes the request frame for module `id` ('1' or '2') and command `cmd`
// (counter_cmd_reset or counter_cmd_read) into `frame`.
void counter_build_frame(std::span<char, counter_frame_len> frame, char id, char cmd);

// The reply as cut out of the received bytes.
struct counter_reply {
	// From just after the last STX to the end of the received bytes; the
	// count fields are taken from here at fixed offsets.
	std::span<const char> rest;
	// The reply text proper: `rest` up to its first NUL (a former ETX).
	std::string_view text;
};

// Cuts the reply out of `received`. The last STX starts the reply, and
// every ETX in `received` is replaced by NUL in place, so that the text ends
// at the first ETX after its start. Nothing outside `received` is read.
// No reply when `received` is empty or holds no STX.
std::optional<counter_reply> counter_read_reply(std::span<char> received);

// A count as printed: up to 8 characters and a NUL.
struct counter_count {
	char text[counter_count_len + 1];
};

struct counter_counts {
	counter_count in;
	counter_count out;
};

// True when the reply text holds a head that answers `cmd`; either module's
// head is accepted. For read counts, also fills `counts` from offsets 8 to
// 15 (IN) and 16 to 23 (OUT) of the reply, each ended by its first NUL or by
// the end of the received bytes.
bool counter_match_reply(const counter_reply &reply, char cmd, counter_counts &counts);
