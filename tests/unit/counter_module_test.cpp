// SPDX-License-Identifier: MIT
// The simulated counter module behaves as a slave on a shared bus.

#include <gtest/gtest.h>

#include "sim/counter_module.hpp"

namespace {

std::string request(const char *body) { return std::string("\x02") + body + "\x03"; }

} // namespace

TEST(CounterModuleSim, AnswersOnlyWellFormedFramesForTheModulesItPlays)
{
	counter_module_config config;
	config.plays = {false, true};
	counter_module module(config);
	EXPECT_TRUE(module.feed(request("0001120013")).empty()); // module 1: not played
	EXPECT_TRUE(module.feed(request("0002120015")).empty()); // wrong check
	EXPECT_TRUE(module.feed(request("0002120")).empty());   // short
	EXPECT_TRUE(module.feed("0002120014\x03").empty());     // no STX
	auto replies = module.feed(request("0002120014"));
	ASSERT_EQ(replies.size(), 1u);
	EXPECT_EQ(replies[0].bytes, "\x02" "00029201069B\x03");
}

TEST(CounterModuleSim, ReadRepliesCarryTheCountsAndACheckByteAndResetClearsThem)
{
	counter_module_config config;
	config.in = {42, 0};
	config.out = {17, 0};
	counter_module module(config);
	// A frame may arrive in pieces.
	EXPECT_TRUE(module.feed("\x02" "00011").empty());
	auto replies = module.feed("30014\x03");
	ASSERT_EQ(replies.size(), 1u);
	std::string body = "00019310" "00000042" "00000017";
	char check[3];
	std::snprintf(check, sizeof check, "%02X", counter_module::check_byte(body));
	EXPECT_EQ(replies[0].bytes, "\x02" + body + check + "\x03");
	EXPECT_EQ(counter_module::check_byte("0001920106"), 0x9Au);

	module.feed(request("0001120013"));
	EXPECT_EQ(module.in_count(1), 0u);
	EXPECT_EQ(module.out_count(1), 0u);
}
