// SPDX-License-Identifier: MIT
// The simulated AT-command device answers as an ELM327-style interface.

#include <gtest/gtest.h>

#include <string>

#include "sim/at_device.hpp"

namespace {

using namespace std::string_literals;

// Everything `device` sends for the commands in `typed`, pieces joined.
std::string answers(at_device &device, std::string_view typed)
{
	std::string out;
	while (!typed.empty()) {
		at_answer answer;
		typed.remove_prefix(device.feed(typed, answer));
		for (const auto &p : answer)
			out += p.bytes;
	}
	return out;
}

std::string answers(std::string_view typed, at_device_config config = {})
{
	at_device device(config);
	return answers(device, typed);
}

} // namespace

TEST(AtDeviceSim, EchoesCommandsAndEndsEveryAnswerWithAnEmptyLineAndThePrompt)
{
	at_device device({});
	EXPECT_EQ(answers(device, "ATI\r"), "ATI\rELM327 v1.5\r\r>");
	// Blanks skipped, case ignored, LF and control bytes dropped; the echo
	// shows the command as typed.
	EXPECT_EQ(answers(device, "at i\n\r"), "at i\rELM327 v1.5\r\r>");
	EXPECT_EQ(answers(device, "XYZ\r"), "XYZ\r?\r\r>");
	// A lone CR repeats the last command.
	EXPECT_EQ(answers(device, "\r"), "\r?\r\r>");
	// ATE0 is still echoed, later commands are not; ATL1 adds LF after
	// each CR from the next answer on.
	EXPECT_EQ(answers(device, "ATE0\r"), "ATE0\rOK\r\r>");
	EXPECT_EQ(answers(device, "ATL1\r"), "OK\r\r>");
	EXPECT_EQ(answers(device, "AT@1\r"), "OBDII to RS232 Interpreter\r\n\r\n>");
	// ATZ (unechoed here) restores the power-on settings: the banner
	// comes without LF.
	EXPECT_EQ(answers(device, "ATZ\r"), "\r\rELM327 v1.5\r\r>");
	EXPECT_TRUE(device.echo());
	EXPECT_FALSE(device.linefeeds());
	EXPECT_EQ(device.commands(), 8);
}

TEST(AtDeviceSim, SlowAnswersComeInTimedPieces)
{
	at_device_config config;
	config.answer_delay_ms = 50;
	config.reset_ms = 600;
	config.search_ms = 1800;
	at_device device(config);
	at_answer a;

	// Bytes after the CR are left for the next command.
	EXPECT_EQ(device.feed("ATZ\rATI\r", a), 4u);
	ASSERT_EQ(a.size(), 2u);
	EXPECT_EQ(a[0].delay_ms, 0);
	EXPECT_EQ(a[1].delay_ms, 600);
	EXPECT_TRUE(a[1].deaf);

	// The first OBD request searches; the next answers at once.
	device.feed("0100\r", a);
	ASSERT_EQ(a.size(), 3u);
	EXPECT_EQ(a[1].bytes, "SEARCHING...\r");
	EXPECT_EQ(a[2].delay_ms, 1800);
	EXPECT_EQ(a[2].bytes, "41 00 BE 3F A8 13\r\r>");
	EXPECT_FALSE(a[2].deaf);
	device.feed("0100\r", a);
	ASSERT_EQ(a.size(), 2u);
	EXPECT_EQ(a[1].delay_ms, 50);

	EXPECT_EQ(device.interrupted()[0].bytes, "STOPPED\r\r>");
	EXPECT_EQ(answers("0100\r0902\r", {.vehicle = false}),
		  "0100\rSEARCHING...\rUNABLE TO CONNECT\r\r>0902\rSEARCHING...\rUNABLE TO CONNECT\r\r>");
	EXPECT_EQ(answers("ATRV\rATRV\r"), "ATRV\r12.6V\r\r>ATRV\r12.5V\r\r>");
}

TEST(AtDeviceSim, FaultsShapeEveryAnswer)
{
	auto with = [](at_fault fault) {
		at_device_config config;
		config.fault = fault;
		return config;
	};
	EXPECT_EQ(answers("ATI\r", with(at_fault::no_prompt)), "ATI\rELM327 v1.5\r\r");
	EXPECT_EQ(answers("ATI\r", with(at_fault::trailer)), "ATI\rELM327 v1.5\r\r>\rLATE\r");
	EXPECT_EQ(answers("ATI\r", with(at_fault::nul)), "\0ATI\rELM327 v1.5\r\r>"s);

	std::string flood = answers("ATI\r", with(at_fault::flood));
	EXPECT_EQ(flood.size(), 300u);
	EXPECT_EQ(flood.find('>'), std::string::npos);

	for (std::size_t at : {255u, 256u}) {
		auto config = with(at_fault::padded);
		config.prompt_at = at;
		std::string padded = answers("ATI\r", config);
		EXPECT_EQ(padded.size(), at);
		EXPECT_EQ(padded.find('>'), at - 1);
		EXPECT_EQ(padded.substr(0, 17), "ATI\rELM327 v1.5\r.");
	}

	// The answer to a command that switches line feeds is padded too: it
	// ends with the line ends it was made with, not the new ones.
	for (const char *switching : {"ATL1\r", "ATL0\r"}) {
		auto config = with(at_fault::padded);
		config.linefeeds = switching[3] == '0';
		std::string padded = answers(switching, config);
		EXPECT_EQ(padded.size(), 255u) << switching;
		EXPECT_EQ(padded.find('>'), 254u) << switching;
	}

	auto config = with(at_fault::split);
	config.split_gap_ms = 1200;
	at_device device(config);
	at_answer a;
	device.feed("ATI\r", a);
	ASSERT_EQ(a.size(), 3u);
	EXPECT_EQ(a[0].bytes, "ATI\r");
	EXPECT_EQ(a[1].bytes, "ELM327 v1.5\r");
	EXPECT_EQ(a[1].delay_ms, 1200);
	EXPECT_EQ(a[2].bytes, "\r>");
	EXPECT_EQ(a[2].delay_ms, 1200);
}
