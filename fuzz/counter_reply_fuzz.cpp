// SPDX-License-Identifier: MIT
// Cutting and matching a counter module's reply, with the counts taken out
// of it; and building the request frame.
//
// Input: one byte that picks the command (and, for the frame, the ID), then
// the received bytes. The received bytes are handed over in a heap block of
// exactly their size, so that any read past them is caught by ASan.

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "counter/counter_frame.hpp"
#include "fuzz/fuzz_check.hpp"

namespace {

constexpr const char *reset_heads[] = {"00019201069A", "00029201069B"};
constexpr const char *read_heads[] = {"00019310", "00029310"};

bool occurs(std::string_view text, const char *const (&heads)[2])
{
	for (const char *head : heads)
		if (memmem(text.data(), text.size(), head, std::strlen(head)) != nullptr)
			return true;
	return false;
}

// What a count at `offset` of the reply should be: the received bytes there,
// up to 8, ended early by a NUL, an ETX or the end of the data.
std::string expected_count(const std::string &received, std::size_t reply_start, std::size_t offset)
{
	std::string count;
	for (std::size_t i = reply_start + offset; i < received.size() && count.size() < counter_count_len; ++i) {
		if (received[i] == '\0' || received[i] == counter_etx)
			break;
		count += received[i];
	}
	return count;
}

void check_count(const counter_count &count, const std::string &want)
{
	const void *nul = std::memchr(count.text, '\0', sizeof count.text);
	FUZZ_CHECK(nul != nullptr);
	FUZZ_CHECK(std::string(count.text) == want);
}

void check_frame(char id, char cmd)
{
	char frame[counter_frame_len];
	counter_build_frame(std::span<char, counter_frame_len>(frame, counter_frame_len), id, cmd);
	FUZZ_CHECK(frame[0] == counter_stx && frame[11] == counter_etx);
	FUZZ_CHECK(std::memcmp(frame + 1, "000", 3) == 0 && std::memcmp(frame + 7, "001", 3) == 0);
	FUZZ_CHECK(frame[4] == id && frame[5] == '1' && frame[6] == cmd);
	FUZZ_CHECK(frame[10] == static_cast<char>(cmd + id - '0'));
	if ((id == '1' || id == '2') && (cmd == '2' || cmd == '3')) {
		// The check character is the low digit of the sum of the hex
		// pairs 00, 0id, 1cmd, 00 (the high digit is always 1).
		unsigned sum = static_cast<unsigned>(id - '0') + 0x10u + static_cast<unsigned>(cmd - '0');
		FUZZ_CHECK(static_cast<unsigned>(frame[10] - '0') == (sum & 0x0fu));
		// A frame read back as a reply gives its ten characters.
		auto reply = counter_read_reply(std::span<char>(frame, counter_frame_len));
		FUZZ_CHECK(reply && reply->text.size() == 10 && reply->rest.size() == 11);
	}
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
	if (size == 0)
		return 0;
	// Mostly the two real commands; now and then any byte at all.
	char cmd = static_cast<char>(data[0]);
	if ((data[0] & 0x80) == 0)
		cmd = (data[0] & 1) != 0 ? counter_cmd_read : counter_cmd_reset;
	char id = (data[0] & 2) != 0 ? '2' : '1';
	check_frame(id, cmd);
	check_frame(static_cast<char>(data[0]), static_cast<char>(size > 1 ? data[1] : 0));

	const std::string received(reinterpret_cast<const char *>(data + 1), size - 1);
	const std::size_t n = received.size();
	auto exact = std::make_unique<char[]>(n);
	std::memcpy(exact.get(), received.data(), n);

	auto reply = counter_read_reply(std::span<char>(exact.get(), n));

	// Every ETX became NUL; nothing else changed.
	for (std::size_t i = 0; i < n; ++i)
		FUZZ_CHECK(exact[i] == (received[i] == counter_etx ? '\0' : received[i]));

	std::size_t last_stx = received.rfind(counter_stx);
	if (last_stx == std::string::npos) {
		FUZZ_CHECK(!reply);
		return 0;
	}
	FUZZ_CHECK(reply.has_value());
	const std::size_t start = last_stx + 1;
	FUZZ_CHECK(reply->rest.data() == exact.get() + start);
	FUZZ_CHECK(reply->rest.size() == n - start);
	std::size_t end = start;
	while (end < n && received[end] != '\0' && received[end] != counter_etx)
		++end;
	FUZZ_CHECK(reply->text.data() == exact.get() + start);
	FUZZ_CHECK(reply->text.size() == end - start);

	counter_counts counts{};
	std::memset(&counts, 'x', sizeof counts);
	bool matched = counter_match_reply(*reply, cmd, counts);
	if (cmd == counter_cmd_reset) {
		FUZZ_CHECK(matched == occurs(reply->text, reset_heads));
	} else if (cmd == counter_cmd_read) {
		FUZZ_CHECK(matched == occurs(reply->text, read_heads));
		if (matched) {
			check_count(counts.in, expected_count(received, start, 8));
			check_count(counts.out, expected_count(received, start, 16));
		}
	} else {
		FUZZ_CHECK(!matched);
	}
	return 0;
}
