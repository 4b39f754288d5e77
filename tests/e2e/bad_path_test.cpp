// SPDX-License-Identifier: MIT
// The tools given a device path that is no serial port, or run with their
// standard streams closed or full, or with no operand at all.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

#include "tests/e2e/scripted_device.hpp"
#include "tests/support/port_settings.hpp"
#include "tests/support/pty_device.hpp"

namespace {

const std::string reset_1 = "\x02" "0001120013\x03";
const std::string read_1 = "\x02" "0001130014\x03";
const std::string reset_reply = "\x02" "00019201069A\x03";

// A directory, a regular file and a FIFO in a fresh temporary directory.
class BadPath : public ::testing::Test {
protected:
	void SetUp() override
	{
		char name[] = "/tmp/bad-path-XXXXXX";
		ASSERT_NE(mkdtemp(name), nullptr);
		dir_ = name;
		file_ = dir_ + "/file";
		fifo_ = dir_ + "/fifo";
		std::ofstream(file_).flush();
		ASSERT_EQ(mkfifo(fifo_.c_str(), 0600), 0);
	}
	void TearDown() override
	{
		unlink(file_.c_str());
		unlink(fifo_.c_str());
		rmdir(dir_.c_str());
	}

	std::string dir_, file_, fifo_;
};

struct expected_run {
	int status;
	std::string out, err;
};

void expect_run(const tool_result &r, const expected_run &want)
{
	EXPECT_FALSE(r.timed_out);
	EXPECT_EQ(r.signal, 0);
	EXPECT_EQ(r.status, want.status);
	EXPECT_EQ(r.out, want.out);
	EXPECT_EQ(r.err, want.err);
	// Nothing here waits for a device: half a second at most, plus a
	// start-up that is slow under an emulator or memcheck.
	EXPECT_LT(r.seconds, tool_emulated() ? 10.0 : 3.0);
}

} // namespace

TEST_F(BadPath, PulvaneOnPathsThatAreNoSerialPort)
{
	tool_options no_shim;
	no_shim.rs485_shim = false;
	const std::string rs485 = "Unable to set rs495 mode\n";
	struct {
		const char *what;
		std::string path;
		expected_run want;
	} cases[] = {
	    {"a directory", dir_, {1, "", "Unable to open " + dir_ + "\n"}},
	    {"a missing path", dir_ + "/missing", {1, "", "Unable to open " + dir_ + "/missing\n"}},
	    // These open, and the RS-485 request is what they refuse.
	    {"a regular file", file_, {1, "", rs485}},
	    {"/dev/null", "/dev/null", {1, "", rs485}},
	    {"a FIFO, which must not block the open", fifo_, {1, "", rs485}},
	};
	for (const auto &c : cases) {
		SCOPED_TRACE(c.what);
		expect_run(run_tool("pulvane", {"-d", c.path}, no_shim), c.want);
	}
	EXPECT_EQ(read_file(file_), "");
}

