// SPDX-License-Identifier: MIT
// The tools through a pty bridge to a device on the network, as a Wi-Fi
// ELM327 or an Ethernet serial server is reached from Linux: Debian's socat
// makes the pseudo-terminal, and a listener of the test's own on the
// loopback address serves each TCP connection with a simulator.

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/support/tool_run.hpp"

extern char **environ;

namespace {

// Starts `argv` with `fd` as its descriptor 3 (none: -1), its output
// dropped; its process, or -1.
pid_t spawn(const std::vector<std::string> &argv, int fd = -1)
{
	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	if (fd >= 0)
		posix_spawn_file_actions_adddup2(&actions, fd, 3);
	posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
	posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
	std::vector<char *> args;
	for (const auto &a : argv)
		args.push_back(const_cast<char *>(a.c_str()));
	args.push_back(nullptr);
	pid_t pid = -1;
	if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0)
		pid = -1;
	posix_spawn_file_actions_destroy(&actions);
	return pid;
}

// The device on the network: a TCP server on 127.0.0.1 that serves one
// connection at a time, each with a simulator of its own (`-F 3`), as a
// Wi-Fi adapter serves one client.
class tcp_device {
public:
	explicit tcp_device(std::vector<std::string> simulator) : simulator_(std::move(simulator))
	{
		listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
		sockaddr_in at{};
		at.sin_family = AF_INET;
		at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t len = sizeof at;
		if (bind(listener_, reinterpret_cast<sockaddr *>(&at), len) != 0 || listen(listener_, 4) != 0 ||
		    getsockname(listener_, reinterpret_cast<sockaddr *>(&at), &len) != 0)
			ADD_FAILURE() << "no listener on the loopback address: " << strerror(errno);
		port_ = ntohs(at.sin_port);
		thread_ = std::thread([this] { serve(); });
	}
	~tcp_device()
	{
		stop_ = true;
		switch_off();
		thread_.join();
		close(listener_);
	}
	int port() const { return port_; }
	// The adapter switched off: its simulator ends, and with it the
	// connection.
	void switch_off()
	{
		if (pid_t pid = sim_.load(); pid > 0)
			kill(pid, SIGKILL);
	}

private:
	void serve()
	{
		while (!stop_) {
			struct pollfd ready = {listener_, POLLIN, 0};
			if (poll(&ready, 1, 50) != 1)
				continue;
			int conn = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
			if (conn < 0)
				continue;
			// Above 3, so that the spawn's dup2 makes a descriptor 3
			// that the simulator keeps.
			int high = fcntl(conn, F_DUPFD_CLOEXEC, 10);
			close(conn);
			std::vector<std::string> argv = simulator_;
			argv.insert(argv.end(), {"-F", "3"});
			pid_t pid = spawn(argv, high);
			close(high);
			sim_ = pid;
			int status = 0;
			while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
			}
			sim_ = 0;
		}
	}

	std::vector<std::string> simulator_;
	int listener_ = -1;
	int port_ = 0;
	std::atomic<bool> stop_{false};
	std::atomic<pid_t> sim_{0};
	std::thread thread_;
};

// The bridge a user runs: socat's pseudo-terminal, named by a link, to the
// device's TCP port.
class pty_bridge {
public:
	explicit pty_bridge(int port)
	{
		char dir[] = "/tmp/network-XXXXXX";
		EXPECT_NE(mkdtemp(dir), nullptr);
		dir_ = dir;
		link_ = dir_ + "/elm";
		pid_ = spawn({"socat", "pty,link=" + link_ + ",raw,echo=0", "tcp:127.0.0.1:" + std::to_string(port)});
		EXPECT_GT(pid_, 0) << "socat did not start (Debian's socat package)";
		for (int i = 0; i < 100 && !up(); ++i)
			usleep(50 * 1000);
		EXPECT_TRUE(up()) << "socat made no " << link_;
	}
	~pty_bridge()
	{
		if (pid_ > 0 && !ended()) {
			kill(pid_, SIGTERM);
			waitpid(pid_, nullptr, 0);
		}
		unlink(link_.c_str());
		rmdir(dir_.c_str());
	}
	const std::string &path() const { return link_; }
	bool up() const
	{
		struct stat st {};
		return stat(link_.c_str(), &st) == 0 && S_ISCHR(st.st_mode);
	}
	// socat has exited by itself.
	bool ended()
	{
		if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == pid_)
			pid_ = -1;
		return pid_ < 0;
	}

private:
	std::string dir_, link_;
	pid_t pid_ = -1;
};

