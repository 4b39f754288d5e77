// SPDX-License-Identifier: MIT
#include "tests/support/tool_run.hpp"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string env_or(const char *name, const char *fallback)
{
	const char *v = std::getenv(name);
	return v && *v ? v : fallback;
}

std::vector<std::string> words(const std::string &text)
{
	std::istringstream in(text);
	std::vector<std::string> out;
	for (std::string w; in >> w;)
		out.push_back(w);
	return out;
}

void set_stream(int target, stream_setup setup, int pipe_end, int mode)
{
	switch (setup) {
	case stream_setup::piped:
		dup2(pipe_end, target);
		break;
	case stream_setup::closed:
		close(target);
		break;
	case stream_setup::dev_full:
	case stream_setup::dev_null: {
		int fd = open(setup == stream_setup::dev_full ? "/dev/full" : "/dev/null", mode);
		dup2(fd, target);
		close(fd);
		break;
	}
	}
}

} // namespace

// TOOL_TARGET=armhf or arm64 selects that board build of this tree, run
// under qemu's user-mode emulator with the cross toolchain's libraries;
// explicit settings above still win.
static std::string board_target()
{
	std::string target = env_or("TOOL_TARGET", "");
	return target == "armhf" || target == "arm64" ? target : "";
}

bool board_build()
{
	return !board_target().empty();
}

std::string board_dir()
{
	if (board_target() == "arm64") {
#ifdef ARM64_BUILD_DIR
		return ARM64_BUILD_DIR;
#else
		return "build-arm64";
#endif
	}
#ifdef ARMHF_BUILD_DIR
	return ARMHF_BUILD_DIR;
#else
	return "build-armhf";
#endif
}

std::string tool_path(const std::string &name)
{
	std::string built;
	if (name == "pulvane")
		built = board_build() ? board_dir() + "/counter/pulvane" : PULVANE_DEFAULT;
#ifdef QUORLET_DEFAULT
	else if (name == "quorlet")
		built = board_build() ? board_dir() + "/attool/quorlet" : QUORLET_DEFAULT;
#endif
	else
		return name;
	std::string var = name == "pulvane" ? "PULVANE_BIN" : "QUORLET_BIN";
	return env_or(var.c_str(), built.c_str());
}

std::string tool_emulator()
{
	std::string target = board_target();
	const char *board = "";
	if (target == "armhf")
		board = "qemu-arm -L /usr/arm-linux-gnueabihf";
	else if (target == "arm64")
		board = "qemu-aarch64 -L /usr/aarch64-linux-gnu";
	return env_or("TOOL_EMULATOR", board);
}

bool tool_emulated()
{
	return !tool_emulator().empty();
}