TEST_F(BadPath, PulvanePastTheRs485StepOnPathsThatAreNoSerialPort)
{
	// As if the driver took RS-485 mode: the frame goes out, and what comes
	// back is no reply.
	expect_run(run_tool("pulvane", {file_}), {1, "", ""});
	EXPECT_EQ(read_file(file_), reset_1);
	// /dev/null is shared by anything: a run on it (quorlet's, ten
	// seconds long) does not make the next one wait.
	int held = open("/run/lock/serial-tools.1.3", O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
	EXPECT_TRUE(held >= 0 && flock(held, LOCK_EX) == 0);
	expect_run(run_tool("pulvane", {"/dev/null"}), {1, "", ""});
	close(held);
	// A FIFO hands the tool its own frame back, which holds no reply head.
	expect_run(run_tool("pulvane", {fifo_}), {1, "", ""});
}

TEST(BadCaller, PulvaneWithClosedOrFullStreamsAndNoOperand)
{
	struct {
		const char *what;
		stream_setup in, out;
		expected_run want;
		stream_setup err = stream_setup::piped;
		// Makes the driver refuse RS-485 with this errno (0: accept).
		int rs485_errno = 0;
	} cases[] = {
	    {"stdin closed: not used, the run is normal", stream_setup::closed, stream_setup::piped, {0, "OK\n", ""}},
	    {"stdout closed: the result is not delivered", stream_setup::piped, stream_setup::closed, {1, "", ""}},
	    {"stdout full: the result is not delivered", stream_setup::piped, stream_setup::dev_full, {1, "", ""}},
	    // The refusal is said after the open: on a port that took the
	    // closed descriptor 2, as opened or when moved off descriptor 0,
	    // it would go out on the bus.
	    {"stderr closed: the message for a refused RS-485 mode is lost, not sent", stream_setup::piped,
	     stream_setup::piped, {1, "", ""}, stream_setup::closed, EINVAL},
	    {"stdin and stderr closed: the message for a refused RS-485 mode is lost, not sent", stream_setup::closed,
	     stream_setup::piped, {1, "", ""}, stream_setup::closed, EINVAL},
	};
	std::vector<scripted_case> runs;
	for (const auto &c : cases) {
		scripted_case run;
		run.tool = "pulvane";
		run.answer.reply = reset_reply;
		run.options.in = c.in;
		run.options.out = c.out;
		run.options.err = c.err;
		run.options.rs485_errno = c.rs485_errno;
		runs.push_back(run);
	}
	auto results = run_scripted(runs);
	for (std::size_t i = 0; i < runs.size(); ++i) {
		SCOPED_TRACE(cases[i].what);
		expect_run(results[i].run, cases[i].want);
		// The device got the frame and nothing else, whatever the streams;
		// nothing at all when RS-485 was refused.
		EXPECT_EQ(results[i].wire, cases[i].rs485_errno ? "" : reset_1);
	}

	expect_run(run_tool("pulvane", {}), {1, "", "Unable to open (no device)\n"});
	expect_run(run_tool("pulvane", {"-d", "-i", "2"}), {1, "", "Unable to open (no device)\n"});
}

namespace {

// What another user needs to start the tool, copied into a fresh
// directory anyone may read: the tool and, under an emulator with a
// library root (-L DIR), that root's libraries. The build tree may be out
// of that user's reach, e.g. a checkout in root's home (mode 0700).
class readable_copy {
public:
	explicit readable_copy(const std::string &tool)
	{
		namespace fs = std::filesystem;
		char name[] = "/tmp/bad-caller-XXXXXX";
		if (!mkdtemp(name))
			return;
		dir_ = name;
		fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
		                          fs::perms::others_read | fs::perms::others_exec);
		tool_ = dir_ + "/" + fs::path(tool_path(tool)).filename().string();
		fs::copy_file(tool_path(tool), tool_);
		std::istringstream words(tool_emulator());
		std::string emulator;
		for (std::string w, before; words >> w; before = w) {
			if (before == "-L") {
				fs::copy(w + "/lib", dir_ + "/lib", fs::copy_options::recursive | fs::copy_options::copy_symlinks);
				w = dir_;
			}
			emulator += (emulator.empty() ? "" : " ") + w;
		}
		emulator_ = emulator;
	}
	~readable_copy()
	{
		if (!dir_.empty())
			std::filesystem::remove_all(dir_);
	}
	readable_copy(const readable_copy &) = delete;
	readable_copy &operator=(const readable_copy &) = delete;

	const std::string &tool() const { return tool_; }
	const std::string &emulator() const { return emulator_; }

private:
	std::string dir_, tool_, emulator_;
};

// Runs `run` on a port only root may open (mode 0600), once as nobody and
// once as root: the first is refused at the open and sends nothing, the
// second gets its answer.
void expect_only_root_gets_through(scripted_case run)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to run the tool as another user";
	run.path_mode = 0600;
	scripted_case as_root = run;
	readable_copy copy(run.tool);
	ASSERT_FALSE(copy.tool().empty());
	run.tool = copy.tool();
	run.options.emulator = copy.emulator();
	run.options.prefix = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
	// Refused at the open, neither tool gets as far as asking for RS-485
	// (quorlet never does), so nobody's run goes without the preload
	// library, which may sit out of nobody's reach too. A pulvane that got
	// past the open would be refused RS-485 by the pseudo-terminal and say
	// so, which fails the test as surely as the frame on the wire would.
	run.options.rs485_shim = false;
	auto results = run_scripted({run, as_root});
	const tool_result &r = results[0].run;
	EXPECT_EQ(r.status, 1);
	EXPECT_EQ(r.out, "");
	EXPECT_EQ(r.err.rfind("Unable to open /dev/pts/", 0), 0u) << r.err;
	EXPECT_EQ(results[0].wire, "");
	// The same kind of port is fine for one who may open it.
	EXPECT_EQ(results[1].run.status, 0);
	EXPECT_EQ(results[1].run.out, "OK\n");
}

} // namespace

