// SPDX-License-Identifier: MIT
// quorlet, run as a script would run it, against a simulated AT-command
// device on the master side of a pseudo-terminal.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sim/at_serve.hpp"
#include "tests/support/port_settings.hpp"
#include "tests/support/pty_device.hpp"
#include "tests/support/tool_run.hpp"

namespace {

using namespace std::string_literals;

// Stands for the device path among a run's arguments; without it the path
// goes last.
const std::string dev_arg = "@dev";

const std::string help = "-b baud rate <9600(default) 38400>\n"
			 "Example:\n"
			 "$ echo 'AT' | quorlet /dev/ttyS0 \n"
			 "This program is finished and print received data when character '>' is received\n"
			 "\n";

using device_body = std::function<void(device_line &, const std::atomic<bool> &, std::string &wire)>;

// The simulated device, set up as `config` says.
device_body simulated(at_device_config config = {})
{
	return [config](device_line &line, const std::atomic<bool> &stop, std::string &wire) {
		at_device device(config);
		at_serve_options o;
		o.stop = &stop;
		o.wire = &wire;
		at_serve(line, device, o);
	};
}

// A device that sends exactly `answer` once a CR has come, `delay_ms`
// after it; `heard`, when given, gets the time the CR came.
device_body raw(std::string answer, int delay_ms = 0, std::chrono::steady_clock::time_point *heard = nullptr)
{
	return [=](device_line &line, const std::atomic<bool> &stop, std::string &wire) {
		char chunk[256];
		while (!stop && wire.find('\r') == std::string::npos) {
			ssize_t got = line_read(line, chunk, sizeof chunk, 10);
			if (got < 0)
				return;
			wire.append(chunk, static_cast<std::size_t>(got));
		}
		if (heard)
			*heard = std::chrono::steady_clock::now();
		line_sleep_ms(delay_ms);
		if (!stop)
			line_write(line, answer);
	};
}

struct exchange {
	tool_result run;
	std::string wire; // what the device received
};

class Quorlet : public ::testing::Test {
protected:
	// Runs quorlet with `input` on standard input and `args`, against
	// `device`.
	exchange run(const std::string &input, std::vector<std::string> args = {}, device_body device = simulated(),
		     tool_options tool = {})
	{
		std::string wire;
		dev_.start([&](device_line &line, const std::atomic<bool> &stop) { device(line, stop, wire); });
		auto at = std::find(args.begin(), args.end(), dev_arg);
		if (at != args.end())
			*at = dev_.path();
		else
			args.push_back(dev_.path());
		tool.stdin_data = input;
		// quorlet never asks for RS-485: it runs without the preload library
		// unless a test needs the library's other parts.
		tool.rs485_shim = !tool.termios_log.empty() || tool.write_max > 0 || !tool.env.empty();
		exchange e;
		e.run = run_tool("quorlet", args, tool);
		// A late answer is out by now; it must not reach the next run.
		dev_.stop();
		tcflush(dev_.slave_fd(), TCIOFLUSH);
		e.wire = wire;
		return e;
	}

	pty_device dev_;
};

// The reply's prompt is found at the first poll, one second after the
// write, give or take the start-up (more under an emulator).
void expect_first_poll(const tool_result &r)
{
	EXPECT_GE(r.seconds, 0.95);
	EXPECT_LT(r.seconds, tool_emulated() ? 5.0 : 2.0);
}

} // namespace

TEST_F(Quorlet, SendsTheLineWithItsLineEndTurnedIntoOneCrAndPrintsTheAnswer)
{
	at_device_config config;
	config.reset_ms = 300;
	struct {
		std::string in, wire, out;
	} cases[] = {
	    {"AT\n", "AT\r", "OK\n"},
	    {"AT\r\n", "AT\r", "OK\n"},
	    {"\r\n", "\r", "?\n"}, // nothing to repeat yet
	    // The second CR comes while the device resets, and is lost; the
	    // line after the echo is the reset's empty one.
	    {"ATZ\r\r\n", "ATZ\r\r", "\n"},
	    {std::string(254, 'Z') + "\n", std::string(254, 'Z') + "\r", "?\n"},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::PrintToString(c.in.substr(0, 8)));
		auto e = run(c.in, {}, simulated(config));
		EXPECT_EQ(e.wire, c.wire);
		EXPECT_EQ(e.run.out, c.out);
		EXPECT_EQ(e.run.err, "");
		EXPECT_EQ(e.run.status, 0);
		expect_first_poll(e.run);
	}
}

