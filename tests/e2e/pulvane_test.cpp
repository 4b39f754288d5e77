// SPDX-License-Identifier: MIT
// pulvane, run as a script would run it, against a simulated counter module
// on the master side of a pseudo-terminal.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <map>
#include <unistd.h>

#include "sim/counter_serve.hpp"
#include "tests/support/port_settings.hpp"
#include "tests/support/pty_device.hpp"
#include "tests/support/tool_run.hpp"

namespace {

const std::string reset_1 = "\x02" "0001120013\x03";
const std::string reset_2 = "\x02" "0002120014\x03";
const std::string read_1 = "\x02" "0001130014\x03";
const std::string read_2 = "\x02" "0002130015\x03";
const std::string rs485_record = "flags=7 before=0 after=0 padding=0,0,0,0,0";
// Stands for the device's path among a run's arguments; without it the path
// comes last.
const std::string device = "DEVICE";

struct counter_bench {
	counter_module_config module;
	counter_serve_options serve;
	tool_options tool;
};

struct exchange {
	tool_result run;
	std::string wire;   // what the module received
	std::string rs485;  // what the preload library was asked for
};

class Pulvane : public ::testing::Test {
protected:
	void SetUp() override
	{
		char name[] = "/tmp/pulvane-rs485-XXXXXX";
		int fd = mkstemp(name);
		ASSERT_GE(fd, 0);
		close(fd);
		rs485_log_ = name;
	}
	void TearDown() override { unlink(rs485_log_.c_str()); }

	// Plays `module` on the device's side until dev_.stop(), every byte it
	// receives going into `wire`.
	void serve(counter_module &module, std::string &wire, counter_serve_options options = {})
	{
		options.wire = &wire;
		dev_.start([&module, options](device_line &line, const std::atomic<bool> &stop) {
			counter_serve_options o = options;
			o.stop = &stop;
			counter_serve(line, module, o);
		});
	}

	// Runs pulvane with `args` (the device path where `device` stands, or
	// appended) against a module set up as `bench` says.
	exchange run(std::vector<std::string> args, counter_bench bench = {})
	{
		counter_module module(bench.module);
		std::string wire;
		serve(module, wire, bench.serve);
		auto at = std::find(args.begin(), args.end(), device);
		if (at == args.end())
			args.push_back(dev_.path());
		else
			*at = dev_.path();
		bench.tool.rs485_log = rs485_log_;
		exchange e;
		e.run = run_tool("pulvane", args, bench.tool);
		// A late reply is said by now; it must not reach the next run.
		dev_.stop();
		tcflush(dev_.slave_fd(), TCIOFLUSH);
		e.wire = wire;
		e.rs485 = read_file(rs485_log_);
		return e;
	}

	pty_device dev_;
	std::string rs485_log_;
};

} // namespace

