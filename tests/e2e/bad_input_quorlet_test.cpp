// SPDX-License-Identifier: MIT
// quorlet against replies, input lines, paths and streams that no
// well-behaved device, script or caller would give it. Every run must end
// with status 0 or 1 and exactly the output the rules give, never by a
// signal and never later than its ten polls allow.
//
// The runs of each test go at once, each on its own pseudo-terminal: many
// of them wait out the full ten seconds. Under an emulator or memcheck,
// whose start-up takes a second of CPU or more, fewer at a time.

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/e2e/scripted_device.hpp"

namespace {

using namespace std::string_literals;

struct outcome {
	int status;
	std::string out;
	bool times_out = false; // waits all ten polls
};

// What quorlet prints for `reply` arriving in one piece before its first
// poll, from the rules alone: the port turns CR into LF (ICRNL left as
// found), at most 255 bytes are held, the first '>' ends the reply, and the
// line after its first LF, up to and with the next LF, is printed.
outcome quorlet_outcome(std::string reply)
{
	for (char &c : reply)
		if (c == '\r')
			c = '\n';
	reply.resize(std::min<std::size_t>(reply.size(), 255));
	const std::size_t prompt = reply.find('>');
	if (prompt == std::string::npos)
		return {1, "", true};
	const std::string before = reply.substr(0, prompt);
	const std::size_t first = before.find('\n');
	const std::size_t next = first == std::string::npos ? first : before.find('\n', first + 1);
	if (next == std::string::npos)
		return {1, ""};
	return {0, before.substr(first + 1, next - first)};
}

std::size_t at_once(std::size_t runs)
{
	return tool_emulated() ? 8 : runs;
}

scripted_case quorlet_case(std::string reply, std::string input = "ATI\n")
{
	scripted_case c;
	c.tool = "quorlet";
	c.answer.reply = std::move(reply);
	c.answer.request_end = '\r';
	c.options.stdin_data = std::move(input);
	return c;
}

// Ends cleanly, and on time: at the first poll, or after the tenth.
void expect_clean_end(const tool_result &r, bool times_out)
{
	const double slack = tool_emulated() ? 8.0 : 2.0;
	EXPECT_FALSE(r.timed_out);
	EXPECT_EQ(r.signal, 0);
	EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
	EXPECT_GE(r.seconds, times_out ? 10.0 : 0.0);
	EXPECT_LT(r.seconds, (times_out ? 10.0 : 1.0) + slack);
}

} // namespace

TEST(QuorletBadInput, RandomRepliesGiveExactlyWhatTheAnswerRulesSay)
{
	// A fixed seed: the same 16 replies every run, up to 300 bytes. Most
	// hold a '>' somewhere, so that they end at the first poll; bytes
	// are drawn either from all 256 or from those that matter.
	std::mt19937 gen(77031);
	auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); };
	const std::string telling = "\r\n\r\n>\0AT0"s;
	std::vector<scripted_case> cases;
	for (int i = 0; i < 16; ++i) {
		std::string reply;
		int len = pick(1, 300);
		for (int j = 0; j < len; ++j)
			reply += i % 2 == 0 ? static_cast<char>(pick(0, 255)) : telling[static_cast<std::size_t>(pick(0, 8))];
		if (i % 4 == 0)
			reply.insert(static_cast<std::size_t>(pick(0, std::min(len, 250))), ">");
		cases.push_back(quorlet_case(reply));
	}
	auto results = run_scripted(cases, at_once(cases.size()));
	int printed = 0;
	for (std::size_t i = 0; i < cases.size(); ++i) {
		SCOPED_TRACE("reply " + std::to_string(i));
		const auto &r = results[i].run;
		outcome want = quorlet_outcome(cases[i].answer.reply);
		expect_clean_end(r, want.times_out);
		EXPECT_EQ(r.status, want.status);
		EXPECT_EQ(r.out, want.out);
		EXPECT_EQ(r.err, "");
		EXPECT_EQ(results[i].wire, "ATI\r");
		printed += r.status == 0;
	}
	EXPECT_GT(printed, 1);
	EXPECT_LT(printed, 15);
}

TEST(QuorletBadInput, LongRepliesNulBytesAndHangUps)
{
	// After "ATI\rOK\r", 247 bytes bring the prompt to byte 255.
	const std::string filler(247, '.');
	struct {
		const char *what;
		std::string input, reply;
		bool hang_up;
		outcome want;
		std::string wire;
		int repeat_ms = 0; // the reply again this often
	} cases[] = {
	    {"300 bytes without '>' or NUL", "ATI\n", std::string(300, 'x'), false, {1, "", true}, "ATI\r"},
	    {"NUL bytes in the answer are printed as received", "ATI\n", "ATI\r\0ELM\0327\r\r>"s, false,
	     {0, "\0ELM\0327\n"s}, "ATI\r"},
	    {"a NUL in the input line refuses it", "AT\0I\n"s, "ATI\rOK\r\r>", false, {1, ""}, ""},
	    {"'>' as the 255th byte is seen", "ATI\n", "ATI\rOK\r" + filler + ">", false, {0, "OK\n"}, "ATI\r"},
	    {"'>' as the 256th byte is not", "ATI\n", "ATI\rOK\r" + filler + ".>", false, {1, "", true}, "ATI\r"},
	    {"a hang-up in the middle of the answer", "ATI\n", "ATI\rELM3", true, {1, "", true}, "ATI\r"},
	    {"a hang-up right after a whole answer", "ATI\n", "ATI\rOK\r\r>", true, {1, "", true}, "ATI\r"},
	    // Bytes that keep coming do not stretch the ten polls.
	    {"a device that chatters every half second and never prompts", "ATI\n", "..", false, {1, "", true}, "ATI\r",
	     500},
	    {"a line of 254 bytes and LF is sent", std::string(254, 'A') + "\n", "\r\r>", false, {0, "\n"},
	     std::string(254, 'A') + "\r"},
	    {"a line of 255 bytes and LF is refused", std::string(255, 'A') + "\n", "\r\r>", false, {1, ""}, ""},
	};
	std::vector<scripted_case> runs;
	for (const auto &c : cases) {
		runs.push_back(quorlet_case(c.reply, c.input));
		runs.back().answer.hang_up = c.hang_up;
		runs.back().answer.repeat_ms = c.repeat_ms;
	}
	auto results = run_scripted(runs, at_once(runs.size()));
	for (std::size_t i = 0; i < runs.size(); ++i) {
		SCOPED_TRACE(cases[i].what);
		const auto &r = results[i].run;
		expect_clean_end(r, cases[i].want.times_out);
		EXPECT_EQ(r.status, cases[i].want.status);
		EXPECT_EQ(r.out, cases[i].want.out);
		EXPECT_EQ(r.err, cases[i].wire.empty() ? "invalid string\n" : "");
		EXPECT_EQ(results[i].wire, cases[i].wire);
	}
}