TEST_F(Quorlet, RefusedInputSendsNothingButThePortIsAlreadySetUp)
{
	tool_options closed_stdin;
	closed_stdin.in = stream_setup::closed;
	tool_options closed_stderr;
	closed_stderr.err = stream_setup::closed;
	struct {
		const char *what;
		std::string in;
		tool_options tool;
	} cases[] = {
	    {"no final newline", "ATI", {}},
	    {"empty input", "", {}},
	    {"a NUL before the LF", "AT\0I\n"s, {}},
	    {"255 characters before the LF", std::string(255, 'A') + "\n", {}},
	    {"an overlong line", std::string(300, 'A') + "\n", {}},
	    {"standard input closed", "", closed_stdin},
	    // The message is lost: on a port that took the closed descriptor 2
	    // it would go out to the device.
	    {"standard error closed", "ATI", closed_stderr},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		struct termios before = make_port_dirty(dev_.slave_fd());
		auto e = run(c.in, {"-b", "38400"}, simulated(), c.tool);
		EXPECT_EQ(e.run.status, 1);
		EXPECT_EQ(e.run.err, c.tool.err == stream_setup::closed ? "" : "invalid string\n");
		EXPECT_EQ(e.run.out, "");
		EXPECT_EQ(e.wire, "");
		EXPECT_LT(e.run.seconds, 0.9);
		struct termios after {};
		ASSERT_EQ(tcgetattr(dev_.slave_fd(), &after), 0);
		EXPECT_EQ(settings_diff(expected_after_setup(before, B38400), after), "");
	}
}

TEST_F(Quorlet, AnAnswerInPiecesOverSeveralPollsIsCollectedWhole)
{
	// Echo at once, the answer line at 1.2 s, the prompt at 2.4 s: found
	// at the third poll.
	at_device_config config;
	config.fault = at_fault::split;
	config.split_gap_ms = 1200;
	auto e = run("ATI\n", {}, simulated(config));
	EXPECT_EQ(e.run.status, 0);
	EXPECT_EQ(e.run.out, "ELM327 v1.5\n");
	EXPECT_GE(e.run.seconds, 2.9);
	EXPECT_LT(e.run.seconds, 4.0);
}

TEST_F(Quorlet, OnlyTheLineAfterTheFirstIsPrinted)
{
	// Several answer lines: the first of them.
	at_device_config config;
	config.search_ms = 300;
	auto e = run("0100\n", {}, simulated(config));
	EXPECT_EQ(e.run.status, 0);
	EXPECT_EQ(e.run.out, "SEARCHING...\n");

	// The first line is taken for the echo: with the echo off, the
	// answer's own line is skipped and the empty one is printed.
	config.echo = false;
	e = run("ATRV\n", {}, simulated(config));
	EXPECT_EQ(e.run.status, 0);
	EXPECT_EQ(e.run.out, "\n");
}

TEST_F(Quorlet, TextAfterThePromptIsNeverPrinted)
{
	at_device_config config;
	config.fault = at_fault::trailer;
	auto e = run("ATI\n", {}, simulated(config));
	EXPECT_EQ(e.run.status, 0);
	EXPECT_EQ(e.run.out, "ELM327 v1.5\n");

	// One LF before the prompt, two after it in the same read: the reply
	// ends at the prompt, holds no line, and nothing is printed.
	e = run("AT\n", {}, raw("OK\r>LATE\r\r"));
	EXPECT_EQ(e.run.status, 1);
	EXPECT_EQ(e.run.out, "");
	EXPECT_EQ(e.run.err, "");
	expect_first_poll(e.run);

	// An answer still waiting from before the run is no answer to its
	// line: it is dropped, and its prompt does not end this run's wait.
	ASSERT_TRUE(pend_input(dev_.line(), "AT\rSTALE\r\r>"));
	e = run("ATI\n");
	EXPECT_EQ(e.run.status, 0);
	EXPECT_EQ(e.run.out, "ELM327 v1.5\n");
}