TEST_F(Pulvane, ResetsAndReadsEachModuleWithOneFrameEach)
{
	counter_bench bench;
	bench.module.in = {1234, 5};
	bench.module.out = {99, 6};
	struct {
		std::vector<std::string> args;
		std::string frame, out;
	} cases[] = {
	    {{}, reset_1, "OK\n"},
	    {{"-i", "2"}, reset_2, "OK\n"},
	    {{"-d"}, read_1, "IN:00001234 OUT:00000099 \n"},
	    {{"-d", "-i", "2"}, read_2, "IN:00000005 OUT:00000006 \n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.frame.substr(1, 10));
		auto e = run(c.args, bench);
		EXPECT_EQ(e.run.status, 0);
		EXPECT_EQ(e.run.out, c.out);
		EXPECT_EQ(e.run.err, "");
		EXPECT_EQ(e.wire, c.frame);
		// One request, with RS-485 on, RTS for sending, no delays.
		EXPECT_NE(e.rs485.find(rs485_record), std::string::npos) << e.rs485;
		EXPECT_EQ(e.rs485.find('\n'), e.rs485.size() - 1) << e.rs485;
		unlink(rs485_log_.c_str());
		// Half a second of waiting, and not much more.
		EXPECT_GE(e.run.seconds, 0.5);
		EXPECT_LT(e.run.seconds, 2.0);
	}
}

TEST_F(Pulvane, OptionsFallBackSilentlyAndLaterOnesWin)
{
	struct {
		std::vector<std::string> args;
		std::string frame;
		speed_t speed;
		// Without the preload library the pseudo-terminal refuses
		// RS-485: only a run that never asks for it gets through.
		bool rs485_shim = true;
	} cases[] = {
	    {{"-b", "38400"}, reset_1, B9600},
	    {{"-b", "19200"}, reset_1, B19200},
	    {{"-i", "3"}, reset_1, B9600},
	    {{"-i", "02"}, reset_1, B9600},
	    {{"-i", "22"}, reset_1, B9600},
	    {{"-i", "2x"}, reset_1, B9600},
	    {{"-b", "19200x"}, reset_1, B9600},
	    {{"-b", "192000"}, reset_1, B9600},
	    // An unrecognised later value falls back too, whatever came before.
	    {{"-b", "19200", "-b", "9600x"}, reset_1, B9600},
	    {{"-d", "-r"}, reset_1, B9600},
	    {{"-r", "-d", "-i", "2", "-i", "1"}, read_1, B9600},
	    // -a, wherever it stands, leaves RS-485 as the port has it.
	    {{"-a", "-d", "-i", "2", "-b", "19200"}, read_2, B19200, false},
	    {{"-i", "2", "-b", "19200", "-a"}, reset_2, B19200, false},
	    // -a after -d, before the device or after it, still reads.
	    {{"-d", "-a"}, read_1, B9600, false},
	    {{"-d", device, "-a"}, read_1, B9600, false},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::PrintToString(c.args));
		counter_bench bench;
		bench.tool.rs485_shim = c.rs485_shim;
		auto e = run(c.args, bench);
		EXPECT_EQ(e.run.status, 0);
		EXPECT_EQ(e.wire, c.frame);
		const bool read = c.frame == read_1 || c.frame == read_2;
		EXPECT_EQ(e.run.out, read ? "IN:00000000 OUT:00000000 \n" : "OK\n");
		struct termios t {};
		tcgetattr(dev_.slave_fd(), &t);
		EXPECT_EQ(cfgetospeed(&t), c.speed);
		EXPECT_EQ(cfgetispeed(&t), c.speed);
	}
}

TEST_F(Pulvane, OptionsAfterTheDeviceAndUnknownOptionsAreHandledLikeGetoptDoes)
{
	counter_module module({});
	std::string wire;
	serve(module, wire);
	// The device first, the option after it, an unknown option between.
	auto r = run_tool("pulvane", {dev_.path(), "-x", "-d", "ignored-operand"});
	dev_.stop();
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "IN:00000000 OUT:00000000 \n");
	EXPECT_NE(r.err.find("invalid option -- 'x'"), std::string::npos) << r.err;
	EXPECT_EQ(wire, read_1);
}

TEST_F(Pulvane, HelpIsPrintedWithoutTouchingTheDevice)
{
	const std::string help = "-b baud rate <9600 (default) 19200>\n"
				 "-r reset, -d get data\n"
				 "-i <1 2> ID\n"
				 "-a keep the port's own RS-485 (auto-direction adapter, device tree)\n"
				 "-t <1 0> RTS level while sending, switched by pulvane (UART without RS-485)\n"
				 "Example:\n"
				 "$ pulvane -b 19200 -d -i 1 /dev/ttyS0 \n";
	auto r = run_tool("pulvane", {"-d", "-h", "/nonexistent/tty"});
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, help);
	EXPECT_EQ(r.err, "");

	tool_options full;
	full.out = stream_setup::dev_full;
	EXPECT_EQ(run_tool("pulvane", {"-h"}, full).status, 1);
}

