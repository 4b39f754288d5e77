// SPDX-License-Identifier: MIT
// pulvane against input no well-behaved device, caller or script would give
// it: every run must end with status 0 or 1 and exactly the output the
// rules give, never by a signal and never late.

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/e2e/scripted_device.hpp"
#include "tests/support/pty_device.hpp"

namespace {

const std::string stx = "\x02", etx = "\x03";
const std::string read_1 = stx + "0001130014" + etx;
const std::string read_reply = stx + "00019310" "00000012" "00000034" "D0" + etx;
const std::string reset_reply = stx + "00019201069A" + etx;

struct outcome {
	int status;
	std::string out;
};

// What pulvane prints for `reply` arriving in one piece within its wait,
// worked out from the reply rules alone: the port turns CR into LF (ICRNL
// is left as found), one read takes at most 128 bytes, the text runs from
// after the last STX to the first ETX or NUL, and the counts stand at
// fixed offsets 8 and 16 of it, up to 8 bytes, a NUL or ETX, or the end.
outcome pulvane_outcome(std::string reply, bool read_counts)
{
	for (char &c : reply)
		if (c == '\r')
			c = '\n';
	reply.resize(std::min<std::size_t>(reply.size(), 128));
	std::size_t stx_at = reply.rfind('\x02');
	if (stx_at == std::string::npos)
		return {1, ""};
	std::string rest = reply.substr(stx_at + 1);
	std::string text = rest.substr(0, rest.find_first_of(std::string("\x03\0", 2)));
	auto has = [&](const char *head) { return text.find(head) != std::string::npos; };
	if (!read_counts)
		return has("00019201069A") || has("00029201069B") ? outcome{0, "OK\n"} : outcome{1, ""};
	if (!has("00019310") && !has("00029310"))
		return {1, ""};
	auto count = [&](std::size_t at) {
		std::string field = at < rest.size() ? rest.substr(at, 8) : "";
		return field.substr(0, field.find_first_of(std::string("\x03\0", 2)));
	};
	return {0, "IN:" + count(8) + " OUT:" + count(16) + " \n"};
}

scripted_case pulvane_case(bool read_counts, std::string reply)
{
	scripted_case c;
	c.tool = "pulvane";
	c.args = {read_counts ? "-d" : "-r"};
	c.answer.reply = std::move(reply);
	return c;
}

// Half a second of waiting and the start-up; an emulator or memcheck
// running several tools at once on a small machine takes longer to start.
void expect_clean_end(const tool_result &r)
{
	EXPECT_FALSE(r.timed_out);
	EXPECT_EQ(r.signal, 0);
	EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
	EXPECT_LT(r.seconds, tool_emulated() ? 10.0 : 3.0);
}

std::string hex(const std::string &bytes)
{
	std::string out;
	char b[4];
	for (char c : bytes) {
		std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(c));
		out += b;
	}
	return out;
}

} // namespace

TEST(PulvaneBadInput, RandomRepliesGiveExactlyWhatTheReplyRulesSay)
{
	// A fixed seed: the same 30 replies every run. A third are any bytes,
	// a third are drawn from the bytes that matter (STX, ETX, NUL, CR,
	// digits), a third hold a real head amid noise, so that both outcomes
	// and the count fields are reached.
	std::mt19937 gen(20240605);
	auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(gen); };
	const std::string telling = std::string("\x02\x03\0\r\n0123456789A", 16);
	const char *heads[] = {"00019201069A", "00029201069B", "00019310", "00029310"};
	std::vector<scripted_case> cases;
	for (int i = 0; i < 30; ++i) {
		std::string reply;
		int len = pick(1, 160);
		for (int j = 0; j < len; ++j)
			reply += i % 3 == 1 ? telling[static_cast<std::size_t>(pick(0, 15))] : static_cast<char>(pick(0, 255));
		if (i % 3 == 2)
			reply.insert(static_cast<std::size_t>(pick(0, len)), stx + heads[pick(0, 3)]);
		cases.push_back(pulvane_case(i % 2 == 1, reply));
	}
	auto results = run_scripted(cases);
	int matched = 0;
	for (std::size_t i = 0; i < cases.size(); ++i) {
		SCOPED_TRACE("reply " + hex(cases[i].answer.reply));
		const auto &r = results[i].run;
		outcome want = pulvane_outcome(cases[i].answer.reply, cases[i].args[0] == "-d");
		expect_clean_end(r);
		EXPECT_EQ(r.status, want.status);
		EXPECT_EQ(r.out, want.out);
		EXPECT_EQ(r.err, "");
		matched += r.status == 0;
	}
	// The sample reaches both outcomes.
	EXPECT_GT(matched, 2);
	EXPECT_LT(matched, 28);
}