TEST_F(Quorlet, ADeviceThatNeverPromptsGivesStatusOneAfterTenSeconds)
{
	at_device_config config;
	config.fault = at_fault::no_prompt;
	auto e = run("ATI\n", {}, simulated(config));
	EXPECT_EQ(e.wire, "ATI\r");
	EXPECT_EQ(e.run.status, 1);
	EXPECT_EQ(e.run.out, "");
	EXPECT_EQ(e.run.err, "");
	EXPECT_GE(e.run.seconds, 9.9);
	EXPECT_LT(e.run.seconds, 12.0);

	// The tenth poll, ten seconds after the write, is the last: a prompt
	// at 10.6 s is never read, and the run is over before 10.9 s.
	std::chrono::steady_clock::time_point heard;
	auto start = std::chrono::steady_clock::now();
	e = run("ATI\n", {}, raw("ATI\rELM327 v1.5\r\r>", 10600, &heard));
	EXPECT_EQ(e.run.status, 1);
	EXPECT_EQ(e.run.out, "");
	EXPECT_LT(std::chrono::duration<double>(start - heard).count() + e.run.seconds, 10.9);
}

TEST_F(Quorlet, APromptPastTheHeld255BytesIsNeverSeen)
{
	at_device_config config;
	config.fault = at_fault::padded;
	config.prompt_at = 256;
	auto e = run("ATI\n", {}, simulated(config));
	EXPECT_EQ(e.run.status, 1);
	EXPECT_EQ(e.run.signal, 0);
	EXPECT_EQ(e.run.out, "");
	EXPECT_GE(e.run.seconds, 9.9);
	EXPECT_LT(e.run.seconds, 12.0);
}

TEST_F(Quorlet, NulBytesAndAPromptAsThe255thByteAreHandledByLength)
{
	at_device_config config;
	config.fault = at_fault::padded;
	config.prompt_at = 255;
	auto e = run("ATI\n", {}, simulated(config));
	EXPECT_EQ(e.run.status, 0);
	EXPECT_EQ(e.run.out, "ELM327 v1.5\n");

	// A stray NUL before the echo does not hide the prompt.
	config.fault = at_fault::nul;
	e = run("ATI\n", {}, simulated(config));
	EXPECT_EQ(e.run.status, 0);
	EXPECT_EQ(e.run.out, "ELM327 v1.5\n");

	// NUL bytes inside the answer line are printed as they came.
	e = run("ATI\n", {}, raw("ATI\r\0EL\0M\r\r>"s));
	EXPECT_EQ(e.run.status, 0);
	EXPECT_EQ(e.run.out, "\0EL\0M\n"s);
}

TEST_F(Quorlet, APromptAtTwoTenthsOfASecondIsPrintedAtTheFirstPoll)
{
	at_device_config config;
	config.answer_delay_ms = 200;
	auto e = run("ATI\n", {}, simulated(config));
	EXPECT_EQ(e.run.status, 0);
	EXPECT_EQ(e.run.out, "ELM327 v1.5\n");
	expect_first_poll(e.run);
}

TEST_F(Quorlet, LeavesThePortRaw8N1AtTheChosenSpeedAndChangesNothingElse)
{
	struct {
		std::vector<std::string> args;
		speed_t speed;
	} cases[] = {
	    {{}, B9600},
	    {{"-b", "38400"}, B38400},
	    {{"-b", "19200"}, B9600}, // only 38400 is recognised
	    {{"-b", "38400x"}, B9600},
	    {{"-b", "3840"}, B9600},
	    // An unrecognised later value falls back too, whatever came before.
	    {{"-b", "38400", "-b", "9600x"}, B9600},
	    {{dev_arg, "-x", "-b", "38400", "ignored-operand"}, B38400},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(testing::PrintToString(c.args));
		// The tool sees the port as a UART would hold it, with the
		// parity and size that the pseudo-terminal drops.
		tool_options tool;
		struct termios before = make_port_dirty(dev_.slave_fd(), &tool.port_cflag);
		struct termios uart = before;
		uart.c_cflag = tool.port_cflag;
		tool.termios_log = "/tmp/quorlet-termios-" + std::to_string(getpid());
		// The line is held back until the port has left canonical mode:
		// a tool that read it before setting up the port waits until killed.
		tool.timeout_ms = 8000;
		tool.stdin_when = [this] {
			struct termios t {};
			tcgetattr(dev_.slave_fd(), &t);
			return !(t.c_lflag & ICANON);
		};
		auto e = run("AT\n", c.args, simulated(), tool);
		EXPECT_EQ(e.run.status, 0);
		EXPECT_EQ(e.run.out, "OK\n");
		EXPECT_EQ(e.wire, "AT\r");
		EXPECT_EQ(request_diff(expected_after_setup(uart, c.speed), tool.termios_log), "");
		struct termios after {};
		ASSERT_EQ(tcgetattr(dev_.slave_fd(), &after), 0);
		EXPECT_EQ(settings_diff(expected_after_setup(before, c.speed), after), "");
		// ICRNL and INLCR were set before and stay set.
		EXPECT_TRUE(after.c_iflag & ICRNL);
		EXPECT_TRUE(after.c_iflag & INLCR);
	}
	// The unknown option is reported by getopt, and the run goes on.
	auto e = run("AT\n", {"-x"});
	EXPECT_EQ(e.run.status, 0);
	EXPECT_NE(e.run.err.find("invalid option -- 'x'"), std::string::npos) << e.run.err;
}

