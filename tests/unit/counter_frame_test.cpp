// SPDX-License-Identifier: MIT
// The counter module's frames and the reading of its replies.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "counter/counter_frame.hpp"

namespace {

std::string frame(char id, char cmd)
{
	char out[counter_frame_len];
	counter_build_frame(std::span<char, counter_frame_len>(out, counter_frame_len), id, cmd);
	return std::string(out, counter_frame_len);
}

// Runs a received byte string through cutting and matching, the way the
// tool does; the bytes live in a vector of exactly their size so that a
// read past them is caught by the sanitizers.
struct outcome {
	bool matched = false;
	std::string in, out;
};

outcome receive(const std::string &bytes, char cmd)
{
	std::vector<char> received(bytes.begin(), bytes.end());
	outcome result;
	auto reply = counter_read_reply(std::span<char>(received.data(), received.size()));
	if (!reply)
		return result;
	counter_counts counts{};
	result.matched = counter_match_reply(*reply, cmd, counts);
	result.in = counts.in.text;
	result.out = counts.out.text;
	return result;
}

const std::string stx = "\x02", etx = "\x03";

} // namespace

TEST(CounterFrame, TheFourFramesAreExactlyThese)
{
	EXPECT_EQ(frame('1', '2'), "\x02" "0001120013\x03");
	EXPECT_EQ(frame('2', '2'), "\x02" "0002120014\x03");
	EXPECT_EQ(frame('1', '3'), "\x02" "0001130014\x03");
	EXPECT_EQ(frame('2', '3'), "\x02" "0002130015\x03");
}

TEST(CounterReply, IsCutAfterTheLastStxUpToTheFirstEtx)
{
	std::vector<char> bytes = {'x', 2, 'a', 'b', 3, 2, 'c', 'd', 3, 'e'};
	auto reply = counter_read_reply(std::span<char>(bytes.data(), bytes.size()));
	ASSERT_TRUE(reply);
	EXPECT_EQ(reply->text, "cd");
	EXPECT_EQ(reply->rest.size(), 4u);
	// Every ETX became NUL, the earlier one too.
	EXPECT_EQ(bytes[4], '\0');
	EXPECT_EQ(bytes[8], '\0');
}

TEST(CounterReply, NoReplyWithoutStxOrWithoutBytes)
{
	std::vector<char> none;
	EXPECT_FALSE(counter_read_reply(std::span<char>(none.data(), none.size())));
	EXPECT_FALSE(receive("00019201069A" + etx, '2').matched);
	// A trailing STX gives an empty text, which matches nothing.
	EXPECT_FALSE(receive(stx + "00019201069A" + etx + stx, '2').matched);
}

TEST(CounterReply, WithoutEtxTheTextRunsToTheEndOfTheBytes)
{
	EXPECT_TRUE(receive(stx + "00019201069A", '2').matched);
	auto r = receive(stx + "000193100000004200000017", '3');
	EXPECT_TRUE(r.matched);
	EXPECT_EQ(r.in, "00000042");
	EXPECT_EQ(r.out, "00000017");
}

TEST(CounterMatch, ResetAcceptsEitherModulesHeadAnywhereInTheText)
{
	EXPECT_TRUE(receive(stx + "00019201069A" + etx, '2').matched);
	EXPECT_TRUE(receive(stx + "00029201069B" + etx, '2').matched);
	EXPECT_TRUE(receive(stx + "zz00029201069Bzz" + etx, '2').matched);
	// A head before the last STX is not looked at.
	EXPECT_FALSE(receive(stx + "00019201069A" + etx + stx + "junk" + etx, '2').matched);
	// The other operation's head, or a near miss, is not a match.
	EXPECT_FALSE(receive(stx + "000193100000000000000000" + etx, '2').matched);
	EXPECT_FALSE(receive(stx + "00019201069B" + etx, '2').matched);
	EXPECT_FALSE(receive(stx + "00019201069A" + etx, '3').matched);
}

TEST(CounterMatch, CountsStandAtFixedOffsetsFromTheStartOfTheText)
{
	auto r = receive(stx + "00029310" "12345678" "87654321" "C3" + etx, '3');
	EXPECT_TRUE(r.matched);
	EXPECT_EQ(r.in, "12345678");
	EXPECT_EQ(r.out, "87654321");

	// A head after other characters still matches, but the counts are
	// taken from the start of the text and so hold part of the head.
	r = receive(stx + "ab00019310" "11112222" "33334444" + etx, '3');
	EXPECT_TRUE(r.matched);
	EXPECT_EQ(r.in, "10111122");
	EXPECT_EQ(r.out, "22333344");
}

TEST(CounterMatch, ShortRepliesGiveShortCounts)
{
	auto r = receive(stx + "00019310" "12345", '3');
	EXPECT_TRUE(r.matched);
	EXPECT_EQ(r.in, "12345");
	EXPECT_EQ(r.out, "");

	r = receive(stx + "00019310" + etx, '3');
	EXPECT_TRUE(r.matched);
	EXPECT_EQ(r.in, "");
	EXPECT_EQ(r.out, "");
}

TEST(CounterMatch, AnEtxInsideTheInFieldEndsItButNotTheOutField)
{
	// ETX at offset 12 of the text: IN has 4 characters, OUT is still read
	// at offsets 16 to 23, from bytes received after the ETX.
	auto r = receive(stx + "00019310" "1234" + etx + "567" "ABCDEFGH" "tail", '3');
	EXPECT_TRUE(r.matched);
	EXPECT_EQ(r.in, "1234");
	EXPECT_EQ(r.out, "ABCDEFGH");
}

TEST(CounterMatch, AFullBufferWithoutStxEtxOrNulIsReadWithinItsBounds)
{
	EXPECT_FALSE(receive(std::string(128, 'A'), '3').matched);
	// STX first, then 127 bytes of head and digits with no end marker.
	std::string bytes = stx + "00019310" + std::string(119, '7');
	auto r = receive(bytes, '3');
	EXPECT_TRUE(r.matched);
	EXPECT_EQ(r.in, "77777777");
	EXPECT_EQ(r.out, "77777777");
	// The head cut off by the end of the bytes is not matched.
	EXPECT_FALSE(receive(std::string(124, 'x') + stx + "000", '3').matched);
}
