// SPDX-License-Identifier: MIT
// quorlet's byte handling: the command line on its way out, and the answer
// line picked out of what came back.

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "attool/quorlet.hpp"

namespace {

using namespace std::string_literals;

// Runs tr_lf_cr on `line` as fgets would leave it in the tool's buffer;
// returns the verdict and the text sent (up to the first NUL).
std::pair<int, std::string> condition(const std::string &line)
{
	std::array<char, 256> buf{};
	std::copy(line.begin(), line.end(), buf.begin());
	int accepted = tr_lf_cr(buf);
	return {accepted, std::string(buf.data(), strnlen(buf.data(), buf.size()))};
}

// The printed line for `received`, or "(nothing)".
std::string chosen(std::string received)
{
	auto line = find_reply_line(std::span<char>(received.data(), received.size()));
	return line ? std::string(*line) : "(nothing)";
}

} // namespace

TEST(TrLfCr, TheLastLineEndBecomesOneCr)
{
	struct {
		std::string in, out;
	} cases[] = {
	    {"AT\n", "AT\r"},
	    {"AT\r\n", "AT\r"},
	    {"\n", "\r"},
	    {"\r\n", "\r"},
	    {"ATZ\r\r\n", "ATZ\r\r"},      // only the CR just before the LF counts
	    {"AT\rI\n", "AT\rI\r"},        // an earlier CR stays
	    {std::string(254, 'A') + "\n", std::string(254, 'A') + "\r"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::PrintToString(c.in));
		auto [accepted, sent] = condition(c.in);
		EXPECT_EQ(accepted, 1);
		EXPECT_EQ(sent, c.out);
	}
}

TEST(TrLfCr, LinesWithoutTheirFinalLfAreRefused)
{
	for (const std::string &in : {""s, "AT"s, "AT\r"s, "AT\nI"s, "AT\0\n"s, "\0\n"s, std::string(255, 'A')}) {
		SCOPED_TRACE(testing::PrintToString(in));
		EXPECT_EQ(condition(in).first, 0);
	}
	// A buffer with no NUL at all is read to its end and no further.
	std::array<char, 8> full;
	full.fill('A');
	EXPECT_EQ(tr_lf_cr(full), 0);
	full.back() = '\n';
	EXPECT_EQ(tr_lf_cr(full), 1);
	EXPECT_EQ(full.back(), '\r');
}

TEST(FindReplyLine, TheLineAfterTheEchoIsPrintedWithItsLf)
{
	struct {
		const char *what;
		std::string received, line;
	} cases[] = {
	    {"one answer line", "ATI\nELM327 v1.5\n\n>", "ELM327 v1.5\n"},
	    {"several: the first only", "0100\nSEARCHING...\n41 00 BE 3F A8 13\n\n>", "SEARCHING...\n"},
	    {"an empty line is a line", "ATZ\n\n\nELM327 v1.5\n\n>", "\n"},
	    {"CR LF lines come as they are", "ATI\r\nELM327 v1.5\r\n\r\n>", "ELM327 v1.5\r\n"},
	    {"text after the prompt is never read", "AT\nOK\n\n>LATE\n", "OK\n"},
	    {"the first prompt ends the reply", "AT\nO>K\n\n>", "(nothing)"},
	    {"NUL bytes are kept", "\0ATI\n\0E\0\n\n>"s, "\0E\0\n"s},
	    {"no prompt", "ATI\nELM327 v1.5\n\n", "(nothing)"},
	    {"one LF before the prompt", "OK\n>", "(nothing)"},
	    {"nothing at all", "", "(nothing)"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		EXPECT_EQ(chosen(c.received), c.line);
	}
}

TEST(FindReplyLine, CrAloneIsReadAsALineEndWhenTooFewLfCame)
{
	struct {
		const char *what;
		std::string received, line;
	} cases[] = {
	    {"CR-ended lines", "ATI\rELM327 v1.5\r\r>", "ELM327 v1.5\n"},
	    {"a single LF among CRs", "AT\r\nOK\r\r>", "\n"},
	    {"only one line end even so", "OK\r>", "(nothing)"},
	    {"CR after the prompt does not count", "OK\r>\r\r", "(nothing)"},
	    {"a bare prompt", ">", "(nothing)"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		EXPECT_EQ(chosen(c.received), c.line);
	}

	// The view points into the buffer, whose CR before the prompt became
	// LF; bytes after the prompt are left alone.
	std::string buf = "ATI\rOK\r\r>\r";
	auto line = find_reply_line(std::span<char>(buf.data(), buf.size()));
	ASSERT_TRUE(line);
	EXPECT_EQ(line->data(), buf.data() + 4);
	EXPECT_EQ(buf, "ATI\nOK\n\n>\r");
}

TEST(FindReplyLine, APromptAsTheLastHeldByteIsFoundAndNothingBeyondIsRead)
{
	// 255 bytes held, the prompt last; the byte after them is not held.
	std::string held = "ATI\nELM327 v1.5\n" + std::string(237, '.') + "\n>";
	ASSERT_EQ(held.size(), 255u);
	std::string buf = held + "\n";
	auto line = find_reply_line(std::span<char>(buf.data(), 255));
	ASSERT_TRUE(line);
	EXPECT_EQ(*line, "ELM327 v1.5\n");

	// 255 bytes without a prompt, a '>' just past them: not found.
	buf = "ATI\n" + std::string(251, 'x') + ">";
	EXPECT_FALSE(find_reply_line(std::span<char>(buf.data(), 255)));
}