TEST_F(Quorlet, RunsStartedTogetherOnOnePortTakeTurnsAndEachGetsTheAnswer)
{
	std::string wire;
	auto device = simulated();
	dev_.start([&](device_line &line, const std::atomic<bool> &stop) { device(line, stop, wire); });
	tool_options tool;
	tool.stdin_data = "ATI\n";
	tool.rs485_shim = false;
	auto results = run_together("quorlet", std::vector(10, std::vector<std::string>{dev_.path()}), tool);
	dev_.stop();
	for (std::size_t i = 0; i < results.size(); ++i) {
		SCOPED_TRACE(i);
		EXPECT_EQ(results[i].status, 0);
		EXPECT_EQ(results[i].out, "ELM327 v1.5\n");
		EXPECT_EQ(results[i].err, "");
		EXPECT_LT(results[i].seconds, port_lock_wait_s);
	}
	std::string lines;
	for (int i = 0; i < 10; ++i)
		lines += "ATI\r";
	EXPECT_EQ(wire, lines);
}

TEST_F(Quorlet, HelpIsPrintedWithoutOpeningAnything)
{
	struct termios before = make_port_dirty(dev_.slave_fd());
	auto e = run("AT\n", {"-b", "38400", "-h"});
	EXPECT_EQ(e.run.status, 0);
	EXPECT_EQ(e.run.out, help);
	EXPECT_EQ(e.run.err, "");
	EXPECT_EQ(e.wire, "");
	struct termios after {};
	ASSERT_EQ(tcgetattr(dev_.slave_fd(), &after), 0);
	EXPECT_EQ(settings_diff(before, after), "");

	tool_options full;
	full.out = stream_setup::dev_full;
	EXPECT_EQ(run_tool("quorlet", {"-h"}, full).status, 1);
}

TEST_F(Quorlet, AnAnswerThatCannotBeWrittenIsAFailure)
{
	tool_options tool;
	tool.out = stream_setup::dev_full;
	auto e = run("AT\n", {}, simulated(), tool);
	EXPECT_EQ(e.run.status, 1);
	EXPECT_EQ(e.wire, "AT\r");

	// With standard output closed the port must not take its place: the
	// device sees the command and nothing else.
	tool.out = stream_setup::closed;
	e = run("AT\n", {}, simulated(), tool);
	EXPECT_EQ(e.run.status, 1);
	EXPECT_EQ(e.wire, "AT\r");
}

TEST_F(Quorlet, ALineThePortTakesOnlyInPartOrAPortThatHungUpIsAFailureAndNothingIsPrinted)
{
	// A pseudo-terminal takes every line whole; the preload library makes
	// the write take one byte less.
	tool_options tool;
	tool.write_max = 3;
	auto e = run("ATI\n", {}, simulated(), tool);
	EXPECT_EQ(e.run.status, 1);
	EXPECT_EQ(e.run.err, "failed to send string to port\n");
	EXPECT_EQ(e.run.out, "");
	EXPECT_LT(e.run.seconds, 0.9);

	// A port that hung up right after its open (a Bluetooth link nobody
	// answers) is no port to use: nothing is sent.
	tool = {};
	tool.env = {"RS485_SHIM_HUNG_UP=1"};
	e = run("ATI\n", {}, simulated(), tool);
	EXPECT_EQ(e.run.status, 1);
	EXPECT_EQ(e.run.err, "Unable to open " + dev_.path() + "\n");
	EXPECT_EQ(e.wire, "");
	EXPECT_LT(e.run.seconds, 0.9);
}

TEST_F(Quorlet, ADeviceThatCannotBeOpenedIsNamedInTheMessage)
{
	tool_options tool;
	tool.rs485_shim = false;
	tool.stdin_data = "AT\n";
	auto r = run_tool("quorlet", {"/nonexistent/ttyX"}, tool);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "Unable to open /nonexistent/ttyX\n");
	EXPECT_EQ(r.out, "");

	r = run_tool("quorlet", {"-b", "38400"}, tool);
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "Unable to open (no device)\n");
	EXPECT_EQ(r.signal, 0);
}