TEST(PulvaneBadInput, LongRepliesNulBytesAndHangUps)
{
	const std::string x128(128, 'x'), x300(300, '7');
	struct {
		const char *what;
		bool read_counts;
		std::string reply;
		bool hang_up;
		outcome want;
		// Started as a service is: a session of its own and no
		// controlling terminal, which the port must not become, or its
		// hang-up would end the tool by SIGHUP.
		bool own_session = false;
	} cases[] = {
	    {"128 bytes without STX, ETX or NUL", true, x128, false, {1, ""}},
	    {"300 bytes without STX, ETX or NUL", false, x300, false, {1, ""}},
	    {"a reply after the first 128 bytes is not seen", false, x300 + reset_reply, false, {1, ""}},
	    {"a reply followed by 300 bytes of noise", true, read_reply + x300, false,
	     {0, "IN:00000012 OUT:00000034 \n"}},
	    {"a reply whose end falls past byte 128 is read up to it", true,
	     std::string(103, 'x') + read_reply, false, {0, "IN:00000012 OUT:00000034 \n"}},
	    {"NUL bytes before the STX are skipped", false, std::string(5, '\0') + reset_reply, false, {0, "OK\n"}},
	    {"a NUL inside the head breaks it", false, stx + "0001" + std::string(1, '\0') + "9201069A" + etx, false,
	     {1, ""}},
	    {"a NUL inside IN ends IN, OUT is still taken", true,
	     stx + "00019310" + "0000" + std::string(1, '\0') + "012" + "00000034" + etx, false,
	     {0, "IN:0000 OUT:00000034 \n"}},
	    {"a NUL inside OUT ends OUT", true, stx + "00019310" + "00000012" + "00" + std::string(1, '\0') + "0034" + etx,
	     false, {0, "IN:00000012 OUT:00 \n"}},
	    {"a hang-up in the middle of the reply loses it", true, stx + "00019310" + "0000", true, {1, ""}},
	    {"a hang-up right after a whole reply loses it too", false, reset_reply, true, {1, ""}},
	    {"a hang-up before any reply", false, "", true, {1, ""}},
	    {"a hang-up under a service: no SIGHUP", false, "", true, {1, ""}, true},
	};
	std::vector<scripted_case> runs;
	for (const auto &c : cases) {
		runs.push_back(pulvane_case(c.read_counts, c.reply));
		runs.back().answer.hang_up = c.hang_up;
		runs.back().options.own_session = c.own_session;
	}
	auto results = run_scripted(runs);
	for (std::size_t i = 0; i < runs.size(); ++i) {
		SCOPED_TRACE(cases[i].what);
		const auto &r = results[i].run;
		expect_clean_end(r);
		EXPECT_EQ(r.status, cases[i].want.status);
		EXPECT_EQ(r.out, cases[i].want.out);
		EXPECT_EQ(r.err, "");
		// The oracle agrees where the reply arrives whole.
		if (!cases[i].hang_up) {
			outcome o = pulvane_outcome(cases[i].reply, cases[i].read_counts);
			EXPECT_EQ(o.status, cases[i].want.status);
			EXPECT_EQ(o.out, cases[i].want.out);
		}
	}
}
