// SPDX-License-Identifier: MIT
// pulvane: resets an in/out counter module on an RS-485 bus, or reads its
// IN and OUT counts, in one exchange: one frame out, half a second, one read.
//
//   pulvane [-b 19200] [-r | -d] [-i 1|2] [-a | -t 1|0] device
//
// Exit status 0 when the module's reply was recognised (or help was shown),
// 1 otherwise. A missing or unrecognised reply is told by the status alone.

#include <cstdio>
#include <cstring>
#include <span>
#include <termios.h>
#include <unistd.h>

#include "counter/counter_frame.hpp"
#include "serial/serial_port.hpp"

namespace {

// Holds the request frame first, then the reply.
char buf[128];

// Shown in the open-failure message when no device was named.
constexpr const char *no_device = "(no device)";

// Results count only once they have reached standard output: a script
// must not take an unwritten "OK" for a reset.
int flushed_status(int status)
{
	if (fflush(stdout) != 0 || ferror(stdout))
		return 1;
	return status;
}

// Who switches the transceiver: the driver's RS-485, asked for; the port
// as it is (-a); or this tool, through RTS (-t).
enum class direction : char { driver, port, rts };

int show_help()
{
	puts("-b baud rate <9600 (default) 19200>");
	puts("-r reset, -d get data\n-i <1 2> ID");
	puts("-a keep the port's own RS-485 (auto-direction adapter, device tree)");
	puts("-t <1 0> RTS level while sending, switched by pulvane (UART without RS-485)");
	puts("Example:");
	puts("$ pulvane -b 19200 -d -i 1 /dev/ttyS0 ");
	return flushed_status(0);
}

} // namespace

int main(int argc, char *argv[])
{
	// 1. Options; later ones override earlier ones, and unknown ones are
	// reported by getopt and otherwise ignored.
	speed_t speed = B9600;
	char id = '1';
	char cmd = counter_cmd_reset;
	direction dir = direction::driver;
	bool rts_send = true;
	const char *bad_level = nullptr;
	int opt;
	while ((opt = getopt(argc, argv, "rdhab:i:t:")) != -1) {
		switch (opt) {
		case 'a':
			dir = direction::port;
			break;
		case 't':
			dir = direction::rts;
			rts_send = strcmp(optarg, "1") == 0;
			if (!rts_send && strcmp(optarg, "0") != 0)
				bad_level = optarg;
			break;
		case 'r':
			cmd = counter_cmd_reset;
			break;
		case 'd':
			cmd = counter_cmd_read;
			break;
		case 'i':
			id = strcmp(optarg, "2") == 0 ? '2' : '1';
			break;
		case 'b':
			speed = strcmp(optarg, "19200") == 0 ? B19200 : B9600;
			break;
		case 'h':
			return show_help();
		default:
			break;
		}
	}
	// A wrong level would drive the bus at the wrong time: no fallback.
	if (bad_level) {
		fprintf(stderr, "Invalid RTS level for -t: %s (1 or 0)\n", bad_level);
		return 1;
	}
	const char *path = optind < argc ? argv[optind] : nullptr;

	// 2. The port, for this run alone (a run already on it is waited for),
	// raw 8N1.
	int fd = path ? serial_open(path, speed) : -1;
	if (fd == serial_port_in_use) {
		fprintf(stderr, "Port %s is in use\n", path);
		return 1;
	}
	if (fd < 0) {
		fprintf(stderr, "Unable to open %s\n", path ? path : no_device);
		return 1;
	}

	// 3. The transceiver, before anything goes on the bus; with -a the port
	// keeps the RS-485 it has (an adapter or transceiver that switches
	// itself, or the device tree's settings, polarity and delays), which
	// the request would replace; with -t RTS starts at the receive level.
	// A port without modem lines refuses RTS as a UART without RS-485
	// support refuses the mode, and scripts match the one message.
	if ((dir == direction::driver && serial_set_rs485(fd) < 0) ||
	    (dir == direction::rts && serial_set_rts(fd, !rts_send) < 0)) {
		fputs("Unable to set rs495 mode\n", stderr);
		return 1;
	}

	// 4. One frame, one write. The frame is 12 bytes into an empty output
	// queue, so a short count is not expected and not looked at. With -t
	// RTS is at the send level from just before the write until the
	// transmitter is empty, and back at once: the module may answer within
	// milliseconds. It goes back whatever the write did.
	counter_build_frame(std::span<char, counter_frame_len>(buf, counter_frame_len), id, cmd);
	if (dir == direction::rts)
		serial_set_rts(fd, rts_send);
	const ssize_t sent = write(fd, buf, counter_frame_len);
	if (dir == direction::rts) {
		if (sent > 0)
			serial_wait_sent(fd, speed == B19200 ? 19200 : 9600, static_cast<int>(sent));
		serial_set_rts(fd, !rts_send);
	}
	if (sent < 0) {
		fputs("failed to send command to port\n", stderr);
		serial_close(fd);
		return 1;
	}

	// 5. The module answers within a few tens of milliseconds; half a
	// second is the whole of the wait.
	usleep(500000);

	// 6. One read, which never waits: whatever has not arrived by now is
	// not seen.
	ssize_t got = read(fd, buf, sizeof buf);

	// 7, 8. Recognise the reply and print the result.
	bool matched = false;
	if (got > 0) {
		auto received = std::span<char>(buf, static_cast<std::size_t>(got));
		counter_counts counts{};
		auto reply = counter_read_reply(received);
		if (reply && counter_match_reply(*reply, cmd, counts)) {
			matched = true;
			if (cmd == counter_cmd_reset) {
				fputs("OK\n", stdout);
			} else {
				printf("IN:%s ", counts.in.text);
				printf("OUT:%s \n", counts.out.text);
			}
		}
	}

	// 9.
	serial_close(fd);
	return flushed_status(matched ? 0 : 1);
}