TEST_F(Quorlet, OnAPortWithoutIcrnlACrAloneEndsALine)
{
	auto clear_icrnl = [this] {
		struct termios t {};
		tcgetattr(dev_.slave_fd(), &t);
		t.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
		tcsetattr(dev_.slave_fd(), TCSANOW, &t);
	};

	// CR-ended lines arrive as sent; the line is printed ending in LF.
	clear_icrnl();
	auto e = run("ATI\n");
	EXPECT_EQ(e.run.status, 0);
	EXPECT_EQ(e.run.out, "ELM327 v1.5\n");

	// With linefeeds on there are LF enough: the line comes as it is.
	at_device_config config;
	config.linefeeds = true;
	clear_icrnl();
	e = run("ATI\n", {}, simulated(config));
	EXPECT_EQ(e.run.status, 0);
	EXPECT_EQ(e.run.out, "ELM327 v1.5\r\n");

	// Fewer than two line ends even so: nothing, status 1, at once.
	clear_icrnl();
	e = run("AT\n", {}, raw("OK\r>"));
	EXPECT_EQ(e.run.status, 1);
	EXPECT_EQ(e.run.out, "");
	EXPECT_EQ(e.run.err, "");
	expect_first_poll(e.run);
}

namespace {

// Starts at-sim with `args`, its stdout on a pipe; returns the pid.
pid_t start_at_sim(std::vector<std::string> args, int &out_fd)
{
	int p[2];
	if (pipe(p) != 0)
		return -1;
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_adddup2(&actions, p[1], STDOUT_FILENO);
	posix_spawn_file_actions_addclose(&actions, p[0]);
	args.insert(args.begin(), AT_SIM_BIN);
	std::vector<char *> argv;
	for (auto &a : args)
		argv.push_back(a.data());
	argv.push_back(nullptr);
	pid_t pid = -1;
	if (posix_spawn(&pid, AT_SIM_BIN, &actions, nullptr, argv.data(), environ) != 0)
		pid = -1;
	posix_spawn_file_actions_destroy(&actions);
	close(p[1]);
	out_fd = p[0];
	return pid;
}

// Reads from `fd` until `end` has come or a second of silence.
std::string read_until(int fd, char end)
{
	device_line line;
	line_adopt_fd(line, dup(fd));
	std::string got;
	char chunk[256];
	while (got.find(end) == std::string::npos) {
		ssize_t n = line_read(line, chunk, sizeof chunk, 1000);
		if (n <= 0)
			break;
		got.append(chunk, static_cast<std::size_t>(n));
	}
	return got;
}

} // namespace

TEST(AtSimProgram, ServesANewPseudoTerminalAndAUnixSocket)
{
	// -p: the slave path is the one line on stdout.
	int out = -1;
	pid_t pid = start_at_sim({"-p"}, out);
	ASSERT_GT(pid, 0);
	std::string path = read_until(out, '\n');
	close(out);
	ASSERT_FALSE(path.empty());
	path.pop_back();
	tool_options tool;
	tool.rs485_shim = false;
	tool.stdin_data = "ATI\n";
	auto r = run_tool("quorlet", {path}, tool);
	EXPECT_EQ(r.status, 0);
	EXPECT_EQ(r.out, "ELM327 v1.5\n");
	kill(pid, SIGTERM);
	waitpid(pid, nullptr, 0);

	// -u: at-sim connects to a listening socket (an emulator's UART) and
	// serves it; -n 1 ends it after one answer.
	std::string sock = "/tmp/at-sim-test-" + std::to_string(getpid());
	int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	ASSERT_GE(listener, 0);
	struct sockaddr_un addr {};
	addr.sun_family = AF_UNIX;
	std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
	unlink(sock.c_str());
	ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 0);
	ASSERT_EQ(listen(listener, 1), 0);
	pid = start_at_sim({"-u", sock, "-n", "1"}, out);
	ASSERT_GT(pid, 0);
	int conn = accept(listener, nullptr, nullptr);
	ASSERT_GE(conn, 0);
	ASSERT_EQ(write(conn, "ATI\r", 4), 4);
	EXPECT_EQ(read_until(conn, '>'), "ATI\rELM327 v1.5\r\r>");
	int wstatus = 0;
	waitpid(pid, &wstatus, 0);
	EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
	close(conn);
	close(listener);
	close(out);
	unlink(sock.c_str());
}