TEST(BadCaller, PulvaneRunByAUserWhoMayNotOpenThePort)
{
	scripted_case run;
	run.tool = "pulvane";
	run.answer.reply = reset_reply;
	expect_only_root_gets_through(run);
}

TEST_F(BadPath, QuorletOnPathsThatAreNoSerialPortAndWithBadStreams)
{
	const std::string answer = "ATI\rOK\r\r>";
	struct {
		const char *what;
		std::string path; // empty: a device that answers properly
		stream_setup in, out;
		expected_run want;
		int polls; // the run takes about this many seconds
		std::string wire;
		stream_setup err = stream_setup::piped;
	} cases[] = {
	    {"a directory", dir_, stream_setup::piped, stream_setup::piped,
	     {1, "", "Unable to open " + dir_ + "\n"}, 0, ""},
	    {"a missing path", dir_ + "/missing", stream_setup::piped, stream_setup::piped,
	     {1, "", "Unable to open " + dir_ + "/missing\n"}, 0, ""},
	    // These open and take the line; no prompt ever comes back. A file
	    // and /dev/null read as empty for all ten polls.
	    {"a regular file", file_, stream_setup::piped, stream_setup::piped, {1, "", ""}, 10, ""},
	    {"/dev/null", "/dev/null", stream_setup::piped, stream_setup::piped, {1, "", ""}, 10, ""},
	    // A FIFO hands the line back at the first poll; at the second its
	    // non-waiting read fails (EAGAIN), which ends the wait.
	    {"a FIFO", fifo_, stream_setup::piped, stream_setup::piped, {1, "", ""}, 2, ""},
	    {"stdin closed: no line", "", stream_setup::closed, stream_setup::piped, {1, "", "invalid string\n"},
	     0, ""},
	    // The refusal is said after the open: on a port moved off
	    // descriptor 0 onto the closed descriptor 2 it would go out on the
	    // bus (see Quorlet.RefusedInputSendsNothingButThePortIsAlreadySetUp
	    // for standard error closed alone).
	    {"stdin and stderr closed: the message for no line is lost, not sent", "", stream_setup::closed,
	     stream_setup::piped, {1, "", ""}, 0, "", stream_setup::closed},
	    {"stdout closed: the answer is not delivered", "", stream_setup::piped, stream_setup::closed,
	     {1, "", ""}, 1, "ATI\r"},
	    {"stdout full: the answer is not delivered", "", stream_setup::piped, stream_setup::dev_full,
	     {1, "", ""}, 1, "ATI\r"},
	};
	std::vector<scripted_case> runs;
	for (const auto &c : cases) {
		scripted_case run;
		run.tool = "quorlet";
		run.path = c.path;
		run.answer.reply = answer;
		run.answer.request_end = '\r';
		run.options.stdin_data = "ATI\n";
		run.options.in = c.in;
		run.options.out = c.out;
		run.options.err = c.err;
		runs.push_back(run);
	}
	auto results = run_scripted(runs, tool_emulated() ? 8 : runs.size());
	for (std::size_t i = 0; i < runs.size(); ++i) {
		SCOPED_TRACE(cases[i].what);
		const tool_result &r = results[i].run;
		const expected_run &want = cases[i].want;
		EXPECT_FALSE(r.timed_out);
		EXPECT_EQ(r.signal, 0);
		EXPECT_EQ(r.status, want.status);
		EXPECT_EQ(r.out, want.out);
		EXPECT_EQ(r.err, want.err);
		EXPECT_EQ(results[i].wire, cases[i].wire);
		EXPECT_GE(r.seconds, cases[i].polls);
		EXPECT_LT(r.seconds, cases[i].polls + (tool_emulated() ? 6.0 : 1.5));
	}
	EXPECT_EQ(read_file(file_), "ATI\r");

	tool_options line;
	line.stdin_data = "ATI\n";
	expect_run(run_tool("quorlet", {}, line), {1, "", "Unable to open (no device)\n"});
}

