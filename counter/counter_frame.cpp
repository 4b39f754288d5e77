// SPDX-License-Identifier: MIT
#include "counter/counter_frame.hpp"

#include <array>

namespace {

constexpr std::array<std::string_view, 2> reset_heads = {"00019201069A", "00029201069B"};
constexpr std::array<std::string_view, 2> read_heads = {"00019310", "00029310"};

constexpr std::size_t in_offset = 8;
constexpr std::size_t out_offset = 16;

bool holds_any(std::string_view text, const std::array<std::string_view, 2> &heads)
{
	for (std::string_view head : heads)
		if (text.find(head) != std::string_view::npos)
			return true;
	return false;
}

// Copies the field at `offset` of `rest`, stopping at a NUL, at the field's
// width or at the end of the received bytes, whichever comes first.
void take_count(std::span<const char> rest, std::size_t offset, counter_count &count)
{
	std::size_t len = 0;
	while (len < counter_count_len && offset + len < rest.size() && rest[offset + len] != '\0') {
		count.text[len] = rest[offset + len];
		++len;
	}
	count.text[len] = '\0';
}

} // namespace

void counter_build_frame(std::span<char, counter_frame_len> frame, char id, char cmd)
{
	frame[0] = counter_stx;
	frame[1] = '0';
	frame[2] = '0';
	frame[3] = '0';
	frame[4] = id;
	frame[5] = '1';
	frame[6] = cmd;
	frame[7] = '0';
	frame[8] = '0';
	frame[9] = '1';
	// As hex pairs: 00 + 0id + 1cmd + 00 = id + cmd + 0x10, whose low digit
	// is cmd + id - '0' for the four frames that exist.
	frame[10] = static_cast<char>(cmd + id - '0');
	frame[11] = counter_etx;
}

std::optional<counter_reply> counter_read_reply(std::span<char> received)
{
	std::optional<std::size_t> start;
	for (std::size_t i = 0; i < received.size(); ++i) {
		if (received[i] == counter_stx)
			start = i + 1;
		else if (received[i] == counter_etx)
			received[i] = '\0';
	}
	if (!start)
		return std::nullopt;

	std::span<const char> rest = received.subspan(*start);
	std::size_t len = 0;
	while (len < rest.size() && rest[len] != '\0')
		++len;
	return counter_reply{rest, std::string_view(rest.data(), len)};
}

bool counter_match_reply(const counter_reply &reply, char cmd, counter_counts &counts)
{
	if (cmd == counter_cmd_reset)
		return holds_any(reply.text, reset_heads);
	if (cmd != counter_cmd_read || !holds_any(reply.text, read_heads))
		return false;
	// Fixed offsets from the start of the reply, not from where the head
	// was found.
	take_count(reply.rest, in_offset, counts.in);
	take_count(reply.rest, out_offset, counts.out);
	return true;
}
