// SPDX-License-Identifier: MIT
// quorlet: passes one AT command line from standard input to a device on a
// serial port, waits up to ten seconds for the device's prompt '>', and
// prints the answer line.
//
//   echo ATI | quorlet [-b 38400] device
//
// Exit status 0 when the prompt came and the answer line was written (or
// help was shown), 1 otherwise. A device that never prompts is told by the
// status alone.

#include <cstdio>
#include <cstring>
#include <span>
#include <termios.h>
#include <unistd.h>

#include "attool/quorlet.hpp"
#include "serial/serial_port.hpp"

namespace {

// Holds the command line first, then the bytes received.
char buf[256];

// Received bytes held at most: one byte short of the buffer, as the line
// read into it is at most that long before its NUL.
constexpr std::size_t max_held = sizeof buf - 1;

// One poll a second: the tool gives up about ten seconds after the write.
constexpr int max_polls = 10;

// Shown in the open-failure message when no device was named.
constexpr const char *no_device = "(no device)";

// The answer counts only once it has reached standard output: a script
// must not take an unwritten answer for one.
int flushed_status(int status)
{
	if (fflush(stdout) != 0 || ferror(stdout))
		return 1;
	return status;
}

int show_help()
{
	puts("-b baud rate <9600(default) 38400>");
	puts("Example:");
	puts("$ echo 'AT' | quorlet /dev/ttyS0 ");
	puts("This program is finished and print received data when character '>' is received");
	putchar('\n');
	return flushed_status(0);
}

} // namespace

int main(int argc, char *argv[])
{
	// 1. Options; unknown ones are reported by getopt and otherwise ignored.
	speed_t speed = B9600;
	int opt;
	while ((opt = getopt(argc, argv, "hb:")) != -1) {
		switch (opt) {
		case 'b':
			speed = strcmp(optarg, "38400") == 0 ? B38400 : B9600;
			break;
		case 'h':
			return show_help();
		default:
			break;
		}
	}
	const char *path = optind < argc ? argv[optind] : nullptr;

	// 2. The port, for this run alone (a run already on it is waited for),
	// raw 8N1, before standard input is read: a caller slow to hand over
	// the line holds the port meanwhile.
	int fd = path ? serial_open(path, speed) : -1;
	if (fd == serial_port_in_use) {
		fprintf(stderr, "Port %s is in use\n", path);
		return 1;
	}
	if (fd < 0) {
		fprintf(stderr, "Unable to open %s\n", path ? path : no_device);
		return 1;
	}

	// 3. One line. End of input before any character (or a failed read)
	// leaves no line, which is refused below like any line without its LF.
	if (!fgets(buf, sizeof buf, stdin))
		buf[0] = '\0';

	// 4. The line must end in LF, which becomes the command's CR.
	if (!tr_lf_cr(buf)) {
		fputs("invalid string\n", stderr);
		return 1;
	}

	// 5. One write of the whole line. It is at most 255 bytes, which an
	// idle port takes whole; any other count means it did not go out.
	// Whatever waits on the port before it goes out is no answer to it
	// (the device has not heard it yet): the late answer to a run that gave
	// up, kept by a bridge's pseudo-terminal (a Wi-Fi adapter through
	// socat) until the next run opens it. It is dropped, so that its prompt
	// cannot end this run's wait.
	tcflush(fd, TCIFLUSH);
	const std::size_t len = strnlen(buf, sizeof buf);
	if (write(fd, buf, len) != static_cast<ssize_t>(len)) {
		fputs("failed to send string to port\n", stderr);
		serial_close(fd);
		return 1;
	}

	// 6. Up to ten polls, a second apart, each taking whatever has arrived
	// into `buf` after the bytes already held. The reads never wait, and a
	// read that brings nothing is simply the device still working. Once
	// 255 bytes are held nothing more is read: a prompt can no longer be
	// seen, and the rest of the polls only run out the time.
	std::size_t held = 0;
	bool prompt = false;
	bool printed = false;
	for (int polls = 0; polls < max_polls && !prompt; ++polls) {
		sleep(1);
		ssize_t got = held < max_held ? read(fd, buf + held, max_held - held) : 0;
		if (got < 0)
			break;
		held += static_cast<std::size_t>(got);
		if (!memchr(buf, '>', held))
			continue;
		prompt = true;
		// The line may hold NUL bytes: it is written by its length.
		if (auto line = find_reply_line(std::span<char>(buf, held))) {
			fwrite(line->data(), 1, line->size(), stdout);
			printed = true;
		}
	}

	// 7.
	serial_close(fd);
	return flushed_status(printed ? 0 : 1);
}