TEST(BadCaller, QuorletRunByAUserWhoMayNotOpenThePort)
{
	scripted_case run;
	run.tool = "quorlet";
	run.answer.reply = "ATI\rOK\r\r>";
	run.answer.request_end = '\r';
	run.options.stdin_data = "ATI\n";
	expect_only_root_gets_through(run);
}

// What the test holds of a port while a run is started on it.
enum class hold : std::uint8_t {
	device,         // the device's own lock, as picocom or tio would
	queue,          // the runs' queue, as a run of these tools would
	stranger_queue, // the queue's lock file, made by one who may not use the device
	no_lock_dir,    // nothing, but the run has no lock directory
};

// The runs' queue for the device at `path`, as the tools name it.
std::string queue_lock(const std::string &path)
{
	struct stat st {};
	EXPECT_EQ(stat(path.c_str(), &st), 0);
	return "/run/lock/serial-tools." + std::to_string(major(st.st_rdev)) + "." + std::to_string(minor(st.st_rdev));
}

TEST(BadCaller, APortAnotherProgramHoldsIsWaitedForThenLeftAlone)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to make a lock file of another user's and a lock directory of its own";
	// Each run on a port of its own, all at once: the wait is long. The
	// test holds each port's lock as picocom, tio and pyserial's exclusive
	// mode do, or the runs' queue as a run would: for longer than the
	// tools wait, or until the run is waiting on it, changing a bit the
	// tools leave alone (ICRNL) before it lets go, as a holder may. A queue
	// that a stranger holds, or none at all, keeps no run off the port.
	struct held_port {
		const char *tool;
		std::vector<std::string> args;
		hold holds;
		bool lets_go;
		pty_device dev;
		struct termios before {};
		std::string lock, events;
		tool_result run;
	} ports[] = {
	    {"pulvane", {"-d"}, hold::device, false, {}, {}, {}, {}, {}},
	    {"quorlet", {}, hold::device, false, {}, {}, {}, {}, {}},
	    {"pulvane", {"-d"}, hold::device, true, {}, {}, {}, {}, {}},
	    {"quorlet", {}, hold::queue, false, {}, {}, {}, {}, {}},
	    {"pulvane", {"-d"}, hold::stranger_queue, false, {}, {}, {}, {}, {}},
	    {"pulvane", {"-d"}, hold::no_lock_dir, false, {}, {}, {}, {}, {}},
	};
	held_port &holder = ports[2];
	// Readable once the run has opened the holder's port.
	int opened = inotify_init1(IN_CLOEXEC);
	ASSERT_GE(opened, 0);
	ASSERT_GE(inotify_add_watch(opened, holder.dev.path().c_str(), IN_OPEN), 0);
	std::vector<int> held_locks;
	for (auto &p : ports) {
		p.before = make_port_dirty(p.dev.slave_fd());
		p.args.push_back(p.dev.path());
		p.events = "/tmp/held-port-" + std::to_string(getpid()) + "-" + std::to_string(&p - ports) + ".events";
		unlink(p.events.c_str());
		if (p.holds == hold::device) {
			ASSERT_EQ(flock(p.dev.slave_fd(), LOCK_EX), 0);
		}
		if (p.holds != hold::queue && p.holds != hold::stranger_queue)
			continue;
		p.lock = queue_lock(p.dev.path());
		unlink(p.lock.c_str());
		int fd = open(p.lock.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
		ASSERT_GE(fd, 0) << p.lock;
		if (p.holds == hold::stranger_queue) {
			ASSERT_EQ(fchown(fd, 65534, 65534), 0);
			ASSERT_EQ(fchmod(fd, 0644), 0);
		}
		ASSERT_EQ(flock(fd, LOCK_EX), 0);
		held_locks.push_back(fd);
	}
	// A mount namespace of its own takes a root that is a mount point: in
	// a chroot (scripts/test-on-debian's roots) there is none, and the row
	// without a lock directory is left to the machine's own run.
	const bool own_mounts = std::system("unshare -m --propagation private true 2>/dev/null") == 0;
	if (!own_mounts)
		std::fprintf(stderr, "note: no mount namespace here (a chroot?): the row without a lock directory is left out\n");
	std::vector<std::thread> runs;
	for (auto &p : ports) {
		if (p.holds == hold::no_lock_dir && !own_mounts)
			continue;
		runs.emplace_back([&p] {
			tool_options line;
			line.stdin_data = "ATI\n";
			line.events = p.events;
			if (p.holds == hold::no_lock_dir)
				line.prefix = {"unshare", "-m", "--propagation", "private", "sh", "-c",
					       "mount -t tmpfs -o ro none /run/lock && exec \"$@\"", "sh"};
			p.run = run_tool(p.tool, p.args, line);
		});
	}
	// The run reads the port's settings right after its open.
	struct pollfd open_seen = {opened, POLLIN, 0};
	EXPECT_EQ(poll(&open_seen, 1, 10000), 1);
	close(opened);
	usleep(300 * 1000);
	holder.before.c_iflag &= ~static_cast<tcflag_t>(ICRNL);
	EXPECT_EQ(tcsetattr(holder.dev.slave_fd(), TCSANOW, &holder.before), 0);
	EXPECT_EQ(tcgetattr(holder.dev.slave_fd(), &holder.before), 0);
	EXPECT_EQ(flock(holder.dev.slave_fd(), LOCK_UN), 0);
	for (auto &r : runs)
		r.join();
	for (int fd : held_locks)
		close(fd);
	for (auto &p : ports) {
		if (p.holds == hold::no_lock_dir && !own_mounts)
			continue;
		SCOPED_TRACE(p.dev.path() + (p.lets_go ? ", let go" : ", held") + ", case " + std::to_string(&p - ports));
		if (!p.lock.empty())
			unlink(p.lock.c_str());
		struct termios after {};
		ASSERT_EQ(tcgetattr(p.dev.slave_fd(), &after), 0);
		std::string opens;
		for (const auto &ev : read_events(p.events))
			if (ev.what == "open")
				opens += ev.arg;
		unlink(p.events.c_str());
		EXPECT_EQ(p.run.out, "");
		EXPECT_EQ(p.run.status, 1);
		if (p.lets_go || p.holds == hold::stranger_queue || p.holds == hold::no_lock_dir) {
			// The run goes on once the holder lets go, with the port as
			// the holder left it: its own bits set, ICRNL left clear;
			// past a queue it cannot have, at once. (Nothing answers its
			// frame.)
			EXPECT_EQ(p.run.err, "");
			EXPECT_EQ(drain_master(p.dev.line()), read_1);
			EXPECT_EQ(settings_diff(expected_after_setup(p.before, B9600), after), "");
			EXPECT_LT(p.run.seconds, p.lets_go ? port_lock_wait_s : tool_emulated() ? 5.0 : 2.0);
			continue;
		}
		EXPECT_EQ(p.run.err, "Port " + p.dev.path() + " is in use\n");
		EXPECT_EQ(drain_master(p.dev.line()), "");
		EXPECT_EQ(settings_diff(p.before, after), "");
		// Queued behind a run, it never opens the port.
		EXPECT_EQ(opens, p.holds == hold::queue ? "" : p.dev.path());
		EXPECT_GE(p.run.seconds, port_lock_wait_s);
		EXPECT_LT(p.run.seconds, port_lock_wait_s + (tool_emulated() ? 4.0 : 1.0));
	}
}

TEST(BadCaller, CounterSimTakesOnlyTwoDecimalCounts)
{
	// A host program, which the board's emulator cannot run.
	if (tool_emulated())
		GTEST_SKIP() << "counter-sim is checked in the bare host run";
	// Refused before any line is opened: exit status 2 and the usage.
	for (const char *counts : {"-5,3", "5,-3", "5x,3", "5,3x", "5", "99999999999999999999,1", ","}) {
		SCOPED_TRACE(counts);
		tool_options bare;
		bare.rs485_shim = false;
		auto r = run_tool(COUNTER_SIM_BIN, {"-c", counts, "-F", "0"}, bare);
		EXPECT_EQ(r.status, 2);
		EXPECT_EQ(r.err.rfind("usage: counter-sim", 0), 0u) << r.err;
	}
}