// A run of a tool on the bridge, bare: a pseudo-terminal has no RS-485 to
// answer.
tool_result run_on(const pty_bridge &bridge, const std::string &tool, std::vector<std::string> args,
		   const std::string &line = "")
{
	tool_options options;
	options.rs485_shim = false;
	options.stdin_data = line;
	args.push_back(bridge.path());
	return run_tool(tool, args, options);
}

// A tool's start-up and polls run slower under an emulator.
double slack()
{
	return tool_emulated() ? 3.0 : 0.8;
}

} // namespace

TEST(NetworkBridge, AWiFiAdapterAnswersRunsInARowAndRunsStartedTogetherInTurn)
{
	tcp_device adapter({AT_SIM_BIN});
	pty_bridge bridge(adapter.port());
	struct {
		std::string line, answer;
	} rows[] = {{"ATI\n", "ELM327 v1.5\n"}, {"AT@1\n", "OBDII to RS232 Interpreter\n"}, {"ATI\n", "ELM327 v1.5\n"}};
	for (const auto &row : rows) {
		SCOPED_TRACE(row.line);
		auto r = run_on(bridge, "quorlet", {}, row.line);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, row.answer);
		EXPECT_EQ(r.err, "");
		// The bridge outlives each run's close.
		EXPECT_TRUE(bridge.up());
	}
	tool_options line;
	line.rs485_shim = false;
	line.stdin_data = "ATI\n";
	auto together = run_together("quorlet", std::vector<std::vector<std::string>>(5, {bridge.path()}), line);
	for (const auto &r : together) {
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, "ELM327 v1.5\n");
		EXPECT_EQ(r.err, "");
		EXPECT_LT(r.seconds, port_lock_wait_s);
	}
}

TEST(NetworkBridge, ALateAnswerIsDroppedAndTheNextCommandPrintsItsOwn)
{
	// The first search takes 12 s, longer than a run waits.
	tcp_device adapter({AT_SIM_BIN, "-s", "12000"});
	pty_bridge bridge(adapter.port());
	auto first = run_on(bridge, "quorlet", {}, "0100\n");
	EXPECT_EQ(first.status, 1);
	EXPECT_EQ(first.out, "");
	// The answer and its prompt come while nobody has the port open, and
	// wait in the bridge's pseudo-terminal.
	usleep(static_cast<useconds_t>(std::max(0.0, 14.0 - first.seconds) * 1e6));
	auto next = run_on(bridge, "quorlet", {}, "ATI\n");
	EXPECT_EQ(next.status, 0);
	EXPECT_EQ(next.out, "ELM327 v1.5\n");
	EXPECT_EQ(next.err, "");
}

TEST(NetworkBridge, AnAdapterThatGoesAwayMidAnswerFailsTheRunAndTakesTheBridgeWithIt)
{
	// The answer's lines 3 s apart; the adapter is switched off 1.5 s in.
	tcp_device adapter({AT_SIM_BIN, "-f", "split", "-g", "3000"});
	pty_bridge bridge(adapter.port());
	tool_result r;
	std::thread run([&] { r = run_on(bridge, "quorlet", {}, "ATI\n"); });
	usleep(1500 * 1000);
	adapter.switch_off();
	run.join();
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_LT(r.seconds, 10.0 + slack());
	// socat exits with its connection, and its link goes.
	for (int i = 0; i < 40 && !(bridge.ended() && !bridge.up()); ++i)
		usleep(50 * 1000);
	EXPECT_TRUE(bridge.ended());
	auto after = run_on(bridge, "quorlet", {}, "ATI\n");
	EXPECT_EQ(after.status, 1);
	EXPECT_EQ(after.err, "Unable to open " + bridge.path() + "\n");
	EXPECT_LT(after.seconds, slack());
}

TEST(NetworkBridge, ASerialServerInFrontOfTheCounterModuleTakesPulvaneWithDashA)
{
	tcp_device server({COUNTER_SIM_BIN, "-c", "10,20"});
	pty_bridge bridge(server.port());
	// A pseudo-terminal has no RS-485: refused, and the reset never reaches
	// the module, whose counts are still there after it.
	auto r = run_on(bridge, "pulvane", {"-r"});
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.err, "Unable to set rs495 mode\n");
	struct {
		std::vector<std::string> args;
		std::string out;
	} rows[] = {
	    {{"-a", "-d"}, "IN:00000010 OUT:00000020 \n"},
	    {{"-a", "-r"}, "OK\n"},
	    {{"-a", "-d"}, "IN:00000000 OUT:00000000 \n"},
	};
	for (const auto &row : rows) {
		SCOPED_TRACE(testing::PrintToString(row.args));
		r = run_on(bridge, "pulvane", row.args);
		EXPECT_EQ(r.status, 0);
		EXPECT_EQ(r.out, row.out);
		EXPECT_EQ(r.err, "");
	}
}