tool_result run_tool(const std::string &name, const std::vector<std::string> &args, const tool_options &options)
{
	// A tool that exits before reading all its input must not kill the test.
	std::signal(SIGPIPE, SIG_IGN);
	std::vector<std::string> env = options.env;
	if (options.rs485_shim) {
		std::string shim = board_build() ? board_dir() + "/tests/preload/rs485_shim.so" : RS485_SHIM_DEFAULT;
		env.push_back("LD_PRELOAD=" + env_or("RS485_SHIM", shim.c_str()));
		if (!options.rs485_log.empty())
			env.push_back("RS485_SHIM_LOG=" + options.rs485_log);
		if (options.rs485_errno)
			env.push_back("RS485_SHIM_ERRNO=" + std::to_string(options.rs485_errno));
		if (!options.termios_log.empty())
			env.push_back("RS485_SHIM_TERMIOS_LOG=" + options.termios_log);
		if (options.port_cflag)
			env.push_back("RS485_SHIM_CFLAG=" + std::to_string(options.port_cflag));
		if (options.write_max)
			env.push_back("RS485_SHIM_WRITE_MAX=" + std::to_string(options.write_max));
		if (!options.events.empty())
			env.push_back("RS485_SHIM_EVENTS=" + options.events);
	}

	// Under an emulator the settings go to the emulated process, not to
	// the emulator itself, unless the emulator hands its own environment
	// on to the tool.
	std::vector<std::string> argv = options.prefix;
	std::vector<std::string> emulator_words = words(options.emulator ? *options.emulator : tool_emulator());
	// valgrind keeps descriptor 2 for its own report and refuses the tool
	// any use of it: started with standard error closed, the tool could not
	// even load its libraries there. The report goes to the captured stream
	// through a descriptor of its own instead, and the tool still finds
	// descriptor 2 closed.
	constexpr int valgrind_report_fd = 100;
	bool valgrind_report = options.err == stream_setup::closed && !emulator_words.empty() &&
			       emulator_words[0].ends_with("valgrind");
	if (valgrind_report)
		emulator_words.insert(emulator_words.begin() + 1, "--log-fd=" + std::to_string(valgrind_report_fd));
	argv.insert(argv.end(), emulator_words.begin(), emulator_words.end());
	bool env_as_words = !emulator_words.empty() && env_or("TOOL_EMULATOR_ENV", "") != "plain";
	if (env_as_words)
		for (const auto &e : env) {
			argv.push_back("-E");
			argv.push_back(e);
		}
	argv.push_back(tool_path(name));
	argv.insert(argv.end(), args.begin(), args.end());

	int in_pipe[2], out_pipe[2], err_pipe[2];
	if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0)
		return {};

	auto start = std::chrono::steady_clock::now();
	pid_t pid = fork();
	if (pid == 0) {
		if (options.own_session)
			setsid();
		set_stream(STDIN_FILENO, options.in, in_pipe[0], O_RDONLY);
		set_stream(STDOUT_FILENO, options.out, out_pipe[1], O_WRONLY);
		if (valgrind_report)
			dup2(err_pipe[1], valgrind_report_fd);
		set_stream(STDERR_FILENO, options.err, err_pipe[1], O_WRONLY);
		if (!env_as_words)
			for (const auto &e : env)
				putenv(const_cast<char *>(e.c_str()));
		std::vector<char *> cargv;
		for (auto &a : argv)
			cargv.push_back(a.data());
		cargv.push_back(nullptr);
		execvp(cargv[0], cargv.data());
		_exit(127);
	}
	close(in_pipe[0]);
	close(out_pipe[1]);
	close(err_pipe[1]);

	// Feed stdin and drain stdout/stderr together, so that neither side
	// can block the other.
	tool_result result;
	// Both arms views: a std::string arm would make a temporary copy, and
	// the view would outlive it.
	std::string_view to_send =
	    options.in == stream_setup::piped ? std::string_view(options.stdin_data) : std::string_view();
	int in_fd = in_pipe[1];
	if (to_send.empty()) {
		close(in_fd);
		in_fd = -1;
	} else {
		fcntl(in_fd, F_SETFL, O_NONBLOCK);
	}
	auto deadline = start + std::chrono::milliseconds(options.timeout_ms);
	int open_outputs = 2;
	while (open_outputs > 0 || in_fd >= 0) {
		auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
		if (left.count() <= 0) {
			kill(pid, SIGKILL);
			result.timed_out = true;
			break;
		}
		bool hold = in_fd >= 0 && options.stdin_when && !options.stdin_when();
		struct pollfd fds[3] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}, {hold ? -1 : in_fd, POLLOUT, 0}};
		if (poll(fds, 3, hold ? 5 : static_cast<int>(left.count())) < 0 && errno != EINTR)
			break;
		for (int i = 0; i < 2; ++i) {
			if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
				continue;
			char chunk[4096];
			ssize_t got = read(fds[i].fd, chunk, sizeof chunk);
			if (got > 0) {
				(i == 0 ? result.out : result.err).append(chunk, static_cast<std::size_t>(got));
			} else {
				close(fds[i].fd);
				(i == 0 ? out_pipe[0] : err_pipe[0]) = -1;
				--open_outputs;
			}
		}
		if (in_fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
			ssize_t put = write(in_fd, to_send.data(), to_send.size());
			if (put > 0)
				to_send.remove_prefix(static_cast<std::size_t>(put));
			if (put < 0 || to_send.empty()) {
				close(in_fd);
				in_fd = -1;
			}
		}
	}
	for (int fd : {out_pipe[0], err_pipe[0], in_fd})
		if (fd >= 0)
			close(fd);

	int wstatus = 0;
	while (waitpid(pid, &wstatus, 0) < 0 && errno == EINTR) {
	}
	result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
	if (WIFEXITED(wstatus))
		result.status = WEXITSTATUS(wstatus);
	else if (WIFSIGNALED(wstatus))
		result.signal = WTERMSIG(wstatus);
	return result;
}

std::vector<tool_result> run_together(const std::string &name, const std::vector<std::vector<std::string>> &runs,
				      const tool_options &options)
{
	std::vector<tool_result> results(runs.size());
	std::vector<std::thread> threads;
	for (std::size_t i = 0; i < runs.size(); ++i)
		threads.emplace_back([&, i] { results[i] = run_tool(name, runs[i], options); });
	for (auto &t : threads)
		t.join();
	return results;
}

std::string read_file(const std::string &path)
{
	std::ifstream in(path);
	std::stringstream s;
	s << in.rdbuf();
	return s.str();
}

std::vector<shim_event> read_events(const std::string &path)
{
	std::vector<shim_event> events;
	std::ifstream in(path);
	for (std::string line; std::getline(in, line);) {
		std::istringstream words(line);
		shim_event e;
		words >> e.pid >> e.us >> e.what;
		std::getline(words >> std::ws, e.arg);
		events.push_back(e);
	}
	return events;
}