TEST_F(Pulvane, RepliesThatComeTooLateOrWrongAreFailuresWithoutWords)
{
	struct {
		const char *what;
		int delay_ms;
		counter_fault fault;
		int status;
		std::string out;
	} cases[] = {
	    {"a reply at 100 ms is seen", 100, counter_fault::none, 0, "IN:00000000 OUT:00000000 \n"},
	    {"a reply at 900 ms is not seen", 900, counter_fault::none, 1, ""},
	    {"no reply", 20, counter_fault::mute, 1, ""},
	    {"garbage", 20, counter_fault::garbage, 1, ""},
	    {"the other module's head is accepted", 20, counter_fault::other_head, 0,
	     "IN:00000000 OUT:00000000 \n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		counter_bench bench;
		bench.serve.delay_ms = c.delay_ms;
		bench.module.fault = c.fault;
		auto e = run({"-d"}, bench);
		EXPECT_EQ(e.run.status, c.status);
		EXPECT_EQ(e.run.out, c.out);
		EXPECT_EQ(e.run.err, "");
		EXPECT_EQ(e.wire, read_1);
	}
}

TEST_F(Pulvane, OnlyTheFirstPieceOfASplitReplyIsSeen)
{
	// 28 reply bytes split in half: STX, the head and five digits of IN
	// arrive at 0.1 s; the rest at 0.8 s, after the tool's one read.
	counter_bench bench;
	bench.module.fault = counter_fault::split;
	bench.serve.delay_ms = 100;
	bench.serve.split_gap_ms = 700;
	auto e = run({"-d"}, bench);
	EXPECT_EQ(e.run.status, 0);
	EXPECT_EQ(e.run.out, "IN:00000 OUT: \n");

	// A split reset reply loses its head: not matched.
	e = run({"-r"}, bench);
	EXPECT_EQ(e.run.status, 1);
	EXPECT_EQ(e.run.out, "");
}

TEST_F(Pulvane, BytesWaitingBeforeTheRequestAreReadWithTheReply)
{
	// The port as an earlier run leaves it: raw, so that the bytes wait as
	// sent (on a fresh port ETX is the interrupt character, which flushes).
	run({});
	// Line noise from before the run is not discarded; the last STX still
	// finds the reply.
	ASSERT_TRUE(pend_input(dev_.line(), "\x02noise\x03"));
	auto e = run({});
	EXPECT_EQ(e.run.status, 0);
	EXPECT_EQ(e.run.out, "OK\n");

	// A reply still waiting from before is taken for this run's own.
	counter_bench mute;
	mute.module.fault = counter_fault::mute;
	ASSERT_TRUE(pend_input(dev_.line(), "\x02" "00019201069A\x03"));
	e = run({}, mute);
	EXPECT_EQ(e.run.status, 0);
	EXPECT_EQ(e.run.out, "OK\n");
}

TEST_F(Pulvane, AModuleThatIsNotOnTheBusGivesStatusOne)
{
	counter_bench bench;
	bench.module.plays = {false, true};
	auto e = run({"-i", "1"}, bench);
	EXPECT_EQ(e.run.status, 1);
	EXPECT_EQ(e.run.out, "");
	EXPECT_EQ(e.wire, reset_1);
}

TEST_F(Pulvane, ARefusedRs485ModeStopsTheRunBeforeAnythingIsSent)
{
	struct {
		const char *what;
		bool shim;
		int rs485_errno;
		std::vector<std::string> env;
	} cases[] = {
	    // A pseudo-terminal has no RS-485 support: the kernel's own refusal.
	    {"ENOTTY from the kernel", false, 0, {}},
	    {"a driver that refuses the flags", true, EINVAL, {}},
	    // Linux 5.10's imx-uart on a port without RTS: no error, and the
	    // record handed back with RS-485 off.
	    {"a driver that takes the request but leaves RS-485 off", true, 0, {"RS485_SHIM_KEPT=2"}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		counter_bench bench;
		bench.tool.rs485_shim = c.shim;
		bench.tool.rs485_errno = c.rs485_errno;
		bench.tool.env = c.env;
		auto e = run({}, bench);
		EXPECT_EQ(e.run.status, 1);
		EXPECT_EQ(e.run.err, "Unable to set rs495 mode\n");
		EXPECT_EQ(e.run.out, "");
		EXPECT_EQ(e.wire, "");
	}
}

TEST_F(Pulvane, WithDashTItSwitchesRtsItselfAroundTheFrameAndLeavesItAtTheReceiveLevel)
{
	// A UART whose transmitter empties 12.5 ms after the write, the
	// frame's time at 9600 baud.
	const std::vector<std::string> uart = {"RS485_SHIM_MODEM=1", "RS485_SHIM_LSR=12500"};
	const std::string counts = "IN:00000000 OUT:00000000 \n";
	struct {
		const char *what;
		std::vector<std::string> args, env;
		int status;
		std::string out, err, frame;
		std::string rts;   // the levels RTS was set to, in order
		std::string waits; // what the wait asked: "lsr", "drain" or ""
		int back_us;       // RTS back this long after the write (-1: not)
	} cases[] = {
	    {"-t 1", {"-d", "-t", "1"}, uart, 0, counts, "", read_1, "010", "lsr", 12500},
	    {"-t 0", {"-t", "0"}, uart, 0, "OK\n", "", reset_1, "101", "lsr", 12500},
	    {"-a then -t: -t", {"-a", "-t", "1"}, uart, 0, "OK\n", "", reset_1, "010", "lsr", 12500},
	    {"-t then -a: no request at all", {"-t", "1", "-a"}, uart, 0, "OK\n", "", reset_1, "", "", -1},
	    {"no line status: tcdrain", {"-t", "1"}, {"RS485_SHIM_MODEM=1"}, 0, "OK\n", "", reset_1, "010", "drain", 0},
	    // Four frame times at most (50 ms), whatever the driver says.
	    {"a transmitter never empty", {"-t", "1"}, {"RS485_SHIM_MODEM=1", "RS485_SHIM_LSR=-1"}, 0, "OK\n", "",
	     reset_1, "010", "lsr", 49000},
	    {"a port without modem lines", {"-t", "1"}, {}, 1, "", "Unable to set rs495 mode\n", "", "", "", -1},
	    {"a failed write", {"-t", "0"}, {"RS485_SHIM_MODEM=1", "RS485_SHIM_WRITE_ERRNO=5"}, 1, "",
	     "failed to send command to port\n", "", "101", "", 0},
	    {"-t 2: refused before the open", {"-t", "2"}, uart, 1, "", "Invalid RTS level for -t: 2 (1 or 0)\n", "", "",
	     "", -1},
	};
	const std::string events = rs485_log_ + ".events";
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		unlink(events.c_str());
		counter_bench bench;
		bench.tool.env = c.env;
		bench.tool.events = events;
		auto e = run(c.args, bench);
		EXPECT_EQ(e.run.status, c.status);
		EXPECT_EQ(e.run.out, c.out);
		EXPECT_EQ(e.run.err, c.err);
		EXPECT_EQ(e.wire, c.frame);
		EXPECT_EQ(e.rs485, "");
		std::string rts, waits, opened;
		long long written = -1, back = -1;
		for (const auto &ev : read_events(events)) {
			if (ev.what == "open")
				opened = ev.arg;
			if (ev.what == "rts") {
				rts += ev.arg;
				if (written >= 0)
					back = ev.us - written;
			}
			if (ev.what == "write")
				written = ev.us;
			// The wait comes between the write and RTS's return.
			if ((ev.what == "lsr" || ev.what == "drain") && written >= 0 && back < 0 && waits != ev.what)
				waits += ev.what;
		}
		EXPECT_EQ(rts, c.rts);
		EXPECT_EQ(waits, c.waits);
		EXPECT_EQ(opened.empty(), c.args[1] == "2") << opened;
		if (c.back_us < 0) {
			EXPECT_EQ(back, -1);
			continue;
		}
		// Back within milliseconds of the transmitter's end, well before
		// the four frame times a driver that never reports empty gets
		// (on a machine busy with other tests, a little later).
		EXPECT_GE(back, c.back_us);
		EXPECT_LT(back, c.back_us + (tool_emulated() ? 30000 : 15000));
	}
}

TEST_F(Pulvane, ADeviceThatCannotBeOpenedIsNamedInTheMessage)
{
	auto r = run_tool("pulvane", {"-d", "/nonexistent/ttyX"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "Unable to open /nonexistent/ttyX\n");
	EXPECT_EQ(r.out, "");

	r = run_tool("pulvane", {"-d"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "Unable to open (no device)\n");
	EXPECT_EQ(r.signal, 0);
}

TEST_F(Pulvane, LeavesThePortRaw8N1AndChangesNothingElse)
{
	for (speed_t speed : {speed_t{B9600}, speed_t{B19200}}) {
		SCOPED_TRACE(speed == B9600 ? "9600" : "19200");
		// The tool sees the port as a UART would hold it, with the
		// parity and size that the pseudo-terminal drops.
		counter_bench bench;
		struct termios before = make_port_dirty(dev_.slave_fd(), &bench.tool.port_cflag);
		struct termios uart = before;
		uart.c_cflag = bench.tool.port_cflag;
		bench.tool.termios_log = rs485_log_ + ".termios";
		auto e = run({"-b", speed == B9600 ? "9600" : "19200"}, bench);
		EXPECT_EQ(e.run.status, 0);
		EXPECT_EQ(request_diff(expected_after_setup(uart, speed), bench.tool.termios_log), "");
		struct termios after {};
		ASSERT_EQ(tcgetattr(dev_.slave_fd(), &after), 0);
		EXPECT_EQ(settings_diff(expected_after_setup(before, speed), after), "");
		// ICRNL and INLCR were set before and stay set.
		EXPECT_TRUE(after.c_iflag & ICRNL);
		EXPECT_TRUE(after.c_iflag & INLCR);
	}
}

TEST_F(Pulvane, RunsStartedTogetherOnOnePortTakeTurnsAndEachGetsItsOwnModulesCounts)
{
	counter_module_config config;
	config.in = {1234, 5};
	config.out = {99, 6};
	counter_module module(config);
	std::string wire;
	serve(module, wire);
	// Half of them switch RTS themselves.
	std::vector<std::vector<std::string>> runs;
	for (int i = 0; i < 10; ++i) {
		runs.push_back({"-d", "-i", i % 2 ? "2" : "1", dev_.path()});
		if (i % 4 < 2)
			runs.back().insert(runs.back().begin(), {"-t", "1"});
	}
	tool_options uart;
	uart.env = {"RS485_SHIM_MODEM=1", "RS485_SHIM_LSR=12500"};
	uart.events = rs485_log_ + ".events";
	auto results = run_together("pulvane", runs, uart);
	dev_.stop();
	// A queued run opens the port only once the run before it has ended:
	// every open of a serial port raises RTS, which would switch the
	// transceiver under that run's exchange.
	std::map<int, std::pair<long long, long long>> exchange; // open to exit
	for (const auto &ev : read_events(uart.events)) {
		if (ev.what == "open")
			exchange[ev.pid].first = ev.us;
		if (ev.what == "exit")
			exchange[ev.pid].second = ev.us;
	}
	EXPECT_EQ(exchange.size(), runs.size());
	for (const auto &[pid, span] : exchange)
		for (const auto &[other, other_span] : exchange)
			EXPECT_FALSE(pid != other && other_span.first > span.first && other_span.first < span.second)
			    << other << " opened the port during " << pid << "'s exchange";
	for (std::size_t i = 0; i < results.size(); ++i) {
		SCOPED_TRACE(testing::PrintToString(runs[i]));
		EXPECT_EQ(results[i].status, 0);
		EXPECT_EQ(results[i].out, i % 2 ? "IN:00000005 OUT:00000006 \n" : "IN:00001234 OUT:00000099 \n");
		EXPECT_EQ(results[i].err, "");
		EXPECT_LT(results[i].seconds, port_lock_wait_s);
	}
	// Ten whole frames, one after another.
	ASSERT_EQ(wire.size(), 10 * read_1.size()) << testing::PrintToString(wire);
	for (std::size_t at = 0; at < wire.size(); at += read_1.size()) {
		auto frame = wire.substr(at, read_1.size());
		EXPECT_TRUE(frame == read_1 || frame == read_2) << testing::PrintToString(frame);
	}
}

TEST_F(Pulvane, AResultThatCannotBeWrittenIsAFailure)
{
	counter_bench bench;
	bench.tool.out = stream_setup::dev_full;
	auto e = run({}, bench);
	EXPECT_EQ(e.run.status, 1);
	EXPECT_EQ(e.wire, reset_1);

	// With standard output closed the port must not take its place: the
	// module sees the frame and nothing else.
	bench.tool.out = stream_setup::closed;
	e = run({"-d"}, bench);
	EXPECT_EQ(e.run.status, 1);
	EXPECT_EQ(e.wire, read_1);
}
